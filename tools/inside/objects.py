"""The objects of a run: each call's objects by kind and name, and the events
of each object.

An object is named as symbols.py names its address. An object private to a
process (a mutex, a semaphore of pshared 0) that several processes use
under one name is a different object in each, and is named with its
process. A future's shared state lies on the heap, unnamed: futures are
numbered in the order they are first waited on or set."""
import re
from collections import defaultdict

from . import dwarf
from .calls import OBJECTS, as_cxx, display
from .symbols import own_source

KINDS = ("semaphore", "mutex", "cond", "barrier", "rwlock", "latch", "atomic", "future")
# Where a futex word lies in each kind of POSIX object (glibc 2.36, x86-64),
# to name the object that a hung thread waits on.
FUTEX_OFFSETS = {"mutex": (0,), "semaphore": (0,), "cond": (40, 44, 36, 16, 20, 0), "rwlock": (0, 4, 8, 12),
                 "barrier": (0, 4, 8, 12, 16)}
SIZES = {"semaphore": 32, "mutex": 40, "cond": 48, "rwlock": 56, "barrier": 32}


def object_key(call):
    """What makes the objects of a call: its arguments, or the semaphore
    that sem_open returned."""
    return (call.name, call.ret, call.text) if call.name == "sem_open" else (call.name, call.args)


def used_addresses(calls):
    """{(kind, address)} of the objects that the calls are about."""
    found, seen = set(), set()
    for task_calls in calls.values():
        for call in task_calls:
            key = (call.name, call.args)
            if key in seen:
                continue
            seen.add(key)
            kinds = OBJECTS.get(call.name, ())
            for kind, arg in zip(kinds, call.args if kinds else ()):
                if arg:
                    found.add((kind, arg))
    return found


def place(kind, futex, used, symbols):
    """The address of the object of this kind whose futex word is at futex."""
    for offset in FUTEX_OFFSETS.get(kind, (0,)):
        if (kind, futex - offset) in used:
            return futex - offset
    found = symbols.symbol(futex)
    if found and kind in SIZES:
        return futex - found[1] % SIZES[kind]
    return futex


# How a source line names the object of a call: the expression that it
# locks, waits on or acquires, as a lock's constructor's argument, the
# object of a method, or a C call's first argument.
EXPRESSION = r"[*&]?\s*([A-Za-z_]\w*(?:(?:\.|->)[A-Za-z_]\w*|\[[^\]\[]*\])*)"
SOURCE_FORMS = {
    "mutex": (rf"\b(?:lock_guard|unique_lock|scoped_lock)\b[^;({{]*[({{]\s*{EXPRESSION}\s*[)}}]",
              rf"{EXPRESSION}\s*\.\s*(?:lock|try_lock\w*)\s*\(", rf"\bpthread_mutex_\w*lock\s*\(\s*{EXPRESSION}"),
    "rwlock": (rf"\b(?:shared_lock|unique_lock|lock_guard)\b[^;({{]*[({{]\s*{EXPRESSION}\s*[)}}]",
               rf"{EXPRESSION}\s*\.\s*(?:lock|lock_shared|try_lock\w*)\s*\(",
               rf"\bpthread_rwlock_\w+\s*\(\s*{EXPRESSION}"),
    "cond": (rf"{EXPRESSION}\s*\.\s*wait(?:_for|_until)?\s*\(", rf"\bpthread_cond_\w*wait\s*\(\s*{EXPRESSION}"),
    "semaphore": (rf"{EXPRESSION}\s*\.\s*(?:acquire|try_acquire\w*)\s*\(", rf"\bsem_\w*wait\s*\(\s*{EXPRESSION}"),
    "latch": (rf"{EXPRESSION}\s*\.\s*(?:wait|arrive_and_wait)\s*\(",),
    "barrier": (rf"{EXPRESSION}\s*\.\s*(?:wait|arrive_and_wait)\s*\(", rf"\bpthread_barrier_wait\s*\(\s*{EXPRESSION}"),
    "atomic": (rf"{EXPRESSION}\s*\.\s*wait\s*\(",),
    "future": (rf"{EXPRESSION}\s*\.\s*(?:get|wait\w*)\s*\(",),
}


LOCK_ARGUMENT = re.compile(r"\.\s*wait\w*\s*\(\s*([A-Za-z_]\w*)")  # cv.wait(lock, ...)
LOOK_BACK = 30  # lines above a condition wait searched for its lock's declaration


def source_lines(site):
    """The lines of the site's file up to and including its line, or []."""
    if not site or site[0] is None or not site[1]:
        return []
    try:
        with open(site[0], errors="replace") as source:
            lines = [line for _, line in zip(range(site[1]), source)]
    except OSError:
        return []
    return lines if len(lines) == site[1] else []


def from_source(kind, site, lock=False):
    """The expression that names an object of this kind on the source line
    of the call, where the line names exactly one; or None. lock: the
    mutex of a condition wait, which the line names through its lock: the
    lock's declaration above it says which."""
    lines = source_lines(site)
    if not lines:
        return None
    if lock:
        given = LOCK_ARGUMENT.search(lines[-1])
        if not given:
            return None
        declared = re.compile(rf"\b(?:unique_lock|shared_lock)\b[^;({{]*\b{given[1]}\s*[({{]\s*{EXPRESSION}\s*[)}}]")
        for line in reversed(lines[-LOOK_BACK:]):
            found = declared.search(line)
            if found:
                return found[1].replace(" ", "")
        return None
    found = {match[1].replace(" ", "") for form in SOURCE_FORMS.get(kind, ()) for match in re.finditer(form, lines[-1])}
    return found.pop() if len(found) == 1 else None


