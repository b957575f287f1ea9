"""Exclusive mode of a pseudo-terminal's slave side.

A host program may put the port in exclusive mode (TIOCEXCL: further opens fail
with EBUSY).  On a real serial port that mode ends with the port's last close;
a pty keeps it for as long as its master stays open, so a host that was killed
before it could end the mode would lock every later host out of the simulated
part.  The simulators call end_exclusive_mode() when they see the host close
the port, which makes the pty behave like the port it stands for.  Opening a
port in exclusive mode needs CAP_SYS_ADMIN (the simulators run as root in the
tests); without it nothing is changed.
"""

import fcntl
import os
import termios


def end_exclusive_mode(slave_path):
    """Clear the exclusive mode of the pty slave at slave_path; True when done."""
    try:
        fd = os.open(slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        fcntl.ioctl(fd, termios.TIOCNXCL)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)
