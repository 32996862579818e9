"""The analysis of a recorded run: who is who, what each call was about,
what each thread was doing, who woke whom, who held each mutex, and each
semaphore's value.

A call's timestamps are the moments it was entered and left; what it did
happened in between. So a lock is held from its lock's return to its
unlock's entry, a semaphore's value counts a post from its entry and a wait
from its return (never below the true value), and a wait blocked when what
ended it (a release, a post, a thread's end) came after it began."""
import re
from collections import defaultdict, deque, namedtuple

from . import explain, lines as output
from .read import END, NAME, RAW, START, arguments, returned
from .symbols import SIZES

ROUTINE_ROLES = {"Bake": "Baker", "Eat": "Eater", "tFunc": "worker"}
SLEEPS = ("sleep", "usleep", "nanosleep", "clock_nanosleep")
LOCKS = ("pthread_mutex_lock", "pthread_mutex_trylock", "pthread_mutex_timedlock")
COND_WAITS = ("pthread_cond_wait", "pthread_cond_timedwait")
COND_WAKES = ("pthread_cond_signal", "pthread_cond_broadcast")
RWLOCKS = ("pthread_rwlock_rdlock", "pthread_rwlock_wrlock", "pthread_rwlock_unlock")
SEM_WAITS = ("sem_wait", "sem_trywait", "sem_timedwait")
JOINS = ("pthread_join", "wait", "waitpid")
RARE = {"pthread_create", "pthread_join", "pthread_exit", "fork", "wait", "waitpid", "sem_init", "sem_open",
        *output.WRITERS}
SPANS = (("pthread_create", "pthread_join", "pthread_exit") + LOCKS + ("pthread_mutex_unlock",) + COND_WAITS
         + COND_WAKES + RWLOCKS + ("pthread_barrier_wait", "sem_init", "sem_open") + SEM_WAITS
         + ("sem_post", "fork", "wait", "waitpid") + SLEEPS)
# What a thread does while it is in a call; any other time until its end it runs.
STATES = {**{name: "sleeping" for name in SLEEPS}, **{name: "waiting for a lock" for name in LOCKS + RWLOCKS[:2]},
          **{name: "waiting on a condition" for name in COND_WAITS},
          **{name: "waiting on a semaphore" for name in SEM_WAITS},
          **{name: "in a join or a wait" for name in JOINS}, "pthread_barrier_wait": "at a barrier"}
WAITS = tuple(name for name, state in STATES.items() if state != "sleeping")
# The kind of object that a call's arguments point to, in order.
OBJECTS = {**{name: ("mutex",) for name in LOCKS + ("pthread_mutex_unlock",)},
           **{name: ("cond", "mutex") for name in COND_WAITS}, **{name: ("cond",) for name in COND_WAKES},
           **{name: ("rwlock",) for name in RWLOCKS}, "pthread_barrier_wait": ("barrier",),
           **{name: ("semaphore",) for name in ("sem_init", "sem_post") + SEM_WAITS}}
# Where a futex word lies in each kind of object (glibc 2.36, x86-64), to
# name the object that a hung thread waits on.
FUTEX_OFFSETS = {"mutex": (0,), "semaphore": (0,), "cond": (40, 44, 36, 16, 20, 0), "rwlock": (0, 4, 8, 12),
                 "barrier": (0, 4, 8, 12, 16)}
O_CREAT = 0o100
STARTUP_SECONDS = 0.05  # from the start of the run to the program's, uftrace's start-up

Analysis = namedtuple("Analysis", "order roles calls names flows holds values blocked unfinished lines warnings "
                                  "end stop targets sleeps explanation objects")


def signed(value, bits=32):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def succeeded(call):
    """A call that returns 0 on success: trylock, timedlock, trywait..."""
    value = returned(call)
    return value is None or signed(value) == 0


