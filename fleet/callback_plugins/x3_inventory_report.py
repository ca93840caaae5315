# Writes the inventory of inventory_x3.yml when the run ends: what the X3
# cards of every switch run, as each switch's upgrade history says.
#
# report_dir receives inventory.json, whose switches list one entry per
# switch in inventory order (switch, address, error: null or why its status page could not be
# read, slots: per slot the image of the run that last re-flashed it,
# crc32, type, compiled, bank, generation and time, null where no run did,
# and last_run and last_step, how the last run that asked for the slot
# went), and inventory.txt, the same as a table, which is also printed.
# The entries come from the fact x3_upgrade_status that the role
# x3_upgrade's read_status sets; other playbooks are left alone.
from __future__ import annotations

import datetime
import json
import os

from ansible.plugins.callback import CallbackBase
from ansible.utils.display import Display

DOCUMENTATION = '''
    name: x3_inventory_report
    type: notification
    short_description: writes the X3 inventory report
    description:
      - At the end of inventory_x3.yml, writes inventory.json and inventory.txt into report_dir.
    options:
      report_dir:
        description: The folder of the report, relative to the current folder.
        type: path
        default: fleet-report
        vars:
          - name: report_dir
'''

display = Display()

PLAYBOOK = 'inventory_x3.yml'
IMAGE = ('crc32', 'type', 'compiled', 'bank', 'generation', 'time')


def slot_entry(status):
    """One slot of x3_status's JSON as the inventory has it."""
    runs, last = status.get('runs') or {}, status.get('last_run') or {}
    return dict({'slot': status.get('slot')}, **{key: runs.get(key) for key in IMAGE},
                last_run=last.get('result'), last_step=last.get('step'))


def table(entries):
    lines = ['X3 inventory, %s' % datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S'), '',
             '%-10s %-15s %4s  %-8s  %-20s  %-40s  %s' % (
                 'switch', 'address', 'slot', 'crc32', 're-flashed', 'version', 'last run')]
    for e in entries:
        head = '%-10s %-15s' % (e['switch'], e['address'])
        if e['error'] is not None:
            lines.append('%s %4s  history not read: %s' % (head, '-', e['error']))
        elif not e['slots']:
            lines.append('%s %4s  no run in the history' % (head, '-'))
        for s in e['slots']:
            version = ', '.join(v for v in (s['type'], s['compiled']) if v) or '-'
            outcome = s['last_run'] or '-'
            if s['last_step']:
                outcome += ' at ' + s['last_step']
            lines.append('%s %4d  %-8s  %-20s  %-40s  %s' % (
                head, s['slot'], s['crc32'] or '-', s['time'] or '-', version, outcome))
    return '\n'.join(lines) + '\n'


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'notification'
    CALLBACK_NAME = 'x3_inventory_report'
    CALLBACK_NEEDS_ENABLED = False

    def __init__(self):
        super().__init__()
        self.active = False
        self.order = []     # the inventory's hosts, in its order
        self.entries = {}   # name -> entry

    def v2_playbook_on_start(self, playbook):
        self.active = os.path.basename(playbook._file_name) == PLAYBOOK

    def v2_playbook_on_play_start(self, play):
        if not self.active or self.order:
            return
        play_vars = play.get_variable_manager().get_vars(play=play)
        self.set_options(var_options=play_vars)
        self.order = list(play_vars.get('groups', {}).get('all', []))

    def v2_runner_on_ok(self, result):
        status = result._result.get('ansible_facts', {}).get('x3_upgrade_status')
        if not self.active or status is None:
            return
        name = result._host.get_name()
        self.entries[name] = {'switch': name, 'address': status.get('address'), 'error': status.get('error'),
                              'slots': [slot_entry(s) for s in status.get('slots') or []]}

    def v2_playbook_on_stats(self, stats):
        if not self.active:
            return
        rank = {name: i for i, name in enumerate(self.order)}
        entries = sorted(self.entries.values(), key=lambda e: rank.get(e['switch'], len(rank)))
        directory = os.path.abspath(self.get_option('report_dir'))
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, 'inventory.json'), 'w') as out:
            json.dump({'switches': entries}, out, indent=2)
            out.write('\n')
        text = table(entries)
        with open(os.path.join(directory, 'inventory.txt'), 'w') as out:
            out.write(text)
        display.display(text + 'x3 inventory: %s/inventory.txt' % directory)
