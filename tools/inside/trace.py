"""Writes the run in the Trace Event Format, for Perfetto or chrome://tracing,
with its documented fields only: a track per thread named by its role, a
complete event per call with what it was about, an instant per written line,
a counter per semaphore, async events for each mutex's holder, and a flow
from each call that ended a wait to the wait.

Events are written as they are made, a line each: a run of a million calls
makes a few million events."""
import json

from .calls import ASYNC_TASK, ASYNC_WAIT, CHILD_WAITS, COND_WAITS, CREATES, SLEEPS, SPANS, THREAD_JOINS, display
from .read import ABANDONED, UNWOUND
from .threads import signed

ENDED = UNWOUND | ABANDONED  # calls that did not return

FLOW_INSIDE_NS = 500  # how far inside its call's slice each end of a flow lies, at most
CHUNK = 10000  # events written at once
# Calls whose args are not the same for the same arguments: what they waited
# for or how long they slept is found by the analysis.
PER_CALL = THREAD_JOINS | CHILD_WAITS | CREATES | SLEEPS | {"fork", ASYNC_WAIT}
ENDS_AT_END = {ASYNC_TASK}  # a flow from one of these leaves at its end: the task's end sets the future
TIMER_ABSTIME = 1


def us(ns):
    return f"{ns / 1000:.3f}"


def about(call, task, analysis):
    """The args of a call's complete event: what the call was about."""
    name, targets = call.name, analysis.targets
    if name == ASYNC_TASK:
        return {"future": f"future of {analysis.roles[task]}"}
    if name == ASYNC_WAIT:
        return {"future": f"future of {targets[id(call)]}", "thread": targets[id(call)]} if id(call) in targets \
            else {}
    if name in THREAD_JOINS or name in CHILD_WAITS or name in CREATES:
        key = "process" if name in CHILD_WAITS else "thread"
        return {key: targets[id(call)]} if id(call) in targets else {}
    if name == "fork":
        child = signed(call.ret or 0)
        return {"process": analysis.roles[(child, child)]} if (child, child) in analysis.roles else {}
    if name in SLEEPS:
        return {"seconds": sleep_seconds(call, analysis)}
    objects = analysis.names.of(call, task)
    if name in COND_WAITS:
        return {kind: obj for kind, obj in objects}
    return {objects[0][0]: objects[0][1]} if objects else {}


def sleep_seconds(call, analysis):
    """How long the sleep asked for, in the program's seconds; for a sleep
    until a moment, how long it slept."""
    args = call.args
    if call.name == "sleep":
        asked = args[0]
    elif call.name == "usleep":
        asked = args[0] / 1e6
    elif call.name == "nanosleep":
        asked = args[0] + args[1] / 1e9
    elif call.name == "clock_nanosleep" and not args[1] & TIMER_ABSTIME:
        asked = args[2] + args[3] / 1e9
    elif id(call) in analysis.unfinished:
        return None
    else:
        asked = (call.end - call.start) / 1e9
    asked = round(asked, 6)
    return int(asked) if asked == int(asked) else asked


def arguments_json(call, task, analysis):
    found = about(call, task, analysis)
    if id(call) in analysis.unfinished:
        found["unfinished"] = True
    if call.flags & UNWOUND:  # an exception, a cancellation or pthread_exit ended it
        found["ended by"] = "unwinding"
    elif call.flags & ABANDONED:
        found["ended by"] = "longjmp"
    return json.dumps(found)


def escape(text):
    """Text to go into a %-format as it is."""
    return text.replace("%", "%%")


