# main-thread hand-over and host helpers
