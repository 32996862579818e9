#!/usr/bin/python3
"""Shows a run of one of the programs from the inside.

    tools/timeline.py [--bin DIR] [--speed N] [--out PREFIX] PROGRAM

Runs the built, unmodified PROGRAM on a pseudo-terminal under uftrace, which
records every library call of every thread and process with its arguments,
and writes:
  PREFIX.json  the run in the Trace Event Format (Perfetto, chrome://tracing):
               a track per thread named by its role, the sleeps, waits, posts
               and joins, the written lines, the semaphores' values, and a flow
               from each post to the wait that it ended;
  PREFIX.png   the same as a picture, drawn with matplotlib;
and prints a table of the time each thread spent blocked and sleeping.
--speed N compresses sleeps N times with libfaketime; every time reported is
in the program's own time all the same.
"""
import argparse, json, os, re, shutil, subprocess, sys, tempfile
from collections import deque
from decimal import Decimal

from ptyrun import run

PROGRAMS = ("gorvane", "lumbrick", "bakers", "fendrow")
ROUTINE_ROLES = {"Bake": "Baker", "Eat": "Eater", "tFunc": "worker"}
SPANS = ("sleep", "sem_wait", "sem_post", "pthread_join")
WRITERS = ("puts", "printf")
# -a names the arguments of calls uftrace knows; -A says how to record the rest.
# /p shows a pointer as the symbol it points to, such as &freePlace.
UFTRACE = ("uftrace", "record", "--force", "--no-pltbind", "-a",
           "-A", "sem_init@arg1/p,arg2,arg3", "-A", "sem_wait@arg1/p", "-A", "sem_post@arg1/p",
           "-A", "pthread_create@arg1/x,arg2,arg3/p,arg4/p", "-A", "pthread_join@arg1/x", "-A", "sleep@arg1/u",
           "-A", "puts@arg1/s", "-A", "printf@arg1/s,arg2,arg3,arg4")
TIMEOUT_SECONDS = 400

# The picture, in pixels: 1200 wide; 40 a lane, 200 for the counter panel
# below the lanes with a gap of 20, and a frame of 45 above and 50 below.
DPI = 100
WIDTH_PX, LEFT_PX, RIGHT_PX = 1200, 90, 250
TOP_PX, LANE_PX, GAP_PX, COUNTER_PX, BOTTOM_PX = 45, 40, 20, 200, 50
STATE_COLOURS = {
    "waiting for a place": "#f4a259",
    "baking": "#bc6c25",
    "waiting for a bun": "#e63946",
    "eating": "#2a9d8f",
    "sleeping": "#8ecae6",
    "in the join": "#7b2cbf",
    "done": "#d9d9d9",
}
SEMAPHORE_COLOURS = {"bun": "#e63946", "freePlace": "#f4a259"}
HANDOVERS = {"bun": "a bun handed over", "freePlace": "a place handed over"}


class Failure(Exception):
    pass


def parse_arguments(text):
    """uftrace's '("a\\n", 4, &bun)' -> ['a\n', '4', '&bun'], its strings unescaped."""
    items, i, inner = [], 0, text.strip()[1:-1]
    while i < len(inner):
        if inner[i] in " ,":
            i += 1
        elif inner[i] == '"':
            raw, i = bytearray(), i + 1
            while inner[i] != '"':
                if inner[i] == "\\":
                    escape = inner[i + 1]
                    if escape == "x":
                        raw.append(int(inner[i + 2:i + 4], 16))
                        i += 4
                        continue
                    raw += {"n": b"\n", "t": b"\t", "r": b"\r", "0": b"\0"}.get(escape, escape.encode())
                    i += 2
                else:
                    raw += inner[i].encode()
                    i += 1
            items.append(raw.decode(errors="replace"))
            i += 1
        else:
            end = inner.find(",", i)
            end = len(inner) if end < 0 else end
            items.append(inner[i:end].strip())
            i = end
    return items


def every(calls):
    return (call for task_calls in calls.values() for call in task_calls)


def semaphore(call):
    return call["args"][0].lstrip("&")


def written(call):
    """What a puts or printf call wrote."""
    if call["name"] == "puts":
        return call["args"][0] + "\n"
    form, values = call["args"][0], call["args"][1:]
    conversions = re.findall(r"%.", form)
    if any(c not in ("%d", "%%") for c in conversions):
        raise Failure(f"cannot expand the printf format {form!r}")
    return form % tuple(int(v, 0) for v in values[:conversions.count("%d")])


