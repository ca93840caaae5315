#!/usr/bin/python3
"""Whole-program test of the fleet rollout: ansible-playbook runs
fleet/upgrade_x3.yml against a lab of five simulated switches
(scripts/fleet-lab: scan_sim, lighttpd and flash_x3 per switch), and the
cards' state files, the switches' access logs and the rollout report are
checked afterwards. Exits 77 where ansible-playbook or lighttpd is missing
or mount namespaces are not allowed.

  tests/fleet_test.py BUILD_DIR
FLEET_TEST_ONLY=TEXT runs only the cases whose name holds TEXT.
"""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import zlib

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SWITCHES = ['sw%02d' % i for i in range(1, 6)]
SLOTS = [2, 3]
BANK_SIZE = 0x80000
GENERATION_OFFSET = 0x10000


def skip(reason):
    print('SKIP: ' + reason)
    sys.exit(77)


def run(argv, cwd=None):
    return subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, check=False)


def write_images(work):
    """A 96 KiB image with a version stamp (it writes a generation byte),
    and the same file cut inside a record."""
    rand = random.Random(1971)
    data = bytearray(rand.getrandbits(8) for _ in range(0x18000))
    stamp = b'Type: X3 fleet test\0Compiled on:\0Dec 5 2026\0' b'17:20:01\0'
    data[0x200:0x200 + len(stamp)] = stamp
    # The generation byte belongs to the card: images leave it erased.
    data[GENERATION_OFFSET] = 0xFF
    with open(os.path.join(work, 'x3.bin'), 'wb') as out:
        out.write(data)
    good = os.path.join(work, 'x3.s19')
    result = run(['objcopy', '-I', 'binary', '-O', 'srec', '--srec-forceS3',
                  os.path.join(work, 'x3.bin'), good])
    assert result.returncode == 0, result.stdout
    with open(good, 'rb') as text:
        whole = text.read()
    cut = os.path.join(work, 'cut.s19')
    with open(cut, 'wb') as out:
        out.write(whole[:len(whole) // 2])
    return good, cut


# One rollout per row, each on a fresh lab. results: per switch, the
# expected result and a piece of its reason.
CASES = [
    {'name': 'all switches succeed', 'image': 'good', 'faults': [], 'args': [], 'fails': False,
     'results': [('ok', '')] * 5},
    {'name': 'switch 2 fails, the last batch is not started', 'image': 'good',
     'faults': ['2:slot=3 erase-fails'], 'args': [], 'fails': True,
     'results': [('ok', ''), ('failed', 'The upgrade failed.')] +
                [('not attempted', 'stopped after sw02 failed')] * 3},
    {'name': 'switch 4 fails, the rest of its batch finishes', 'image': 'good',
     'faults': ['4:slot=3 erase-fails'], 'args': [], 'fails': True,
     'results': [('ok', '')] * 3 + [('failed', 'The upgrade failed.'), ('ok', '')]},
    {'name': 'check mode touches no card', 'image': 'good', 'faults': [], 'args': ['--check'],
     'fails': False, 'results': [('not attempted', 'check mode')] * 5},
    {'name': 'a corrupt image stops the run first', 'image': 'cut', 'faults': [], 'args': [],
     'fails': True, 'results': [('not attempted', 'image refused: Checksum error')] * 5},
]


def cards(lab, switch):
    result = run([os.path.join(BUILD, 'sim', 'scan_sim'), 'show', '--json', '--state',
                  os.path.join(lab, switch, 'state')])
    assert result.returncode == 0, result.stdout
    return {card['slot']: card for card in json.loads(result.stdout)}


def bank_crc_without_generation(lab, switch, slot, bank):
    """CRC-32 of a card's bank as its state file holds it, with the
    generation byte erased again, as the image left it."""
    with open(os.path.join(lab, switch, 'state', 'slot%02d.x3' % slot), 'rb') as state:
        state.seek(0x70000 * bank)
        flash = bytearray(state.read(BANK_SIZE))
    flash[GENERATION_OFFSET] = 0xFF
    return '%08x' % zlib.crc32(flash)


def requests(lab, switch):
    """The requests the switch's web server logged, as 'METHOD PATH'."""
    try:
        with open(os.path.join(lab, switch, 'web', 'access.log')) as log:
            return [line.split('"')[1].rsplit(' ', 1)[0] for line in log if '"' in line]
    except FileNotFoundError:
        return []


def check_case(case, work, images, info, problems):
    lab = os.path.join(work, 'lab')
    report_dir = os.path.join(work, 'report')
    shutil.rmtree(report_dir, ignore_errors=True)
    start = [os.path.join(REPO, 'scripts', 'fleet-lab'), 'start', '5', '--dir', lab, '--build', BUILD]
    for fault in case['faults']:
        start += ['--fault', fault]
    started = run(start)
    if started.returncode != 0:
        problems.append('fleet-lab start: ' + started.stdout)
        return
    try:
        rollout = run(['ansible-playbook', '-i', os.path.join(lab, 'inventory.yml'),
                       os.path.join(REPO, 'fleet', 'upgrade_x3.yml'), '-e', 'firmware=' + images[case['image']],
                       '-e', 'report_dir=' + report_dir] + case['args'], cwd=work)
    finally:
        stopped = run([os.path.join(REPO, 'scripts', 'fleet-lab'), 'stop', '--dir', lab])
    log = '\n    '.join(rollout.stdout.splitlines()[-30:])

    def expect(condition, what):
        if not condition:
            problems.append('%s: %s\n    %s' % (case['name'], what, log))

    expect(stopped.returncode == 0, 'fleet-lab stop: ' + stopped.stdout)
    expect((rollout.returncode != 0) == case['fails'], 'ansible-playbook exit status %d' % rollout.returncode)
    try:
        with open(os.path.join(report_dir, 'report.json')) as text:
            report = json.load(text)
        with open(os.path.join(report_dir, 'report.txt')) as text:
            table = text.read()
    except (OSError, ValueError) as e:
        expect(False, 'no report: %s' % e)
        return
    if case['image'] == 'good':
        expect(report['image'] == info, 'image in the report %s' % report['image'])
    expect([e['switch'] for e in report['switches']] == SWITCHES, 'switches %s' % report['switches'])
    for entry, (result, reason), switch in zip(report['switches'], case['results'], SWITCHES):
        expect(entry['result'] == result and reason in entry['reason'] and entry['slots'] == SLOTS,
               '%s: %s (%s), expected %s (%s)' % (switch, entry['result'], entry['reason'], result, reason))
        expect(any(line.startswith(switch) and result in line for line in table.splitlines()),
               '%s missing from report.txt:\n%s' % (switch, table))
        calls = requests(lab, switch)
        state = cards(lab, switch)
        if result == 'ok':
            expect(calls.count('POST /cgi/flash_x3') == 1, '%s requests %s' % (switch, calls))
            for slot in SLOTS:
                card = state[slot]
                expect(card['boots_bank'] == 0 and card['generation_0x10000'] == 1 and
                       card['last_boot']['crc32'] == card['boots_crc32'] and
                       bank_crc_without_generation(lab, switch, slot, 0) == info['crc32'],
                       '%s slot %d does not boot the new image: %s' % (switch, slot, card))
        if result == 'not attempted':
            expect('POST /cgi/flash_x3' not in calls, '%s was posted to: %s' % (switch, calls))
            if case['image'] == 'cut':
                expect(calls == [], '%s was contacted: %s' % (switch, calls))
        if result != 'ok':
            slots_touched = [slot for slot, card in state.items()
                             if card['boot_count'] or card['generation_0x10000'] is not None]
            # The failing switch re-flashed slot 2 before slot 3's erase failed.
            allowed = [2] if result == 'failed' else []
            expect(slots_touched == allowed, '%s cards touched: %s' % (switch, slots_touched))
        unasked = [slot for slot, card in state.items() if slot not in SLOTS and card['boot_count']]
        expect(unasked == [], '%s cards not asked for were restarted: %s' % (switch, unasked))


def main():
    global BUILD
    if len(sys.argv) != 2:
        print('usage: tests/fleet_test.py BUILD_DIR', file=sys.stderr)
        return 2
    BUILD = os.path.abspath(sys.argv[1])
    # A test stopped from outside (ctest's time limit, Ctrl-C) still stops
    # its lab: the exit runs the cases' clean-up.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    os.environ['PATH'] += ':/usr/sbin'
    for tool in ('ansible-playbook', 'lighttpd', 'objcopy'):
        if not shutil.which(tool):
            skip('%s is not installed (scripts/setup installs it)' % tool)
    if run(['unshare', '-m', '--propagation', 'unchanged', 'true']).returncode != 0:
        skip('mount namespaces (unshare -m) are not allowed here; the lab needs them')
    os.environ.update(ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0')
    work = tempfile.mkdtemp(prefix='x3_fleet_')
    good, cut = write_images(work)
    info_run = run([os.path.join(BUILD, 'tools', 'x3image'), 'info', good, '--json'])
    info = json.loads(info_run.stdout)
    problems = []
    only = os.environ.get('FLEET_TEST_ONLY')
    for case in CASES:
        if only and only not in case['name']:
            continue
        before = len(problems)
        check_case(case, work, {'good': good, 'cut': cut}, info, problems)
        print('%s - %s' % ('ok' if len(problems) == before else 'FAIL', case['name']), flush=True)
    for problem in problems:
        print(problem)
    if problems:
        print('kept ' + work)
        return 1
    shutil.rmtree(work)
    return 0


if __name__ == '__main__':
    sys.exit(main())
