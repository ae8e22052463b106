#!/usr/bin/env python3
# Plays one exchange file against the real gateway binary: writes the file's
# configuration into a fresh root, runs kestrel there with the Modbus side on
# a pty (or loopback TCP or UDP) and the M-Bus side on loopback TCP, UDP or a pty,
# and walks through the file: what the master sends, every Modbus request the
# gateway must make and what the slave answers, what the master gets back,
# and the lines the logs must hold. tests/exchanges/README.md describes it.
#
#   runner.py KESTREL FIXTURES FILE      exit 0 passed, 1 failed, 77 skipped
import ctypes
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

DEADLINE = 10.0  # seconds; only a failure waits this long
SKIPPED = 77
TIOCVHANGUP = 0x5437
CMSPAR = 0o10000000000  # not in the termios module
IN_OPEN = 0x20  # inotify, not in the os module

# Longer phrases first: the verb of a line is the first one it starts with.
VERBS = sorted([v.replace("_", " ") for v in """--- received frames_traced no_stdout no_file emptied drop_modbus_line
    restore_modbus_line hang_up_mbus_line reconnect_master resources_steady under_valgrind valgrind_clean no_answer
    no_trace trace_off example_config program edit meters ini default hardware mbus modbus file fifo symlink mkdir
    remove args quiet start master slave answer trace startup stdout exit pause repeat end pidfile resources
    fifo_reader holds second_master_from second_master_refused second_master stopwatch wakes_at_most panel_written
    pidfile_refreshed modbus_device_closes modbus_device_resets modbus_device_stops modbus_device_starts""".split()],
               key=len, reverse=True)
SETTINGS = {"meters", "ini", "default", "hardware", "trace off", "args", "quiet", "under valgrind", "program",
            "example config"}
FILE_OPS = {"file", "fifo", "fifo reader", "symlink", "mkdir", "remove", "edit"}
BLOCK_VERBS = ("trace", "startup", "stdout")
COMMENT = re.compile(r"(^|\s)#(\s.*)?$")


class Fail(Exception):
    pass


class Skip(Exception):
    pass


class Step:
    def __init__(self, file, line, verb, text, block=None, iteration=0):
        self.file, self.line, self.verb, self.text, self.iteration = file, line, verb, text, iteration
        self.words, self.block = text.split(), block if block is not None else []


# The file's steps, "repeat N" ... "end" written out.
def read_script(path):
    steps = []
    for number, raw in enumerate(open(path, encoding="utf-8"), 1):
        line = raw.rstrip("\n").strip()
        if line.startswith("|"):
            if not steps:
                raise Fail("%s:%d: a block line without a verb above it" % (path, number))
            steps[-1].block.append(line[2:] if line[1:2] == " " else line[1:])
            continue
        code = line.rstrip() if line.startswith("stdout") else COMMENT.sub("", line).strip()
        if not code:
            continue
        verb = next((v for v in VERBS if code == v or code.startswith(v + " ")), None)
        if verb is None:
            raise Fail("%s:%d: no such verb: %s" % (path, number, code))
        # Standard output keeps its indentation: one blank follows the verb.
        steps.append(Step(path, number, verb, code[len(verb) + 1:] if verb == "stdout" else code[len(verb):].strip()))
    for s in steps:  # a long frame may go on over "|" lines
        if s.verb in ("master", "modbus", "slave", "answer"):
            s.words += [w for more in s.block for w in COMMENT.sub("", more).split()]
    return expand(steps, 0, 0)[0]


def expand(steps, at, depth):
    out = []
    while at < len(steps):
        s, at = steps[at], at + 1
        if s.verb == "end":
            if depth == 0:
                raise Fail("%s:%d: end without repeat" % (s.file, s.line))
            return out, at
        if s.verb != "repeat":
            out.append(s)
            continue
        body, count = at, int(s.text or 0)
        for i in range(1, max(count, 1) + 1):
            copy, at = expand(steps, body, depth + 1)
            out += [Step(c.file, c.line, c.verb, c.text, c.block, c.iteration or i) for c in copy] if count else []
    if depth:
        raise Fail("repeat without end")
    return out, at


# The Modbus CRC bit by bit (reflected A001h, start FFFFh): another method than
# the gateway's table lookups, so the two cannot share a mistake.
def crc(data):
    value = 0xFFFF
    for b in data:
        value ^= b
        for _ in range(8):
            value = (value >> 1) ^ 0xA001 if value & 1 else value >> 1
    return [value & 0xFF, value >> 8]  # the low byte goes first


def mbus_sum(data):
    return sum(data) & 0xFF


def hexs(data):
    return " ".join("%02X" % b for b in data) or "(nothing)"


# Words to bytes: CS is the M-Bus checksum of the frame so far, CRC the Modbus
# CRC; in answers access(bytes so far, k) gives AN (k None) and AN+k.
def to_bytes(words, access=None):
    out = []
    for w in words:
        if w == "CS":
            out.append(mbus_sum(out[4:] if out[:1] == [0x68] else out[1:]))
        elif w == "CRC":
            out += crc(out)
        elif access and re.fullmatch(r"AN(\+\d+)?", w):
            out.append(access(out, int(w[3:]) if len(w) > 2 else None))
        elif re.fullmatch(r"[0-9A-Fa-f]{2}", w):
            out.append(int(w, 16))
        else:
            raise Fail("not a byte: " + w)
    return out


