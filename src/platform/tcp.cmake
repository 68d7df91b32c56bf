# TCP client
