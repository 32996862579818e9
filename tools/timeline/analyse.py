"""The analysis of a recorded run: builds the model (model.Run) once, from
the record, the recording and what the live program showed when it was
stopped.

In order: each thread's calls as the analysis reads them (prepare.py); who
is who (threads.py); the objects, named (objects.py); whom each join waited
for; each object's calls given to the analyser of its kind (KINDS): which
waits blocked, who woke whom, who held each mutex, each semaphore's value;
each line's writer (lines.py); the hang's facts; and the tracks' slices."""
import math
from collections import defaultdict

import numpy as np

from . import lines as output, mutexes, objects, races, semaphores, threads
from .calls import ASYNC_TASK, ASYNC_WAIT, CALLS, COND_WAITS, FORK, SEM_WAITS, SLEEPS, SPANS, TABLE, TAKES, title
from .model import (CALL_INDEX, CALL_SYMBOLS, LONGJMP, NO_OBJECT, RETURNED, UNWOUND, Blocked, Cut, Detail, Ending,
                    FLOW, Line, Run, Track, column_of, groups, marks, slices)
from .prepare import prepare
from .read import ABANDONED, UNWOUND as UNWOUND_FLAG
from .snapshot import site

# An object's calls, for its kind's analyser: the track (its index) and the
# row of each, and the columns that the analysers read.
EVENT = np.dtype([("track", np.int32), ("row", np.int32), ("call", np.int16), ("start", np.int64),
                  ("end", np.int64), ("ret", np.int64), ("args", np.uint64, (4,)), ("unfinished", np.bool_)])
SPAN_CALLS = marks(SPANS)
# Calls that return 0 when they did what they were asked, and an error number or -1 when not.
STATUS_CALLS = marks(s for s in TAKES | SEM_WAITS | COND_WAITS if s in CALLS)
# The calls that detail_of() says more of: async tasks and waits, joins, creations, waits for children, fork, sleeps.
DETAILED = marks(s for s in CALL_SYMBOLS if s in (ASYNC_TASK, ASYNC_WAIT, FORK) or s in SLEEPS
                 or TABLE[s].does in ("join", "create", "wait-child"))
TIMER_ABSTIME = 1


def analyse_kind(kind, events, cut):
    """The analyser of a kind of object, on its calls."""
    if kind == "mutex":
        return mutexes.mutex(events)
    if kind == "rwlock":
        return mutexes.rwlock(events)
    if kind == "cond":
        return semaphores.condition(events)
    if kind == "semaphore" and semaphores.is_posix(events):
        return semaphores.semaphore(events, cut)
    if kind == "barrier" and semaphores.is_posix(events):
        return semaphores.barrier(events)
    return semaphores.futex_object(events, one_each=kind == "semaphore")


