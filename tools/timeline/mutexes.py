"""Who held each mutex and read-write lock, and which locks blocked.

A call's timestamps are the moments it was entered and left; what it did
happened in between. So a lock is held from its lock's return to its
unlock's entry; a condition wait releases its mutex as it begins and takes
it again before it returns; a lock blocked if the hold before it, by
another thread, was released after the lock began, and that release woke
it. A run may take a mutex millions of times: the holds are found column
by column where each thread takes and releases the mutex in turn, as most
programs do, and one event at a time where it nests."""
from dataclasses import dataclass, field

import numpy as np

from .calls import COND_WAITS, LOCKS, RW_UNLOCKS, RW_WRITES, RWLOCKS, TRYLOCKS, UNLOCKS, named
from .model import CALL_SYMBOLS, HOLD, marks

TAKE, RELEASE, WAIT, NOTHING = 1, 2, 3, 0


COND_CALLS = marks(COND_WAITS)
OPERATION = np.full(len(CALL_SYMBOLS), NOTHING, dtype=np.int8)  # what each call of the table does to a mutex
OPERATION[marks(LOCKS)], OPERATION[marks(UNLOCKS | RW_UNLOCKS)], OPERATION[COND_CALLS] = TAKE, RELEASE, WAIT
PLAIN_LOCK = marks(LOCKS - TRYLOCKS)
MUST_SUCCEED = marks(LOCKS - named("lock"))  # a lock that can fail says so; a plain lock cannot
RW_CALLS, RW_WRITE_CALLS, RW_RELEASES = marks(RWLOCKS), marks(RW_WRITES), marks(RW_UNLOCKS)


@dataclass
class Outcome:
    """What an object's analyser found: the events that blocked (indices in
    its events), the hand-overs [(the releasing event, the wait it ended)],
    and for a mutex its holds (HOLD, the track being an event's track)."""
    blocked: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int64))
    flows: list = field(default_factory=list)
    holds: np.ndarray | None = None
    values: np.ndarray | None = None
    warnings: list = field(default_factory=list)


def operations(events):
    """What each event does to the mutex: TAKE, RELEASE, WAIT (a condition
    wait: release, then take) or NOTHING (a lock in flight or that failed)."""
    calls = events["call"]
    ops = OPERATION[calls]
    failed = ((events["ret"] & 0xFFFFFFFF) != 0) & MUST_SUCCEED[calls]
    ops[failed | (events["unfinished"] & (ops == TAKE))] = NOTHING
    ops[events["unfinished"] & (ops == WAIT)] = RELEASE  # a wait in flight gave the mutex up, and never took it back
    return ops


def mutex(events):
    """The mutex's holds in order, its locks that blocked, and the releases
    that handed it over to them. events: the calls on it, of EVENT, in
    order of their tracks and starts."""
    ops = operations(events)
    blocked = np.nonzero(events["unfinished"] & (OPERATION[events["call"]] == TAKE))[0]
    parts = []
    tracks = events["track"]  # in order
    bounds = np.concatenate([[0], np.nonzero(tracks[1:] != tracks[:-1])[0] + 1, [len(events)]])
    for first, last in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
        mine = np.arange(first, last)
        parts.append(in_turn(events, ops, mine) or nested(events, ops, mine))
    if not parts:
        return Outcome(blocked)
    starts = np.concatenate([p[0] for p in parts])
    ends = np.concatenate([p[1] for p in parts])
    takers = np.concatenate([p[2] for p in parts])
    releasers = np.concatenate([p[3] for p in parts])
    order = np.argsort(starts, kind="stable")
    starts, ends, takers, releasers = starts[order], ends[order], takers[order], releasers[order]
    holds = np.zeros(len(starts), dtype=HOLD)
    holds["start"], holds["end"], holds["track"] = starts, ends, events["track"][takers]
    # A lock blocked where the hold before it, another thread's, was released after the lock began.
    lock, release = takers[1:], releasers[:-1]
    handed = (release >= 0) & PLAIN_LOCK[events["call"][lock]]
    handed &= events["track"][np.maximum(release, 0)] != events["track"][lock]
    handed &= events["start"][np.maximum(release, 0)] > events["start"][lock]
    found = np.nonzero(handed)[0]
    flows = list(zip(release[found].tolist(), lock[found].tolist()))
    return Outcome(np.union1d(blocked, lock[found]), flows, holds)


