"""The model of a run, which the analysis builds once from the record, and
every output reads: the trace, the picture, the table, the explanation of a
hang and the words on data races are functions of a Run alone.

A run may make millions of calls, so a track's slices are a table of
columns (a numpy structured array with named fields) rather than an object
each; so are a mutex's holds and a semaphore's values. Everything else is a
dataclass. Times are nanoseconds of the program's own clock from its start."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .calls import TABLE

# The calls of the table, by their index in a slice's call column.
CALL_SYMBOLS = tuple(TABLE)
CALL_INDEX = {symbol: i for i, symbol in enumerate(CALL_SYMBOLS)}
NO_OBJECT = -1
RETURNED, UNWOUND, LONGJMP = 0, 1, 2  # how a call ended

# A slice: a call on a track. call: its index in CALL_SYMBOLS; title: its
# name as the source writes it, an index in Run.titles; start and end;
# first and second: the objects it was about (indices in Run.objects, or
# NO_OBJECT); blocked: it waited for another thread; unfinished: it was in
# flight when the run or its process ended; failed: it returned an error (a
# lock that was busy, a wait that timed out); ended: RETURNED, UNWOUND or
# LONGJMP; detail: what else it was about, an index in Run.details, or -1.
SLICE = np.dtype([("call", np.int16), ("title", np.int16), ("start", np.int64), ("end", np.int64),
                  ("first", np.int32), ("second", np.int32), ("blocked", np.bool_), ("unfinished", np.bool_),
                  ("failed", np.bool_), ("ended", np.int8), ("detail", np.int32)])
# A mutex's hold: from when a thread had it to when it let it go.
HOLD = np.dtype([("start", np.int64), ("end", np.int64), ("track", np.int32)])
# A semaphore's value from a moment on.
VALUE = np.dtype([("at", np.int64), ("value", np.int64)])
# A hand-over: the call that let a waiter go on (a post, an unlock, a
# signal, a release, a set), and the wait it ended, each a track and a slice
# of it; obj: the object handed over, NO_OBJECT for a std::async task's
# future (the wait's detail names it).
FLOW = np.dtype([("obj", np.int32), ("from_track", np.int32), ("from_slice", np.int64), ("to_track", np.int32),
                 ("to_slice", np.int64)])


def marks(symbols):
    """A column over the table's calls, True for those of symbols: indexed
    by a call (or a column of calls), it says whether it is one of them."""
    found = np.zeros(len(CALL_SYMBOLS), dtype=bool)
    found[[CALL_INDEX[symbol] for symbol in symbols]] = True
    return found


def groups(*columns):
    """The rows of a table by their values in the columns (integer arrays
    of one length): [the indices of the rows alike], each in the rows' order."""
    rows = len(columns[0])
    if not rows:
        return []
    key, span = np.zeros(rows, dtype=np.int64), 1
    for column in columns:  # one number for each row's values, where they fit in 63 bits
        low, high = int(column.min()), int(column.max())
        span *= high - low + 1
        if span >= 1 << 62:
            return slow_groups(columns)
        key = key * (high - low + 1) + (column.astype(np.int64) - low)
    if span == 1:
        return [np.arange(rows)]
    order = np.argsort(key, kind="stable")
    ordered = key[order]
    return np.split(order, np.nonzero(ordered[1:] != ordered[:-1])[0] + 1)


def column_of(tracks, track, row, name):
    """A column of the slices given by their tracks and rows (arrays)."""
    found = np.zeros(len(track), dtype=SLICE[name])
    for number in np.unique(track).tolist():
        mine = track == number
        found[mine] = tracks[number].slices[name][row[mine]]
    return found


def slow_groups(columns):
    order = np.lexsort(columns[::-1])
    change = np.zeros(len(order) - 1, dtype=bool)
    for column in columns:
        ordered = column[order]
        change |= ordered[1:] != ordered[:-1]
    return np.split(order, np.nonzero(change)[0] + 1)


def slices(count=0):
    """An empty table of slices."""
    found = np.zeros(count, dtype=SLICE)
    found["first"] = found["second"] = NO_OBJECT
    found["detail"] = -1
    return found


