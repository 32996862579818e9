"""Which thread wrote each line that reached the terminal.

A line's text is what the terminal received. The recording library wrote
down the bytes (their beginning, and their length) that each call handed to
a stream or a descriptor, with a number from the run's sequence taken under
the stream's lock: a stream's bytes reach the terminal in the order of their
numbers. So the terminal's bytes are read in order, and at each place the
next call of each stream whose bytes are there takes them; each line goes
to the thread that wrote its line feed. No text is matched to a format.

A C++ stream that keeps a buffer of its own (std::cout after
sync_with_stdio(false), std::clog) is written out by whichever thread
flushes it: the bytes that each `<<` left in the buffer were written down
too, and the flushed text's lines go to the threads that put them there.

Bytes that no recorded call handed over (a putchar that the compiler
inlined, glibc's own messages) belong to the write whose line they end, if
any; other lines have no writer, and are placed by untraced()."""
import bisect
from collections import deque
from itertools import accumulate

import numpy as np

from .calls import REDIRECTS, TABLE, WRITES
from .model import CALL_SYMBOLS, marks
from .read import FROM_LIBRARY, STREAM_ERROR

STREAMS = {1: "stdout", 2: "stderr"}
LOOK_AHEAD = 8  # calls of a stream looked past, where the first did not reach the terminal
WINDOW = 64  # writes to a descriptor tried at one place
WRITE_CALLS, REDIRECT_CALLS = marks(WRITES), marks(REDIRECTS)
STATE_CALLS = marks(symbol for symbol, call in TABLE.items() if call.state)


class Write:
    """A call that handed bytes over: its thread, when it ended, its flags
    and value, its number in the run's sequence, its bytes' beginning, and
    how many reached their stream."""
    __slots__ = ("task", "end", "name", "flags", "ret", "sequence", "text", "length", "taken")

    def __init__(self, task, work, row):
        rows = work.rows
        self.task, self.end, self.name = task, int(rows["end"][row]), CALL_SYMBOLS[rows["call"][row]]
        self.flags, self.ret = int(rows["flags"][row]), int(rows["ret"][row])
        self.sequence, self.text = int(rows["args"][row, 2]), work.text(row)
        length = int(rows["args"][row, 3])
        if TABLE[self.name].returns == "bytes" and 0 <= self.ret < length:
            length = self.ret  # a write that wrote part of its bytes
        self.length = length
        self.taken = False  # its bytes were found on the terminal

    def at(self, text, position):
        """Whether this write's bytes are in text at position."""
        return text.startswith(self.text[:len(text) - position], position) if self.text else False

    def failed(self):
        """A write that says it wrote nothing: its stream was closed, or full."""
        nothing = TABLE[self.name].returns == "items" and self.ret == 0  # fwrite: no item written
        return bool(self.flags & STREAM_ERROR) or self.ret < 0 or nothing


def writes_to_terminal(prepared):
    """{(pid, stream): [Write]} of the calls that handed bytes to standard
    output or error, each stream's in the order of their sequence; the
    writes to a descriptor apart, under (pid, None)."""
    found = {}
    for task, work in prepared.items():
        rows = work.rows
        chosen = WRITE_CALLS[rows["call"]] & ~rows["unfinished"] & np.isin(rows["args"][:, 1], (1, 2)) \
            & (rows["args"][:, 3] > 0)
        for row in np.nonzero(chosen)[0].tolist():
            found.setdefault((task[0], int(rows["args"][row, 0]) or None), []).append(Write(task, work, row))
    for writes in found.values():
        writes.sort(key=lambda write: write.sequence)
    return found


def redirections(prepared):
    """{(pid, stream): when the process first pointed standard output or
    error elsewhere (freopen, dup2, close)}: what it wrote there since may
    not reach the terminal."""
    found = {}
    for (pid, _), work in prepared.items():
        rows = work.rows
        for row in np.nonzero(REDIRECT_CALLS[rows["call"]] & np.isin(rows["args"][:, 0], (1, 2)))[0]:
            key = (pid, STREAMS[int(rows["args"][row, 0])])
            found[key] = min(found.get(key, int(rows["start"][row])), int(rows["start"][row]))
    return found


