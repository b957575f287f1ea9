"""Installation and the Debian package: `cmake --install` into a temporary prefix puts the binary,
the udev rules, the man page, the bash completion and the copyright file in place (and nothing
else); the rules are well-formed and match the devices they are for; the man page lists exactly
the options `Updater -h` lists; cpack builds a .deb whose dependencies come from the binary,
whose maintainer scripts are in place, and whose unpacked `Updater -h` runs and agrees with the
man page it carries."""
# Sanitizer builds skip this suite: it checks what is installed and packaged from the release
# build; the program itself only prints its help here.

import fnmatch
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

BUILD_DIR = os.environ.get("BUILD_DIR", "")
SRC_DIR = Path(os.environ.get("SRC_DIR") or Path(__file__).resolve().parents[3])
TIMEOUT = 300

RULES = "lib/udev/rules.d/70-tessaron-updater.rules"
INSTALLED = {
    "bin/Updater",
    RULES,
    "share/man/man1/Updater.1.gz",
    "share/bash-completion/completions/Updater",
    "share/doc/tessaron-updater/copyright",
    "share/doc/tessaron-updater/changelog.gz",
    "share/tessaron-updater/updater.schema.json",
}
RUNTIME_DEPENDS = ("libusb-1.0-0", "libhidapi-hidraw0", "libcurl4", "zlib1g")


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT, **options)


def help_options(updater):
    """The options of the usage entries of `Updater -h` ("-H or -h" gives both)."""
    done = run([updater, "-h"], stdin=subprocess.DEVNULL, env={"PATH": "/usr/bin:/bin", "HOME": "/nonexistent"})
    assert done.returncode == 0, done
    options = []
    for line in done.stderr.splitlines():
        match = re.match(r"^ {5}(-\S+)(?: or (-\S+))?", line)
        if match:
            options += [option for option in match.groups() if option]
    return options


def man_options(page):
    """The options of the .TP entries of the COMMANDS and OPTIONS sections of a man page."""
    options, section, tag_next = [], None, False
    for line in page.splitlines():
        if line.startswith(".SH "):
            section, tag_next = line[4:].strip(), False
        elif line.startswith(".TP"):
            tag_next = True
        elif tag_next:
            tag_next = False
            if section in ("COMMANDS", "OPTIONS"):
                options += re.findall(r"(?<![\w-])(--?[A-Za-z]+)", line.replace("\\-", "-"))
    return options


# One udev rule: comma-separated KEY[{attr}] OP "value" pairs.
RULE_PAIR = re.compile(r'\s*([A-Z_]+)(\{[^}]+\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$)')
MATCH_KEYS = {"ACTION", "SUBSYSTEM", "SUBSYSTEMS", "KERNEL", "ATTR", "ATTRS", "ENV", "TAG"}
ASSIGN_KEYS = {"TAG", "GROUP", "MODE", "GOTO", "LABEL", "ENV"}


def parse_rule(line):
    """[(key, attr, op, value)] of one rule line; raises ValueError for anything else."""
    pairs, at = [], 0
    while at < len(line):
        match = RULE_PAIR.match(line, at)
        if not match:
            raise ValueError("bad rule syntax at %r" % line[at:])
        key, attr, op, value, _ = match.groups()
        known = MATCH_KEYS if op in ("==", "!=") else ASSIGN_KEYS
        if key not in known or (key in ("ATTR", "ATTRS", "ENV") and not attr):
            raise ValueError("unknown key %s%s%s" % (key, attr or "", op))
        pairs.append((key + (attr or ""), op, value))
        at = match.end()
    return pairs


def rules_matching(rules, properties):
    """The rules whose every match pair holds for a device with these properties (globs as udev)."""
    found = []
    for rule in rules:
        matches = [(key, value) for key, op, value in rule if op == "=="]
        if matches and all(key in properties and fnmatch.fnmatchcase(properties[key], value)
                           for key, value in matches):
            found.append({key: value for key, op, value in rule if op in ("=", "+=")})
    return found


@unittest.skipUnless(BUILD_DIR and os.path.isfile(os.path.join(BUILD_DIR, "CPackConfig.cmake")),
                     "needs BUILD_DIR with a configured build")