def analyse(record, recording, plt_names):
    calls, symbols = record.calls, record.symbols
    # The few calls that name threads and processes, or write, looked at apart from the million others.
    rare = {task: [call for call in task_calls if call[NAME] in RARE] for task, task_calls in calls.items()}
    roles, order, created = name_tasks(calls, rare, record.forks, symbols)
    names = Names(calls, symbols, roles)
    unfinished, stop, pending_targets, sleeps = pending_calls(record, recording, names, plt_names)
    names.index(calls)
    targets, blocked = join_targets(calls, rare, roles, unfinished)
    targets.update(created)
    targets.update(resolve(pending_targets, roles))
    blocked |= set(pending_targets)  # a join or a wait that had not ended
    flows, holds, values, warnings = [], {}, {}, []
    for name, events in names.events["semaphore"].items():
        values[name] = semaphore(name, events, blocked, flows, unfinished, warnings)
    for name, events in names.events["mutex"].items():
        holds[name] = mutex(name, events, blocked, flows, unfinished)
    for name, events in names.events["cond"].items():
        condition(name, events, blocked, flows, unfinished)
    for events in names.events["barrier"].values():
        barrier(events, blocked, unfinished)
    for events in names.events["rwlock"].values():
        rwlock(events, blocked, unfinished)
    end = max([stop[1] if stop else 0] + [task_calls[-1][END] for task_calls in calls.values() if task_calls])
    for name, task_holds in holds.items():  # a lock still held at the end
        holds[name] = [(start, end, task) if finish is None else (start, finish, task)
                       for start, finish, task in task_holds] if any(h[1] is None for h in task_holds) else task_holds
    written, lost = output.attribute(rare, recording.output, symbols)
    line_events = [(call[END] if call else None, task, text) for task, call, text in written]
    warnings += check_lines(line_events, lost, recording) + first_call_faults(calls, roles, order)
    if record.unmatched or record.unended:
        warnings.append(f"the record is not whole: {record.unmatched} calls without an entry, "
                        f"{sum(map(len, record.unended.values()))} without an exit")
    untracked = len(created) - (len(order) - len({pid for pid, _ in order}))
    if untracked > 0:
        warnings.append(f"{untracked} threads made no traced call and have no track")
    result = Analysis(order, roles, calls, names, flows, holds, values, blocked, unfinished, line_events, warnings,
                      end, stop, targets, sleeps, None, names.kinds)
    if stop and stop[0] == "deadlock":
        result = result._replace(explanation=explain.deadlock(result, recording.snapshot))
    return result


def name_tasks(calls, rare, forks, symbols):
    """Each task's role; the tracks in order: each process's first thread
    (main, or parent and child) and then its threads in the order of
    creation, named by their routine. The kernel hands out thread ids in
    order (cyclic at pid_max); a thread that made no traced call is not in
    the record, so threads are matched to the latest creation that began
    before their first call. And the role each pthread_create made."""
    with open("/proc/sys/kernel/pid_max") as limit:
        pid_max = int(limit.read())
    pids = sorted({pid for pid, _ in calls} | set(forks))
    parents_forks = sorted((c[END], signed(returned(c))) for cs in rare.values() for c in cs
                           if c[NAME] == "fork" and returned(c) is not None and signed(returned(c)) > 0)
    children = [pid for _, pid in parents_forks if pid in pids] + [pid for pid in pids if pid in forks and
                                                                    pid not in [p for _, p in parents_forks]]
    roles, order = {}, []
    for pid in pids:
        if pid in forks:
            roles[(pid, pid)] = "child" if len(children) == 1 else f"child {children.index(pid) + 1}"
        else:
            roles[(pid, pid)] = "parent" if children else "main"
    creates_in = defaultdict(list)
    for (pid, tid), task_calls in rare.items():
        for call in task_calls:
            if call[NAME] == "pthread_create" and succeeded(call):
                creates_in[pid].append(call)
    all_creates = sorted((c for cs in creates_in.values() for c in cs), key=lambda c: c[START])
    routines = {id(c): routine_role(symbols.routine(arguments(c[RAW])[1])) if len(arguments(c[RAW])) > 1
                else "thread" for c in all_creates}
    counts = defaultdict(int)
    for call in all_creates:
        counts[routines[id(call)]] += 1
    numbers, seen = {}, defaultdict(int)
    for call in all_creates:
        role = routines[id(call)]
        seen[role] += 1
        numbers[id(call)] = f"{role} {seen[role]}" if counts[role] > 1 else role
    for pid in sorted(pids, key=lambda p: (p in forks, children.index(p) if p in children else 0)):
        order.append((pid, pid))
        creates = sorted(creates_in[pid], key=lambda c: c[START])
        threads = sorted((tid for p, tid in calls if p == pid and tid != pid), key=lambda tid: (tid - pid) % pid_max)
        matched = match_threads(threads, creates, calls, pid)
        for tid in threads:
            roles[(pid, tid)] = numbers[id(matched[tid])] if tid in matched else f"thread {tid}"
            order.append((pid, tid))
    for task in calls:
        roles.setdefault(task, f"thread {task[1]}")
    return roles, order, numbers