class Reading:
    """The terminal's bytes, read from the start: who owns each line feed."""

    def __init__(self, text, streams, inserted):
        self.text, self.position = text, 0
        self.queues = [deque(writes) for key, writes in streams.items() if key[1] is not None]
        self.loose = deque(sorted((w for key, writes in streams.items() if key[1] is None for w in writes),
                                  key=lambda write: write.sequence))
        self.owners = []  # (where a line feed is, task, moment)
        self.last = None  # the thread, moment and end of the write just read
        self.pieces = {}  # each process's pieces of its C++ streams' own buffers, by buffer, in order
        for piece in inserted:
            self.pieces.setdefault(piece.task[0], {}).setdefault(piece.buffer, deque()).append(piece)

    def candidates(self, wide):
        """The writes that may come next, each with its queue and how many
        writes of its stream it passes over: the next of each stream and of
        the writes to a descriptor; or, wide, a few after them too, where
        the next never reached the terminal."""
        for queue in self.queues:
            for depth in range(min(LOOK_AHEAD if wide else 1, len(queue))):
                yield queue[depth], queue, depth
        for depth in range(min(WINDOW if wide else 1, len(self.loose))):
            yield self.loose[depth], self.loose, None

    def step(self):
        """Reads the write at the current place, or the untraced bytes up to
        the next one; False at the end."""
        text, position = self.text, self.position
        if position >= len(text):
            return False
        for wide in (False, True):
            found = [(depth or 0, write.sequence, write, queue, depth)
                     for write, queue, depth in self.candidates(wide) if write.at(text, position)]
            if found:
                _, _, write, queue, depth = min(found, key=lambda f: f[:2])
                if depth is None:
                    queue.remove(write)
                else:
                    for _ in range(depth + 1):
                        queue.popleft()
                self.take(write)
                return True
        # Bytes that no recorded call wrote: up to where a write's bytes are
        # found in the line, or through its line feed.
        newline = text.find(b"\n", position)
        end = len(text) if newline < 0 else newline + 1
        nearest = end
        for write, _, _ in self.candidates(True):
            found_at = text.find(write.text[:max(1, min(len(write.text), end - position))], position + 1, end)
            if 0 <= found_at < nearest:
                nearest = found_at
        if nearest == end and newline >= 0:
            # A line feed that no recorded call wrote (a putchar that the
            # compiler inlined) ends the line of the write before it, if any.
            last = self.last if self.last is not None and self.last[2] == position else (None, None, None)
            self.owners.append((newline, last[0], last[1]))
        self.position = nearest
        self.last = None
        return True

    def take(self, write):
        """The write's bytes, at the current place: its line feeds are its
        thread's, or, for a library's write of a C++ stream's own buffer, the
        threads' whose `<<` put them there."""
        start, end = self.position, min(len(self.text), self.position + write.length)
        write.taken = True
        at = start
        if write.flags & FROM_LIBRARY and TABLE[write.name].returns == "bytes":
            at = self.from_buffers(write, start, end)
        newline = self.text.find(b"\n", at, end)
        while newline >= 0:
            self.owners.append((newline, write.task, write.end))
            newline = self.text.find(b"\n", newline + 1, end)
        self.position = end
        self.last = (write.task, write.end, end)

    def from_buffers(self, write, start, end):
        """The lines of a C++ stream's buffer that a library's write flushed,
        to their writers; returns where the bytes of no known piece begin."""
        buffers = self.pieces.get(write.task[0], {})
        at = start
        while at < end:
            source = next((pieces for pieces in buffers.values() if pieces and pieces[0].sequence < write.sequence
                           and pieces[0].length and self.text.startswith(pieces[0].text[:end - at], at)), None)
            if source is None:
                break
            piece = source.popleft()
            stop = min(end, at + piece.length)
            newline = self.text.find(b"\n", at, stop)
            while newline >= 0:
                self.owners.append((newline, piece.task, piece.at))
                newline = self.text.find(b"\n", newline + 1, stop)
            at = stop
        return at


