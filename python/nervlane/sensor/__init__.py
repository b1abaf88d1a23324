"""Opening a sensor for a tool, local or served, and watching it: the
serial ports present, the hint that a stream does not fit its format, and
the outages seen while the port is reopened."""