def routine_role(name):
    return ROUTINE_ROLES.get(name, name)


def match_threads(threads, creates, calls, pid):
    if len(threads) == len(creates):
        return dict(zip(threads, creates))
    matched, limit = {}, len(creates)
    for tid in reversed(threads):  # the latest creation that began before the thread's first call
        first = calls[(pid, tid)][0][START] if calls[(pid, tid)] else float("inf")
        at = limit - 1
        while at >= 0 and creates[at][START] > first:
            at -= 1
        if at < 0:
            break
        matched[tid], limit = creates[at], at
    return matched


class Names:
    """The objects of the run: each call's objects by kind and name, and the
    events of each object. An object private to a process (a mutex, a
    semaphore of pshared 0) that several processes use under one name is a
    different object in each, and is named with its process."""

    def __init__(self, calls, symbols, roles):
        self.symbols, self.roles = symbols, roles
        self.opened = {}  # sem_open's address: its name
        self.shared = set()
        self.used = defaultdict(set)  # (kind, address): the pids that use it
        self.cached = {}
        for (pid, _), task_calls in calls.items():
            seen = set()
            for call in task_calls:
                key = (call[NAME], call[RAW])
                if key not in seen:
                    seen.add(key)
                    self.use(pid, call)
        self.kinds, self.several = {}, set()
        self.copies = {}  # the name of a process's own copy of an object: the object's name
        self.events = {kind: {} for kind in ("semaphore", "mutex", "cond", "barrier", "rwlock")}

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
            found = self.cached[key] = tuple((kind, arg) for kind, arg in zip(kinds, args) if isinstance(arg, int))
        return found

    def name(self, kind, address, pid):
        if address in self.opened:
            return self.opened[address]
        name = self.symbols.object(address, kind)
        if (kind, address) in self.several:
            copy = f"{name} in {self.roles.get((pid, pid), pid)}"
            self.copies[copy] = name
            return copy
        return name

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
                    if i == 0 or kind == "mutex":  # a condition wait releases and takes its mutex again
                        found.append(self.events[kind].setdefault(name, {}).setdefault(task, []))
            for events in found:
                events.append(call)

    def place(self, kind, futex):
        """The address of the object of this kind whose futex word is at futex."""
        for offset in FUTEX_OFFSETS.get(kind, (0,)):
            if (kind, futex - offset) in self.used:
                return futex - offset
        found = self.symbols.symbol(futex)
        if found and kind in SIZES:
            return futex - found[1] % SIZES[kind]
        return futex