def in_turn(events, ops, mine):
    """(starts, ends, taking events, releasing events) of a thread's holds
    where it takes and releases the mutex in turn, a condition wait
    releasing and taking it; None where it nests or releases what it does
    not hold. An end of -1 is a hold never released."""
    kinds = ops[mine]
    kept = mine[kinds != NOTHING]
    kinds = ops[kept]
    # Each event's effect as steps: a wait releases at its start and takes at its end.
    takes = (kinds == TAKE) | (kinds == WAIT)
    releases = (kinds == RELEASE) | (kinds == WAIT)
    steps = np.empty(len(kept) * 2, dtype=np.int8)
    steps[0::2] = np.where(releases, -1, 0)
    steps[1::2] = np.where(takes, 1, 0)
    depth = np.cumsum(steps)
    if len(depth) and (depth.min() < 0 or depth.max() > 1):
        return None
    taking = kept[takes]
    # The release after each take: the next release step of the thread.
    release_events = np.append(kept[releases], -1)  # -1 stands for a release that never came
    following = np.searchsorted(np.nonzero(releases)[0], np.nonzero(takes)[0], side="right")
    has_release = following < len(release_events) - 1
    releasing = release_events[following]
    starts = events["end"][taking]
    ends = np.where(has_release, events["start"][np.maximum(releasing, 0)], -1)
    return starts, ends, taking, releasing


def nested(events, ops, mine):
    """The same, one event at a time, for a thread that takes the mutex
    again while it holds it (a recursive mutex) or releases it unheld."""
    starts, ends, taking, releasing = [], [], [], []
    depth, start, how = 0, None, None
    for i in mine.tolist():
        op = ops[i]
        if op in (RELEASE, WAIT) and depth:
            depth -= 1
            if not depth:
                starts.append(start), ends.append(int(events["start"][i])), taking.append(how), releasing.append(i)
        if op in (TAKE, WAIT):
            depth += 1
            if depth == 1:
                start, how = int(events["end"][i]), i
    if depth:
        starts.append(start), ends.append(-1), taking.append(how), releasing.append(-1)
    return (np.array(starts, dtype=np.int64), np.array(ends, dtype=np.int64), np.array(taking, dtype=np.int64),
            np.array(releasing, dtype=np.int64))


def closed(holds, end):
    """Each hold with its end: one never released lasts until the next hold
    of another thread begins (its release was lost with a thread that
    ended), or until the end of the run; a mutex has one holder at a time."""
    for i in np.nonzero(holds["end"] < 0)[0].tolist():
        later = holds["start"][i + 1:][holds["track"][i + 1:] != holds["track"][i]]
        holds["end"][i] = later.min() if len(later) else end
    return holds


def rwlock(events):
    """A write lock blocked if another thread held the lock when it began; a
    read lock if another thread held it for writing."""
    holds = []
    for track in np.unique(events["track"]).tolist():
        held = None
        for i in np.nonzero(events["track"] == track)[0].tolist():
            call = events["call"][i]
            if (RW_RELEASES[call] or COND_CALLS[call]) and held:
                holds.append((held[0], int(events["start"][i]), track, held[1]))
                held = None
            elif RW_CALLS[call] and not events["unfinished"][i] and (events["ret"][i] & 0xFFFFFFFF) == 0:
                held = (int(events["end"][i]), bool(RW_WRITE_CALLS[call]))
    blocked = []
    for i in np.nonzero(RW_CALLS[events["call"]])[0].tolist():
        writing, track, start = RW_WRITE_CALLS[events["call"][i]], events["track"][i], events["start"][i]
        if events["unfinished"][i] or any(s <= start < e and t != track and (writing or w) for s, e, t, w in holds):
            blocked.append(i)
    return Outcome(np.array(blocked, dtype=np.int64))
