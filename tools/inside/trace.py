"""Writes the run in the Trace Event Format, for Perfetto or chrome://tracing,
with its documented fields only: a track per thread named by its role, a
complete event per call with what it was about, an instant per written line,
a counter per semaphore, async events for each mutex's holder, and a flow
from each call that ended a wait to the wait.

Events are written as they are made, a line each: a run of a million calls
makes a few million events."""
import json

from .analyse import COND_WAITS, SLEEPS, SPANS, signed
from .read import END, NAME, RAW, RET, START, arguments

FLOW_INSIDE_NS = 500  # how far inside its call's slice each end of a flow lies, at most


def us(ns):
    return f"{ns / 1000:.3f}"


def about(call, task, analysis):
    """The args of a call's complete event: what the call was about."""
    name, targets = call[NAME], analysis.targets
    if name in ("pthread_join", "wait", "waitpid", "pthread_create"):
        key = {"pthread_join": "thread", "pthread_create": "thread"}.get(name, "process")
        return {key: targets[id(call)]} if id(call) in targets else {}
    if name == "fork":
        child = signed(int(call[RET], 0)) if call[RET] else 0
        return {"process": analysis.roles[(child, child)]} if (child, child) in analysis.roles else {}
    if name in SLEEPS:
        return {"seconds": sleep_seconds(call, analysis)}
    objects = analysis.names.of(call, task)
    if name in COND_WAITS:
        return {kind: obj for kind, obj in objects}
    return {objects[0][0]: objects[0][1]} if objects else {}


def sleep_seconds(call, analysis):
    """sleep and usleep say how long; nanosleep's request is behind a
    pointer that uftrace cannot follow, so it is the time slept."""
    if id(call) in analysis.sleeps:
        return analysis.sleeps[id(call)]
    args = arguments(call[RAW])
    if call[NAME] == "sleep" and args:
        return args[0]
    if call[NAME] == "usleep" and args:
        return args[0] / 1e6
    if id(call) in analysis.unfinished:
        return None
    return round((call[END] - call[START]) / 1e9, 6)


def write(path, program, analysis):
    roles, order, spans = analysis.roles, analysis.order, set(SPANS)
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
        for task in order:
            pid, tid = task
            cache, chunk = {}, []
            for call in analysis.calls.get(task, []):
                name = call[NAME]
                if name not in spans:
                    continue
                special = id(call) in analysis.targets or id(call) in analysis.unfinished or name in SLEEPS \
                    or name == "fork"
                key = (name, call[RAW])
                args = None if special else cache.get(key)
                if args is None:
                    found = about(call, task, analysis)
                    if id(call) in analysis.unfinished:
                        found["unfinished"] = True
                    args = json.dumps(found)
                    if not special:
                        cache[key] = args
                chunk.append(f'{{"name": "{name}", "ph": "X", "ts": {us(call[START])}, '
                             f'"dur": {us(call[END] - call[START])}, "pid": {pid}, "tid": {tid}, "args": {args}}}')
                if len(chunk) >= 10000:
                    emit(",\n".join(chunk))
                    chunk = []
            if chunk:
                emit(",\n".join(chunk))
        for ts, task, text in analysis.lines:
            if task is None:
                emit(json.dumps({"name": text, "ph": "i", "s": "g", "ts": float(us(ts or analysis.end)),
                                 "pid": main_pid, "tid": main_pid, "args": {"writer": "not traced"}}))
            else:
                emit(json.dumps({"name": text, "ph": "i", "s": "t", "ts": float(us(ts)), "pid": task[0],
                                 "tid": task[1]}))
        for name, series in analysis.values.items():
            quoted = json.dumps(name)
            for ts, value in series:
                emit(f'{{"name": {quoted}, "ph": "C", "ts": {us(ts)}, "pid": {main_pid}, '
                     f'"args": {{"value": {value}}}}}')
        for number, (name, holds) in enumerate(analysis.holds.items(), 1):
            quoted, chunk = json.dumps(name), []
            for start, end, task in holds:
                holder = json.dumps({"holder": roles[task]})
                common = f'"name": {quoted}, "cat": "lock", "id": {number}, "pid": {task[0]}, "tid": {task[1]}'
                chunk.append(f'{{{common}, "ph": "b", "ts": {us(start)}, "args": {holder}}}')
                chunk.append(f'{{{common}, "ph": "e", "ts": {us(end)}}}')
                if len(chunk) >= 10000:
                    emit(",\n".join(chunk))
                    chunk = []
            if chunk:
                emit(",\n".join(chunk))
        for number, (name, from_task, release, to_task, wait) in enumerate(analysis.flows, 1):
            # Each end lies inside its call, so that the viewers bind it to that slice.
            start = release[START] + min(FLOW_INSIDE_NS, (release[END] - release[START]) // 2)
            end = wait[END] - min(FLOW_INSIDE_NS, (wait[END] - wait[START]) // 2)
            quoted = json.dumps(name)
            emit(f'{{"name": {quoted}, "cat": "wake", "ph": "s", "id": {number}, "ts": {us(start)}, '
                 f'"pid": {from_task[0]}, "tid": {from_task[1]}}}')
            emit(f'{{"name": {quoted}, "cat": "wake", "ph": "f", "bp": "e", "id": {number}, "ts": {us(end)}, '
                 f'"pid": {to_task[0]}, "tid": {to_task[1]}}}')
        if analysis.stop:
            reason, at = analysis.stop
            emit(json.dumps({"name": reason, "ph": "i", "s": "g", "ts": float(us(at)), "pid": main_pid,
                             "tid": main_pid}))
        out.write("\n]}\n")


def meta(name, pid, tid, args):
    return json.dumps({"name": name, "ph": "M", "pid": pid, "tid": tid, "args": args})