# A frame written out in the file must be valid: lengths, checksum, stop byte.
# Of what the master sends only a frame complete by its own length is checked.
def check_mbus(data, words, sent=False):
    long_ = len(data) >= 6 and data[0] == 0x68
    if "CS" in words or (sent and long_ and not (data[3] == 0x68 and data[2] == data[1] == len(data) - 6)):
        return
    if data[:1] == [0x10] and len(data) == 5 and (data[3] != mbus_sum(data[1:3]) or data[4] != 0x16):
        raise Fail("the frame written in the file is not valid: it needs checksum %02X, stop byte 16"
                   % mbus_sum(data[1:3]))
    if long_ and (data[1] != len(data) - 6 or data[2] != data[1] or data[3] != 0x68 or data[-1] != 0x16
                  or data[-2] != mbus_sum(data[4:-2])):
        raise Fail("the frame written in the file is not valid: it needs L %02X, checksum %02X"
                   % ((len(data) - 6) & 0xFF, mbus_sum(data[4:-2])))


def check_crc(data, words):
    if "CRC" not in words and len(data) >= 3 and data[-2:] != crc(data[:-2]):
        raise Fail("the CRC written in the file is wrong: it is %s (or write CRC)" % hexs(crc(data[:-2])))


def wait_for(condition, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while not condition():
        if time.monotonic() >= end:
            return False
        time.sleep(0.002)
    return True


# "" for anything but a regular file: reading a FIFO would block.
def read_text(path):
    if not os.path.isfile(path):
        return ""
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except OSError:
        return ""


def write_text(path, text, mode="w"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode + "b") as f:
        f.write(text if isinstance(text, bytes) else text.encode("latin-1"))


def lines_of(block):
    return "".join(line + "\n" for line in block)


def indented(block):
    return "".join("  %s\n" % line for line in block)


# Line for line; "..." stands for any number of lines.
def lines_match(want, have):
    if not want:
        return not have
    if want[0] == "...":
        return any(lines_match(want[1:], have[skip:]) for skip in range(len(have) + 1))
    return bool(have) and have[0] == want[0] and lines_match(want[1:], have[1:])


# Length of the M-Bus frame at the start, 0 while incomplete; bytes that begin
# no frame are taken as they are.
def frame_length(data):
    if not data or data[0] not in (0xE5, 0x10, 0x68):
        return len(data)
    need = {0xE5: 1, 0x10: 5}.get(data[0]) or (data[1] + 6 if len(data) >= 2 else 6)
    return need if len(data) >= need else 0


# Both ends raw at parity N; the gateway opens the device path, the runner
# talks on master and keeps slave open, so the line survives a reopening.
class Pty:
    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)
        for fd in (self.master, self.slave):
            tty.setraw(fd)
            attrs = termios.tcgetattr(fd)
            attrs[2] &= ~(termios.PARENB | termios.PARODD | CMSPAR)
            attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 0, 0
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
        os.set_blocking(self.master, False)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


# A loopback port free a moment ago, for a side the gateway binds.
def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fileno(fd):
    return fd if isinstance(fd, int) else fd.fileno()


# Appends what fd holds, waiting up to wait seconds for the first byte.
def read_into(fd, into, wait):
    if fd is None or not select.select([fd], [], [], max(wait, 0))[0]:
        return False
    try:
        chunk = os.read(fileno(fd), 4096)
    except OSError:
        return False
    into += chunk
    return bool(chunk)


