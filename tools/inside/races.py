"""Data races, said in the words of the trace: which object, which two
threads by their tracks' names, each one's read or write, its line in the
program's own source and the locks it held.

Helgrind finds them in a second run of the program, unchanged, and writes
a text log per process: each race with both of its accesses (only the text
log says which locks each held), each lock where it was first seen, each
thread where it was made. Its threads are numbered in the order they were
made, #1 the first of its process; the trace's tracks are in that order too.
Helgrind's run has its own addresses: an object is named from what Helgrind
says of it (inside a variable, a block of the heap, a thread's stack) with
the program's symbols and types.

Helgrind cannot see an ordering made with atomic loads and stores (plain
moves) or with the futex system calls under C++20's semaphores, latches,
barriers, atomic waits and futures: a race between threads that use them
cannot be trusted. Such races are left out (unseen.py finds the threads
whose code may do so), and one line says which threads were not checked,
and why."""
import os, re
from collections import namedtuple

from . import dwarf, objects, unseen
from .symbols import own_source
from .calls import FUTEX_WAITS, FUTEX_WAKES, named

Access = namedtuple("Access", "thread access file line locks")
Race = namedtuple("Race", "object count accesses")
# A race as Helgrind reports it: the log's process, then for each of the two
# accesses (this one, the earlier one): read or write, Helgrind's thread
# number, the addresses of the locks held and the frames [(function, file,
# line)]; and the lines that describe the address.
Report = namedtuple("Report", "pid this earlier described")
Side = namedtuple("Side", "access thread locks frames")
Log = namedtuple("Log", "pid parent reports locks")

FRAME = re.compile(r"(?:at|by) 0x[0-9A-F]+: (.*?) (?:\((/[^()]*?):(\d+)\)|\(in .*\)|\(.*\))$")
FUTEX_CALLS = FUTEX_WAITS | FUTEX_WAKES | named("task") | frozenset({"syscall"})
SUPPRESSIONS = "".join(f"{{\n   libfaketime's own, not the program's\n   Helgrind:{kind}\n   obj:*/libfaketime*\n}}\n"
                       for kind in ("Race", "UnlockUnlocked", "UnlockForeign", "UnlockBogus", "PthAPIerror",
                                    "LockOrder", "Misc"))


def read_logs(folder):
    """The logs that Helgrind wrote in folder, one per process: {pid: Log}."""
    logs = {}
    for name in os.listdir(folder) if os.path.isdir(folder) else ():
        if name.isdigit():
            with open(os.path.join(folder, name), errors="replace") as log:
                logs[int(name)] = parse(int(name), log.read())
    return logs


def parse(pid, text):
    lines = [re.sub(r"^==\d+== ?", "", line) for line in text.splitlines()]
    parent = next((int(m[1]) for m in (re.match(r"Parent PID: (\d+)", line) for line in lines) if m), None)
    reports, locks, i = [], {}, 0
    while i < len(lines):
        line = lines[i]
        lock = re.match(r"\s*Lock at (0x[0-9A-Fa-f]+) was first observed", line)
        race = re.match(r"Possible data race during (read|write) of size \d+ at 0x[0-9A-Fa-f]+ by thread #(\d+)",
                        line)
        if lock:
            frames, i = read_frames(lines, i + 1)
            described, i = read_description(lines, i)
            locks[int(lock[1], 16)] = described
            continue
        if race:
            held, i = read_locks(lines, i + 1)
            frames, i = read_frames(lines, i)
            earlier = None
            while i < len(lines) and not lines[i].strip():
                i += 1
            conflict = re.match(r"This conflicts with a previous (read|write) of size \d+ by thread #(\d+)",
                                lines[i]) if i < len(lines) else None
            if conflict:
                other_held, i = read_locks(lines, i + 1)
                other_frames, i = read_frames(lines, i)
                earlier = Side(conflict[1], int(conflict[2]), other_held, other_frames)
            described, i = read_description(lines, i)
            reports.append(Report(pid, Side(race[1], int(race[2]), held, frames), earlier, described))
            continue
        i += 1
    return Log(pid, parent, reports, locks)


