"""The command line end to end: golden usage output, parse errors, guards and exit statuses.

Every run of the Updater happens as a user id without a password entry (so HOME, a temporary
directory, is its home directory and the real home directory is never touched) and, when we are
root, inside a private network namespace, so that no command can send a packet off the machine.
"""

import os
import shutil
import stat
import tempfile
import unittest
from pathlib import Path

from support.common import RUN_UID, UPDATER, in_namespace, run_updater, store_dir

GOLDEN = Path(os.environ.get("SRC_DIR", Path(__file__).resolve().parents[3])) / "tests" / "golden"
# A server address on the loopback interface where nothing listens.
DEAD_SERVER = "http://127.0.0.1:9/cgi/u"

VERSION = "Updater (Version: 1.1 Apr 26 2023)\n"
COPYRIGHT = "(Copyright (c) 2023 Tessaron Instruments. All rights reserved.)\n"
RELEASE = "[Halyard Release: 2.9.29]\n"


@unittest.skipUnless(UPDATER, "UPDATER_BIN is not set")
class CommandLine(unittest.TestCase):
    def setUp(self):
        # Only root can make the namespace. Without it, -D and -U would discover over the
        # machine's own interfaces, so the suite does not run at all.
        if os.geteuid() != 0:
            self.skipTest("needs root: every run happens in a private network namespace as a user without a password entry")
        self.home = Path(tempfile.mkdtemp(prefix="updater_cli_"))
        os.chmod(self.home, 0o755)
        os.chown(self.home, RUN_UID, RUN_UID)
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)

    def run_updater(self, *args, home=None, unset_home=False):
        """As the run-as user in a private network namespace without any interface."""
        home = None if unset_home else (self.home if home is None else home)
        return run_updater(args, home, cwd=self.home, enter=in_namespace)

    def updater_dir(self):
        return store_dir(self.home)

    def golden(self, name):
        return (GOLDEN / name).read_text()

    # Usage output.

    def test_bare_command_prints_short_usage(self):
        run = self.run_updater()
        self.assertEqual(run.status, 0, run)
        self.assertEqual(run.stdout, self.golden("bare.stdout"))
        self.assertEqual(run.stderr, self.golden("bare.stderr"))
        self.assertFalse((self.home / ".tessaron").exists(), "no directory without a command")

    def test_help_prints_full_usage(self):
        for args in (["-h"], ["-H"], ["--help"], ["--h"], ["-D", "-h", "-U"], ["stray", "-h"]):
            with self.subTest(args=args):
                run = self.run_updater(*args)
                self.assertEqual(run.status, 0, run)
                self.assertEqual(run.stdout, self.golden("help.stdout"))
                self.assertEqual(run.stderr, self.golden("help.stderr"))

    def test_help_wins_over_an_earlier_invalid_option(self):
        run = self.run_updater("-d", "xyz", "-h", "-t", "usb")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(run.stdout, self.golden("help.stdout"))
        self.assertEqual(run.stderr, "Invalid serial number obtained from argument [xyz]\n" + self.golden("help.stderr"))

    def test_rejected_options_alone_give_short_usage(self):
        for args in (["-help"], ["-DU"], ["-d40F5849A"], ["-D=1"], ["-e", "-d"], ["word"], ["-X", "1"]):
            with self.subTest(args=args):
                run = self.run_updater(*args)
                self.assertEqual(run.status, 0, run)
                self.assertEqual(run.stdout, self.golden("bare.stdout"))
                self.assertTrue(run.stderr.endswith(self.golden("bare.stderr")), run)

    # Parse failures: error lines, version, copyright, short usage, exit 1.

    def test_parse_failures(self):
        cases = [
            (["-d", "xyz", "-U"], "Invalid serial number obtained from argument [xyz]\n"),
            (["-d", "0", "-U"], "Invalid serial number obtained from argument [0]\n"),
            (["-d", "12G4", "-B"], "Invalid serial number obtained from argument [12G4]\n"),
            (["-d", "0x", "-B"], "Invalid serial number obtained from argument []\n"),
            (["-r", "nothex", "-D"], "Invalid router serial number obtained from argument [nothex]\n"),
            (["-t", "usb", "-D"], "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"),
            (["-Y"], "Unhandled command: [-Y]\n"),
            (["-d", "q", "-Y", "-t", "x"], "Invalid serial number obtained from argument [q]\nUnhandled command: [-Y]\n"
             "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER\n"),
            (["-U", "-d", "40F5849A,40F5849B", "-j", "-1"], "Invalid number of devices at a time obtained from "
             "argument [-1]: the count must be a positive number, 1 to 64\n"),
        ]
        for args, errors in cases:
            with self.subTest(args=args):
                run = self.run_updater(*args)
                self.assertEqual(run.status, 1, run)
                self.assertEqual(run.stdout, VERSION + COPYRIGHT)
                self.assertEqual(run.stderr, errors + self.golden("bare.stderr"))
                self.assertFalse((self.home / ".tessaron").exists())

    # Guards: exit 1 at that point, after the directory was made.

    def test_guards(self):
        cases = [
            (["-N"], "Must specify the serial port used for connecting\n"),
            (["-N", "-D"], "Must specify the serial port used for connecting\n"),
            (["-G"], "-G must specify a specific device via -d\n--help for usage information\n"),
            (["-G", "-D", "-U"], "-G must specify a specific device via -d\n--help for usage information\n"),
            (["-U"], "Must specify the specific device to be updated\n"),
            (["-U", "-t", "USB", "-B", "-d=0x"], None),  # a parse failure comes first
            (["-B"], "Error must supply a serial number for the List Builds command\n" + self.golden("bare.stderr")),
        ]
        for args, errors in cases:
            with self.subTest(args=args):
                run = self.run_updater(*args)
                self.assertEqual(run.status, 1, run)
                if errors is None:
                    continue
                self.assertEqual(run.stdout, VERSION)
                self.assertEqual(run.stderr, errors)
                self.assertTrue(self.updater_dir().is_dir())

    def test_view_information_alone(self):
        run = self.run_updater("-I")
        self.assertEqual((run.status, run.stdout, run.stderr), (0, VERSION, ""), run)
        self.assertTrue(self.updater_dir().is_dir())
        for folder in (self.updater_dir().parent, self.updater_dir()):
            self.assertEqual(stat.S_IMODE(folder.stat().st_mode), 0o700, folder)
            self.assertEqual(folder.stat().st_uid, RUN_UID)

    # The store holds the firmware modules will receive: a store or device folder that another
    # user owns or may write into stops every command with one line that names it and the fix.

    def fresh_store(self, *devices):
        shutil.rmtree(self.home / ".tessaron", ignore_errors=True)
        for folder in [self.updater_dir()] + [self.updater_dir() / serial for serial in devices]:
            folder.mkdir(mode=0o700, parents=True)
            os.chown(folder, RUN_UID, RUN_UID)
            os.chown(folder.parent, RUN_UID, RUN_UID)

    def test_store_that_another_user_can_change_is_refused(self):
        store = self.updater_dir()
        device = store / "40F5849A"
        refusal = "Refusing the %s %s: %s\n"
        open_fix = "group or others can write to it (mode %s); fix it with: chmod go-w %s"
        owner_fix = ("it belongs to user 0, not to you (user %d); fix it as root with: chown -R %d %%s, or remove it"
                     % (RUN_UID, RUN_UID))
        elsewhere = self.home / "elsewhere"
        cases = [
            ("store folder", store, lambda: os.chmod(store, 0o777), open_fix % ("0777", store)),
            ("store folder", store, lambda: os.chown(store, 0, 0), owner_fix % store),
            ("device folder", device, lambda: os.chmod(device, 0o720), open_fix % ("0720", device)),
            ("device folder", device, lambda: os.chown(device, 0, RUN_UID), owner_fix % device),
            ("device folder", device, lambda: (os.rmdir(device), elsewhere.mkdir(mode=0o700, exist_ok=True),
                                               os.chown(elsewhere, RUN_UID, RUN_UID), device.symlink_to(elsewhere)),
             "it is a link; fix it with: rm %s" % device),
        ]
        for what, folder, spoil, why in cases:
            for args in (["-I"], ["-G", "-d", "40F5849A", "-u", DEAD_SERVER]):
                with self.subTest(folder=folder.name, why=why, args=args):
                    self.fresh_store("40F5849A")
                    spoil()
                    run = self.run_updater(*args)
                    self.assertEqual((run.status, run.stdout), (1, VERSION), run)
                    self.assertEqual(run.stderr, refusal % (what, folder, why))
                    self.assertEqual(sorted(os.listdir(device)), [])
        self.fresh_store("40F5849A")
        os.chmod(store, 0o755)  # a folder others may read is the user's choice
        run = self.run_updater("-I", "-d", "40F5849A")
        self.assertEqual(run.stderr, "", run)

    def test_path_that_a_shell_would_split_is_quoted_in_the_fix(self):
        home = self.home / "a b's"
        home.mkdir()
        os.chown(home, RUN_UID, RUN_UID)
        store = store_dir(home)
        store.mkdir(parents=True, mode=0o700)
        for folder in (store.parent, store):
            os.chown(folder, RUN_UID, RUN_UID)
        os.chmod(store, 0o770)
        run = self.run_updater("-I", home=home)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.stderr, "Refusing the store folder %s: group or others can write to it (mode 0770); "
                                     "fix it with: chmod go-w '%s'\n" % (store, str(store).replace("'", "'\\''")))

    def test_commands_without_action_exit_zero(self):
        for args in (["-C"], ["-Z", "ignored"], ["-I", "-C"], ["-I", "-OVERRIDE", "-n", "-e", "x"]):
            with self.subTest(args=args):
                run = self.run_updater(*args)
                self.assertEqual((run.status, run.stdout, run.stderr), (0, VERSION, ""), run)

    def test_missing_updater_directory(self):
        blocker = self.home / "file"
        blocker.write_text("not a directory")
        run = self.run_updater("-I", home=blocker)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.stdout, VERSION)
        self.assertEqual(run.stderr, "Could not find updater directory at %s/.tessaron/updater\n" % blocker)

    def test_no_home_directory_at_all(self):
        run = self.run_updater("-I", unset_home=True)
        self.assertEqual(run.status, 1, run)
        self.assertEqual(run.stdout, VERSION)
        self.assertEqual(run.stderr, "Could not find updater directory at \n")

    # -X.

    def test_log_mask_shows_application_parameters(self):
        for mask in ("0x10000", "65536", "0X10400"):
            with self.subTest(mask=mask):
                run = self.run_updater("-X", mask, "stray", "-I")
                self.assertEqual((run.status, run.stdout), (1, VERSION + COPYRIGHT), run)  # the stray word
                self.assertIn("\nApplication parameters:[Updater]\n", run.stderr)
                self.assertIn("\t[-X]\n\t[%s]\n\t[-I]\n\t[stray]\n" % mask, run.stderr)
                self.assertNotIn("Home directory:", run.stderr)

    def test_log_mask_without_app_package_stays_quiet(self):
        run = self.run_updater("-X", "0x400", "-I")
        self.assertEqual((run.status, run.stdout, run.stderr), (0, VERSION, ""), run)

    def test_log_mask_with_unprocessed_characters(self):
        run = self.run_updater("-X", "0x10000zz", "-I")
        self.assertEqual((run.status, run.stdout), (0, VERSION), run)
        self.assertEqual(run.stderr, "Invalid format for \"-X\" parameter, unprocessed characters [zz]\n")

    # Commands reaching the engine. Their own output belongs to the engine; the front end's lines,
    # the order of commands and the exit status are checked here.

    def test_discovery_ends_the_run_with_zero(self):
        cases = [
            (["-D"], "Searching for Halyard devices\n"),
            (["-D", "-U", "-d", "40F5849A", "-u", DEAD_SERVER], "Searching for Halyard devices\n"),
            (["-D", "-t", "RECOVER"], "Searching for Halyard devices\n"),
        ]
        for args, line in cases:
            with self.subTest(args=args):
                run = self.run_updater(*args)
                self.assertEqual(run.status, 0, run)
                self.assertTrue(run.stdout.startswith(VERSION + line), run)
                self.assertNotIn("Must specify", run.stderr)

    def test_discovery_behind_a_router_that_is_not_there_fails(self):
        run = self.run_updater("-D", "-r", "0x1234ABCD")
        self.assertEqual(run.status, 1, run)
        self.assertTrue(run.stdout.startswith(VERSION + "Searching for Halyard Network devices connected to "
                                              "1234ABCD\n"), run)
        self.assertEqual(run.stderr, "Router 1234ABCD not found\n", run)

    def test_failed_fingerprint_fails_the_run_with_discovery(self):
        run = self.run_updater("-N", "-s", "/nonexistent/serial", "-u", DEAD_SERVER, "-D")
        self.assertEqual(run.status, 1, run)
        self.assertIn("Got no response from chip\n", run.stderr)
        self.assertIn("Searching for Halyard devices\n", run.stdout)

    def test_failed_fingerprint_sets_status(self):
        run = self.run_updater("-N", "-s", "/nonexistent/serial", "-u", DEAD_SERVER, "-I")
        self.assertEqual(run.status, 1, run)
        self.assertIn("Got no response from chip\n", run.stderr)

    def test_download_messages(self):
        cases = [
            (["-G", "-d", "40F5849A"], ["No build specified", "Using Latest build"]),
            (["-G", "-d", "0x40f5849a", "-b", "0012"], ["Retrieving firmware build 12"]),
        ]
        for args, lines in cases:
            with self.subTest(args=args):
                run = self.run_updater(*args, "-u", DEAD_SERVER)
                self.assertEqual(run.status, 1, run)  # nothing answers at the server address
                expected = [VERSION.rstrip("\n"), "Retrieving firmware for device with serial number 40F5849A"] + lines
                self.assertEqual(run.stdout.splitlines()[:len(expected)], expected, run)

    def test_update_needs_no_serial_number_for_recovery(self):
        run = self.run_updater("-U", "-t", "RECOVER", "-s", "/nonexistent/serial", "-u", DEAD_SERVER)
        self.assertEqual(run.status, 1, run)
        self.assertNotIn("Must specify the specific device to be updated", run.stderr)

    # A command line that was not understood: each rejected option is named; with a command
    # that writes (-U, -G, -U -t RECOVER) the run stops before doing anything.

    def test_misunderstood_command_line_with_a_writing_command_does_nothing(self):
        cases = [
            (["-U", "-d", "40F5849A", "-F", "mine.bird"],
             "Unknown option: [-F]\nUnexpected word on the command line: [mine.bird]\n"),
            (["-e", "-U", "-d", "1"], "Option [-e] requires an argument\n"),
            (["-G", "-d", "40F5849A", "-D=1"], "Option [-D] takes no argument\n"),
            (["-U", "-t", "RECOVER", "-s", "/nonexistent/serial", "-Q"], "Unknown option: [-Q]\n"),
            (["-U", "-j", "2"], "Option [-j] is taken by -U and -G with -d only\n"),
        ]
        for args, errors in cases:
            with self.subTest(args=args):
                run = self.run_updater(*args, "-u", DEAD_SERVER)
                self.assertEqual(run.status, 1, run)
                self.assertEqual(run.stdout, VERSION + COPYRIGHT)
                self.assertEqual(run.stderr, errors + self.golden("bare.stderr"))
                self.assertFalse((self.home / ".tessaron").exists())

    def test_misunderstood_option_with_a_reading_command_does_nothing(self):
        for args, errors in ((["-I", "-Q", "-X="], "Unknown option: [-Q]\n"),
                             (["-D", "-j", "2"], "Option [-j] is taken by -U and -G with -d only\n"),
                             (["-I", "-d", "40F5849A", "-j=8"], "Option [-j] is taken by -U and -G with -d only\n")):
            with self.subTest(args=args):
                run = self.run_updater(*args)
                self.assertEqual((run.status, run.stdout), (1, VERSION + COPYRIGHT), run)
                self.assertEqual(run.stderr, errors + self.golden("bare.stderr"))
                self.assertFalse((self.home / ".tessaron").exists())

    def test_every_module_found_is_none_and_fails(self):
        # A fleet job whose cables are all unplugged has not succeeded.
        for commands in (["-U"], ["-G", "-U"]):
            with self.subTest(commands=commands):
                run = self.run_updater(*commands, "-d", "all", "-u", DEAD_SERVER)
                self.assertEqual(run.status, 1, run)
                self.assertTrue(run.stdout.startswith(VERSION + "Searching for Halyard devices\n"), run)
                self.assertEqual(run.stderr, "Nothing to do: no module found\n")

    def test_build_that_is_not_a_plain_decimal_number_is_refused(self):
        for value in ("1234x", "abc", "-5", "0x4D2", "99999999999", "0", ""):
            with self.subTest(value=value):
                run = self.run_updater("-U", "-d", "40F5849A", "-b=" + value, "-u", DEAD_SERVER)
                self.assertEqual(run.status, 1, run)
                self.assertEqual(run.stdout, VERSION + COPYRIGHT)
                self.assertEqual(run.stderr, "Invalid build number obtained from argument [%s]\n" % value
                                 + self.golden("bare.stderr"))
                self.assertFalse((self.home / ".tessaron").exists())

    def test_update_wins_over_list_builds(self):
        run = self.run_updater("-B", "-U", "-t", "RECOVER", "-s", "/nonexistent/serial", "-u", DEAD_SERVER)
        self.assertEqual(run.status, 1, run)
        self.assertNotIn("Error must supply a serial number for the List Builds command", run.stderr)


if __name__ == "__main__":
    unittest.main()