def pending_calls(record, recording, names, plt_names):
    """The calls that were still waiting when the run was stopped, from the
    snapshot of the live program, as calls that last until then; and when
    and why the run was stopped (None if it ended by itself)."""
    snapshot, zero, targets, sleeps = recording.snapshot, record.zero, {}, {}
    if snapshot is None:
        return {}, None, targets, sleeps
    # The program's clock runs speed times as fast as the real one that the
    # watch reads; a hang began when the last thread began to wait.
    last = max((cs[-1][END] for cs in record.calls.values() if cs), default=0)
    scale = record.speed
    starts = [int((p.start - zero) * scale) for p in snapshot.pending if p.start and p.thread.wait]
    if snapshot.reason == "deadlock":
        at = max(starts + [last]) + (snapshot.seconds - snapshot.hung_since) * scale * 1e9
    else:
        at = max(starts + [last, (snapshot.seconds - STARTUP_SECONDS) * scale * 1e9])
    at = int(at)
    unfinished = {}
    for pending in snapshot.pending:
        thread = pending.thread
        name = plt_names(pending.plt_entry) if pending.plt_entry else None
        if name is None or pending.start is None:
            continue
        task = (thread.pid, thread.tid)
        raw = ""
        if thread.wait and thread.wait[0] == "futex" and name in OBJECTS:
            address = names.place(OBJECTS[name][0], thread.wait[1])
            raw = f"({address:#x}, {holding(record.calls.get(task, [])) or 0:#x})" if name in COND_WAITS \
                else f"({address:#x})"
        call = (name, int((pending.start - zero) * scale), at, raw, None)
        if name == "pthread_join" and thread.wait and thread.wait[0] == "futex":
            targets[id(call)] = ("tid", thread.pid, thread.wait[2])
        elif name in ("wait", "waitpid") and thread.wait and thread.wait[0] == "child":
            targets[id(call)] = ("pid", thread.pid, thread.wait[1])
        if name in SLEEPS and thread.sleep:
            seconds, nanoseconds = thread.sleep
            asked = round((seconds + nanoseconds / 1e9) * scale, 6)
            sleeps[id(call)] = int(asked) if asked == int(asked) else asked
        record.calls.setdefault(task, []).append(call)
        unfinished[id(call)] = pending
        names.use(thread.pid, call)
    return unfinished, (snapshot.reason, at), targets, sleeps


def holding(task_calls):
    """The address of the mutex that the task holds last, from its calls."""
    held = []
    for call in task_calls:
        if call[NAME] in LOCKS and succeeded(call):
            held.append(arguments(call[RAW])[0])
        elif call[NAME] == "pthread_mutex_unlock" and arguments(call[RAW])[0] in held:
            held.remove(arguments(call[RAW])[0])
    return held[-1] if held else None


def join_targets(calls, rare, roles, unfinished):
    """Whom each join and wait waited for: {id(call): role}, and which of them
    blocked: those during which the thread or child ended. uftrace does not
    record the handle that pthread_create wrote; a join's thread is found
    from the joins' handles where they tell (handles()), or else a join that
    blocked takes the thread that ended last before it returned, and one that
    did not the earliest created thread not yet joined."""
    targets, blocked, joined_in = {}, set(), defaultdict(set)
    last = {task: max(c[END] for c in cs[-16:]) for task, cs in calls.items() if cs}  # the last, or one it is in
    process_end = defaultdict(int)
    for (pid, tid), end in last.items():
        process_end[pid] = max(process_end[pid], end)
    by_handle = handles(rare, roles, unfinished)
    for task, task_calls in rare.items():
        pid = task[0]
        threads = [t for t in roles if t[0] == pid and t[1] != pid]  # in order of creation
        joined = joined_in[pid]  # a thread is joined once, by any thread of its process
        for call in task_calls:
            if call[NAME] == "pthread_join" and id(call) not in unfinished:
                left = [t for t in threads if t not in joined and t in last]
                ended = [t for t in left if call[START] < last[t] <= call[END]]
                done = [t for t in left if last[t] <= call[START]]
                target = by_handle.get((pid, (arguments(call[RAW]) or (None,))[0]))
                if target not in ended + done:
                    target = max(ended, key=lambda t: last[t]) if ended else done[0] if done else None
                if target in ended:
                    blocked.add(id(call))
                if target:
                    joined.add(target)
                    targets[id(call)] = roles[target]
            elif call[NAME] in ("wait", "waitpid") and id(call) not in unfinished and returned(call) is not None:
                child = signed(returned(call))
                if (child, child) in roles:
                    targets[id(call)] = roles[(child, child)]
                    if call[START] < process_end[child]:
                        blocked.add(id(call))
    return targets, blocked


