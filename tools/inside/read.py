"""Reads the recording library's files into the calls of each thread.

Each thread of each process image wrote its records into segments of 64-byte
records (recorder.c); each process image wrote who it is and its map of
modules. The records are read column by column with numpy, and each call
becomes a Call with named fields, in the program's own time: under
libfaketime the records' clock runs at the real pace, the program's N
times as fast."""
import glob, os, re, struct
from collections import namedtuple

import numpy as np

from .calls import CALLS, RECORDS, SYMBOLS
from .symbols import Symbols, modules_from_maps

RECORD = np.dtype([("start", "<u8"), ("end", "<u8"), ("kind", "<u2"), ("flags", "<u2"), ("extra", "<u4"),
                   ("ret", "<u8"), ("args", "<u8", (4,))])
SEGMENT = struct.Struct("<8sQ6IQ16x")  # magic, records written, pid, tid, image, index, capacity, creation, self
TEXT_AT, TEXT_PER_RECORD = 24, 40  # where a text record's bytes begin, and how many it holds
UNWOUND, ABANDONED, FROM_LIBRARY, STREAM_ERROR = 1, 2, 4, 8  # a record's flags
MOST_CALLS = 2500000  # read at most this many records: a longer run is cut in the middle
TEXT, BEGIN, END, DYING, EXITING, INSERTED = (RECORDS[kind] for kind in
                                              ("text", "begin", "end", "dying", "exiting", "inserted"))

# A call: its symbol in the table of calls, its start and end (ns of the
# program's time; end None while it was in flight), its arguments as the
# table names them, the value it returned (None in flight), its flags
# (UNWOUND...), the text that followed it (bytes, or None), and the return
# address of its caller: where the program made it (None where the record
# has no room for it); and for a wait whose object may have no name of its
# own, the return addresses of the callers outside the caller, outward.
Call = namedtuple("Call", "name start end args ret flags text caller stack")
NAME, START, END_AT, RAW, RET = range(5)
# A process image: a process, or a program that a process exec'd: its pid,
# parent, when it began (program ns), the program's path, and its map of
# modules (lines of /proc/PID/maps).
Image = namedtuple("Image", "number pid parent start program maps")
# A thread's life: its creation's number in its process (0 for a process's
# first thread, or one the library did not see begin), its pthread_t, when
# it began and ended (program ns, or None where nothing said so).
Life = namedtuple("Life", "creation self began ended")
# A thread's creation: the process, the creating thread, the creation's
# number, where it wrote the handle, the handle, its routine and argument,
# what it returned, when it began and ended, the memory at the argument and
# at the addresses found there ({address: bytes}), the new thread's id and
# when it began (None if it did not).
Creation = namedtuple("Creation", "pid creator sequence where handle routine arg result start end memory tid began")
# Bytes that a C++ stream with a buffer of its own kept: the thread, its
# number of the run's sequence, the buffer, when, the bytes kept (their
# beginning) and their length.
Inserted = namedtuple("Inserted", "task sequence buffer at text length")
# calls: {(pid, tid): [Call]} in order of start; images: [Image] in order;
# lives: {(pid, tid): Life}; creations: [Creation]; inserted: [Inserted];
# endings: {pid: (ns, "dying" or "exiting", the signal or status)}; zero:
# the program's start on the real monotonic clock; cut: (from, to, how many
# records the run holds) of the part of a long run left out, or None.
Record = namedtuple("Record", "calls images lives creations inserted endings zero speed symbols cut")


class Failure(Exception):
    """The tool could not do its work; the message says why, in one line."""


