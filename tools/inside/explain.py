"""Why a hung run could not go on: each blocked thread's call, where it was
made and since when; then, for each object waited on, what would have to
happen for a waiter to go on, and why nothing can: a semaphore's value and
its posters, a mutex's holder (and a cycle of holders), the thread that a
join waits for, the child that a wait waits for.

The values come from the live program's memory at the moment it was
stopped (glibc 2.36, x86-64): a semaphore's value is the low 32 bits of its
first word, a mutex's owner the thread id at byte 8."""
import os, struct

from .calls import CHILD_WAITS, COND_WAKES, FUTEX_WAKES, RW_UNLOCKS, RWLOCKS, SEM_POSTS, THREAD_JOINS, display
from .mutexes import WRITES
from .threads import succeeded

JOINS = THREAD_JOINS | CHILD_WAITS


def seconds(ns):
    return f"{ns / 1e9:.1f} s"


def listing(names):
    names = list(names)
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


def place(site, symbols):
    if site is None:
        return "?"
    file, line, function, address = site
    if file is None and address is not None:
        file, line = symbols.tail_site(address) or (None, None)
    if file is None:
        return f"in {function}" if function else "?"
    relative = os.path.relpath(file)
    return f"{file if relative.startswith('..') else relative}:{line}"


def deadlock(analysis, snapshot):
    pipes = snapshot.pipes or {}
    roles, calls = analysis.roles, analysis.calls
    pending = {}  # task: (its innermost pending call, Pending)
    for task in analysis.order:
        for call in calls.get(task, []):
            if id(call) in analysis.unfinished and (task not in pending or call.start >= pending[task][0].start):
                pending[task] = (call, analysis.unfinished[id(call)])
    alive = {(p.thread.pid, p.thread.tid) for p in snapshot.pending}
    hung = max((call.start for call, _ in pending.values()), default=0)
    rows = []
    for task, (call, info) in pending.items():
        about = "pipe" if reading(info) else what(call, task, analysis)
        rows.append((roles[task], f"{analysis.names.title(call)}({about})",
                     place(info.site, analysis.names.symbols), f"since {seconds(call.start)}"))
    widths = [max(len(row[i]) for row in rows) for i in range(3)] if rows else []
    text = [f"deadlock: every thread waits, and none can wake another (after {seconds(hung)})"]
    text += ["  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[3] for row in rows]
    text += reasons(pending, alive, analysis, pipes)
    return text


def what(call, task, analysis, first=False):
    """The objects of a pending call, as the trace names them; or the first."""
    if call.name in JOINS:
        return analysis.targets.get(id(call), "?")
    objects = [name for _, name in analysis.names.of(call, task) if name != "0x0"]
    return (objects[:1] if first else ", ".join(objects) and [", ".join(objects)] or ["?"])[0] if objects else "?"


def reasons(pending, alive, analysis, pipes):
    roles, names = analysis.roles, analysis.names
    waiting_on, seen, text = {}, set(), []
    holders = {}
    for task, (call, info) in pending.items():
        objects = names.of(call, task)
        if objects:
            waiting_on[task] = objects[0]
        if objects and objects[0][0] == "mutex" and len(info.memory) >= 12:
            owner = struct.unpack_from("<i", info.memory, 8)[0]
            holders[objects[0][1]] = next((t for t in roles if t[1] == owner), None)
        elif objects and objects[0][0] == "semaphore" and call.name in SEM_WAITING and info.memory[:4] == bytes(4):
            # A semaphore used as a lock: held by the one thread that took its unit and has not posted it back.
            taken = takers(objects[0][1], analysis)
            if len(taken) == 1:
                holders[objects[0][1]] = taken[0]
    cycle = find_cycle(pending, waiting_on, holders)
    if cycle:
        text.append("; ".join(f"{roles[t]} holds {held} and waits for {wanted}" for t, held, wanted in cycle))
        seen |= {wanted for _, _, wanted in cycle}
    for task, (call, info) in pending.items():
        name = call.name
        if name in JOINS:
            target = analysis.targets.get(id(call))
            other = next((t for t in pending if roles[t] == target), None)
            doing = f"; {target} waits on {what(pending[other][0], other, analysis, first=True)}" if other else ""
            if other and reading(pending[other][1]):
                doing = f"; {target} reads a pipe"
            verb = "to end" if name in THREAD_JOINS else "to exit"
            text.append(f"{roles[task]} waits for {target} {verb}{doing}")
            continue
        if reading(info):
            writers = sorted(pipes.get(info.thread.wait[1], ()))
            names = listing(roles.get((pid, pid), f"process {pid}") for pid in writers)
            text.append(f"{roles[task]} reads a pipe whose write end is open only in {names}, which "
                        f"{'waits' if len(writers) == 1 else 'wait'} too: nothing more comes, and the end of its "
                        "input comes only once every copy of the write end is closed.")
            continue
        if task not in waiting_on or waiting_on[task][1] in seen:
            continue
        kind, obj = waiting_on[task]
        seen.add(obj)
        value = struct.unpack_from("<I", info.memory)[0] if len(info.memory) >= 4 else None
        if kind in ("semaphore", "latch", "atomic", "future") and call.name not in SEM_WAITING:
            text.append(futex_reason(kind, obj, value, users(analysis, obj, FUTEX_WAKES), roles, alive))
        elif kind == "semaphore":
            posters = users(analysis, obj, SEM_POSTS)
            said = f"{obj} is {value}" if value is not None else f"{obj} has no unit"
            others = [(copy, users(analysis, copy, SEM_POSTS)) for copy, base in names.copies.items()
                      if base == names.copies.get(obj) and copy != obj]
            posted = [(copy, posters) for copy, posters in others if posters]
            if not posters and posted:
                copy, by = posted[0]
                text.append(f"{said}, and no thread ever posts {obj}: {listing(roles[t] for t in by)} "
                            f"{'posts' if len(by) == 1 else 'post'} {copy}, a copy that this process does not "
                            "share, for fork copies a semaphore that is not in shared memory.")
            else:
                clause = wakers("post", obj, posters, roles, alive)
                taken = [roles[t] for t in takers(obj, analysis)]
                one = value == 0 and len(taken) == 1
                took = f": {listing(taken)} took {'its unit' if one else 'units'} and did not post " \
                    f"{'it' if one else 'them'} back" if taken and not posters else ""
                text.append(f"{said}{', and ' if clause.startswith('no ') else '; '}{clause}{took}.")
        elif kind == "mutex":
            holder = holders.get(obj)
            if holder is None:
                text.append(f"{obj} is held, by no thread that is left.")
            elif holder[0] != task[0]:  # a thread of another process: the one that forked this one
                process = roles[(task[0], task[0])]
                text.append(f"{obj} was locked by {roles[holder]} when {process} was forked: {process}'s copy "
                            f"stays locked, and no thread of {process} holds it.")
            elif holder not in alive:
                text.append(f"{obj} is held by {roles[holder]}, which has ended without unlocking it.")
            else:
                text.append(f"{obj} is held by {roles[holder]}, which waits too.")
        elif kind == "cond":
            signallers = users(analysis, obj, COND_WAKES)
            cxx = names.title(call).startswith("std::")
            text.append(wakers("notify" if cxx else "signal", obj, signallers, roles, alive) + ".")
        elif kind == "barrier":
            text.append(f"{obj} waits for more threads than are left to arrive.")
        elif kind == "rwlock":
            text.append(rw_holders(obj, analysis, alive))
    return text


SEM_WAITING = frozenset(("sem_wait", "sem_timedwait", "sem_trywait", "sem_clockwait"))


def futex_reason(kind, obj, value, wakers_seen, roles, alive):
    """Why a C++ object's waiter cannot go on. Its value is its word in
    memory; a release or count_down that wakes nobody makes no call that
    the tool sees, so only the wakes are known."""
    if kind == "latch":
        said = f"{obj} still counts {value}" if value is not None else f"{obj} has not reached zero"
        verb = "count it down"
    elif kind == "future":
        said, verb = f"{obj} is not ready", "set it"
    elif kind == "atomic":
        said, verb = f"{obj} is {value}" if value is not None else f"{obj} has not changed", "notify it"
    else:
        said = f"{obj} is {value}" if value is not None else f"{obj} has no unit"
        verb = "release it"
    left = [roles[t] for t in wakers_seen if t in alive]
    if left:
        return f"{said}; {listing(left)}, which {'has' if len(left) == 1 else 'have'} woken its waiters before, " \
               f"{'waits' if len(left) == 1 else 'wait'} too."
    return f"{said}, and every other thread waits or has ended: none is left to {verb}."


def wakers(verb, obj, tasks, roles, alive):
    """Why the threads that could wake a waiter on obj do not: none ever
    does (verb: post, signal, notify), they have ended, or they wait too."""
    verbs = verb[:-1] + "ies" if verb.endswith("y") else verb + "s"
    if not tasks:
        return f"no thread ever {verbs} {obj}"
    left = [roles[t] for t in tasks if t in alive]
    if not left:
        gone = [roles[t] for t in tasks]
        return f"no thread that {verbs} {obj} is left: {listing(gone)} {'has' if len(gone) == 1 else 'have'} ended"
    one = len(left) == 1
    return f"{listing(left)}, which {verbs if one else verb} {obj}, {'waits' if one else 'wait'} too"


def users(analysis, obj, functions):
    """The tasks that ever made one of these calls on the object, in track order."""
    found = []
    for task in analysis.order:
        for call in analysis.calls.get(task, []):
            if call.name in functions and id(call) not in analysis.unfinished \
                    and (analysis.names.of(call, task) or [(None, None)])[0][1] == obj:
                found.append(task)
                break
    return found


def find_cycle(pending, waiting_on, holders):
    """[(task, lock it holds, lock it waits for)] around a cycle of threads
    each waiting for a mutex, or a semaphore taken as one, that the next one
    holds, or None."""
    wants = {task: obj for task, (kind, obj) in waiting_on.items() if kind in ("mutex", "semaphore")}
    for start in wants:
        path, task = [], start
        while task in wants and holders.get(wants[task]) is not None and task not in [t for t, _ in path]:
            path.append((task, wants[task]))
            task = holders[wants[task]]
        if task == start and path:  # each holds what the one before it waits for
            return [(t, path[i - 1][1], wanted) for i, (t, wanted) in enumerate(path)]
    return None


def kept(obj, analysis, takes, gives):
    """[(task, its last take)] of the threads that took obj more often than
    they gave it back, by their finished calls on it, in track order."""
    found = []
    for task in analysis.order:
        balance, last = 0, None
        for call in analysis.calls.get(task, []):
            if call.name not in takes and call.name not in gives or id(call) in analysis.unfinished:
                continue
            if obj not in (name for _, name in analysis.names.of(call, task)):
                continue
            if call.name in gives:
                balance -= 1
            elif succeeded(call):
                balance, last = balance + 1, call
        if balance > 0:
            found.append((task, last))
    return found


def rw_holders(obj, analysis, alive):
    """Who holds a read-write lock at the end, for reading or for writing."""
    holders = [(task, last.name in WRITES) for task, last in kept(obj, analysis, RWLOCKS, RW_UNLOCKS)]
    if not holders:
        return f"{obj} is held by a thread that waits too, or has ended."
    parts = []
    for writing in (True, False):
        these = [task for task, w in holders if w == writing]
        if not these:
            continue
        waiting = [analysis.roles[t] for t in these if t in alive]
        ended = [analysis.roles[t] for t in these if t not in alive]
        states = ([f"{listing(waiting)}, which {'waits' if len(waiting) == 1 else 'wait'} too"] if waiting else []) \
            + ([f"{listing(ended)}, which {'has' if len(ended) == 1 else 'have'} ended without unlocking it"]
               if ended else [])
        parts.append(f"for {'writing' if writing else 'reading'} by " + "; and by ".join(states))
    return f"{obj} is held " + ", and ".join(parts) + "."


def reading(info):
    """Whether a pending call's thread waits to read a pipe."""
    return bool(info.thread.wait) and info.thread.wait[0] == "pipe"


def takers(obj, analysis):
    """The threads that took more units of a semaphore than they posted, in track order."""
    return [task for task, _ in kept(obj, analysis, SEM_WAITING, SEM_POSTS)]
