#!/usr/bin/python
# -*- coding: utf-8 -*-
"""Firmware of instrument modules, brought to a wanted build by the installed Updater program."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: firmware
short_description: Bring instrument modules to a firmware build with the Updater program
description:
  - Reads the build every named module runs (C(Updater --json -D)), and updates those that do not
    run the wanted build with one C(Updater --json -G -U) run over all of them, side by side.
  - Every run of the program is read from the one JSON document C(--json) puts on its standard
    output, never from the lines meant for people.
  - "Idempotent: a module that already runs the wanted build is left alone, and the task reports
    C(changed) only when a module's build changed."
  - In check mode nothing is downloaded or written; the result tells which modules would change.
  - A module that fails fails the task, with the step, the cause and the state the module is
    left in, as the program's record of that module names them; the other modules of the task
    are still updated.
requirements:
  - An Updater program that knows C(--json) on the host the task runs on.
options:
  serial:
    description:
      - Serial number of the module (eight hexadecimal digits), or a list of them.
    type: list
    elements: str
    required: true
    aliases: [serials]
  build:
    description:
      - The build to install (a positive decimal number), or C(latest) for the build the update
        server names as the latest for each module.
      - Checked before anything runs.
    type: str
    default: latest
  server_url:
    description: Base URL of the update server (C(Updater -u)); the program's default when not given.
    type: str
  transport:
    description: How the modules are reached; both when not given.
    type: str
    choices: [USB, TCP]
  router:
    description: Serial number of the router module the modules sit behind (C(Updater -r)).
    type: str
  devices_at_once:
    description:
      - Modules updated side by side (C(Updater -j)) when several are updated with one build; the
        program's default when not given.
    type: int
  updater_path:
    description: The Updater program to run.
    type: path
    default: Updater
author:
  - Updater developers
'''

EXAMPLES = r'''
- name: Every module of the station runs the latest build
  tessaron.updater.firmware:
    serial: "{{ station_modules }}"
    server_url: http://updates.example.invalid:8080/cgi/u

- name: One module to a given build, reached over TCP/IP
  tessaron.updater.firmware:
    serial: 0F5849A1
    build: "1234"
    transport: TCP
'''

RETURN = r'''
devices:
  description: One record per module named, in the order named.
  returned: always
  type: list
  elements: dict
  contains:
    serial:
      description: Serial number, eight upper-case hexadecimal digits.
      type: str
      sample: 0F5849A1
    model:
      description: Model name, as discovery or the update run found it; null when unknown.
      type: str
    before:
      description: The build the module ran before the task; null when it was not found or its build not read.
      type: int
    wanted:
      description: The build wanted; null when there is none (no latest build on the server).
      type: int
    after:
      description: The build it runs after the task; null when unknown or, in check mode, not run.
      type: int
    result:
      description:
        - C(current) (already ran the wanted build), C(would update) (check mode), C(updated) or
          C(failed).
      type: str
    step:
      description:
        - The step that failed, as the program names it (C(discovery), C(server), C(build),
          C(download), C(validation), C(connect), C(loader), C(firmware), C(reboot), ...);
          null unless the module failed.
      type: str
    cause:
      description: Why it failed, in the program's words; null unless the module failed.
      type: str
    state:
      description:
        - The state the module is left in, as the program names it; C(running) (runs the build
          C(after)), C(unchanged) (nothing was written, it runs its old build), C(in_loader),
          C(not_back), C(flash_may_be_erased), C(unknown).
      type: str
    seconds:
      description: How long the program's update of this module took; null when none ran.
      type: float
    file:
      description: The firmware file the program used; null when none.
      type: str
transports:
  description: The discovery searches that failed; a module not found then names them in its cause.
  returned: always
  type: list
  elements: dict
  contains:
    name:
      description: The transport, C(USB) or C(TCP).
      type: str
    cause:
      description: Why its search failed.
      type: str
runs:
  description: Every run of the program, in order, with what it returned.
  returned: always
  type: list
  elements: dict
  contains:
    command:
      description: The program's command line.
      type: list
      elements: str
    rc:
      description: Its exit status.
      type: int
    document:
      description: The JSON document it printed, parsed; null when it printed none.
      type: dict
    stderr:
      description: What it printed on standard error (the lines meant for people).
      type: str
'''

import json
import re

from ansible.module_utils.basic import AnsibleModule

ARGUMENT_SPEC = dict(
    serial=dict(type='list', elements='str', required=True, aliases=['serials']),
    build=dict(type='str', default='latest'),
    server_url=dict(type='str'),
    transport=dict(type='str', choices=['USB', 'TCP']),
    router=dict(type='str'),
    devices_at_once=dict(type='int'),
    updater_path=dict(type='path', default='Updater'),
)

SCHEMA = 1
SERIAL_RE = re.compile(r'^(0[xX])?[0-9A-Fa-f]{1,8}$')
BUILD_RE = re.compile(r'^[1-9][0-9]*$')
BUILD_MAX = 0xFFFFFFFF


class InvalidParameter(ValueError):
    pass


def serial_number(text):
    """The serial number as eight upper-case hex digits."""
    if not SERIAL_RE.match(text):
        raise InvalidParameter('Invalid serial number: %s' % text)
    digits = text[2:] if text[:2] in ('0x', '0X') else text
    return '%08X' % int(digits, 16)


def wanted_build(text):
    """'latest', or the build number text names (positive, decimal, without leading zeros)."""
    if text == 'latest':
        return text
    if not BUILD_RE.match(text) or int(text) > BUILD_MAX:
        raise InvalidParameter('build must be a positive build number or latest: %s' % text)
    return int(text)


def checked_parameters(params):
    """(serials, wanted build) of the task, each serial once; InvalidParameter for a wrong one."""
    serials = []
    for text in params['serial']:
        serial = serial_number(text)
        if serial not in serials:
            serials.append(serial)
    if params['devices_at_once'] is not None and params['devices_at_once'] < 1:
        raise InvalidParameter('devices_at_once must be a positive number: %d' % params['devices_at_once'])
    return serials, wanted_build(params['build'])


def document_of(stdout):
    """The program's JSON document, or None when standard output holds none of version 1."""
    try:
        document = json.loads(stdout)
    except ValueError:
        return None
    if not isinstance(document, dict) or document.get('schema') != SCHEMA:
        return None
    return document


