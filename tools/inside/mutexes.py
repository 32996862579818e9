"""Who held each mutex and read-write lock, and which locks blocked.

A call's timestamps are the moments it was entered and left; what it did
happened in between. So a lock is held from its lock's return to its
unlock's entry; a condition wait releases its mutex as it begins and takes
it again before it returns; a lock blocked if the hold before it, by
another thread, was released after the lock began, and that release woke
it."""
from .calls import COND_WAITS, LOCKS, RW_UNLOCKS, RWLOCKS, UNLOCKS, named
from .threads import succeeded

TRYLOCKS = named("trylock")
WRITES = named("write", "try-write")


def mutex(name, events, blocked, flows, unfinished):
    """Who held the mutex, [(start, end or None, task)] in order."""
    holds = []
    for task, task_calls in events.items():
        depth, start, how = 0, None, None  # how: the call that took the mutex
        for call in task_calls:
            function = call.name
            if function in UNLOCKS or function in COND_WAITS:
                if depth:
                    depth -= 1
                    if not depth:
                        holds.append((start, call.start, task, how, call))
                if function in UNLOCKS:
                    continue
            if unfinished and id(call) in unfinished:
                if function in LOCKS:
                    blocked.add(id(call))
                continue
            if function in LOCKS and function != "pthread_mutex_lock" and not succeeded(call):
                continue
            depth += 1
            if depth == 1:
                start, how = call.end, call
        if depth:
            holds.append((start, None, task, how, None))
    holds.sort(key=lambda hold: hold[0])
    for before, hold in zip(holds, holds[1:]):
        lock, release = hold[3], before[4]
        if (release is not None and release.start > lock.start and before[2] != hold[2]
                and lock.name in LOCKS and lock.name not in TRYLOCKS):
            blocked.add(id(lock))
            flows.append((name, before[2], release, hold[2], lock))
    return [hold[:3] for hold in holds]


def closed(holds, end):
    """Each hold with its end: one never released lasts until the next hold
    of another thread begins (its release was lost with a thread that
    ended), or until the end of the run; a mutex has one holder at a time."""
    found = []
    for i, (start, finish, task) in enumerate(holds):
        if finish is None:
            following = [s for s, _, t in holds[i + 1:] if t != task]
            finish = min(following) if following else end
        found.append((start, finish, task))
    return found


def rwlock(events, blocked, unfinished):
    """A write lock blocked if another thread held the lock when it began; a
    read lock if another thread held it for writing."""
    holds = []
    for task, calls in events.items():
        held = None
        for call in calls:
            if (call.name in RW_UNLOCKS or call.name in COND_WAITS) and held:
                holds.append((held[0], call.start, task, held[1]))
                held = None
            elif call.name in RWLOCKS and id(call) not in unfinished and succeeded(call):
                held = (call.end, call.name in WRITES)
    for task, calls in events.items():
        for call in calls:
            if call.name not in RWLOCKS:
                continue
            writing = call.name in WRITES
            if id(call) in unfinished or any(s <= call.start < e and t != task and (writing or w)
                                             for s, e, t, w in holds):
                blocked.add(id(call))
