"""Draws the run with matplotlib: a lane per thread, from its creation to its
end, each stretch coloured by what the thread was doing, a tick per line
written, an arrow per hand-over; below the lanes, a band per object: each
semaphore's value, and who held each mutex.

A long run cannot be drawn call by call. Whatever is narrower than a pixel
is merged: each pixel of a lane takes the state that filled most of it, so
drawing takes about as long for ten thousand calls as for a million."""
import numpy as np

from . import endings
from .calls import DONE, KINDS, RUNNING, STATES, TABLE
from .model import CALL_SYMBOLS, NO_OBJECT, Run, marks
from .programs import profile as program_profile, state_in

DPI = 100
WIDTH_PX, RIGHT_PX, CHAR_PX, LEGEND_ROW_PX = 1200, 250, 9, 16
TOP_PX, LANE_PX, GAP_PX, COUNTER_PX, BAND_PX, BOTTOM_PX = 45, 40, 20, 200, 30, 50
STATE_COLOURS = dict(zip(STATES, ("#e3efd9", "#8ecae6", "#b5179e", "#f77f00", "#e63946", "#7b2cbf", "#8d6e63",
                                  "#c9184a", "#3a86ff", "#ffd166", "#d9d9d9")))
# The holders of a mutex, each a colour that no state has: teals, greens, slates and browns.
HOLDER_COLOURS = ("#2a9d8f", "#6a994e", "#577590", "#b08968", "#264653", "#90be6d", "#43aa8b", "#7f5539",
                  "#4d908e", "#a3b18a", "#355070", "#83c5be")
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
STATE_OF = [TABLE[symbol].state for symbol in CALL_SYMBOLS]
HAS_STATE = marks(symbol for symbol in CALL_SYMBOLS if TABLE[symbol].state is not None)


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