def written_text(call):
    return written(call).strip("\n")


def read_record(folder):
    """The calls of each task, each with its start and end in microseconds
    from the program's start, and the tasks' pids and forks."""
    with open(os.path.join(folder, "task.txt")) as tasks:
        task_lines = tasks.read().splitlines()
    fields = [dict(re.findall(r'(\w+)=(\S+)', line)) | {"kind": line.split()[0]} for line in task_lines]
    start = Decimal(next(f["timestamp"] for f in fields if f["kind"] == "SESS")) * 1000000
    forks = {int(f["pid"]): int(f["ppid"]) for f in fields if f["kind"] == "FORK"}
    dump = subprocess.run(["uftrace", "dump", "--chrome", "--no-pager", "-d", folder], capture_output=True, text=True)
    if dump.returncode != 0:
        raise Failure(f"uftrace dump failed: {dump.stderr.strip()}")
    events = json.loads(dump.stdout, parse_float=Decimal)["traceEvents"]
    calls, open_calls, unmatched = {}, {}, 0
    for event in events:
        if event["ph"] not in "BE" or event["name"].startswith("linux:"):
            continue
        task = (event["pid"], event.get("tid", event["pid"]))
        stack, ts = open_calls.setdefault(task, []), float(event["ts"] - start)
        if event["ph"] == "B":
            stack.append({"name": event["name"], "start": ts, "task": task,
                          "args": parse_arguments(event.get("args", {}).get("arguments", "()"))})
        elif stack and stack[-1]["name"] == event["name"]:
            call = stack.pop()
            call["end"] = ts
            calls.setdefault(task, []).append(call)
        elif not (event["name"] == "fork" and task[0] in forks):  # a child returns from a fork it never entered
            unmatched += 1
    unfinished = sum(len(stack) for stack in open_calls.values())
    if unmatched or unfinished:
        raise Failure(f"the record is not whole: {unmatched} calls without an entry, {unfinished} without an exit")
    for task in calls:
        calls[task].sort(key=lambda call: call["start"])
    return calls, forks


def name_tracks(calls, forks):
    """Each task's role: main, or parent and child; a thread is named by the
    routine that main's nth pthread_create started, threads being numbered
    by the kernel in the order of creation."""
    with open("/proc/sys/kernel/pid_max") as limit:
        pid_max = int(limit.read())
    roles = {}
    for pid in sorted({pid for pid, _ in calls}, key=lambda pid: pid in forks):
        roles[(pid, pid)] = ("child" if pid in forks else "parent" if forks else "main")
        creates = [c["args"][2].lstrip("&") for c in calls.get((pid, pid), []) if c["name"] == "pthread_create"]
        threads = sorted((tid for p, tid in calls if p == pid and tid != pid), key=lambda tid: (tid - pid) % pid_max)
        if len(threads) != len(creates):
            raise Failure(f"{len(creates)} threads created, {len(threads)} recorded")
        numbers = {}
        for tid, routine in zip(threads, creates):
            role = ROUTINE_ROLES.get(routine, routine)
            numbers[role] = numbers.get(role, 0) + 1
            roles[(pid, tid)] = f"{role} {numbers[role]}" if creates.count(routine) > 1 else role
    return roles


def semaphores(calls):
    """Each semaphore's value over the run, from the traced sem_init, sem_post
    and sem_wait calls, and which post ended each wait that blocked. A post
    counts from its entry and a wait from its return, so the value is never
    below the true one; waits take the units in the order they return."""
    flat = list(every(calls))
    values, handovers, blocked = {}, [], set()
    for init in (c for c in flat if c["name"] == "sem_init"):
        name, initial = semaphore(init), int(init["args"][2], 0)
        steps = [(c["start"], 0, c) for c in flat if c["name"] == "sem_post" and semaphore(c) == name]
        steps += [(c["end"], 1, c) for c in flat if c["name"] == "sem_wait" and semaphore(c) == name]
        units, value, series = deque([None] * initial), initial, [(init["end"], initial)]
        for ts, taking, call in sorted(steps, key=lambda step: step[:2]):
            if not taking:
                units.append(call)
                value += 1
            elif not units:
                raise Failure(f"the record is not whole: a sem_wait on {name} that no post ended")
            else:
                post = units.popleft()
                value -= 1
                if post is not None and post["start"] > call["start"]:
                    handovers.append((name, post, call))
                    blocked.add(id(call))
            series.append((ts, value))
        values[name] = series
    return values, handovers, blocked


