"""Writes the run in the Trace Event Format, for Perfetto or chrome://tracing,
with its documented fields only: a track per thread named by its role, with
its life as a slice around its calls, a complete event per call with what
it was about, an instant per written line, a counter per semaphore, async
events for each mutex's holder, and a flow from each call that ended a
wait to the wait.

A run of a million calls makes a few million events: the slices of each
track that are about the same things share one text, into which their
times are written column by column, as fixed-width numbers padded with
the spaces that JSON allows before a value."""
import json

import numpy as np

from .calls import ASYNC_TASK, COND_WAITS
from .model import CALL_INDEX, LONGJMP, NO_OBJECT, UNWOUND, Run, column_of, groups, marks

FLOW_INSIDE_NS = 500  # how far inside its call's slice each end of a flow lies, at most
CHUNK = 20000  # events made and written at once: their buffer is used again, its pages already there
ENDED_BY = {UNWOUND: "unwinding", LONGJMP: "longjmp"}  # an exception, a cancellation or pthread_exit; a longjmp
COND_WAIT_CALLS = marks(COND_WAITS)
TASK = CALL_INDEX[ASYNC_TASK]


def us(ns):
    return f"{ns / 1000:.3f}"


THOUSAND = np.array([list(f"{i:03d}".encode()) for i in range(1000)], dtype=np.uint8)  # each 0 to 999, three digits
POWERS = 10 ** np.arange(1, 19, dtype=np.int64)
SPACE, MINUS, POINT = b" -."


def number_width(values, places):
    """The width of a column of numbers() of the values: a sign, the digits, a point."""
    digits = max(places + 1, len(str(int(np.abs(values).max()))) if len(values) else 1)
    return 1 + digits + (1 if places else 0)


