"""Reads uftrace's record into the calls of each thread.

`uftrace dump --chrome` writes one event a line; the lines are read as they
come, never as one document, and split at their fixed quotes rather than
parsed as JSON, which would cost several times uftrace's own time on a run
of a million calls."""
import fcntl, glob, json, os, re, subprocess, tempfile, time
from array import array
from collections import namedtuple
from contextlib import contextmanager

from .symbols import Symbols, modules_from_maps

# A traced call is a plain tuple, for a million of them are made quickly:
# its name, start and end in nanoseconds from the program's start, its
# arguments as uftrace wrote them (read them with arguments()), and its
# return value likewise (read it with returned()), or None.
NAME, START, END, RAW, RET = range(5)
# calls: {(pid, tid): [Call]} in order of start; forks: {child pid: parent pid};
# zero: the program's start on uftrace's clock; unended: {task: [(name, start,
# raw arguments)]} of the calls entered and never left in the record, outermost
# first; unmatched: {task: how many exits had no entry}; creations and joins:
# what the helper library saw; cut: (from, to, about how many calls the whole
# record holds) of the part of a long run left out, or None; execs: the
# processes that exec'd.
Record = namedtuple("Record", "calls forks zero speed symbols unended unmatched creations joins started cut execs")
# A process as the helper library saw it begin (or begin a new program, after
# an exec): its parent, when, and the program's path.
Started = namedtuple("Started", "pid parent at program")

F_SETPIPE_SZ = 1031
MOST_CALLS = 2500000  # read at most this many calls, and those in flight at the cut: a longer run is cut
ARGS = ',"args":{"arguments":"'
RETVAL = ',"args":{"retval":"'


class Failure(Exception):
    """The tool could not do its work; the message says why, in one line."""


# What the helper library said of a thread's creation: the process, the
# creating thread, the creation's number in its process, where it wrote the
# handle (a std::thread's own address) and the handle, its routine and argument, what it returned, when it began and
# ended (program time, ns), and the memory at the argument and at the
# addresses found there ({address: bytes}); then the new thread's id and when
# it began, or None.
Creation = namedtuple("Creation", "pid creator sequence where handle routine arg result start end memory tid began")
# A join of a std::thread that the helper saw: the process, the joining
# thread, the std::thread's address and the handle it held, when it began
# and ended (None if it had not).
Join = namedtuple("Join", "pid tid this handle start end")


def read_helper(path, zero, speed, pids):
    """The creations and joins that the helper library wrote, of the traced
    processes only (uftrace itself runs with the library loaded too)."""
    creations, begun, joins, pending, started = {}, {}, [], {}, {}
    if path is None or not os.path.exists(path):
        return [], [], {}

    def at(ns):
        return int((int(ns) - zero) * speed)

    with open(path, errors="replace") as log:
        for line in log:
            fields = line.split()
            try:
                if fields[0] == "create" and len(fields) >= 11:
                    pid = int(fields[1])
                    memory = {}
                    for token in fields[11:]:
                        address, _, data = token.partition(":")
                        memory[int(address, 16)] = bytes.fromhex(data)
                    creations[(pid, int(fields[3]))] = Creation(
                        pid, int(fields[2]), int(fields[3]), int(fields[4], 16), int(fields[5], 16),
                        int(fields[6], 16), int(fields[7], 16), int(fields[8]), at(fields[9]), at(fields[10]), memory,
                        None, None)
                elif fields[0] == "start" and len(fields) >= 5:
                    pid = int(fields[1])
                    began = started.get(pid)  # an exec keeps the first start and names the new program
                    started[pid] = Started(pid, int(fields[2]), began.at if began else at(fields[3]), fields[4])
                elif fields[0] == "begin" and len(fields) == 5:
                    begun[(int(fields[1]), int(fields[2]))] = (int(fields[3]), at(fields[4]))
                elif fields[0] == "joining" and len(fields) == 6:
                    key = (int(fields[1]), int(fields[2]), int(fields[3], 16), int(fields[4], 16), at(fields[5]))
                    pending[key] = True
                elif fields[0] == "join" and len(fields) == 7:
                    key = (int(fields[1]), int(fields[2]), int(fields[3], 16), int(fields[4], 16), at(fields[5]))
                    pending.pop(key, None)
                    joins.append(Join(*key, at(fields[6])))
            except (ValueError, IndexError):  # a line cut short when the program was killed
                continue
    joins += [Join(*key, None) for key in pending]
    found = []
    for key, creation in sorted(creations.items()):
        if creation.pid in pids:
            tid, began = begun.get(key, (None, None))
            found.append(creation._replace(tid=tid, began=began))
    return found, [join for join in joins if join.pid in pids], {pid: s for pid, s in started.items() if pid in pids}