def join_target(join, roles):
    """The joined thread where the trace can tell: when its process has one thread besides main."""
    pid = join["task"][0]
    threads = [task for task in roles if task[0] == pid and task[1] != pid]
    return threads[0] if len(threads) == 1 else None


def analyse(calls, forks):
    roles = name_tracks(calls, forks)
    values, handovers, blocked = semaphores(calls)
    last = {task: max(c["end"] for c in task_calls) for task, task_calls in calls.items()}
    for task, task_calls in calls.items():
        for join in (c for c in task_calls if c["name"] == "pthread_join"):
            target = join_target(join, roles)
            join["target"] = roles[target] if target else join["args"][0]
            # It blocked if the thread it waited for was still at work when it began.
            candidates = [target] if target else [t for t in calls if t[0] == task[0] and t != task]
            if any(join["start"] < last[t] <= join["end"] for t in candidates):
                blocked.add(id(join))
    return roles, values, handovers, blocked


def span_args(call):
    if call["name"] == "sleep":
        return {"seconds": int(call["args"][0], 0)}
    if call["name"] == "pthread_join":
        return {"thread": call["target"]}
    return {"semaphore": semaphore(call)}


def trace_events(program, order, calls, roles, values, handovers):
    events = []
    for index, task in enumerate(order):
        pid, tid = task
        if pid == tid:
            events.append({"name": "process_name", "ph": "M", "pid": pid, "tid": tid,
                           "args": {"name": f"{program} ({roles[task]})" if roles[task] != "main" else program}})
            events.append({"name": "process_sort_index", "ph": "M", "pid": pid, "tid": tid,
                           "args": {"sort_index": index}})
        events.append({"name": "thread_name", "ph": "M", "pid": pid, "tid": tid, "args": {"name": roles[task]}})
        events.append({"name": "thread_sort_index", "ph": "M", "pid": pid, "tid": tid,
                       "args": {"sort_index": index}})
        for call in calls[task]:
            if call["name"] in SPANS:
                events.append({"name": call["name"], "ph": "X", "ts": call["start"],
                               "dur": call["end"] - call["start"], "pid": pid, "tid": tid, "args": span_args(call)})
            elif call["name"] in WRITERS:
                events.append({"name": written_text(call), "ph": "i", "s": "t", "ts": call["end"],
                               "pid": pid, "tid": tid})
    main_pid = next(task[0] for task in order)
    for name, series in values.items():
        events += [{"name": name, "ph": "C", "ts": ts, "pid": main_pid, "args": {"value": value}}
                   for ts, value in series]
    for flow, (name, post, wait) in enumerate(handovers, 1):
        # Each end lies inside its call, so that the viewers bind it to that slice.
        inside_post = post["start"] + min(0.5, (post["end"] - post["start"]) / 2)
        inside_wait = wait["end"] - min(0.5, (wait["end"] - wait["start"]) / 2)
        events.append({"name": name, "cat": "wake", "ph": "s", "id": flow, "ts": inside_post,
                       "pid": post["task"][0], "tid": post["task"][1]})
        events.append({"name": name, "cat": "wake", "ph": "f", "bp": "e", "id": flow, "ts": inside_wait,
                       "pid": wait["task"][0], "tid": wait["task"][1]})
    return events


def state_of(role, call):
    if call["name"] == "sem_wait":
        return {"freePlace": "waiting for a place", "bun": "waiting for a bun"}.get(semaphore(call))
    if call["name"] == "sleep":
        return {"Baker": "baking", "Eater": "eating"}.get(role.split()[0], "sleeping")
    return "in the join" if call["name"] == "pthread_join" else None


