# tests of the serial port component