class Install(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="updater_install."))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def install(self):
        prefix = self.tmp / "prefix"
        done = run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return prefix

    def test_files_rules_man_page_and_completion(self):
        prefix = self.install()
        files = {str(path.relative_to(prefix)) for path in prefix.rglob("*") if not path.is_dir()}
        self.assertEqual(files, INSTALLED)
        self.assertTrue(os.access(prefix / "bin/Updater", os.X_OK))

        # Rules: every line a comment, blank, or a well-formed rule.
        rules = []
        for number, line in enumerate((prefix / RULES).read_text().splitlines(), 1):
            if line.strip() and not line.lstrip().startswith("#"):
                with self.subTest(line=number):
                    rules.append(parse_rule(line))
        udevadm = shutil.which("udevadm")
        if udevadm and run([udevadm, "verify", "--help"]).returncode == 0:
            done = run([udevadm, "verify", "--resolve-names=never", str(prefix / RULES)])
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

        # Who gets access: the module family's whole product range and the i.MX boot ROM.
        def device(vendor, product, subsystem="usb"):
            if subsystem == "hidraw":
                return {"SUBSYSTEM": "hidraw", "ATTRS{idVendor}": vendor, "ATTRS{idProduct}": product}
            return {"SUBSYSTEM": "usb", "ENV{DEVTYPE}": "usb_device", "ATTR{idVendor}": vendor,
                    "ATTR{idProduct}": product}
        granted = {"TAG": "uaccess", "GROUP": "plugdev", "MODE": "0660"}
        for properties, allowed in [
                (device("24ff", "0000"), True), (device("24ff", "7fff"), True), (device("24ff", "1a2b"), True),
                (device("24ff", "8000"), False), (device("24fe", "0001"), False),
                (device("1fc9", "0130"), True), (device("1fc9", "0130", "hidraw"), True),
                (device("1fc9", "0131", "hidraw"), False),
                ({"KERNEL": "halyard.0F5849A1"}, True), ({"KERNEL": "hidraw0"}, False)]:
            with self.subTest(device=properties):
                self.assertEqual(rules_matching(rules, properties), [granted] if allowed else [])

        # The man page lists the options -h lists, no more and no fewer.
        page = gzip.decompress((prefix / "share/man/man1/Updater.1.gz").read_bytes()).decode()
        listed = help_options(str(prefix / "bin/Updater"))
        self.assertEqual(len(listed), 24)
        self.assertEqual(sorted(man_options(page)), sorted(listed))
        if shutil.which("groff"):
            done = run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=page)
            self.assertEqual((done.returncode, done.stderr), (0, ""))

        completion = prefix / "share/bash-completion/completions/Updater"
        self.assertEqual(run(["bash", "-n", str(completion)]).returncode, 0)
        words = set(re.findall(r"(?<![\w-])(--?[A-Za-z]+)", completion.read_text()))
        self.assertLessEqual(set(listed), words)

    def test_debian_package(self):
        packages = self.tmp / "packages"
        done = run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-G", "DEB",
                    "-B", str(packages)])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        debs = list(packages.glob("*.deb"))
        self.assertEqual(len(debs), 1, done.stdout)
        deb = str(debs[0])

        fields = run(["dpkg-deb", "-f", deb, "Package", "Depends", "Section"]).stdout
        self.assertIn("Package: tessaron-updater", fields)
        depends = re.search(r"^Depends: (.*)$", fields, re.M).group(1)
        for package in RUNTIME_DEPENDS:
            self.assertRegex(depends, r"(^|, )%s( \(|,|$)" % re.escape(package))

        listing = run(["dpkg-deb", "-c", deb]).stdout
        paths = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
        self.assertLessEqual({"/usr/" + name for name in INSTALLED}, paths)
        self.assertNotIn(True, [" root/root " not in line for line in listing.splitlines()])

        control = self.tmp / "control"
        self.assertEqual(run(["dpkg-deb", "-e", deb, str(control)]).returncode, 0)
        for script in ("postinst", "postrm"):
            with self.subTest(script=script):
                self.assertTrue(os.access(control / script, os.X_OK))
                self.assertEqual(run(["sh", "-n", str(control / script)]).returncode, 0)
        self.assertIn("udevadm control --reload-rules", (control / "postinst").read_text())
        # Without a running udev (no control socket) the scripts do nothing and succeed.
        if not os.path.exists("/run/udev/control"):
            self.assertEqual(run(["sh", str(control / "postinst"), "configure"]).returncode, 0)

        root = self.tmp / "unpacked"
        self.assertEqual(run(["dpkg-deb", "-x", deb, str(root)]).returncode, 0)
        page = gzip.decompress((root / "usr/share/man/man1/Updater.1.gz").read_bytes()).decode()
        self.assertEqual(sorted(help_options(str(root / "usr/bin/Updater"))), sorted(man_options(page)))


if __name__ == "__main__":
    unittest.main()