def failure_of(document):
    """(step, cause) of a failure that belongs to no device, or None."""
    error = document.get('error')
    if not error:
        return None
    return error.get('step') or 'command', error.get('cause') or 'the program gave no cause'


def discovered(document):
    """({serial: device record of -D}, [failed transport searches as {name, cause}]). A module
    found twice (on USB and TCP/IP) is taken where its build was read."""
    found = {}
    for device in document.get('devices') or []:
        serial = device['serial'].upper()
        if serial not in found or found[serial].get('build') is None:
            found[serial] = device
    failed = [{'name': t.get('name'), 'cause': t.get('cause')}
              for t in document.get('transports') or [] if not t.get('ok')]
    return found, failed


def latest_build(document):
    """(the build -B names latest, as -G and -U take it, None) or (None, (step, why there is none))."""
    failure = failure_of(document)
    if failure is not None:
        return None, failure
    latest = document.get('latest') or {}
    if latest.get('build') is None:
        return None, ('build', latest.get('cause') or 'the update server names no latest build')
    return latest['build'], None


def device_records(document):
    """{serial: record} of an update run's devices."""
    return dict((record['serial'].upper(), record) for record in document.get('devices') or [])


def not_found_cause(serial, failed_transports):
    cause = 'module %s not found' % serial
    for transport in failed_transports:
        cause += '; the %s search failed: %s' % (transport['name'], transport['cause'])
    return cause


def new_device(serial, found):
    return {'serial': serial, 'model': found.get('model'), 'before': found.get('build'), 'wanted': None,
            'after': None, 'result': None, 'step': None, 'cause': None, 'state': None, 'seconds': None,
            'file': None}


def fail_device(device, step, cause, state):
    device.update(result='failed', step=step, cause=cause, state=state)


def take_record(device, record):
    """The outcome of the update run for the device, from the program's record of it."""
    device.update(after=record.get('build_after'), state=record.get('state') or 'unknown',
                  seconds=record.get('seconds'), file=record.get('file'))
    if record.get('model'):
        device['model'] = record['model']
    if record.get('result') in ('updated', 'current'):
        device.update(result=record['result'], step=None, cause=None)
    else:
        fail_device(device, record.get('step') or 'update',
                    record.get('cause') or 'the program did not get to this module (%s)' % record.get('result'),
                    device['state'])


def plan(device, wanted):
    """Whether the device runs the wanted build already ('current') or would be updated."""
    device['wanted'] = wanted
    if device['before'] == wanted:
        device.update(result='current', after=wanted, state='running')
    else:
        device['result'] = 'would update'