def handles(rare, roles, unfinished):
    """{(pid, handle): thread} where the joins' handles tell. A handle is the
    address of the thread's descriptor, at the top of a stack that glibc maps
    for it, each below the one before; so while no stack is used twice (every
    handle joined is a different one, as many as the threads), the highest
    handle is the first thread created."""
    found = {}
    for pid in {task[0] for task in rare}:
        joins = [(arguments(call[RAW]) or (None,))[0] for task, task_calls in rare.items() if task[0] == pid
                 for call in task_calls if call[NAME] == "pthread_join" and id(call) not in unfinished]
        threads = [t for t in roles if t[0] == pid and t[1] != pid]
        if joins and len(set(joins)) == len(joins) == len(threads):
            found.update({(pid, handle): thread for handle, thread in zip(sorted(joins, reverse=True), threads)})
    return found


def resolve(pending_targets, roles):
    """The roles that pending joins and waits wait for: a thread id, or a child's pid."""
    targets = {}
    for call_id, (kind, pid, number) in pending_targets.items():
        if kind == "tid":
            targets[call_id] = roles.get((pid, number), f"thread {number}")
        else:
            targets[call_id] = roles.get((number, number), f"process {number}") if number > 0 else "any child"
    return targets


def semaphore(name, events, blocked, flows, unfinished, warnings):
    """The semaphore's value over the run, [(ns, value)], from its initial
    value on; units are taken in the order the waits return, and a wait
    blocked if the unit it took was posted after it began."""
    initial, init_end, steps = None, 0, []
    for task, task_calls in events.items():
        for call in task_calls:
            if call[NAME] == "sem_post":
                steps.append((call[START], 0, task, call))
            elif call[NAME] in SEM_WAITS:
                if id(call) in unfinished:
                    blocked.add(id(call))
                elif succeeded(call):
                    steps.append((call[END], 1, task, call))
            elif call[NAME] == "sem_init":
                args = arguments(call[RAW])
                initial, init_end = (args[2] if len(args) > 2 else 0), call[END]
            elif call[NAME] == "sem_open" and initial is None:
                args = arguments(call[RAW])
                if len(args) > 3 and isinstance(args[1], int) and args[1] & O_CREAT:
                    initial, init_end = args[3], call[END]
    steps.sort(key=lambda step: step[:2])
    if initial is None:  # opened elsewhere: as low as the waits allow
        level = lowest = 0
        for _, taking, _, _ in steps:
            level += -1 if taking else 1
            lowest = min(lowest, level)
        initial = -lowest
    units, value, series = deque([None] * initial), initial, [(init_end, initial)]
    for ts, taking, task, call in steps:
        if not taking:
            units.append((task, call))
            value += 1
        elif not units:
            warnings.append(f"the record is not whole: a wait on {name} that no post ended")
            continue
        else:
            post = units.popleft()
            value -= 1
            if post is not None and post[1][START] > call[START]:
                flows.append((name, post[0], post[1], task, call))
                blocked.add(id(call))
        series.append((ts, value))
    return series


def mutex(name, events, blocked, flows, unfinished):
    """Who held the mutex, [(start, end or None, task)] in order; a lock
    blocked if the hold before it, by another thread, was released after
    the lock began, and that release (an unlock, or a condition wait) woke
    it. A hold runs from its lock's return to its unlock's entry; a
    condition wait releases the mutex as it begins and takes it again before
    it returns."""
    holds, lock_calls, trylock, waits = [], set(LOCKS), LOCKS[1], set(COND_WAITS)
    for task, task_calls in events.items():
        depth, start, how = 0, None, None  # how: the call that took the mutex
        for call in task_calls:
            function = call[NAME]
            if function == "pthread_mutex_unlock" or function in waits:
                if depth:
                    depth -= 1
                    if not depth:
                        holds.append((start, call[START], task, how, call))
                if function == "pthread_mutex_unlock":
                    continue
            if unfinished and id(call) in unfinished:
                if function in lock_calls:
                    blocked.add(id(call))
                continue
            if function != "pthread_mutex_lock" and function not in waits and not succeeded(call):
                continue
            depth += 1
            if depth == 1:
                start, how = call[END], call
        if depth:
            holds.append((start, None, task, how, None))
    holds.sort(key=lambda hold: hold[0])
    for before, hold in zip(holds, holds[1:]):
        lock, release = hold[3], before[4]
        if (release is not None and release[START] > lock[START] and before[2] != hold[2]
                and lock[NAME] in lock_calls and lock[NAME] != trylock):
            blocked.add(id(lock))
            flows.append((name, before[2], release, hold[2], lock))
    return [hold[:3] for hold in holds]


