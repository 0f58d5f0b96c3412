#!/usr/bin/env python3
"""The installed tool on the kernel's own serial drivers: one table of cases, run in the guest.

systemd starts this at boot from the folder the host shares (host.py). The guest has an FTDI
USB adapter (ftdi_sio), a 16550 on the ISA bus (ttyS1) and one on PCI, whose boards run on
the host; this program adds a CDC-ACM port of its own, a USB gadget on dummy_hcd whose board
runs here on /dev/ttyGS0. It installs the package as a technician does, then runs every row
of CASES, each on a fresh board, and tells the host how each ended.

A row that shows a known fault of the tool carries the fault's description as its last field:
it is then expected to fail, and passing is a failure until the mark is taken away.
"""
import glob
import grp
import json
import os
import pwd
import resource
import shutil
import signal
import subprocess
import time
import traceback

from guest import (DISPLAY, LINES, OUTSIDER, SAVE_DIR, SHARE, STARTED, TECH, Failure, Window,
                   check, check_no_box, cpu_seconds, folder_state, note, open_host, ports_listing,
                   riz_nvr, run, same_pages, spawn, start_log, stop_started, tech_file,
                   say, unescaped_size, wait_connected, wait_until, write_table)

BAUD = 57600
ROW_LIMIT = 150  # seconds; a row still running then has hung
EXIT_LIMIT = 5  # riz-nvr ends this soon after an unplug ("within a few seconds")
BOX_LIMIT = 10
# Once a box is up, the window idles: at most CPU_LIMIT seconds of CPU in CPU_WINDOW seconds.
# The box's first second, when it is laid out and painted (up to 0.11 s of CPU under software
# emulation on a busy host), is measured and shown but not held to the limit.
CPU_SETTLE = 1.0
CPU_WINDOW = 5.0
CPU_LIMIT = 0.1
TRANSFER_STARTED = 20  # page commands on the board's log before an unplug


class RowTimeout(BaseException):
    """A row ran past ROW_LIMIT."""


def saved_on_end(line):
    """The board's save-on-end file for line, none there yet."""
    name = f'saved-{line.name}.nvr'
    if os.path.exists(os.path.join(SHARE, name)):
        os.remove(os.path.join(SHARE, name))
    return name


# The cases. Each takes its line and returns its figures as text; a failure raises Failure.

def riz_nvr_read_verify_write(line):
    """riz-nvr reads, verifies and writes"""
    saved = saved_on_end(line)
    line.board('--load', 'board40.nvr', '--save-on-end', saved)
    port = line.riz_port()
    figures = []
    if line.name == 'ftdi':
        before = line.latency_timer()
    target = os.path.join(SAVE_DIR, f'nvr-{line.name}.nvr')
    _, _, seconds = riz_nvr('read', '--quiet', port, target)
    same_pages(os.path.join(SHARE, 'board40.nvr'), target)
    figures.append(f'read {seconds:.2f} s')
    if line.name == 'ftdi':
        after = line.latency_timer()
        figures.append(f'latency_timer {before} -> {after}')
        check(before != '1', 'latency_timer was 1 before the tool opened the adapter: '
              'this row must run on a freshly plugged adapter')
        check(after == '1', f'latency_timer is {after}, not 1, once the tool has opened the port')
    _, _, seconds = riz_nvr('verify', '--quiet', port, os.path.join(SHARE, 'board40.nvr'))
    figures.append(f'verify {seconds:.2f} s')
    _, _, seconds = riz_nvr('write', '--quiet', port, os.path.join(SHARE, 'changed40.nvr'))
    same_pages(os.path.join(SHARE, 'changed40.nvr'), os.path.join(SHARE, saved))
    figures.append(f'write {seconds:.2f} s')
    return ', '.join(figures)


