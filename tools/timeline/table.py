"""Writes the report that follows the program's output: per thread, the time
it spent blocked, sleeping and waiting for input, how many of its waits
blocked and the longest; per object, how many waits on it blocked, how long
threads waited for it and the longest wait; the warnings; how the run
ended; then why a hung run could not go on, or why it was stopped, and the
data races."""
from . import endings, explain
from .endings import seconds
from .explain import listing
from .calls import INPUTS, KINDS, SLEEPS, TABLE, WAITS
from .model import Run, marks
from .read import MOST_CALLS


WAIT_CALLS, SLEEP_CALLS, INPUT_CALLS = marks(WAITS), marks(SLEEPS), marks(INPUTS)
# The waits on each kind of object: the calls that wait and whose first object is of that kind.
OBJECT_WAITS = {kind: marks({s for s in WAITS if TABLE[s].objects and TABLE[s].objects[0] == kind}) for kind in KINDS}


def columns(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths)))
            for row in rows]


def report(run: Run, deadline):
    """The lines that follow the program's output."""
    lines = table(run) + [f"the program {endings.ended(run.ending)}"]
    if run.ending.how == "deadlock":
        lines += explain.deadlock(run)
    elif (said := endings.why_stopped(run.ending, deadline)) is not None:
        lines.append(said)
    if run.races is not None:
        lines += race_lines(run)
    return lines


def table(run: Run):
    """The table, the warnings and what the run left out, before its ending."""
    rows = [("thread", "blocked s", "sleeping s", "waits that blocked", "longest wait s", "input s")]
    for track in run.tracks:
        slices = track.slices
        length = slices["end"] - slices["start"]
        waiting = WAIT_CALLS[slices["call"]]
        blocking = length[waiting & slices["blocked"]]
        rows.append((track.role, seconds(length[waiting].sum()), seconds(length[SLEEP_CALLS[slices["call"]]].sum()),
                     str(len(blocking)), seconds(blocking.max() if len(blocking) else 0),
                     seconds(length[INPUT_CALLS[slices["call"]]].sum())))
    text = columns(rows)
    objects = [("object", "kind", "waits that blocked", "waited s", "longest wait s")]
    order = {kind: i for i, kind in enumerate(KINDS)}
    for obj in sorted(run.objects, key=lambda o: (order[o.kind], o.index)):
        waited, blocking = 0, []
        for track in run.tracks:
            slices = track.slices
            mine = (slices["first"] == obj.index) & OBJECT_WAITS[obj.kind][slices["call"]]
            length = slices["end"][mine] - slices["start"][mine]
            waited += int(length.sum())
            blocking += length[slices["blocked"][mine]].tolist()
        objects.append((obj.name, obj.kind, str(len(blocking)), seconds(waited), seconds(max(blocking, default=0))))
    if len(objects) > 1:
        text += [""] + columns(objects)
    text += [""] + [f"warning: {warning}" for warning in run.warnings]
    if run.cut:
        text.append(f"the run is cut: of its {run.cut.calls:,} calls or so, the tool reads those of its first "
                    f"{seconds(run.cut.start)} s and of its last from {seconds(run.cut.end)} s on, "
                    f"at most {MOST_CALLS:,}, and leaves the rest out")
    if run.lines_cut:
        kept, skipped = run.lines_cut
        text.append(f"the output is cut: the trace keeps its first {kept:,} lines, and leaves out the {skipped:,} "
                    "bytes after them, which reached the terminal all the same")
    if run.left:
        roles = {track.pid: track.role for track in run.tracks if track.leads}
        names = [f"{roles.get(pid, 'a process')} ({name}, pid {pid})" for pid, name in run.left]
        text.append(f"the tool stopped {len(run.left)} process{'es' if len(run.left) > 1 else ''}: "
                    + ", ".join(names))
    return text


def race_lines(run: Run):
    """The data races, a line each, in the trace's names; then the threads not
    checked, how Helgrind's run was stopped, and how many races there were."""
    text = []
    for race in run.races:
        sides = [f"{a.thread} {'writes' if a.access == 'write' else 'reads'} at {a.file}:{a.line} holding "
                 + (" and ".join(a.locks) if a.locks else "no lock") for a in race.accesses]
        times = "once" if race.count == 1 else f"{race.count} times"
        text.append(f"data race on {race.object}: {'; '.join(sides)} ({times})")
    if any(run.unchecked):
        text.append(unchecked(*run.unchecked))
    if run.races_stopped:
        text.append(f"the run under Helgrind {endings.helgrind_stopped(run.races_stopped)}: the races of its part "
                    "that ran are said")
    count = len(run.races)
    text.append("no data race" if not count else "1 data race" if count == 1 else f"{count} data races")
    return text


def unchecked(atomic_users, futex_users):
    """Which threads Helgrind could not check, and why."""
    said = []
    if atomic_users:
        one = len(atomic_users) == 1
        said.append(f"{listing(atomic_users)}, which {'hands' if one else 'hand'} data over through atomic loads "
                    "and stores, whose ordering Helgrind cannot see")
    if futex_users:
        one = len(futex_users) == 1
        said.append(f"{listing(futex_users)}, which {'uses' if one else 'use'} C++20 semaphores, latches, "
                    "barriers, atomic waits or futures, whose futex calls Helgrind cannot see")
    return "not checked for races: " + "; ".join(said)
