"""The --json document of a run, read as a program reads it: standard output holds exactly one
JSON document (UTF-8, one line ending with a newline) and nothing else, it validates against the
schema that ships with the program (packaging/schema/updater.schema.json), and its `ok` is true
exactly when the exit status is 0.

    from support import json_document
    document = json_document.read(self, result, command="discover")

Validation uses Debian's python3-jsonschema (draft 2020-12)."""

import json
from pathlib import Path

from support.common import SRC_DIR

SCHEMA_PATH = Path(SRC_DIR) / "packaging" / "schema" / "updater.schema.json"

try:
    import jsonschema
except ImportError:  # scripts/setup.sh installs python3-jsonschema; without it every check fails, saying so
    jsonschema = None

_validator = None


def validator():
    """The schema's validator, made once (the schema itself is checked first)."""
    global _validator
    if _validator is None:
        if jsonschema is None:
            raise AssertionError("python3-jsonschema is not installed (scripts/setup.sh installs it)")
        schema = json.loads(SCHEMA_PATH.read_text(encoding="utf-8"))
        jsonschema.Draft202012Validator.check_schema(schema)
        _validator = jsonschema.Draft202012Validator(schema)
    return _validator


def schema_faults(document):
    """Every way the document breaks the schema, as "path: message" lines ([] when it is valid)."""
    faults = sorted(validator().iter_errors(document), key=lambda error: list(error.absolute_path))
    return ["/".join(str(part) for part in error.absolute_path) + ": " + error.message for error in faults]


def parse(stdout):
    """The one document of standard output (text as run_updater decodes it, latin-1 byte for byte),
    or raises AssertionError saying what is wrong with it."""
    data = stdout.encode("latin-1")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise AssertionError("standard output is not UTF-8 (%s): %r" % (error, data[:200]))
    if not text.endswith("\n"):
        raise AssertionError("standard output does not end with a line end: %r" % text[-200:])
    if text.count("\n") != 1:
        raise AssertionError("standard output holds more than the document's one line: %r" % text[:2000])
    try:
        return json.loads(text)
    except ValueError as error:
        raise AssertionError("standard output is not one JSON document (%s): %r" % (error, text[:2000]))


def read(testcase, result, command=None, ok=None):
    """Asserts that the run's standard output is exactly one document that validates against the
    schema, whose `ok` matches the exit status, and (when given) whose `command` and `ok` are
    these; returns the document."""
    try:
        document = parse(result.stdout)
    except AssertionError as error:
        testcase.fail("%s\n%r" % (error, result))
    faults = schema_faults(document)
    testcase.assertEqual(faults, [], "the document breaks the schema:\n%s\n%r" % (json.dumps(document, indent=1), result))
    testcase.assertIs(document["ok"], result.status == 0, result)
    if command is not None:
        testcase.assertEqual(document["command"], command, result)
    if ok is not None:
        testcase.assertIs(document["ok"], ok, result)
    return document


def assert_failure(testcase, document, step, cause=None):
    """The document's error names this step, and a cause holding the text cause (when given)."""
    error = document.get("error")
    testcase.assertIsNotNone(error, document)
    testcase.assertEqual(error["step"], step, document)
    testcase.assertTrue(error["cause"], document)
    if cause is not None:
        testcase.assertIn(cause, error["cause"], document)
