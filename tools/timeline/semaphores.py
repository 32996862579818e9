"""Each POSIX semaphore's value over the run, and who woke whom on it; the
waits and wakes of C++20's semaphores, latches, barriers and atomics, and
of futures, which are read from their futex calls; and who woke whom on a
condition variable, and which barrier waits blocked.

A semaphore's value counts a post from its entry and a wait from its return
(never below the true value); units are taken in the order the waits return,
the first of them those it began with, and a wait blocked if the unit it
took was posted after it began. A C++ object's value is not recorded (its
waits and wakes are inlined atomics, and only those that block call the
kernel): a wait blocked, and was woken by, the latest wake of another
thread while it waited. Every condition wait blocks; a signal wakes the
waiter that began first among those waiting when it came (and not its own
thread), a broadcast wakes them all."""
import bisect

import numpy as np

from .calls import (COND_WAITS, COND_WAKES, FUTEX_WAITS, FUTEX_WAKES, SEM_INIT, SEM_OPEN, SEM_POSTS, SEM_WAITS,
                    SIGNALS)
from .model import CALL_INDEX, VALUE, marks
from .mutexes import Outcome

O_CREAT = 0o100
POSTS, WAITS = marks(SEM_POSTS), marks(SEM_WAITS)
INIT, OPEN = CALL_INDEX[SEM_INIT], CALL_INDEX[SEM_OPEN]
WAKES, FUTEX_WAIT_CALLS = marks(FUTEX_WAKES), marks(FUTEX_WAITS)
COND_WAIT_CALLS, COND_WAKE_CALLS, SIGNAL_CALLS = marks(COND_WAITS), marks(COND_WAKES), marks(SIGNALS)


def is_posix(events):
    """Whether the object's calls are POSIX ones, not a C++ object's futex calls."""
    return bool((~(WAKES | FUTEX_WAIT_CALLS)[events["call"]]).any())


def semaphore(events, cut=None):
    """The semaphore's value over the run (VALUE, from its initial value on),
    its waits that blocked and the posts that let them go on. Where the
    middle of a long run was left out (cut: (from, to)), the value after it
    starts again, as low as the waits after it allow."""
    calls = events["call"]
    initial, init_end = None, 0
    for i in np.nonzero((calls == INIT) | (calls == OPEN))[0].tolist():
        if calls[i] == INIT:
            initial, init_end = int(events["args"][i, 2]), int(events["end"][i])
        elif initial is None and int(events["args"][i, 0]) & O_CREAT:
            initial, init_end = int(events["args"][i, 2]), int(events["end"][i])
    posting = np.nonzero(POSTS[calls])[0]
    waiting = WAITS[calls]
    blocked = list(np.nonzero(waiting & events["unfinished"])[0].tolist())
    taking = np.nonzero(waiting & ~events["unfinished"] & ((events["ret"] & 0xFFFFFFFF) == 0))[0]
    # The steps: a post at its entry, a wait at its return; at one moment the post first.
    times = np.concatenate([events["start"][posting], events["end"][taking]])
    takes = np.concatenate([np.zeros(len(posting), dtype=np.int8), np.ones(len(taking), dtype=np.int8)])
    which = np.concatenate([posting, taking])
    order = np.lexsort((takes, times))
    times, takes, which = times[order], takes[order], which[order]
    if cut is not None:
        parts = [(times < cut[1], None), (times >= cut[1], cut[1])]
    else:
        parts = [(np.ones(len(times), dtype=bool), None)]
    values, flows, warnings = [np.array([(init_end, initial if initial is not None else 0)], dtype=VALUE)], [], []
    for part, restart in parts:
        steps = (times[part], takes[part], which[part])
        start = lowest(steps[1]) if restart is not None or initial is None else initial
        if restart is not None:
            values.append(np.array([(restart, start)], dtype=VALUE))
        elif initial is None:
            values[0]["value"] = start
        found_values, found_flows, short = units(events, steps, start)
        values.append(found_values)
        flows += found_flows
        if short:
            warnings.append(short)
    blocked += [wait for _, wait in flows]
    return Outcome(np.array(sorted(set(blocked)), dtype=np.int64), flows, values=np.concatenate(values),
                   warnings=warnings)


