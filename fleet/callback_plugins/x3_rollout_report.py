# Writes the rollout report of upgrade_x3.yml when the run ends, whatever
# happened: a failed batch ends the play and skips every later play, so the
# report cannot be a task of its own.
#
# report_dir receives report.json, the image's description (x3image info's,
# with verified_with, the keys file its signature was found good against,
# or null; file and refused for an image refused, file and checked false
# when the image check did not run) then one entry per switch (switch,
# address, slots, result, reason, seconds, and the role's x3_upgrade_plan:
# reflash, already, forced, status_error, null until it was made), and
# report.txt, the same as a table. The switches are the hosts of the
# playbook's last play, learnt before any is contacted. A switch's result
# is "ok" once the role x3_upgrade recorded x3_upgrade_done for it,
# "unchanged" when its plan left no slot to re-flash (outside check mode),
# "failed" when one of its tasks failed, and "not attempted" otherwise.
# Only upgrade_x3.yml gets a report; the other playbooks beside it are
# left alone.
#
# Ansible 2.14 gives a callback a task's outcome only as result._host and
# result._result; there is no public accessor for either.
from __future__ import annotations

import datetime
import json
import os
import time

from ansible import context
from ansible.plugins.callback import CallbackBase
from ansible.plugins.loader import lookup_loader
from ansible.template import Templar
from ansible.utils.display import Display

DOCUMENTATION = '''
    name: x3_rollout_report
    type: notification
    short_description: writes the X3 firmware rollout report
    description:
      - At the end of upgrade_x3.yml, writes report.json and report.txt into report_dir.
    options:
      report_dir:
        description: The folder of the report, relative to the current folder.
        type: path
        default: fleet-report
        vars:
          - name: report_dir
      firmware:
        description: The firmware file given to the playbook, named in the report when it is refused.
        type: str
        vars:
          - name: firmware
'''

display = Display()

OK, UNCHANGED, FAILED, NOT_ATTEMPTED = 'ok', 'unchanged', 'failed', 'not attempted'
RESULTS = (OK, UNCHANGED, FAILED, NOT_ATTEMPTED)
PLAYBOOK = 'upgrade_x3.yml'
PLAN = ('reflash', 'already', 'forced', 'status_error')


def one_line(text):
    """TEXT's non-blank lines joined by ' / ', for a row of the table."""
    return ' / '.join(line.strip() for line in str(text).splitlines() if line.strip())


def slot_list(slots):
    return ','.join(str(s) for s in slots)


