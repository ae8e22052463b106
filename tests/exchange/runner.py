#!/usr/bin/env python3
# Plays one exchange file against the real gateway binary: writes the file's
# configuration into a fresh root, runs kestrel there with the Modbus side on
# a pty (or loopback TCP or UDP) and the M-Bus side on loopback TCP, UDP or a pty,
# and walks through the file: what the master sends, every Modbus request the
# gateway must make and what the slave answers, what the master gets back,
# and the lines the logs must hold. tests/exchanges/README.md describes it.
#
#   runner.py KESTREL FIXTURES FILE      exit 0 passed, 1 failed, 77 skipped
import ctypes, fcntl, fnmatch, glob, os, pathlib, pty, re, resource, select, shutil, signal, socket, stat, struct
import subprocess, sys, tempfile, termios, threading, time, tty
from itertools import takewhile

DEADLINE = 10.0  # seconds; only a failure waits this long
SKIPPED = 77
TIOCVHANGUP = 0x5437
CMSPAR = 0o10000000000  # not in the termios module
IN_OPEN = 0x20  # inotify, not in the os module
F_SETPIPE_SZ = 1031  # not in the fcntl module before Python 3.10
PAGE = 4096  # the smallest pipe

# The verbs ("_" stands for a blank). Settings stand before the first exchange,
# file operations anywhere; any other verb starts the gateway. Consecutive lines
# of a block verb are one block. Run.do_VERB does a verb (expect_VERB a block).
SETTINGS = """meters ini hardware mbus_on modbus_on link trace_off args quiet under_valgrind program example_config
    notify_socket stderr_pipe_full wall_clock_at"""
FILE_OPS = "file fifo_reader symlink hardlink mkdir remove edit"
BLOCK_VERBS = "trace startup stdout stderr checked"
EXCHANGE_VERBS = """--- repeat end master modbus on_link slave answer no_answer received frames_traced no_trace no_stdout
    no_file emptied exit pause pidfile pidfile_refreshed stopwatch wakes_at_most panel_written holds resources
    resources_steady drop_modbus_line restore_modbus_line modbus_device_closes modbus_device_resets modbus_device_stops
    modbus_device_starts hang_up_mbus_line reconnect_master second_master_from second_master_refused
    second_master second_master_takes_over valgrind_clean descriptors cpu_below metrics notified notifications
    notify_reader_starts stderr_drains wall_clock_steps_to check_status_exits signal restart"""
SETTINGS, FILE_OPS, BLOCK_VERBS, EXCHANGE_VERBS = ({v.replace("_", " ") for v in kind.split()}
                                                   for kind in (SETTINGS, FILE_OPS, BLOCK_VERBS, EXCHANGE_VERBS))
# Longer phrases first: the verb of a line is the first one it starts with.
VERBS = sorted(SETTINGS | FILE_OPS | BLOCK_VERBS | EXCHANGE_VERBS, key=len, reverse=True)
OUTPUT_VERBS = ("stdout", "checked")  # their lines keep their blanks and "#"
FRAME_VERBS = ("master", "modbus", "slave", "answer")  # a long frame may go on over "|" lines
COMMENT = re.compile(r"(^|\s)#(\s.*)?$")
TIMING = re.compile(r"\b(after|within|in|watchdog|every) (\d+)\b")
SERIAL_KEYS = "porttype = SER|sercomport = %s|serbaudrate = %d|serbits = 8|serparity = N|serstopbit = 1"
SERVER_KEYS = "porttype = %s|localip = LO|localport = %d|server = 1"
CLIENT_KEYS = "porttype = %s|localip = LO|remoteip = 127.0.0.1|remoteport = %d|server = 0"


class Fail(Exception): pass


class Skip(Exception): pass


def check(condition, failure):
    if not condition: raise Fail(failure)