def prepare():
    """Imports matplotlib, for the Agg back end that writes files."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot  # noqa: F401


class Drawn:
    """What the picture shows of a run: its first tracks and objects."""

    def __init__(self, run: Run):
        """Chooses what the picture shows of the run."""
        self.run = run
        self.heading = endings.title(run.program, run.speed, run.ending, actors(run))
        self.tracks = run.tracks[:MOST_LANES]
        if len(run.tracks) > MOST_LANES:  # a picture too tall to read, or for matplotlib to make
            self.heading += f"; its first {MOST_LANES} of {len(run.tracks):,} tracks"
        drawn = {track.index for track in self.tracks}
        flows = run.flows
        self.flows = flows[np.isin(flows["from_track"], list(drawn)) & np.isin(flows["to_track"], list(drawn))]
        self.holds = {obj: holds[np.isin(holds["track"], list(drawn))] for obj, holds in run.holds.items()}
        names = [run.objects[obj].name for obj in run.values]
        self.profile = program_profile(run.program, names)
        self.semaphores, self.mutexes = list(run.values), list(run.holds)
        if len(self.semaphores) + len(self.mutexes) > MOST_BANDS:
            self.heading += f"; its first {MOST_BANDS} of {len(self.semaphores) + len(self.mutexes):,} objects"
            self.semaphores = self.semaphores[:MOST_BANDS]
            self.mutexes = self.mutexes[:MOST_BANDS - len(self.semaphores)]

    def name(self, obj):
        return self.run.objects[obj].name


def actors(run):
    processes = len({track.pid for track in run.tracks})
    threads = len(run.tracks) > processes
    return "thread and process" if processes > 1 and threads else "process" if processes > 1 else "thread"


def draw(path, run: Run, progress=lambda text: None):
    """Draws the run into a PNG file at path."""
    prepare()
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    plt.rcParams.update({"font.size": 11})
    drawn = Drawn(run)
    tracks, profile = drawn.tracks, drawn.profile
    counter = bool(profile and "counter" in profile and drawn.semaphores)
    bands = ([] if counter else drawn.semaphores) + drawn.mutexes
    labels = [brief(track.role) for track in tracks] + [brief(f"{drawn.name(obj)} held by")
                                                        for obj in drawn.mutexes] + \
        [brief(drawn.name(obj)) for obj in bands]
    left_px = max(90, 30 + CHAR_PX * max(map(len, labels), default=0))
    lanes_px = LANE_PX * max(1, len(tracks))
    holders = set().union(*(set(holds["track"].tolist()) for holds in drawn.holds.values())) if drawn.holds \
        else set()
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

    end = max(run.end, 1) / 1e9
    scale = plot_px / (end * 1.01)  # pixels a second
    lanes = add(TOP_PX, lanes_px)
    legend = draw_lanes(lanes, drawn, end, scale, Patch, Line2D, progress)
    lanes.set_yticks(range(len(tracks)), [brief(track.role) for track in tracks])
    lanes.set_ylim(len(tracks) - 0.5, -0.8)  # room above the first lane for its labels
    lanes.set_xlim(0, end * 1.01)
    lanes.grid(axis="x", color="#e5e5e5")
    lanes.set_axisbelow(True)
    lanes.legend(handles=legend, loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False, fontsize=10,
                 borderaxespad=0)
    heading = fig.suptitle(drawn.heading, y=1 - 10 / height, va="top", fontsize=12)
    axis, top = lanes, TOP_PX + lanes_px
    if counter:
        panel = add(top + GAP_PX, COUNTER_PX, sharex=lanes)
        counter_panel(panel, drawn, end)
        plt.setp(axis.get_xticklabels(), visible=False)
        axis, top = panel, top + GAP_PX + COUNTER_PX
    if bands:
        panel = add(top + GAP_PX, bands_px, sharex=lanes)
        object_bands(panel, drawn, [] if counter else drawn.semaphores, end, scale, Patch)
        plt.setp(axis.get_xticklabels(), visible=False)
        axis = panel
    axis.set_xlabel("seconds since the program started")
    if run.races:
        said_races(axis, run.races)
    if run.cut:
        left_out(placed, run.cut)
    fit(fig, placed, heading, left_px, plot_px)
    fig.savefig(path, dpi=DPI, format="png")
    plt.close(fig)


def said_races(axis, found):
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
        axes.axvspan(cut.start / 1e9, cut.end / 1e9, facecolor="#f2f2f2", edgecolor="#999999", hatch="//",
                     linewidth=0, zorder=5)
    lanes = placed[0][0]
    lanes.text((cut.start + cut.end) / 2e9, -0.8, "left out", ha="center", va="bottom", fontsize=9,
               color="#555555", zorder=6)


def fits(width_px, label):
    """Whether a bar this wide takes its label inside it."""
    return width_px >= max(LABEL_PX, SMALL_CHAR_PX * len(label) + 12)


def fit(fig, placed, heading, left_px, plot_px):
    """Makes the picture wide and tall enough for every legend and label, the
    panels keeping their places and sizes in pixels."""
    fig.draw_without_rendering()  # lays the text out, to measure it
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


def draw_lanes(lanes, drawn, end, scale, patch, line, progress):
    """The lanes; returns the legend's entries."""
    run, profile = drawn.run, drawn.profile
    colours = dict(profile["colours"] if profile else {}, **STATE_COLOURS)
    lane = {track.index: i for i, track in enumerate(drawn.tracks)}
    states, used, labels, never_ended = [], set(), [], []
    for track in drawn.tracks:
        slices = track.slices
        y = (lane[track.index] - 0.35, 0.7)
        first, last = track.began / 1e9, track.ended / 1e9  # from its creation to its end
        waiting, keys, kinds, label_of = lane_states(track, run.objects, profile, states)
        starts = slices["start"][waiting] / 1e9
        ends = slices["end"][waiting] / 1e9
        for i in np.nonzero((ends - starts) * scale >= LABEL_PX)[0]:
            obj = label_of.get(int(keys[i]))
            if obj and fits((ends[i] - starts[i]) * scale, obj):
                labels.append(((starts[i] + ends[i]) / 2, lane[track.index], obj))
        never_ended += [(at / 1e9, lane[track.index]) for at in slices["end"][waiting][slices["unfinished"][waiting]]]
        if (last - first) * scale >= 1 and not profile:
            lanes.broken_barh([(first, last - first)], y, color=colours[RUNNING], linewidth=0)
            if (last - first - (ends - starts).sum()) * scale >= 1:  # some of it shows
                used.add(RUNNING)
        if (end - last) * scale >= 1:
            lanes.broken_barh([(last, end - last)], y, color=colours[DONE], linewidth=0)
            used.add(DONE)
        by_kind = {}
        for x, width, kind in merged(starts, ends, kinds, scale):
            by_kind.setdefault(int(kind), []).append((x / scale, width / scale))
        for kind, spans in by_kind.items():
            lanes.broken_barh(spans, y, color=colours.get(states[kind], "#999999"), linewidth=0)
            used.add(states[kind])
        progress(f"drawing: {lane[track.index] + 1} of {len(lane)} threads")
    for x, y, obj in labels:
        lanes.text(x, y, obj, ha="center", va="center", fontsize=7, color="white", clip_on=True)
    if never_ended:
        lanes.plot([x for x, _ in never_ended], [y for _, y in never_ended], marker="X", color="black",
                   linestyle="", markersize=9)
    written = [(entry.at / 1e9, lane[entry.track], entry.text) for entry in run.lines
               if entry.track in lane and entry.text.strip()]
    ticks = sorted({(round(t * scale), y) for t, y, _ in written})  # one a pixel
    lanes.plot([x / scale for x, _ in ticks], [y for _, y in ticks], "|", color="black", markersize=15,
               markeredgewidth=1.5)
    if len(written) <= MOST_LABELLED_LINES:  # few enough to say what they are
        label_lines(lanes, written, end, scale)
    flow_legend = draw_flows(lanes, drawn, lane, profile)
    return legend_of(colours, profile, used, never_ended, flow_legend, len(drawn.flows), patch, line)


