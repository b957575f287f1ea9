"""support.json_document and the schema it validates against: what a reader of --json may rely
on is refused when it is broken (a schema that let anything through would pass every suite)."""

import copy
import json
import unittest

from support import json_document
from support.common import Result

DISCOVERED = {"serial": "0F5849A1", "model": "Osprey", "model_number": 19, "build": 1000, "version": "2.1.5",
              "transport": "TCP", "address": "10.77.0.2", "port": 9999, "module": 2, "router": None,
              "router_address": 2, "cause": None}
OUTCOME = {"serial": "0F5849A1", "model": "Osprey", "build_before": 1000, "build_wanted": 1234, "build_after": 1000,
           "result": "failed", "step": "validation", "cause": "model differs", "state": "unchanged",
           "seconds": 0.5, "file": None}
BASE = {"schema": 1, "program": {"name": "Updater", "version": "1.1 Apr 26 2023"}, "ok": True, "error": None}


def document(command, ok=True, error=None, **members):
    return dict(copy.deepcopy(BASE), command=command, ok=ok, error=error, **copy.deepcopy(members))


DISCOVERY = document("discover", devices=[DISCOVERED], router=None,
                     transports=[{"name": "USB", "ok": False, "cause": "libusb_init failed"},
                                 {"name": "TCP", "ok": True, "cause": None}])


def changed(base, path, value):
    """A copy of base with the member at path (keys and indexes) set to value, or removed when
    value is the class Removed."""
    result = copy.deepcopy(base)
    node = result
    for key in path[:-1]:
        node = node[key]
    if value is Removed:
        del node[path[-1]]
    else:
        node[path[-1]] = value
    return result


class Removed:
    pass


class Schema(unittest.TestCase):
    def test_documents_of_each_command_are_valid(self):
        valid = [
            DISCOVERY,
            document(None, ok=False, error={"step": "command", "cause": "Unknown option -Q"}),
            document("help"),
            document("update", ok=False, devices=[OUTCOME]),
            document("get", devices=[dict(OUTCOME, result="downloaded", step=None, cause=None, state="running")]),
            document("builds", device="0F5849A1", latest={"build": 9, "cause": None},
                     builds=[{"build": 9, "version": "1.10", "latest": True},
                             {"build": None, "name": "beta", "version": "0.1", "latest": False}]),
            document("fingerprint", fingerprint={"chip": "LPC", "words": ["12345678"] * 4, "port": "/dev/ttyUSB0"}),
            document("fingerprint", ok=False, fingerprint=None, error={"step": "identification", "cause": "no answer"}),
            document("info", stored=[]),
        ]
        for item in valid:
            with self.subTest(command=item["command"]):
                self.assertEqual(json_document.schema_faults(item), [])

    def test_broken_documents_are_refused(self):
        cases = [
            ("no ok", changed(DISCOVERY, ["ok"], Removed)),
            ("schema 2", changed(DISCOVERY, ["schema"], 2)),
            ("a command of no name", changed(DISCOVERY, ["command"], "list")),
            ("ok with an error", changed(DISCOVERY, ["error"], {"step": "server", "cause": "down"})),
            ("a failure without its error", document("builds", ok=False)),
            ("an unknown step", document("builds", ok=False, error={"step": "network", "cause": "down"})),
            ("a lower-case serial", changed(DISCOVERY, ["devices", 0, "serial"], "0f5849a1")),
            ("a build as text", changed(DISCOVERY, ["devices", 0, "build"], "1000")),
            ("a transport of no name", changed(DISCOVERY, ["devices", 0, "transport"], "TCPIP")),
            ("a failed transport without cause", changed(DISCOVERY, ["transports", 0, "cause"], None)),
            ("a member of no name", changed(DISCOVERY, ["devices", 0, "colour"], "red")),
            ("discovery without transports", changed(DISCOVERY, ["transports"], Removed)),
            ("an unknown state", document("update", devices=[dict(OUTCOME, state="broken")])),
            ("a success with a step", document("update", devices=[dict(OUTCOME, result="updated")])),
            ("a failure without a step", document("update", devices=[dict(OUTCOME, step=None)])),
            ("an outcome record in a discovery", document("discover", devices=[OUTCOME], transports=[], router=None)),
            ("three fingerprint words", document("fingerprint", fingerprint={"chip": "LPC", "words": ["12345678"] * 3,
                                                                            "port": "x"})),
        ]
        for name, item in cases:
            with self.subTest(name):
                self.assertNotEqual(json_document.schema_faults(item), [])


class Parse(unittest.TestCase):
    def test_standard_output_must_be_exactly_one_document_on_one_line(self):
        cases = [
            ('{"a": 1}\n', {"a": 1}),
            ('{"a": "\u00e9"}\n'.encode("utf-8").decode("latin-1"), {"a": "\u00e9"}),
            ('{"a": 1}', AssertionError),                      # no line end
            ('Updater (Version: 1.1)\n{"a": 1}\n', AssertionError),  # a person's line mixed in
            ('{"a": 1}\n{"a": 1}\n', AssertionError),          # two documents
            ('{"a": \n1}\n', AssertionError),                  # not one line
            ('{"a": "\xe9"}\n', AssertionError),               # not UTF-8
            ('', AssertionError),
        ]
        for stdout, expected in cases:
            with self.subTest(stdout=stdout):
                if expected is AssertionError:
                    self.assertRaises(AssertionError, json_document.parse, stdout)
                else:
                    self.assertEqual(json_document.parse(stdout), expected)

    def test_ok_must_follow_the_exit_status(self):
        text = json.dumps(document("help")) + "\n"
        self.assertEqual(json_document.read(self, Result(0, text, "", 0.1), command="help")["command"], "help")
        with self.assertRaises(AssertionError):
            json_document.read(self, Result(1, text, "", 0.1))


if __name__ == "__main__":
    unittest.main()
