"""Opening a sensor for a tool, local or served, and watching it.

Also the serial ports present (``ports``), the hint that a stream does not
fit its format (``watch``), and the outages seen while the port is
reopened (``outages``)."""

from .local import explain_port_error, load_module, open_sensor
from .opened import Sensor, device_gone
from .served import open_served
from .source import open_source

__all__ = ["Sensor", "device_gone", "explain_port_error", "load_module", "open_sensor", "open_served", "open_source"]
