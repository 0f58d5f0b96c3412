"""What the cases (cases.py) drive the guest with: the channel to the host, the technician's
and another user's processes, the serial lines with their boards and unplugs, and the window
under Xvfb, pressed with xdotool and watched for its boxes.
"""
import glob
import hashlib
import json
import os
import pwd
import re
import shutil
import subprocess
import time

SHARE = '/mnt/rig'
LOGS = os.path.join(SHARE, 'logs')  # one a row; the host keeps them
SAVE_DIR = '/opt/VKT_PLUS/NVRAM/CTLPCB'
SIM = os.path.join(SHARE, 'ctl-board-sim')
DISPLAY = ':1'
TECH = 'tech'  # in dialout
OUTSIDER = 'outsider'  # not in dialout
WINDOW_TITLE = '^RIZ OVEDA - '
BOX_TITLE = '^RIZ_OVEDA$'
GADGET = '/sys/kernel/config/usb_gadget/riz'
TICKS = os.sysconf('SC_CLK_TCK')


class Failure(Exception):
    """A case did not go as it should."""


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


HOST = None  # the Host, once open_host() has opened it
STARTED = []  # processes started by the current row, stopped after it
ROW_LOG = os.path.join(LOGS, 'setup.log')


def open_host():
    global HOST
    os.makedirs(LOGS, exist_ok=True)
    HOST = Host()
    return HOST


def say(text):
    HOST.say(text)


def start_log(name):
    """From now on, note() and the window write to LOGS/name.log and LOGS/name-window.log."""
    global ROW_LOG
    ROW_LOG = os.path.join(LOGS, name + '.log')


def note(text):
    """Adds text to the current row's log."""
    with open(ROW_LOG, 'a') as f:
        f.write(text.rstrip('\n') + '\n')


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
    seconds = time.monotonic() - started
    note(f"$ {' '.join(argv)}  ({user}: status {process.returncode} after {seconds:.2f} s)\n"
         f'{out}{err}')
    return process.returncode, out, err, seconds


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
    """Every file of the save folder with its size and contents' hash; the nightly folder aside."""
    state = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            continue
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

    # QEMU removes and adds the device itself (the ISA port has no hot-plug).
    def unplug(self):
        HOST.ask('unplug', self.name)
        super().unplug()

    def replug(self):
        HOST.ask('replug', self.name)
        super().replug()


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


class IsaLine(HostLine):
    name = 'isa'

    def node(self):
        return '/dev/ttyS1'


class PciLine(HostLine):
    name = 'pci'
    address = '0000:00:05.0'  # host.py puts it there

    def node(self):
        # The tty sits one level lower below the PCI device on kernel 6.12 than on 6.1.
        for tty in glob.glob('/sys/class/tty/ttyS*'):
            if self.address in os.path.realpath(os.path.join(tty, 'device')):
                return '/dev/' + os.path.basename(tty)
        raise Failure('no ttyS port on the PCI 16550')


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
        os.symlink(os.path.join(GADGET, 'functions/acm.gs0'),
                   os.path.join(GADGET, 'configs/c.1/acm.gs0'))
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

    def __init__(self):
        with open(ROW_LOG[:-len('.log')] + '-window.log', 'wb') as log:
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


def wait_connected(line):
    wait_until('the window greeting the board and polling',
               lambda: any(c == '$91%' for c, _ in line.board_log()), 30)


def check_no_box(window, what):
    check(window.boxes() == 0, f'the window showed a box {what}')


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