def attribute(prepared, inserted, text):
    """[(task, moment, line text, where its end is in text)] for each line of
    text (bytes that reached the terminal): task None for a line that no
    recorded call wrote; and the writes to standard output or error that
    were not found in it and did not fail, [(task, when it began... ended,
    its stream)]."""
    streams = writes_to_terminal(prepared)
    reading = Reading(text, streams, inserted)
    while reading.step():
        pass
    lines, start = [], 0
    for newline, task, moment in reading.owners:
        lines.append((task, moment, text[start:newline].decode(errors="backslashreplace"), newline))
        start = newline + 1
    if start < len(text):  # a last line without a line feed: the writer of its end
        owner = next(((task, moment) for newline, task, moment in reversed(reading.owners)), (None, None))
        lines.append((*owner, text[start:].decode(errors="backslashreplace"), len(text) - 1))
    lost = [write for writes in streams.values() for write in writes
            if not write.taken and not write.failed() and write.length]
    return lines, lost


def untraced(lines, prepared, arrivals, clock, last):
    """Places each line that no recorded call wrote, at the moment it
    reached the terminal, on the thread that last ended a call before then
    and was not then blocked (a thread in a join or a sleep writes nothing;
    the words of std::terminate come from the thread that threw, not from
    main in its join): [(ns, task, text)] for the lines of attribute(). The
    text came between the lines around it, so the moment lies between their
    writes (this tool reads the terminal a little late); with no call before
    it, the line goes to the writer of the next one. last: the run's end."""
    if all(task is not None for task, _, _, _ in lines):
        return [(moment, task, text) for task, moment, text, _ in lines]
    ends = [offset for offset, _ in arrivals]
    latest = []
    for task, work in prepared.items():
        rows = work.rows
        chosen = WRITE_CALLS[rows["call"]]
        if len(rows):
            chosen[-1] = True
        latest += [(end, task) for end in rows["end"][chosen].tolist()]
    latest.sort()
    times = [end for end, _ in latest]
    waits = {}  # each task's blocking calls: their starts, in order, and the latest end of those begun so far

    def blocked(task, moment):
        if task not in waits:  # only for the tasks that may have written such a line
            rows = prepared[task].rows
            spanning = STATE_CALLS[rows["call"]]
            spans = sorted(zip(rows["start"][spanning].tolist(), rows["end"][spanning].tolist()))
            waits[task] = ([start for start, _ in spans], list(accumulate((end for _, end in spans), max)))
        starts, reach = waits[task]
        k = bisect.bisect_right(starts, moment) - 1
        return k >= 0 and reach[k] >= moment
    following = [None] * len(lines)  # the next line that a recorded call wrote
    upcoming = None
    for i in range(len(lines) - 1, -1, -1):
        following[i] = upcoming
        if lines[i][0] is not None:
            upcoming = lines[i]
    placed, before = [], 0
    for i, (task, moment, text, at) in enumerate(lines):
        if task is not None or not arrivals:
            placed.append((moment, task, text))
            before = moment if moment is not None else before
            continue
        moment = clock.program(arrivals[min(bisect.bisect_left(ends, at + 1), len(arrivals) - 1)][1])
        after = following[i]
        if after is not None:
            moment = min(moment, after[1])
        moment = max(min(moment, last), before)  # nothing is written after the run's end
        j = bisect.bisect_right(times, moment) - 1
        k = next((k for k in range(j, max(j - WINDOW, -1), -1) if not blocked(latest[k][1], moment)), j)
        writer = latest[k][1] if k >= 0 else after[0] if after is not None else None
        placed.append((moment, writer, text))
    return placed
