"""Reads the recording library's files into the calls of each thread.

Each thread of each process image wrote its records into segments of 64-byte
records (recorder.c); each process image wrote who it is and its map of
modules. The records are read column by column with numpy into a table of
calls per thread, in the program's own time (Clock), with named fields; the
analysis reads them and changes none of them."""
import dataclasses, glob, os, re, struct
from dataclasses import dataclass, field

import numpy as np

from .calls import CALLS, FIRST_CALL, RECORDS, TABLE, THREAD_CREATE
from .errors import Failure
from .model import CALL_INDEX
from .symbols import Symbols, modules_from_maps

RECORD = np.dtype([("start", "<u8"), ("end", "<u8"), ("kind", "<u2"), ("flags", "<u2"), ("extra", "<u4"),
                   ("ret", "<u8"), ("args", "<u8", (4,))])
SEGMENT = struct.Struct("<8sQ6IQ16x")  # magic, records written, pid, tid, image, index, capacity, creation, self
TEXT_AT = 24  # where a text record's bytes begin
UNWOUND, ABANDONED, FROM_LIBRARY, STREAM_ERROR = 1, 2, 4, 8  # a record's flags
MOST_CALLS = 2500000  # read at most this many records: a longer run is cut in the middle
TEXT, BEGIN, END, DYING, EXITING, INSERTED = (RECORDS[kind] for kind in
                                              ("text", "begin", "end", "dying", "exiting", "inserted"))
IN_FLIGHT = -1  # the end of a call that had not returned
# A thread's calls: which (an index in model.CALL_SYMBOLS), start and end
# (IN_FLIGHT while it had not returned), the arguments that the table
# names (the fourth holding the caller's return address where they are
# fewer), the value returned, and the record's flags.
CALL = np.dtype([("call", np.int16), ("start", np.int64), ("end", np.int64), ("args", np.uint64, (4,)),
                 ("ret", np.int64), ("flags", np.uint16)])
# Where each call number stands in the table, for the columns' lookups.
TO_INDEX = np.full(FIRST_CALL + len(TABLE), -1, dtype=np.int16)
for _symbol, _number in ((s, FIRST_CALL + i) for i, s in enumerate(TABLE)):
    TO_INDEX[_number] = CALL_INDEX[_symbol]
STACKED = frozenset(CALL_INDEX[symbol] for symbol, call in CALLS.items() if call.stack)


@dataclass(frozen=True)
class Clock:
    """The program's time, in ns from its start, from the record's: the real
    monotonic clock, which runs N times slower than the program's under
    libfaketime's --speed N."""
    zero: int
    speed: float = 1

    def program(self, real):
        return int((real - self.zero) * self.speed)

    def columns(self, real):
        """The same, for a column of the record's times."""
        return ((real.astype(np.int64) - self.zero) * self.speed).astype(np.int64)


@dataclass(frozen=True)
class Image:
    """A process, or a program that a process exec'd: its number, pid, its
    parent, when it began, the program's path and its map of modules."""
    number: int
    pid: int
    parent: int
    start: int
    program: str
    maps: tuple


@dataclass
class Thread:
    """A thread's records: its calls (CALL), the text that followed some of
    them and the stacks that some kept ({row: bytes}, {row: (addresses)}),
    its creation's number in its process (0 for a first thread, or one the
    library did not see begin), its pthread_t, and when it began and ended
    (None where nothing said so)."""
    pid: int
    tid: int
    calls: np.ndarray
    texts: dict = field(default_factory=dict)
    stacks: dict = field(default_factory=dict)
    creation: int = 0
    self: int = 0
    began: int | None = None
    ended: int | None = None


@dataclass(frozen=True)
class Creation:
    """A thread's creation: the process, the creating thread and the row of
    its call, the creation's number, where it wrote the handle, the handle,
    the routine and its argument, what it returned, when it began and
    ended, the memory at the argument and at the
    addresses found there ({address: bytes}), and the new thread's id and
    when it began (None if it did not)."""
    pid: int
    creator: int
    row: int
    sequence: int
    where: int
    handle: int
    routine: int
    arg: int
    result: int | None
    start: int
    end: int
    memory: dict
    tid: int | None = None
    began: int | None = None


@dataclass(frozen=True)
class Inserted:
    """Bytes that a C++ stream with a buffer of its own kept: the thread,
    its number of the run's sequence, the buffer, when, the bytes (their
    beginning) and their length."""
    task: tuple
    sequence: int
    buffer: int
    at: int
    text: bytes
    length: int


@dataclass
class Record:
    """A run as the library wrote it: each thread's calls ({(pid, tid):
    Thread}), the process images in order, the creations, the bytes kept by
    C++ streams' own buffers, each process's end ({pid: (ns, "dying" or
    "exiting", the signal or status)}), the clock, the symbols, and the part
    of a long run left out ((from, to, how many records the run holds), or
    None)."""
    threads: dict
    images: list
    creations: list
    inserted: list
    endings: dict
    clock: Clock
    symbols: Symbols
    cut: tuple | None = None