def analyse(record, recording, program, speed, helgrind=None):
    """The Run of a recorded run of program (its name, as the outputs give
    it); helgrind: (Helgrind's logs of its second run, how that run was
    stopped or None, the program's path), where --races asked for it."""
    symbols = record.symbols
    snapshot = recording.snapshot
    ends = process_ends(record)
    last = max([moment for moment in ends.values()] + [0])
    stop_at = stopped_at(snapshot, record, last) if snapshot is not None else None
    runs = {(c.pid, c.sequence): threads.what_runs(c, symbols) for c in record.creations}
    prepared = prepare(record, ends, stop_at, symbols, runs)
    roles, order, created = threads.name_tracks(prepared, record.images, record.creations, runs)
    end = max([stop_at or 0] + [int(work.rows["end"].max()) for work in prepared.values() if len(work.rows)])
    lives = lives_of(record, prepared, order, ends, stop_at, end)
    live = {(p.thread.pid, p.thread.tid): p for p in snapshot.pending} if snapshot is not None else {}
    innermost = {task: innermost_unfinished(work) for task, work in prepared.items()}
    registry = name_objects(prepared, innermost, live, symbols)
    index = {task: i for i, task in enumerate(order)}
    columns = {task: registry.columns(task[0], prepared[task], roles) for task in order if task in prepared}
    live_waits = {task: p.thread.wait[1] for task, p in live.items() if p.thread.wait and p.thread.wait[0] == "child"}
    targets, blocked = threads.joins(prepared, roles, record.creations, lives, live_waits)
    flows, holds, values, warnings = each_object(gather(prepared, columns, index, order), registry, blocked, order,
                                                 record.cut, end)
    flows.append(async_flows(prepared, roles, targets, blocked, index))
    titles, title_index, details = [], {}, []
    tracks, slice_rows = [], {}
    for i, task in enumerate(order):
        work = prepared.get(task)
        track = Track(i, task[0], task[1], roles[task], *lives[task])
        if work is not None and len(work.rows):
            track.slices, slice_rows[task] = track_slices(task, work, columns[task], blocked.get(task, ()), targets,
                                                          created, roles, titles, title_index, details, registry)
        tracks.append(track)

    def slice_of(task, row):
        """(track, slice) of a thread's call by its row, or None where it is no slice."""
        rows_of = slice_rows.get(task)
        at = int(np.searchsorted(rows_of, row)) if rows_of is not None else 0
        return (index[task], at) if rows_of is not None and at < len(rows_of) and rows_of[at] == row else None

    model_flows = hand_overs(np.concatenate(flows), tracks, [slice_rows.get(task) for task in order])
    run_lines, line_warnings = lines_of(prepared, record, recording, end, index)
    warnings += line_warnings
    ending = ending_of(recording, snapshot, stop_at)
    cut = Cut(*record.cut) if record.cut else None
    run = Run(program, speed, tracks, registry.list, titles, details, holds, values, model_flows, run_lines,
              ending, end, warnings, cut,
              (recording.output.count(b"\n"), recording.skipped) if recording.skipped else None,
              list(recording.left),
              hang(snapshot, prepared, innermost, live, slice_of, order, symbols) if ending.how == "deadlock" else [])
    if helgrind is not None:
        logs, stopped, path = helgrind
        run.races, run.unchecked = races.analyse(logs, tracks, symbols, path, record.creations)
        run.races_stopped = stopped
    return run


def name_objects(prepared, innermost, live, symbols):
    """The run's objects (objects.Objects), named in the order of trust:
    by source lines, by main's local variables, by the program's code."""
    names = objects.Names(symbols)
    objects.name_from_sources(prepared, hung_sites(prepared, innermost, live, symbols), symbols, names)
    used = used_objects(prepared)
    names.give_locals(symbols.locals_of(used))
    objects.name_from_code(used, symbols, names)
    return objects.Objects(prepared, names)


def each_object(gathered, registry, blocked, order, cut, end):
    """What the analyser of each object's kind found, gathered: (the flows,
    arrays of rows as hand_overs() reads them; {object: HOLD}; {object:
    VALUE}; the warnings); the waits that blocked go into blocked."""
    flows, holds, values, warnings = [], {}, {}, []
    for obj, events in gathered.items():
        found = analyse_kind(registry.list[obj].kind, events, cut)
        tracks, rows = events["track"], events["row"]
        waited = tracks[found.blocked], rows[found.blocked]
        for track in np.unique(waited[0]).tolist():
            blocked[order[track]].update(waited[1][waited[0] == track].tolist())
        if len(found.flows):
            pairs = np.asarray(found.flows)
            flows.append(np.stack([np.full(len(pairs), obj), tracks[pairs[:, 0]], rows[pairs[:, 0]],
                                   tracks[pairs[:, 1]], rows[pairs[:, 1]]], axis=1))
        if found.holds is not None:
            holds[obj] = mutexes.closed(found.holds, end)
        if found.values is not None:
            values[obj] = found.values
        warnings += [warning.format(name=registry.list[obj].name) for warning in found.warnings]
    return flows, holds, values, warnings


def process_ends(record):
    """{pid: when each process ended}: when it died of a signal or called
    exit, else its last recorded moment."""
    found = {}
    for (pid, _), thread in record.threads.items():
        calls = thread.calls
        moments = [int(calls["start"].max()) if len(calls) else 0, int(calls["end"].max()) if len(calls) else 0]
        moments += [moment for moment in (thread.began, thread.ended) if moment is not None]
        found[pid] = max([found.get(pid, 0)] + moments)
    for pid, (moment, _, _) in record.endings.items():
        found[pid] = max(found.get(pid, 0), moment)
    return found