def notes(entry, check_mode):
    """What the table says of a switch: the reason, then its plan."""
    parts = [entry['reason']] if entry['reason'] else []
    if entry['reflash'] is None:
        return '; '.join(parts)
    if entry['result'] == OK:
        parts.append('re-flashed ' + slot_list(entry['reflash']))
    elif entry['reflash']:
        parts.append('%s %s' % ('would re-flash' if check_mode else 'asked to re-flash', slot_list(entry['reflash'])))
    elif check_mode:
        parts.append('nothing to re-flash')
    if entry['already']:
        parts.append('already running the image: ' + slot_list(entry['already']))
    if entry['forced']:
        parts.append('force: every slot, the history not read')
    if entry['status_error']:
        parts.append('history not read (%s), so every slot' % one_line(entry['status_error']))
    return '; '.join(parts)


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'notification'
    CALLBACK_NAME = 'x3_rollout_report'
    CALLBACK_NEEDS_ENABLED = False

    def __init__(self):
        super().__init__()
        self.switches = {}   # name -> entry, in inventory order
        self.started = {}    # name -> time of its first task
        self.image = None
        self.image_refusal = None
        self.upgrade_hosts = None
        self.active = False

    def v2_playbook_on_start(self, playbook):
        self.active = os.path.basename(playbook._file_name) == PLAYBOOK
        self.upgrade_hosts = playbook.get_plays()[-1].hosts

    def v2_playbook_on_play_start(self, play):
        if not self.active or self.switches or self.image_refusal:
            return
        # The first play: learn the switches in scope before any is
        # contacted, whatever --limit says (each batch runs with the
        # inventory restricted to its hosts).
        play_vars = play.get_variable_manager().get_vars(play=play)
        if 'hostvars' not in play_vars:
            # A play no host matched (--limit left the control machine
            # out): learn them at the next.
            return
        self.set_options(var_options=play_vars)
        templar = Templar(loader=None, variables=play_vars)
        hostnames = lookup_loader.get('ansible.builtin.inventory_hostnames', loader=None, templar=templar)
        for name in hostnames.run(templar.template(self.upgrade_hosts), variables=play_vars):
            host_vars = play_vars['hostvars'][name]
            # As the inventory gives them: the role refuses slots that are
            # not a list, and the report still names the switch.
            slots = host_vars.get('x3_upgrade_slots', [])
            self.switches[name] = {
                'switch': name,
                'address': str(host_vars.get('x3_upgrade_address', '')),
                'slots': list(slots) if isinstance(slots, (list, tuple)) else [slots],
                'result': NOT_ATTEMPTED,
                'reason': '',
                'seconds': 0.0,
            }
            self.switches[name].update(dict.fromkeys(PLAN))

    def _switch(self, result):
        return self.switches.get(result._host.get_name())

    def _note_time(self, name):
        if name in self.started:
            self.switches[name]['seconds'] = round(time.monotonic() - self.started[name], 1)

    def v2_runner_on_start(self, host, task):
        if host.get_name() in self.switches:
            self.started.setdefault(host.get_name(), time.monotonic())

    def v2_runner_on_ok(self, result):
        facts = result._result.get('ansible_facts', {})
        if 'x3_upgrade_image' in facts:
            self.image = facts['x3_upgrade_image']
        entry = self._switch(result)
        if entry is None:
            return
        self._note_time(entry['switch'])
        if 'x3_upgrade_plan' in facts:
            entry.update({key: facts['x3_upgrade_plan'][key] for key in PLAN})
            if not entry['reflash'] and not context.CLIARGS.get('check'):
                entry['result'] = UNCHANGED
        if 'x3_upgrade_done' in facts:
            entry['result'] = OK
            entry['reason'] = ''

    def v2_runner_on_failed(self, result, ignore_errors=False):
        if ignore_errors:
            return
        entry = self._switch(result)
        if entry is None:
            # The image check on the control machine: the loader's reason,
            # why the image cannot be right, or why its signature is not good.
            output = result._result.get('stdout', '') or result._result.get('stderr', '')
            self.image_refusal = one_line(output) or one_line(result._result.get('msg', 'failed'))
            return
        self._note_time(entry['switch'])
        entry['result'] = FAILED
        entry['reason'] = one_line(result._result.get('msg', 'failed'))

    def v2_runner_on_unreachable(self, result):
        self.v2_runner_on_failed(result)

    def _reason_not_attempted(self):
        if self.image_refusal:
            return 'image refused: ' + self.image_refusal
        failed = [e['switch'] for e in self.switches.values() if e['result'] == FAILED]
        if failed:
            return 'stopped after %s failed' % ', '.join(failed)
        if context.CLIARGS.get('check'):
            return 'check mode: the upgrade page answered, no card touched'
        return 'not reached'

    def v2_playbook_on_stats(self, stats):
        if not self.active:
            return
        reason = self._reason_not_attempted()
        for entry in self.switches.values():
            if entry['result'] == NOT_ATTEMPTED:
                entry['reason'] = reason
        # Described, refused, or neither when the image check did not run.
        image = self.image or ({'file': self.get_option('firmware'), 'refused': self.image_refusal}
                               if self.image_refusal else {'file': self.get_option('firmware'), 'checked': False})
        report = {'image': image, 'switches': list(self.switches.values())}
        directory = os.path.abspath(self.get_option('report_dir'))
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, 'report.json'), 'w') as out:
            json.dump(report, out, indent=2)
            out.write('\n')
        with open(os.path.join(directory, 'report.txt'), 'w') as out:
            out.write(self._table(image))
        display.display('x3 rollout report: %s/report.txt' % directory)

    @staticmethod
    def _signature(image):
        """The lines on the image's signature: none for an unsigned image."""
        signed_by = image.get('signed_by')
        if not signed_by:
            return []
        if signed_by == 'damaged':
            return ['signature damaged: its records cannot be read, not checked here (no firmware_keys)']
        checked = ('signature good against %s' % image['verified_with'] if image.get('verified_with')
                   else 'not checked here (no firmware_keys)')
        return ['signed by key %s, %s' % (signed_by, checked),
                'trusted comment: %s' % image.get('trusted_comment')]

    def _table(self, image):
        lines = ['X3 firmware rollout, %s' % datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S')]
        if 'refused' in image:
            lines.append('image    %s: refused: %s' % (image.get('file'), image['refused']))
        elif 'checked' in image:
            lines.append('image    %s: not checked (the image check did not run)' % image.get('file'))
        else:
            lines.append('image    %s' % image.get('file'))
            lines.append('         %s bytes, %s-%s, sectors %s, crc32 %s' % (
                image.get('bytes'), image.get('lowest'), image.get('highest'),
                ' '.join(image.get('sectors', [])) or 'none', image.get('crc32')))
            lines.append('         type %s, compiled %s' % (image.get('type') or '-', image.get('compiled') or '-'))
            if image.get('shared_sector'):
                lines.append('         WARNING: writes the sector 0x70000 shared with the other bank')
            lines.extend('         ' + line for line in self._signature(image))
        lines.append('')
        lines.append('%-10s %-15s %-8s %-14s %8s  %s' % ('switch', 'address', 'slots', 'result', 'seconds', 'notes'))
        for e in self.switches.values():
            lines.append('%-10s %-15s %-8s %-14s %8.1f  %s' % (
                e['switch'], e['address'], slot_list(e['slots']), e['result'],
                e['seconds'], notes(e, context.CLIARGS.get('check'))))
        counts = {r: sum(1 for e in self.switches.values() if e['result'] == r) for r in RESULTS}
        lines.append('')
        lines.append('%d switches: ' % len(self.switches) + ', '.join('%d %s' % (counts[r], r) for r in RESULTS))
        remaining = [e['switch'] for e in self.switches.values() if e['result'] not in (OK, UNCHANGED)]
        if remaining and counts[FAILED] + counts[NOT_ATTEMPTED] and not context.CLIARGS.get('check'):
            lines.append('to resume once the cause is fixed: -e rollout_switches=%s' % ','.join(remaining))
        return '\n'.join(lines) + '\n'