def condition(name, events, blocked, flows, unfinished):
    """Every condition wait blocks; a signal wakes the waiter that began
    first among those waiting when it came (and not its own thread), a
    broadcast wakes them all."""
    waits = sorted(((call[START], task, call) for task, calls in events.items() for call in calls
                    if call[NAME] in COND_WAITS), key=lambda wait: wait[0])
    wakes = sorted(((call[START], task, call) for task, calls in events.items() for call in calls
                    if call[NAME] in COND_WAKES), key=lambda wake: wake[0])
    for _, _, call in waits:
        blocked.add(id(call))
    waiting, next_wait = [], 0
    for at, task, wake in wakes:
        while next_wait < len(waits) and waits[next_wait][0] < at:
            waiting.append(waits[next_wait])
            next_wait += 1
        waiting = [w for w in waiting if w[2][END] > at and id(w[2]) not in unfinished]
        woken = [w for w in waiting if w[1] != task]
        if wake[NAME] == "pthread_cond_signal":
            woken = woken[:1]
        for w in woken:
            waiting.remove(w)
            flows.append((name, task, wake, w[1], w[2]))


def barrier(events, blocked, unfinished):
    """A barrier wait blocked if another thread arrived while it waited."""
    waits = sorted((call[START], call[END], task, call) for task, calls in events.items() for call in calls)
    for i, (start, end, task, call) in enumerate(waits):
        later = (s for s, _, t, _ in waits[i + 1:] if t != task)
        if id(call) in unfinished or any(s < end for s in later):
            blocked.add(id(call))


def rwlock(events, blocked, unfinished):
    """A write lock blocked if another thread held the lock when it began; a
    read lock if another thread held it for writing."""
    holds = []
    for task, calls in events.items():
        held = None
        for call in calls:
            if call[NAME] == "pthread_rwlock_unlock" and held:
                holds.append((held[0], call[START], task, held[1]))
                held = None
            elif call[NAME] != "pthread_rwlock_unlock" and id(call) not in unfinished:
                held = (call[END], call[NAME] == "pthread_rwlock_wrlock")
    for task, calls in events.items():
        for call in calls:
            if call[NAME] == "pthread_rwlock_unlock":
                continue
            writing = call[NAME] == "pthread_rwlock_wrlock"
            if id(call) in unfinished or any(s <= call[START] < e and t != task and (writing or w)
                                             for s, e, t, w in holds):
                blocked.add(id(call))


def check_lines(line_events, lost, recording):
    warnings = []
    strays = [text for _, task, text in line_events if task is None]
    if strays:
        warnings.append(f"{len(strays)} lines reached the terminal from calls that are not traced, "
                        f"such as {strays[0]!r}: they have no track")
    if lost and recording.snapshot is None and "killed" not in recording.ended:
        warnings.append(f"the record is not whole: {len(lost)} writes are not on the terminal")
    return warnings


FLOAT_FORMAT = re.compile(rb"%[-+ #0']*(\*|\d+)?(\.(\*|\d*))?[lL]?[eEfFgGaA]")


def first_call_faults(calls, roles, order):
    """uftrace 0.13 loses the floating-point arguments of each thread's first
    traced call: say where that call passes one."""
    warnings = []
    for task in order:
        first = next((c for c in calls.get(task, []) if c[NAME] != "fork"), None)
        if first is None or first[NAME] not in output.FORMATTED:
            continue
        at = output.FORMATTED[first[NAME]][1]
        args = arguments(first[RAW])
        if at < len(args) and isinstance(args[at], bytes) and FLOAT_FORMAT.search(args[at]):
            text = args[at].decode(errors="replace").encode("unicode_escape").decode()
            warnings.append(f"{roles[task]}'s first traced call, {first[NAME]}(\"{text}\", ...), passes a "
                            "floating-point value, which uftrace 0.13 loses in a thread's first traced call: "
                            "what it printed may be wrong")
    return warnings
