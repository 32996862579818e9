"""Why a hung run could not go on, in words, from the model alone: each
blocked thread's call, where it was made and since when; then, for each
object waited on, what would have to happen for a waiter to go on, and why
nothing can: a semaphore's value and its posters, a mutex's holder (and a
cycle of holders), the thread that a join waits for, the child that a wait
waits for, the processes that hold a pipe's write end.

    deadlock: every thread waits, and none can wake another (after 1.0 s)
      main       std::thread::join(forwards)  guards.cpp:30  since 0.0 s
      forwards   std::mutex::lock(second)     guards.cpp:16  since 1.0 s
      backwards  std::mutex::lock(first)      guards.cpp:23  since 1.0 s
    forwards holds first and waits for second; backwards holds second and waits for first
    main waits for forwards to end; forwards waits on second

The values come from the live program's memory at the moment it was
stopped (glibc 2.36, x86-64): a semaphore's value is the low 32 bits of its
first word, a mutex's owner the thread id at byte 8."""
import numpy as np

from . import endings
from .calls import COND_WAKES, FUTEX_WAKES, JOINS, RW_UNLOCKS, RW_WRITES, RWLOCKS, SEM_POSTS, SEM_WAITS, THREAD_JOINS
from .model import NO_OBJECT, Run, marks
from .sources import shown_path


JOIN_CALLS, THREAD_JOIN_CALLS = marks(JOINS), marks(THREAD_JOINS)
SEM_WAIT_CALLS, SEM_POST_CALLS = marks(SEM_WAITS), marks(SEM_POSTS)
RW_CALLS, RW_WRITE_CALLS, RW_RELEASES = marks(RWLOCKS), marks(RW_WRITES), marks(RW_UNLOCKS)
FUTEX_WAKE_CALLS, COND_WAKE_CALLS = marks(FUTEX_WAKES), marks(COND_WAKES)


def seconds(ns):
    return f"{endings.seconds(ns)} s"


def listing(names):
    names = list(names)
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


class Hang:
    """The facts of a hung run, as the explanation reads them."""

    def __init__(self, run: Run):
        self.run = run
        self.rows = {blocked.track: blocked for blocked in run.blocked}
        self.alive = {blocked.track for blocked in run.blocked if blocked.alive}

    def role(self, track):
        return self.run.tracks[track].role

    def slice(self, blocked):
        return self.run.tracks[blocked.track].slices[blocked.slice]

    def objects(self, blocked):
        """[(kind, name)] of the objects of a blocked thread's call."""
        found = self.slice(blocked)
        return [(self.run.objects[o].kind, self.run.objects[o].name) for o in (found["first"], found["second"])
                if o != NO_OBJECT]

    def target(self, blocked):
        """Whom a join or a wait waits for."""
        detail = self.slice(blocked)["detail"]
        found = self.run.details[detail] if detail >= 0 else None
        return (found.thread or found.process) if found else None

    def what(self, blocked, first=False):
        """The objects of a blocked call, as the trace names them; or the first."""
        if JOIN_CALLS[self.slice(blocked)["call"]]:
            return self.target(blocked) or "?"
        objects = [name for _, name in self.objects(blocked) if name != "0x0"]
        if not objects:
            return "?"
        return objects[0] if first else ", ".join(objects)

    def users(self, obj, calls):
        """The tracks that ever made one of these calls on the object, and that returned, in track order."""
        return [track.index for track in self.run.tracks
                if (calls[track.slices["call"]] & (track.slices["first"] == obj)
                    & ~track.slices["unfinished"]).any()]

    def kept(self, obj, takes, gives):
        """[(track, whether its last take wrote)] of the threads that took the
        object more often than they gave it back, by their calls that
        returned, in track order."""
        found = []
        for track in self.run.tracks:
            slices = track.slices
            mine = ((slices["first"] == obj) | (slices["second"] == obj)) & ~slices["unfinished"]
            calls = slices["call"][mine]
            giving = gives[calls]
            taking = takes[calls] & ~slices["failed"][mine]
            if taking.sum() > giving.sum():
                found.append((track.index, bool(RW_WRITE_CALLS[calls[np.nonzero(taking)[0][-1]]])))
        return found


def process_role(run, pid):
    return next((track.role for track in run.tracks if track.leads and track.pid == pid), f"process {pid}")


def place(blocked):
    if blocked.file:
        return f"{shown_path(blocked.file)}:{blocked.line}"
    return f"in {blocked.function}" if blocked.function else "?"


