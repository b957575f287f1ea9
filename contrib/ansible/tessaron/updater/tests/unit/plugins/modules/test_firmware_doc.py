# -*- coding: utf-8 -*-
"""The module's documentation against its code, as validate-modules would hold it (that sanity
test needs packages from outside): DOCUMENTATION's options are the argument_spec, EXAMPLES use
only those options, and ansible-doc renders the whole of it."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import shutil
import subprocess

import pytest
import yaml

from .test_firmware import firmware

MODULES = os.path.dirname(os.path.abspath(firmware.__file__))
ANSIBLE_DOC = shutil.which('ansible-doc')
SPEC_DEFAULTS = {'required': False, 'default': None, 'choices': None, 'aliases': None, 'elements': None}


def documented_options():
    return yaml.safe_load(firmware.DOCUMENTATION)['options']


def spec_fields(option):
    return dict((key, option.get(key, missing)) for key, missing in dict(SPEC_DEFAULTS, type='str').items())


def test_documented_options_are_the_argument_spec():
    documented = documented_options()
    assert sorted(documented) == sorted(firmware.ARGUMENT_SPEC)
    for name, option in firmware.ARGUMENT_SPEC.items():
        assert spec_fields(documented[name]) == spec_fields(option), name
        assert documented[name]['description'], name


def describe_all(values, where):
    for name, value in values.items():
        assert value.get('description'), '%s.%s' % (where, name)
        describe_all(value.get('contains') or {}, '%s.%s' % (where, name))


def test_every_returned_value_is_described():
    describe_all(yaml.safe_load(firmware.RETURN), 'RETURN')


def test_examples_use_only_the_modules_options_with_values_it_takes():
    known = set(firmware.ARGUMENT_SPEC)
    for spec in firmware.ARGUMENT_SPEC.values():
        known.update(spec.get('aliases') or [])
    for task in yaml.safe_load(firmware.EXAMPLES):
        params = task['tessaron.updater.firmware']
        assert set(params) <= known, task['name']
        if '{{' not in str(params['serial']):
            firmware.serial_number(params['serial'])
        firmware.wanted_build(params.get('build', 'latest'))


@pytest.fixture
def ansible_home(tmp_path):
    """ansible-doc's own files in the test's directory, never in a real home; the Python path of
    the test run (ansible-test units keeps the controller's code out of it) left out."""
    env = dict((name, value) for name, value in os.environ.items() if name != 'PYTHONPATH')
    return dict(env, HOME=str(tmp_path), ANSIBLE_NOCOLOR='1', ANSIBLE_LOCAL_TEMP=str(tmp_path / 'tmp'))


@pytest.mark.skipif(not ANSIBLE_DOC, reason='needs ansible-doc (ansible-core)')
def test_ansible_doc_renders_the_options_and_the_return_values(ansible_home):
    shown = subprocess.run([ANSIBLE_DOC, '-M', MODULES, 'firmware'], env=ansible_home, capture_output=True,
                           text=True, timeout=120)
    assert shown.returncode == 0, shown.stderr
    assert shown.stderr == ''
    text = shown.stdout
    for name in list(firmware.ARGUMENT_SPEC) + ['devices', 'transports', 'runs', 'EXAMPLES']:
        assert name in text, name

    as_json = subprocess.run([ANSIBLE_DOC, '-M', MODULES, '--json', 'firmware'], env=ansible_home,
                             capture_output=True, text=True, timeout=120)
    assert as_json.returncode == 0, as_json.stderr
    rendered = json.loads(as_json.stdout)['firmware']
    assert sorted(rendered['doc']['options']) == sorted(firmware.ARGUMENT_SPEC)
    assert sorted(rendered['return']) == ['devices', 'runs', 'transports']
    assert rendered['doc']['module'] == 'firmware'
