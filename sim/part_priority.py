"""A real chip or module does not wait for the host's processor: each simulator of one asks to be
scheduled ahead of the programs it talks to, so that a busy host (a parallel test run, a build)
delays it no more than it would delay the part.

As root a simulator runs under the round-robin real-time policy at a low real-time priority: no
process of normal priority, however many of them are busy, keeps it from running when its
answer is due (a raised niceness alone still let a busy host hold it up for most of a second).
Its children (a program it runs on its bus) start at normal priority again. Where the real-time
policy is refused it raises its niceness instead; where that is refused too it runs as it is.
Each simulator sleeps until its next event, so it takes the processor only for its own work."""

import os

REAL_TIME_PRIORITY = 10
RAISED_NICENESS = -10


def run_ahead_of_the_host():
    """Call before the simulator starts any thread: threads take the policy of their creator."""
    try:
        os.sched_setscheduler(0, os.SCHED_RR | os.SCHED_RESET_ON_FORK,
                              os.sched_param(REAL_TIME_PRIORITY))
        return
    except (OSError, AttributeError):
        pass
    try:
        os.setpriority(os.PRIO_PROCESS, 0, RAISED_NICENESS)
    except OSError:
        pass
