"""Draws the run with matplotlib: a lane per thread, each stretch coloured by
what the thread was doing, a tick per line written, an arrow per hand-over;
below the lanes, a band per object: each semaphore's value, and who held
each mutex.

A long run cannot be drawn call by call. Whatever is narrower than a pixel
is merged: each pixel of a lane takes the state that filled most of it, so
drawing takes about as long for ten thousand calls as for a million."""
import numpy as np

from .calls import STATES

DPI = 100
WIDTH_PX, RIGHT_PX, CHAR_PX, LEGEND_ROW_PX = 1200, 250, 9, 16
TOP_PX, LANE_PX, GAP_PX, COUNTER_PX, BAND_PX, BOTTOM_PX = 45, 40, 20, 200, 30, 50
STATE_COLOURS = {
    "running": "#e3efd9",
    "sleeping": "#8ecae6",
    "waiting for a lock": "#b5179e",
    "waiting on a condition": "#f77f00",
    "waiting on a semaphore": "#e63946",
    "in a join or a wait": "#7b2cbf",
    "at a barrier": "#8d6e63",
    "waiting on a latch": "#c9184a",
    "waiting for a future": "#3a86ff",
    "waiting for input": "#ffd166",
    "done": "#d9d9d9",
}
# Our own programs speak of their own things: the bakery's semaphores are
# places and buns, and its sleeps are baking and eating.
PROFILES = {
    "bakers": {
        "waits": {"freePlace": "waiting for a place", "bun": "waiting for a bun"},
        "sleeps": {"Baker": "baking", "Eater": "eating"},
        "states": {"in a join or a wait": "in the join"},
        "colours": {"waiting for a place": "#f4a259", "baking": "#bc6c25", "waiting for a bun": "#e63946",
                    "eating": "#2a9d8f", "in the join": "#7b2cbf"},
        "flows": {"bun": ("#e63946", "a bun handed over"), "freePlace": ("#f4a259", "a place handed over")},
    },
}
FLOWS = {"semaphore": ("#e63946", "handed over"), "mutex": ("#333333", "handed over"),
         "latch": ("#c9184a", "reached zero"), "barrier": ("#8d6e63", "let through"),
         "future": ("#3a86ff", "set"),
         "cond": ("#f77f00", "signalled")}
MOST_ARROWS = 300
MOST_LABELLED_LINES = 8
MOST_FLOW_LABELS = 3  # objects of one kind whose hand-overs the legend names one by one
FLOW_PALETTE = ("#f77f00", "#2a9d8f", "#6a4c93")  # for the objects of one kind, one by one
LABEL_PX = 45  # a wait or a hold at least this wide is labelled with its object or holder, if the name fits
MARGIN_PX = 8  # kept clear around everything drawn
SMALL_CHAR_PX = 5.5  # the width of a character of a line's label
MOST_RACES = 12  # data races listed under the lanes
MOST_LANES = 150  # tracks drawn, in the trace's order; the trace keeps them all
MOST_BANDS = 40  # objects' bands drawn under the lanes, in the same way
MOST_NAME_CHARS = 40  # a longer name is shortened in its middle, where the lanes would lose their width
HOLD_PX = 2  # the least width of a mutex's hold


def merged(starts, ends, kinds, scale, least=0.5):
    """Bars [(start, length, kind)] in pixels: the calls wider than a pixel as
    they are; narrower ones merged, each pixel taking the kind that fills
    most of it, if that fills at least the given share of it, and
    neighbouring pixels of one kind joined."""
    if not len(starts):
        return []
    # Within the picture, whatever the times: a pixel outside it would cost memory and show nothing.
    s = np.clip(starts * scale, 0, WIDTH_PX)
    e = np.clip(ends * scale, s, WIDTH_PX)
    wide = (e - s) >= 1
    bars = list(zip(s[wide], (e - s)[wide], kinds[wide]))
    narrow = ~wide
    if narrow.any():
        count = int(kinds.max()) + 1
        pixel = np.floor(s[narrow]).astype(np.int64)
        filled = np.bincount(pixel * count + kinds[narrow], weights=(e - s)[narrow],
                             minlength=(int(pixel.max()) + 1) * count).reshape(-1, count)
        best = filled.argmax(axis=1)
        cells = np.nonzero(filled[np.arange(len(best)), best] >= least)[0]
        run_start = run_kind = previous = None
        for at in cells:
            kind = int(best[at])
            if run_kind == kind and at == previous + 1:
                previous = at
                continue
            if run_kind is not None:
                bars.append((run_start, previous + 1 - run_start, run_kind))
            run_start, run_kind, previous = at, kind, at
        if run_kind is not None:
            bars.append((run_start, previous + 1 - run_start, run_kind))
    return bars