def window_read_write(line):
    """the window connects, reads and writes"""
    saved = saved_on_end(line)
    line.board('--load', 'board40.nvr', '--save-on-end', saved)
    window = Window()
    started = time.monotonic()
    window.connect(line)
    wait_connected(line)
    connected = time.monotonic()
    # The read saves its file only once every page is in.
    target = os.path.join(SAVE_DIR, f'window-{line.name}.nvr')
    check(not os.path.exists(target), f'{target} is there before the read')
    window.read(f'window-{line.name}')
    wait_until('the read file', lambda: os.path.exists(target), 60)
    same_pages(os.path.join(SHARE, 'board40.nvr'), target)
    read = time.monotonic()
    check_no_box(window, 'after the read')
    window.write(os.path.join(SHARE, 'changed40.nvr'))
    wait_until('the end of the write ("$24%")',
               lambda: any(c == '$24%' for c, _ in line.board_log()), 60)
    same_pages(os.path.join(SHARE, 'changed40.nvr'), os.path.join(SHARE, saved))
    written = time.monotonic()
    time.sleep(1)
    check_no_box(window, 'after the write')
    check(window.alive(), 'the window is gone')
    return (f'connect {connected - started:.2f} s, read {read - connected:.2f} s, '
            f'write {written - read:.2f} s')


def wait_transfer_started(line, transfer):
    codes = ('$22', '$23') if transfer == 'read' else ('$20', '$21')
    wait_until(f'{TRANSFER_STARTED} page commands',
               lambda: line.page_commands(codes) >= TRANSFER_STARTED, 60)


def window_unplugged(line, transfer, name, file):
    """The window's transfer (or its polling), the unplug, the box; its figures."""
    window = Window()
    window.connect(line)
    wait_connected(line)
    if transfer == 'read':
        window.read(name)
    elif transfer == 'write':
        window.write(file)
    if transfer == 'poll':
        wait_until('a second poll', lambda: line.page_commands(('$91',)) >= 2, 10)
    else:
        wait_transfer_started(line, transfer)
    unplugged = time.monotonic()
    line.unplug()
    wait_until('a box', window.boxes, BOX_LIMIT, step=0.02)
    box = time.monotonic() - unplugged
    up = window.cpu()
    time.sleep(CPU_SETTLE)
    settled = window.cpu()
    time.sleep(CPU_WINDOW)
    idle = window.cpu() - settled
    boxes = window.boxes()
    check(boxes == 1, f'{boxes} boxes, not one')
    check(idle <= CPU_LIMIT, f'the window used {idle:.2f} s of CPU in the {CPU_WINDOW:.0f} s '
          f'after the box had come up (at most {CPU_LIMIT})')
    window.close_box()
    wait_until('the box closing', lambda: window.boxes() == 0, 10)
    time.sleep(1)
    check_no_box(window, 'again after the first was closed')
    check(window.alive(), 'the window did not survive the unplug')
    return (f'box {box:.2f} s after the unplug; CPU {settled - up:.2f} s while it came up, '
            f'then {idle:.2f} s in {CPU_WINDOW:.0f} s')