def read_locks(lines, i):
    held = []
    if i < len(lines) and lines[i].startswith("Locks held:"):
        held = [int(a, 16) for a in re.findall(r"0x[0-9A-Fa-f]+", lines[i])]
        i += 1
    return held, i


def read_frames(lines, i):
    frames = []
    while i < len(lines):
        found = FRAME.match(lines[i].strip())
        if not found:
            break
        frames.append((found[1], found[2], int(found[3]) if found[3] else None))
        i += 1
    return frames, i


def read_description(lines, i):
    """The lines that say what lies at an address, with the frames under them."""
    described = []
    while i < len(lines) and lines[i].strip() and (lines[i].startswith(" ") or described):
        described.append(lines[i].strip())
        i += 1
    return described, i


def own(frames):
    """(file, line) of the first frame in the program's own source, or None."""
    for _, file, line in frames:
        if own_source(file):
            return file, line
    return None


def shown_file(file):
    relative = os.path.relpath(file)
    return file if relative.startswith("..") else relative


class Namer:
    """Names Helgrind's threads by the trace's tracks, and the objects and
    locks it describes by the program's symbols and types."""

    def __init__(self, logs, analysis, symbols, program):
        self.analysis, self.symbols, self.program = analysis, symbols, program
        self.threads = {}  # (pid, Helgrind's number): the track's name
        leaders = [task for task in analysis.order if task[0] == task[1]]
        pids = sorted(logs)
        roots = [pid for pid in pids if logs[pid].parent not in logs]
        for pid, leader in zip(roots + [pid for pid in pids if pid not in roots], leaders):
            tracks = [task for task in analysis.order if task[0] == leader[0]]
            for number, task in enumerate(tracks, 1):
                self.threads[(pid, number)] = analysis.roles[task]
        self.stack_names = {}

    def thread(self, pid, number):
        return self.threads.get((pid, number), f"thread #{number}")

    def task(self, name):
        return next((task for task, role in self.analysis.roles.items() if role == name), None)

    def describe(self, pid, described, kind=None):
        """The name of what lies at an address, from Helgrind's words for it."""
        text = " ".join(described)
        inside = re.search(r'is (\d+) bytes inside data symbol "(.+?)"', text)
        block = re.search(r"is (\d+) bytes inside a block of size (\d+) alloc'd", text)
        stack = re.search(r"is on thread #(\d+)'s stack", text)
        if inside:
            return self.variable(inside[2], int(inside[1]))
        if block:
            frames = [m for m in (FRAME.match(line) for line in described) if m]
            where = own([(m[1], m[2], int(m[3]) if m[3] else None) for m in frames])
            place = f" allocated at {shown_file(where[0])}:{where[1]}" if where else ""
            return f"a block of {block[2]} bytes{place}" + (f", {block[1]} bytes in" if int(block[1]) else "")
        if stack:
            return f"a variable on {self.thread(pid, int(stack[1]))}'s stack"
        address = re.search(r"Address (0x[0-9a-fA-F]+)", text)
        return address[1] if address else "an object"

    def place(self, name, offset):
        """(the program's variable that holds name+offset, the offset into it), or None."""
        try:
            rows, _ = self.symbols.table(self.program)
        except OSError:
            return None
        start = next((row[0] for row in rows if row[2] == name and not row[3]), None)
        debug = self.symbols.debug(self.program) if start is not None else None
        found = debug.variable(start + offset) if debug else None
        return (found, start + offset - found.at) if found is not None else None

    def variable(self, name, offset):
        """A variable's name with the place inside it, from the program's types."""
        found = self.place(name, offset)
        if found is not None:
            return found[0].name + dwarf.inside(found[0].type, found[1])
        return name if offset == 0 else f"{name}+{offset:#x}"

    def atomic(self, name, offset):
        """Whether the variable's place is an atomic object, by its type."""
        found = self.place(name, offset)
        die = dwarf.locate(found[0].type, found[1])[1] if found else None
        while die is not None:
            if die.tag == "DW_TAG_atomic_type" or dwarf.kind_of(die) == "atomic":
                return True
            if die.tag not in dwarf.STRIPPED:
                return False
            die = dwarf.type_of(die)
        return False


