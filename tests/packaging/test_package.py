"""The Debian package as a maintainer checks it: cpack builds it from the build directory; its
binary carries the hardening (hardening-check when devscripts is installed, and readelf on its
own: PIE, full RELRO with immediate binding, stack protector, fortified functions; the stack clash
probes in its code); lintian has
nothing to say at its default level; the changelog records the package's version; mandoc finds
nothing wrong in the man page. Sanitizer builds are not hardened and are not packaged."""

import gzip
import json
import os
import platform
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import suite

BUILD_DIR = os.environ.get("BUILD_DIR", "")
SANITIZE = os.environ.get("UPDATER_SANITIZE", "")
TIMEOUT = 300
PACKAGE = "tessaron-updater"
SOURCE_DIR = Path(__file__).resolve().parents[2]
SCHEMA = SOURCE_DIR / "packaging" / "schema" / "updater.schema.json"
MAN_PAGE = SOURCE_DIR / "packaging" / "man" / "Updater.1"


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT, **options)


def start_files_mark_control_flow_protection():
    start = run(["cc", "-print-file-name=Scrt1.o"]).stdout.strip()
    notes = run(["readelf", "-n", start]).stdout if os.path.isfile(start) else ""
    return "IBT, SHSTK" in notes


@unittest.skipUnless(BUILD_DIR and os.path.isfile(os.path.join(BUILD_DIR, "CPackConfig.cmake")),
                     "needs BUILD_DIR with a configured build")