def read(folder, speed=None, program=None, progress=None):
    """The record in folder, in the program's own time."""
    images = read_images(folder)
    if not images:
        raise Failure("the program ran, but the tool's library recorded nothing of it: was it loaded?")
    clock = Clock(min(image.start for image in images.values()), speed or 1)
    buffers = find_buffers(folder)
    cut = choose_cut(buffers)
    threads, creations, inserted, endings = {}, [], [], {}
    for number, ((image, tid), segments) in enumerate(sorted(buffers.items())):
        if progress:
            progress(f"reading the record: thread {number + 1} of {len(buffers)}")
        pid = images[image].pid if image in images else segments[0][1]["pid"]
        thread = read_thread(pid, tid, load(segments, cut), clock, segments[0][1], creations, inserted, endings)
        threads[(pid, tid)] = merged(threads.get((pid, tid)), thread)
    by_number = {(c.pid, c.sequence): c for c in creations}
    for (pid, tid), thread in threads.items():
        found = by_number.get((pid, thread.creation)) if thread.creation else None
        if found is not None:
            by_number[(pid, thread.creation)] = dataclasses.replace(found, tid=tid, began=thread.began,
                                                                    handle=thread.self or found.handle)
    ordered = [Image(i.number, i.pid, i.parent, clock.program(i.start), i.program, i.maps)
               for _, i in sorted(images.items())]
    modules = set()
    for image in ordered:
        modules.update(modules_from_maps(image.maps))
    stack = next((tuple(int(x, 16) for x in line.split()[0].split("-")) for line in ordered[0].maps
                  if line.endswith("[stack]")), None)
    symbols = Symbols(sorted(modules), program or ordered[0].program, stack)
    if cut is not None:
        cut = (clock.program(cut[0]), clock.program(cut[1]), cut[2])
    return Record(threads, ordered, sorted(by_number.values(), key=lambda c: (c.pid, c.sequence)),
                  sorted(inserted, key=lambda piece: piece.sequence), endings, clock, symbols, cut)


def merged(before, after):
    """A thread's records across an exec, which keeps its process and main thread."""
    if before is None:
        return after
    before.calls = np.concatenate([before.calls, after.calls])
    offset = len(before.calls) - len(after.calls)
    before.texts.update({offset + row: text for row, text in after.texts.items()})
    before.stacks.update({offset + row: stack for row, stack in after.stacks.items()})
    before.ended = after.ended
    return before


def read_images(folder):
    """{number: Image} from the files that each process image wrote (its
    start on the real clock)."""
    images = {}
    for path in glob.glob(os.path.join(folder, "i*.maps")):
        number = re.fullmatch(r"i(\d+)\.maps", os.path.basename(path))
        if not number:
            continue
        with open(path, errors="surrogateescape") as text:
            lines = text.read().splitlines()
        head = lines[0].split(" ", 4) if lines else []
        if len(head) < 4 or head[0] != "process":
            continue
        images[int(number[1])] = Image(int(number[1]), int(head[1]), int(head[2]), int(head[3]),
                                       head[4] if len(head) > 4 else "", tuple(lines[1:]))
    return images


def find_buffers(folder):
    """{(image, tid): [(path, header)]} of each thread's segments, in order;
    a header as a dict of its fields."""
    found = {}
    for path in glob.glob(os.path.join(folder, "i*-*-*.rec")):
        try:
            with open(path, "rb") as segment:
                head = segment.read(SEGMENT.size)
        except OSError:
            continue
        if len(head) < SEGMENT.size:
            continue
        magic, count, pid, tid, image, index, capacity, creation, self = SEGMENT.unpack(head)
        if magic != b"TLREC01\0":
            continue
        header = {"count": min(count, capacity), "pid": pid, "index": index, "creation": creation, "self": self}
        found.setdefault((image, tid), []).append((path, header))
    for segments in found.values():
        segments.sort(key=lambda segment: segment[1]["index"])
    return found


def records_of(path, header):
    """A segment's records, mapped from its file, not read."""
    if not header["count"]:
        return np.zeros(0, dtype=RECORD)
    return np.memmap(path, dtype=RECORD, mode="r", offset=SEGMENT.size, shape=(header["count"],))


def choose_cut(buffers):
    """Where a run of more than MOST_CALLS records is cut, on the real
    clock: (the end of its first part, the start of its last, how many
    records it holds), each part about MOST_CALLS / 2 records, or None.
    A thread's records begin in order, so where a moment falls in each
    thread is found by bisection, and only a few pages of each are read."""
    total = sum(header["count"] for segments in buffers.values() for _, header in segments)
    if total <= MOST_CALLS:
        return None
    columns = [records_of(path, header) for segments in buffers.values() for path, header in segments]
    columns = [column for column in columns if len(column)]

    def before(moment):  # how many records begin before the moment
        return sum(bisect_start(column, moment) for column in columns)

    low = min(int(column[0]["start"]) for column in columns)
    high = max(int(column[-1]["start"]) for column in columns) + 1
    half = MOST_CALLS // 2
    first = search(low, high, lambda moment: before(moment) >= half)
    last = search(low, high, lambda moment: total - before(moment) <= half)
    return first, max(first, last), total