def lane_states(track, objects, profile, states):
    """The track's slices that the lanes show as a state (indices), a key
    for each distinct call and object, the index in states (a list, which
    grows) of each one's state, and {key: the object's name} for labels."""
    slices = track.slices
    waiting = np.nonzero(HAS_STATE[slices["call"]])[0]
    keys = slices["call"][waiting].astype(np.int64) * (len(objects) + 1) + slices["first"][waiting] + 1
    kinds = np.zeros(len(waiting), dtype=np.int64)
    label_of = {}
    for key in np.unique(keys).tolist():
        call, obj = divmod(key, len(objects) + 1)
        named = [objects[obj - 1].name] if obj else []
        state = state_in(profile, STATE_OF[call], track.role, named)
        if state not in states:
            states.append(state)
        kinds[keys == key] = states.index(state)
        if named and not profile:
            label_of[key] = named[0]
    return waiting, keys, kinds, label_of


def legend_of(colours, profile, used, never_ended, flow_legend, flows, patch, line):
    """The lanes' legend: the states shown, a line's tick, the mark of a
    wait never ended, and the hand-overs' colours."""
    order = list(profile["colours"]) if profile else []
    order += [state for state in STATE_COLOURS if state != DONE] + [DONE]
    legend = [patch(color=colours[state], label=state) for state in order if state in used]
    legend.append(line([], [], marker="|", color="black", linestyle="", markersize=12, markeredgewidth=1.5,
                       label="a line written"))
    if never_ended:
        legend.append(line([], [], marker="X", color="black", linestyle="", markersize=8,
                           label="waiting when stopped"))
    legend += [line([], [], color=colour, marker=">", markersize=5, label=label)
               for label, colour in flow_legend.items()]
    if flows > MOST_ARROWS:
        legend.append(line([], [], color="none", label=f"{flows:,} hand-overs, too many to draw"))
    return legend


