"""The device library through its test drivers: discovery over TCP/IP and USB, the object layer
and the USB stream against the simulated modules."""
