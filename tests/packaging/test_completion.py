"""Bash completion of Updater: what completing a command line offers, in a world made for the
test. The serial adapters are device nodes, so each case runs in a private mount namespace whose
/dev is a fresh tmpfs (with /dev/null and /dev/fd, which bash itself uses), and whose
/etc/passwd is a file of the test: nothing outside the namespace sees either."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import suite

SRC_DIR = Path(os.environ.get("SRC_DIR") or Path(__file__).resolve().parents[2])
COMPLETION = SRC_DIR / "packaging/completion/Updater"
TIMEOUT = 30

# The device nodes of the world: two USB serial adapters, their stable names, and what must not
# be offered (virtual consoles, the on-board UART, other devices).
DEVICES = ["ttyUSB0", "ttyUSB1", "ttyACM0", "tty0", "tty1", "tty63", "ttyS0", "ttyprintk", "null"]
BY_ID = {"usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0": "../../ttyUSB0",
         "usb-Arduino_Uno_7563331-if00": "../../ttyACM0"}
BY_ID_PATHS = ["/dev/serial/by-id/" + name for name in sorted(BY_ID)]

# The store of the user's password entry and the one HOME names: only the first counts.
PASSWD_STORE = ["40F5849A", "0F5849A1", "D272031D"]
HOME_STORE = ["11111111"]
NOT_DEVICES = ["notes", "40f5849a", "ABCDEF0", "ABCDEF012"]  # beside the devices, never offered

# Inside the namespace: the world, then one completion; COMPREPLY comes back NUL-separated.
WORLD = r'''
set -e
mount -t tmpfs -o mode=0755 updater-test-dev /dev
mknod -m 666 /dev/null c 1 3
ln -s /proc/self/fd /dev/fd
mkdir -p /dev/serial/by-id
for node in $DEVICES; do [ "$node" = null ] || : > "/dev/$node"; done
while read -r name target; do ln -s "$target" "/dev/serial/by-id/$name"; done <<< "$BY_ID"
mount --bind "$PASSWD_FILE" /etc/passwd
cd "$WORK"
exec setpriv --reuid="$USER_ID" --regid="$USER_ID" --clear-groups bash -c "$COMPLETE" "$@"
'''
COMPLETE = r'''
source "$COMPLETION"
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
_Updater
printf '%s\0' "${COMPREPLY[@]}"
'''
# The user completing: an id that has no entry in the machine's password database.
USER_ID = 4242


def can_make_namespace():
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                          capture_output=True, timeout=TIMEOUT)
    return done.returncode == 0


@unittest.skipUnless(can_make_namespace() and shutil.which("setpriv"),
                     "needs root, unshare and setpriv for a private mount namespace")
class Completion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="updater_completion."))
        cls.tmp.chmod(0o755)  # the user of the test reads it
        cls.work = cls.tmp / "work"
        for path in ["my firmware.bird", "my notes.txt", "plain.bird", "logs/run.log", "fw dir/x.bird",
                     "README"]:
            (cls.work / path).parent.mkdir(parents=True, exist_ok=True)
            (cls.work / path).write_text("")
        cls.home = cls.tmp / "home"
        cls.env_home = cls.tmp / "env-home"
        for home, serials in ((cls.home, PASSWD_STORE + NOT_DEVICES), (cls.env_home, HOME_STORE)):
            for name in serials:
                (home / ".tessaron/updater" / name).mkdir(parents=True)
        (cls.home / ".tessaron/updater/ABCDEF01").write_text("")  # a file, not a device directory
        cls.passwd = cls.tmp / "passwd"
        cls.passwd.write_text("tester:x:%d:%d:tester:%s:/bin/bash\n" % (USER_ID, USER_ID, cls.home))
        cls.no_entry = cls.tmp / "passwd-without-tester"
        cls.no_entry.write_text("daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def complete(self, words, passwd=None):
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": str(self.env_home), "WORK": str(self.work),
               "COMPLETION": str(COMPLETION), "PASSWD_FILE": str(passwd or self.passwd),
               "COMPLETE": COMPLETE, "USER_ID": str(USER_ID),
               "DEVICES": " ".join(DEVICES), "BY_ID": "\n".join("%s %s" % item for item in BY_ID.items())}
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "bash", "-c", WORLD, "world",
                               "Updater"] + words, capture_output=True, env=env, timeout=TIMEOUT,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        return sorted(item for item in done.stdout.decode().split("\0") if item)

    def test_what_completing_offers(self):
        adapters = ["/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyUSB1"]
        cases = [
            # File names with spaces are offered whole, however the word being typed is quoted.
            (["-f", ""], ["fw dir", "logs", "my firmware.bird", "plain.bird"]),
            (["-f", "my"], ["my firmware.bird"]),
            (["-f", "my\\ f"], ["my firmware.bird"]),
            (["-f", "'my f"], ["my firmware.bird"]),
            (["-f", '"my f'], ["my firmware.bird"]),
            (["-f", "fw\\ dir/"], ["fw dir/x.bird"]),
            (["-k", "my"], ["my firmware.bird", "my notes.txt"]),
            (["-k", "my\\ n"], ["my notes.txt"]),
            (["-k", "logs/"], ["logs/run.log"]),
            # Serial ports: USB for an i.MX boot ROM, the adapters and their stable names; never
            # the virtual consoles or the on-board UART.
            (["-s", ""], sorted(["USB"] + adapters + BY_ID_PATHS)),
            (["-s", "/dev/tty"], adapters),
            (["-s", "/dev/ttyU"], ["/dev/ttyUSB0", "/dev/ttyUSB1"]),
            (["-s", "/dev/serial/by-id/usb-F"], [BY_ID_PATHS[1]]),
            (["-s", "U"], ["USB"]),
            (["-s", "my\\ "], ["my firmware.bird", "my notes.txt"]),  # any other path
            (["-t", ""], ["RECOVER", "TCP", "USB"]),
            (["-t", "T"], ["TCP"]),
            (["-o", "1"], ["115200", "19200"]),
            # The store's devices: directories named by eight upper-case hexadecimal digits.
            (["-d", ""], sorted(PASSWD_STORE)),
            (["-d", "4"], ["40F5849A"]),
            (["-r", "D"], ["D272031D"]),
            (["-b", ""], []),
            (["-e", ""], []),
            (["-u", ""], []),
            (["-G", "-d", "40F5849A", "-b"], ["-b"]),
            (["-O"], ["-OVERRIDE"]),
            (["--"], ["--help", "--json"]),
            (["--j"], ["--json"]),
            (["-D", "-t", "USB", "-"], sorted("-B -D -G -U -I -C -N -OVERRIDE -b -d -t -r -s -o -f -e -l -k -u "
                                              "-X -h -H --help -j --json".split())),
        ]
        for words, offered in cases:
            with self.subTest(line=" ".join(words)):
                self.assertEqual(self.complete(words), offered)

    def test_store_of_a_user_without_password_entry_is_under_home(self):
        self.assertEqual(self.complete(["-d", ""], passwd=self.no_entry), HOME_STORE)


if __name__ == "__main__":
    suite.main()