def label_lines(lanes, written, end, scale):
    """Each line's text above its tick, in the gap before the next lane so
    that it hides no lane: in the first half of the run after its tick, in
    the second before it; shortened where its neighbour leaves too little
    room, never left out."""
    by_lane = {}
    for t, y, text in written:
        by_lane.setdefault(y, []).append((t * scale, t, shown(text.strip())))
    for y, found in by_lane.items():
        found.sort()
        taken = -1e9  # where the labels so far end, in pixels
        for i, (x, t, label) in enumerate(found):
            right = t > end / 2
            if right:
                room = x - taken
            else:
                room = (found[i + 1][0] - x - SMALL_CHAR_PX) if i + 1 < len(found) else 1e9
            label = shortened(label, max(1, int(room / SMALL_CHAR_PX)))
            taken = x + SMALL_CHAR_PX if right else x + SMALL_CHAR_PX * (len(label) + 1)
            lanes.annotate(label, (t, y - 0.35), xytext=(-3 if right else 3, 0), textcoords="offset points",
                           ha="right" if right else "left", va="bottom", fontsize=8, clip_on=True)


def shortened(text, keep):
    """A text cut to keep characters, the last of them an ellipsis."""
    return text if len(text) <= keep else text[:max(keep - 1, 0)] + "\u2026"


def draw_flows(lanes, drawn, lane, profile):
    """An arrow per hand-over, from the call that let a waiter go on to the
    end of its wait, where they are few enough; returns the legend's
    entries: {label: colour}."""
    run, flow_legend = drawn.run, {}
    if len(drawn.flows) > MOST_ARROWS:
        return flow_legend
    kinds = {}  # kind: its objects that hand over, in order
    for flow in drawn.flows.tolist():
        objects = kinds.setdefault(flow_kind(run, flow[0]), [])
        if flow[0] not in objects:
            objects.append(flow[0])
    for obj, from_track, from_slice, to_track, to_slice in drawn.flows.tolist():
        kind = flow_kind(run, obj)
        wait = run.tracks[to_track].slices[to_slice]
        release = run.tracks[from_track].slices[from_slice]
        name = run.objects[obj].name if obj != NO_OBJECT else "future"
        colour, label = flow_style(name, kind, kinds[kind].index(obj), len(kinds[kind]), profile,
                                   run.titles[wait["title"]].startswith("std::"))
        flow_legend[label] = colour
        lanes.annotate("", xy=(wait["end"] / 1e9, lane[to_track]),
                       xytext=(release["start"] / 1e9, lane[from_track]),
                       arrowprops={"arrowstyle": "-|>", "color": colour, "lw": 1, "shrinkA": 0, "shrinkB": 2})
    return flow_legend


def flow_kind(run, obj):
    return run.objects[obj].kind if obj != NO_OBJECT else "future"


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


def flow_style(name, kind, place, count, profile, cxx=False):
    """The colour and legend of a hand-over on the object, place-th of the
    count objects of its kind that hand over: each named with a colour of
    its own where they are few. C++ notifies a condition variable where C
    signals it."""
    if profile and name in profile["flows"]:
        return profile["flows"][name]
    described = KINDS.get(kind)
    colour, verb = (described.colour, described.cxx_verb if cxx and described.cxx_verb else described.verb) \
        if described else ("grey", "woke a waiter")
    if count > MOST_FLOW_LABELS:
        return colour, f"a {kind} {verb}"
    if count > 1:
        colour = FLOW_PALETTE[place % len(FLOW_PALETTE)]
    return colour, f"{brief(name)} {verb}"