def search(low, high, reached):
    """The least moment in [low, high] at which reached() holds, it holding from there on."""
    while low < high:
        middle = (low + high) // 2
        if reached(middle):
            high = middle
        else:
            low = middle + 1
    return low


def bisect_start(column, moment):
    """How many of a segment's records begin before the moment."""
    low, high = 0, len(column)
    while low < high:
        middle = (low + high) // 2
        if int(column[middle]["start"]) < moment:
            low = middle + 1
        else:
            high = middle
    return low


def load(segments, cut):
    """A thread's records, in memory: all of them, or those outside the cut."""
    parts = []
    for path, header in segments:
        column = records_of(path, header)
        if cut is None:
            parts.append(np.array(column))
            continue
        first, last = bisect_start(column, cut[0]), bisect_start(column, cut[1])
        parts += [np.array(column[:first]), np.array(column[last:])]
    return np.concatenate(parts) if parts else np.zeros(0, dtype=RECORD)


def read_thread(pid, tid, records, clock, header, creations, inserted, endings):
    """A thread's calls, and its moments: its beginning and end, and its
    process's end; its creations and the bytes its streams kept go to the
    run's lists."""
    thread = Thread(pid, tid, np.zeros(0, dtype=CALL), creation=header["creation"], self=header["self"])
    if not len(records):
        return thread
    kinds = records["kind"]
    texts = texts_of(records, kinds)
    starts = clock.columns(records["start"])
    is_call = kinds >= FIRST_CALL
    rows = np.nonzero(is_call)[0]
    calls = np.zeros(len(rows), dtype=CALL)
    calls["call"] = TO_INDEX[np.minimum(kinds[rows], len(TO_INDEX) - 1)]
    calls["start"] = starts[rows]
    ends = records["end"][rows]
    calls["end"] = np.where(ends == 0, IN_FLIGHT, np.maximum(clock.columns(ends), starts[rows]))
    calls["args"] = records["args"][rows]
    calls["ret"] = records["ret"][rows].view(np.int64)
    calls["flags"] = records["flags"][rows]
    valid = calls["call"] >= 0
    calls, rows = calls[valid], rows[valid]
    thread.calls = calls
    for row, text in texts.items():
        i = int(np.searchsorted(rows, row))
        if i < len(rows) and rows[i] == row:
            if int(calls["call"][i]) in STACKED:
                thread.stacks[i] = struct.unpack(f"<{len(text) // 8}Q", text[:len(text) // 8 * 8])
            else:
                thread.texts[i] = text
    create = CALL_INDEX[THREAD_CREATE]
    for i in np.nonzero(calls["call"] == create)[0].tolist():
        creations.append(creation(pid, tid, i, calls[i], thread.texts.get(i, b"")))
    for row in np.nonzero(~is_call)[0].tolist():
        kind, args, at = int(kinds[row]), records["args"][row], int(starts[row])
        if kind == BEGIN:
            thread.creation, thread.self, thread.began = int(args[0]), int(args[1]), at
        elif kind == END:
            thread.ended = at
        elif kind in (DYING, EXITING):
            endings.setdefault(pid, (at, "dying" if kind == DYING else "exiting", int(args[0])))
        elif kind == INSERTED:
            inserted.append(Inserted((pid, tid), int(args[2]), int(args[0]), at, texts.get(row, b""),
                                     int(args[3])))
    return thread


def texts_of(records, kinds):
    """{index of a record: the bytes in the text records that follow it}."""
    held = np.nonzero(kinds == TEXT)[0]
    if not len(held):
        return {}
    raw = records.view(np.uint8).reshape(len(records), RECORD.itemsize)
    extra = records["extra"]
    found, owner = {}, None
    for i in held.tolist():
        if owner is None or i != owner[1]:
            start = i
            while start > 0 and kinds[start - 1] == TEXT:
                start -= 1
            owner = [start - 1, i, []]
            found[start - 1] = owner[2]
        owner[2].append(raw[i, TEXT_AT:TEXT_AT + int(extra[i])].tobytes())
        owner[1] = i + 1
    return {index: b"".join(parts) for index, parts in found.items() if index >= 0}


def creation(pid, tid, row, call, text):
    """A Creation from a pthread_create's record; the thread it made is
    filled in from that thread's beginning."""
    where, routine, arg, number = (int(value) for value in call["args"])
    ended = int(call["end"])
    return Creation(pid, tid, row, number, where, 0, routine, arg, int(call["ret"]) if ended >= 0 else None,
                    int(call["start"]), ended, memory_of(text))


def memory_of(text):
    """{address: bytes} from the memory that follows a creation's record."""
    memory, at = {}, 0
    while at + 16 <= len(text):
        address, length = struct.unpack_from("<QQ", text, at)
        memory[address] = text[at + 16:at + 16 + length]
        at += 16 + ((length + 7) & ~7)
    return memory