PLAIN_CALL = re.compile(r"^(?:pthread|sem)_\w+$")  # a C call that the program's own lines make
SITE_CALL = re.compile(r"^\s+[0-9a-f]+:\s+call\s+[0-9a-f]+ <(\w+)@plt>")
SITE_LINE = re.compile(r"^(/\S.*):(\d+)(?: \(discriminator \d+\))?$")


def call_sites(program, functions):
    """{function: {(file, line)}} of the program's own calls of these
    functions, from its disassembly and line table; headers' lines aside."""
    found, where = defaultdict(set), None
    for line in dwarf.disassembly(program).splitlines():
        place = SITE_LINE.match(line)
        if place:
            where = (place[1], int(place[2])) if own_source(place[1]) else None
            continue
        call = SITE_CALL.match(line)
        if call and call[1] in functions and where:
            found[call[1]].add(where)
    return found


def from_code(kind, sites, functions):
    """The expressions that the program's calls write for objects of this
    kind, each the first argument of a call of one of the functions."""
    found = set()
    for function in functions:
        form = re.compile(rf"\b{function}\s*\(\s*{EXPRESSION}\s*[,)]")
        for file, line in sites.get(function, ()):
            lines = source_lines((file, line))
            found |= {match[1].replace(" ", "") for match in form.finditer(lines[-1])} if lines else set()
    return found


class Names:
    def __init__(self, calls, symbols, roles):
        self.symbols, self.roles = symbols, roles
        self.opened = {}  # sem_open's address: its name
        self.shared = set()
        self.used = defaultdict(set)  # (kind, address): the pids that use it
        self.cached, self.futures, self.titles = {}, {}, {}
        for (pid, _), task_calls in calls.items():
            seen = set()
            for call in task_calls:
                key = object_key(call)
                if key not in seen:
                    seen.add(key)
                    self.use(pid, call)
        self.kinds, self.several = {}, set()
        self.copies = {}  # the name of a process's own copy of an object: the object's name
        self.events = {kind: {} for kind in KINDS}

    def use(self, pid, call):
        name = call.name
        if name == "sem_open" and call.ret is not None:
            address = call.ret
            if address not in (0, -1) and call.text is not None:
                self.opened[address] = call.text.decode(errors="replace")
                self.shared.add(address)
        elif name == "sem_init":
            if call.args[1]:
                self.shared.add(call.args[0])
        for kind, address in self.addresses(call):
            self.used[(kind, address)].add(pid)

    def index(self, calls):
        """Names every object and lists its events, once every use is known."""
        self.several = {key for key, pids in self.used.items() if len(pids) > 1 and key[1] not in self.shared}
        for task, task_calls in calls.items():
            self.add(task, task_calls)

    def addresses(self, call):
        """[(kind, address)] of the objects the call is about."""
        kinds = OBJECTS.get(call.name)
        if kinds is None:
            if call.name == "sem_open" and call.ret is not None and call.ret not in (0, -1):
                return (("semaphore", call.ret),)
            return ()
        key = (call.name, call.args)
        found = self.cached.get(key)
        if found is None:
            found = self.cached[key] = tuple((kind, arg) for kind, arg in zip(kinds, call.args) if arg)
        return found

    def name(self, kind, address, pid):
        if address in self.opened:
            return self.opened[address]
        if kind == "future":
            named = self.symbols.given.get(address)
            return named or self.futures.setdefault(address, f"future {len(self.futures) + 1}")
        name = self.symbols.object(address, kind)
        if (kind, address) in self.several:
            copy = f"{name} in {self.roles.get((pid, pid), pid)}"
            self.copies[copy] = name
            return copy
        return name

    def title(self, call):
        """The call's name as the source writes it: a POSIX call that a C++
        object made is that object's method (std::mutex::lock)."""
        key = (call.name, call.args)
        found = self.titles.get(key)
        if found is None:
            objects = self.addresses(call)
            made = as_cxx(call.name, self.symbols.type_name(objects[0][1])) if objects else None
            found = self.titles[key] = made or display(call.name)
        return found

    def of(self, call, task):
        """[(kind, name)] of the objects the call is about."""
        return [(kind, self.name(kind, address, task[0])) for kind, address in self.addresses(call)]

    def add(self, task, task_calls):
        """Lists each call under its objects: events[kind][name][task] is a list of calls."""
        targets, relevant = {}, OBJECTS.keys() | {"sem_open"}
        for call in task_calls:
            if call.name not in relevant:
                continue
            key = object_key(call)
            found = targets.get(key)
            if found is None:
                found = targets[key] = []
                for i, (kind, name) in enumerate(self.of(call, task)):
                    self.kinds.setdefault(name, kind)
                    if i == 0 or kind in ("mutex", "rwlock"):  # a condition wait releases and takes its lock again
                        found.append(self.events[kind].setdefault(name, {}).setdefault(task, []))
            for events in found:
                events.append(call)
