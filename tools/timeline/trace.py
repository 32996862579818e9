"""Writes the run in the Trace Event Format, for Perfetto or chrome://tracing,
with its documented fields only: a track per thread named by its role, with
its life as a slice around its calls, a complete event per call with what
it was about, an instant per written line, a counter per semaphore, async
events for each mutex's holder, and a flow from each call that ended a
wait to the wait.

A run of a million calls makes a few million events: the slices of each
track that are about the same things share one text, into which their
times are written column by column."""
import json

import numpy as np

from .calls import ASYNC_TASK, COND_WAITS
from .model import CALL_INDEX, LONGJMP, NO_OBJECT, UNWOUND, Run

FLOW_INSIDE_NS = 500  # how far inside its call's slice each end of a flow lies, at most
CHUNK = 50000  # events written at once
ENDED_BY = {UNWOUND: "unwinding", LONGJMP: "longjmp"}  # an exception, a cancellation or pthread_exit; a longjmp
COND_WAIT_CALLS = frozenset(CALL_INDEX[symbol] for symbol in COND_WAITS)
TASK = CALL_INDEX[ASYNC_TASK]


def us(ns):
    return f"{ns / 1000:.3f}"


def about(run: Run, track, row):
    """The args of a slice's event: what its call was about."""
    slices = run.tracks[track].slices
    call, first, second, detail = (int(slices[name][row]) for name in ("call", "first", "second", "detail"))
    found = {}
    if detail >= 0:
        found = details(run.details[detail])
    elif first != NO_OBJECT:
        found[run.objects[first].kind] = run.objects[first].name
        if call in COND_WAIT_CALLS and second != NO_OBJECT:
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


def escape(text):
    """Text to go into a %-format as it is."""
    return text.replace("%", "%%")


def write(path, run: Run):
    """Writes the run's trace to path."""
    tracks = run.tracks
    main_pid = tracks[0].pid if tracks else 0
    with open(path, "w") as out:
        out.write('{"displayTimeUnit": "ms", "traceEvents": [\n')
        first = True

        def emit(text):
            nonlocal first
            out.write(text if first else ",\n" + text)
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
            counter = '{"name": ' + escape(json.dumps(run.objects[obj].name)) + ', "ph": "C", "ts": %.3f, "pid": ' \
                + str(main_pid) + ', "args": {"value": %d}}'
            for at in range(0, len(series), CHUNK):
                part = series[at:at + CHUNK]
                emit(",\n".join(map(counter.__mod__, zip((part["at"] / 1000).tolist(), part["value"].tolist()))))
        for number, (obj, holds) in enumerate(run.holds.items(), 1):
            write_holds(emit, run, number, obj, holds)
        for number, flow in enumerate(run.flows, 1):
            write_flow(emit, run, number, flow)
        if run.cut:
            emit(json.dumps({"name": "left out from here", "ph": "i", "s": "g", "ts": float(us(run.cut.start)),
                             "pid": main_pid, "tid": main_pid}))
            emit(json.dumps({"name": "left out until here", "ph": "i", "s": "g", "ts": float(us(run.cut.end)),
                             "pid": main_pid, "tid": main_pid}))
        if run.ending.stopped:
            emit(json.dumps({"name": run.ending.how, "ph": "i", "s": "g", "ts": float(us(run.ending.at)),
                             "pid": main_pid, "tid": main_pid}))
        out.write("\n]")
        if run.races is not None:  # what --races found, beside the events
            out.write(',\n"races": ' + json.dumps(races_json(run.races)))
        out.write("}\n")


