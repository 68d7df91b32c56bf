# Qt serial device and poll timer
