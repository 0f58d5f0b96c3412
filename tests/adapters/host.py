#!/usr/bin/env python3
"""Boots one guest image with emulated serial lines and serves it until it powers off.

The guest gets an FTDI USB adapter (usb-serial on xHCI), a 16550 on the ISA bus (its ttyS1)
and one on PCI; the host end of each is a simulated CTL PCB on a QEMU chardev socket. At boot
the guest runs cases.py from a shared folder (9p), which also holds the package, the
simulator and the boards' logs. Over a virtio-serial channel the guest asks for what only
the host can do, one request a line, answered "ok" or "error TEXT":
  say TEXT              print TEXT
  board LINE ARG...     restart the board on LINE (ftdi, isa, pci) with these options; paths
                        are relative to the shared folder
  unplug LINE           QMP device_del (ftdi, pci), answered once the guest has let go
  replug LINE           QMP device_add of the same device
  end STATUS            the cases are over: 0 all passed, 1 not
The guest then powers off.

Usage: host.py --name NAME --image DIR --deb FILE --sim FILE --run DIR --accel tcg|kvm
               --time-limit SECONDS
Exit status: 0 every case passed, 1 a case failed, 2 the rig could not run, 3 QEMU crashed
(the rig's own failure), 4 the guest ran past the time limit (a hang) and was killed.
"""
import argparse
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# The hot-pluggable lines, as QMP device_add takes them again after an unplug.
DEVICES = {
    # Plugged whether or not a board is connected, for the boards restart between cases; with
    # a serial number of its own, as an adapter has, its by-id link survives a replug.
    'ftdi': {'driver': 'usb-serial', 'id': 'ftdi0', 'chardev': 'ftdi', 'bus': 'xhci.0',
             'always-plugged': True, 'serial': 'RIZ00001'},
    'pci': {'driver': 'pci-serial', 'id': 'pci0', 'chardev': 'pci', 'addr': '0x5'},
}
BOARD_LINES = ('ftdi', 'isa', 'pci')
DEFAULT_BOARD = ['--pages', '40']
ANSWER_LIMIT = 30  # seconds for a board to connect or a device to go or come
HOLD_BEFORE_UNPLUG = 0.1  # seconds for QEMU to take in what the board has sent


class RigError(Exception):
    """The rig itself cannot go on."""


def device_option(device):
    """The -device option for a device that device_add can add again."""
    return ','.join([device['driver']] + [f"{k}={'on' if v is True else v}"
                                          for k, v in device.items() if k != 'driver'])


class Qmp:
    """QEMU's machine protocol: commands answered in turn, events kept until waited for."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = b''
        self.events = []
        self.receive(ANSWER_LIMIT)  # the greeting
        self.execute('qmp_capabilities')

    def receive(self, limit):
        """The next message, or None after limit seconds."""
        deadline = time.monotonic() + limit
        while b'\n' not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            try:
                received = self.sock.recv(65536)
            except OSError as error:
                raise RigError(f'QMP: {error}')
            if not received:
                raise RigError('QEMU closed its QMP socket')
            self.pending += received
        line, self.pending = self.pending.split(b'\n', 1)
        return json.loads(line)

    def execute(self, command, **arguments):
        try:
            self.sock.sendall(
                json.dumps({'execute': command, 'arguments': arguments}).encode() + b'\n')
        except OSError as error:
            raise RigError(f'QMP: {error}')
        while True:
            message = self.receive(ANSWER_LIMIT)
            if message is None:
                raise RigError(f'QMP {command}: no answer within {ANSWER_LIMIT} s')
            if 'event' in message:
                self.events.append(message)
            elif 'error' in message:
                raise RigError(f"QMP {command}: {message['error'].get('desc')}")
            else:
                return message.get('return')

    def wait_deleted(self, device_id, limit):
        deadline = time.monotonic() + limit
        while True:
            for event in self.events:
                if event['event'] == 'DEVICE_DELETED' and event['data'].get('device') == device_id:
                    self.events.remove(event)
                    return
            message = self.receive(deadline - time.monotonic())
            if message is None:
                raise RigError(f'{device_id} was not deleted within {limit} s')
            self.events.append(message)


class Board:
    """The simulated board on one line's host end; its log is in the shared folder."""

    def __init__(self, sim, line, socket_path, share):
        self.sim, self.line, self.socket_path, self.share = sim, line, socket_path, share
        self.process = None

    def start(self, arguments):
        self.stop()
        log = open(os.path.join(self.share, f'board-{self.line}.log'), 'wb')
        self.process = subprocess.Popen(
            [self.sim, '--socket', self.socket_path] + arguments, cwd=self.share,
            stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL)
        log.close()
        # It says so once it serves.
        ready = select.select([self.process.stdout], [], [], ANSWER_LIMIT)[0]
        if not ready or not self.process.stdout.readline().startswith(b'ctl-board-sim: serving'):
            self.stop()
            with open(os.path.join(self.share, f'board-{self.line}.log'), errors='replace') as f:
                raise RigError(f'the {self.line} board did not start: {f.read().strip()}')

    def hold(self, on):
        """Stops or resumes the board where it is (SIGSTOP, SIGCONT)."""
        if self.process:
            self.process.send_signal(signal.SIGSTOP if on else signal.SIGCONT)

    def stop(self):
        if self.process:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
            self.process = None


