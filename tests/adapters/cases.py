#!/usr/bin/env python3
"""The installed tool on the kernel's own serial drivers: one table of cases, run in the guest.

systemd starts this at boot from the folder the host shares (host.py). The guest has an FTDI
USB adapter (ftdi_sio), a 16550 on the ISA bus (ttyS1) and one on PCI, whose boards run on
the host; this program adds a CDC-ACM port of its own, a USB gadget on dummy_hcd whose board
runs here on /dev/ttyGS0. It installs the package as a technician does, then runs every row
of CASES, each on a fresh board, and tells the host how each ended.

A row that shows a known fault of the tool carries the fault's description as its fifth
field: it is then expected to fail, and passing is a failure until the mark is taken away.
"""
import glob
import grp
import hashlib
import json
import os
import pwd
import re
import resource
import shutil
import signal
import subprocess
import time
import traceback

SHARE = '/mnt/rig'
WORK = '/run/riz-adapters'
SAVE_DIR = '/opt/VKT_PLUS/NVRAM/CTLPCB'
SIM = os.path.join(SHARE, 'ctl-board-sim')
DISPLAY = ':1'
TECH = 'tech'  # in dialout
OUTSIDER = 'outsider'  # not in dialout
WINDOW_TITLE = '^RIZ OVEDA - '
BOX_TITLE = '^RIZ_OVEDA$'
BAUD = 57600
ROW_LIMIT = 150  # seconds; a row still running then has hung
EXIT_LIMIT = 5  # riz-nvr ends this soon after an unplug ("within a few seconds")
BOX_LIMIT = 10
CPU_WINDOW = 5.0  # seconds after the box, in which the window may use at most CPU_LIMIT
CPU_LIMIT = 0.1
TRANSFER_STARTED = 20  # page commands on the board's log before an unplug
GADGET = '/sys/kernel/config/usb_gadget/riz'
TICKS = os.sysconf('SC_CLK_TCK')


class Failure(Exception):
    """A case did not go as it should."""


class RowTimeout(BaseException):
    """A row ran past ROW_LIMIT."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(what, predicate, limit, step=0.05):
    """Returns predicate's first true value, or fails with what after limit seconds."""
    deadline = time.monotonic() + limit
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f'{what} not within {limit} s')
        time.sleep(step)


class Host:
    """The virtio-serial channel to host.py."""

    def __init__(self):
        path = '/dev/virtio-ports/rig'
        wait_until(path, lambda: os.path.exists(path), 60)
        self.fd = os.open(path, os.O_RDWR)
        self.pending = b''

    def send(self, text):
        os.write(self.fd, text.encode() + b'\n')

    def ask(self, *words):
        self.send(' '.join(words))
        while b'\n' not in self.pending:
            self.pending += os.read(self.fd, 4096)
        answer, self.pending = self.pending.split(b'\n', 1)
        answer = answer.decode()
        if answer != 'ok':
            raise Failure(f"the host could not {' '.join(words)}: {answer}")

    def say(self, text):
        for line in text.splitlines():
            self.send('say ' + line)
        print(text, flush=True)


HOST = None
STARTED = []  # processes started by the current row, stopped after it


def user_environment(name):
    entry = pwd.getpwnam(name)
    runtime = f'/run/user/{entry.pw_uid}'
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    os.chown(runtime, entry.pw_uid, entry.pw_gid)
    return entry, {'HOME': entry.pw_dir, 'USER': name, 'LOGNAME': name, 'LANG': 'C.UTF-8',
                   'PATH': '/usr/local/bin:/usr/bin:/bin', 'DISPLAY': DISPLAY,
                   'XDG_RUNTIME_DIR': runtime}


def spawn(user, argv, **options):
    """Starts argv as user, with the user's groups, as a login would."""
    entry, env = user_environment(user)
    process = subprocess.Popen(
        argv, user=entry.pw_uid, group=entry.pw_gid,
        extra_groups=os.getgrouplist(user, entry.pw_gid), env=env, cwd=entry.pw_dir,
        stdin=subprocess.DEVNULL, **options)
    STARTED.append(process)
    return process