def draw(path, program, speed, order, calls, roles, values, handovers):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    plt.rcParams.update({"font.size": 11})
    counter = bool(values)
    lanes_px = LANE_PX * len(order)
    height = TOP_PX + lanes_px + (GAP_PX + COUNTER_PX if counter else 0) + BOTTOM_PX
    fig = plt.figure(figsize=(WIDTH_PX / DPI, height / DPI), dpi=DPI)

    def box(top_px, height_px):  # an axes placed in pixels, from the top
        return [LEFT_PX / WIDTH_PX, 1 - (top_px + height_px) / height,
                (WIDTH_PX - LEFT_PX - RIGHT_PX) / WIDTH_PX, height_px / height]

    lanes = fig.add_axes(box(TOP_PX, lanes_px))
    end = max(c["end"] for c in every(calls)) / 1e6
    lane = {task: i for i, task in enumerate(order)}
    used, writes = [], []
    for task in order:
        stretches = {}
        for call in calls[task]:
            state = state_of(roles[task], call)
            if state:
                stretches.setdefault(state, []).append((call["start"] / 1e6, (call["end"] - call["start"]) / 1e6))
            elif call["name"] in WRITERS:
                writes.append((call["end"] / 1e6, lane[task], written_text(call)))
        finished = max(c["end"] for c in calls[task]) / 1e6
        stretches.setdefault("done", []).append((finished, max(0, end - finished)))
        for state, spans in stretches.items():
            lanes.broken_barh(spans, (lane[task] - 0.35, 0.7), color=STATE_COLOURS[state], linewidth=0)
            used += [state] if state not in used else []
    lanes.plot([t for t, _, _ in writes], [y for _, y, _ in writes], "|", color="black", markersize=15,
               markeredgewidth=1.5)
    if len(writes) <= 8:  # few enough to say what they are
        for t, y, text in writes:
            right = t > end / 2
            # Two lines written close together on one lane go one above the other.
            near = sorted(w for w in writes if w[1] == y and abs(w[0] - t) < end / 5)
            rise = 0 if len(near) == 1 else 6 if near.index((t, y, text)) % 2 == 0 else -6
            lanes.annotate(text.strip(), (t, y), xytext=(-6 if right else 6, rise), textcoords="offset points",
                           ha="right" if right else "left", va="center", fontsize=9,
                           bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.85, "pad": 1})
    for name, post, wait in handovers:
        lanes.annotate("", xy=(wait["end"] / 1e6, lane[wait["task"]]),
                       xytext=(post["start"] / 1e6, lane[post["task"]]),
                       arrowprops={"arrowstyle": "-|>", "color": SEMAPHORE_COLOURS.get(name, "grey"), "lw": 1,
                                   "shrinkA": 0, "shrinkB": 2})
    lanes.set_yticks(range(len(order)), [roles[task] for task in order])
    lanes.set_ylim(len(order) - 0.5, -0.5)
    lanes.set_xlim(0, end * 1.01)
    lanes.grid(axis="x", color="#e5e5e5")
    lanes.set_axisbelow(True)
    pace = f", run {speed}x faster under libfaketime" if speed else ""
    actors = "process" if any(role == "child" for role in roles.values()) else "thread"
    fig.suptitle(f"{program}: what each {actors} does, in the program's own seconds{pace}",
                 y=1 - 10 / height, va="top", fontsize=12)
    legend = [Patch(color=STATE_COLOURS[state], label=state) for state in STATE_COLOURS if state in used]
    legend.append(Line2D([], [], marker="|", color="black", linestyle="", markersize=12, markeredgewidth=1.5,
                         label="a line written"))
    legend += [Line2D([], [], color=SEMAPHORE_COLOURS[name], marker=">", markersize=5, label=HANDOVERS[name])
               for name in SEMAPHORE_COLOURS if any(h[0] == name for h in handovers)]
    lanes.legend(handles=legend, loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False, fontsize=10,
                 borderaxespad=0)
    axis = lanes
    if counter:
        panel = fig.add_axes(box(TOP_PX + lanes_px + GAP_PX, COUNTER_PX), sharex=lanes)
        plt.setp(lanes.get_xticklabels(), visible=False)
        def steps(series, shown, **style):  # from 0 s, through each change, to the end
            ys = [shown(v) for _, v in series]
            panel.step([0] + [t / 1e6 for t, _ in series] + [end], [ys[0]] + ys + [ys[-1]], where="post", lw=1.5,
                       **style)

        if "bun" in values:
            steps(values["bun"], lambda v: v, color=SEMAPHORE_COLOURS["bun"], label="buns lying on the counter")
        if "freePlace" in values:
            places = values["freePlace"][0][1]
            steps(values["freePlace"], lambda v: places - v, color="#5a4634", linestyle="--", label="places taken")
        panel.set_ylabel("counter")
        panel.set_yticks(range(4))
        panel.set_ylim(-0.2, 3.3)
        panel.grid(color="#e5e5e5")
        panel.legend(loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False, fontsize=10, borderaxespad=0)
        axis = panel
    axis.set_xlabel("seconds since the program started")
    fig.savefig(path, dpi=DPI)
    plt.close(fig)


