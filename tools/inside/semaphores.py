"""Each POSIX semaphore's value over the run, and who woke whom on it; and
the waits and wakes of C++20's semaphores, latches, barriers and atomics,
and of futures, which are read from their futex calls.

A semaphore's value counts a post from its entry and a wait from its return
(never below the true value); units are taken in the order the waits
return, and a wait blocked if the unit it took was posted after it began.
A C++ object's value is not recorded (its waits and wakes are inlined
atomics, and only those that block call the kernel): a wait blocked, and
was woken by, the latest wake of another thread while it waited."""
import bisect
from collections import deque

from .calls import FUTEX_WAITS, FUTEX_WAKES, SEM_POSTS, SEM_WAITS
from .threads import succeeded

O_CREAT = 0o100


def is_posix(events):
    return any(call.name not in FUTEX_WAITS and call.name not in FUTEX_WAKES
               for calls in events.values() for call in calls)


def semaphore(name, events, blocked, flows, unfinished, warnings, cut=None):
    """The semaphore's value over the run, [(ns, value)], from its initial
    value on. Where the middle of a long run was left out (cut), the value
    after it starts again, as low as the waits after it allow."""
    initial, init_end, steps = None, 0, []
    for task, task_calls in events.items():
        for call in task_calls:
            if call.name in SEM_POSTS:
                steps.append((call.start, 0, task, call))
            elif call.name in SEM_WAITS:
                if id(call) in unfinished:
                    blocked.add(id(call))
                elif succeeded(call):
                    steps.append((call.end, 1, task, call))
            elif call.name == "sem_init":
                initial, init_end = call.args[2], call.end
            elif call.name == "sem_open" and initial is None:
                if call.args[0] & O_CREAT:
                    initial, init_end = call.args[2], call.end
    steps.sort(key=lambda step: step[:2])
    if initial is None:  # opened elsewhere: as low as the waits allow
        initial = lowest(steps)
    units, value, series = deque([None] * initial), initial, [(init_end, initial)]
    after = cut is not None
    for ts, taking, task, call in steps:
        if after and ts >= cut[1]:
            after = False
            value = lowest([step for step in steps if step[0] >= cut[1]])
            units = deque([None] * value)
            series.append((cut[1], value))
        if not taking:
            units.append((task, call))
            value += 1
        elif not units:
            warnings.append(f"the record is not whole: a wait on {name} that no post ended")
            continue
        else:
            post = units.popleft()
            value -= 1
            if post is not None and post[1].start > call.start:
                flows.append((name, post[0], post[1], task, call))
                blocked.add(id(call))
        series.append((ts, value))
    return series


def lowest(steps):
    """The least initial value that no wait among the steps takes below zero."""
    level = least = 0
    for _, taking, _, _ in steps:
        level += -1 if taking else 1
        least = min(least, level)
    return -least


def futex_object(name, events, blocked, flows, unfinished, one_each=False):
    """A C++ object's waits that blocked, each woken by a wake of another
    thread while it waited, the latest one: libstdc++ wakes every waiter,
    and those that find nothing wait again, so the waits that end are those
    that were let go on. A semaphore's release lets one waiter go on
    (one_each): each wait, in the order they end, takes the latest release
    that no other wait took."""
    wakes = sorted(((call.start, task, call) for task, calls in events.items() for call in calls
                    if call.name in FUTEX_WAKES), key=lambda wake: wake[0])
    starts = [wake[0] for wake in wakes]
    waits = sorted(((call.end, task, call) for task, calls in events.items() for call in calls
                    if call.name in FUTEX_WAITS), key=lambda wait: wait[0])
    taken = set()
    for _, task, call in waits:
        if id(call) in unfinished:
            blocked.add(id(call))
            continue
        i = bisect.bisect_left(starts, call.end) - 1
        chosen = None
        while i >= 0 and wakes[i][0] > call.start:
            if wakes[i][1] != task:
                chosen = chosen if chosen is not None else i
                if not one_each or i not in taken:
                    chosen = i
                    break
            i -= 1
        if chosen is not None:
            taken.add(chosen)
            blocked.add(id(call))
            flows.append((name, wakes[chosen][1], wakes[chosen][2], task, call))