def units(events, steps, initial):
    """(the values after each step, the hand-overs, a warning or None): the
    k-th wait, in the order the waits return, takes the k-th unit, the first
    ones those the semaphore began with, then the posts in order."""
    times, takes, which = steps
    change = np.where(takes == 1, -1, 1)
    value = initial + np.cumsum(change)
    values = np.zeros(len(times), dtype=VALUE)
    values["at"], values["value"] = times, value
    posts, waits = which[takes == 0], which[takes == 1]
    warning = None
    if len(value) and value.min() < 0:  # a wait that no post ended: the record is not whole
        warning = "the record is not whole: a wait on {name} that no post ended"
        waits = waits[:max(0, len(posts) + initial)]
        values["value"] = np.maximum(values["value"], 0)
    unit = np.arange(len(waits)) - initial
    posted = unit >= 0
    given, taker = posts[unit[posted]], waits[posted]
    late = events["start"][given] > events["start"][taker]
    return values, list(zip(given[late].tolist(), taker[late].tolist())), warning


def lowest(takes):
    """The least initial value that no wait among the steps takes below zero."""
    level = np.cumsum(np.where(takes == 1, -1, 1))
    return int(max(0, -level.min())) if len(level) else 0


def futex_object(events, one_each=False):
    """A C++ object's waits that blocked, each woken by a wake of another
    thread while it waited, the latest one: libstdc++ wakes every waiter,
    and those that find nothing wait again, so the waits that end are those
    that were let go on. A semaphore's release lets one waiter go on
    (one_each): each wait, in the order they end, takes the latest release
    that no other wait took."""
    wakes = np.nonzero(WAKES[events["call"]])[0]
    wakes = wakes[np.argsort(events["start"][wakes], kind="stable")].tolist()
    starts = [int(events["start"][i]) for i in wakes]
    waits = np.nonzero(FUTEX_WAIT_CALLS[events["call"]])[0]
    waits = waits[np.argsort(events["end"][waits], kind="stable")].tolist()
    taken, blocked, flows = set(), [], []
    for wait in waits:
        if events["unfinished"][wait]:
            blocked.append(wait)
            continue
        i = bisect.bisect_left(starts, int(events["end"][wait])) - 1
        chosen = None
        while i >= 0 and starts[i] > events["start"][wait]:
            if events["track"][wakes[i]] != events["track"][wait]:
                chosen = chosen if chosen is not None else i
                if not one_each or i not in taken:
                    chosen = i
                    break
            i -= 1
        if chosen is not None:
            taken.add(chosen)
            blocked.append(wait)
            flows.append((wakes[chosen], wait))
    return Outcome(np.array(blocked, dtype=np.int64), flows)


def condition(events):
    """Every wait on the condition blocked; each signal woke the waiter that
    began first among those waiting when it came, a broadcast all of them."""
    waits = np.nonzero(COND_WAIT_CALLS[events["call"]])[0]
    waits = waits[np.argsort(events["start"][waits], kind="stable")].tolist()
    wakes = np.nonzero(COND_WAKE_CALLS[events["call"]])[0]
    wakes = wakes[np.argsort(events["start"][wakes], kind="stable")].tolist()
    waiting, next_wait, flows = [], 0, []
    for wake in wakes:
        at = events["start"][wake]
        while next_wait < len(waits) and events["start"][waits[next_wait]] < at:
            waiting.append(waits[next_wait])
            next_wait += 1
        waiting = [w for w in waiting if events["end"][w] > at and not events["unfinished"][w]]
        woken = [w for w in waiting if events["track"][w] != events["track"][wake]]
        if SIGNAL_CALLS[events["call"][wake]]:
            woken = woken[:1]
        for w in woken:
            waiting.remove(w)
            flows.append((wake, w))
    return Outcome(np.array(waits, dtype=np.int64), flows)


def barrier(events):
    """A barrier wait blocked if another thread arrived while it waited."""
    order = np.lexsort((events["end"], events["start"]))
    blocked = []
    for position, i in enumerate(order.tolist()):
        later = order[position + 1:]
        later = later[events["track"][later] != events["track"][i]]
        if events["unfinished"][i] or (events["start"][later] < events["end"][i]).any():
            blocked.append(i)
    return Outcome(np.array(blocked, dtype=np.int64))