def read(folder, speed=None, progress=None, helper=None, program=None):
    """The record in the program's own time: under libfaketime, uftrace's
    clock runs at the real pace (see record.py), the program's N times as
    fast."""
    with open(os.path.join(folder, "task.txt")) as tasks:
        fields = [dict(re.findall(r'(\w+)=("[^"]*"|\S+)', line)) | {"kind": line.split()[0]}
                  for line in tasks.read().splitlines() if line.strip()]
    session = next(f for f in fields if f["kind"] == "SESS")
    seconds, _, fraction = session["timestamp"].partition(".")
    zero = int(seconds) * 1000000000 + int((fraction + "000000000")[:9])
    forks = {int(f["pid"]): int(f["ppid"]) for f in fields if f["kind"] == "FORK"}
    sessions = [int(f["pid"]) for f in fields if f["kind"] == "SESS"]
    execs = {pid for i, pid in enumerate(sessions) if i or sessions.count(pid) > 1}
    # Each image that a process ran (the program, and what it exec'd) has a map
    # of its own: the same library can lie at other addresses in each.
    modules, stack = set(), None
    for path in sorted(glob.glob(os.path.join(folder, "sid-*.map"))):
        with open(path, errors="replace") as lines:
            maps = lines.read().splitlines()
        modules.update(modules_from_maps(maps))
        if os.path.basename(path) == f"sid-{session.get('sid')}.map":  # the program's own, main's stack
            stack = next((tuple(int(x, 16) for x in line.split()[0].split("-")) for line in maps
                          if line.endswith("[stack]")), None)
    calls, unended, unmatched, cut = read_calls(folder, zero, speed or 1, progress)
    pids = {int(f["pid"]) for f in fields if "pid" in f} | {pid for pid, _ in calls}
    creations, joins, started = read_helper(helper, zero, speed or 1, pids)
    return Record(calls, forks, zero, speed or 1, Symbols(sorted(modules), program, stack), unended,
                  unmatched, creations, joins, started, cut, execs)


def read_calls(folder, zero, speed, progress):
    """The calls of each task, as read_lines() gives them, and the part of the
    run left out, or None. A record of more than MOST_CALLS calls is read in
    two parts, its first MOST_CALLS / 2 calls and its last, at most as many:
    memory stays bounded whatever the run's length, and however unevenly
    its calls fall in time."""
    total, half = estimate(folder), MOST_CALLS // 2
    state = Reading(zero, speed, progress, min(total, MOST_CALLS))
    if total <= MOST_CALLS:
        read_part(folder, None, state)
        return (*state.finish(), None)
    state.limit = half
    first_end = read_part(folder, None, state)
    if first_end is None:  # fewer calls than the record's size suggested: all are read
        return (*state.finish(), None)
    span = elapsed(folder) or 0
    guess = max(zero + int(span * (1 - half / total) * 1e9), first_end)
    begin = last_starts(folder, guess, half)
    if begin is None and guess == first_end:  # the rest fits: read the whole record after all
        state = Reading(zero, speed, progress, MOST_CALLS)
        read_part(folder, None, state)
        return (*state.finish(), None)
    begin = begin or guess
    cut = (int((first_end - zero) * speed), int((begin - zero) * speed), total)
    state.cut_off(cut[0])
    state.part, state.limit = 1, None
    read_part(folder, from_on(begin), state)
    return (*state.finish(), cut)


def from_on(ns):
    """uftrace's time range from a moment on its clock to the record's end."""
    return f"{ns // 10 ** 9}.{ns % 10 ** 9:09d}~"


@contextmanager
def dumped(folder, part, errors):
    """uftrace's dump of the record's Chrome events, or of a time range of
    them, whose lines the caller reads; what it says goes to errors. It is
    stopped if the caller leaves before reading them all."""
    process = subprocess.Popen(["uftrace", "dump", "--chrome", "--no-pager", "--demangle=no", "-d", folder,
                                *(["-r", part] if part else [])],
                               stdout=subprocess.PIPE, stderr=errors, text=True, bufsize=1 << 20,
                               start_new_session=True)  # Ctrl-C is the tool's to handle
    try:  # a larger pipe lets uftrace write ahead while the lines are read
        fcntl.fcntl(process.stdout.fileno(), F_SETPIPE_SZ, 1 << 20)
    except OSError:
        pass
    try:
        yield process
    finally:
        if process.poll() is None and process.stdout.read(1):  # lines left unread: not wanted
            process.kill()
        process.wait()
        process.stdout.close()