class Rig:
    def __init__(self, options):
        self.options = options
        self.name = options.name
        self.sockets = tempfile.mkdtemp(prefix='riz-adapters-')
        self.share = os.path.join(options.run, 'share')
        self.console = os.path.join(options.run, 'console.log')
        self.qemu = None
        self.qmp = None
        self.channel = None
        self.boards = {}
        self.guest_status = None

    def socket_path(self, name):
        return os.path.join(self.sockets, name + '.sock')

    def say(self, text):
        print(f'[{self.name}] {text}', flush=True)

    def prepare_share(self):
        shutil.rmtree(self.options.run, ignore_errors=True)
        os.makedirs(self.share)
        for name in ('cases.py', 'guest.py'):
            shutil.copy(os.path.join(HERE, name), self.share)
        shutil.copy(self.options.sim, os.path.join(self.share, 'ctl-board-sim'))
        shutil.copy(self.options.deb, self.share)

    def qemu_command(self):
        image = self.options.image
        chardev = 'socket,id={0},path={1},server=on,wait=off'.format
        command = [
            'qemu-system-x86_64', '-nodefaults', '-no-user-config', '-no-reboot',
            '-machine', f'pc,accel={self.options.accel}', '-smp', '2', '-m', '1536',
            '-display', 'none', '-nic', 'none',
            '-kernel', os.path.join(image, 'vmlinuz'), '-initrd', os.path.join(image, 'initrd.img'),
            '-append', 'root=/dev/vda rw console=ttyS0 quiet',
            '-drive', f"file={os.path.join(image, 'root.ext4')},format=raw,if=virtio,snapshot=on",
            '-virtfs', f'local,path={self.share},mount_tag=rig,security_model=none',
            '-chardev', f'file,id=console,path={self.console}', '-serial', 'chardev:console',
            '-chardev', chardev('isa', self.socket_path('isa')), '-serial', 'chardev:isa',
            '-device', 'qemu-xhci,id=xhci',
            '-chardev', chardev('ftdi', self.socket_path('ftdi')),
            '-device', device_option(DEVICES['ftdi']),
            '-chardev', chardev('pci', self.socket_path('pci')),
            '-device', device_option(DEVICES['pci']),
            '-device', 'virtio-serial',
            '-chardev', chardev('rig', self.socket_path('rig')),
            '-device', 'virtserialport,chardev=rig,name=rig',
            '-qmp', f"unix:{self.socket_path('qmp')},server=on,wait=off",
        ]
        return command

    def connect(self, name):
        deadline = time.monotonic() + ANSWER_LIMIT
        while True:
            if self.qemu.poll() is not None:
                raise RigError(f'QEMU ended at start with status {self.qemu.returncode}')
            try:
                sock = socket.socket(socket.AF_UNIX)
                sock.connect(self.socket_path(name))
                return sock
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise RigError(f'QEMU did not open its {name} socket')
                time.sleep(0.1)

    def start(self):
        self.prepare_share()
        self.qemu = subprocess.Popen(self.qemu_command(), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.qmp = Qmp(self.connect('qmp'))
        self.channel = self.connect('rig')
        for line in BOARD_LINES:
            self.boards[line] = Board(self.options.sim, line, self.socket_path(line), self.share)
            self.boards[line].start(DEFAULT_BOARD)

    def handle(self, request):
        words = request.split(' ')
        verb, arguments = words[0], words[1:]
        if verb == 'say':
            self.say(request[4:])
            return None
        if verb == 'end':
            self.guest_status = int(arguments[0])
            return 'ok'
        line = arguments[0] if arguments else ''
        if verb == 'board' and line in self.boards:
            self.boards[line].start(arguments[1:])
        elif verb == 'unplug' and line in DEVICES:
            # QEMU 7.2 crashes (SIGSEGV) about once in 15 unplugs when bytes from the chardev
            # reach a serial device as it is deleted; with the board holding its bytes for that
            # moment, it never did in 180. The guest still loses the device in mid-transfer.
            self.boards[line].hold(True)
            time.sleep(HOLD_BEFORE_UNPLUG)
            try:
                self.qmp.execute('device_del', id=DEVICES[line]['id'])
                self.qmp.wait_deleted(DEVICES[line]['id'], ANSWER_LIMIT)
            finally:
                self.boards[line].hold(False)
        elif verb == 'replug' and line in DEVICES:
            self.qmp.execute('device_add', **DEVICES[line])
        else:
            return f'error unknown request: {request}'
        return 'ok'

    def serve(self):
        """Answers the guest until QEMU ends; returns QEMU's exit status, None past the limit."""
        deadline = time.monotonic() + self.options.time_limit
        pending = b''
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            watched = [f for f in (self.channel, self.qemu.stdout) if f]
            ready = select.select(watched, [], [], min(left, 1))[0]
            if self.qemu.stdout in ready:
                output = os.read(self.qemu.stdout.fileno(), 4096)
                if output:
                    sys.stdout.write(f'[{self.name}] qemu: ' + output.decode(errors='replace'))
            if self.qemu.poll() is not None:
                return self.qemu.returncode
            if not self.channel or self.channel not in ready:
                continue
            received = self.channel.recv(4096)
            if not received:
                self.channel.close()
                self.channel = None
                continue
            pending += received
            while b'\n' in pending:
                line, pending = pending.split(b'\n', 1)
                try:
                    answer = self.handle(line.decode(errors='replace'))
                except RigError as error:
                    answer = f'error {error}'
                if answer:
                    try:
                        self.channel.sendall(answer.encode() + b'\n')
                    except OSError:
                        pass  # QEMU is going: the next round finds out

    def console_tail(self, lines=40):
        try:
            with open(self.console, errors='replace') as f:
                return ''.join(f.readlines()[-lines:])
        except OSError:
            return ''

    def stop(self):
        for board in self.boards.values():
            board.stop()
        if self.qemu and self.qemu.poll() is None:
            self.qemu.kill()
            self.qemu.wait()
        shutil.rmtree(self.sockets, ignore_errors=True)

    def run(self):
        started = time.monotonic()
        try:
            self.start()
            status = self.serve()
        except RigError as error:
            self.say(f'RIG FAILURE: {error}')
            return 2
        finally:
            self.stop()
        took = time.monotonic() - started
        if status is None:
            self.say(f'FAIL: the guest was still running after {self.options.time_limit} s and '
                     'was killed (a hang); the console ended with:\n' + self.console_tail())
            return 4
        if status != 0:
            what = f'signal {-status}' if status < 0 else f'status {status}'
            self.say(f'RIG FAILURE: QEMU itself crashed ({what}) after {took:.0f} s: this is the '
                     "rig's failure, not the tool's; the console ended with:\n"
                     + self.console_tail())
            return 3
        if self.guest_status is None:
            self.say('FAIL: the guest powered off before the cases ended; the console ended '
                     'with:\n' + self.console_tail())
            return 1
        self.say(f'boot and cases took {took:.0f} s')
        return 0 if self.guest_status == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--name', required=True)
    parser.add_argument('--image', required=True)
    parser.add_argument('--deb', required=True)
    parser.add_argument('--sim', required=True)
    parser.add_argument('--run', required=True)
    parser.add_argument('--accel', choices=('tcg', 'kvm'), default='tcg')
    parser.add_argument('--time-limit', type=int, default=600)
    options = parser.parse_args()
    for path in ('image', 'deb', 'sim', 'run'):
        setattr(options, path, os.path.abspath(getattr(options, path)))
    rig = Rig(options)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    sys.exit(rig.run())


if __name__ == '__main__':
    main()