def run(user, argv, limit=60):
    """Runs argv as user; returns (status, stdout, stderr, seconds)."""
    started = time.monotonic()
    process = spawn(user, argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise Failure(f"{' '.join(argv)} still ran after {limit} s")
    return process.returncode, out, err, time.monotonic() - started


def riz_nvr(*arguments, user=TECH, expect=0, limit=60):
    status, out, err, seconds = run(user, ['riz-nvr'] + list(arguments), limit)
    check(status == expect, f"riz-nvr {' '.join(arguments)} ended with status {status}, not "
          f'{expect}:\n{err.strip()}')
    return out, err, seconds


def same_pages(expected, actual):
    riz_nvr('diff', expected, actual)


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def ports_listing():
    out, _, _ = riz_nvr('ports', '--json')
    return json.loads(out)


def folder_state(folder=SAVE_DIR):
    """Every file of the save folder with its size and contents' hash."""
    state = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        with open(path, 'rb') as f:
            state[name] = (os.stat(path).st_size, hashlib.sha256(f.read()).hexdigest())
    return state


def write_table(path, pages, salt=''):
    """A parameter file as the tool writes it; salt makes another set of values."""
    lines = ['Page Number | Value | Description', f'0000 | {pages} | Last parameter page']
    for page in range(1, pages + 1):
        lines.append(f'{page:04X} | {(page * 37) % 5000}{salt} | Parameter {page} of the board')
    with open(path, 'w') as f:
        f.write('\n'.join(lines) + '\n')


def tech_file(name, source):
    """A copy of source in the save folder, owned by the technician."""
    path = os.path.join(SAVE_DIR, name)
    shutil.copy(source, path)
    entry = pwd.getpwnam(TECH)
    os.chown(path, entry.pw_uid, entry.pw_gid)
    return path


def unescaped_size(text):
    return len(re.sub(r'\\x[0-9a-f]{2}', '.', text))


# The lines: a port of the guest and the board on its far end.

class Line:
    name = ''
    by_link = False  # riz-nvr opens it through its /dev/serial/by-id/ link
    unpluggable = True

    def __init__(self):
        self.plugged = True

    def node(self):
        raise NotImplementedError

    def port(self):
        return os.path.basename(self.node())

    def link(self):
        return None

    def riz_port(self):
        return self.link() if self.by_link else self.port()

    def log_path(self):
        return os.path.join(SHARE, f'board-{self.name}.log')

    def board_log(self):
        """(command, answer) for every frame the board logged, in order."""
        entries = []
        with open(self.log_path(), errors='replace') as f:
            for line in f:
                if '] <- ' not in line:
                    continue
                command, _, answer = line.rstrip('\n').split('] <- ', 1)[1].partition('  -> ')
                entries.append((command.split('  (')[0], answer))
        return entries

    def page_commands(self, codes):
        return sum(1 for command, _ in self.board_log() if command[:3] in codes)

    def unplug(self):
        self.plugged = False

    def replug(self):
        self.plugged = True
        wait_until(f'{self.name} back', self.present, 30)

    def present(self):
        try:
            return os.path.exists(self.node())
        except Failure:
            return False


class HostLine(Line):
    """A port whose board runs on the host, on QEMU's chardev."""

    def board(self, *arguments):
        HOST.ask('board', self.name, *arguments)


class FtdiLine(HostLine):
    name = 'ftdi'
    by_link = True

    def link(self):
        links = glob.glob('/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_*-if00-port0')
        check(len(links) == 1, f'one by-id link for the FTDI adapter, found {links}')
        return links[0]

    def node(self):
        return os.path.realpath(self.link())

    def latency_timer(self):
        with open(f'/sys/bus/usb-serial/devices/{self.port()}/latency_timer') as f:
            return f.read().strip()

    def unplug(self):
        HOST.ask('unplug', 'ftdi')
        super().unplug()

    def replug(self):
        HOST.ask('replug', 'ftdi')
        super().replug()


class IsaLine(HostLine):
    name = 'isa'
    unpluggable = False

    def node(self):
        return '/dev/ttyS1'


class PciLine(HostLine):
    name = 'pci'
    address = '0000:00:05.0'

    def __init__(self):
        super().__init__()
        self.last_node = None

    def node(self):
        for tty in glob.glob('/sys/class/tty/ttyS*'):
            if self.address in os.path.realpath(os.path.join(tty, 'device')):
                self.last_node = '/dev/' + os.path.basename(tty)
                return self.last_node
        raise Failure('no ttyS port on the PCI 16550')

    def unplug(self):
        HOST.ask('unplug', 'pci')
        super().unplug()

    def replug(self):
        HOST.ask('replug', 'pci')
        super().replug()


class AcmLine(Line):
    """A USB gadget with the configfs acm function on dummy_hcd: the kernel's cdc_acm on one
    end (ttyACM), the board on the other (ttyGS0)."""
    name = 'acm'

    def __init__(self):
        super().__init__()
        self.board_process = None

    def make(self):
        subprocess.run(['modprobe', 'dummy_hcd'], check=True)
        subprocess.run(['modprobe', 'libcomposite'], check=True)
        os.makedirs(os.path.join(GADGET, 'strings/0x409'))
        for name, value in (('idVendor', '0x1d6b'), ('idProduct', '0x0104'),
                            ('strings/0x409/manufacturer', 'RIZ'),
                            ('strings/0x409/product', 'CTL-gadget'),
                            ('strings/0x409/serialnumber', '0001')):
            with open(os.path.join(GADGET, name), 'w') as f:
                f.write(value)
        os.makedirs(os.path.join(GADGET, 'configs/c.1'))
        os.makedirs(os.path.join(GADGET, 'functions/acm.gs0'))
        os.symlink(os.path.join(GADGET, 'functions/acm.gs0'), os.path.join(GADGET, 'configs/c.1/acm.gs0'))
        self.replug()

    def link(self):
        links = glob.glob('/dev/serial/by-id/usb-RIZ_CTL-gadget_0001-if00')
        check(len(links) == 1, f'one by-id link for the gadget, found {links}')
        return links[0]

    def node(self):
        return os.path.realpath(self.link())

    def bind(self, controller):
        with open(os.path.join(GADGET, 'UDC'), 'w') as f:
            f.write(controller + '\n')

    def unplug(self):
        self.bind('')
        super().unplug()

    def replug(self):
        self.bind(os.listdir('/sys/class/udc')[0])
        super().replug()

    def board(self, *arguments):
        if self.board_process and self.board_process.poll() is None:
            self.board_process.terminate()
            self.board_process.wait()
        with open(self.log_path(), 'wb') as log:
            self.board_process = subprocess.Popen(
                [SIM, '--port', '/dev/ttyGS0'] + list(arguments), cwd=SHARE,
                stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL)
        STARTED.append(self.board_process)
        check(self.board_process.stdout.readline().startswith(b'ctl-board-sim: serving'),
              'the board on /dev/ttyGS0 did not start')


LINES = {line.name: line for line in (FtdiLine(), AcmLine(), IsaLine(), PciLine())}


# The window, run by the technician under Xvfb and driven with xdotool.

def xdotool(*arguments):
    result = subprocess.run(['xdotool'] + list(arguments), capture_output=True, text=True,
                            env={'DISPLAY': DISPLAY}, timeout=30)
    return result.stdout.split()


class Window:
    # The keyboard focus order of the form; COMMS shows once a port is chosen, and the
    # two "Enter" buttons take the focus once the port is open.
    FOCUS_CHAIN = ['ports', 'from-field', 'to-field', 'COMMS', 'From CTL PCB', 'To CTL PCB']

    def __init__(self, log_name):
        with open(os.path.join(WORK, log_name), 'wb') as log:
            self.process = spawn(TECH, ['riz-oveda'], stdout=log, stderr=subprocess.STDOUT)
        self.pid = self.process.pid
        self.main = wait_until('the window', lambda: self.windows(WINDOW_TITLE), 60)[0]
        self.focus = 'ports'
        self.enabled = {'ports', 'from-field', 'to-field'}

    def windows(self, title):
        return xdotool('search', '--all', '--onlyvisible', '--pid', str(self.pid),
                       '--name', title)

    def boxes(self):
        return len(self.windows(BOX_TITLE))

    def keys(self, window, *keys):
        xdotool('windowfocus', '--sync', window, 'key', '--delay', '50', *keys)

    def type(self, window, text):
        xdotool('windowfocus', '--sync', window, 'type', '--delay', '20', text)

    def press(self, widget):
        """Tabs from the focused widget to widget and presses it."""
        chain = [w for w in self.FOCUS_CHAIN if w in self.enabled]
        steps = (chain.index(widget) - chain.index(self.focus)) % len(chain)
        self.keys(self.main, *(['Tab'] * steps + ['space']))
        self.focus = widget

    def choose_port(self, port):
        # Down from the empty first item, through the ports the window listed at its start:
        # the system's list, as riz-nvr ports shows it.
        names = [entry['name'] for entry in ports_listing()]
        check(port in names, f'{port} is not among the listed ports {names}')
        self.keys(self.main, *(['Down'] * (names.index(port) + 1)))
        self.enabled.add('COMMS')

    def connect(self, line):
        self.choose_port(line.port())
        self.press('COMMS')
        self.enabled |= {'From CTL PCB', 'To CTL PCB'}

    def read(self, name):
        self.press('From CTL PCB')
        dialog = wait_until('the file-name dialog',
                            lambda: self.windows('^Enter NVRAM File Name$'), 20)[0]
        self.keys(dialog, 'ctrl+a')
        self.type(dialog, name)
        self.keys(dialog, 'Tab', 'space')

    def write(self, path):
        self.press('To CTL PCB')
        dialog = wait_until('the file dialog', lambda: self.windows('^Select NVRAM File$'), 20)[0]
        self.type(dialog, path)
        self.keys(dialog, 'Return')

    def close_box(self):
        self.keys(self.windows(BOX_TITLE)[0], 'Return')

    def cpu(self):
        return cpu_seconds(self.pid)

    def alive(self):
        return self.process.poll() is None and bool(self.windows(WINDOW_TITLE))

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def wait_connected(line):
    wait_until('the window greeting the board and polling',
               lambda: any(c == '$91%' for c, _ in line.board_log()), 30)


def check_no_box(window, what):
    check(window.boxes() == 0, f'the window showed a box {what}')


# The cases. Each takes its line and returns its figures as text; a failure raises Failure.

def riz_nvr_read_verify_write(line):
    """riz-nvr reads, verifies and writes"""
    line.board('--load', 'board40.nvr', '--save-on-end', f'saved-{line.name}.nvr')
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
    same_pages(os.path.join(SHARE, 'changed40.nvr'), os.path.join(SHARE, f'saved-{line.name}.nvr'))
    figures.append(f'write {seconds:.2f} s')
    return ', '.join(figures)


def window_read_write(line):
    """the window connects, reads and writes"""
    line.board('--load', 'board40.nvr', '--save-on-end', f'saved-{line.name}.nvr')
    window = Window(f'window-{line.name}.log')
    started = time.monotonic()
    window.connect(line)
    wait_connected(line)
    connected = time.monotonic()
    target = os.path.join(SAVE_DIR, f'window-{line.name}.nvr')
    window.read(f'window-{line.name}')
    wait_until('the read file', lambda: os.path.exists(target), 60)
    same_pages(os.path.join(SHARE, 'board40.nvr'), target)
    read = time.monotonic()
    check_no_box(window, 'after the read')
    window.write(os.path.join(SHARE, 'changed40.nvr'))
    wait_until('the end of the write ("$24%")',
               lambda: any(c == '$24%' for c, _ in line.board_log()), 60)
    same_pages(os.path.join(SHARE, 'changed40.nvr'), os.path.join(SHARE, f'saved-{line.name}.nvr'))
    written = time.monotonic()
    time.sleep(1)
    check_no_box(window, 'after the write')
    check(window.alive(), 'the window is gone')
    return (f'connect {connected - started:.2f} s, read {read - connected:.2f} s, '
            f'write {written - read:.2f} s')


def unplug_during(line, transfer, program):
    """Unplugs line once a long transfer is under way. Returns (figures, process or window)."""
    line.board('--load', 'board1000.nvr', '--pace', '--save-on-end', f'saved-{line.name}.nvr')
    name = f'unplug-{line.name}'
    if transfer == 'read':
        file = tech_file(name + '.nvr', os.path.join(SHARE, 'board40.nvr'))
        codes = ('$22', '$23')
    else:
        file = tech_file(name + '.nvr', os.path.join(SHARE, 'changed1000.nvr'))
        codes = ('$20', '$21')
    before = folder_state()
    if program == 'window':
        window = Window(f'window-{name}-{transfer}.log')
        window.connect(line)
        wait_connected(line)
        if transfer == 'read':
            window.read(name)
        else:
            window.write(file)
        cpu = None
    else:
        process = spawn(TECH, ['riz-nvr', transfer, '--quiet', line.riz_port(), file],
                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
    wait_until(f'{TRANSFER_STARTED} page commands', lambda: line.page_commands(codes)
               >= TRANSFER_STARTED, 60)
    if program != 'window':
        cpu = cpu_seconds(process.pid)
    unplugged = time.monotonic()
    line.unplug()
    if program == 'window':
        wait_until('a box', window.boxes, BOX_LIMIT, step=0.02)
        box = time.monotonic() - unplugged
        cpu = window.cpu()
        time.sleep(CPU_WINDOW)
        cpu = window.cpu() - cpu
        boxes = window.boxes()
        figures = f'box {box:.2f} s after the unplug, {cpu:.2f} s CPU in the {CPU_WINDOW:.0f} s after'
        check(boxes == 1, f'{boxes} boxes, not one')
        check(cpu <= CPU_LIMIT, f'the window used {cpu:.2f} s of CPU in the {CPU_WINDOW:.0f} s '
              f'after the box (at most {CPU_LIMIT})')
        window.close_box()
        wait_until('the box closing', lambda: window.boxes() == 0, 10)
        time.sleep(1)
        check_no_box(window, 'again after the first was closed')
        check(window.alive(), 'the window did not survive the unplug')
    else:
        try:
            _, err = process.communicate(timeout=EXIT_LIMIT)
        except subprocess.TimeoutExpired:
            raise Failure(f'riz-nvr {transfer} still ran {EXIT_LIMIT} s after the unplug')
        gone = time.monotonic() - unplugged
        total = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = total.ru_utime + total.ru_stime - children.ru_utime - children.ru_stime - cpu
        figures = f'exit {gone:.2f} s after the unplug, {cpu:.2f} s CPU after the unplug'
        check(process.returncode == 1, f'riz-nvr {transfer} ended with status '
              f'{process.returncode}, not 1:\n{err.decode(errors="replace").strip()}')
    check(folder_state() == before, 'the save folder changed: '
          f'{sorted(set(folder_state().items()) ^ set(before.items()))}')
    if transfer == 'write':
        check(not any(c == '$24%' for c, _ in line.board_log()),
              '"$24%" went out after the unplug')
    return figures


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
    window = Window(f'window-{line.name}-in-use.log')
    window.connect(line)
    wait_connected(line)
    for port in (line.port(), line.link()):
        riz_nvr('read', '--quiet', port, '/tmp/in-use.nvr', expect=2)
    holder = {entry['name']: entry for entry in ports_listing()}[line.port()]['inUseBy']
    check(holder and holder['pid'] == window.pid,
          f'riz-nvr ports gives the holder {holder}, not the window (pid {window.pid})')
    check_no_box(window, 'while riz-nvr was refused')
    return 'exit 2 by name and by link; ports names the window'


def in_use_by_riz_nvr(line):
    """the window refused a port riz-nvr holds"""
    line.board('--load', 'board1000.nvr', '--pace')
    process = spawn(TECH, ['riz-nvr', 'read', '--quiet', line.riz_port(), '/tmp/held.nvr'],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until('riz-nvr reading', lambda: line.page_commands(('$22', '$23')) > 0, 30)
    holder = {entry['name']: entry for entry in ports_listing()}[line.port()]['inUseBy']
    check(holder and holder['pid'] == process.pid,
          f'riz-nvr ports gives the holder {holder}, not riz-nvr (pid {process.pid})')
    window = Window(f'window-{line.name}-refused.log')
    window.choose_port(line.port())
    window.press('COMMS')
    wait_until('a box', window.boxes, BOX_LIMIT)
    time.sleep(1)
    check(window.boxes() == 1, f'{window.boxes()} boxes, not one')
    window.close_box()
    wait_until('the box closing', lambda: window.boxes() == 0, 10)
    check(window.alive(), 'the window is gone')
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
    return f'tool {seconds:.2f} s, wire {wire:.2f} s ({wire_bytes} bytes), ratio {seconds / wire:.2f}'


# One row a case: the line, the case, and, for a known fault of the tool, what it does wrong.
# The FTDI's first row runs on the adapter as it was plugged at boot (latency_timer).
CASES = [
    ('ftdi', riz_nvr_read_verify_write, None),
    ('ftdi', window_read_write, None),
    ('ftdi', speed, None),
    ('ftdi', unplug_read_window, None),
    ('ftdi', unplug_write_window, None),
    ('ftdi', unplug_read_nvr, None),
    ('ftdi', unplug_write_nvr, None),
    ('ftdi', replug, None),
    ('ftdi', outside_dialout, None),
    ('ftdi', in_use_by_window, None),
    ('ftdi', in_use_by_riz_nvr, None),
    ('acm', riz_nvr_read_verify_write, None),
    ('acm', window_read_write, None),
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


def stop_started():
    while STARTED:
        process = STARTED.pop()
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def run_row(line_name, case, known_fault):
    line = LINES[line_name]
    title = f'{line_name}: {case.__doc__}'
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
        HOST.say(f'expected failure: {title} ({took:.1f} s): {known_fault}\n  {failure}')
        return True
    if known_fault:
        HOST.say(f'FAIL: {title} ({took:.1f} s) passed, but is marked as the known fault '
                 f'"{known_fault}": take the mark away')
        return False
    if failure:
        HOST.say(f'FAIL: {title} ({took:.1f} s): {failure}')
        return False
    HOST.say(f'ok: {title} ({took:.1f} s): {figures}')
    return True


def install_package():
    debs = glob.glob(os.path.join(SHARE, 'riz-oveda_*.deb'))
    check(len(debs) == 1, f'one package in the shared folder, found {debs}')
    local = os.path.join('/root', os.path.basename(debs[0]))
    shutil.copy(debs[0], local)
    started = time.monotonic()
    result = subprocess.run(['apt-get', 'install', '-y', '-q', local], capture_output=True,
                            text=True, env=dict(os.environ, DEBIAN_FRONTEND='noninteractive'))
    check(result.returncode == 0, f'apt install of the package failed:\n{result.stdout}{result.stderr}')
    info = os.stat(SAVE_DIR)
    check(grp.getgrgid(info.st_gid).gr_name == 'dialout', f'{SAVE_DIR} is not of the group dialout')
    return time.monotonic() - started


def prepare():
    os.makedirs(WORK, exist_ok=True)
    for pages, salt in ((40, ''), (200, ''), (1000, '')):
        write_table(os.path.join(SHARE, f'board{pages}.nvr'), pages, salt)
    write_table(os.path.join(SHARE, 'changed40.nvr'), 40, '1')
    write_table(os.path.join(SHARE, 'changed1000.nvr'), 1000, '1')
    xvfb = subprocess.Popen(['Xvfb', DISPLAY, '-screen', '0', '1024x768x24', '-nolisten', 'tcp',
                             '-ac'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until('Xvfb', lambda: os.path.exists('/tmp/.X11-unix/X' + DISPLAY[1:]), 30)
    LINES['acm'].make()
    for line in LINES.values():
        wait_until(f'the {line.name} port', line.present, 60)
    return xvfb


def main():
    global HOST
    HOST = Host()
    with open('/proc/uptime') as f:
        HOST.say(f'guest up, {float(f.read().split()[0]):.1f} s after boot')

    def on_alarm(*_):
        raise RowTimeout()

    signal.signal(signal.SIGALRM, on_alarm)
    passed = 0
    try:
        seconds = install_package()
        HOST.say(f'ok: apt install of the package with no network ({seconds:.1f} s)')
        prepare()
        for row in CASES:
            passed += run_row(*row)
    except Exception:
        HOST.say('FAIL: the guest could not run the cases:\n' + traceback.format_exc())
    HOST.say(f'{passed} of {len(CASES)} cases as expected')
    HOST.ask('end', '0' if passed == len(CASES) else '1')


if __name__ == '__main__':
    main()
