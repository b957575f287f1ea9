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
  - Reads the build every named module runs (C(Updater -D)), and updates those that do not run the
    wanted build with one C(Updater -G -U) run over all of them, side by side.
  - "Idempotent: a module that already runs the wanted build is left alone, and the task reports
    C(changed) only when a module's build changed."
  - In check mode nothing is downloaded or written; the result tells which modules would change.
  - A module that fails fails the task, with the step, the cause and the state the module is
    left in, taken from the program's own lines.
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
      - The build to install, or C(latest) for the highest build the update server lists for
        each module.
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
    description: Modules updated side by side (C(Updater -j)); the program's default when not given.
    type: int
  updater_path:
    description: The Updater program to run.
    type: path
    default: Updater
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
  description: One record per module.
  returned: always
  type: list
  elements: dict
  contains:
    serial: {description: Serial number, type: str}
    before: {description: Build before (null when unknown), type: int}
    wanted: {description: Build wanted (null when none), type: int}
    after: {description: Build after (null when unknown or not run), type: int}
    result: {description: "current, would update, updated or failed", type: str}
    step: {description: The step that failed, type: str}
    cause: {description: "Why, in the program's words (its summary table, else its error line)", type: str}
    state: {description: The state the module is left in, type: str}
    lines: {description: The module's error lines, type: list}
'''

import re

from ansible.module_utils.basic import AnsibleModule

SERIAL_RE = re.compile(r'^(0[xX])?[0-9A-Fa-f]{1,8}$')
DEVICE_ROW_RE = re.compile(r'^    ([0-9A-F]{8})  .*\((\d+)\)')
BUILD_ROW_RE = re.compile(r'^(\d+)\s*\t')

# The summary table names a failed update's step before its cause ("firmware: ...").
TABLE_STEP_RE = re.compile(r'^(command|settings|build|file|validation|connect|loader|load|firmware|reboot|'
                           r'verification): (.*)$')

# The step of a failure told otherwise (a download, a process that did not start), from the words
# of the program's cause line.
STEPS = [
    ('connect', ('Failed to connect', 'Connecting to', 'not found behind router')),
    ('validation', ('do not match', 'failed validation', 'Bird serial number')),
    ('download', ('Download failed', 'retreive', 'No valid build', 'Server request failed')),
    ('build', ('Failed to read build', 'Could not find valid build', 'named no latest build')),
    ('init', ('(INIT)',)),
    ('loader', ('loader block', 'loader (LOAD)', 'starting loader', 'in loader mode')),
    ('firmware', ('firmware block',)),
    ('reboot', ('(REBOOT)',)),
    ('record', ('transfer record', 'record the transfer')),
]


def step_and_cause(cause):
    """The step and the cause of a failure from the table's cause column."""
    match = TABLE_STEP_RE.match(cause)
    if match:
        return match.group(1), match.group(2)
    return step_of(cause), cause


def step_of(cause):
    for step, words in STEPS:
        if any(word in cause for word in words):
            return step
    return 'update'


def number(text):
    return int(text) if text and text.isdigit() else None


class Updater(object):
    def __init__(self, module):
        self.module = module
        params = module.params
        self.path = module.get_bin_path(params['updater_path'], required=True) \
            if '/' not in params['updater_path'] else params['updater_path']
        self.common = []
        if params['server_url']:
            self.common += ['-u', params['server_url']]

    def run(self, args):
        return self.module.run_command([self.path] + args, check_rc=False, environ_update={'LC_ALL': 'C'})

    def running_builds(self):
        """{serial: build} of every module discovery finds on the transports named."""
        params = self.module.params
        found = {}
        transports = [params['transport']] if params['transport'] else ['USB', 'TCP']
        for transport in transports:
            args = ['-D', '-t', transport]
            if params['router']:
                args += ['-r', params['router']]
            rc, out, err = self.run(args)
            if rc != 0:
                self.module.fail_json(msg='Discovery failed: %s' % (err.strip() or out.strip()), rc=rc)
            for line in out.splitlines():
                match = DEVICE_ROW_RE.match(line)
                if match:
                    found.setdefault(match.group(1), int(match.group(2)))
            if params['router']:
                break
        return found

    def latest_build(self, serial):
        """The highest build the server lists for the device, and why there is none."""
        rc, out, err = self.run(['-B', '-d', serial] + self.common)
        builds = [int(m.group(1)) for m in (BUILD_ROW_RE.match(line) for line in out.splitlines()) if m]
        if rc != 0 or not builds:
            return None, (err.strip().splitlines() or out.strip().splitlines() or ['no builds listed'])[-1]
        return max(builds), None

    def update(self, serials, build):
        """Runs one -G -U over the serials; returns ({serial: row}, {serial: error lines}, output)."""
        params = self.module.params
        args = ['-G', '-U', '-d', ','.join(serials), '-b', str(build)] + self.common
        if params['transport']:
            args += ['-t', params['transport']]
        if params['router']:
            args += ['-r', params['router']]
        # -j even for one device: the program then ends with its summary table as well.
        args += ['-j', str(params['devices_at_once'] or 4)]
        rc, out, err = self.run(args)
        lines = {}
        for line in err.splitlines():
            serial, sep, text = line.partition(': ')
            if sep and serial in serials:
                lines.setdefault(serial, []).append(text)
        return summary_rows(out, serials), lines, rc, out, err


def summary_rows(out, serials):
    """The rows of the summary table that ends a run over several devices, by serial number."""
    rows = {}
    text = out.splitlines()
    try:
        start = text.index('Summary:')
    except ValueError:
        return rows
    header = text[start + 1]
    state_at, cause_at = header.find('State'), header.find('Cause')
    for line in text[start + 2:]:
        fields = line[:state_at].split()
        if len(fields) < 4 or fields[0] not in serials:
            continue
        rows[fields[0]] = {
            'before': number(fields[1]), 'after': number(fields[2]), 'result': fields[3],
            'state': line[state_at:cause_at].strip(), 'cause': line[cause_at:].strip(),
        }
    return rows


def normalise(module, serial):
    if not SERIAL_RE.match(serial):
        module.fail_json(msg='Invalid serial number: %s' % serial)
    digits = serial[2:] if serial[:2] in ('0x', '0X') else serial
    return '%08X' % int(digits, 16)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            serial=dict(type='list', elements='str', required=True, aliases=['serials']),
            build=dict(type='str', default='latest'),
            server_url=dict(type='str'),
            transport=dict(type='str', choices=['USB', 'TCP']),
            router=dict(type='str'),
            devices_at_once=dict(type='int'),
            updater_path=dict(type='path', default='Updater'),
        ),
        supports_check_mode=True,
    )
    serials = []
    for serial in module.params['serial']:
        serial = normalise(module, serial)
        if serial not in serials:
            serials.append(serial)
    wanted_text = module.params['build']
    if wanted_text != 'latest' and not wanted_text.isdigit():
        module.fail_json(msg='build must be a decimal build number or latest: %s' % wanted_text)

    updater = Updater(module)
    running = updater.running_builds()
    devices = {}
    for serial in serials:
        device = {'serial': serial, 'before': running.get(serial), 'wanted': None, 'after': None,
                  'result': None, 'step': None, 'cause': None, 'state': None, 'lines': []}
        devices[serial] = device
        if device['before'] is None:
            device.update(result='failed', step='discovery', cause='module %s not found' % serial,
                          state='not reached')
            continue
        if wanted_text == 'latest':
            device['wanted'], why = updater.latest_build(serial)
            if device['wanted'] is None:
                device.update(result='failed', step='build', cause=why, state='runs build %d' % device['before'])
                continue
        else:
            device['wanted'] = int(wanted_text)
        if device['before'] == device['wanted']:
            device.update(result='current', after=device['before'], state='runs build %d' % device['before'])
        else:
            device['result'] = 'would update'

    to_update = [d for d in devices.values() if d['result'] == 'would update']
    output = {}
    if to_update and not module.check_mode:
        by_build = {}
        for device in to_update:
            by_build.setdefault(device['wanted'], []).append(device['serial'])
        for build, group in sorted(by_build.items()):
            rows, lines, rc, out, err = updater.update(group, build)
            output[build] = {'rc': rc, 'stdout': out, 'stderr': err}
            for serial in group:
                device = devices[serial]
                device['lines'] = lines.get(serial, [])
                row = rows.get(serial)
                if row is None:
                    last = (device['lines'] or err.strip().splitlines() or ['no summary from the program'])[-1]
                    device.update(result='failed', step=step_of(last), cause=last, state='unknown')
                    continue
                device.update(after=row['after'], state=row['state'])
                if row['result'] == 'updated':
                    device['result'] = 'updated'
                else:
                    step, cause = step_and_cause(row['cause'])
                    device.update(result='failed', cause=cause, step=step)

    records = [devices[s] for s in serials]
    if module.check_mode:
        changed = bool(to_update)
    else:
        # A module that failed may still have changed its build (it came back running another).
        changed = any(d['after'] is not None and d['before'] is not None and d['after'] != d['before']
                      for d in records)
    failed = [d for d in records if d['result'] == 'failed']
    if failed:
        module.fail_json(
            msg='; '.join('%s failed at %s: %s (state: %s)' % (d['serial'], d['step'], d['cause'], d['state'])
                          for d in failed),
            changed=changed, devices=records, runs=output)
    module.exit_json(changed=changed, devices=records, runs=output)


if __name__ == '__main__':
    main()
