"""Data races, said in the words of the trace: which object, which two
threads by their tracks' names, each one's read or write, its line in the
program's own source and the locks it held.

Helgrind finds them in a second run of the program, unchanged (helgrind.py
reads its logs). Helgrind's run has its own addresses: an object is named
from what Helgrind says of it (inside a variable, a block of the heap, a
thread's stack) with the program's symbols and types; its threads by the
trace's tracks, which are in the order they were made too.

Helgrind cannot see an ordering made with atomic loads and stores (plain
moves) or with the futex system calls under C++20's semaphores, latches,
barriers, atomic waits and futures: a race between threads that use them
cannot be trusted. Such races are left out (atomics.py finds the threads
whose code may do so), and the model says which threads were not checked,
and why."""
import re

from . import atomics, debuginfo as dwarf
from .calls import FUTEX_WAITS, FUTEX_WAKES, named
from .helgrind import FRAME
from .model import Access, Race, marks
from .sources import own_source, shown_path, source_lines

FUTEX_USES = marks(FUTEX_WAITS | FUTEX_WAKES | named("task"))


def own(frames):
    """(file, line) of the first frame in the program's own source, or None."""
    for _, file, line in frames:
        if own_source(file):
            return file, line
    return None


class Namer:
    """Names Helgrind's threads by the trace's tracks, and the objects and
    locks it describes by the program's symbols and types."""

    def __init__(self, logs, tracks, symbols, program):
        self.symbols, self.program = symbols, program
        self.threads = {}  # (pid, Helgrind's number): the track's name
        leaders = [track for track in tracks if track.leads]
        pids = sorted(logs)
        roots = [pid for pid in pids if logs[pid].parent not in logs]
        for pid, leader in zip(roots + [pid for pid in pids if pid not in roots], leaders):
            mine = [track for track in tracks if track.pid == leader.pid]
            for number, track in enumerate(mine, 1):
                self.threads[(pid, number)] = track.role

    def thread(self, pid, number):
        return self.threads.get((pid, number), f"thread #{number}")

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
            place = f" allocated at {shown_path(where[0])}:{where[1]}" if where else ""
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


def analyse(logs, tracks, symbols, program, creations):
    """([Race], (the threads that hand data over through atomics, those that
    use C++20's futex waits): the threads not checked)."""
    namer = Namer(logs, tracks, symbols, program)
    futex_users = {track.role for track in tracks if FUTEX_USES[track.slices["call"]].any()}
    found, atomic_users, touched = {}, set(), set()
    for thread, ways in (atomics.threads(program, tracks, creations, symbols) if logs else {}).items():
        (futex_users if "futex" in ways else atomic_users).add(thread)
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
            lines = [source_lines((where[0], where[1]))[-1:] if where else [] for _, _, where, _ in sides]
            if atomic_object or any(atomics.ATOMIC_SOURCE.search(text[0]) for text in lines if text):
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
    order = {track.role: i for i, track in enumerate(tracks)}
    for (obj, _), (sides, count, accesses) in found.items():
        if {side[0] for side in sides} & unchecked:
            continue
        sides = sorted(sides, key=lambda side: (order.get(side[0], len(order)), side[2]))
        races.append(Race(obj, count, tuple(Access(thread, accesses.get(thread, access), shown_path(where[0]),
                                                   where[1], tuple(locks))
                                            for thread, access, where, locks in sides)))
    races.sort(key=lambda race: (race.object, [(a.file, a.line) for a in race.accesses]))
    by_order = sorted(atomic_users & touched, key=lambda name: order.get(name, len(order)))
    futexes = sorted((futex_users & touched) - atomic_users, key=lambda name: order.get(name, len(order)))
    return races, (tuple(by_order), tuple(futexes))
