"""Which threads order their work in ways that Helgrind cannot see: atomics
and futexes.

Helgrind sees locks, semaphores, conditions, create and join; it does not
see the ordering made by the program's own atomic instructions (lock-prefixed,
or xchg with memory), by atomic loads and stores that compile to plain moves
(known only by their source lines: __atomic_load_n, .load(...), memory_order),
or by futex calls (the program's calls of syscall, and of libstdc++'s
__atomic_futex_unsigned_base, under C++20 semaphores, latches, barriers,
atomic waits and futures). A race between two threads that may be ordered
so is not to be trusted.

The disassembly (objdump -d -l) gives each function's instructions, the
source lines they come from (inlined headers' included) and its direct calls
and jumps; a thread does what the functions reachable from where it starts
do: main for a process's first thread, the routine and the callable's code
for a created one. Calls through a pointer are not followed."""
import bisect, os, re
from collections import defaultdict

from . import cxx
from .sources import disassembly, file_lines

HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s+([0-9a-f]+):\s+(\S.*)$")
LOCATION = re.compile(r"^(\S.*):(\d+)(?: \(discriminator \d+\))?$")
TARGET = re.compile(r"^(?:call|jmp|j\w+)\w*\s+([0-9a-f]+) <([^>]+?)(?:\+0x[0-9a-f]+)?>")
ATOMIC_SOURCE = re.compile(r"\b(?:__atomic_\w+|__sync_\w+|atomic_(?:load|store|exchange|fetch_\w+|"
                           r"compare_exchange\w*|flag_\w+|thread_fence|signal_fence)(?:_explicit)?)\s*\(|"
                           r"\.\s*(?:load|store|exchange|fetch_\w+|compare_exchange_\w+|test_and_set)\s*\(|"
                           r"memory_order")
FUTEX_IMPORTS = ("syscall@plt", "__atomic_futex_unsigned_base")


class Code:
    """The program's functions: what each does that Helgrind cannot see
    ("atomic", "futex" or nothing), and whom it calls."""

    def __init__(self, path):
        """Reads the disassembly of the program at path, with its source lines."""
        self.starts, self.names, self.marks, self.calls = [], {}, defaultdict(set), defaultdict(set)
        text = disassembly(path)
        lines_of, current = defaultdict(set), None
        branches = []
        for line in text.splitlines():
            header = HEADER.match(line)
            if header:
                current = int(header[1], 16)
                self.starts.append(current)
                self.names[current] = header[2]
                continue
            if current is None:
                continue
            found = INSTRUCTION.match(line)
            if found:
                instruction = found[2]
                if instruction.startswith("lock ") or instruction.startswith("mfence") or \
                        (instruction.startswith("xchg") and "(" in instruction):
                    self.marks[current].add("atomic")
                target = TARGET.match(instruction)
                if target:
                    if any(name in target[2] for name in FUTEX_IMPORTS):
                        self.marks[current].add("futex")
                    elif not target[2].endswith("@plt"):
                        branches.append((current, int(target[1], 16)))
                continue
            place = LOCATION.match(line)
            if place:
                lines_of[current].add((place[1], int(place[2])))
        self.starts.sort()
        for caller, address in branches:
            callee = self.function(address)
            if callee is not None and callee != caller:
                self.calls[caller].add(callee)
        for function, places in lines_of.items():
            if any(ATOMIC_SOURCE.search(source_line(place)) for place in places):
                self.marks[function].add("atomic")

    def function(self, address):
        """The start of the function that holds address, or None."""
        i = bisect.bisect_right(self.starts, address) - 1
        return self.starts[i] if i >= 0 else None

    def start_of(self, name):
        return next((start for start, found in self.names.items() if found == name), None)

    def reach(self, entries):
        """What the code reachable from these functions does: a set of marks."""
        seen, todo, marks = set(), list(entries), set()
        while todo:
            function = todo.pop()
            if function in seen:
                continue
            seen.add(function)
            marks |= self.marks.get(function, set())
            todo += self.calls.get(function, ())
        return marks

    def any_marks(self):
        return set().union(*self.marks.values()) if self.marks else set()


def source_line(place):
    path, number = place
    lines = file_lines(path)
    return lines[number - 1] if 0 < number <= len(lines) else ""


def entries(creation, code, symbols, program):
    """The program's functions where a created thread's code begins: its
    routine, and for a std::thread, any function whose address its state
    object holds (the state's _M_run through its vtable, a function pointer)."""
    found = set()
    addresses = [creation.routine]
    for start, data in creation.memory.items():
        addresses += [cxx.word(data, at) for at in range(0, len(data) - 7, 8)]
    for address in addresses:
        where = symbols.offset(address) if address else None
        if where and where[1] in code.names and same_file(where[0], program):
            found.add(where[1])
    return found


def same_file(path, program):
    """Whether a module is the program (or the link to it that was traced)."""
    try:
        return path == program or os.path.samefile(path, program)
    except OSError:
        return False


def threads(program, tracks, creations, symbols):
    """{track name: the set of marks of what it may do that Helgrind cannot see}."""
    code = Code(program)
    everything = code.any_marks()
    if not everything:
        return {}
    main = code.start_of("main")
    by_task = {(c.pid, c.tid): c for c in creations if c.tid is not None}
    found = {}
    for track in tracks:
        task = (track.pid, track.tid)
        if track.leads:
            starts = {main} if main is not None else set()
        elif task in by_task:
            starts = entries(by_task[task], code, symbols, program)
        else:
            starts = set()
        marks = code.reach(starts) if starts else everything  # where it begins is unknown: it may do anything
        if marks:
            found[track.role] = marks
    return found