def stopped_at(snapshot, record, last):
    """When the tool stopped the run, on the program's clock: a hang began
    when its last wait did, and went on for as long as the watch waited."""
    starts = [int(thread.calls["start"][thread.calls["end"] < 0].max())
              for thread in record.threads.values() if (thread.calls["end"] < 0).any()]
    if snapshot.reason == "deadlock":
        at = max(starts + [last]) + (snapshot.seconds - snapshot.hung_since) * record.clock.speed * 1e9
    else:
        at = max(starts + [last, record.clock.program(snapshot.clock)])
    return int(at)


def lives_of(record, prepared, order, ends, stop_at, end):
    """{task: (began, ended)}: a thread's life from its creation, or its
    process's start, to its end, its process's end, or the moment the run
    was stopped; within the run."""
    starts = {}
    for image in record.images:
        starts.setdefault(image.pid, image.start)
    lives = {}
    for task in order:
        thread = record.threads.get(task)
        work = prepared.get(task)
        rows = work.rows if work is not None else None
        first = int(rows["start"][0]) if rows is not None and len(rows) else 0
        began = thread.began if thread is not None and thread.began is not None else starts.get(task[0], first)
        if thread is not None and thread.ended is not None:
            ended = thread.ended
        elif stop_at is not None:
            ended = stop_at
        else:
            ended = ends.get(task[0], end)
        if rows is not None and len(rows):
            ended = max(ended, int(rows["end"].max()))
        lives[task] = (max(0, began), min(max(began, ended), end))
    return lives


def innermost_unfinished(work):
    """The row of the thread's innermost call in flight at the end, or None."""
    flying = np.nonzero(work.rows["unfinished"])[0]
    if not len(flying):
        return None
    return int(flying[np.argmax(work.rows["start"][flying])])


def hung_sites(prepared, innermost, live, symbols):
    """{(kind, address, lock): [(file, line)]} of the calls that hung on
    objects that no variable at a fixed address holds, where their live
    stacks say the program made them."""
    found = defaultdict(list)
    for task, row in innermost.items():
        if row is None or task not in live:
            continue
        work = prepared[task]
        place = site(live[task].frames, work.caller(row))
        if not place or not place[0]:
            continue
        symbol = work.symbol(row)
        for i, kind in enumerate(TABLE[symbol].objects):
            address = int(work.rows["args"][row, i])
            if address and symbols.variable(address) is None:
                found[(kind, address, i == 1 and symbol in COND_WAITS)].append(place[:2])
    return found


def used_objects(prepared):
    """{(kind, address)} of the objects that the calls are about."""
    return set().union(*(objects.uses(work.rows, column) for work in prepared.values() for column in (0, 1)))


def gather(prepared, columns, index, order):
    """{object: EVENT} of each object's calls: the calls whose first object
    it is, and the condition waits whose mutex (or lock) it is, in order of
    their tracks and starts."""
    parts = defaultdict(list)  # object: [(task, its rows)]
    for task in order:
        if task not in columns:
            continue
        for column in columns[task]:
            chosen = np.nonzero(column != NO_OBJECT)[0]
            for group in groups(column[chosen]):
                parts[int(column[chosen[group[0]]])].append((task, chosen[group]))
    found = {}
    for obj, pieces in parts.items():
        events = np.zeros(sum(len(rows) for _, rows in pieces), dtype=EVENT)
        at = 0
        for task, rows in pieces:
            part = events[at:at + len(rows)]
            part["track"], part["row"] = index[task], rows
            calls = prepared[task].rows
            for name in ("call", "start", "end", "ret", "args", "unfinished"):
                part[name] = calls[name][rows]
            at += len(rows)
        track, start = events["track"], events["start"]
        if np.any((track[1:] < track[:-1]) | ((track[1:] == track[:-1]) & (start[1:] < start[:-1]))):
            events = events[np.lexsort((start, track))]
        found[obj] = events
    return found


