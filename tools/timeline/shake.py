"""--shake: runs the program again and again, each run shaken by the
recording library's delays around its synchronising calls, until one
misbehaves; that run is the one the tool then reads and shows.

Run 1 is the program as it is, the library in place and no delay: the
reference. Each later run takes a seed of its own, from which every thread
draws its delays, so that a seed repeats them. Every run has address
randomisation off. A run misbehaves when it hangs, reaches its deadline,
stops itself, ends otherwise than with status 0, or writes other lines than
run 1: the lines that reached the terminal, compared as a multiset, each
run's process ids replaced by their order and pointers masked. Only the
run shown is read; the others are compared by their output and status
alone, and their records go as soon as they are."""
import os, random, re, shlex, shutil
from collections import Counter
from dataclasses import dataclass, field

from . import record
from .endings import signal_name
from .read import read_images

MOST_SAID = 10  # lines said of each side where two runs wrote other lines
POINTER = re.compile(rb"0x[0-9a-fA-F]{9,}")  # a %p of the heap, a stack or a library
NUMBER = re.compile(rb"\b\d+\b")
SEEDS = 1 << 32  # a seed is drawn below this


@dataclass
class Shaken:
    """What a shake found: the run to show (its number, its seed or None
    for run 1, its Recording), how many runs it made of how many, and what
    was wrong with the run shown ("" when every run was alike), with the
    lines found in only one of run 1 and it; stopped_by: what stopped the
    shake ("Ctrl-C", "SIGTERM"), in the run shown or after it ("" for
    nothing), and whether it was in it."""
    number: int
    seed: int | None
    recording: record.Recording
    runs: int
    misbehaved: str = ""
    only_first: list = field(default_factory=list)
    only_shown: list = field(default_factory=list)
    stopped_by: str = ""
    in_run: bool = False


def lines_of(recording):
    """The lines of a run as the shake compares them: a multiset, each of
    the run's process ids replaced by its order (<pid 1>...), pointers
    masked."""
    pids = []
    for _, image in sorted(read_images(recording.folder).items()):
        if image.pid not in pids:
            pids.append(image.pid)
    order = {str(pid).encode(): f"<pid {n}>".encode() for n, pid in enumerate(pids, 1)}
    found = Counter()
    pieces = recording.output.split(b"\n")
    if pieces[-1] == b"":  # after the last line's end
        pieces.pop()
    for line in pieces:
        line = POINTER.sub(b"0x...", line)
        line = NUMBER.sub(lambda number: order.get(number[0], number[0]), line)
        found[line.decode(errors="replace")] += 1
    return found


def misbehaviour(recording):
    """What was wrong with a run by its ending, or ""."""
    reason = recording.snapshot.reason if recording.snapshot is not None else None
    if reason is not None:
        words = {"deadlock": "hung", "deadline": "reached its deadline", "stopped": "stopped itself"}
        return words.get(reason, reason)
    if recording.status < 0:
        name = signal_name(-recording.status)
        return f"was killed by signal {-recording.status}" + (f" ({name})" if name else "")
    return f"exited with status {recording.status}" if recording.status else ""


def shake(path, options, folder, interrupts, stdin, progress):
    """Runs the program up to options.shake times (with --seed, twice),
    and returns the Shaken: the first run that misbehaved, or the last."""
    library = record.build_library(folder)
    seeds = [None] + ([options.seed] if options.seed is not None else
                      [random.SystemRandom().randrange(1, SEEDS) for _ in range(options.shake - 1)])
    first, kept, recording = None, None, None
    for number, seed in enumerate(seeds, 1):
        if interrupts.count and recording is not None:  # Ctrl-C between two runs: the last one is shown
            return Shaken(number - 1, seeds[number - 2], recording, len(seeds), stopped_by=stopper(interrupts))
        progress(f"shake: run {number} of {len(seeds)}" + (f" (seed {seed})" if seed else " (unperturbed)"))
        place = os.path.join(folder, f"run{number}")
        os.makedirs(place)
        recording = record.record(path, options.args, options.speed, options.deadline, place, None, interrupts,
                                  stdin, library, shaken=seed or 0)
        if kept is not None:
            shutil.rmtree(kept, ignore_errors=True)  # a run's record goes once a later one replaces it
        kept = place
        if recording.snapshot is not None and recording.snapshot.reason == "interrupted":
            return Shaken(number, seed, recording, len(seeds), stopped_by=stopper(interrupts), in_run=True)
        wrong = misbehaviour(recording)
        lines = lines_of(recording)
        if first is None:
            first = lines
        elif not wrong and lines != first:
            return Shaken(number, seed, recording, len(seeds), "wrote other lines than run 1",
                          sorted((first - lines).elements()), sorted((lines - first).elements()))
        if wrong:
            return Shaken(number, seed, recording, len(seeds), wrong)
    return Shaken(len(seeds), seeds[-1], recording, len(seeds))


def stopper(interrupts):
    """What stopped the shake, as the table says it."""
    first = interrupts.names[0] if interrupts.names else "SIGINT"
    return "Ctrl-C" if first == "SIGINT" else first


def said(shaken, command):
    """The lines that follow the report of the run shown. command: how the
    tool was run, without its --shake, --seed and the program."""
    which = f"run {shaken.number} of {shaken.runs} " + (f"(seed {shaken.seed})" if shaken.seed else "(unperturbed)")
    if shaken.stopped_by and shaken.in_run:
        before = shaken.number - 1
        return [f"shake: {shaken.stopped_by} stopped {which}"
                + (f"; the {before} runs before it were alike" if before > 1 else
                   "; the run before it was alike" if before else "")]
    if shaken.stopped_by:
        return [f"shake: {shaken.stopped_by} stopped the shake after {which}; "
                + ("all were alike" if shaken.number > 1 else "it was as it is")]
    if not shaken.misbehaved:
        return [f"shake: {shaken.runs} runs, all alike"]
    lines = [f"shake: {which} {shaken.misbehaved}"]
    for side, found in ((1, shaken.only_first), (shaken.number, shaken.only_shown)):
        lines += [f"  only in run {side}: {line}" for line in found[:MOST_SAID]]
        if len(found) > MOST_SAID:
            lines.append(f"  and {len(found) - MOST_SAID} more lines only in run {side}")
    if shaken.seed:
        lines.append(f"to shake it so again: {shlex.join([*command[:1], '--shake', '--seed', str(shaken.seed)])}"
                     + (" " + shlex.join(command[1:]) if command[1:] else ""))
    else:
        lines.append("it does so unshaken: a plain run shows it too")
    return lines