@dataclass
class Track:
    """A thread: its process and its own id, its role (main, producer,
    consumer 2, child 1), when it began and ended, and its slices in order of
    start."""
    index: int
    pid: int
    tid: int
    role: str
    began: int
    ended: int
    slices: np.ndarray = field(default_factory=slices)

    @property
    def leads(self):
        """Whether it is its process's first thread."""
        return self.pid == self.tid


@dataclass(frozen=True)
class Obj:
    """An object that calls were about: its kind (a calls.KINDS name), its
    name as the source names it, its address, and the process whose own
    copy it is where several processes use one private object by one name."""
    index: int
    kind: str
    name: str
    address: int = 0
    copy_of: str = ""


@dataclass(frozen=True)
class Detail:
    """What a slice was about besides its objects: the thread that a join or
    a creation names, the process that a fork made or a wait waited for,
    the seconds a sleep asked for, a std::async future."""
    thread: str = ""
    process: str = ""
    seconds: float | None = None
    future: str = ""


@dataclass(frozen=True)
class Line:
    """A line that reached the terminal: when it was written, the track of
    the thread that wrote it (None where no recorded call wrote it), and its
    text."""
    at: int
    track: int | None
    text: str


@dataclass(frozen=True)
class Ending:
    """How the run ended: "exited" (with status value), "killed" (by signal
    value), or stopped by the tool: "deadlock", "stopped" (by a signal of
    its own), "deadline" or "interrupted" (by whom); at: when it was stopped."""
    how: str
    value: int = 0
    at: int = 0
    by: str = ""

    @property
    def stopped(self):
        return self.how in ("deadlock", "stopped", "deadline", "interrupted")


@dataclass(frozen=True)
class Blocked:
    """A thread waiting when a hung run was stopped: its track and its call
    (the slice that never ended), where the call was made (file, line), or
    failing that the function that made it, and what the live program
    showed: the first word of the object it waits on (a semaphore's value),
    the thread id at its eighth byte (a mutex's owner), and the processes
    that hold the write end of a pipe that it reads (None where it reads
    none); alive: whether the thread was there when the run was stopped (a
    call of a thread that ended with its process never ends either)."""
    track: int
    slice: int
    file: str | None = None
    line: int | None = None
    function: str | None = None
    word: int | None = None
    owner: int | None = None
    pipe_writers: tuple | None = None
    alive: bool = True


@dataclass(frozen=True)
class Access:
    """One side of a data race: the thread, read or write, the line of the
    program's own source, and the locks it held."""
    thread: str
    access: str
    file: str
    line: int
    locks: tuple


@dataclass(frozen=True)
class Race:
    """A data race that Helgrind found: the object, how often, and its two accesses."""
    object: str
    count: int
    accesses: tuple


@dataclass(frozen=True)
class Cut:
    """The part of a long run left out: from, to, and about how many calls
    the whole run made."""
    start: int
    end: int
    calls: int


@dataclass
class Run:
    """A run of a program as the tool shows it."""
    program: str
    speed: float | None
    tracks: list[Track]
    objects: list[Obj]
    titles: list[str]
    details: list[Detail]
    holds: dict[int, np.ndarray]
    values: dict[int, np.ndarray]
    flows: np.ndarray  # FLOW, in the order of their starts
    lines: list[Line]
    ending: Ending
    end: int
    warnings: list[str] = field(default_factory=list)
    cut: Cut | None = None
    lines_cut: tuple | None = None  # (how many lines the trace keeps, how many bytes after them it leaves out)
    left: list = field(default_factory=list)  # [(pid, command name)] of the processes the tool stopped
    blocked: list[Blocked] = field(default_factory=list)  # when the run hung
    races: list[Race] | None = None  # None unless --races
    unchecked: tuple = ((), ())  # the threads Helgrind could not check: those using atomics, and C++20's futexes
    races_stopped: str | None = None  # how Helgrind's run was stopped, if it was

    def kind(self, obj):
        """The kind of an object, by its index."""
        return self.objects[obj].kind