def deadlock(run: Run):
    """The explanation's lines."""
    hang = Hang(run)
    rows = []
    for blocked in run.blocked:
        found = hang.slice(blocked)
        about = "pipe" if blocked.pipe_writers is not None else hang.what(blocked)
        rows.append((hang.role(blocked.track), f"{run.titles[found['title']]}({about})", place(blocked),
                     f"since {seconds(found['start'])}"))
    hung = max((int(hang.slice(blocked)["start"]) for blocked in run.blocked), default=0)
    widths = [max(len(row[i]) for row in rows) for i in range(3)] if rows else []
    text = [f"deadlock: every thread waits, and none can wake another (after {seconds(hung)})"]
    text += ["  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)) + "  " + row[3] for row in rows]
    return text + reasons(hang)


def holders_of(hang):
    """{object: the track that holds it}: a mutex by its owner in memory, a
    semaphore taken as a lock by the one thread that took its unit."""
    run, holders = hang.run, {}
    by_tid = {track.tid: track.index for track in run.tracks}
    for blocked in run.blocked:
        found = hang.slice(blocked)
        obj = int(found["first"])
        if obj == NO_OBJECT:
            continue
        kind = run.objects[obj].kind
        if kind == "mutex" and blocked.owner is not None:
            holders[obj] = by_tid.get(blocked.owner)
        elif kind == "semaphore" and SEM_WAIT_CALLS[found["call"]] and blocked.word == 0:
            taken = [track for track, _ in hang.kept(obj, SEM_WAIT_CALLS, SEM_POST_CALLS)]
            if len(taken) == 1:
                holders[obj] = taken[0]
    return holders


def find_cycle(wants, holders):
    """[(thread, what it holds, what it waits for)] around a cycle of
    threads each waiting for what the next one holds, or None. wants:
    {thread: what it waits for}; holders: {thing: the thread that holds it}.

    >>> find_cycle({"a": 1, "b": 2}, {1: "b", 2: "a"})
    [('a', 2, 1), ('b', 1, 2)]
    """
    for start in wants:
        path, thread = [], start
        while thread in wants and holders.get(wants[thread]) is not None and thread not in [t for t, _ in path]:
            path.append((thread, wants[thread]))
            thread = holders[wants[thread]]
        if thread == start and path:  # each holds what the one before it waits for
            return [(t, path[i - 1][1], wanted) for i, (t, wanted) in enumerate(path)]
    return None


def reasons(hang):
    """Why none of the blocked threads can go on: a line for each cycle, join and object."""
    run = hang.run
    holders = holders_of(hang)
    wants = {blocked.track: int(hang.slice(blocked)["first"]) for blocked in run.blocked
             if hang.slice(blocked)["first"] != NO_OBJECT
             and run.objects[int(hang.slice(blocked)["first"])].kind in ("mutex", "semaphore")}
    text, seen = [], set()
    cycle = find_cycle(wants, holders)
    if cycle:
        text.append("; ".join(f"{hang.role(t)} holds {run.objects[held].name} and waits for "
                              f"{run.objects[wanted].name}" for t, held, wanted in cycle))
        seen |= {wanted for _, _, wanted in cycle}
    for blocked in run.blocked:
        found = hang.slice(blocked)
        call = int(found["call"])
        if JOIN_CALLS[call]:
            text.append(join_reason(hang, blocked, call))
            continue
        if blocked.pipe_writers is not None:
            writers = listing(process_role(run, pid) for pid in blocked.pipe_writers)
            one = len(blocked.pipe_writers) == 1
            text.append(f"{hang.role(blocked.track)} reads a pipe whose write end is open only in {writers}, which "
                        f"{'waits' if one else 'wait'} too: nothing more comes, and the end of its input comes only "
                        "once every copy of the write end is closed.")
            continue
        obj = int(found["first"])
        if obj == NO_OBJECT or obj in seen:
            continue
        seen.add(obj)
        said = object_reason(hang, blocked, obj, holders)
        if said:
            text.append(said)
    return text


def join_reason(hang, blocked, call):
    """Whom a join or a wait waits for, and what that one waits for."""
    target = hang.target(blocked)
    other = next((b for b in hang.run.blocked if hang.role(b.track) == target), None)
    doing = f"; {target} waits on {hang.what(other, first=True)}" if other else ""
    if other and other.pipe_writers is not None:
        doing = f"; {target} reads a pipe"
    verb = "to end" if THREAD_JOIN_CALLS[call] else "to exit"
    return f"{hang.role(blocked.track)} waits for {target} {verb}{doing}"


def object_reason(hang, blocked, obj, holders):
    """Why the object a thread waits on lets nobody go on."""
    run, alive = hang.run, hang.alive
    found = hang.slice(blocked)
    kind, name, value = run.objects[obj].kind, run.objects[obj].name, blocked.word
    roles = [track.role for track in run.tracks]
    if kind in ("semaphore", "latch", "atomic", "future") and not SEM_WAIT_CALLS[found["call"]]:
        return futex_reason(kind, name, value, hang.users(obj, FUTEX_WAKE_CALLS), roles, alive)
    if kind == "semaphore":
        posters = hang.users(obj, SEM_POST_CALLS)
        said = f"{name} is {value}" if value is not None else f"{name} has no unit"
        copy_of = run.objects[obj].copy_of
        others = [(other.name, hang.users(other.index, SEM_POST_CALLS)) for other in run.objects
                  if copy_of and other.copy_of == copy_of and other.index != obj]
        posted = [(other, by) for other, by in others if by]
        if not posters and posted:
            other, by = posted[0]
            return (f"{said}, and no thread ever posts {name}: {listing(roles[t] for t in by)} "
                    f"{'posts' if len(by) == 1 else 'post'} {other}, a copy that this process does not share, for "
                    "fork copies a semaphore that is not in shared memory.")
        clause = wakers("post", name, posters, roles, alive)
        taken = [roles[t] for t, _ in hang.kept(obj, SEM_WAIT_CALLS, SEM_POST_CALLS)]
        one = value == 0 and len(taken) == 1
        took = f": {listing(taken)} took {'its unit' if one else 'units'} and did not post " \
            f"{'it' if one else 'them'} back" if taken and not posters else ""
        return f"{said}{', and ' if clause.startswith('no ') else '; '}{clause}{took}."
    if kind == "mutex":
        holder = holders.get(obj)
        track = run.tracks[blocked.track]
        if holder is None:
            return f"{name} is held, by no thread that is left."
        if run.tracks[holder].pid != track.pid:  # a thread of another process: the one that forked this one
            process = process_role(run, track.pid)
            return (f"{name} was locked by {roles[holder]} when {process} was forked: {process}'s copy stays "
                    f"locked, and no thread of {process} holds it.")
        if holder not in alive:
            return f"{name} is held by {roles[holder]}, which has ended without unlocking it."
        return f"{name} is held by {roles[holder]}, which waits too."
    if kind == "cond":
        cxx = run.titles[found["title"]].startswith("std::")
        return wakers("notify" if cxx else "signal", name, hang.users(obj, COND_WAKE_CALLS), roles, alive) + "."
    if kind == "barrier":
        return f"{name} waits for more threads than are left to arrive."
    if kind == "rwlock":
        return rw_holders(hang, obj, name, roles, alive)
    return None


def futex_reason(kind, name, value, wakers_seen, roles, alive):
    """Why a C++ object's waiter cannot go on. Its value is its word in
    memory; a release or count_down that wakes nobody makes no call that
    the tool sees, so only the wakes are known."""
    if kind == "latch":
        said = f"{name} still counts {value}" if value is not None else f"{name} has not reached zero"
        verb = "count it down"
    elif kind == "future":
        said, verb = f"{name} is not ready", "set it"
    elif kind == "atomic":
        said, verb = f"{name} is {value}" if value is not None else f"{name} has not changed", "notify it"
    else:
        said = f"{name} is {value}" if value is not None else f"{name} has no unit"
        verb = "release it"
    left = [roles[t] for t in wakers_seen if t in alive]
    if left:
        return f"{said}; {listing(left)}, which {'has' if len(left) == 1 else 'have'} woken its waiters before, " \
               f"{'waits' if len(left) == 1 else 'wait'} too."
    return f"{said}, and every other thread waits or has ended: none is left to {verb}."


def wakers(verb, name, tracks, roles, alive):
    """Why the threads that could wake a waiter on an object do not: none
    ever does (verb: post, signal, notify), they have ended, or they wait too."""
    verbs = verb[:-1] + "ies" if verb.endswith("y") else verb + "s"
    if not tracks:
        return f"no thread ever {verbs} {name}"
    left = [roles[t] for t in tracks if t in alive]
    if not left:
        gone = [roles[t] for t in tracks]
        return f"no thread that {verbs} {name} is left: {listing(gone)} {'has' if len(gone) == 1 else 'have'} ended"
    one = len(left) == 1
    return f"{listing(left)}, which {verbs if one else verb} {name}, {'waits' if one else 'wait'} too"


def rw_holders(hang, obj, name, roles, alive):
    """Who holds a read-write lock at the end, for reading or for writing."""
    holders = hang.kept(obj, RW_CALLS, RW_RELEASES)
    if not holders:
        return f"{name} is held by a thread that waits too, or has ended."
    parts = []
    for writing in (True, False):
        these = [track for track, w in holders if w == writing]
        if not these:
            continue
        waiting = [roles[t] for t in these if t in alive]
        ended = [roles[t] for t in these if t not in alive]
        states = ([f"{listing(waiting)}, which {'waits' if len(waiting) == 1 else 'wait'} too"] if waiting else []) \
            + ([f"{listing(ended)}, which {'has' if len(ended) == 1 else 'have'} ended without unlocking it"]
               if ended else [])
        parts.append(f"for {'writing' if writing else 'reading'} by " + "; and by ".join(states))
    return f"{name} is held " + ", and ".join(parts) + "."