def wait_for(condition, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while not (done := condition()) and time.monotonic() < end:
        time.sleep(0.002)
    return done


def expect(condition, failure, deadline=DEADLINE):  # waits for the condition; a Fail after the deadline
    check(wait_for(condition, deadline), failure)


def attempt(action, otherwise=None):  # what action() gives, or otherwise when it fails with an OSError
    try:
        return action()
    except OSError:
        return otherwise


class Step:
    def __init__(self, file, line, verb, text, block=None, iteration=0):
        self.file, self.line, self.verb, self.text, self.iteration = file, line, verb, text, iteration
        self.block = [] if block is None else block

    @property
    def words(self):
        more = self.block if self.verb in FRAME_VERBS else []
        return self.text.split() + [w for line in more for w in COMMENT.sub("", line).split()]

    def timed(self):  # the words without "after MS", "within MS" and "in MS"; those times in seconds
        text = " ".join(self.words)
        return TIMING.sub(" ", text).split(), {name: int(ms) / 1000 for name, ms in TIMING.findall(text)}

    def again(self, iteration):  # the copy a repeat makes; $REPEAT is its number (the innermost repeat's)
        return Step(self.file, self.line, self.verb, self.text.replace("$REPEAT", str(iteration)), self.block,
                    self.iteration or iteration)

    def where(self):  # how a failure names the step
        repeat = " (repeat %d)" % self.iteration if self.iteration else ""
        return "%s:%d: %s%s: " % (self.file, self.line, self.verb, repeat)


def read_script(path):
    steps = []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.strip()
        if line.startswith("|"):
            check(steps, "%s:%d: a block line without a verb above it" % (path, number))
            steps[-1].block.append(line[2:] if line[1:2] == " " else line[1:])
            continue
        output = line.startswith(OUTPUT_VERBS)
        code = line if output else COMMENT.sub("", line).strip()
        verb = next((v for v in VERBS if code == v or code.startswith(v + " ")), None)
        check(verb or not code, "%s:%d: no such verb: %s" % (path, number, code))
        # Printed output keeps its indentation: one blank follows the verb.
        code and steps.append(Step(path, number, verb, code[len(verb) + 1:] if output else code[len(verb):].strip()))
    return expand(steps)


# "repeat N" ... "end" written out.
def expand(steps):
    done, repeats = [[]], []  # the steps so far: the file's, then those of each repeat open here
    for s in steps:
        if s.verb == "repeat":
            done.append([])
            repeats.append(s)
        elif s.verb == "end":
            check(repeats, s.where() + "end without repeat")
            body, count = done.pop(), int(repeats.pop().text or 0)
            done[-1] += [c.again(i) for i in range(1, count + 1) for c in body]
        else:
            done[-1].append(s)
    check(not repeats, repeats and repeats[-1].where() + "this repeat has no end")
    return done[0]


# The lines before the first "---" are common to every run; each part after a "---" is a run of its own.
def runs(steps):
    cuts = [i for i, s in enumerate(steps) if s.verb == "---"] + [len(steps)]
    return [steps[:cuts[0]] + steps[a + 1:b] for a, b in zip(cuts, cuts[1:])] or [steps]


# The Modbus CRC bit by bit (reflected A001h, start FFFFh): another method than
# the gateway's table lookups, so the two cannot share a mistake.
def crc(data):
    value = 0xFFFF
    for b in data:
        value ^= b
        for _ in range(8):
            value = (value >> 1) ^ 0xA001 if value & 1 else value >> 1
    return [value & 0xFF, value >> 8]  # the low byte goes first


def mbus_sum(data): return sum(data) & 0xFF


def hexs(data): return " ".join("%02X" % b for b in data) or "(nothing)"


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
        else:
            check(re.fullmatch(r"[0-9A-Fa-f]{2}", w), "not a byte: " + w)
            out.append(int(w, 16))
    return out


# A frame written out in the file must be valid: lengths, checksum, stop byte.
# Of what the master sends only a frame complete by its own length is checked.
def check_mbus(data, words, sent=False):
    long_, short = len(data) >= 6 and data[0] == 0x68, len(data) == 5 and data[0] == 0x10
    if "CS" in words or (sent and long_ and not (data[3] == 0x68 and data[2] == data[1] == len(data) - 6)): return
    valid = data[:3] + [mbus_sum(data[1:3]), 0x16] if short else (
        [0x68] + [(len(data) - 6) & 0xFF] * 2 + [0x68] + data[4:-2] + [mbus_sum(data[4:-2]), 0x16])
    check(not (short or long_) or data == valid, "the frame written in the file is not valid: it is " + hexs(valid))


def check_crc(data, words):
    check("CRC" in words or len(data) < 3 or data[-2:] == crc(data[:-2]),
          "the CRC written in the file is wrong: it is %s (or write CRC)" % hexs(crc(data[:-2])))


def compare(what, expected, got):
    check(got == expected, "%s\n  expected %s\n  received %s" % (what, hexs(expected), hexs(got)))


def take(buffer, count):  # the first count bytes, taken out of the buffer
    got, buffer[:count] = list(buffer[:count]), b""
    return got


# Length of the M-Bus frame at the start, 0 while incomplete; bytes that begin
# no frame are taken as they are.
def frame_length(data):
    if not data or data[0] not in (0xE5, 0x10, 0x68): return len(data)
    need = {0xE5: 1, 0x10: 5}.get(data[0]) or (data[1] + 6 if len(data) >= 2 else 6)
    return need if len(data) >= need else 0


def read_text(path):  # "" for anything but a regular file: reading a FIFO would block
    return attempt(lambda: pathlib.Path(path).read_bytes().decode("latin-1"), "") if os.path.isfile(path) else ""


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_bytes(text.encode("latin-1"))


def lines_of(block, indent=""): return "".join(indent + line + "\n" for line in block)


def like(want, have): return have.startswith(want[:-3]) if want.endswith("...") else have == want  # "..." ends a prefix


def sample_like(want, have):  # a metrics line like want, or "NAME > N": the sample NAME above N
    name, above, bound = want.partition(" > ")
    if not above: return like(want, have)
    return have.startswith(name + " ") and float(have.split()[-1]) > float(bound)


# Line for line; "..." stands for any number of lines, and ends a line's prefix (or, as alike, any test of a line).
def lines_match(want, have, alike=like):
    if want[:1] == ["..."]: return any(lines_match(want[1:], have[skip:], alike) for skip in range(len(have) + 1))
    return not want and not have or bool(want and have) and alike(want[0], have[0]) and lines_match(want[1:], have[1:],
                                                                                                       alike)


# libfaketime's settings for a process whose calendar runs off, its monotonic clocks and the times of files
# (the kernel's) as they are.
def faked_calendar():
    library = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [None])[0]
    if not library or os.environ.get("KESTREL_SANITIZED"):
        raise Skip("libfaketime is not installed (Debian: faketime), or cannot go with a sanitizer build")
    return {"LD_PRELOAD": library, "FAKETIME_DONT_FAKE_MONOTONIC": "1", "NO_FAKE_STAT": "1"}


def fileno(fd): return fd if isinstance(fd, int) else fd.fileno()


# Appends what fd holds, waiting up to wait seconds for the first byte.
def read_into(fd, into, wait):
    ready = fd is not None and attempt(lambda: select.select([fd], [], [], max(wait, 0))[0])
    chunk = attempt(lambda: os.read(fileno(fd), 4096), b"") if ready else b""
    into += chunk
    return bool(chunk)


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
        for fd in (self.master, self.slave): os.close(fd)


# The Modbus device on one link: [ModbusPort], or [ModbusPort.NAME] for "link
# NAME". What the gateway sent waits in got, each byte with the time it came.
class Link:
    def __init__(self, name, side, root):
        default = name == "ModbusPort"
        self.name, self.side, self.section = name, side, name if default else "ModbusPort." + name
        self.path = root + "/modbus-line" + ("" if default else "-" + name)
        self.serial = "RS485" if default else "MBMASTER"  # its name in corvid_hw.ini on a pty
        self.pty = self.listen = self.conn = self.peer = None  # peer: where the gateway sends from over UDP
        self.port, self.mbap, self.got, self.stamps = 0, False, bytearray(), []  # MBAP frames carry no CRC
        self.request_at = self.slave_at = self.settled_at = time.monotonic()

    def close(self):
        for end in (self.pty, self.listen, self.conn): end and end.close()

    def device(self): return self.pty.master if self.pty else self.conn  # where the slave reads and writes

    def plug(self):
        self.pty = Pty()
        # One rename, as udev replaces a /dev/serial/by-id link when an adapter returns.
        os.symlink(self.pty.path, self.path + ".new")
        os.rename(self.path + ".new", self.path)

    def clear(self): self.got, self.stamps = bytearray(), []

    # Takes in what the gateway sent; a newer TCP connection replaces the current one.
    def pump(self, wait):
        if self.listen and select.select([self.listen], [], [], 0)[0]:
            self.conn and self.conn.close()
            self.conn = self.listen.accept()[0]
            self.clear()
        before = len(self.got)
        if self.side != "udp":
            read_into(self.device(), self.got, wait)
        elif select.select([self.conn], [], [], max(wait, 0))[0]:
            data, self.peer = self.conn.recvfrom(4096)
            self.got += data
        self.stamps += [time.monotonic()] * (len(self.got) - before)
        return len(self.got) > before

    def holds(self, count):  # takes in what came; whether count bytes wait now
        self.pump(0.005)
        return len(self.got) >= count

    # The slave answers the request seen last, or says it will not: what came
    # before came in flight with that request (see Run.do_modbus).
    def settle(self):
        self.pump(0)
        self.settled_at = time.monotonic()
        return self.settled_at

    def take(self, count):  # the first count bytes, and when the first of them came
        first = self.stamps[0] if self.stamps else time.monotonic()
        del self.stamps[:count]
        return take(self.got, count), first