def state_of(call, role, objects, profile):
    state = STATES.get(call.name)
    if state is None:
        return None
    if profile:
        if state == "waiting on a semaphore" and objects:
            state = profile["waits"].get(objects[0][1], state)
        elif state == "sleeping":
            state = profile["sleeps"].get(role.split()[0], state)
        state = profile["states"].get(state, state)
    return state


def prepare():
    """Imports matplotlib, for the Agg back end that writes files."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot  # noqa: F401


def draw(path, program, speed, analysis, progress=lambda text: None):
    prepare()
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    plt.rcParams.update({"font.size": 11})
    profile = PROFILES.get(program.split("-")[0])  # bakers, or a changed copy such as bakers-starving
    heading_text = title(program, speed, analysis)
    if len(analysis.order) > MOST_LANES:  # a picture too tall to read, or for matplotlib to make
        heading_text += f"; its first {MOST_LANES} of {len(analysis.order):,} tracks"
        drawn = set(analysis.order[:MOST_LANES])
        analysis = analysis._replace(order=analysis.order[:MOST_LANES],
                                     flows=[f for f in analysis.flows if f[1] in drawn and f[3] in drawn],
                                     holds={name: [h for h in holds if h[2] in drawn]
                                            for name, holds in analysis.holds.items()})
    if profile and not set(analysis.values) <= set(profile["waits"]):
        profile = None
    order, semaphores, mutexes = analysis.order, list(analysis.values), list(analysis.holds)
    if len(semaphores) + len(mutexes) > MOST_BANDS:
        heading_text += f"; its first {MOST_BANDS} of {len(semaphores) + len(mutexes):,} objects"
        semaphores = semaphores[:MOST_BANDS]
        mutexes = mutexes[:MOST_BANDS - len(semaphores)]
    counter = bool(profile and semaphores)
    bands = ([] if counter else semaphores) + mutexes
    labels = [brief(analysis.roles[task]) for task in order] + [brief(f"{name} held by") for name in mutexes] + \
        [brief(name) for name in bands]
    left_px = max(90, 30 + CHAR_PX * max(map(len, labels), default=0))
    lanes_px = LANE_PX * max(1, len(order))
    holders = {task for holds in analysis.holds.values() for _, _, task in holds}
    bands_px = max(BAND_PX * len(bands), LEGEND_ROW_PX * (2 + (len(holders) + 1) // (2 if len(holders) > 6 else 1)))
    below_px = (GAP_PX + COUNTER_PX if counter else 0) + (GAP_PX + bands_px if bands else 0)
    height = TOP_PX + lanes_px + below_px + BOTTOM_PX
    fig = plt.figure(figsize=(WIDTH_PX / DPI, height / DPI), dpi=DPI)
    plot_px = WIDTH_PX - left_px - RIGHT_PX
    placed = []  # (axes, top in pixels, height in pixels): placed again if the picture grows

    def box(top_px, height_px):  # an axes placed in pixels, from the top
        return [left_px / WIDTH_PX, 1 - (top_px + height_px) / height, plot_px / WIDTH_PX, height_px / height]

    def add(top_px, height_px, **options):
        axes = fig.add_axes(box(top_px, height_px), **options)
        placed.append((axes, top_px, height_px))
        return axes

    end = max(analysis.end, 1) / 1e9
    scale = plot_px / (end * 1.01)  # pixels a second
    lanes = add(TOP_PX, lanes_px)
    legend = draw_lanes(lanes, analysis, profile, end, scale, Patch, Line2D, progress)
    lanes.set_yticks(range(len(order)), [brief(analysis.roles[task]) for task in order])
    lanes.set_ylim(len(order) - 0.5, -0.8)  # room above the first lane for its labels
    lanes.set_xlim(0, end * 1.01)
    lanes.grid(axis="x", color="#e5e5e5")
    lanes.set_axisbelow(True)
    lanes.legend(handles=legend, loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False, fontsize=10,
                 borderaxespad=0)
    heading = fig.suptitle(heading_text, y=1 - 10 / height, va="top", fontsize=12)
    axis, top = lanes, TOP_PX + lanes_px
    if counter:
        panel = add(top + GAP_PX, COUNTER_PX, sharex=lanes)
        bakery_counter(panel, analysis, end)
        plt.setp(axis.get_xticklabels(), visible=False)
        axis, top = panel, top + GAP_PX + COUNTER_PX
    if bands:
        panel = add(top + GAP_PX, bands_px, sharex=lanes)
        object_bands(panel, analysis, [] if counter else semaphores, mutexes, end, scale, Patch)
        plt.setp(axis.get_xticklabels(), visible=False)
        axis = panel
    axis.set_xlabel("seconds since the program started")
    if analysis.races:
        said_races(fig, axis, analysis.races)
    if analysis.cut:
        left_out(placed, analysis.cut)
    fit(fig, placed, heading, left_px, plot_px)
    fig.savefig(path, dpi=DPI, format="png")
    plt.close(fig)


def said_races(fig, axis, found):
    """The data races that --races found, a line each, under the last panel."""
    lines = [f"data race on {race.object}: " + "; ".join(
        f"{a.thread} {'writes' if a.access == 'write' else 'reads'} at {a.file}:{a.line}" for a in race.accesses)
        for race in found[:MOST_RACES]]
    if len(found) > MOST_RACES:
        lines.append(f"and {len(found) - MOST_RACES} more data races")
    axis.annotate("\n".join(lines), (0, 0), xycoords="axes fraction", xytext=(0, -36), textcoords="offset points",
                  ha="left", va="top", fontsize=9, color="#b00020")


def left_out(placed, cut):
    """The part of a long run that the tool left out, hatched over every panel."""
    for axes, _, _ in placed:
        axes.axvspan(cut[0] / 1e9, cut[1] / 1e9, facecolor="#f2f2f2", edgecolor="#999999", hatch="//", linewidth=0,
                     zorder=5)
    lanes = placed[0][0]
    lanes.text((cut[0] + cut[1]) / 2e9, -0.8, "left out", ha="center", va="bottom", fontsize=9, color="#555555",
               zorder=6)


def fits(width_px, label):
    """Whether a bar this wide takes its label inside it."""
    return width_px >= max(LABEL_PX, SMALL_CHAR_PX * len(label) + 12)


def fit(fig, placed, heading, left_px, plot_px):
    """Makes the picture wide and tall enough for every legend and label, the
    panels keeping their places and sizes in pixels."""
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    width, height = fig.get_size_inches() * DPI
    boxes = [axes.get_tightbbox(renderer) for axes, _, _ in placed] + [heading.get_window_extent(renderer)]
    boxes = [b for b in boxes if b is not None]
    outside_right = max(b.x1 for b in boxes) - width
    outside_below = -min(b.y0 for b in boxes)
    if outside_right <= 0 and outside_below <= 0:
        return
    right = width + outside_right + MARGIN_PX if outside_right > 0 else width
    below = outside_below + MARGIN_PX if outside_below > 0 else 0
    width, grown = max(width, right), height + below
    fig.set_size_inches(width / DPI, grown / DPI)
    for axes, top_px, height_px in placed:
        axes.set_position([left_px / width, 1 - (top_px + height_px) / grown, plot_px / width, height_px / grown])
    heading.set_y(1 - 10 / grown)


def draw_lanes(lanes, analysis, profile, end, scale, patch, line, progress):
    """The lanes; returns the legend's entries."""
    colours = dict(profile["colours"] if profile else {}, **STATE_COLOURS)
    roles, names = analysis.roles, analysis.names
    lane = {task: i for i, task in enumerate(analysis.order)}
    states, used, labels, never_ended, label_of = [], set(), [], [], {}
    for task in analysis.order:
        task_calls = analysis.calls.get(task, [])
        if not task_calls and task not in analysis.lives:
            continue
        # The waits and sleeps, as arrays; a kind of state for each distinct call.
        waiting = [call for call in task_calls if call.name in STATES]
        kinds_of = {}
        for call in waiting:
            key = (call.name, call.args)
            if key not in kinds_of:
                objects = names.of(call, task)
                state = state_of(call, roles[task], objects, profile)
                if state not in states:
                    states.append(state)
                kinds_of[key] = states.index(state)
                if objects and not profile:
                    label_of[key] = objects[0][1]
        starts = np.fromiter((call.start for call in waiting), dtype=float, count=len(waiting)) / 1e9
        ends = np.fromiter((call.end for call in waiting), dtype=float, count=len(waiting)) / 1e9
        kinds = np.fromiter((kinds_of[(call.name, call.args)] for call in waiting), dtype=np.int64,
                            count=len(waiting))
        for i in np.nonzero((ends - starts) * scale >= LABEL_PX)[0]:
            obj = label_of.get((waiting[i].name, waiting[i].args))
            if obj and fits((ends[i] - starts[i]) * scale, obj):
                labels.append(((starts[i] + ends[i]) / 2, lane[task], obj))
        never_ended += [(call.end / 1e9, lane[task]) for call in waiting if id(call) in analysis.unfinished]
        first, last = (moment / 1e9 for moment in analysis.lives[task])  # from its creation to its end
        y = (lane[task] - 0.35, 0.7)
        if (last - first) * scale >= 1 and not profile:
            lanes.broken_barh([(first, last - first)], y, color=colours["running"], linewidth=0)
            if (last - first - (ends - starts).sum()) * scale >= 1:  # some of it shows
                used.add("running")
        if (end - last) * scale >= 1:
            lanes.broken_barh([(last, end - last)], y, color=colours["done"], linewidth=0)
            used.add("done")
        by_kind = {}
        for x, width, kind in merged(starts, ends, kinds, scale):
            by_kind.setdefault(int(kind), []).append((x / scale, width / scale))
        for kind, spans in by_kind.items():
            lanes.broken_barh(spans, y, color=colours.get(states[kind], "#999999"), linewidth=0)
            used.add(states[kind])
        progress(f"drawing: {lane[task] + 1} of {len(lane)} threads")
    for x, y, obj in labels:
        lanes.text(x, y, obj, ha="center", va="center", fontsize=7, color="white", clip_on=True)
    if never_ended:
        lanes.plot([x for x, _ in never_ended], [y for _, y in never_ended], marker="X", color="black",
                   linestyle="", markersize=9)
    written = [(ts / 1e9, lane[task], text) for ts, task, text in analysis.lines
               if task in lane and ts is not None and text.strip()]
    ticks = sorted({(round(t * scale), y) for t, y, _ in written})  # one a pixel
    lanes.plot([x / scale for x, _ in ticks], [y for _, y in ticks], "|", color="black", markersize=15,
               markeredgewidth=1.5)
    if len(written) <= MOST_LABELLED_LINES:  # few enough to say what they are
        taken = {}  # lane: where its last label ends, in pixels
        for t, y, text in sorted(written, key=lambda w: (w[1], w[0])):
            right = t > end / 2
            label = shown(text.strip())
            reach = (t * scale - SMALL_CHAR_PX * len(label), t * scale) if right else \
                (t * scale, t * scale + SMALL_CHAR_PX * len(label))
            if reach[0] < taken.get(y, -1):  # it would lie over the label before it: the tick says enough
                continue
            taken[y] = reach[1] + SMALL_CHAR_PX
            # Above the lane, in the gap before the next, so that it hides no lane.
            lanes.annotate(label, (t, y - 0.35), xytext=(-3 if right else 3, 0), textcoords="offset points",
                           ha="right" if right else "left", va="bottom", fontsize=8, clip_on=True)
    flow_legend = {}
    if len(analysis.flows) <= MOST_ARROWS:
        kinds = {}  # kind: its objects that hand over, in order
        for name, *_ in analysis.flows:
            objects = kinds.setdefault(analysis.objects.get(name), [])
            if name not in objects:
                objects.append(name)
        for name, from_task, release, to_task, wait in analysis.flows:
            kind = analysis.objects.get(name)
            colour, label = flow_style(name, kind, kinds[kind], profile,
                                       analysis.names.title(wait).startswith("std::"))
            flow_legend[label] = colour
            lanes.annotate("", xy=(wait.end / 1e9, lane[to_task]), xytext=(release.start / 1e9, lane[from_task]),
                           arrowprops={"arrowstyle": "-|>", "color": colour, "lw": 1, "shrinkA": 0, "shrinkB": 2})
    order = list(profile["colours"]) if profile else []
    order += [state for state in STATE_COLOURS if state not in ("done",)] + ["done"]
    legend = [patch(color=colours[state], label=state) for state in order if state in used]
    legend.append(line([], [], marker="|", color="black", linestyle="", markersize=12, markeredgewidth=1.5,
                       label="a line written"))
    if never_ended:
        legend.append(line([], [], marker="X", color="black", linestyle="", markersize=8,
                           label="waiting when stopped"))
    legend += [line([], [], color=colour, marker=">", markersize=5, label=label)
               for label, colour in flow_legend.items()]
    if len(analysis.flows) > MOST_ARROWS:
        legend.append(line([], [], color="none", label=f"{len(analysis.flows):,} hand-overs, too many to draw"))
    return legend


