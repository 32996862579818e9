"""Each thread's calls as the analysis reads them, made from the record and
leaving it as it was: the calls that a library made inside itself left out
(but for the text it handed over), each call still in flight ended where
the run or its process ended, and C++'s library read in the words of its
objects.

C++'s library, as the record has it: a std::async's join is a wait on its
future, and its task runs in a call of pthread_once; a
std::condition_variable_any locks a mutex of its own, unlocks the lock it
was given and waits with its own mutex; C++20's semaphores, latches,
barriers and atomic waits make futex system calls on the object's word (or
a slot of libstdc++'s waiter pool), only where a thread must wait or wake
another, and spin with sched_yield before they wait."""
import numpy as np

from . import calls
from .calls import (ASYNC_TASK, ASYNC_WAIT, CALLS, CV_ANY_WAIT, CV_ANY_WAIT_RW, FUTEX_CALLS, JOIN, LOCKS, RELEASES,
                    RW_UNLOCKS, TAKES, UNLOCKS, WRITES)
from .cxx import Futexes
from .model import CALL_INDEX, CALL_SYMBOLS, marks
from .objects import FIRST_KIND
from .read import FROM_LIBRARY, IN_FLIGHT

# A call as the analysis reads it: the reader's columns, where it came from
# (its row in the reader's table, for its text and stack), and whether it
# was still in flight when the run or its process ended.
WORK = np.dtype([("call", np.int16), ("start", np.int64), ("end", np.int64), ("args", np.uint64, (4,)),
                 ("ret", np.int64), ("flags", np.uint16), ("origin", np.int32), ("unfinished", np.bool_)])
INDEX = CALL_INDEX
KEPT_FROM_LIBRARY = np.array([symbol in WRITES or symbol == JOIN for symbol in CALL_SYMBOLS])
ARGUMENT_COUNTS = np.array([len(CALLS[s].args) if s in CALLS else 0 for s in CALL_SYMBOLS])
SPIN, SYSCALL, CV_WAIT, ONCE = (INDEX[s] for s in (calls.SPIN, calls.FUTEX_CALL, calls.CV_WAIT, calls.ONCE))
REWRITTEN = marks({JOIN, calls.FUTEX_CALL, calls.CV_WAIT, calls.ONCE})
MUTEX_CALLS = marks(LOCKS | UNLOCKS)


class Work:
    """A thread's calls as the analysis reads them (rows, of WORK), with the
    reader's Thread they came from."""

    def __init__(self, thread, rows):
        self.thread, self.rows = thread, rows

    def text(self, i):
        """The text that followed the call's record, or b""."""
        return self.thread.texts.get(int(self.rows["origin"][i]), b"")

    def stack(self, i):
        """The return addresses of the call's callers, outward, where the record kept them."""
        return self.thread.stacks.get(int(self.rows["origin"][i]), ())

    def caller(self, i):
        """Where the program made the call: its caller's return address, or None."""
        return int(self.rows["args"][i, 3]) if ARGUMENT_COUNTS[self.rows["call"][i]] < 4 else None

    def symbol(self, i):
        return CALL_SYMBOLS[self.rows["call"][i]]

    def callers(self, rows):
        """caller() of each of the rows given by index, 0 for none."""
        calls = self.rows[rows]
        return np.where(ARGUMENT_COUNTS[calls["call"]] < 4, calls["args"][:, 3], 0).astype(np.uint64)

    def stack_numbers(self, rows):
        """A number for each of the rows' kept stacks, the same for the
        same stack, 0 for none."""
        numbers = np.zeros(len(rows), dtype=np.int64)
        stacks = self.thread.stacks
        if stacks:
            origins = self.rows["origin"][rows]
            kept = np.nonzero(np.isin(origins, list(stacks)))[0]
            seen = {}
            numbers[kept] = [seen.setdefault(stacks[o], len(seen) + 1) for o in origins[kept].tolist()]
        return numbers


def prepare(record, ends, stop_at, symbols, runs):
    """{(pid, tid): Work} of every thread. ends: {pid: when it ended};
    stop_at: when the tool stopped the run, or None; runs: {(pid, creation
    number): what the thread it made runs}."""
    futexes = Futexes(symbols)
    # The creations of std::async's threads, with the state object that each one's task lies in.
    async_states = [(c, runs[(c.pid, c.sequence)].state) for c in record.creations
                    if runs.get((c.pid, c.sequence)) and runs[(c.pid, c.sequence)].state]
    task_threads = {(c.pid, c.tid) for c, _ in async_states if c.tid is not None}
    theirs, internal = {}, set()  # internal: the mutexes that std::condition_variable_any keeps for itself
    prepared = {}
    for task, thread in record.threads.items():
        calls = thread.calls
        chosen = np.nonzero(((calls["flags"] & FROM_LIBRARY) == 0) | KEPT_FROM_LIBRARY[calls["call"]])[0]
        whole = len(chosen) == len(calls)
        rows = np.zeros(len(chosen), dtype=WORK)
        for name in ("call", "start", "end", "args", "ret", "flags"):
            rows[name] = calls[name] if whole else calls[name][chosen]
        rows["origin"] = chosen
        flying = rows["end"] == IN_FLIGHT
        if flying.any():
            until = stop_at if stop_at is not None else ends.get(task[0], 0)
            rows["end"][flying] = np.maximum(rows["start"][flying], until)
            rows["unfinished"] = flying
        if REWRITTEN[rows["call"]].any():
            rows = rewrite(task, rows, async_states, task in task_threads, futexes, internal)
        rows = without_library_objects(rows, symbols, theirs)
        prepared[task] = Work(thread, rows)
    if internal:  # std::condition_variable_any's own mutex, whoever locks it (its notify does)
        for work in prepared.values():
            rows = work.rows
            locking = MUTEX_CALLS[rows["call"]] & np.isin(rows["args"][:, 0], list(internal))
            work.rows = rows[~locking]
    return prepared