def write(path, program, analysis):
    roles, order, spans, unfinished = analysis.roles, analysis.order, set(SPANS), analysis.unfinished
    main_pid = order[0][0] if order else 0
    with open(path, "w") as out:
        out.write('{"displayTimeUnit": "ms", "traceEvents": [\n')
        first = True

        def emit(text):
            nonlocal first
            out.write(text if first else ",\n" + text)
            first = False

        for index, task in enumerate(order):
            pid, tid = task
            if pid == tid:
                process = program if roles[task] == "main" else f"{program} ({roles[task]})"
                emit(meta("process_name", pid, tid, {"name": process}))
                emit(meta("process_sort_index", pid, tid, {"sort_index": index}))
            emit(meta("thread_name", pid, tid, {"name": roles[task]}))
            emit(meta("thread_sort_index", pid, tid, {"sort_index": index}))
        for task in order:  # each thread's life, from its creation to its end, around its calls
            began, ended = analysis.lives[task]
            life = json.dumps(roles[task])
            emit(f'{{"name": {life}, "cat": "life", "ph": "B", "ts": {us(began)}, "pid": {task[0]}, '
                 f'"tid": {task[1]}}},\n{{"name": {life}, "cat": "life", "ph": "E", "ts": {us(ended)}, '
                 f'"pid": {task[0]}, "tid": {task[1]}}}')
        for task in order:
            # One format a task, filled in a single step for each of up to a
            # million calls; the args of each distinct call made once.
            span = ('{"name": %s, "ph": "X", "ts": %.3f, "dur": %.3f, "pid": ' + str(task[0]) + ', "tid": '
                    + str(task[1]) + ', "args": %s}')
            chosen = [call for call in analysis.calls.get(task, []) if call.name in spans]
            titles = {key: json.dumps(analysis.names.title(call))
                      for key, call in {(call.name, call.args): call for call in chosen}.items()}
            args = {}  # name: {arguments as recorded: args}
            for call in chosen:
                known = args.setdefault(call.name, {})
                if call.args not in known:
                    known[call.args] = arguments_json(call, task, analysis)
            special = {id(call): arguments_json(call, task, analysis) for call in chosen
                       if call.name in PER_CALL or (unfinished and id(call) in unfinished) or call.flags & ENDED}
            for at in range(0, len(chosen), CHUNK):
                part = chosen[at:at + CHUNK]
                if special:
                    emit(",\n".join([span % (titles[(call.name, call.args)], call.start / 1000,
                                             (call.end - call.start) / 1000,
                                             special.get(id(call)) or args[call.name][call.args])
                                     for call in part]))
                else:
                    emit(",\n".join([span % (titles[(call.name, call.args)], call.start / 1000,
                                             (call.end - call.start) / 1000, args[call.name][call.args])
                                     for call in part]))
        for ts, task, text in analysis.lines:
            if task is None:
                emit(json.dumps({"name": text, "ph": "i", "s": "g", "ts": float(us(ts or analysis.end)),
                                 "pid": main_pid, "tid": main_pid, "args": {"writer": "not traced"}}))
            else:
                emit(json.dumps({"name": text, "ph": "i", "s": "t", "ts": float(us(ts)), "pid": task[0],
                                 "tid": task[1]}))
        for name, series in analysis.values.items():
            counter = '{"name": ' + escape(json.dumps(name)) + ', "ph": "C", "ts": %.3f, "pid": ' + str(main_pid) \
                + ', "args": {"value": %d}}'
            for at in range(0, len(series), CHUNK):
                emit(",\n".join(counter % (ts / 1000, value) for ts, value in series[at:at + CHUNK]))
        for number, (name, holds) in enumerate(analysis.holds.items(), 1):
            formats, chunk = {}, []
            for start, end, task in holds:
                pair = formats.get(task)
                if pair is None:
                    common = escape(f'"name": {json.dumps(name)}, "cat": "lock", "id": {number}, "pid": {task[0]}, '
                                    f'"tid": {task[1]}')
                    holder = escape(json.dumps({"holder": roles[task]}))
                    pair = formats[task] = ("{" + common + ', "ph": "b", "ts": %.3f, "args": ' + holder + "},\n{"
                                            + common + ', "ph": "e", "ts": %.3f}')
                chunk.append(pair % (start / 1000, end / 1000))
                if len(chunk) >= CHUNK:
                    emit(",\n".join(chunk))
                    chunk = []
            if chunk:
                emit(",\n".join(chunk))
        for number, (name, from_task, release, to_task, wait) in enumerate(analysis.flows, 1):
            # Each end lies inside its call, so that the viewers bind it to that slice.
            inside = min(FLOW_INSIDE_NS, (release.end - release.start) // 2)
            start = release.end - inside if release.name in ENDS_AT_END else release.start + inside
            end = wait.end - min(FLOW_INSIDE_NS, (wait.end - wait.start) // 2)
            quoted = json.dumps(name)
            emit(f'{{"name": {quoted}, "cat": "wake", "ph": "s", "id": {number}, "ts": {us(start)}, '
                 f'"pid": {from_task[0]}, "tid": {from_task[1]}}}')
            emit(f'{{"name": {quoted}, "cat": "wake", "ph": "f", "bp": "e", "id": {number}, "ts": {us(end)}, '
                 f'"pid": {to_task[0]}, "tid": {to_task[1]}}}')
        if analysis.cut:
            emit(json.dumps({"name": "left out from here", "ph": "i", "s": "g", "ts": float(us(analysis.cut[0])),
                             "pid": main_pid, "tid": main_pid}))
            emit(json.dumps({"name": "left out until here", "ph": "i", "s": "g", "ts": float(us(analysis.cut[1])),
                             "pid": main_pid, "tid": main_pid}))
        if analysis.stop:
            reason, at, _ = analysis.stop
            emit(json.dumps({"name": reason, "ph": "i", "s": "g", "ts": float(us(at)), "pid": main_pid,
                             "tid": main_pid}))
        out.write("\n]")
        if analysis.races is not None:  # what --races found, beside the events
            from .races import as_json
            out.write(',\n"races": ' + json.dumps(as_json(analysis.races)))
        out.write("}\n")


def meta(name, pid, tid, args):
    return json.dumps({"name": name, "ph": "M", "pid": pid, "tid": tid, "args": args})
