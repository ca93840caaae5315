#!/usr/bin/python3
"""Whole-program test of the fleet rollout: ansible-playbook runs
fleet/upgrade_x3.yml against a lab of five simulated switches
(scripts/fleet-lab: scan_sim, lighttpd and flash_x3 per switch), then the
rollout report, the switches' access logs and their cards are checked.
Exits 77 where ansible-playbook or lighttpd is missing or mount namespaces
are not allowed.

  tests/fleet_test.py BUILD_DIR
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import zlib

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SWITCHES = ['sw%02d' % i for i in range(1, 6)]
OK, FAILED, STOPPED = ('ok', ''), ('failed', 'The upgrade failed.'), 'not attempted'
# The rollouts, one after the other on one lab whose switches 2 and 4
# cannot erase slot 3: ansible-playbook's arguments, whether it fails, and
# per switch the result in the report and a piece of the reason. With the
# batches sw01, then sw02 to sw04, then sw05, both failures fall in the
# second batch: its other switch still finishes, the third is not started.
ROLLOUTS = [
    ('a corrupt image stops the run first', ['-e', 'firmware=cut.s19'], True,
     [(STOPPED, 'image refused: Checksum error')] * 5),
    ('check mode touches no card', ['-e', 'firmware=x3.s19', '--check'], False,
     [(STOPPED, 'check mode')] * 5),
    ('switches 2 and 4 fail, the rest of their batch finishes, no new batch starts',
     ['-e', 'firmware=x3.s19', '-e', '{"batches": [1, 3]}'], True,
     [OK, FAILED, OK, FAILED, (STOPPED, 'stopped after sw02, sw04 failed')]),
]


def run(argv, **options):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          check=False, **options)


def write_images(work):
    """x3.s19, 96 KiB with a version stamp (x3image firmware; its generation
    byte left erased), and cut.s19, the same cut inside a record; returns
    the bank of a card that started x3.s19 first."""
    made = run([os.path.join(BUILD, 'tools', 'x3image'), 'firmware', 'x3.s19', '--size', '0x18000',
                '--seed', '1971', '--stamp', 'X3 fleet test', '--compiled', 'Dec 5 2026 17:20:01'],
               cwd=work)
    assert made.returncode == 0, made.stdout
    with open(os.path.join(work, 'x3.s19'), 'rb') as text:
        whole = text.read()
    with open(os.path.join(work, 'cut.s19'), 'wb') as out:
        out.write(whole[:len(whole) // 2])
    bank = bytearray(b'\xff' * 0x80000)
    for line in whole.split(b'\n'):
        if line.startswith(b'S3'):
            record = bytes.fromhex(line[2:].decode())
            address = int.from_bytes(record[1:5], 'big')
            bank[address:address + len(record) - 6] = record[5:-1]
    bank[0x10000] = 1
    return bank


def requests(lab, switch):
    """What the switch's web server was asked, as 'METHOD PATH'."""
    with open(os.path.join(lab, switch, 'web', 'access.log')) as log:
        return [line.split('"')[1].rsplit(' ', 1)[0] for line in log]


def check_rollout(rollout, work, lab, info, new):
    """The problems of one rollout."""
    _, args, fails, results = rollout
    report = os.path.join(work, 'report')
    asked_before = {switch: len(requests(lab, switch)) for switch in SWITCHES}
    played = run(['ansible-playbook', '-i', os.path.join(lab, 'inventory.yml'), '-e',
                  'report_dir=' + report, os.path.join(REPO, 'fleet', 'upgrade_x3.yml')] + args,
                 cwd=work)
    problems = [] if (played.returncode != 0) == fails else ['exit status %d' % played.returncode]
    try:
        with open(os.path.join(report, 'report.json')) as text:
            entries = json.load(text)
        with open(os.path.join(report, 'report.txt')) as text:
            table = text.read().splitlines()
    except (OSError, ValueError) as e:
        return problems + ['no report: %s' % e, played.stdout]
    if 'firmware=x3.s19' in args and entries['image'] != info:
        problems.append('image in the report %s' % entries['image'])
    if [e['switch'] for e in entries['switches']] != SWITCHES:
        problems.append('switches in the report %s' % entries['switches'])
    for entry, (result, reason), switch in zip(entries['switches'], results, SWITCHES):
        cards = json.loads(run([os.path.join(BUILD, 'sim', 'scan_sim'), 'show', '--json',
                                '--state', os.path.join(lab, switch, 'state')]).stdout)
        touched = [c['slot'] for c in cards if c['boot_count'] or c['generation_0x10000'] != None]
        posted = result != STOPPED
        # The report (also its table); the upgrade page asked for (also in
        # check mode) and the form posted; the cards touched so far and
        # those that do not start the new image. A failing switch
        # re-flashed slot 2 before slot 3's erase failed.
        seen = (entry['result'], reason in entry['reason'], entry['slots'],
                any(line.startswith(switch) and result in line for line in table),
                requests(lab, switch)[asked_before[switch]:], touched,
                [c for c in cards if c['slot'] in touched and dict(c, **new) != c])
        wanted = (result, True, [2, 3], True,
                  ['GET /cgi/web.cgi?upgrade_x3'] * (posted or '--check' in args) +
                  ['POST /cgi/flash_x3'] * posted,
                  {'ok': [2, 3], 'failed': [2]}.get(result, []), [])
        if seen != wanted:
            problems.append('%s: %s (%s), expected %s' % (switch, seen, entry['reason'], wanted))
    return problems + [played.stdout] if problems else []


def main():
    global BUILD
    BUILD = os.path.abspath(sys.argv[1])
    # Stopped from outside (ctest's time limit), the test still stops its lab.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    os.environ['PATH'] += ':/usr/sbin'
    for tool in ('ansible-playbook', 'lighttpd'):
        if not shutil.which(tool):
            print('SKIP: %s is not installed (scripts/setup installs it)' % tool)
            return 77
    if run(['unshare', '-m', '--propagation', 'unchanged', 'true']).returncode != 0:
        print('SKIP: mount namespaces (unshare -m) are not allowed here; the lab needs them')
        return 77
    os.environ.update(ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0')
    work = tempfile.mkdtemp(prefix='x3_fleet_')
    crc = '%08x' % zlib.crc32(write_images(work))
    new = {'generation_0x10000': 1, 'boots_bank': 0, 'boots_crc32': crc, 'boot_count': 1,
           'last_boot': {'bank': 0, 'generation': 1, 'crc32': crc}}
    info = json.loads(run([os.path.join(BUILD, 'tools', 'x3image'), 'info',
                           os.path.join(work, 'x3.s19'), '--json']).stdout)
    lab, lab_script = os.path.join(work, 'lab'), os.path.join(REPO, 'scripts', 'fleet-lab')
    started = run([lab_script, 'start', '5', '--dir', lab, '--build', BUILD,
                   '--fault', '2:slot=3 erase-fails', '--fault', '4:slot=3 erase-fails'])
    print(started.stdout, end='')
    failed = started.returncode != 0
    try:
        for rollout in ROLLOUTS if started.returncode == 0 else []:
            problems = check_rollout(rollout, work, lab, info, new)
            print('\n    '.join(['%s - %s' % ('FAIL' if problems else 'ok', rollout[0])] + problems))
            failed = failed or bool(problems)
    finally:
        stopped = run([lab_script, 'stop', '--dir', lab])
        print(stopped.stdout, end='')
        failed = failed or stopped.returncode != 0
    if failed:
        print('kept ' + work)
        return 1
    shutil.rmtree(work)
    return 0


if __name__ == '__main__':
    sys.exit(main())