def table(order, calls, roles, blocked):
    rows = [("thread", "blocked s", "sleeping s", "waits that blocked", "longest wait s")]
    for task in order:
        waits = [c for c in calls[task] if c["name"] in ("sem_wait", "pthread_join")]
        long_waits = [c["end"] - c["start"] for c in waits if id(c) in blocked]
        sleeping = sum(c["end"] - c["start"] for c in calls[task] if c["name"] == "sleep")
        rows.append((roles[task], f"{sum(c['end'] - c['start'] for c in waits) / 1e6:.1f}",
                     f"{sleeping / 1e6:.1f}", str(len(long_waits)), f"{max(long_waits, default=0) / 1e6:.1f}"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in
                               enumerate(zip(row, widths))) for row in rows)


def run_failure(record, result):
    """Why the traced run failed: uftrace's own status is 1 whatever the program's was."""
    info = subprocess.run(["uftrace", "info", "-d", record], capture_output=True, text=True).stdout
    exit_line = re.search(r"exit status\s*:\s*(.+)", info)
    said = result.err.strip().splitlines()[-1:]
    return "; ".join((exit_line[1].strip() if exit_line else f"uftrace status {result.status}",) + tuple(said))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("program", choices=PROGRAMS, metavar="PROGRAM", help=", ".join(PROGRAMS))
    parser.add_argument("--bin", default="build", metavar="DIR", help="where the programs are built (build)")
    parser.add_argument("--speed", type=float, metavar="N", help="compress sleeps N times with libfaketime")
    parser.add_argument("--out", metavar="PREFIX", help="write PREFIX.json and PREFIX.png (PROGRAM)")
    options = parser.parse_args()
    if options.speed is not None and options.speed <= 0:
        parser.error("--speed takes a number above 0")
    prefix = options.out or options.program
    if not os.path.isdir(os.path.dirname(prefix) or "."):
        raise Failure(f"there is no folder {os.path.dirname(prefix)} to write {prefix}.json and {prefix}.png in")
    path = os.path.join(options.bin, options.program)
    speed = (int(options.speed) if options.speed == int(options.speed) else options.speed) if options.speed else None
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise Failure(f"{path} is not built: cmake --preset default && cmake --build build")
    if not shutil.which("uftrace"):
        raise Failure("uftrace is missing: apt-get install uftrace")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise Failure("matplotlib is missing: apt-get install python3-matplotlib") from None

    with tempfile.TemporaryDirectory() as folder:
        record = os.path.join(folder, "uftrace.data")
        try:
            result = run(os.path.abspath(path), wrapper=(*UFTRACE, "-d", record), speed=speed,
                         timeout=TIMEOUT_SECONDS)
        except (AssertionError, FileNotFoundError) as error:
            raise Failure(f"the traced run of {options.program} failed: {error}") from None
        if result.status != 0:
            raise Failure(f"the traced run of {options.program} failed: {run_failure(record, result)}")
        calls, forks = read_record(record)
    roles, values, handovers, blocked = analyse(calls, forks)
    order = list(roles)  # main or parent first, then the threads in the order of creation
    # A call lost from the record would go unseen: it must hold every line
    # that reached the terminal, and no other.
    writes = sorted((c for c in every(calls) if c["name"] in WRITERS), key=lambda call: call["end"])
    recorded, shown = "".join(map(written, writes)).split("\n"), result.out.split("\n")
    if sorted(recorded) != sorted(shown):
        raise Failure(f"the record is not whole: {len(shown) - 1} lines reached the terminal, "
                      f"{len(recorded) - 1} are in the record")
    events = trace_events(options.program, order, calls, roles, values, handovers)
    with open(f"{prefix}.json", "w") as out:
        json.dump({"traceEvents": events, "displayTimeUnit": "ms"}, out, indent=None)
    draw(f"{prefix}.png", options.program, speed, order, calls, roles, values, handovers)
    print(table(order, calls, roles, blocked))
    counted = {name: sum(c["name"] == name for c in every(calls)) for name in SPANS + WRITERS}
    print(f"\nrecorded {len(order)} tracks; " + ", ".join(f"{n} {name}" for name, n in counted.items() if n))
    print(f"wrote {prefix}.json and {prefix}.png")


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        sys.exit(f"timeline: {failure}")