def read_part(folder, part, state):
    """Reads the record, or a time range of it, into state; returns where
    reading stopped on uftrace's clock (ns) if state.limit calls were read
    first, else None."""
    with tempfile.TemporaryFile() as errors:
        with dumped(folder, part, errors) as process:
            stopped = read_lines(process.stdout, state)
        if stopped is None and process.returncode != 0:
            errors.seek(0)
            said = errors.read().decode(errors="replace").strip()
            # A run stopped before uftrace wrote any call down leaves a record of none.
            if not said.endswith("No data available"):
                raise Failure(f"uftrace dump failed: {said}")
    return stopped


def last_starts(folder, since, count):
    """Where the last `count` calls of the record begin, on uftrace's clock
    (ns), counting from `since`; None if no more than that begin after it.
    Only their starts are kept, in a ring."""
    ring, seen = array("q", bytes(8 * count)), 0
    with dumped(folder, from_on(since), subprocess.DEVNULL) as process:
        for line in process.stdout:
            comma = line.find(",")
            if line.startswith('"ph":"B"', comma + 1) and '"name":"linux:' not in line:
                ring[seen % count] = int(line[6:comma].replace(".", ""))
                seen += 1
    return ring[seen % count] if seen > count else None


def elapsed(folder):
    """How long the recorded run took, in seconds, as uftrace says."""
    info = subprocess.run(["uftrace", "info", "-d", folder], capture_output=True, text=True, errors="replace",
                          start_new_session=True).stdout
    found = re.search(r"elapsed time\s*:\s*([\d.]+)", info)
    return float(found[1]) if found else None


class Reading:
    """What the lines read so far make: the calls of each task, each task's
    calls entered and not yet left, and the exits without an entry."""

    def __init__(self, zero, speed, progress, total):
        self.zero, self.speed, self.progress, self.total = zero, speed, progress, total
        self.calls, self.tasks, self.texts, self.nested = {}, {}, {}, set()
        self.unmatched, self.count, self.shown, self.part = {}, 0, time.monotonic(), 0
        self.limit = None  # how many calls to read before stopping, or None for all

    def cut_off(self, at):
        """Ends each call still entered where the part read first ends: what
        became of it in the part left out is not known."""
        for calls, stack, _ in self.tasks.values():
            while stack:
                name, start, raw = stack.pop(0)
                begun = int((int(start[1:-1].replace(".", "")) - self.zero) * self.speed)
                calls.append((name, begun, max(begun, at), raw, None))

    def finish(self):
        for task in self.nested:  # a call is stored when it returns: a nested one before the one it is in
            self.calls[task].sort(key=lambda call: call[START])
        unended = {}  # each task's calls still entered when the record ends: (name, start, raw arguments)
        for _, stack, key in self.tasks.values():
            for name, start, raw in stack:
                begun = int(start[1:-1].replace(".", "")) - self.zero
                unended.setdefault(key, []).append((name, int(begun * self.speed), raw))
        return self.calls, unended, self.unmatched