def riz_nvr_unplugged(line, transfer, file):
    """riz-nvr's transfer, the unplug, its end; its figures."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    process = spawn(TECH, ['riz-nvr', transfer, '--quiet', line.riz_port(), file],
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wait_transfer_started(line, transfer)
    before_unplug = cpu_seconds(process.pid)
    unplugged = time.monotonic()
    line.unplug()
    try:
        _, err = process.communicate(timeout=EXIT_LIMIT)
    except subprocess.TimeoutExpired:
        raise Failure(f'riz-nvr {transfer} still ran {EXIT_LIMIT} s after the unplug')
    gone = time.monotonic() - unplugged
    note(f'riz-nvr {transfer}: status {process.returncode}\n{err}')
    # Reaped now: its whole CPU time is with the children's.
    total = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (total.ru_utime + total.ru_stime - children.ru_utime - children.ru_stime
           - before_unplug)
    check(process.returncode == 1,
          f'riz-nvr {transfer} ended with status {process.returncode}, not 1:\n{err.strip()}')
    return f'exit {gone:.2f} s after the unplug, {cpu:.2f} s CPU after the unplug'


def unplug_during(line, transfer, program):
    """An unplug once a long transfer (or the window's polling) is under way: the old file stays
    as it was, no temporary file is left, and no "$24%" goes out."""
    line.board('--load', 'board1000.nvr', '--pace')
    name = f'unplug-{line.name}'
    # The backup that a failed read must leave alone, or the file being written.
    file = tech_file(name + '.nvr', os.path.join(
        SHARE, 'board40.nvr' if transfer == 'read' else 'changed1000.nvr'))
    before = folder_state()
    if program == 'window':
        figures = window_unplugged(line, transfer, name, file)
    else:
        figures = riz_nvr_unplugged(line, transfer, file)
    after = folder_state()
    check(after == before, f'the save folder changed: {sorted(set(after) ^ set(before))} '
          f'{[n for n in after if n in before and after[n] != before[n]]}')
    if transfer == 'write':
        check(not any(c == '$24%' for c, _ in line.board_log()),
              '"$24%" went out after the unplug')
    return figures


def unplug_polling_window(line):
    """an unplug while the window polls"""
    return unplug_during(line, 'poll', 'window')


def unplug_read_window(line):
    """an unplug during the window's read"""
    return unplug_during(line, 'read', 'window')


def unplug_write_window(line):
    """an unplug during the window's write"""
    return unplug_during(line, 'write', 'window')


def unplug_read_nvr(line):
    """an unplug during riz-nvr read"""
    return unplug_during(line, 'read', 'riz-nvr')


def unplug_write_nvr(line):
    """an unplug during riz-nvr write"""
    return unplug_during(line, 'write', 'riz-nvr')


def replug(line):
    """a replug while the old node is held: riz-nvr ports and a read through the by-id link"""
    line.board('--load', 'board40.nvr')
    old = line.node()
    holder = os.open(old, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        line.unplug()
        line.replug()
    finally:
        os.close(holder)
    new, link = line.node(), line.link()
    riz_nvr('ports')
    listed = {entry['name']: entry for entry in ports_listing()}
    check(line.port() in listed, f'riz-nvr ports does not list {line.port()}: {sorted(listed)}')
    check(listed[line.port()]['byId'] == link,
          f"riz-nvr ports gives {line.port()} the link {listed[line.port()]['byId']}, not {link}")
    target = os.path.join(SAVE_DIR, 'replugged.nvr')
    riz_nvr('read', '--quiet', link, target)
    same_pages(os.path.join(SHARE, 'board40.nvr'), target)
    return f'{os.path.basename(old)} held, the adapter came back as {os.path.basename(new)}'


def outside_dialout(line):
    """a user outside dialout on the real group-owned node"""
    info = os.stat(line.node())
    check(grp.getgrgid(info.st_gid).gr_name == 'dialout' and info.st_mode & 0o777 == 0o660,
          f'{line.node()} is not a node of the group dialout, mode 660')
    _, err, _ = riz_nvr('read', '--quiet', line.port(), '/tmp/outsider.nvr', user=OUTSIDER,
                        expect=2)
    check('dialout' in err, f'the refusal does not name the group dialout:\n{err.strip()}')
    check(not os.path.exists('/tmp/outsider.nvr'), 'a file was made')
    return 'exit 2, the group named'


def in_use_by_window(line):
    """riz-nvr refused a port the window holds"""
    line.board('--load', 'board40.nvr')
    window = Window()
    window.connect(line)
    wait_connected(line)
    for port in (line.port(), line.link()):
        riz_nvr('read', '--quiet', port, '/tmp/in-use.nvr', expect=2)
    holder = {entry['name']: entry for entry in ports_listing()}[line.port()]['inUseBy']
    check(holder and holder['pid'] == window.pid,
          f'riz-nvr ports gives the holder {holder}, not the window (pid {window.pid})')
    check_no_box(window, 'while riz-nvr was refused')
    return 'exit 2 by name and by link; ports names the window'


def window_refused(line):
    """The window, told to connect to a port another program holds, shows one box and lives."""
    window = Window()
    window.choose_port(line.port())
    window.press('COMMS')
    wait_until('a box', window.boxes, BOX_LIMIT)
    time.sleep(1)
    check(window.boxes() == 1, f'{window.boxes()} boxes, not one')
    window.close_box()
    wait_until('the box closing', lambda: window.boxes() == 0, 10)
    check(window.alive(), 'the window is gone')


def in_use_by_riz_nvr(line):
    """the window refused a port riz-nvr holds"""
    line.board('--load', 'board1000.nvr', '--pace')
    process = spawn(TECH, ['riz-nvr', 'read', '--quiet', line.riz_port(), '/tmp/held.nvr'],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until('riz-nvr reading', lambda: line.page_commands(('$22', '$23')) > 0, 30)
    holder = {entry['name']: entry for entry in ports_listing()}[line.port()]['inUseBy']
    check(holder and holder['pid'] == process.pid,
          f'riz-nvr ports gives the holder {holder}, not riz-nvr (pid {process.pid})')
    window_refused(line)
    check(process.poll() is None, 'riz-nvr read ended while the window was refused')
    return 'one box; ports names riz-nvr'


def pci_placeholder(line):
    """the node a PCI 16550 leaves behind is an error, never a hang or a success"""
    line.board('--load', 'board40.nvr')
    node = line.node()
    line.unplug()
    wait_until('the PCI port gone', lambda: not os.path.realpath(
        f'/sys/class/tty/{os.path.basename(node)}/device').endswith(line.address), 30)
    check(os.path.exists(node), f'no node left behind at {node}')
    status, _, err, seconds = run(TECH, ['riz-nvr', 'read', '--quiet', os.path.basename(node),
                                         '/tmp/placeholder.nvr'], limit=20)
    check(status not in (0, 1), f'riz-nvr read ended with status {status}:\n{err.strip()}')
    check(not os.path.exists('/tmp/placeholder.nvr'), 'a file was made')
    return f'{os.path.basename(node)} left behind: exit {status} after {seconds:.2f} s'


def speed(line):
    """riz-nvr reads 200 pages from a board paced at 57600 baud"""
    line.board('--load', 'board200.nvr', '--pace')
    target = os.path.join(SAVE_DIR, 'speed.nvr')
    _, _, seconds = riz_nvr('read', '--quiet', line.riz_port(), target)
    same_pages(os.path.join(SHARE, 'board200.nvr'), target)
    wire_bytes = sum(unescaped_size(c) + unescaped_size(a) for c, a in line.board_log())
    wire = wire_bytes * 10 / BAUD
    return (f'tool {seconds:.2f} s, wire {wire:.2f} s ({wire_bytes} bytes), '
            f'ratio {seconds / wire:.2f}')


BACKUP_CONF = '/etc/default/riz-nvr-backup'
BACKUP_SERVICE = 'riz-nvr-backup.service'
BACKUP_TIMER = 'riz-nvr-backup.timer'
BACKUP_USER = 'riz-nvr-backup'
# What the exchange writes when debug lines are asked for; the journal must hold none of it.
DEBUG_MARKS = ('WriteCommand', 'ReadResponse', 'DataValid', 'watchdog')


def backup_setting(name):
    with open(BACKUP_CONF) as f:
        for entry in f:
            if entry.startswith(name + '='):
                return entry.strip().split('=', 1)[1]
    raise Failure(f'{BACKUP_CONF} sets no {name}')


def set_backup_port(port):
    with open(BACKUP_CONF) as f:
        text = f.read()
    with open(BACKUP_CONF, 'w') as f:
        f.write(''.join(f'PORT={port}\n' if entry.startswith('PORT=') else entry
                        for entry in text.splitlines(keepends=True)))


def systemctl(*arguments, limit=120):
    result = subprocess.run(['systemctl'] + list(arguments), capture_output=True, text=True,
                            timeout=limit)
    note(f"$ systemctl {' '.join(arguments)}  (status {result.returncode})\n"
         f'{result.stdout}{result.stderr}')
    return result


def journal_cursor():
    """Where the journal ends now: the service's lines of a later run come after it."""
    result = subprocess.run(['journalctl', '-n', '1', '-o', 'json', '--no-pager'],
                            capture_output=True, text=True, timeout=30)
    return json.loads(result.stdout)['__CURSOR']


def service_journal(cursor):
    """What the service's own processes wrote to the journal since cursor."""
    # A oneshot unit that ended well is dropped with its invocation id, so the unit's syslog
    # identifier (%N), which comes with its output stream, selects its lines. The match is made
    # here: systemd 252's journalctl finds nothing when a match joins --after-cursor.
    identifier = BACKUP_SERVICE.removesuffix('.service')

    def entries():
        result = subprocess.run(['journalctl', f'--after-cursor={cursor}', '-o', 'json',
                                 '--no-pager'], capture_output=True, text=True, timeout=30)
        found = (json.loads(entry) for entry in result.stdout.splitlines())
        return [entry['MESSAGE'] for entry in found
                if entry.get('SYSLOG_IDENTIFIER') == identifier and str(entry['MESSAGE']).strip()]

    # journald reads a unit's output stream after the unit may have ended, and --sync does not
    # wait for streams; the tool writes its one line last, so the first line seen ends the run.
    lines = wait_until('the service\'s lines in the journal', entries, 30, step=0.2)
    note('journal:\n' + '\n'.join(lines))
    check(not any(mark in entry for entry in lines for mark in DEBUG_MARKS),
          'debug lines in the journal:\n' + '\n'.join(lines))
    return lines


def start_backup():
    """Starts the service and waits for its end; its status and its journal lines."""
    cursor = journal_cursor()
    result = systemctl('start', BACKUP_SERVICE)
    return result.returncode, service_journal(cursor)


def backups(folder):
    return {name for name in os.listdir(folder) if name.endswith('.nvr')}


def backup_service(line):
    """the nightly backup service: an unset port, a first backup, unchanged, changed, the units"""
    folder = backup_setting('DIR')
    set_backup_port('')
    status, journal = start_backup()
    check(status != 0 and systemctl('is-failed', BACKUP_SERVICE).stdout.strip() == 'failed',
          'the service without a port did not fail')
    check(len(journal) == 1 and 'PORT' in journal[0],
          'the service without a port did not say so in one line: ' + ' / '.join(journal))
    systemctl('reset-failed', BACKUP_SERVICE)

    line.board('--load', 'board40.nvr')
    set_backup_port(line.link())
    files = []
    for board, made in (('board40.nvr', 1), ('board40.nvr', 0), ('changed40.nvr', 1)):
        if board != 'board40.nvr':
            time.sleep(1.1)  # the names have a second's resolution
            line.board('--load', board)
        before = backups(folder)
        status, journal = start_backup()
        check(status == 0, f'the service failed: {" / ".join(journal)}')
        new = sorted(backups(folder) - before)
        check(len(new) == made, f'{len(new)} new backups, not {made}: {new}')
        for name in new:
            path = os.path.join(folder, name)
            info = os.stat(path)
            owner = (pwd.getpwuid(info.st_uid).pw_name, grp.getgrgid(info.st_gid).gr_name,
                     oct(info.st_mode & 0o7777))
            check(owner == (BACKUP_USER, 'dialout', '0o640'), f'{name} is {owner}')
            same_pages(os.path.join(SHARE, board), path)
            files.append(name)
        check(len(journal) == 1, 'not one line in the journal: ' + ' / '.join(journal))
        say(f'  {BACKUP_SERVICE} on {board}: {journal[0]}')

    units = [f'/usr/lib/systemd/system/{unit}' for unit in (BACKUP_SERVICE, BACKUP_TIMER)]
    # The guest has no man program; the package check finds the manual page.
    verify = subprocess.run(['systemd-analyze', 'verify', '--man=no'] + units, capture_output=True,
                            text=True, timeout=60)
    check(verify.returncode == 0 and not (verify.stdout + verify.stderr).strip(),
          f'systemd-analyze verify:\n{verify.stdout}{verify.stderr}')
    systemctl('enable', '--now', BACKUP_TIMER)
    listed = systemctl('list-timers', '--all', '--no-legend', BACKUP_TIMER).stdout
    systemctl('disable', '--now', BACKUP_TIMER)
    check(BACKUP_TIMER in listed, f'systemctl list-timers does not list the timer:\n{listed}')
    return f'{len(files)} files, {BACKUP_USER}:dialout 0640: {", ".join(files)}'


def backup_service_unplugged(line):
    """an unplug during the service's read leaves the unit failed, with one message"""
    folder = backup_setting('DIR')
    line.board('--load', 'board1000.nvr', '--pace')
    set_backup_port(line.link())
    before = backups(folder)
    cursor = journal_cursor()
    service = subprocess.Popen(['systemctl', 'start', BACKUP_SERVICE], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    STARTED.append(service)
    wait_transfer_started(line, 'read')
    line.unplug()
    status = service.wait(60)
    journal = service_journal(cursor)
    failed = systemctl('--failed', '--no-legend', '--plain').stdout
    systemctl('reset-failed', BACKUP_SERVICE)
    check(status != 0, 'systemctl start succeeded after the unplug')
    check(BACKUP_SERVICE in failed, f'systemctl --failed does not list the service:\n{failed}')
    check(journal and all(entry.startswith('riz-nvr: ') for entry in journal),
          'the journal holds more than riz-nvr\'s message:\n' + '\n'.join(journal))
    check(backups(folder) == before, 'the failed read left a file')
    return ' / '.join(journal)


def backup_service_holds_port(line):
    """the window and riz-nvr refused the port while the service reads it"""
    line.board('--load', 'board1000.nvr', '--pace')
    set_backup_port(line.link())
    service = subprocess.Popen(['systemctl', 'start', BACKUP_SERVICE], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    STARTED.append(service)
    wait_until('the service reading', lambda: line.page_commands(('$22', '$23')) > 0, 30)
    _, err, _ = riz_nvr('read', '--quiet', line.port(), '/tmp/held.nvr', expect=2)
    check('in use by riz-nvr' in err, f'riz-nvr was not told who holds the port:\n{err.strip()}')
    window_refused(line)
    check(service.wait(120) == 0, 'the service\'s read failed while the window was refused')
    return 'riz-nvr told "in use by riz-nvr"; the window one box; the service saved its backup'


# One row a case: the line, the case, and, for a known fault of the tool, what it does wrong.
# The FTDI's first row runs on the adapter as it was plugged at boot (latency_timer).
CASES = [
    ('ftdi', riz_nvr_read_verify_write, None),
    ('ftdi', window_read_write, None),
    ('ftdi', speed, None),
    ('ftdi', unplug_polling_window, None),
    ('ftdi', unplug_read_window, None),
    ('ftdi', unplug_write_window, None),
    ('ftdi', unplug_read_nvr, None),
    ('ftdi', unplug_write_nvr, None),
    ('ftdi', replug, None),
    ('ftdi', outside_dialout, None),
    ('ftdi', in_use_by_window, None),
    ('ftdi', in_use_by_riz_nvr, None),
    ('ftdi', backup_service, None),
    ('ftdi', backup_service_unplugged, None),
    ('ftdi', backup_service_holds_port, None),
    ('acm', riz_nvr_read_verify_write, None),
    ('acm', window_read_write, None),
    ('acm', unplug_polling_window, None),
    ('acm', unplug_read_window, None),
    ('acm', unplug_write_window, None),
    ('acm', unplug_read_nvr, None),
    ('acm', unplug_write_nvr, None),
    ('isa', riz_nvr_read_verify_write, None),
    ('isa', window_read_write, None),
    ('pci', unplug_read_nvr, None),
    ('pci', unplug_read_window, None),
    ('pci', pci_placeholder, None),
]


def run_row(number, line_name, case, known_fault):
    line = LINES[line_name]
    title = f'{line_name}: {case.__doc__}'
    start_log(f'{number:02d}-{line_name}-{case.__name__}')
    started = time.monotonic()
    failure = None
    figures = ''
    signal.alarm(ROW_LIMIT)
    try:
        figures = case(line)
    except Failure as error:
        failure = str(error)
    except RowTimeout:
        failure = f'still running after {ROW_LIMIT} s (a hang)'
    except Exception:
        failure = 'the case itself broke:\n' + traceback.format_exc()
    finally:
        signal.alarm(0)
    try:
        stop_started()
        if not line.plugged:
            line.replug()
    except Exception as error:
        failure = (failure + '\n' if failure else '') + f'cleaning up: {error}'
    took = time.monotonic() - started
    if known_fault and failure:
        say(f'expected failure: {title} ({took:.1f} s): {known_fault}\n  {failure}')
        return True
    if known_fault:
        say(f'FAIL: {title} ({took:.1f} s) passed, but is marked as the known fault '
            f'"{known_fault}": take the mark away')
        return False
    if failure:
        say(f'FAIL: {title} ({took:.1f} s): {failure}')
        return False
    say(f'ok: {title} ({took:.1f} s): {figures}')
    return True


def install_package():
    debs = glob.glob(os.path.join(SHARE, 'riz-oveda_*.deb'))
    check(len(debs) == 1, f'one package in the shared folder, found {debs}')
    shutil.copy(debs[0], '/root')
    started = time.monotonic()
    result = subprocess.run(['apt', 'install', '-y', '-q', './' + os.path.basename(debs[0])],
                            cwd='/root', capture_output=True, text=True,
                            env=dict(os.environ, DEBIAN_FRONTEND='noninteractive'))
    note(result.stdout + result.stderr)
    check(result.returncode == 0,
          f'apt install of the package failed:\n{result.stdout}{result.stderr}')
    info = os.stat(SAVE_DIR)
    check(grp.getgrgid(info.st_gid).gr_name == 'dialout', f'{SAVE_DIR} is not of the group dialout')
    return time.monotonic() - started


def prepare():
    for pages in (40, 200, 1000):
        write_table(os.path.join(SHARE, f'board{pages}.nvr'), pages)
    write_table(os.path.join(SHARE, 'changed40.nvr'), 40, '1')
    write_table(os.path.join(SHARE, 'changed1000.nvr'), 1000, '1')
    subprocess.Popen(['Xvfb', DISPLAY, '-screen', '0', '1024x768x24', '-nolisten', 'tcp',
                      '-ac'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until('Xvfb', lambda: os.path.exists('/tmp/.X11-unix/X' + DISPLAY[1:]), 30)
    LINES['acm'].make()
    for line in LINES.values():
        wait_until(f'the {line.name} port', line.present, 60)


def main():
    host = open_host()
    with open('/proc/uptime') as f:
        say(f'guest up, {float(f.read().split()[0]):.1f} s after boot')

    def on_alarm(*_):
        raise RowTimeout()

    signal.signal(signal.SIGALRM, on_alarm)
    passed = 0
    try:
        seconds = install_package()
        say(f'ok: apt install of the package with no network ({seconds:.1f} s)')
        prepare()
        for number, row in enumerate(CASES, 1):
            passed += run_row(number, *row)
    except Exception:
        say('FAIL: the guest could not run the cases:\n' + traceback.format_exc())
    say(f'{passed} of {len(CASES)} cases as expected')
    host.ask('end', '0' if passed == len(CASES) else '1')


if __name__ == '__main__':
    main()
