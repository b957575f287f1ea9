#!/bin/bash
# Runs ansible-test on the collection of contrib/ansible, from a copy laid out as ansible-test
# wants it (ansible_collections/NAMESPACE/NAME) in a temporary folder that is also its HOME:
#   sanity  the sanity tests that need nothing from outside (the others install their
#           requirements from a package index first; the collection's own unit tests check what
#           validate-modules and ansible-doc would: options against the argument spec, rendering)
#   units   the collection's unit tests, the module imported as ansible_collections.tessaron.updater
# Exits 77 (skipped) without ansible-test.
set -euo pipefail
what=$1
source=$(cd "$(dirname "$0")/../.." && pwd)/contrib/ansible/tessaron/updater
command -v ansible-test >/dev/null || { echo "needs ansible-test (Debian's ansible-core)"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/ansible_collections/tessaron"
cp -r "$source" "$work/ansible_collections/tessaron/updater"
cd "$work/ansible_collections/tessaron/updater"
export HOME=$work/home
python=(--local --python-interpreter /usr/bin/python3 --python "$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')")
case $what in
  sanity)
    needs_outside=(ansible-doc import pep8 pylint runtime-metadata validate-modules yamllint)
    timeout 600 ansible-test sanity "${python[@]}" "${needs_outside[@]/#/--skip-test=}" ;;
  units)
    timeout 600 ansible-test units "${python[@]}" ;;
  *)
    echo "usage: $0 sanity|units" >&2; exit 2 ;;
esac