def analyse(logs, analysis, symbols, program, creations):
    """([Race], the threads not checked and why, or None)."""
    namer = Namer(logs, analysis, symbols, program)
    futex_users = {analysis.roles[task] for task, calls in analysis.calls.items()
                   if any(call.name in FUTEX_CALLS for call in calls)}
    found, atomic_users, touched = {}, set(), set()
    for thread, marks in (unseen.threads(program, analysis, creations, symbols) if logs else {}).items():
        (futex_users if "futex" in marks else atomic_users).add(thread)
    for log in logs.values():
        for report in log.reports:
            if report.earlier is None:
                continue
            obj = namer.describe(log.pid, report.described)
            inside = re.search(r'is (\d+) bytes inside data symbol "(.+?)"', " ".join(report.described))
            atomic_object = bool(inside) and namer.atomic(inside[2], int(inside[1]))
            sides = []
            for side in (report.this, report.earlier):
                where = own(side.frames)
                thread = namer.thread(log.pid, side.thread)
                locks = [namer.describe(log.pid, log.locks.get(address, [f"Address {address:#x}"]))
                         for address in side.locks]
                sides.append((thread, side.access, where, locks))
            threads = {side[0] for side in sides}
            touched |= threads
            lines = [objects.source_lines((where[0], where[1]))[-1:] if where else [] for _, _, where, _ in sides]
            if atomic_object or any(unseen.ATOMIC_SOURCE.search(text[0]) for text in lines if text):
                atomic_users |= threads
                continue
            if None in (side[2] for side in sides):
                continue  # neither side in the program's own source: inside a library's calls
            key = (obj, frozenset(side[2] for side in sides))
            entry = found.setdefault(key, [sides, 0, {}])
            entry[1] += 1
            for thread, access, _, _ in sides:  # a thread that wrote there writes: x += 1 reads, then writes
                if access == "write" or thread not in entry[2]:
                    entry[2][thread] = access
    unchecked = (atomic_users | futex_users) & touched
    races = []
    order = {analysis.roles[task]: i for i, task in enumerate(analysis.order)}
    for (obj, _), (sides, count, accesses) in found.items():
        if {side[0] for side in sides} & unchecked:
            continue
        sides = sorted(sides, key=lambda side: (order.get(side[0], len(order)), side[2]))
        races.append(Race(obj, count, [Access(thread, accesses.get(thread, access), shown_file(where[0]), where[1],
                                              locks) for thread, access, where, locks in sides]))
    races.sort(key=lambda race: (race.object, [(a.file, a.line) for a in race.accesses]))
    return races, why_unchecked(atomic_users & touched, futex_users & touched, order)


def why_unchecked(atomics, futexes, order):
    def listing(names):
        names = sorted(names, key=lambda name: order.get(name, len(order)))
        return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]
    said = []
    if atomics:
        one = len(atomics) == 1
        said.append(f"{listing(atomics)}, which {'hands' if one else 'hand'} data over through atomic loads and "
                    "stores, whose ordering Helgrind cannot see")
    if futexes - atomics:
        one = len(futexes - atomics) == 1
        said.append(f"{listing(futexes - atomics)}, which {'uses' if one else 'use'} C++20 semaphores, latches, "
                    "barriers, atomic waits or futures, whose futex calls Helgrind cannot see")
    return ("not checked for races: " + "; ".join(said)) if said else None


def words(races, unchecked, stopped=None):
    """The lines that follow the table."""
    text = []
    for race in races:
        sides = [f"{a.thread} {'writes' if a.access == 'write' else 'reads'} at {a.file}:{a.line} holding "
                 + (" and ".join(a.locks) if a.locks else "no lock") for a in race.accesses]
        times = "once" if race.count == 1 else f"{race.count} times"
        text.append(f"data race on {race.object}: {'; '.join(sides)} ({times})")
    if unchecked:
        text.append(unchecked)
    if stopped:
        text.append(f"the run under Helgrind {stopped}: the races of its part that ran are said")
    text.append("no data race" if not races else "1 data race" if len(races) == 1 else f"{len(races)} data races")
    return text


def as_json(races):
    return [{"object": race.object, "count": race.count,
             "accesses": [{"thread": a.thread, "access": a.access, "file": a.file, "line": a.line,
                           "locks": list(a.locks)} for a in race.accesses]} for race in races]