@unittest.skipIf(SANITIZE, "a sanitizer build is not hardened and not packaged")
class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = Path(tempfile.mkdtemp(prefix="updater_package."))
        done = run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-G", "DEB",
                    "-B", str(cls.tmp / "packages")])
        debs = list((cls.tmp / "packages").glob("*.deb"))
        if done.returncode != 0 or len(debs) != 1:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError("cpack failed: " + done.stdout + done.stderr)
        cls.deb = str(debs[0])
        cls.root = cls.tmp / "unpacked"
        assert run(["dpkg-deb", "-x", cls.deb, str(cls.root)]).returncode == 0
        cls.binary = str(cls.root / "usr/bin/Updater")
        cls.doc = cls.root / "usr/share/doc" / PACKAGE

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_binary_is_hardened(self):
        header = run(["readelf", "-h", "-W", self.binary]).stdout
        dynamic = run(["readelf", "-d", "-W", self.binary]).stdout
        segments = run(["readelf", "-l", "-W", self.binary]).stdout
        symbols = run(["readelf", "--dyn-syms", "-W", self.binary]).stdout
        imported = set(re.findall(r"\s(\w+)@", symbols))
        checks = {
            "PIE": re.search(r"Type:\s+DYN", header) and re.search(r"FLAGS_1\).*\bPIE\b", dynamic),
            "RELRO": re.search(r"^\s*GNU_RELRO\s", segments, re.M),
            "BIND_NOW": re.search(r"\(FLAGS\).*\bBIND_NOW\b", dynamic)
                        or re.search(r"FLAGS_1\).*\bNOW\b", dynamic),
            "stack protector": "__stack_chk_fail" in imported,
            "fortify": sorted(name for name in imported if name.startswith("__") and name.endswith("_chk")
                              and name != "__stack_chk_fail"),
        }
        for name, found in checks.items():
            with self.subTest(check=name):
                self.assertTrue(found, name + " missing:\n" + dynamic)

    @unittest.skipUnless(platform.machine() == "x86_64", "the probe's instructions are those of x86-64")
    def test_stack_clash_probes(self):
        # A frame larger than a page is probed page by page as the stack grows:
        #   sub rsp,0x1000 ; or QWORD PTR [rsp],0x0
        # (hardening-check looks only for the loop form and says "unknown" for this one.)
        probe = bytes.fromhex("4881ec00100000" "48830c2400")
        self.assertIn(probe, Path(self.binary).read_bytes())

    @unittest.skipUnless(shutil.which("hardening-check"), "hardening-check (devscripts) is not installed")
    def test_hardening_check_finds_nothing_missing(self):
        # The control-flow protection marking of an executable needs every object linked to carry
        # it; where the C library's start files do not (Debian 12), no executable can have it.
        options = [] if start_files_mark_control_flow_protection() else ["--nocfprotection"]
        done = run(["hardening-check"] + options + [self.binary])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        missing = [line for line in done.stdout.splitlines()
                   if re.search(r":\s+no\b", line) and not line.endswith("(ignored)")]
        self.assertEqual(missing, [], done.stdout)

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_has_nothing_to_say(self):
        # The default level: errors and warnings (information and pedantic tags are not shown).
        done = run(["lintian", "--fail-on", "error,warning", self.deb])
        tags = [line for line in done.stdout.splitlines() if re.match(r"^[EW]: ", line)]
        self.assertEqual((done.returncode, tags), (0, []), done.stdout + done.stderr)

    def test_changelog_records_the_package_version(self):
        version = run(["dpkg-deb", "-f", self.deb, "Version"]).stdout.strip()
        changelog = (self.doc / "changelog.gz").read_bytes()
        text = gzip.decompress(changelog).decode()
        top = re.match(r"^%s \(([^)]+)\) \S+; urgency=\w+\n" % re.escape(PACKAGE), text)
        self.assertIsNotNone(top, text[:200])
        self.assertEqual(top.group(1), version)
        self.assertRegex(text, r"\n -- .+ <.+>  \w{3}, \d{1,2} \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}\n")
        # gzip -9 -n: no file name and no time in the header, so the package is reproducible.
        self.assertEqual(changelog[3] & 0x08, 0)
        self.assertEqual(changelog[4:8], b"\0\0\0\0")

    @unittest.skipUnless(shutil.which("mandoc"), "mandoc is not installed")
    def test_man_page_is_lint_clean(self):
        page = gzip.decompress((self.root / "usr/share/man/man1/Updater.1.gz").read_bytes()).decode()
        done = run(["mandoc", "-Tlint", "-W", "all"], input=page)
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))
        for section in ("EXIT STATUS", "ENVIRONMENT", "FILES", "SEE ALSO"):
            self.assertIn("\n.SH %s\n" % section, page)

    def test_json_schema_is_shipped_as_it_stands_in_the_repository(self):
        shipped = self.root / "usr/share" / PACKAGE / "updater.schema.json"
        self.assertEqual(shipped.read_bytes(), SCHEMA.read_bytes())


def schema_names(node, found=None):
    """Every member name the schema defines and every text its enums and consts allow."""
    found = set() if found is None else found
    if isinstance(node, dict):
        for key, value in node.items():
            if key == "properties":
                found.update(value)
            if key in ("enum", "const"):
                found.update(item for item in (value if isinstance(value, list) else [value])
                             if isinstance(item, str))
            schema_names(value, found)
    elif isinstance(node, list):
        for item in node:
            schema_names(item, found)
    return found


class JsonOutputDocumented(unittest.TestCase):
    def test_man_page_names_every_member_and_name_of_the_schema(self):
        page = MAN_PAGE.read_text()
        self.assertIn("\n.SH JSON OUTPUT\n", page)
        section = page.split("\n.SH JSON OUTPUT\n", 1)[1].split("\n.SH ", 1)[0]
        # The page writes members in bold and names in double quotes; "-" is "\-" in roff.
        text = section.replace("\\-", "-")
        names = schema_names(json.loads(SCHEMA.read_text()))
        missing = sorted(name for name in names if "\\fB%s\\fR" % name not in text
                         and "\n.B %s\n" % name not in text and '"%s"' % name not in text)
        self.assertEqual(missing, [])


if __name__ == "__main__":
    suite.main()