def numbers(into, values, places):
    """Writes the values into a matrix of ASCII bytes, a row a value, as
    decimals with places digits after the point (a value in thousandths),
    right-aligned, with blanks and a minus sign before them."""
    magnitude = np.abs(values)
    digits = into.shape[1] - 1 - (1 if places else 0)
    blocks = -(-digits // 3)
    found = np.empty((len(values), 3 * blocks), dtype=np.uint8)
    rest = magnitude
    for block in range(blocks - 1, -1, -1):  # three digits at a time, from the right
        found[:, 3 * block:3 * block + 3] = THOUSAND[rest % 1000]
        rest = rest // 1000
    found = found[:, 3 * blocks - digits:]
    whole = into[:, :1 + digits - places]
    whole[:, 0] = SPACE
    whole[:, 1:] = found[:, :digits - places]
    if places:
        into[:, -places - 1] = POINT
        into[:, -places:] = found[:, digits - places:]
    # Blanks before the first digit that counts (the units digit always counts), and a minus sign before it.
    counted = np.maximum(np.searchsorted(POWERS, magnitude, side="right") + 1, places + 1) - places
    first = whole.shape[1] - counted
    np.copyto(whole, SPACE, where=np.arange(whole.shape[1]) < first[:, None])
    negative = np.nonzero(values < 0)[0]
    whole[negative, first[negative] - 1] = MINUS


def events(parts):
    """Events that differ only in numbers, joined as the trace lists them:
    parts are texts, and (values, places) for the columns of numbers()."""
    rows = len(next(part[0] for part in parts if not isinstance(part, str)))
    parts = [part.encode() if isinstance(part, str) else (np.asarray(part[0], dtype=np.int64), part[1])
             for part in parts] + [b",\n"]
    widths = [len(part) if isinstance(part, bytes) else number_width(*part) for part in parts]
    out = np.empty((rows, sum(widths)), dtype=np.uint8)
    at = 0
    for part, width in zip(parts, widths):
        if isinstance(part, bytes):
            out[:, at:at + width] = np.frombuffer(part, dtype=np.uint8)
        else:
            numbers(out[:, at:at + width], *part)
        at += width
    return memoryview(out.reshape(-1))[:-2]


def about(run: Run, track, row):
    """The args of a slice's event: what its call was about."""
    slices = run.tracks[track].slices
    call, first, second, detail = (int(slices[name][row]) for name in ("call", "first", "second", "detail"))
    found = {}
    if detail >= 0:
        found = details(run.details[detail])
    elif first != NO_OBJECT:
        found[run.objects[first].kind] = run.objects[first].name
        if COND_WAIT_CALLS[call] and second != NO_OBJECT:
            found[run.objects[second].kind] = run.objects[second].name
    if slices["unfinished"][row]:
        found["unfinished"] = True
    if slices["ended"][row] in ENDED_BY:
        found["ended by"] = ENDED_BY[int(slices["ended"][row])]
    return found


def details(detail):
    found = {}
    if detail.future:
        found["future"] = detail.future
    if detail.thread:
        found["thread"] = detail.thread
    if detail.process:
        found["process"] = detail.process
    if detail.seconds is not None:
        found["seconds"] = detail.seconds
    return found


def write(path, run: Run):
    """Writes the run's trace to path."""
    tracks = run.tracks
    main_pid = tracks[0].pid if tracks else 0
    with open(path, "wb") as out:
        out.write(b'{"displayTimeUnit": "ms", "traceEvents": [\n')
        first = True

        def emit(text):
            nonlocal first
            if not first:
                out.write(b",\n")
            out.write(text.encode() if isinstance(text, str) else text)
            first = False

        for track in tracks:
            if track.leads:
                process = run.program if track.role == "main" else f"{run.program} ({track.role})"
                emit(meta("process_name", track, {"name": process}))
                emit(meta("process_sort_index", track, {"sort_index": track.index}))
            emit(meta("thread_name", track, {"name": track.role}))
            emit(meta("thread_sort_index", track, {"sort_index": track.index}))
        for track in tracks:  # each thread's life, from its creation to its end, around its calls
            life = json.dumps(track.role)
            emit(f'{{"name": {life}, "cat": "life", "ph": "B", "ts": {us(track.began)}, "pid": {track.pid}, '
                 f'"tid": {track.tid}}},\n{{"name": {life}, "cat": "life", "ph": "E", "ts": {us(track.ended)}, '
                 f'"pid": {track.pid}, "tid": {track.tid}}}')
        for track in tracks:
            write_slices(emit, run, track)
        for line in run.lines:
            if line.track is None:
                emit(json.dumps({"name": line.text, "ph": "i", "s": "g", "ts": float(us(line.at)), "pid": main_pid,
                                 "tid": main_pid, "args": {"writer": "not traced"}}))
            else:
                track = tracks[line.track]
                emit(json.dumps({"name": line.text, "ph": "i", "s": "t", "ts": float(us(line.at)), "pid": track.pid,
                                 "tid": track.tid}))
        for obj, series in run.values.items():
            name = '{"name": ' + json.dumps(run.objects[obj].name) + ', "ph": "C", "ts":'
            for at in range(0, len(series), CHUNK):
                part = series[at:at + CHUNK]
                emit(events([name, (part["at"], 3), f', "pid": {main_pid}, "args": {{"value":',
                             (part["value"], 0), "}}"]))
        for number, (obj, holds) in enumerate(run.holds.items(), 1):
            write_holds(emit, run, number, obj, holds)
        write_flows(emit, run)
        if run.cut:
            emit(json.dumps({"name": "left out from here", "ph": "i", "s": "g", "ts": float(us(run.cut.start)),
                             "pid": main_pid, "tid": main_pid}))
            emit(json.dumps({"name": "left out until here", "ph": "i", "s": "g", "ts": float(us(run.cut.end)),
                             "pid": main_pid, "tid": main_pid}))
        if run.ending.stopped:
            emit(json.dumps({"name": run.ending.how, "ph": "i", "s": "g", "ts": float(us(run.ending.at)),
                             "pid": main_pid, "tid": main_pid}))
        out.write(b"\n]")
        if run.races is not None:  # what --races found, beside the events
            out.write((',\n"races": ' + json.dumps(races_json(run.races))).encode())
        out.write(b"}\n")


def write_slices(emit, run, track):
    """The track's slices: those that share their call, objects and detail
    share one text, and plain ones are written column by column."""
    slices = track.slices
    if not len(slices):
        return
    plain = (slices["detail"] < 0) & ~slices["unfinished"] & (slices["ended"] == 0)
    tail = ', "pid": ' + str(track.pid) + ', "tid": ' + str(track.tid) + ', "args": '
    chosen = np.nonzero(plain)[0]
    if len(chosen):
        for group in groups(*(slices[name][chosen] for name in ("call", "first", "second", "title"))):
            rows = chosen[group]
            name = '{"name": ' + json.dumps(run.titles[slices["title"][rows[0]]]) + ', "ph": "X", "ts":'
            args = tail + json.dumps(about(run, track.index, int(rows[0]))) + "}"
            for at in range(0, len(rows), CHUNK):
                part = slices[rows[at:at + CHUNK]]
                emit(events([name, (part["start"], 3), ', "dur":', (part["end"] - part["start"], 3),
                             args]))
    for row in np.nonzero(~plain)[0].tolist():
        emit(f'{{"name": {json.dumps(run.titles[slices["title"][row]])}, "ph": "X", "ts": {us(slices["start"][row])}, '
             f'"dur": {us(slices["end"][row] - slices["start"][row])}{tail}'
             f'{json.dumps(about(run, track.index, row))}}}')


def write_holds(emit, run, number, obj, holds):
    """Who held a mutex: an async event from each hold's start to its end,
    written a holder at a time."""
    name = json.dumps(run.objects[obj].name)
    for track in np.unique(holds["track"]).tolist():
        holder = run.tracks[track]
        common = f'"name": {name}, "cat": "lock", "id": {number}, "pid": {holder.pid}, "tid": {holder.tid}'
        role = json.dumps({"holder": holder.role})
        mine = holds[holds["track"] == track]
        for at in range(0, len(mine), CHUNK):
            part = mine[at:at + CHUNK]
            emit(events(["{" + common + ', "ph": "b", "ts":', (part["start"], 3), ', "args": ' + role + "},\n{"
                         + common + ', "ph": "e", "ts":', (part["end"], 3), "}"]))


def write_flows(emit, run):
    """The hand-overs, each numbered: from inside the call that let a
    waiter go on to inside the wait, so that the viewers bind each end to
    its slice; those alike (the same object and tracks) written together."""
    flows, tracks = run.flows, run.tracks
    if not len(flows):
        return
    given = {name: column_of(tracks, flows["from_track"], flows["from_slice"], name)
             for name in ("start", "end", "call")}
    wait_start, wait_end, detail = (column_of(tracks, flows["to_track"], flows["to_slice"], name)
                                    for name in ("start", "end", "detail"))
    inside = np.minimum(FLOW_INSIDE_NS, (given["end"] - given["start"]) // 2)
    starts = np.where(given["call"] == TASK, given["end"] - inside, given["start"] + inside)
    ends = wait_end - np.minimum(FLOW_INSIDE_NS, (wait_end - wait_start) // 2)
    numbers_of = np.arange(1, len(flows) + 1)
    for group in groups(flows["obj"], flows["from_track"], flows["to_track"], detail):
        first = flows[group[0]]
        giver, taker = tracks[first["from_track"]], tracks[first["to_track"]]
        quoted = json.dumps(flow_name(run, int(first["obj"]), int(detail[group[0]])))
        for at in range(0, len(group), CHUNK):
            part = group[at:at + CHUNK]
            ids = (numbers_of[part], 0)
            emit(events([f'{{"name": {quoted}, "cat": "wake", "ph": "s", "id":', ids, ', "ts":',
                         (starts[part], 3), f', "pid": {giver.pid}, "tid": {giver.tid}}},\n'
                         f'{{"name": {quoted}, "cat": "wake", "ph": "f", "bp": "e", "id":', ids, ', "ts":',
                         (ends[part], 3),
                         f', "pid": {taker.pid}, "tid": {taker.tid}}}']))


def flow_name(run, obj, detail):
    """The object of a hand-over: its name, or a std::async task's future."""
    if obj != NO_OBJECT:
        return run.objects[obj].name
    return run.details[detail].future if detail >= 0 else "future"


def races_json(races):
    return [{"object": race.object, "count": race.count,
             "accesses": [{"thread": a.thread, "access": a.access, "file": a.file, "line": a.line,
                           "locks": list(a.locks)} for a in race.accesses]} for race in races]


def meta(name, track, args):
    return json.dumps({"name": name, "ph": "M", "pid": track.pid, "tid": track.tid, "args": args})