def read(folder, speed=None, program=None, progress=None):
    """The record in the program's own time."""
    speed = speed or 1
    images = read_images(folder)
    if not images:
        raise Failure("the program ran, but the tool's library recorded nothing of it: was it loaded?")
    zero = min(image.start for image in images.values())
    buffers = find_buffers(folder)
    cut = choose_cut(buffers)
    calls, lives, creations, inserted, endings = {}, {}, [], [], {}
    for number, ((image, tid), segments) in enumerate(sorted(buffers.items())):
        if progress:
            progress(f"reading the record: thread {number + 1} of {len(buffers)}")
        pid = images[image].pid if image in images else segments[0][1]["pid"]
        task = (pid, tid)
        records = load(segments, cut)
        read_thread(task, records, zero, speed, calls.setdefault(task, []), lives, creations, inserted, endings)
    for task_calls in calls.values():
        task_calls.sort(key=lambda call: call.start)
    by_number = {(c.pid, c.sequence): c for c in creations}
    for task, life in lives.items():
        found = by_number.get((task[0], life.creation)) if life.creation else None
        if found is not None:
            by_number[(task[0], life.creation)] = found._replace(tid=task[1], began=life.began,
                                                                 handle=life.self or found.handle)
    creations = sorted(by_number.values(), key=lambda c: (c.pid, c.sequence))
    ordered = [image._replace(start=int((image.start - zero) * speed)) for _, image in sorted(images.items())]
    modules, stack = set(), None
    for image in ordered:
        modules.update(modules_from_maps(image.maps))
    first = ordered[0]
    stack = next((tuple(int(x, 16) for x in line.split()[0].split("-")) for line in first.maps
                  if line.endswith("[stack]")), None)
    symbols = Symbols(sorted(modules), program or first.program, stack)
    if cut is not None:
        cut = (int((cut[0] - zero) * speed), int((cut[1] - zero) * speed), cut[2])
    inserted.sort(key=lambda piece: piece.sequence)
    return Record(calls, ordered, lives, creations, inserted, endings, zero, speed, symbols, cut)


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
                                       head[4] if len(head) > 4 else "", lines[1:])
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
    return (first, max(first, last), total)


def search(low, high, reached):
    """The least moment in [low, high] at which reached() holds, it holding
    from there on."""
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


def read_thread(task, records, zero, speed, task_calls, lives, creations, inserted, endings):
    """The calls and moments of one thread's records."""
    if not len(records):
        lives.setdefault(task, Life(0, None, None, None))
        return
    kinds = records["kind"]
    texts = texts_of(records, kinds)
    starts = ((records["start"].astype(np.int64) - zero) * speed).astype(np.int64).tolist()
    ends_raw = records["end"]
    ends = ((ends_raw.astype(np.int64) - zero) * speed).astype(np.int64).tolist()
    open_calls = (ends_raw == 0).tolist()
    rets = records["ret"].tolist()
    flags = records["flags"].tolist()
    args = records["args"].tolist()
    shared = {}  # one tuple for each distinct list of arguments
    life = lives.get(task, Life(0, None, None, None))
    for i in np.nonzero(kinds != TEXT)[0].tolist():
        kind = int(kinds[i])
        name = SYMBOLS.get(kind)
        if name is not None:
            count = len(CALLS[name].args)
            arguments = tuple(args[i][:count])
            arguments = shared.setdefault(arguments, arguments)
            caller = args[i][3] if count < 4 else rets[i] if open_calls[i] else None
            text, stack = texts.get(i), ()
            if text is not None and CALLS[name].stack:
                text, stack = None, struct.unpack(f"<{len(text) // 8}Q", text[:len(text) // 8 * 8])
            if open_calls[i]:
                call = Call(name, starts[i], None, arguments, None, flags[i], text, caller, stack)
            else:
                call = Call(name, starts[i], max(starts[i], ends[i]), arguments, signed(rets[i]), flags[i], text,
                            caller, stack)
            if name == "pthread_create":
                creations.append(creation(task, call))
            if flags[i] & FROM_LIBRARY and name != "_ZNSt6thread4joinEv" and CALLS[name].does != "text":
                continue  # made inside a library: a note of a creation, not a call
            task_calls.append(call)
        elif kind == BEGIN:
            life = life._replace(creation=args[i][0], self=args[i][1], began=starts[i])
        elif kind == END:
            life = life._replace(ended=starts[i])
        elif kind in (DYING, EXITING):
            endings.setdefault(task[0], (starts[i], "dying" if kind == DYING else "exiting", args[i][0]))
        elif kind == INSERTED:
            inserted.append(Inserted(task, args[i][2], args[i][0], starts[i], texts.get(i, b""), args[i][3]))
    lives[task] = life


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


def signed(value):
    """A 64-bit register as the signed number it holds."""
    return value - (1 << 64) if value >> 63 else value


def creation(task, call):
    """A Creation from a pthread_create's record; the thread it made is
    filled in from that thread's beginning."""
    where, routine, arg, number = call.args
    return Creation(task[0], task[1], number, where, None, routine, arg, call.ret if call.end is not None else None,
                    call.start, call.end, memory_of(call.text or b""), None, None)


def memory_of(text):
    """{address: bytes} from the memory that follows a creation's record."""
    memory, at = {}, 0
    while at + 16 <= len(text):
        address, length = struct.unpack_from("<QQ", text, at)
        memory[address] = text[at + 16:at + 16 + length]
        at += 16 + ((length + 7) & ~7)
    return memory
