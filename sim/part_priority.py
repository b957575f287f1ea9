"""A real chip or module does not wait for the host's processor: each simulator of one asks to be
scheduled ahead of the programs it talks to, so that a busy host (a parallel test run, a build)
delays it no more than it would delay the part. Only root may raise a priority; elsewhere the
simulator runs as it is."""

import os

RAISED_NICENESS = -10


def run_ahead_of_the_host():
    try:
        os.setpriority(os.PRIO_PROCESS, 0, RAISED_NICENESS)
    except OSError:
        pass