def steps(panel, series, end, shown_value, **style):
    """A value as steps from 0 s, through each change, to the end."""
    times, values = series["at"], series["value"]
    if len(series) > 20000:  # more steps than pixels: keep each pixel's highest value
        buckets = (times / 1e9 / end * 2000).astype(np.int64)
        order = np.lexsort((-values, buckets))
        first = np.ones(len(order), dtype=bool)
        first[1:] = buckets[order][1:] != buckets[order][:-1]
        kept = np.sort(order[first])
        times, values = times[kept], values[kept]
    ys = [shown_value(v) for v in values.tolist()]
    panel.step([0] + (times / 1e9).tolist() + [end], [ys[0]] + ys + [ys[-1]], where="post", lw=1.5, **style)


def counter_panel(panel, drawn, end):
    """A program's counter, as its profile describes it: the items lying on
    it, and the places taken (its free places counted down from their start)."""
    run, counter = drawn.run, drawn.profile["counter"]
    values = {run.objects[obj].name: series for obj, series in run.values.items()}
    (items, items_label, items_colour), (free, free_label, free_colour) = counter["items"], counter["free"]
    places = int(values[free]["value"][0]) if free in values else counter["places"]
    if items in values:
        steps(panel, values[items], end, lambda v: v, color=items_colour, label=items_label)
    if free in values:
        steps(panel, values[free], end, lambda v: places - v, color=free_colour, linestyle="--", label=free_label)
    panel.set_ylabel(counter["title"])
    panel.set_yticks(range(places + 1))
    panel.set_ylim(-0.2, places + 0.3)
    panel.grid(color="#e5e5e5")
    panel.legend(loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False, fontsize=10, borderaxespad=0)


def object_bands(panel, drawn, semaphores, end, scale, patch):
    """A band per semaphore with its value as steps (its top is the highest
    value), then a band per mutex, each hold coloured by its holder."""
    run, row = drawn.run, 0
    for obj in semaphores:
        series = run.values[obj]
        top = max(1, int(series["value"].max()))
        steps(panel, series, end, lambda v, row=row, top=top: row + 0.35 - 0.7 * v / top, color="#e63946")
        panel.text(end * 1.01, row, f" 0 to {top}", va="center", fontsize=8, color="#555555")
        row += 1
    shown_holders = set()
    for obj in drawn.mutexes:
        holds = drawn.holds[obj]
        if len(holds):
            by_holder = {}
            for x, width, kind in merged(holds["start"] / 1e9, holds["end"] / 1e9, holds["track"].astype(np.int64),
                                         scale, least=1e-9):  # the briefest hold shows
                by_holder.setdefault(int(kind), []).append((x / scale, width / scale))
            for holder, spans in by_holder.items():
                spans = [(x, max(width, HOLD_PX / scale)) for x, width in spans]  # the briefest hold stays in sight
                panel.broken_barh(spans, (row - 0.35, 0.7), color=holder_colour(holder), linewidth=0)
                shown_holders.add(holder)
                for x, width in spans:
                    if fits(width * scale, run.tracks[holder].role):
                        panel.text(x + width / 2, row, run.tracks[holder].role, ha="center", va="center",
                                   fontsize=8, clip_on=True)
        row += 1
    panel.set_yticks(range(row), [brief(run.objects[obj].name) for obj in semaphores]
                     + [brief(f"{run.objects[obj].name} held by") for obj in drawn.mutexes])
    panel.set_ylim(row - 0.5, -0.5)
    panel.grid(axis="x", color="#e5e5e5")
    panel.set_axisbelow(True)
    if shown_holders:
        holders = [patch(color=holder_colour(h), label=brief(run.tracks[h].role)) for h in sorted(shown_holders)]
        panel.legend(handles=holders, loc="upper left", bbox_to_anchor=(1.06, 1), frameon=False, fontsize=9,
                     borderaxespad=0, ncol=2 if len(shown_holders) > 6 else 1, title="held by", title_fontsize=9)


def holder_colour(track):
    return HOLDER_COLOURS[track % len(HOLDER_COLOURS)]
