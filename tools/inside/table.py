"""Writes the table: per thread, the time it spent blocked and sleeping, how
many of its waits blocked and the longest; per object, how many waits on it
blocked, how long threads waited for it and the longest wait; then the
warnings, and on the last line how the run ended."""
from .calls import ASYNC_WAIT, OBJECTS, SLEEPS, WAITS
from .read import MOST_CALLS

# The waits on each kind of object: the calls that wait and whose first object is of that kind.
OBJECT_WAITS = {}
for _symbol, _kinds in OBJECTS.items():
    if _symbol in WAITS:
        OBJECT_WAITS.setdefault(_kinds[0], set()).add(_symbol)
WAITING = WAITS | {ASYNC_WAIT}


def columns(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths)))
            for row in rows]


def s(ns):
    return f"{ns / 1e9:.1f}"


def table(analysis, ended, left=()):
    waits, sleeps, blocked = WAITING, SLEEPS, analysis.blocked
    rows = [("thread", "blocked s", "sleeping s", "waits that blocked", "longest wait s")]
    for task in analysis.order:
        task_calls = analysis.calls.get(task, [])
        waiting = [call.end - call.start for call in task_calls if call.name in waits]
        blocking = [call.end - call.start for call in task_calls if call.name in waits and id(call) in blocked]
        slept = sum([call.end - call.start for call in task_calls if call.name in sleeps])
        rows.append((analysis.roles[task], s(sum(waiting)), s(slept), str(len(blocking)), s(max(blocking, default=0))))
    text = columns(rows)
    objects = [("object", "kind", "waits that blocked", "waited s", "longest wait s")]
    for kind, events in analysis.names.events.items():
        functions = OBJECT_WAITS.get(kind, set())
        for name, object_events in events.items():
            waiting = [call for calls in object_events.values() for call in calls if call.name in functions]
            waited = sum([call.end - call.start for call in waiting])
            blocking = [call.end - call.start for call in waiting if id(call) in blocked]
            count, longest = len(blocking), max(blocking, default=0)
            objects.append((name, kind, str(count), s(waited), s(longest)))
    if len(objects) > 1:
        text += [""] + columns(objects)
    text += [""] + [f"warning: {warning}" for warning in analysis.warnings]
    if analysis.cut:
        start, end, total = analysis.cut
        text.append(f"the run is cut: of its {total:,} calls or so, the tool reads those of its first {s(start)} s "
                    f"and of its last from {s(end)} s on, at most {MOST_CALLS:,}, and leaves the rest out")
    if analysis.lines_cut:
        kept, skipped = analysis.lines_cut
        text.append(f"the output is cut: the trace keeps its first {kept:,} lines, and leaves out the {skipped:,} "
                    "bytes after them, which reached the terminal all the same")
    if left:
        names = [f"{analysis.roles.get((pid, pid), 'a process')} ({name}, pid {pid})" for pid, name in left]
        text.append(f"the tool stopped {len(left)} process{'es' if len(left) > 1 else ''}: "
                    + ", ".join(names))
    text.append(f"the program {ended}")
    return "\n".join(text)


def ending(analysis, recording):
    """How the run ended, in words, for the table's last line."""
    if analysis.stop is None:
        return recording.ended
    reason, at, by = analysis.stop
    return {"deadlock": f"deadlocked, and was stopped at {s(at)} s",
            "stopped": f"was stopped by a signal, and was ended at {s(at)} s",
            "deadline": f"reached the deadline, and was stopped at {s(at)} s",
            "interrupted": f"was interrupted by {by}, and stopped at {s(at)} s"}[reason]


def epilogue(analysis, deadline):
    """What follows the table: why a hung run could not go on, or why it was stopped."""
    if analysis.stop is None:
        return []
    reason, at, by = analysis.stop
    if reason == "deadlock":
        return analysis.explanation or []
    if reason == "deadline":
        return [f"deadline: stopped after {s(at)} s of the program's time (--deadline {deadline:g})"]
    if reason == "stopped":
        return [f"stopped: every thread of the program was stopped by a signal (SIGSTOP or another), and none "
                f"went on for a second: the run was ended at {s(at)} s"]
    return [f"interrupted: stopped by {by} after {s(at)} s of the program's time"]