class Run:
    def __init__(self, binary, fixtures):
        self.binary, self.fixtures, self.root = binary, fixtures, tempfile.mkdtemp(prefix="kestrel-exchange-")
        self.main, self.removed = {"Main": {"FILENAME": "meters.xml", "enable_leds": "no"}}, set()
        self.meters, self.hardware, self.file_ops, self.args, self.launcher = None, "", [], None, []
        self.mbus_side, self.tracing, self.quiet, self.started, self.exited = "tcp", True, 0.15, False, False
        # the Modbus links by name ("ModbusPort" and those of "link NAME"); the one the Modbus lines speak for
        self.links = {"ModbusPort": Link("ModbusPort", "pty", self.root)}
        self.link = self.links["ModbusPort"]
        # fifo_readers: path below the root -> read end
        self.process = self.at = self.resources_seen = self.second_master = self.mbus_pty = self.master = None
        self.simulator_file, self.helpers = None, []  # for "modbus on simulator": its file; socat and the simulator
        self.mbus_port = self.cursor = self.frames_at_send = 0
        self.master_in, self.access, self.fifo_readers = bytearray(), {}, {}
        self.sent_at = self.stopwatch = time.monotonic()
        self.recorded = {}  # with --record: line number of a "?" step -> the bytes it saw
        # notify socket: datagrams as (time, lines) and how many were matched; the metrics file's inode
        self.notify, self.notify_env, self.notes, self.notes_seen, self.metrics_inode = None, {}, [], 0, None
        self.stderr_checked, self.stderr_pipe, self.stderr_filler = False, None, 0  # stderr pipe full: its read end
        self.clock_env, self.checked = {}, ""  # wall clock at: libfaketime's settings; what kestrel-check printed
        os.makedirs(self.root + "/tmp")

    def close(self):
        self.stop(signal.SIGKILL)
        for helper in self.helpers: helper.kill(), helper.wait()
        for link in self.links.values(): link.close()
        for end in (self.mbus_pty, self.master, self.second_master):
            end is None or isinstance(end, int) or end.close()  # an int: the M-Bus pty's end, closed with it
        for fd in self.fifo_readers.values(): os.close(fd)
        self.notify and (self.notify.shutdown(socket.SHUT_RDWR), self.notify.close())
        self.stderr_pipe is None or os.close(self.stderr_pipe)
        os.environ.get("KESTREL_KEEP_ROOT") or shutil.rmtree(self.root, ignore_errors=True)

    def substitute(self, text):
        names = {"ROOT": self.root, "MBUS_DEVICE": self.mbus_pty.path if self.mbus_pty else "",
                 "MBUS_PORT": self.mbus_port, "BINARY": self.binary, "EXAMPLES": self.fixtures + "/../../../config"}
        for name, link in self.links.items():  # $MODBUS_PORT, $MODBUS_DEVICE; $MODBUS_PORT_NAME, $MODBUS_DEVICE_NAME
            suffix = "" if link is self.links["ModbusPort"] else "_" + name
            names.update({"MODBUS_PORT" + suffix: link.port, "MODBUS_DEVICE" + suffix: link.path})
        return re.sub(r"\$(MODBUS_(?:PORT|DEVICE)_[\w-]+|[A-Z_]+)", lambda name: str(names.get(name[1], name[0])), text)

    def play(self, steps):
        for i, s in enumerate(steps):
            self.at, same = s, lambda t: (t.verb, t.iteration) == (s.verb, s.iteration)
            if s.verb in BLOCK_VERBS and i and same(steps[i - 1]): continue  # played with the block's first line
            check(s.verb not in SETTINGS or not self.started, "this belongs before the first exchange")
            if s.verb in FILE_OPS:
                self.file_op(s) if self.started else self.file_ops.append(s)
                continue
            s.verb in SETTINGS or self.started or self.start()
            if s.verb in BLOCK_VERBS:
                getattr(self, "expect_" + s.verb)([self.substitute(b.text) for b in takewhile(same, steps[i:])])
            else:
                getattr(self, "do_" + s.verb.replace(" ", "_"))(s)
        self.started or self.start()
        self.at = None
        self.finish()

    # ---- before the start ----------------------------------------------

    def do_meters(self, s):
        self.meters = lines_of(s.block) if s.block else read_text(self.fixtures + "/" + s.text)
        check(self.meters, "no fixture " + s.text)

    # SECTION KEY = VALUE sets a key, SECTION KEY leaves it out.
    def do_ini(self, s):
        check(len(s.words) >= 2, "write SECTION KEY = VALUE")
        keys, key = self.main.setdefault(s.words[0], {}), s.words[1]
        if "=" in s.text:
            keys[key] = s.text.split("=", 1)[1].strip()
        else:
            keys.pop(key, None)
            self.removed.add((s.words[0], key))

    def do_hardware(self, s): self.hardware += s.text + "\n"  # a line of section Main of corvid_hw.ini

    def do_mbus_on(self, s): self.mbus_side = s.text

    def do_modbus_on(self, s):  # SIDE, or simulator FILE
        simulated = s.words[:1] == ["simulator"]
        self.links["ModbusPort"].side, self.simulator_file = s.words[:2] if simulated else (s.text, None)

    # link NAME on SIDE: a Modbus device for section ModbusPort.NAME, as "modbus on SIDE" for ModbusPort.
    def do_link(self, s):
        name, side = s.words[0], " ".join(s.words[2:])
        check(re.fullmatch(r"[\w-]{1,16}", name) and name != "ModbusPort" and s.words[1:2] == ["on"]
              and side in ("pty", "tcp", "tcp stopped", "tcp server", "udp"), "write link NAME on pty|tcp|udp|...")
        check(side != "pty" or all(l.side != "pty" for l in list(self.links.values())[1:]),
              "corvid_hw.ini has one MBMASTER: one link on a pty at most")
        self.links[name] = Link(name, side, self.root)

    def do_trace_off(self, s): self.tracing = False

    # notify socket [abstract] [unread] [watchdog MS]: a datagram socket as NOTIFY_SOCKET (a name in the
    # abstract namespace, "@..."), read as it comes (unread: from "notify reader starts" on).
    def do_notify_socket(self, s):
        words, times = s.timed()
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        name = "@" + os.path.basename(self.root) + "-notify" if "abstract" in words else self.root + "/notify"
        self.notify.bind(name.replace("@", "\0", 1))
        self.notify_env = {"NOTIFY_SOCKET": name}
        self.notify_env.update({"WATCHDOG_USEC": str(int(times["watchdog"] * 1e6))} if "watchdog" in times else {})
        "unread" in words or self.do_notify_reader_starts(s)

    def do_notify_reader_starts(self, s):
        def listen():  # until the socket is shut: then it reads nothing
            while data := attempt(lambda: self.notify.recv(4096), b""):
                self.notes.append((time.monotonic(), data.decode().split("\n")))
        threading.Thread(target=listen, daemon=True).start()

    # stderr pipe full: standard error is a pipe of one page that the runner filled and does not read;
    # stderr drains: it reads it from then on, into the file stderr, what it filled it with left out.
    def do_stderr_pipe_full(self, s):
        self.stderr_pipe, self.stderr_end = os.pipe()
        fcntl.fcntl(self.stderr_end, F_SETPIPE_SZ, PAGE)
        os.set_blocking(self.stderr_end, False)
        while written := attempt(lambda: os.write(self.stderr_end, b"\n" * PAGE), 0): self.stderr_filler += written
        os.set_blocking(self.stderr_end, True)  # as the gateway would find a journal's

    def do_stderr_drains(self, s):
        def drain():
            with open(self.root + "/stderr", "ab", buffering=0) as out:
                skip = self.stderr_filler
                while data := attempt(lambda: os.read(self.stderr_pipe, PAGE), b""):
                    out.write(data[skip:])
                    skip = max(0, skip - len(data))
        threading.Thread(target=drain, daemon=True).start()

    # wall clock at OFFSET: the gateway's calendar (not its monotonic clock) runs OFFSET seconds off, by
    # libfaketime; wall clock steps to OFFSET: from now on this far off.
    def do_wall_clock_at(self, s):
        self.clock_env = dict(faked_calendar(), FAKETIME_TIMESTAMP_FILE=self.root + "/faketime", FAKETIME_NO_CACHE="1")
        self.do_wall_clock_steps_to(s)

    def do_wall_clock_steps_to(self, s): write_text(self.root + "/faketime", "%+d\n" % int(s.text))

    # check status exits N [clock SECONDS]: kestrel-check --status, beside the gateway with its configuration
    # (and its calendar SECONDS off), ends with status N; checked TEXT: what it printed, line for line ("*"
    # stands for any text within a line).
    def do_check_status_exits(self, s):
        checker, clock = os.environ.get("KESTREL_CHECK", "kestrel-check"), {}
        if s.words[1:2] == ["clock"]: clock = dict(faked_calendar(), FAKETIME="%+d" % int(s.words[2]))
        run = subprocess.run([checker, "--status"], env=dict(os.environ, KESTREL_ROOT=self.root, **clock),
                             stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.checked = run.stdout
        check(run.returncode == int(s.words[0]), "it ended with status %d, printing:\n%s" % (run.returncode, run.stdout))

    def expect_checked(self, block):
        check(lines_match(block, self.checked.split("\n")[:-1], lambda w, h: fnmatch.fnmatchcase(h, w)),
              "kestrel-check --status printed:\n" + self.checked)

    def do_args(self, s): self.args = s.words

    def do_quiet(self, s): self.quiet = int(s.text) / 1000

    # Another of the project's binaries, started like the gateway with args.
    def do_program(self, s): self.binary = os.environ.get(s.text.upper().replace("-", "_"), s.text)

    def do_example_config(self, s): self.file_ops.insert(0, s)  # the shipped examples, over what the runner writes

    def do_under_valgrind(self, s):
        if os.environ.get("KESTREL_SANITIZED") or not os.access("/usr/bin/valgrind", os.X_OK):
            raise Skip("valgrind is not installed, or cannot run a sanitizer build")
        self.launcher = ["/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full",
                         "--log-file=" + self.root + "/memcheck.log"]

    def file_op(self, s):
        if s.verb == "example config":
            return shutil.copytree(self.substitute("$EXAMPLES"), self.root + "/config", dirs_exist_ok=True)
        path = self.root + "/" + s.words[0]
        os.makedirs(path if s.verb == "mkdir" else os.path.dirname(path), exist_ok=True)
        if s.verb in ("remove", "symlink", "hardlink") and os.path.lexists(path):
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.unlink(path)
        if s.verb in ("edit", "file"):
            write_text(path, self.edited(read_text(path), s) if s.verb == "edit" else self.file_content(s))
        elif s.verb == "symlink":
            os.symlink(self.substitute(s.words[1]), path)
        elif s.verb == "hardlink":  # a second name of a file below the root
            os.link(self.root + "/" + s.words[1], path)
        elif s.verb == "fifo reader":  # held open, so that opening it for writing would not fail
            os.mkfifo(path)
            self.fifo_readers[s.words[0]] = os.open(path, os.O_RDONLY | os.O_NONBLOCK)

    # A "- OLD" line, then "+ NEW" lines: the first OLD becomes the NEW lines.
    def edited(self, text, s):
        edits = []
        for line in s.block:
            if line[:1] == "-":
                edits.append((line[2:], []))
            elif line[:1] == "+" and edits:
                edits[-1][1].append(self.substitute(line[2:]))
        for old, new in edits:
            check(old in text, "%s does not hold %s" % (s.words[0], old))
            text = text.replace(old, "\n".join(new), 1)
        return text

    # What a file or holds line gives: hex BYTES after the path, or the | block.
    def file_content(self, s):
        if s.words[1:2] == ["stamp"]:  # the time now, as the gateway stamps its PidFile
            return struct.pack("=i", int(time.time())).decode("latin-1")
        if s.words[1:2] == ["hex"]: return bytes(to_bytes(s.words[2:])).decode("latin-1")
        return self.substitute(lines_of(s.block))

    # ---- the start -------------------------------------------------------

    # Port keys written "a = b|c = d", unless the file set or removed them.
    def side_keys(self, section, keys):
        for key, value in (pair.split(" = ") for pair in keys.split("|")):
            (section, key) in self.removed or self.main.setdefault(section, {}).setdefault(key, value)

    def start(self):
        self.started, self.start_time = True, int(time.time())
        hardware = "[Main]\nLO = lo\nALL = all\n" + "".join(map(self.set_up, self.links.values()))
        if self.mbus_side == "pty":
            self.mbus_pty = Pty()
            self.side_keys("MBusPort", SERIAL_KEYS % ("RS232", 2400))
            hardware += "RS232 = %s\n" % self.mbus_pty.path
        elif self.mbus_side in ("tcp", "udp"):
            with self.mbus_socket() as probe:  # for a port free a moment ago
                self.mbus_port = probe.bind(("127.0.0.1", 0)) or probe.getsockname()[1]
            self.side_keys("MBusPort", SERVER_KEYS % (self.mbus_side.upper(), self.mbus_port))
        for link in self.links.values(): self.side_keys(link.section, "timeout = 1000")
        self.side_keys("MBusPort", "timeout = 2000")
        ini = "".join("[%s]\n%s" % (k, "".join("%s = %s\n" % kv for kv in v.items())) for k, v in self.main.items())
        write_text(self.root + "/config/kestrel.ini", self.substitute(ini))
        write_text(self.root + "/config/corvid_hw.ini", hardware + self.substitute(self.hardware))
        write_text(self.root + "/config/kestrel_default.ini", "[Main]\nenable_leds = no\n")
        self.meters and write_text(self.root + "/config/meters.xml", self.meters)
        self.tracing and write_text(self.root + "/tmp/kestrel.log", "")
        for op in self.file_ops: self.file_op(op)
        self.simulator_file and self.start_simulator()
        self.launch()

    # A link's port keys and device; its line of corvid_hw.ini, if any.
    def set_up(self, link):
        side, link.mbap = link.side, self.main.get(link.section, {}).get("framing", "").lower() == "mbap"
        if side == "udp":
            link.conn = socket.socket(type=socket.SOCK_DGRAM)
            link.conn.bind(("127.0.0.1", 0))
        elif side not in ("pty", "simulator", "none"):
            link.listen = socket.create_server(("127.0.0.1", 0))
        if side in ("pty", "simulator"):
            side == "pty" and link.plug()
            self.side_keys(link.section, SERIAL_KEYS % (link.serial, 9600))
            return "%s = %s\n" % (link.serial, link.path)
        if side != "none":
            link.port = (link.conn or link.listen).getsockname()[1]
            keys = SERVER_KEYS if side == "tcp server" else CLIENT_KEYS  # tcp server: the device connects once it runs
            self.side_keys(link.section, keys % (side[:3].upper(), link.port))
        if side in ("tcp stopped", "tcp server"):  # stopped: nothing listens before "modbus device starts"
            link.side, link.listen = side.replace(" stopped", ""), link.listen.close()
        return ""

    def launch(self):
        # close_fds: no pty end or socket of the runner's lives on in the gateway.
        self.process = subprocess.Popen(
            self.launcher + [self.binary] + [self.substitute(a) for a in self.args or []],
            env=dict(os.environ, KESTREL_ROOT=self.root, **self.notify_env, **self.clock_env), stdin=subprocess.DEVNULL,
            stderr=self.stderr_end if self.stderr_pipe is not None else open(self.root + "/stderr", "wb"),
            stdout=subprocess.PIPE if self.args is not None else subprocess.DEVNULL)
        self.stderr_pipe is None or os.close(self.stderr_end)  # the gateway's alone now
        if self.args is not None: return
        # A PidFile the file replaced by something else (or gave a second name) is
        # never written: then the master connects as soon as the port listens.
        pid = self.root + "/tmp/kestrel.pid"
        if not os.path.lexists(pid) or (stat.S_ISREG(os.lstat(pid).st_mode) and os.lstat(pid).st_nlink == 1):
            wait_for(lambda: self.pidfile_time() >= self.start_time - 1 or not self.running(),
                     60 if self.launcher else DEADLINE)
        self.running() and self.connect_master()
        for link in self.links.values():
            if self.running() and link.side == "tcp server":
                link.conn = socket.create_connection(("127.0.0.1", link.port))

    # tools/modbus_sim serves the Modbus line: socat joins its pty to the one
    # the program opens; the runner sees none of the traffic.
    def start_simulator(self):
        simulator, socat, line = os.environ.get("MODBUS_SIM"), shutil.which("socat"), self.links["ModbusPort"].path
        if not simulator or not socat: raise Skip("modbus on simulator needs tools/modbus_sim (libmodbus) and socat")
        ends = ["pty,raw,echo=0,link=" + line, "pty,raw,echo=0,link=" + line + "-sim"]
        self.helpers.append(subprocess.Popen([socat] + ends, stderr=subprocess.DEVNULL))
        expect(lambda: os.path.exists(line) and os.path.exists(line + "-sim"), "socat made no pty pair")
        self.helpers.append(subprocess.Popen([simulator, line + "-sim", self.root + "/" + self.simulator_file],
                                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                             stderr=subprocess.DEVNULL))
        # It says so once its line is open, or why not.
        check(b"serving" in self.helpers[-1].stdout.readline(), "the simulator did not start")

    def running(self): return self.process is not None and self.process.poll() is None

    def stop(self, sig):
        if self.running():
            self.process.send_signal(sig)
            wait_for(lambda: not self.running(), 60)

    def pidfile_time(self):
        data = read_text(self.root + "/tmp/kestrel.pid").encode("latin-1")
        return int.from_bytes(data[:4], "little", signed=True) if len(data) >= 4 else 0

    def mbus_socket(self):  # a master's socket on the M-Bus side
        return socket.socket(type=socket.SOCK_STREAM if self.mbus_side == "tcp" else socket.SOCK_DGRAM)

    def connect_master(self):
        def connect():
            self.master and self.master.close()
            self.master = self.mbus_socket()
            return self.master.connect_ex(("127.0.0.1", self.mbus_port)) == 0
        if self.mbus_side == "pty":
            self.master = self.mbus_pty.master
        elif self.mbus_side in ("tcp", "udp"):
            expect(connect, "the M-Bus master cannot connect to port %d" % self.mbus_port)

    # ---- the two lines ---------------------------------------------------

    def send(self, fd, data, who, to=None):  # to: a UDP peer's address
        write = (lambda: fd.sendto(bytes(data), to)) if to else lambda: os.write(fileno(fd), bytes(data))
        check(fd is not None and attempt(write) == len(data), "the %s could not send %s" % (who, hexs(data)))

    # seen_only: only what was taken in before; a request sent right after an
    # answer (the next background read) is not yet a stray one.
    def no_stray_modbus(self, seen_only=False):
        for link in self.links.values():
            seen_only or link.pump(0)
            check(not link.got, "the gateway sent a Modbus request on link %s the file does not expect: %s"
                  % (link.name, hexs(link.got)))

    def no_stray_mbus(self, wait, when):
        read_into(self.master, self.master_in, wait)
        check(not self.master_in, "%s the gateway sent %s, which nobody asked for" % (when, hexs(self.master_in)))
        self.no_stray_modbus()

    def do_master(self, s):
        self.no_stray_mbus(0, "before this")
        bad = s.words[:1] == ["bad"]
        data = to_bytes(s.words[bad:])
        bad or check_mbus(data, s.words, sent=True)
        self.frames_at_send, self.sent_at = self.frames_traced() if self.tracing else 0, time.monotonic()
        self.send(self.master, data, "master")

    def do_on_link(self, s):
        check(s.text in self.links, "no link " + s.text)
        self.link = self.links[s.text]

    # modbus BYTES [after MS]: the request the gateway must send next on the
    # link, not sooner than MS after the slave's last byte; not begun before the
    # slave line for the request before it (two requests in flight), when there is one.
    def do_modbus(self, s):
        if s.words == ["?"]: return self.record_request(s)
        words, times, link = *s.timed(), self.link
        expected = to_bytes(words)
        link.mbap or check_crc(expected, words)
        wait_for(lambda: link.holds(len(expected)))
        (got, first), link.request_at = link.take(len(expected)), time.monotonic()
        compare("Modbus request", expected, got)
        check(first >= link.settled_at, "two requests in flight on link %s: this one came %.1f ms before the slave "
              "line for the one before it" % (link.name, (link.settled_at - first) * 1000))
        silence = (first - link.slave_at) * 1000
        check(silence >= times.get("after", 0) * 1000, "the request came %.1f ms after the slave's last byte" % silence)

    def record_request(self, s):  # whatever comes, until the line has been quiet for 50 ms
        wait_for(lambda: self.link.holds(1))
        while self.link.pump(0.05): pass
        self.recorded[s.line], self.link.request_at = self.link.take(len(self.link.got))[0], time.monotonic()

    # slave [after MS] [raw] BYTES|silent: sent MS after the link's last request arrived.
    def do_slave(self, s):
        words, times, link = *s.timed(), self.link
        if words == ["silent"]: return link.settle()
        raw = words[:1] == ["raw"]
        data = to_bytes(words[raw:])
        raw or link.mbap or check_crc(data, words)
        time.sleep(max(0, link.request_at + times.get("after", 0) - time.monotonic()))
        # The time is read before the write: the gateway cannot hear the last byte
        # sooner, so a loaded machine that delays this process never shortens a gap.
        link.slave_at = link.settle()
        self.send(link.device(), data, "slave", link.peer)

    # answer BYTES [after MS] [within MS]
    def do_answer(self, s):
        words, times = s.timed()
        until = self.sent_at + times.get("within", DEADLINE)
        while frame_length(self.master_in) == 0 and time.monotonic() < until:
            read_into(self.master, self.master_in, until - time.monotonic())
        if self.master_in[:1] and self.master_in[0] not in (0xE5, 0x10, 0x68):
            read_into(self.master, self.master_in, 0.05)
        came = (time.monotonic() - self.sent_at) * 1000
        check(not self.master_in or came >= times.get("after", 0) * 1000, "the answer came %.1f ms after the request"
              % came)
        got = take(self.master_in, frame_length(self.master_in) or len(self.master_in))
        if words == ["?"]:
            self.recorded[s.line] = got
            return

        # The access number per meter (its A field and identification number):
        # AN takes whatever came and remembers it, AN+k counts on from there.
        def access(before, step):
            key, came = tuple(before[5:11]), got[len(before)] if len(before) < len(got) else 0
            self.access[key] = (came if step is None else self.access.get(key, 0) + step) & 0xFF
            return self.access[key]
        expected = to_bytes(words, access)
        check_mbus(expected, words)
        compare("answer", expected, got)
        self.no_stray_modbus(seen_only=True)

    def do_no_answer(self, s): self.no_stray_mbus(self.quiet, "no answer expected, but")

    # ---- the logs --------------------------------------------------------

    # The trace without time stamps and dump indentation; every line begins
    # with "hh:mm:ss.tttt " or, in a dump, as many blanks.
    def trace_lines(self):
        text = read_text(self.root + "/tmp/kestrel.log")
        unstamped = re.search(r"^(?!\d\d:\d\d:\d\d\.\d{4} | {14}).+$", text, re.M)
        check(not unstamped, 'a trace line without its time stamp: "%s"' % (unstamped and unstamped[0]))
        return [line[14:].rstrip(" ") for line in text.split("\n") if line[14:].rstrip(" ")]

    def frames_traced(self): return self.trace_lines().count("M-Bus in message")

    # The lines stand one after another in the trace, after those matched last;
    # a line written with "..." at its end stands for any line it begins.
    def expect_trace(self, block):
        def found():
            trace = self.trace_lines()
            start = self.cursor if self.cursor <= len(trace) else 0  # shorter: switched on again, a new file
            at = next((i for i in range(start, len(trace) - len(block) + 1)
                       if all(map(like, block, trace[i:i + len(block)]))), None)
            self.cursor = start if at is None else at + len(block)
            return at is not None
        expect(found, "the trace does not hold, after what was matched before:\n" + lines_of(block, "  "))

    def expect_startup(self, block):
        log = lambda: read_text(self.root + "/tmp/kestrel_startup.log").split("\n")[:-1]
        matched = wait_for(lambda: lines_match(block, log()), 2)
        check(matched, "StartupLog differs; expected:\n%sit holds:\n%s"
              % (lines_of(block, "  "), lines_of(log(), "  ")))

    def expect_stdout(self, block):
        self.wait_for_exit()
        out = self.process.stdout.read().decode("utf-8", "replace")  # the checker writes UTF-8 (°C, m³)
        check(lines_match([line.replace("\\t", "\t") for line in block], out.split("\n")[:-1]),
              "standard output differs; it holds:\n" + out)

    def do_no_stdout(self, s): self.expect_stdout([])

    def expect_stderr(self, block):  # the whole of standard error, as the StartupLog
        self.stderr_checked, log = True, lambda: read_text(self.root + "/stderr").split("\n")[:-1]
        check(wait_for(lambda: lines_match(block, log()), 2), "standard error holds:\n" + lines_of(log(), "  "))

    # metrics PATH: the file holds the lines of the block ("..." ends a prefix; "NAME > N": a sample above N),
    # written anew (never in place) since the last look, and promtool (when installed) accepts it.
    def do_metrics(self, s):
        path = self.root + "/" + s.words[0]
        fresh = lambda: attempt(lambda: os.stat(path).st_ino) not in (None, self.metrics_inode)
        holds = lambda: all(any(sample_like(w, h) for h in read_text(path).split("\n")) for w in s.block)
        expect(lambda: fresh() and holds(), "%s does not hold\n%s" % (s.words[0], lines_of(s.block, "  ")))
        self.metrics_inode = os.stat(path).st_ino
        if not shutil.which("promtool"): return print("promtool not installed: the metrics format was not checked")
        lint = subprocess.run(["promtool", "check", "metrics"], stdin=open(path), capture_output=True, text=True)
        check(lint.returncode == 0, "promtool check metrics: " + lint.stdout + lint.stderr)

    def notes_holding(self, text, since=0):  # the times of the datagrams from since on with a line like text
        return [at for at, lines in self.notes[since:] if any(like(text, line) for line in lines)]

    # notified TEXT: a datagram after the one matched last holds a line TEXT.
    def do_notified(self, s):
        def found():
            at = next((i for i in range(self.notes_seen, len(self.notes)) if self.notes_holding(s.text, i)[:1]
                       == [self.notes[i][0]]), None)
            self.notes_seen = self.notes_seen if at is None else at + 1
            return at is not None
        expect(found, "no datagram holds %s; the last: %s" % (s.text, self.notes[-3:]))

    # notifications TEXT N to M in MS: so many datagrams with TEXT come in the next MS;
    # notifications TEXT every MS: those so far came at least half that apart (late reads allowed for).
    def do_notifications(self, s):
        words, times = s.timed()
        if "every" in times:
            at = self.notes_holding(words[0])
            return check(all(b - a >= times["every"] / 2 for a, b in zip(at, at[1:])), "%d came closer" % len(at))
        before = len(self.notes)
        time.sleep(times["in"])
        count = len(self.notes_holding(words[0], before))
        check(int(words[1]) <= count <= int(words[3]), "%d came" % count)

    def do_received(self, s):
        expect(lambda: self.frames_traced() > self.frames_at_send, "the gateway never traced what the master sent")

    def do_frames_traced(self, s):
        check(self.frames_traced() == int(s.text), 'the trace holds %d "M-Bus in message" lines' % self.frames_traced())

    def do_no_trace(self, s):
        for line in self.trace_lines()[self.cursor:]: check(not line.startswith(s.text), 'the trace holds "%s"' % line)

    # ---- files, the process, time -----------------------------------------

    def do_no_file(self, s): check(not os.path.lexists(self.root + "/" + s.text), s.text + " exists")

    # emptied PATH [within MS]: the gateway empties the file when it opens the trace.
    def do_emptied(self, s):
        ((path,), times), since = s.timed(), time.monotonic()
        expect(lambda: read_text(self.root + "/" + path) == "", path + " was never emptied")
        check(time.monotonic() - since <= times.get("within", 2 * DEADLINE), path + " was emptied only after the limit")

    # holds PATH: the file holds exactly this now; for a "fifo reader", what waits in it.
    def do_holds(self, s):
        held, reader = bytearray(), self.fifo_readers.get(s.words[0])
        same = reader is None or os.fstat(reader).st_ino == attempt(lambda: os.lstat(self.root + "/" + s.words[0]).st_ino)
        check(same, s.words[0] + " is no longer the FIFO it was")
        while reader is not None and read_into(reader, held, 0): pass
        held = held.decode("latin-1") if reader is not None else read_text(self.root + "/" + s.words[0])
        check(held == self.file_content(s), "%s holds\n%s\ninstead of\n%s" % (s.words[0], held, self.file_content(s)))

    def do_pidfile(self, s):
        expect(lambda: self.pidfile_time() >= self.start_time - 1, "the PidFile holds no time of this run")
        data = read_text(self.root + "/tmp/kestrel.pid").encode("latin-1")
        check(self.pidfile_time() <= time.time() + 1 and list(data[4:]) == to_bytes(s.words),
              "the PidFile holds " + hexs(data))

    # pidfile refreshed within MS: the PidFile is written again within MS.
    def do_pidfile_refreshed(self, s):
        written = lambda: os.stat(self.root + "/tmp/kestrel.pid").st_mtime_ns
        before = written()
        expect(lambda: written() != before, "the PidFile was not written again", s.timed()[1]["within"])

    def wait_for_exit(self): expect(lambda: not self.running(), "the gateway is still running", 20)

    def do_exit(self, s):
        self.wait_for_exit()
        check(self.process.returncode == int(s.text), "exit status %d" % self.process.returncode)
        self.exited = True

    def do_pause(self, s): time.sleep(int(s.text) / 1000)

    def do_signal(self, s): self.process.send_signal(getattr(signal, "SIG" + s.text))

    def do_restart(self, s):  # a clean stop, then the same gateway, sandbox and lines started again
        self.stop(signal.SIGTERM)
        check(self.process.returncode == 0, "exit status %d at the restart" % self.process.returncode)
        self.master_in.clear()
        self.start_time, self.cursor = int(time.time()), 0  # the new gateway empties the trace
        self.launch()

    # stopwatch: starts it; stopwatch within MS: at most MS have passed since.
    def do_stopwatch(self, s):
        passed, times = time.monotonic() - self.stopwatch, s.timed()[1]
        check(passed <= times.get("within", passed), "%.1f ms passed" % (passed * 1000))
        self.stopwatch = self.stopwatch if times else time.monotonic()

    def proc(self, name): return read_text("/proc/%d/%s" % (self.process.pid, name))

    def proc_status(self, field): return int(re.search(r"\n%s:\s*(\d+)" % field, self.proc("status")).group(1))

    # wakes at most N in MS: meanwhile the gateway went to sleep at most N
    # times (voluntary context switches), and it did not run for a tenth of
    # the time (a busy loop never sleeps). cpu below P % in MS: it ran for
    # less than P % of the time, however often it woke.
    def do_wakes_at_most(self, s):
        (most, *cpu), times = s.timed()  # cpu: ["%"]
        ticks = lambda: sum(int(f) for f in self.proc("stat").rsplit(")", 1)[1].split()[11:13])
        before, ran = self.proc_status("voluntary_ctxt_switches"), ticks()
        time.sleep(times["in"])
        woke, ran = self.proc_status("voluntary_ctxt_switches") - before, (ticks() - ran) / os.sysconf("SC_CLK_TCK")
        most, share = (float("inf"), float(most) / 100) if cpu else (int(most), 0.1)
        check(woke <= most and ran < times["in"] * share, "it woke %d times and ran %.2f s" % (woke, ran))

    do_cpu_below = do_wakes_at_most

    # descriptors full: the gateway's soft RLIMIT_NOFILE comes down to its lowest
    # free descriptor, so it can open nothing more; descriptors none: down to 3, so that
    # it cannot open again even one it closes; descriptors free: as it was.
    def do_descriptors(self, s):
        pid, held = self.process.pid, {int(fd) for fd in os.listdir("/proc/%d/fd" % self.process.pid)}
        self.nofile = getattr(self, "nofile", None) or resource.prlimit(pid, resource.RLIMIT_NOFILE)  # as it was
        limits = {"full": (min(set(range(len(held) + 1)) - held), self.nofile[1]), "none": (3, self.nofile[1])}
        resource.prlimit(pid, resource.RLIMIT_NOFILE, limits.get(s.text, self.nofile))

    # panel written after MS within MS: the LED panel (an SPI device file below
    # the root) is next opened for a change that long after the last request.
    def do_panel_written(self, s):
        times, libc = s.timed()[1], ctypes.CDLL(None, use_errno=True)
        watch = libc.inotify_init1(os.O_NONBLOCK)
        try:
            if watch < 0 or libc.inotify_add_watch(watch, (self.root + "/dev/spidev32765.3").encode(), IN_OPEN) < 0:
                raise Skip("no inotify watch on the panel's device")
            select.select([watch], [], [], max(0, self.sent_at + times["within"] - time.monotonic()))
            after = time.monotonic() - self.sent_at
            check(read_into(watch, bytearray(), 0), "the panel was not written within %d ms" % (times["within"] * 1000))
            check(after >= times["after"], "the panel was written %.1f ms after the request" % (after * 1000))
        finally:
            watch >= 0 and os.close(watch)

    # ---- failing peers and the long run -----------------------------------

    def resources(self):  # resident memory (KiB) and open descriptors
        return self.proc_status("VmRSS"), len(os.listdir("/proc/%d/fd" % self.process.pid))

    def do_resources(self, s): self.resources_seen = self.resources()

    def do_resources_steady(self, s):
        (rss, descriptors), (rss_before, descriptors_before) = self.resources(), self.resources_seen
        print("resources: resident memory grew %d KiB, %d descriptors (%d before)"
              % (rss - rss_before, descriptors, descriptors_before))
        check(descriptors == descriptors_before, "the descriptor count changed")
        # (Sanitizers keep freed memory resident.)
        check(os.environ.get("KESTREL_SANITIZED") or rss - rss_before < 64, "resident memory grew")

    def do_drop_modbus_line(self, s):
        os.unlink(self.link.path)  # first, so that no other pty is ever behind it
        self.link.pty = self.link.pty.close()
        self.link.clear()

    def do_restore_modbus_line(self, s): self.link.plug()

    # The Modbus device on the far end of a TCP side: closes its connection
    # (resets it: an RST instead of a FIN), stops listening and starts again
    # on the same port. The listener stays through a close or a reset.
    def do_modbus_device_closes(self, s):
        link = self.link
        check(link.conn, "the Modbus device has no connection to close")
        if s.verb.endswith("resets"):
            link.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        link.conn = link.conn.close()
        link.clear()

    do_modbus_device_resets = do_modbus_device_closes

    def do_modbus_device_stops(self, s):
        self.link.conn and self.do_modbus_device_closes(s)
        self.link.listen = self.link.listen.close()

    def do_modbus_device_starts(self, s): self.link.listen = socket.create_server(("127.0.0.1", self.link.port))

    def do_hang_up_mbus_line(self, s):
        if attempt(lambda: fcntl.ioctl(self.mbus_pty.slave, TIOCVHANGUP)) is None:
            raise Skip("this machine does not let the runner hang up a pty")

    def do_reconnect_master(self, s):
        self.connect_master()
        self.master_in.clear()

    # Another master on the M-Bus side (TCP or UDP), bound to a loopback address.
    def do_second_master_from(self, s):
        self.second_master and self.second_master.close()
        self.second_master = self.mbus_socket()
        connected = attempt(lambda: self.second_master.bind((s.text, 0)) or
                            self.second_master.connect(("127.0.0.1", self.mbus_port)) or True)
        check(connected, "the second master cannot connect from " + s.text)

    def do_second_master(self, s): self.send(self.second_master, to_bytes(s.words), "second master")

    # The master lines speak for the second master from here on, the second master lines for the master so far.
    def do_second_master_takes_over(self, s): self.master, self.second_master = self.second_master, self.master

    # TCP: the gateway closes the connection (its end or a reset); UDP: it
    # sends nothing for the quiet period.
    def do_second_master_refused(self, s):
        got = bytearray()
        if self.mbus_side != "tcp":
            return check(not read_into(self.second_master, got, self.quiet), "the second master received " + hexs(got))
        closed = select.select([self.second_master], [], [], DEADLINE)[0] and not read_into(self.second_master, got, 0)
        check(closed, "the gateway did not close the second master's connection")

    def do_valgrind_clean(self, s):
        self.stop(signal.SIGTERM)
        self.exited, report = True, read_text(self.root + "/memcheck.log")
        clean = "ERROR SUMMARY: 0 errors" in report and ("definitely lost: 0 bytes" in report or
                                                         "no leaks are possible" in report)
        check(clean, "memcheck found errors or leaks:\n" + report)

    def finish(self):
        if self.args is None and not self.exited:
            check(self.running(), "the gateway ended with status %s" % self.process.returncode)
            self.no_stray_mbus(self.quiet, "at the end")
        # Without events (no stderr step) no event line: iniparser and Mini-XML have their say, as ever.
        event = re.search(r"^<\d>.*", read_text(self.root + "/stderr"), re.M)
        check(self.stderr_checked or not event, "an event on standard error: " + (event and event[0] or ""))

    def context(self):
        trace = "\n".join(read_text(self.root + "/tmp/kestrel.log").split("\n")[-40:])
        return "\n--- the gateway's trace (last lines)\n%s\n--- StartupLog\n%s" % (
            trace, read_text(self.root + "/tmp/kestrel_startup.log"))


# With --record, "modbus ?" and "answer ?" take whatever comes, and the file
# is printed with those lines filled in: an exchange recorded from the gateway,
# to be read over before it is kept (the gateway's bytes are not checked).
def main():
    record = sys.argv[1:2] == ["--record"]
    if len(sys.argv) != 4 + record: sys.exit("usage: runner.py [--record] KESTREL FIXTURES FILE")
    binary, fixtures, path = sys.argv[1 + record:]
    skipped, recorded = 0, {}
    try:
        steps = read_script(path)
        check(record or not any(s.words == ["?"] for s in steps), path + ': "?" stands only in a file played with --record')
        for script in runs(steps):
            run = Run(binary, fixtures)
            try:
                run.play(script)
            except Skip as skip:
                print("skipped:", skip)
                skipped += 1
            except Fail as failure:
                raise Fail((run.at.where() if run.at else path + ": ") + str(failure) + run.context())
            finally:
                run.close()
                recorded.update({line: got for line, got in run.recorded.items() if line not in recorded})
    except Fail as failure:
        print(failure)
        return 1
    if record:
        for number, line in enumerate(open(path), 1):
            sys.stdout.write(line.replace("?", hexs(recorded[number]), 1) if number in recorded else line)
        return 0
    if skipped: return SKIPPED
    print("%s: %d steps passed" % (path, len(steps)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
