"""Runs one end-to-end suite as `python3 -m unittest -v SUITE` does, and exits with 77 when every
test of it was skipped (no root, no umockdev, no Updater built, ...), which CTest reports as
skipped rather than passed."""

import sys
import unittest

SKIPPED = 77


def exit_status(result):
    if not result.wasSuccessful():
        return 1
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        return SKIPPED
    return 0


def main(argv):
    if len(argv) != 2:
        print("usage: run_suite.py SUITE", file=sys.stderr)
        return 2
    suite = unittest.defaultTestLoader.loadTestsFromName(argv[1])
    return exit_status(unittest.TextTestRunner(verbosity=2).run(suite))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