def brief(name):
    """A name as the picture shows it: a long one with its middle left out,
    its start and its end (a thread's number) kept."""
    if len(name) <= MOST_NAME_CHARS:
        return name
    keep = MOST_NAME_CHARS - 1
    return name[:keep - keep // 3] + "\u2026" + name[-(keep // 3):]


def shown(text):
    """A line's text as the picture can show it: control characters escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in text)


def title(program, speed, analysis):
    pace = f", run {speed:g}x faster under libfaketime" if speed else ""
    processes = len({pid for pid, _ in analysis.order})
    threads = len(analysis.order) > processes
    actors = "thread and process" if processes > 1 and threads else "process" if processes > 1 else "thread"
    if analysis.stop is None:
        return f"{program}: what each {actors} does, in the program's own seconds{pace}"
    reason, at, by = analysis.stop
    return {"deadlock": f"{program} deadlocked: every thread waits, and none can wake another "
                        f"(stopped at {at / 1e9:.1f} s)",
            "deadline": f"{program}: stopped at its deadline, {at / 1e9:.1f} s{pace}",
            "stopped": f"{program} was stopped by a signal, and ended at {at / 1e9:.1f} s{pace}",
            "interrupted": f"{program}: stopped by {by} at {at / 1e9:.1f} s{pace}"}[reason]


def flow_style(name, kind, objects, profile, cxx=False):
    """The colour and legend of a hand-over on the object, one of the objects
    of its kind: each named with a colour of its own where they are few.
    C++ notifies a condition variable where C signals it."""
    if profile and name in profile["flows"]:
        return profile["flows"][name]
    colour, verb = FLOWS.get(kind, ("grey", "woke a waiter"))
    if kind == "cond" and cxx:
        verb = "notified"
    if len(objects) > MOST_FLOW_LABELS:
        return colour, f"a {kind} {verb}"
    if len(objects) > 1:
        colour = FLOW_PALETTE[objects.index(name) % len(FLOW_PALETTE)]
    return colour, f"{brief(name)} {verb}"


def steps(panel, series, end, shown, **style):
    """A value as steps from 0 s, through each change, to the end."""
    if len(series) > 20000:  # more steps than pixels: keep each pixel's highest value
        buckets = {}
        for t, v in series:
            key = int(t / 1e9 / end * 2000)
            if key not in buckets or v > buckets[key][1]:
                buckets[key] = (t, v)
        series = [buckets[k] for k in sorted(buckets)]
    ys = [shown(v) for _, v in series]
    panel.step([0] + [t / 1e9 for t, _ in series] + [end], [ys[0]] + ys + [ys[-1]], where="post", lw=1.5, **style)


def bakery_counter(panel, analysis, end):
    """The bakery's counter: the buns lying on it and the places taken."""
    values = analysis.values
    places = values["freePlace"][0][1] if "freePlace" in values else 3
    if "bun" in values:
        steps(panel, values["bun"], end, lambda v: v, color="#e63946", label="buns lying on the counter")
    if "freePlace" in values:
        steps(panel, values["freePlace"], end, lambda v: places - v, color="#5a4634", linestyle="--",
              label="places taken")
    panel.set_ylabel("counter")
    panel.set_yticks(range(places + 1))
    panel.set_ylim(-0.2, places + 0.3)
    panel.grid(color="#e5e5e5")
    panel.legend(loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False, fontsize=10, borderaxespad=0)


def object_bands(panel, analysis, semaphores, mutexes, end, scale, patch):
    """A band per semaphore with its value as steps (its top is the highest
    value), then a band per mutex, each hold coloured by its holder."""
    import matplotlib.pyplot as plt

    row = 0
    for name in semaphores:
        series = analysis.values[name]
        top = max(1, max(v for _, v in series))
        steps(panel, series, end, lambda v, row=row, top=top: row + 0.35 - 0.7 * v / top, color="#e63946")
        panel.text(end * 1.01, row, f" 0 to {top}", va="center", fontsize=8, color="#555555")
        row += 1
    palette = plt.get_cmap("tab20")
    tasks, shown = list(analysis.order), set()
    index = {task: i for i, task in enumerate(tasks)}
    for name in mutexes:
        holds = analysis.holds[name]
        if holds:
            starts = np.fromiter((h[0] for h in holds), dtype=float, count=len(holds)) / 1e9
            ends = np.fromiter((h[1] for h in holds), dtype=float, count=len(holds)) / 1e9
            kinds = np.fromiter((index.get(h[2], 0) for h in holds), dtype=np.int64, count=len(holds))
            by_holder = {}
            for x, width, kind in merged(starts, ends, kinds, scale, least=1e-9):  # the briefest hold shows
                by_holder.setdefault(int(kind), []).append((x / scale, width / scale))
            for holder, spans in by_holder.items():
                spans = [(x, max(width, HOLD_PX / scale)) for x, width in spans]  # the briefest hold stays in sight
                panel.broken_barh(spans, (row - 0.35, 0.7), color=palette(holder % 20), linewidth=0)
                shown.add(holder)
                for x, width in spans:
                    if fits(width * scale, analysis.roles[tasks[holder]]):
                        panel.text(x + width / 2, row, analysis.roles[tasks[holder]], ha="center", va="center",
                                   fontsize=8, clip_on=True)
        row += 1
    panel.set_yticks(range(row), [brief(name) for name in semaphores + [f"{name} held by" for name in mutexes]])
    panel.set_ylim(row - 0.5, -0.5)
    panel.grid(axis="x", color="#e5e5e5")
    panel.set_axisbelow(True)
    if shown:
        holders = [patch(color=palette(h % 20), label=brief(analysis.roles[tasks[h]])) for h in sorted(shown)]
        panel.legend(handles=holders,
                     loc="upper left", bbox_to_anchor=(1.06, 1), frameon=False, fontsize=9, borderaxespad=0,
                     ncol=2 if len(shown) > 6 else 1, title="held by", title_fontsize=9)