def hand_overs(flows, tracks, slice_rows):
    """The model's flows (FLOW), in the order of their starts, from rows of
    (object or NO_OBJECT, the giver's track, its call's row, the taker's track, its call's
    row); slice_rows: each track's rows that are slices."""
    ends = []
    for column in (1, 3):
        found = np.full(len(flows), -1, dtype=np.int64)
        for track, rows_of in enumerate(slice_rows):
            mine = np.nonzero(flows[:, column] == track)[0]
            if rows_of is None or not len(mine):
                continue
            at = np.minimum(np.searchsorted(rows_of, flows[mine, column + 1]), len(rows_of) - 1)
            found[mine] = np.where(rows_of[at] == flows[mine, column + 1], at, -1)
        ends.append(found)
    kept = np.nonzero((ends[0] >= 0) & (ends[1] >= 0))[0]
    made = np.zeros(len(kept), dtype=FLOW)
    made["obj"], made["from_track"], made["to_track"] = flows[kept, 0], flows[kept, 1], flows[kept, 3]
    made["from_slice"], made["to_slice"] = ends[0][kept], ends[1][kept]
    return made[np.argsort(column_of(tracks, made["from_track"], made["from_slice"], "start"), kind="stable")]


def async_flows(prepared, roles, targets, blocked, index):
    """A hand-over from the end of each std::async task to the wait on its
    future that it ended: rows as hand_overs() reads them, of no object."""
    task_rows = {}
    for task, work in prepared.items():
        found = np.nonzero(work.rows["call"] == CALL_INDEX[ASYNC_TASK])[0]
        if len(found) and task in roles:
            task_rows[roles[task]] = (task, int(found[0]))
    flows = []
    for task, work in prepared.items():
        for row in np.nonzero(work.rows["call"] == CALL_INDEX[ASYNC_WAIT])[0].tolist():
            target = targets.get((task, row))
            if row not in blocked.get(task, ()) or target not in task_rows:
                continue
            source_task, source_row = task_rows[target]
            done = prepared[source_task].rows["end"][source_row]
            if work.rows["start"][row] < done <= work.rows["end"][row]:
                flows.append((NO_OBJECT, index[source_task], source_row, index[task], row))
    return np.array(flows, dtype=np.int64).reshape(-1, 5)


def track_slices(task, work, columns, blocked, targets, created, roles, titles, title_index, details, registry):
    """The track's slices (model.SLICE), of its calls that are slices, and
    the rows they are. blocked: the rows of its calls that blocked."""
    rows = work.rows
    chosen = np.nonzero(SPAN_CALLS[rows["call"]])[0]
    found = slices(len(chosen))
    found["call"], found["start"], found["end"] = rows["call"][chosen], rows["start"][chosen], rows["end"][chosen]
    first, second = columns
    found["first"], found["second"] = first[chosen], second[chosen]
    found["unfinished"] = rows["unfinished"][chosen]
    found["failed"] = STATUS_CALLS[found["call"]] & ~found["unfinished"] \
        & ((rows["ret"][chosen] & 0xFFFFFFFF) != 0)
    flags = rows["flags"][chosen]
    found["ended"] = np.where(flags & UNWOUND_FLAG, UNWOUND, np.where(flags & ABANDONED, LONGJMP, RETURNED))
    found["blocked"] = np.isin(chosen, list(blocked))
    # Titles: one for each call and the C++ type of its object.
    for group in groups(found["call"], found["first"]):
        call, obj = int(found["call"][group[0]]), int(found["first"][group[0]])
        type_name = registry.names.type_name(registry.list[obj].address) if obj != NO_OBJECT else None
        text = title(CALL_SYMBOLS[call], type_name)
        if text not in title_index:
            title_index[text] = len(titles)
            titles.append(text)
        found["title"][group] = title_index[text]
    for s in np.nonzero(DETAILED[found["call"]])[0].tolist():
        detail = detail_of(task, work, int(chosen[s]), targets, created, roles)
        if detail is not None:
            found["detail"][s] = len(details)
            details.append(detail)
    return found, chosen


