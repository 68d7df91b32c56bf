# serial port component, COM names, line settings
