# -*- coding: utf-8 -*-
"""How the firmware module reads the Updater's JSON documents: the module runs whole (main()),
against a stand-in for the program that answers each command line with a document of fixtures/.
discover.json, builds_*.json, update_one_refused.json and update_server_down.json were printed by
the program (--json -D, -B and -G -U against simulated modules and update server); the others are
written after its schema
(packaging/schema/updater.schema.json in the program's repository, which holds every fixture to it)."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import importlib.util
import json
import os

import pytest
import yaml

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes

try:
    from ansible_collections.tessaron.updater.plugins.modules import firmware
except ImportError:  # run by pytest alone, outside an ansible_collections tree
    HERE = os.path.dirname(os.path.abspath(__file__))
    _spec = importlib.util.spec_from_file_location(
        'firmware', os.path.join(HERE, '..', '..', '..', '..', 'plugins', 'modules', 'firmware.py'))
    firmware = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(firmware)

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fixtures')
UPDATER = '/opt/station/bin/Updater'
STORE = '/tmp/updater_e2e.t7_iydzv/home/.tessaron/updater/'


def fixture(name):
    with open(os.path.join(FIXTURES, name)) as f:
        return f.read()


class Ended(Exception):
    def __init__(self, failed, result):
        super(Ended, self).__init__(result.get('msg'))
        self.failed, self.result = failed, result


class Program(object):
    """The Updater as the module sees it: {first words of the command line: (rc, stdout, stderr)};
    records every command line it was given (without the program and --json)."""

    def __init__(self, answers):
        self.answers = answers
        self.commands = []

    def __call__(self, args, check_rc=False, environ_update=None, **kwargs):
        assert environ_update == {'LC_ALL': 'C'} and not check_rc
        assert args[:2] == [UPDATER, '--json'], args
        words = args[2:]
        self.commands.append(words)
        for length in range(len(words), 0, -1):
            answer = self.answers.get(' '.join(words[:length]))
            if answer is not None:
                return answer
        raise AssertionError('no answer for %s' % words)

    def ran(self, word):
        return [command for command in self.commands if word in command]


def document(name, rc=0, stderr=''):
    return rc, fixture(name), stderr


def run_module(monkeypatch, program, check_mode=False, **params):
    """main() with the task's parameters; (failed, result)."""
    params.setdefault('updater_path', UPDATER)
    if check_mode:
        params['_ansible_check_mode'] = True
    monkeypatch.setattr(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': params})))
    monkeypatch.setattr(basic.AnsibleModule, 'run_command', lambda module, args, **kw: program(args, **kw))

    def exit_json(module, **result):
        raise Ended(False, result)

    def fail_json(module, msg, **result):
        result['msg'] = msg
        raise Ended(True, result)

    monkeypatch.setattr(basic.AnsibleModule, 'exit_json', exit_json)
    monkeypatch.setattr(basic.AnsibleModule, 'fail_json', fail_json)
    with pytest.raises(Ended) as ended:
        firmware.main()
    return ended.value.failed, ended.value.result


def device(result, serial):
    return [d for d in result['devices'] if d['serial'] == serial][0]


STATION = {
    '-D': document('discover.json'),
    '-B -d 0A000001': document('builds_latest_not_highest.json'),
    '-B -d 0A000002': document('builds_latest_not_highest.json'),
    '-B -d 0A000003': document('builds_latest_not_highest.json'),
}


@pytest.mark.parametrize('build', ['00', '0', '-1', '12a', ' 12', '1.5', '0x10', '4294967296', 'Latest', ''])
def test_a_build_that_is_no_positive_number_nor_latest_is_refused_before_anything_runs(monkeypatch, build):
    program = Program(STATION)
    failed, result = run_module(monkeypatch, program, serial=['0A000001'], build=build)
    assert failed
    assert result['msg'] == 'build must be a positive build number or latest: %s' % build
    assert program.commands == []


@pytest.mark.parametrize('params, message', [
    ({'serial': ['0A000001', 'G1']}, 'Invalid serial number: G1'),
    ({'serial': ['123456789']}, 'Invalid serial number: 123456789'),
    ({'serial': ['0A000001'], 'devices_at_once': 0}, 'devices_at_once must be a positive number: 0'),
])
def test_wrong_serials_and_counts_are_refused_before_anything_runs(monkeypatch, params, message):
    program = Program(STATION)
    failed, result = run_module(monkeypatch, program, **params)
    assert (failed, result['msg']) == (True, message)
    assert program.commands == []


@pytest.mark.parametrize('build, wanted', [('1', 1), ('1234', 1234), ('4294967295', 4294967295)])
def test_a_positive_build_number_is_taken_as_it_is(monkeypatch, build, wanted):
    program = Program(STATION)
    failed, result = run_module(monkeypatch, program, serial=['0A000001'], build=build, check_mode=True)
    assert not failed
    assert device(result, '0A000001')['wanted'] == wanted
    assert program.ran('-B') == []


def test_latest_is_the_build_the_server_names_latest_not_the_highest_listed(monkeypatch):
    program = Program(dict(STATION, **{'-G': document('update_one_refused.json', rc=1)}))
    run_module(monkeypatch, program, serial=['0A000001', '0A000003'], server_url='http://127.0.0.1:1/cgi/u')
    assert program.ran('-B') == [['-B', '-d', '0A000001', '-u', 'http://127.0.0.1:1/cgi/u'],
                                 ['-B', '-d', '0A000003', '-u', 'http://127.0.0.1:1/cgi/u']]
    assert program.ran('-G') == [['-G', '-U', '-d', '0A000001,0A000003', '-b', '1234',
                                  '-u', 'http://127.0.0.1:1/cgi/u']]


def test_a_refused_module_fails_alone_with_the_step_cause_and_state_of_its_record(monkeypatch):
    program = Program(dict(STATION, **{'-G': document('update_one_refused.json', rc=1)}))
    failed, result = run_module(monkeypatch, program, serial=['0a000001', '0xa000003'], devices_at_once=2)
    assert failed and result['changed']
    assert result['devices'] == [
        {'serial': '0A000001', 'model': 'Osprey', 'before': 1000, 'wanted': 1234, 'after': 1234,
         'result': 'updated', 'step': None, 'cause': None, 'state': 'running', 'seconds': 1.512,
         'file': STORE + '0A000001/1234.bird'},
        {'serial': '0A000003', 'model': 'Osprey', 'before': 1000, 'wanted': 1234, 'after': 1000,
         'result': 'failed', 'step': 'validation',
         'cause': 'Connected device model and Bird file model do not match [Osprey]', 'state': 'unchanged',
         'seconds': 0.267, 'file': STORE + '0A000003/1234.bird'}]
    assert result['msg'] == ('0A000003 failed at validation: Connected device model and Bird file model '
                             'do not match [Osprey] (state: unchanged)')
    assert program.ran('-G')[0][-2:] == ['-j', '2']
    assert [run['rc'] for run in result['runs']] == [0, 0, 0, 1]
    assert result['runs'][-1]['document']['devices'][1]['step'] == 'validation'


def test_a_module_left_in_its_loader_is_reported_so_and_changed_is_false(monkeypatch):
    program = Program(dict(STATION, **{'-G': document('update_in_loader.json', rc=1)}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001'], build='1234', devices_at_once=4)
    record = device(result, '0A000001')
    assert failed and not result['changed']
    assert (record['result'], record['step'], record['state'], record['after']) == \
        ('failed', 'firmware', 'in_loader', None)
    # One device: no -j, which the program refuses without several devices.
    assert program.ran('-G') == [['-G', '-U', '-d', '0A000001', '-b', '1234']]


def test_modules_already_current_run_no_update_and_change_nothing(monkeypatch):
    program = Program(STATION)
    failed, result = run_module(monkeypatch, program, serial=['0A000002'])
    assert (failed, result['changed']) == (False, False)
    assert device(result, '0A000002') == {
        'serial': '0A000002', 'model': 'Osprey', 'before': 1234, 'wanted': 1234, 'after': 1234,
        'result': 'current', 'step': None, 'cause': None, 'state': 'running', 'seconds': None, 'file': None}
    assert program.ran('-G') == []


def test_check_mode_reads_and_writes_nothing(monkeypatch):
    program = Program(STATION)
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000002'], check_mode=True)
    assert (failed, result['changed']) == (False, True)
    assert [d['result'] for d in result['devices']] == ['would update', 'current']
    assert [c[0] for c in program.commands] == ['-D', '-B', '-B']


def test_a_failed_transport_search_is_named_in_the_cause_of_a_module_not_found(monkeypatch):
    program = Program(dict(STATION, **{'-D': document('discover_tcp_failed.json', rc=1)}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000003'], check_mode=True)
    assert failed
    assert result['transports'] == [{'name': 'TCP', 'cause': 'No network interface to search on'}]
    missing = device(result, '0A000001')
    assert (missing['result'], missing['step'], missing['state'], missing['before']) == \
        ('failed', 'discovery', 'unknown', None)
    assert missing['cause'] == 'module 0A000001 not found; the TCP search failed: No network interface to search on'
    assert device(result, '0A000003')['result'] == 'would update'


def test_a_module_whose_build_discovery_could_not_read_fails_with_the_programs_cause(monkeypatch):
    program = Program(dict(STATION, **{'-D': document('discover_busy.json')}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000003'], check_mode=True)
    assert failed
    # Found twice: busy on TCP/IP, read on USB.
    assert (device(result, '0A000001')['result'], device(result, '0A000001')['before']) == ('would update', 1000)
    busy = device(result, '0A000003')
    assert (busy['result'], busy['step'], busy['state'], busy['before']) == ('failed', 'discovery', 'unknown', None)
    assert busy['cause'] == 'its build was not read: Error (5): the device is busy'


def test_a_router_that_is_not_found_fails_the_task_before_any_module_is_read(monkeypatch):
    program = Program(dict(STATION, **{'-D': document('discover_router_failed.json', rc=1)}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001'], router='5E6F7A8B')
    assert (failed, result['msg']) == (True, 'Discovery failed at discovery: Router 5E6F7A8B not found')
    assert program.commands == [['-D', '-r', '5E6F7A8B']]


def test_a_module_whose_turn_never_came_fails_with_the_records_step(monkeypatch):
    program = Program(dict(STATION, **{'-G': document('update_not_run.json', rc=130)}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000003'], build='1234')
    assert failed and result['changed']
    assert device(result, '0A000001')['result'] == 'updated'
    skipped = device(result, '0A000003')
    assert (skipped['result'], skipped['step'], skipped['state'], skipped['after']) == \
        ('failed', 'process', 'unchanged', 1000)
    assert skipped['cause'] == "The run was interrupted before this device's turn"


def test_a_server_that_names_no_build_fails_the_module_with_the_programs_step(monkeypatch):
    program = Program(dict(STATION, **{'-B -d 0A000001': document('builds_server_down.json', rc=1)}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000002'])
    record = device(result, '0A000001')
    assert failed and not result['changed']
    assert (record['step'], record['cause'], record['state'], record['wanted']) == \
        ('server', "Failed to connect to 127.0.0.1 port 52219 after 0 ms: Couldn't connect to server", 'unchanged', None)
    assert device(result, '0A000002')['result'] == 'current'


def test_a_server_down_at_the_update_fails_each_module_with_its_own_record(monkeypatch):
    program = Program(dict(STATION, **{'-G': document('update_server_down.json', rc=1)}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000003'], build='1234')
    assert failed and not result['changed']
    for serial in ('0A000001', '0A000003'):
        record = device(result, serial)
        assert (record['result'], record['step'], record['state'], record['before'], record['model']) == \
            ('failed', 'server', 'unchanged', 1000, 'Osprey')
        assert record['cause'].startswith('greeting of the update server failed: Failed to connect to 127.0.0.1')


def test_a_failure_of_the_update_run_that_names_no_device_fails_each_of_its_modules(monkeypatch):
    document_text = json.dumps({'schema': 1, 'program': {'name': 'Updater', 'version': '1.1'}, 'command': 'update',
                                'ok': False, 'error': {'step': 'store', 'cause': 'The store is not yours'},
                                'devices': []})
    program = Program(dict(STATION, **{'-G': (1, document_text, '')}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000003'], build='1234')
    assert failed
    for serial in ('0A000001', '0A000003'):
        record = device(result, serial)
        assert (record['result'], record['step'], record['cause'], record['state']) == \
            ('failed', 'store', 'The store is not yours', 'unknown')


@pytest.mark.parametrize('stdout', ['', 'Updater (Version: 1.1 Apr 26 2023)\n', '[1, 2]', '{"schema": 2}'])
def test_a_program_that_prints_no_document_of_this_version_fails_the_task_with_its_first_line(monkeypatch, stdout):
    program = Program({'-D': (1, stdout, '\nUnknown option: [--json]\n\nApplication Usage:\n    -H -h or --help\n')})
    failed, result = run_module(monkeypatch, program, serial=['0A000001'])
    assert failed
    assert result['msg'] == '%s gave no JSON document (exit status 1): Unknown option: [--json]' % UPDATER
    assert result['runs'][0]['document'] is None


def test_return_documents_every_key_the_module_returns(monkeypatch):
    program = Program(dict(STATION, **{'-G': document('update_one_refused.json', rc=1),
                                       '-D': document('discover_tcp_failed.json')}))
    failed, result = run_module(monkeypatch, program, serial=['0A000001', '0A000003'])
    documented = yaml.safe_load(firmware.RETURN)
    assert set(result) - {'msg', 'changed'} == set(documented)
    for key in ('devices', 'transports', 'runs'):
        assert result[key], key
        for entry in result[key]:
            assert set(entry) == set(documented[key]['contains']), key
