"""The objects of a run: each call's objects by kind and name, and the events
of each object.

An object is named as symbols.py names its address. An object private to a
process (a mutex, a semaphore of pshared 0) that several processes use
under one name is a different object in each, and is named with its
process. A future's shared state lies on the heap, unnamed: futures are
numbered in the order they are first waited on or set."""
from collections import defaultdict

from .calls import OBJECTS, as_cxx, display
from .read import NAME, RAW, arguments, returned

KINDS = ("semaphore", "mutex", "cond", "barrier", "rwlock", "latch", "atomic", "future")
# Where a futex word lies in each kind of POSIX object (glibc 2.36, x86-64),
# to name the object that a hung thread waits on.
FUTEX_OFFSETS = {"mutex": (0,), "semaphore": (0,), "cond": (40, 44, 36, 16, 20, 0), "rwlock": (0, 4, 8, 12),
                 "barrier": (0, 4, 8, 12, 16)}
SIZES = {"semaphore": 32, "mutex": 40, "cond": 48, "rwlock": 56, "barrier": 32}


def used_addresses(calls):
    """{(kind, address)} of the objects that the calls are about."""
    found, seen = set(), set()
    for task_calls in calls.values():
        for call in task_calls:
            key = (call[NAME], call[RAW])
            if key in seen:
                continue
            seen.add(key)
            kinds = OBJECTS.get(call[NAME], ())
            for kind, arg in zip(kinds, arguments(call[RAW]) if kinds else ()):
                if isinstance(arg, int):
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
                key = (call[NAME], call[RAW])
                if key not in seen:
                    seen.add(key)
                    self.use(pid, call)
        self.kinds, self.several = {}, set()
        self.copies = {}  # the name of a process's own copy of an object: the object's name
        self.events = {kind: {} for kind in KINDS}

    def use(self, pid, call):
        name = call[NAME]
        if name == "sem_open" and returned(call) is not None:
            address, args = returned(call), arguments(call[RAW])
            if address not in (0, (1 << 64) - 1) and args and isinstance(args[0], bytes):
                self.opened[address] = args[0].decode(errors="replace")
                self.shared.add(address)
        elif name == "sem_init":
            args = arguments(call[RAW])
            if len(args) > 1 and args[1]:
                self.shared.add(args[0])
        for kind, address in self.addresses(call):
            self.used[(kind, address)].add(pid)

    def index(self, calls):
        """Names every object and lists its events, once every use is known."""
        self.several = {key for key, pids in self.used.items() if len(pids) > 1 and key[1] not in self.shared}
        for task, task_calls in calls.items():
            self.add(task, task_calls)

    def addresses(self, call):
        """[(kind, address)] of the objects the call is about."""
        kinds = OBJECTS.get(call[NAME])
        if kinds is None:
            if call[NAME] == "sem_open" and returned(call) is not None:
                return (("semaphore", returned(call)),)
            return ()
        key = (call[NAME], call[RAW])
        found = self.cached.get(key)
        if found is None:
            args = arguments(call[RAW])
            found = self.cached[key] = tuple((kind, arg) for kind, arg in zip(kinds, args)
                                             if isinstance(arg, int) and arg)
        return found

    def name(self, kind, address, pid):
        if address in self.opened:
            return self.opened[address]
        if kind == "future":
            return self.futures.setdefault(address, f"future {len(self.futures) + 1}")
        name = self.symbols.object(address, kind)
        if (kind, address) in self.several:
            copy = f"{name} in {self.roles.get((pid, pid), pid)}"
            self.copies[copy] = name
            return copy
        return name

    def title(self, call):
        """The call's name as the source writes it: a POSIX call that a C++
        object made is that object's method (std::mutex::lock)."""
        key = (call[NAME], call[RAW])
        found = self.titles.get(key)
        if found is None:
            objects = self.addresses(call)
            made = as_cxx(call[NAME], self.symbols.type_name(objects[0][1])) if objects else None
            found = self.titles[key] = made or display(call[NAME])
        return found

    def of(self, call, task):
        """[(kind, name)] of the objects the call is about."""
        return [(kind, self.name(kind, address, task[0])) for kind, address in self.addresses(call)]

    def add(self, task, task_calls):
        """Lists each call under its objects: events[kind][name][task] is a list of calls."""
        targets, relevant = {}, OBJECTS.keys() | {"sem_open"}
        for call in task_calls:
            if call[NAME] not in relevant:
                continue
            key = (call[NAME], call[RAW])
            found = targets.get(key)
            if found is None:
                found = targets[key] = []
                for i, (kind, name) in enumerate(self.of(call, task)):
                    self.kinds.setdefault(name, kind)
                    if i == 0 or kind in ("mutex", "rwlock"):  # a condition wait releases and takes its lock again
                        found.append(self.events[kind].setdefault(name, {}).setdefault(task, []))
            for events in found:
                events.append(call)
