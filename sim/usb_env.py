"""Environment of a program that is to see the emulated USB bus of usb_modules.py.

Kept apart from usb_modules.py so that test code can use it without loading umockdev.
"""

import os
import subprocess

PRELOAD = "libumockdev-preload.so.0"


def asan_runtime():
    """Path of the AddressSanitizer runtime, which must come first in LD_PRELOAD."""
    try:
        path = subprocess.run(["gcc", "-print-file-name=libasan.so"], capture_output=True,
                              text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        path = ""
    if not path or not os.path.isabs(path) or not os.path.exists(path):
        raise RuntimeError("cannot find libasan.so (gcc -print-file-name=libasan.so)")
    return os.path.realpath(path)


def program_env(root, base=None, sanitize=None):
    """The environment `base` (default: this process's) with the umockdev preload library
    (after libasan when `sanitize` is "address"; default: UPDATER_SANITIZE) and the test bed
    root.  The root must be passed explicitly: the test bed sets UMOCKDEV_DIR only in its own
    process's C environment."""
    env = dict(os.environ if base is None else base)
    if sanitize is None:
        sanitize = env.get("UPDATER_SANITIZE", "")
    preload = [PRELOAD]
    if sanitize == "address":
        preload.insert(0, asan_runtime())
    env["LD_PRELOAD"] = ":".join(preload)
    env["UMOCKDEV_DIR"] = root
    return env