def write_slices(emit, run, track):
    """The track's slices: those that share their call, objects and detail
    share one text, and plain ones are written column by column."""
    slices = track.slices
    if not len(slices):
        return
    plain = (slices["detail"] < 0) & ~slices["unfinished"] & (slices["ended"] == 0)
    head = '{"name": %s, "ph": "X", "ts": %%.3f, "dur": %%.3f, "pid": ' + str(track.pid) + ', "tid": ' \
        + str(track.tid) + ', "args": %s}'
    keys = np.stack([slices["call"].astype(np.int64), slices["first"].astype(np.int64),
                     slices["second"].astype(np.int64), slices["title"].astype(np.int64)], axis=1)
    chosen = np.nonzero(plain)[0]
    if len(chosen):
        kinds, which = np.unique(keys[chosen], axis=0, return_inverse=True)
        for k, key in enumerate(kinds.tolist()):
            rows = chosen[which.reshape(-1) == k]
            args = about(run, track.index, int(rows[0]))
            text = head % (escape(json.dumps(run.titles[key[3]])), escape(json.dumps(args)))
            starts = (slices["start"][rows] / 1000).tolist()
            lengths = ((slices["end"][rows] - slices["start"][rows]) / 1000).tolist()
            for at in range(0, len(starts), CHUNK):
                emit(",\n".join(map(text.__mod__, zip(starts[at:at + CHUNK], lengths[at:at + CHUNK]))))
    for row in np.nonzero(~plain)[0].tolist():
        emit((head % (escape(json.dumps(run.titles[slices["title"][row]])),
                      escape(json.dumps(about(run, track.index, row))))) %
             (slices["start"][row] / 1000, (slices["end"][row] - slices["start"][row]) / 1000))


def write_holds(emit, run, number, obj, holds):
    """Who held a mutex: an async event from each hold's start to its end."""
    name = json.dumps(run.objects[obj].name)
    formats = {}
    for at in range(0, len(holds), CHUNK):
        part = holds[at:at + CHUNK]
        chunk = []
        for start, end, track in zip((part["start"] / 1000).tolist(), (part["end"] / 1000).tolist(),
                                     part["track"].tolist()):
            pair = formats.get(track)
            if pair is None:
                holder = run.tracks[track]
                common = escape(f'"name": {name}, "cat": "lock", "id": {number}, "pid": {holder.pid}, '
                                f'"tid": {holder.tid}')
                role = escape(json.dumps({"holder": holder.role}))
                pair = formats[track] = ("{" + common + ', "ph": "b", "ts": %.3f, "args": ' + role + "},\n{"
                                         + common + ', "ph": "e", "ts": %.3f}')
            chunk.append(pair % (start, end))
        emit(",\n".join(chunk))


def write_flow(emit, run, number, flow):
    """A hand-over, from inside the call that let a waiter go on to inside
    the wait, so that the viewers bind each end to its slice."""
    giver, taker = run.tracks[flow.from_track], run.tracks[flow.to_track]
    release, wait = giver.slices[flow.from_slice], taker.slices[flow.to_slice]
    inside = min(FLOW_INSIDE_NS, (int(release["end"]) - int(release["start"])) // 2)
    start = int(release["end"]) - inside if release["call"] == TASK else int(release["start"]) + inside
    end = int(wait["end"]) - min(FLOW_INSIDE_NS, (int(wait["end"]) - int(wait["start"])) // 2)
    quoted = json.dumps(flow_name(run, flow))
    emit(f'{{"name": {quoted}, "cat": "wake", "ph": "s", "id": {number}, "ts": {us(start)}, '
         f'"pid": {giver.pid}, "tid": {giver.tid}}}')
    emit(f'{{"name": {quoted}, "cat": "wake", "ph": "f", "bp": "e", "id": {number}, "ts": {us(end)}, '
         f'"pid": {taker.pid}, "tid": {taker.tid}}}')


def flow_name(run, flow):
    """The object of a hand-over: its name, or a std::async task's future."""
    if flow.obj is not None:
        return run.objects[flow.obj].name
    detail = run.tracks[flow.to_track].slices["detail"][flow.to_slice]
    return run.details[detail].future if detail >= 0 else "future"


def races_json(races):
    return [{"object": race.object, "count": race.count,
             "accesses": [{"thread": a.thread, "access": a.access, "file": a.file, "line": a.line,
                           "locks": list(a.locks)} for a in race.accesses]} for race in races]


def meta(name, track, args):
    return json.dumps({"name": name, "ph": "M", "pid": track.pid, "tid": track.tid, "args": args})