class Run:
    def __init__(self, binary, fixtures):
        self.binary, self.fixtures = binary, fixtures
        self.root = tempfile.mkdtemp(prefix="kestrel-exchange-")
        self.main = {"Main": {"FILENAME": "meters.xml", "enable_leds": "no"}}
        self.defaults = {"Main": {"enable_leds": "no"}}
        self.removed, self.hardware, self.meters, self.file_ops = set(), "", None, []
        self.modbus_side, self.mbus_side, self.tracing, self.args, self.launcher = "pty", "tcp", True, None, []
        self.quiet, self.started, self.exited, self.process, self.at = 0.15, False, False, None, None
        self.modbus_pty = self.mbus_pty = self.modbus_listen = self.modbus_conn = self.master = None
        self.modbus_port = self.mbus_port = self.cursor = self.frames_at_send = 0
        self.simulator_file = None  # modbus on simulator FILE
        self.modbus_peer, self.mbap = None, False  # UDP: where the gateway sends from; MBAP frames, no CRC
        self.modbus_in, self.master_in, self.access, self.resources_seen = bytearray(), bytearray(), {}, None
        self.sent_at = self.request_at = self.stopwatch = time.monotonic()
        self.recorded = {}  # what "?" steps saw, when recording
        self.fifo_readers, self.second_master = {}, None  # path below the root -> read end; another master
        self.helpers = []  # socat and the simulator, for "modbus on simulator"
        os.makedirs(self.root + "/tmp")

    def close(self):
        self.stop(signal.SIGKILL)
        for p in self.helpers:
            p.kill()
            p.wait()
        for p in (self.modbus_pty, self.mbus_pty):
            p and p.close()
        for s in (self.modbus_listen, self.modbus_conn, self.master, self.second_master):
            s and not isinstance(s, int) and s.close()
        for fd in self.fifo_readers.values():
            os.close(fd)
        if not os.environ.get("KESTREL_KEEP_ROOT"):
            shutil.rmtree(self.root, ignore_errors=True)

    def substitute(self, text):
        for name, value in (("$MODBUS_DEVICE", self.root + "/modbus-line"), ("$ROOT", self.root),
                            ("$MBUS_DEVICE", self.mbus_pty.path if self.mbus_pty else ""),
                            ("$MBUS_PORT", str(self.mbus_port)), ("$MODBUS_PORT", str(self.modbus_port)),
                            ("$BINARY", self.binary), ("$EXAMPLES", self.fixtures + "/../../../config")):
            text = text.replace(name, value)
        return text

    def play(self, steps):
        i = 0
        while i < len(steps):
            s = self.at = steps[i]
            if not self.started and not self.is_setting(s):
                self.start()
            if s.verb in BLOCK_VERBS:  # consecutive lines make one block
                k = i
                while k < len(steps) and steps[k].verb == s.verb and steps[k].iteration == s.iteration:
                    k += 1
                getattr(self, "expect_" + s.verb)([self.substitute(t.text) for t in steps[i:k]])
                i = k
                continue
            if self.started and self.is_setting(s) and s.verb not in FILE_OPS:
                raise Fail("this belongs before the first exchange")
            if s.verb in FILE_OPS:
                self.file_op(s) if self.started else self.file_ops.append(s)
            else:
                getattr(self, "do_" + s.verb.replace(" ", "_"))(s)
            i += 1
        self.started or self.start()
        self.at = None
        self.finish()

    @staticmethod
    def is_setting(s):
        return s.verb in SETTINGS or s.verb in FILE_OPS or (s.verb in ("mbus", "modbus") and s.words[:1] == ["on"])

    # ---- before the start ----------------------------------------------

    def do_meters(self, s):
        self.meters = lines_of(s.block) if s.block else read_text(self.fixtures + "/" + s.text)
        if not self.meters:
            raise Fail("no fixture " + s.text)

    # SECTION KEY = VALUE sets a key, SECTION KEY leaves it out.
    def set_ini(self, ini, s):
        if len(s.words) < 2:
            raise Fail("write SECTION KEY = VALUE")
        keys = ini.setdefault(s.words[0], {})
        if "=" in s.text:
            keys[s.words[1]] = s.text.split("=", 1)[1].strip()
        else:
            keys.pop(s.words[1], None)
            self.removed.add((s.words[0], s.words[1]))

    def do_ini(self, s):
        self.set_ini(self.main, s)

    def do_default(self, s):
        self.set_ini(self.defaults, s)

    def do_hardware(self, s):
        self.hardware += s.text + "\n"

    def do_trace_off(self, s):
        self.tracing = False

    def do_args(self, s):
        self.args = s.words

    def do_program(self, s):  # another of the project's binaries, started like the gateway with args
        self.binary = os.environ.get(s.text.upper().replace("-", "_"), s.text)

    def do_example_config(self, s):  # the shipped examples, in place of what the runner writes
        self.file_ops.insert(0, s)

    def do_quiet(self, s):
        self.quiet = int(s.text) / 1000

    def do_under_valgrind(self, s):
        if os.environ.get("KESTREL_SANITIZED"):
            raise Skip("valgrind cannot run a sanitizer build")
        if not os.access("/usr/bin/valgrind", os.X_OK):
            raise Skip("valgrind is not installed")
        self.launcher = ["/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full",
                         "--log-file=" + self.root + "/memcheck.log"]

    def file_op(self, s):
        if s.verb == "example config":
            shutil.copytree(self.substitute("$EXAMPLES"), self.root + "/config", dirs_exist_ok=True)
            return
        path = self.root + "/" + s.words[0]
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if s.verb == "edit":  # a "- OLD" line, then "+ NEW" lines: the first OLD becomes the NEW lines
            text, edits = read_text(path), []
            for line in s.block:
                if line[:1] == "-":
                    edits.append([line[2:], None])
                elif line[:1] == "+" and edits:
                    new = self.substitute(line[2:])
                    edits[-1][1] = new if edits[-1][1] is None else edits[-1][1] + "\n" + new
            for old, new in edits:
                if old not in text:
                    raise Fail("%s does not hold %s" % (s.words[0], old))
                text = text.replace(old, new or "", 1)
            write_text(path, text)
        elif s.verb == "remove":
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else (
                os.path.lexists(path) and os.unlink(path))
        elif s.verb == "mkdir":
            os.makedirs(path, exist_ok=True)
        elif s.verb == "fifo":
            os.mkfifo(path)
        elif s.verb == "fifo reader":  # held open, so that opening it for writing would not fail
            os.mkfifo(path)
            self.fifo_readers[s.words[0]] = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        elif s.verb == "symlink":
            os.path.lexists(path) and os.unlink(path)
            os.symlink(self.substitute(s.words[1]), path)
        else:
            write_text(path, self.file_content(s))

    # What a file or holds line gives: hex BYTES after the path, or the | block.
    def file_content(self, s):
        if s.words[1:2] == ["stamp"]:  # the time now, as the gateway stamps its PidFile
            return struct.pack("=i", int(time.time())).decode("latin-1")
        if s.words[1:2] == ["hex"]:
            return bytes(to_bytes(s.words[2:])).decode("latin-1")
        return self.substitute(lines_of(s.block))

    # ---- the start -------------------------------------------------------

    # Port keys written "a = b|c = d", unless the file set or removed them.
    def side_keys(self, section, keys):
        for pair in keys.split("|"):
            key, value = pair.split(" = ")
            if (section, key) not in self.removed:
                self.main.setdefault(section, {}).setdefault(key, value)

    def start(self):
        self.started, self.start_time = True, int(time.time())
        hardware = "[Main]\nLO = lo\nALL = all\n"
        serial = "porttype = SER|sercomport = %s|serbaudrate = %d|serbits = 8|serparity = N|serstopbit = 1"
        if self.modbus_side in ("pty", "simulator"):
            self.modbus_side == "pty" and self.plug_modbus_line()
            self.side_keys("ModbusPort", serial % ("RS485", 9600))
            hardware += "RS485 = %s/modbus-line\n" % self.root
        elif self.modbus_side in ("tcp", "tcp stopped"):  # stopped: nothing listens before "modbus device starts"
            self.modbus_listen = socket.create_server(("127.0.0.1", 0))
            self.modbus_port = self.modbus_listen.getsockname()[1]
            if self.modbus_side == "tcp stopped":
                self.modbus_side, self.modbus_listen = "tcp", self.modbus_listen.close()
            self.side_keys("ModbusPort", "porttype = TCP|localip = LO|remoteip = 127.0.0.1|remoteport = %d|server = 0"
                           % self.modbus_port)
        elif self.modbus_side == "udp":
            self.modbus_conn = socket.socket(type=socket.SOCK_DGRAM)
            self.modbus_conn.bind(("127.0.0.1", 0))
            self.modbus_port = self.modbus_conn.getsockname()[1]
            self.side_keys("ModbusPort", "porttype = UDP|localip = LO|remoteip = 127.0.0.1|remoteport = %d|server = 0"
                           % self.modbus_port)
        elif self.modbus_side == "tcp server":  # the gateway listens, the device connects once it runs
            self.modbus_port = free_port(socket.SOCK_STREAM)
            self.side_keys("ModbusPort", "porttype = TCP|localip = LO|localport = %d|server = 1" % self.modbus_port)
        if self.mbus_side == "pty":
            self.mbus_pty = Pty()
            self.side_keys("MBusPort", serial % ("RS232", 2400))
            hardware += "RS232 = %s\n" % self.mbus_pty.path
        elif self.mbus_side in ("tcp", "udp"):
            self.mbus_port = free_port(socket.SOCK_STREAM if self.mbus_side == "tcp" else socket.SOCK_DGRAM)
            self.side_keys("MBusPort", "porttype = %s|localip = LO|localport = %d|server = 1"
                           % (self.mbus_side.upper(), self.mbus_port))
        self.side_keys("ModbusPort", "timeout = 1000")
        self.side_keys("MBusPort", "timeout = 2000")
        self.mbap = self.main.get("ModbusPort", {}).get("framing", "").lower() == "mbap"
        ini = lambda d: "".join("[%s]\n%s" % (k, "".join("%s = %s\n" % kv for kv in v.items())) for k, v in d.items())
        write_text(self.root + "/config/kestrel.ini", self.substitute(ini(self.main)))
        write_text(self.root + "/config/corvid_hw.ini", hardware + self.substitute(self.hardware))
        write_text(self.root + "/config/kestrel_default.ini", ini(self.defaults))
        self.meters and write_text(self.root + "/config/meters.xml", self.meters)
        self.tracing and write_text(self.root + "/tmp/kestrel.log", "")
        for op in self.file_ops:
            self.file_op(op)
        self.simulator_file and self.start_simulator()
        # close_fds: no pty end or socket of the runner's lives on in the gateway.
        self.process = subprocess.Popen(
            self.launcher + [self.binary] + [self.substitute(a) for a in self.args or []],
            env=dict(os.environ, KESTREL_ROOT=self.root), stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            stdout=subprocess.PIPE if self.args is not None else subprocess.DEVNULL)
        if self.args is None:
            # A PidFile the file replaced by something else is never written:
            # then the master connects as soon as the port listens.
            pid = self.root + "/tmp/kestrel.pid"
            if not os.path.lexists(pid) or (os.path.isfile(pid) and not os.path.islink(pid)):
                wait_for(lambda: self.pidfile_time() >= self.start_time - 1 or not self.running(),
                         60 if self.launcher else DEADLINE)
            self.running() and self.connect_master()
            if self.running() and self.modbus_side == "tcp server":
                self.modbus_conn = socket.create_connection(("127.0.0.1", self.modbus_port))

    # tools/modbus_sim serves the Modbus line: socat joins its pty to the one
    # the program opens; the runner sees none of the traffic.
    def start_simulator(self):
        simulator, socat, line = os.environ.get("MODBUS_SIM"), shutil.which("socat"), self.root + "/modbus-line"
        if not simulator or not socat:
            raise Skip("modbus on simulator needs tools/modbus_sim (libmodbus) and socat")
        self.helpers.append(subprocess.Popen([socat, "pty,raw,echo=0,link=" + line, "pty,raw,echo=0,link=" + line + "-sim"],
                                             stderr=subprocess.DEVNULL))
        if not wait_for(lambda: os.path.exists(line) and os.path.exists(line + "-sim")):
            raise Fail("socat made no pty pair")
        sim = subprocess.Popen([simulator, line + "-sim", self.root + "/" + self.simulator_file],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.helpers.append(sim)
        if b"serving" not in sim.stdout.readline():  # it says so once its line is open, or why not
            raise Fail("the simulator did not start")

    def plug_modbus_line(self):
        self.modbus_pty = Pty()
        link = self.root + "/modbus-line"
        # One rename, as udev replaces a /dev/serial/by-id link when an adapter returns.
        os.symlink(self.modbus_pty.path, link + ".new")
        os.rename(link + ".new", link)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def stop(self, sig):
        if self.running():
            self.process.send_signal(sig)
            wait_for(lambda: not self.running(), 60)

    def pidfile_time(self):
        data = read_text(self.root + "/tmp/kestrel.pid").encode("latin-1")
        return int.from_bytes(data[:4], "little", signed=True) if len(data) >= 4 else 0

    def connect_master(self):
        if self.mbus_side == "pty":
            self.master = self.mbus_pty.master
        elif self.mbus_side in ("tcp", "udp"):
            def connect():
                self.master and self.master.close()
                self.master = socket.socket(type=socket.SOCK_STREAM if self.mbus_side == "tcp" else socket.SOCK_DGRAM)
                return self.master.connect_ex(("127.0.0.1", self.mbus_port)) == 0
            if not wait_for(connect):
                raise Fail("the M-Bus master cannot connect to port %d" % self.mbus_port)

    # ---- the two lines ---------------------------------------------------

    # Takes in what the gateway sent on the Modbus side; a newer TCP connection
    # replaces the current one.
    def pump_modbus(self, wait):
        if self.modbus_listen and select.select([self.modbus_listen], [], [], 0)[0]:
            self.modbus_conn and self.modbus_conn.close()
            self.modbus_conn = self.modbus_listen.accept()[0]
            self.modbus_in.clear()
        if self.modbus_side == "udp":
            if select.select([self.modbus_conn], [], [], max(wait, 0))[0]:
                data, self.modbus_peer = self.modbus_conn.recvfrom(4096)
                self.modbus_in += data
                return bool(data)
            return False
        return read_into(self.modbus_pty.master if self.modbus_pty else self.modbus_conn, self.modbus_in, wait)

    def send(self, fd, data, who):
        try:
            if fd is not None and self.modbus_side == "udp" and fd is self.modbus_conn:
                if self.modbus_peer is None or fd.sendto(bytes(data), self.modbus_peer) != len(data):
                    raise OSError()
            elif fd is None or os.write(fileno(fd), bytes(data)) != len(data):
                raise OSError()
        except OSError:
            raise Fail("the %s could not send %s" % (who, hexs(data)))

    def no_stray_modbus(self):
        self.pump_modbus(0)
        if self.modbus_in:
            raise Fail("the gateway sent a Modbus request the file does not expect: " + hexs(self.modbus_in))

    def do_start(self, s):
        pass

    def do_master(self, s):
        self.no_stray_modbus()
        read_into(self.master, self.master_in, 0)
        if self.master_in:
            raise Fail("before this the gateway sent %s, which nobody asked for" % hexs(self.master_in))
        bad = s.words[:1] == ["bad"]
        data = to_bytes(s.words[bad:])
        bad or check_mbus(data, s.words, sent=True)
        self.frames_at_send = self.frames_traced() if self.tracing else 0
        self.sent_at = time.monotonic()
        self.send(self.master, data, "master")

    def do_mbus(self, s):  # mbus on SIDE
        self.mbus_side = s.words[1]

    def do_modbus(self, s):  # modbus on SIDE, or the request the gateway must send next
        if s.words[:2] == ["on", "simulator"]:
            self.modbus_side, self.simulator_file = "simulator", s.words[2]
            return
        if s.words[:1] == ["on"]:
            self.modbus_side = " ".join(s.words[1:])
            return
        if s.words == ["?"]:  # recording: whatever comes before a pause
            wait_for(lambda: self.pump_modbus(0.005) or self.modbus_in)
            while self.pump_modbus(0.05) or len(self.modbus_in) > len(self.recorded.setdefault(s, [])):
                self.recorded[s] = list(self.modbus_in)
            self.modbus_in.clear()
            self.request_at = time.monotonic()
            return
        expected = to_bytes(s.words)
        self.mbap or check_crc(expected, s.words)
        wait_for(lambda: self.pump_modbus(0.005) or len(self.modbus_in) >= len(expected))
        got = list(self.modbus_in[:len(expected)])
        del self.modbus_in[:len(expected)]
        self.request_at = time.monotonic()
        if got != expected:
            raise Fail("Modbus request\n  expected %s\n  received %s" % (hexs(expected), hexs(got)))

    # slave [after MS] [raw] BYTES: sent MS after the last request arrived.
    def do_slave(self, s):
        words, delay = s.words, 0
        if words[:1] == ["after"]:
            delay, words = int(words[1]) / 1000, words[2:]
        if words == ["silent"]:
            return
        raw = words[:1] == ["raw"]
        data = to_bytes(words[raw:])
        raw or self.mbap or check_crc(data, words)
        time.sleep(max(0, self.request_at + delay - time.monotonic()))
        self.send(self.modbus_pty.master if self.modbus_pty else self.modbus_conn, data, "slave")

    # answer BYTES [after MS] [within MS]
    def do_answer(self, s):
        words, limit, earliest = s.words, DEADLINE, 0
        while words[-2:-1] in (["within"], ["after"]):
            limit, earliest = (int(words[-1]) / 1000, earliest) if words[-2] == "within" else (limit, int(words[-1]) / 1000)
            words = words[:-2]
        until = self.sent_at + limit
        while frame_length(self.master_in) == 0 and time.monotonic() < until:
            read_into(self.master, self.master_in, until - time.monotonic())
        if self.master_in[:1] and self.master_in[0] not in (0xE5, 0x10, 0x68):
            read_into(self.master, self.master_in, 0.05)
        if self.master_in and time.monotonic() - self.sent_at < earliest:
            raise Fail("the answer came %.1f ms after the request" % ((time.monotonic() - self.sent_at) * 1000))
        length = frame_length(self.master_in) or len(self.master_in)
        got = list(self.master_in[:length])
        del self.master_in[:length]

        if words == ["?"]:
            self.recorded[s] = got
            return
        # The access number per meter (its A field and identification number):
        # AN takes whatever came and remembers it, AN+k counts on from there.
        def access(before, step):
            key = tuple(before[5:11])
            value = (got[len(before)] if len(before) < len(got) else 0) if step is None else self.access.get(key, 0) + step
            self.access[key] = value & 0xFF
            return value & 0xFF
        expected = to_bytes(words, access)
        check_mbus(expected, words)
        if got != expected:
            raise Fail("answer\n  expected %s\n  received %s" % (hexs(expected), hexs(got)))
        self.no_stray_modbus()

    def do_no_answer(self, s):
        read_into(self.master, self.master_in, self.quiet)
        if self.master_in:
            raise Fail("no answer expected, the master received " + hexs(self.master_in))
        self.no_stray_modbus()

    # ---- the logs --------------------------------------------------------

    # The trace without time stamps and dump indentation; every line begins
    # with "hh:mm:ss.tttt " or, in a dump, as many blanks.
    def trace_lines(self):
        lines = []
        for line in read_text(self.root + "/tmp/kestrel.log").split("\n"):
            if line and not re.match(r"(\d\d:\d\d:\d\d\.\d{4}| {13}) ", line):
                raise Fail('a trace line without its time stamp: "%s"' % line)
            if line[14:].rstrip(" "):
                lines.append(line[14:].rstrip(" "))
        return lines

    def frames_traced(self):
        return self.trace_lines().count("M-Bus in message")

    # The lines stand one after another in the trace, after those matched last.
    def expect_trace(self, block):
        def found():
            trace = self.trace_lines()
            self.cursor = 0 if len(trace) < self.cursor else self.cursor  # switched on again: a new file
            at = next((i for i in range(self.cursor, len(trace) - len(block) + 1) if trace[i:i + len(block)] == block),
                      None)
            self.cursor = self.cursor if at is None else at + len(block)
            return at is not None
        if not wait_for(found):
            raise Fail("the trace does not hold, after what was matched before:\n" + indented(block))

    def expect_startup(self, block):
        log = lambda: read_text(self.root + "/tmp/kestrel_startup.log").split("\n")[:-1]
        if not wait_for(lambda: lines_match(block, log()), 2):
            raise Fail("StartupLog differs; expected:\n%sit holds:\n%s" % (indented(block), indented(log())))

    def expect_stdout(self, block):
        if not wait_for(lambda: not self.running(), 20):
            raise Fail("the gateway is still running")
        out = self.process.stdout.read().decode("utf-8", "replace")  # the checker writes UTF-8 (°C, m³)
        if not lines_match([line.replace("\\t", "\t") for line in block], out.split("\n")[:-1]):
            raise Fail("standard output differs; it holds:\n" + out)

    def do_no_stdout(self, s):
        self.expect_stdout([])

    def do_received(self, s):
        if not wait_for(lambda: self.frames_traced() > self.frames_at_send):
            raise Fail("the gateway never traced what the master sent")

    def do_frames_traced(self, s):
        if self.frames_traced() != int(s.text):
            raise Fail('the trace holds %d "M-Bus in message" lines' % self.frames_traced())

    def do_no_trace(self, s):
        for line in self.trace_lines()[self.cursor:]:
            if line.startswith(s.text):
                raise Fail('the trace holds "%s"' % line)

    def do_no_file(self, s):
        if os.path.lexists(self.root + "/" + s.text):
            raise Fail(s.text + " exists")

    # emptied PATH [within MS]: the gateway empties the file when it opens the trace.
    def do_emptied(self, s):
        since = time.monotonic()
        if not wait_for(lambda: read_text(self.root + "/" + s.words[0]) == ""):
            raise Fail(s.words[0] + " was never emptied")
        if s.words[1:2] == ["within"] and time.monotonic() - since > int(s.words[2]) / 1000:
            raise Fail(s.words[0] + " was emptied only after the limit")

    def do_exit(self, s):
        if not wait_for(lambda: not self.running(), 20):
            raise Fail("the gateway is still running")
        if self.process.returncode != int(s.text):
            raise Fail("exit status %d" % self.process.returncode)
        self.exited = True

    def do_pause(self, s):
        time.sleep(int(s.text) / 1000)

    # stopwatch: starts it; stopwatch within MS: at most MS have passed since.
    def do_stopwatch(self, s):
        if not s.words:
            self.stopwatch = time.monotonic()
        elif (time.monotonic() - self.stopwatch) * 1000 > int(s.words[1]):
            raise Fail("%.1f ms passed" % ((time.monotonic() - self.stopwatch) * 1000))

    # wakes at most N in MS: meanwhile the gateway went to sleep at most N
    # times (voluntary context switches), and it did not run for a tenth of
    # the time (a busy loop never sleeps).
    def do_wakes_at_most(self, s):
        proc = "/proc/%d/" % self.process.pid
        switches = lambda: int(re.search(r"\nvoluntary_ctxt_switches:\s*(\d+)", read_text(proc + "status")).group(1))
        ticks = lambda: sum(int(f) for f in read_text(proc + "stat").rsplit(")", 1)[1].split()[11:13])
        before, ran, window = switches(), ticks(), int(s.words[2]) / 1000
        time.sleep(window)
        woke, ran = switches() - before, (ticks() - ran) / os.sysconf("SC_CLK_TCK")
        if woke > int(s.words[0]) or ran >= window / 10:
            raise Fail("it woke %d times and ran %.2f s" % (woke, ran))

    # panel written after MS within MS: the LED panel (an SPI device file below
    # the root) is next opened for a change that long after the last request.
    def do_panel_written(self, s):
        libc = ctypes.CDLL(None, use_errno=True)
        watch = libc.inotify_init1(os.O_NONBLOCK)
        try:
            if watch < 0 or libc.inotify_add_watch(watch, (self.root + "/dev/spidev32765.3").encode(), IN_OPEN) < 0:
                raise Skip("no inotify watch on the panel's device")
            select.select([watch], [], [], max(0, self.sent_at + int(s.words[3]) / 1000 - time.monotonic()))
            after = (time.monotonic() - self.sent_at) * 1000
            if not read_into(watch, bytearray(), 0):
                raise Fail("the panel was not written within %s ms" % s.words[3])
            if after < int(s.words[1]):
                raise Fail("the panel was written %.1f ms after the request" % after)
        finally:
            watch >= 0 and os.close(watch)

    # pidfile refreshed within MS: the PidFile is written again within MS.
    def do_pidfile_refreshed(self, s):
        written = lambda: os.stat(self.root + "/tmp/kestrel.pid").st_mtime_ns
        before = written()
        if not wait_for(lambda: written() != before, int(s.words[1]) / 1000):
            raise Fail("the PidFile was not written again")

    def do_pidfile(self, s):
        if not wait_for(lambda: self.pidfile_time() >= self.start_time - 1):
            raise Fail("the PidFile holds no time of this run")
        data = read_text(self.root + "/tmp/kestrel.pid").encode("latin-1")
        if self.pidfile_time() > time.time() + 1 or list(data[4:]) != to_bytes(s.words):
            raise Fail("the PidFile holds " + hexs(data))

    # ---- failing peers and the long run -----------------------------------

    def do_resources(self, s, steady=False):
        proc = "/proc/%d" % self.process.pid
        rss = int(re.search(r"VmRSS:\s*(\d+)", read_text(proc + "/status")).group(1))
        descriptors = len(os.listdir(proc + "/fd"))
        if not steady:
            self.resources_seen = (rss, descriptors)
            return
        print("resources: resident memory grew %d KiB, %d descriptors (%d before)"
              % (rss - self.resources_seen[0], descriptors, self.resources_seen[1]))
        if descriptors != self.resources_seen[1]:
            raise Fail("the descriptor count changed")
        if not os.environ.get("KESTREL_SANITIZED") and rss - self.resources_seen[0] >= 64:  # (sanitizers keep
            raise Fail("resident memory grew")  # freed memory resident)

    def do_resources_steady(self, s):
        self.do_resources(s, steady=True)

    def do_drop_modbus_line(self, s):
        os.unlink(self.root + "/modbus-line")  # first, so that no other pty is ever behind it
        self.modbus_pty.close()
        self.modbus_pty = None
        self.modbus_in.clear()

    def do_restore_modbus_line(self, s):
        self.plug_modbus_line()

    # The Modbus device on the far end of a TCP side: closes its connection
    # (resets it: an RST instead of a FIN), stops listening and starts again
    # on the same port. The listener stays through a close or a reset.
    def do_modbus_device_closes(self, s, reset=False):
        if self.modbus_conn is None:
            raise Fail("the Modbus device has no connection to close")
        if reset:
            self.modbus_conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.modbus_conn.close()
        self.modbus_conn = None
        self.modbus_in.clear()

    def do_modbus_device_resets(self, s):
        self.do_modbus_device_closes(s, reset=True)

    def do_modbus_device_stops(self, s):
        self.modbus_conn and self.do_modbus_device_closes(s)
        self.modbus_listen.close()
        self.modbus_listen = None

    def do_modbus_device_starts(self, s):
        self.modbus_listen = socket.create_server(("127.0.0.1", self.modbus_port))

    def do_hang_up_mbus_line(self, s):
        try:
            fcntl.ioctl(self.mbus_pty.slave, TIOCVHANGUP)
        except OSError:
            raise Skip("this machine does not let the runner hang up a pty")

    def do_reconnect_master(self, s):
        self.connect_master()
        self.master_in.clear()

    # holds PATH: the file holds exactly this now; for a "fifo reader", what waits in it.
    def do_holds(self, s):
        if s.words[0] in self.fifo_readers:
            held = bytearray()
            while read_into(self.fifo_readers[s.words[0]], held, 0):
                pass
            held = held.decode("latin-1")
        else:
            held = read_text(self.root + "/" + s.words[0])
        if held != self.file_content(s):
            raise Fail("%s holds\n%s\ninstead of\n%s" % (s.words[0], held, self.file_content(s)))

    # Another master on the M-Bus side (TCP or UDP), bound to a loopback address.
    def do_second_master_from(self, s):
        self.second_master and self.second_master.close()
        self.second_master = socket.socket(type=socket.SOCK_STREAM if self.mbus_side == "tcp" else socket.SOCK_DGRAM)
        try:
            self.second_master.bind((s.text, 0))
            self.second_master.connect(("127.0.0.1", self.mbus_port))
        except OSError:
            raise Fail("the second master cannot connect from " + s.text)

    def do_second_master(self, s):
        self.send(self.second_master, to_bytes(s.words), "second master")

    # TCP: the gateway closes the connection; UDP: it sends nothing for the quiet period.
    def do_second_master_refused(self, s):
        got = bytearray()
        if self.mbus_side != "tcp":
            if read_into(self.second_master, got, self.quiet):
                raise Fail("the second master received " + hexs(got))
            return
        closed = False
        if select.select([self.second_master], [], [], DEADLINE)[0]:
            try:
                closed = not self.second_master.recv(1)
            except OSError:
                closed = True
        if not closed:
            raise Fail("the gateway did not close the second master's connection")

    def do_valgrind_clean(self, s):
        self.stop(signal.SIGTERM)
        self.exited = True
        report = read_text(self.root + "/memcheck.log")
        if "ERROR SUMMARY: 0 errors" not in report or not (
                "definitely lost: 0 bytes" in report or "no leaks are possible" in report):
            raise Fail("memcheck found errors or leaks:\n" + report)

    def finish(self):
        if self.args is not None or self.exited:
            return
        if not self.running():
            raise Fail("the gateway ended with status %d" % self.process.returncode)
        read_into(self.master, self.master_in, self.quiet)
        if self.master_in:
            raise Fail("at the end the gateway sent %s, which nobody asked for" % hexs(self.master_in))
        self.no_stray_modbus()

    def context(self):
        return ("\n--- the gateway's trace (last lines)\n" + "\n".join(read_text(self.root + "/tmp/kestrel.log")
                                                                    .split("\n")[-40:])
                + "\n--- StartupLog\n" + read_text(self.root + "/tmp/kestrel_startup.log"))


# The lines before the first "---" are common to every run; each part after
# a "---" is a run of its own.
def runs(steps):
    common, parts = [], []
    for s in steps:
        if s.verb == "---":
            parts.append(list(common))
        else:
            (parts[-1] if parts else common).append(s)
    return parts or [common]


# With --record, "modbus ?" and "answer ?" take whatever comes, and the file
# is printed with those lines filled in: an exchange recorded from the gateway
# (to be read over before it is kept: the gateway's bytes are not checked).
def main():
    record = sys.argv[1:2] == ["--record"]
    if len(sys.argv) != 4 + record:
        sys.exit("usage: runner.py [--record] KESTREL FIXTURES FILE")
    binary, fixtures, path = sys.argv[1 + record:]
    try:
        steps = read_script(path)
    except Fail as failure:
        print(failure)
        return 1
    if not record and any(s.words == ["?"] for s in steps):
        print("%s: \"?\" stands only in a file played with --record" % path)
        return 1
    skipped, recorded = 0, {}
    for script in runs(steps):
        run = Run(binary, fixtures)
        try:
            run.play(script)
        except Skip as skip:
            print("skipped:", skip)
            skipped += 1
        except Fail as failure:
            at = run.at
            where = "%s:%d: %s%s: " % (at.file, at.line, at.verb, " (repeat %d)" % at.iteration if at.iteration else "")
            print((where if at else path + ": ") + str(failure) + run.context())
            return 1
        finally:
            run.close()
            recorded.update({s.line: got for s, got in run.recorded.items() if s.line not in recorded})
    if record:
        for number, line in enumerate(open(path), 1):
            got = recorded.get(number)
            sys.stdout.write(re.sub(r"\?", hexs(got), line, count=1) if got is not None else line)
        return 0
    if skipped:
        return SKIPPED
    print("%s: %d steps passed" % (path, len(steps)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