def without_library_objects(rows, symbols, theirs):
    """The calls on objects of a library's own (the mutexes behind
    std::osyncstream, which libstdc++'s headers declare) are not the
    program's: they are left out. theirs: {address: whether}, kept across threads."""
    about = FIRST_KIND[rows["call"]] != ""
    addresses = rows["args"][:, 0]
    library = [address for address in np.unique(addresses[about]).tolist()
               if theirs.setdefault(address, symbols.in_library(address))]
    return rows[~(about & np.isin(addresses, library))] if library else rows


def rewrite(task, rows, async_states, runs_a_task, futexes, internal):
    """A thread's calls with C++'s library in the words of its objects: a
    std::async join as the wait on its future, its task's pthread_once as
    the task, a std::condition_variable_any's wait with the lock it was
    given (its own mutex's calls left out), futex calls as the C++20
    objects' waits and wakes."""
    out, group = [], None
    task_marked = not runs_a_task

    def close():
        nonlocal group
        if group is not None:
            out.append(group.made())
            group = None

    for row in rows.tolist():
        row = [*row[:3], [int(value) for value in row[3]], *row[4:]]  # its arguments as a list of ints
        call = row[0]
        if call == SYSCALL:
            found = futexes.futex(row[3][:3])
            if found is None:
                close()
                out.append(row)
                continue
            kind, address, waiting = found
            if waiting:
                if group is not None and group.address == address:
                    group.add(row)
                else:
                    close()
                    group = Group(kind, address, row, out)
                continue
            close()
            out.append(made(row, FUTEX_CALLS[kind][1], address))
            continue
        if call == SPIN and group is not None:
            group.add(row)
            continue
        close()
        if call == INDEX[JOIN]:
            where = row[3][0]
            found = next((c for c, state in reversed(async_states) if c.pid == task[0] and c.start <= row[1]
                          and state[0] <= where < state[0] + state[1]), None)
            if found is not None:
                row = made(row, ASYNC_WAIT, found.handle or 0)
            elif row[5] & FROM_LIBRARY:
                continue
        elif call == ONCE and not task_marked:
            row, task_marked = made(row, ASYNC_TASK, row[3][0]), True
        elif call == CV_WAIT:
            row = any_wait(row, out, internal)
        out.append(row)
    close()
    return np.array([tuple(row) for row in out], dtype=WORK) if out else np.zeros(0, dtype=WORK)


def made(row, symbol, address):
    """A call that the analysis makes of a recorded one: the same moments,
    the object's address, where the program made it."""
    return [INDEX[symbol], row[1], row[2], [address, 0, 0, row[3][3]], row[4], row[5], row[6], row[7]]


def any_wait(row, before, internal):
    """A std::condition_variable_any locks a mutex of its own, unlocks the
    lock it was given and waits with its own mutex: the wait is on the
    condition with the lock it was given."""
    cond, own = row[3][0], row[3][1]
    recent = [r for r in before[-3:] if CALL_SYMBOLS[r[0]] in TAKES | RELEASES]
    if len(recent) >= 2 and CALL_SYMBOLS[recent[-1][0]] in RELEASES and CALL_SYMBOLS[recent[-2][0]] in LOCKS \
            and before[-1] is recent[-1] and before[-2] is recent[-2]:
        taken, given = recent[-2][3][0], recent[-1][3][0]
        if taken != given and taken == own:
            internal.add(taken)
            symbol = CV_ANY_WAIT_RW if CALL_SYMBOLS[recent[-1][0]] in RW_UNLOCKS else CV_ANY_WAIT
            return [INDEX[symbol], row[1], row[2], [cond, given, 0, row[3][3]], row[4], row[5], row[6], row[7]]
    return row


class Group:
    """Consecutive futex waits of one thread on one word, and the spins
    between them: one wait on the object, which ends when the thread stops
    waiting again (libstdc++ wakes every waiter, and those that find no
    unit wait once more)."""

    def __init__(self, kind, address, first, before):
        self.kind, self.address = kind, address
        # The spin that came just before the first wait is part of it.
        start = first[1]
        while before and before[-1][0] == SPIN:
            start = before.pop()[1]
        self.start, self.rows = start, [first]

    def add(self, row):
        self.rows.append(row)

    def made(self):
        waits = [row for row in self.rows if row[0] == SYSCALL]
        last = max(waits, key=lambda row: row[2])
        found = made(last, FUTEX_CALLS[self.kind][0], self.address)
        found[1], found[2] = self.start, max(row[2] for row in waits)
        found[7] = any(row[7] for row in waits)
        return found