def read_lines(lines, state):
    """The calls of each task from uftrace's Chrome events, a line each:
    {"ts":2580861018.830,"ph":"B","pid":11031,"tid":11033,"name":"f","args":{"arguments":"(0x1)"}},
    Where the record is read in two parts, the calls still entered at the end
    of the first end there (cut_off()); an exit in the second part of a call
    entered in what was left out has no entry, and is not counted. Returns
    the time of the last line read (ns, uftrace's clock) if it stopped at
    state.limit calls, else None."""
    calls, tasks, texts, nested = state.calls, state.tasks, state.texts, state.nested
    zero, speed, progress, total, count = state.zero, state.speed, state.progress, state.total, state.count
    shown, split, unmatched, limit = state.shown, str.split, state.unmatched, state.limit or -1
    stopped = None
    for line in lines:
        p = split(line, '"', 14)
        try:
            if p[9] == "tid":
                where, name, rest = p[10], p[13], p[14]
            else:
                where, name, rest = p[8], p[11], '"'.join(p[12:])
        except IndexError:  # the last event's line has no comma; others are not events
            if len(p) != 14:
                continue
            where, name, rest = p[10], p[13], ""
        task = tasks.get(where)
        if task is None:  # a task's first event: its calls, its stack of calls entered, and itself
            if p[5] not in ("B", "E") or name.startswith("linux:"):
                continue
            key = (int(p[8][1:-1]), int(where[1:-1]))
            task = tasks[where] = (calls.setdefault(key, []), [], key)
        phase, stack = p[5], task[1]
        if name[0] == "l" and name.startswith("linux:"):  # the kernel's events, not calls
            continue
        if phase == "B":
            # What follows the name, its arguments among it, is kept as it is
            # (parse it with arguments()); each different name and text once.
            stack.append((texts.setdefault(name, name), p[2], texts.setdefault(rest, rest)))
        elif phase != "E":
            continue
        elif stack and stack[-1][0] == name:
            entered, start, raw = stack.pop()
            if stack:  # a call made inside another, such as an atexit handler's inside exit
                nested.add(task[2])
            # uftrace writes microseconds with three decimals: nanoseconds
            begun, ended = int(start[1:-1].replace(".", "")) - zero, int(p[2][1:-1].replace(".", "")) - zero
            if speed != 1:
                begun, ended = int(begun * speed), int(ended * speed)
            task[0].append((entered, begun, ended, raw, texts.setdefault(rest, rest) if rest[:1] == "," else None))
            count += 1
            if count == limit:
                stopped = int(p[2][1:-1].replace(".", ""))
                break
            if progress and count & 0xFFFF == 0 and time.monotonic() - shown > 0.25:
                shown = time.monotonic()
                progress(f"reading the record: {count:,} calls" + (f", {min(99, 100 * count // total)} %"
                                                                      if total else ""))
        elif name == "fork":  # a child returns from the fork that its parent entered
            ts = int((int(p[2][1:-1].replace(".", "")) - zero) * speed)
            task[0].append(("fork", ts, ts, "", RETVAL + '0"}}'))
        elif not state.part:
            unmatched[task[2]] = unmatched.get(task[2], 0) + 1
    state.count, state.shown = count, shown
    return stopped


def estimate(folder):
    """About how many calls the record holds: an entry and an exit of 16 bytes
    each, and some arguments."""
    size = sum(os.path.getsize(path) for path in glob.glob(os.path.join(folder, "*.dat"))
               if not os.path.basename(path).startswith("perf"))
    return size // 40


ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"'}
_parsed, _returned = {}, {}


def arguments(raw):
    """A call's arguments, as uftrace wrote them after its entry's name
    (',"args":{"arguments":"(\\"a\\\\n\\", 0x10, 4)"}},') or as such a
    list alone ('(0x10)'): ('a\n', 16, 4), strings unescaped and as bytes,
    numbers as ints."""
    found = _parsed.get(raw)
    if found is None:
        text = raw[len(ARGS):raw.rfind('"}}')] if raw.startswith(ARGS) else raw if raw.startswith("(") else "()"
        found = _parsed[raw] = tuple(parse(json.loads(f'"{text}"') if "\\" in text else text))
    return found


def returned(call):
    """The value that a call returned, as an int, or None if it was not recorded."""
    raw = call[RET]
    if raw is None:
        return None
    found = _returned.get(raw)
    if found is None:
        found = _returned[raw] = number(raw[len(RETVAL):raw.rfind('"}}')])
    return found if isinstance(found, int) else None


def parse(text):
    i, inner = 0, text.strip()[1:-1]
    while i < len(inner):
        if inner[i] in " ,":
            i += 1
        elif inner[i] == '"':
            raw, i = bytearray(), i + 1
            while i < len(inner) and inner[i] != '"':
                if inner[i] == "\\" and i + 1 < len(inner):
                    escape = inner[i + 1]
                    if escape == "x":
                        raw.append(int(inner[i + 2:i + 4], 16))
                        i += 4
                        continue
                    raw += ESCAPES.get(escape, escape).encode()
                    i += 2
                else:
                    raw += inner[i].encode()
                    i += 1
            yield bytes(raw)
            i += 1
        else:
            end = inner.find(",", i)
            end = len(inner) if end < 0 else end
            yield number(inner[i:end].strip())
            i = end


def number(token):
    try:
        return int(token, 0)
    except ValueError:
        try:
            return float(token)
        except ValueError:
            return token


def plt_names(folder, symbols):
    """Names a PLT entry, such as libmcount keeps for a pending call, from
    the symbol files that uftrace writes beside its record."""
    tables = {}

    def name(address):
        module = symbols.module(address)
        if module is None:
            return None
        path = os.path.join(folder, os.path.basename(module[2]) + ".sym")
        if path not in tables:
            entries = {}
            if os.path.exists(path):
                with open(path) as table:
                    for line in table:
                        fields = line.split()
                        if len(fields) == 3 and fields[1] == "P":
                            entries[int(fields[0], 16)] = fields[2]
            tables[path] = entries
        entries = tables[path]
        return entries.get(address - module[0]) or entries.get(address)
    return name