def detail_of(task, work, row, targets, created, roles):
    """What a call was about besides its objects, or None."""
    symbol = work.symbol(row)
    call = TABLE[symbol]
    args = work.rows["args"][row]
    if symbol == ASYNC_TASK:
        return Detail(future=f"future of {roles[task]}")
    if symbol == ASYNC_WAIT:
        target = targets.get((task, row))
        return Detail(thread=target, future=f"future of {target}") if target else Detail()
    if call.does in ("join", "create"):
        name = targets.get((task, row)) or created.get((task, row))
        return Detail(thread=name) if name else Detail()
    if call.does == "wait-child":
        name = targets.get((task, row))
        return Detail(process=name) if name else Detail()
    if symbol == FORK:
        child = int(work.rows["ret"][row])
        return Detail(process=roles[(child, child)]) if (child, child) in roles else Detail()
    if symbol in SLEEPS:
        return Detail(seconds=asked(call, args, work.rows[row]))
    return None


def asked(call, args, row):
    """How long a sleep asked for, in the program's seconds, from the
    arguments that the table names; for a sleep until a moment, how long it
    slept; None for one that never ended."""
    given = dict(zip(call.args, (int(value) for value in args)))
    if not given.get("flags", 0) & TIMER_ABSTIME:
        seconds = given.get("seconds", 0) + given.get("microseconds", 0) / 1e6 + given.get("nanoseconds", 0) / 1e9
    elif row["unfinished"]:
        return None
    else:
        seconds = (row["end"] - row["start"]) / 1e9
    seconds = round(float(seconds), 6)
    return int(seconds) if seconds == int(seconds) else seconds


def lines_of(prepared, record, recording, end, index):
    """The run's lines, each on its writer's track, and the warnings they give."""
    written, lost = output.attribute(prepared, record.inserted, recording.output)
    moved = output.redirections(prepared)  # what was written after its stream was moved is not lost
    lost = [write for write in lost if write.end < moved.get((write.task[0], "stdout"), math.inf)
            and write.end < moved.get((write.task[0], "stderr"), math.inf)]
    placed = output.untraced(written, prepared, recording.arrivals, record.clock, end)
    if record.cut:  # the lines of the part left out go with its calls
        placed = [line for line in placed if line[0] is None or not record.cut[0] < line[0] < record.cut[1]]
    warnings = []
    strays = [text for task, _, text, _ in written if task is None]
    if strays:
        warnings.append(f"{len(strays)} lines reached the terminal from calls that are not traced, such as "
                        f"{strays[0]!r}: each is placed on the thread that last ended a call before it arrived "
                        "and was not waiting then")
    whole = not record.cut and not recording.skipped
    if lost and whole and recording.snapshot is None and recording.status >= 0:
        warnings.append(f"the record is not whole: {len(lost)} writes are not on the terminal")
    return [Line(moment if moment is not None else end, index.get(task), text) for moment, task, text in placed], \
        warnings


def ending_of(recording, snapshot, stop_at):
    """How the run ended: the program's own status, or how the tool stopped it."""
    if snapshot is not None:
        return Ending(snapshot.reason, at=stop_at, by=snapshot.by or "Ctrl-C")
    if recording.status >= 0:
        return Ending("exited", recording.status)
    return Ending("killed", -recording.status)


def hang(snapshot, prepared, innermost, live, slice_of, order, symbols):
    """The facts of a hung run: each thread's call that never ended, where
    it was made (through a tail call, which leaves no frame of its caller,
    where the debugging information's call sites say the jump was), and
    what the live program showed of the object it waits on."""
    found = []
    for task in order:
        row = innermost.get(task)
        at = slice_of(task, row) if row is not None else None
        if at is None:
            continue
        pending = live.get(task)
        place = site(pending.frames, prepared[task].caller(row)) if pending else None
        file, line, function = (place[0], place[1], place[2]) if place else (None, None, None)
        if place and file is None and place[3] is not None:
            file, line = symbols.tail_site(place[3]) or (None, None)
        memory = pending.memory if pending is not None else b""
        word = int.from_bytes(memory[:4], "little") if len(memory) >= 4 else None
        owner = int.from_bytes(memory[8:12], "little", signed=True) if len(memory) >= 12 else None
        wait = pending.thread.wait if pending else None
        writers = tuple(sorted((snapshot.pipes or {}).get(wait[1], ()))) if wait and wait[0] == "pipe" else None
        found.append(Blocked(*at, file, line, function, word, owner, writers, task in live))
    return found