def changed_any(records, check_mode):
    if check_mode:
        return any(d['result'] == 'would update' for d in records)
    # A module that failed may still have changed its build (it came back running another).
    return any(d['after'] is not None and d['before'] is not None and d['after'] != d['before'] for d in records)


def failure_message(failed):
    return '; '.join('%s failed at %s: %s (state: %s)' % (d['serial'], d['step'], d['cause'], d['state'])
                     for d in failed)


class Updater(object):
    """The program, run with --json; every run kept in `runs`."""

    def __init__(self, module):
        self.module = module
        params = module.params
        path = params['updater_path']
        self.path = path if '/' in path else module.get_bin_path(path, required=True)
        self.server = ['-u', params['server_url']] if params['server_url'] else []
        self.runs = []

    def run(self, args):
        """The run's document; a run that printed none fails the task."""
        command = [self.path, '--json'] + args
        rc, out, err = self.module.run_command(command, check_rc=False, environ_update={'LC_ALL': 'C'})
        document = document_of(out)
        self.runs.append({'command': command, 'rc': rc, 'document': document, 'stderr': err})
        if document is None:
            # The first line on standard error says why (an older program: "Unknown option: [--json]").
            first = ([line for line in err.splitlines() if line.strip()] or ['nothing on standard error'])[0]
            self.module.fail_json(msg='%s gave no JSON document (exit status %d): %s' % (self.path, rc, first),
                                  runs=self.runs)
        return document

    def discover(self):
        params = self.module.params
        args = ['-D']
        if params['transport']:
            args += ['-t', params['transport']]
        if params['router']:
            args += ['-r', params['router']]
        document = self.run(args)
        failure = failure_of(document)
        if failure is not None and not document.get('devices'):
            self.module.fail_json(msg='Discovery failed at %s: %s' % failure, runs=self.runs)
        return discovered(document)

    def latest(self, serial):
        return latest_build(self.run(['-B', '-d', serial] + self.server))

    def update(self, serials, build):
        """{serial: record} and the failure that belongs to no device (or None) of one -G -U run."""
        params = self.module.params
        args = ['-G', '-U', '-d', ','.join(serials), '-b', str(build)] + self.server
        if params['transport']:
            args += ['-t', params['transport']]
        if params['router']:
            args += ['-r', params['router']]
        if len(serials) > 1 and params['devices_at_once']:
            args += ['-j', str(params['devices_at_once'])]
        document = self.run(args)
        return device_records(document), failure_of(document)


def plan_devices(updater, serials, wanted):
    """The records of the task's devices before anything is written, and the failed transports."""
    found, failed_transports = updater.discover()
    devices = []
    for serial in serials:
        device = new_device(serial, found.get(serial, {}))
        devices.append(device)
        if serial not in found:
            fail_device(device, 'discovery', not_found_cause(serial, failed_transports), 'unknown')
            continue
        if device['before'] is None:
            fail_device(device, 'discovery', 'its build was not read: %s' % found[serial].get('cause'), 'unknown')
            continue
        build = wanted
        if wanted == 'latest':
            build, why = updater.latest(serial)
            if build is None:
                fail_device(device, why[0], why[1], 'unchanged')
                continue
        plan(device, build)
    return devices, failed_transports


def update_devices(updater, devices):
    """One update run per wanted build over the devices that would be updated."""
    by_build = {}
    for device in devices:
        if device['result'] == 'would update':
            by_build.setdefault(device['wanted'], []).append(device)
    for build, group in sorted(by_build.items()):
        records, failure = updater.update([d['serial'] for d in group], build)
        for device in group:
            record = records.get(device['serial'])
            if record is not None:
                take_record(device, record)
            elif failure is not None:
                fail_device(device, failure[0], failure[1], 'unknown')
            else:
                fail_device(device, 'process', 'the program gave no record of this module', 'unknown')


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    try:
        serials, wanted = checked_parameters(module.params)
    except InvalidParameter as error:
        module.fail_json(msg=str(error))

    updater = Updater(module)
    devices, failed_transports = plan_devices(updater, serials, wanted)
    if not module.check_mode:
        update_devices(updater, devices)

    result = dict(changed=changed_any(devices, module.check_mode), devices=devices,
                  transports=failed_transports, runs=updater.runs)
    failed = [d for d in devices if d['result'] == 'failed']
    if failed:
        module.fail_json(msg=failure_message(failed), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
