#!/usr/bin/env python3
"""Benchmark, run by hand from the root after a build:
    tools/bench.py [build dir [program ...]]      (default: build, all four, timeline and races)

For a real-time run of each program on a pseudo-terminal: the largest and the
median gap between a line's moment (and the exit) and its ideal moment, the
CPU time, and the peak memory from a second run under GNU time (for bakers,
a day compressed with libfaketime, whose own pages count too). Then the
instruction count of lumbrick's whole run under callgrind, beside that of a
plain C program that does the same. Needs GNU time (package time), valgrind
and a C compiler.

timeline: tools/timeline.py on two test programs, beside uftrace record and
uftrace dump --chrome alone on the same program, recording the arguments of
the same calls, each writing its trace into a file of the same folder, in
turn for five rounds (uftrace is the peer measured
against, installed here if it is missing and this runs as root, else left
out): lockloop, whose two C threads make 1,000,000 calls of
pthread_mutex_lock and pthread_mutex_unlock together, and lockguards, whose
four C++ threads take and release a std::mutex 1,000,000 times through a
std::lock_guard. For each: the times of each round, the medians and their
ratio, and the peak memory of the tool with all its children (the sum over
its processes of their proportional set sizes, in which the pages that a
fork's child shares with its parent count once, sampled ten times a
second).

races: tools/timeline.py with and without --races, in turn for five rounds,
on racy, whose two C threads each add 1 to a counter 100,000 times with no
lock: the times, the medians and their ratio.
"""
import os, re, shutil, statistics, subprocess, sys, tempfile, time

from ptyrun import run
from timeline.calls import CALLS

os.environ.setdefault("BIN_DIR", sys.argv[1] if len(sys.argv) > 1 else "build")  # where run() finds the programs

TIMELINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "timeline.py")
# program: (what it does, what it prints)
TIMELINE_PROGRAMS = {"lockloop": ("1,000,000 calls of pthread_mutex_lock and pthread_mutex_unlock in 2 C threads",
                                  "500000\n"),
                     "lockguards": ("1,000,000 std::mutex lock and unlock pairs through std::lock_guard in 4 C++ "
                                    "threads", "1000000\n")}
TIMELINE_TARGETS = (2, 1024)  # at most this many times uftrace alone, and MiB
TIMELINE_ROUNDS = 5
RACES_TARGET = 4  # --races takes at most this many times a plain run of the tool


def bakers_ideal(texts):
    waves = {"baking": 0, "eating": 0}
    for text in texts:
        kind = next((k for k in waves if f"is {k}" in text), None)
        if kind:  # three places turn over every 9 s: waves of three lines
            yield (6 if kind == "baking" else 9) + 9 * (waves[kind] // 3)
            waves[kind] += 1
        else:
            yield 0 if text == "\tThe Start Of The Workday" else 75


IDEAL = {  # program: (ideal moments of its lines, ideal moment of its exit)
    "gorvane": (lambda texts: [0, 5], 5),
    "lumbrick": (lambda texts: [0, 0], 0),
    "fendrow": (lambda texts: [0, 0, 0], 2),
    "bakers": (lambda texts: list(bakers_ideal(texts)), 80),
}


def instructions(command):
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
                         capture_output=True, text=True).stderr
    return int(re.search(r"Collected : (\d+)", out)[1])


PLAIN_C = r"""#include <pthread.h>
#include <stdio.h>
static void *tFunc(void *arg) { static int ret = 27; (void)arg; puts("Привет из потока"); return &ret; }
int main(void) { pthread_t t; void *v; pthread_create(&t, NULL, tFunc, NULL); pthread_join(t, &v);
                 printf("%d\n", *(int *)v); return 0; }
"""


class PeakMemory:
    """Watches a run: the most that the processes the runner started, and all
    their descendants, held at once, in KiB."""

    def __init__(self):
        self.peak = 0

    def __call__(self, family, seconds):
        held = 0
        for pid in family:
            try:  # a page that processes share (a fork's) counts once, a share in each
                with open(f"/proc/{pid}/smaps_rollup") as rollup:
                    held += int(re.search(r"^Pss:\s+(\d+)", rollup.read(), re.M)[1])
            except (OSError, TypeError):  # gone, or a zombie
                pass
        self.peak = max(self.peak, held)


def uftrace_command(folder):
    """uftrace's command line that records the calls of the tool's table with
    as many arguments, and their values; its options in a file beside the
    record, for uftrace 0.13 reads its own command line back into 4096 bytes."""
    options = ["--force", "--no-pltbind", "--no-sched", "--match=glob", "--demangle=no"]
    for symbol, call in CALLS.items():
        count = min(len(call.args), 4)
        if count:
            options += ["-A", f"{symbol}@" + ",".join(f"arg{n}/x" for n in range(1, count + 1))]
        options += ["-R", f"{symbol}@retval"]
    file = folder.rstrip(os.sep) + ".options"
    with open(file, "w") as written:
        written.write("\n".join(options) + "\n")
    return ["uftrace", "record", "-d", folder, f"--opt-file={file}"]


def peer():
    """Whether uftrace is here to measure against: installed where it is
    missing and this runs as root with apt-get."""
    if not shutil.which("uftrace") and os.geteuid() == 0 and shutil.which("apt-get"):
        subprocess.run(["apt-get", "install", "-y", "uftrace"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    return shutil.which("uftrace") is not None


def timeline(name, rounds=TIMELINE_ROUNDS):
    """uftrace alone and the tool, in turn, some rounds: this machine's pace
    varies from minute to minute, and each round meets the same."""
    alone, tool, peak = [], [], 0
    program = os.path.join(os.environ["BIN_DIR"], "tests", name)
    what, printed = TIMELINE_PROGRAMS[name]
    compared = peer()
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(rounds):
            if compared:
                data = os.path.join(folder, "uftrace.data")
                start = time.monotonic()
                recorded = run(program, output="pipe", wrapper=uftrace_command(data), timeout=300)
                recording = time.monotonic() - start
                start = time.monotonic()
                # Into a file beside the tool's own, as the tool writes its trace.
                dump = os.path.join(folder, f"{name}.uftrace.json")
                open(dump, "w").close()
                dumped = run(shutil.which("uftrace"), "dump", "--chrome", "--no-pager", "--demangle=no", "-d", data,
                             output=dump, timeout=300)
                alone.append((recording, time.monotonic() - start))
                assert recorded.out == printed and dumped.status == 0, (recorded, dumped)
                shutil.rmtree(data)
            memory = PeakMemory()
            start = time.monotonic()
            traced = run(TIMELINE, "--out", os.path.join(folder, name), program, output="pipe", watch=memory,
                         timeout=600)
            tool.append(time.monotonic() - start)
            assert traced.status == 0, traced.err
            peak = max(peak, memory.peak)
    print(f"\ntimeline on {name}, {what}, {rounds} rounds:")
    if not compared:
        print("- uftrace is not installed, and could not be: the tool's times alone")
        for tracing in tool:
            print(f"- tools/timeline.py: {tracing:.2f} s")
        print(f"- median: tools/timeline.py {statistics.median(tool):.2f} s")
    else:
        both = sorted(r + d for r, d in alone)
        for (recording, dumping), tracing in zip(alone, tool):
            print(f"- uftrace alone: record {recording:.2f} s + dump --chrome {dumping:.2f} s = "
                  f"{recording + dumping:.2f} s; tools/timeline.py: {tracing:.2f} s, "
                  f"{tracing / (recording + dumping):.1f} times")
        median_alone, median_tool = statistics.median(both), statistics.median(tool)
        print(f"- median: uftrace alone {median_alone:.2f} s, tools/timeline.py {median_tool:.2f} s: "
              f"{median_tool / median_alone:.1f} times uftrace alone (target: at most {TIMELINE_TARGETS[0]})")
    print(f"- peak memory of the tool with its children: {peak / 1024:.0f} MiB "
          f"(target: at most {TIMELINE_TARGETS[1]} MiB)")


def races(rounds=TIMELINE_ROUNDS):
    """The tool with and without --races, in turn, on racy."""
    program = os.path.join(os.environ["BIN_DIR"], "tests", "racy")
    plain, checked = [], []
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(rounds):
            for options, times, status in (((), plain, 0), (("--races",), checked, 4)):
                start = time.monotonic()
                traced = run(TIMELINE, "--out", os.path.join(folder, "racy"), *options, program, output="pipe",
                             timeout=600)
                times.append(time.monotonic() - start)
                assert traced.status == status, traced.err
    print(f"\ntimeline --races on racy, 2 threads of 100,000 unlocked increments, {rounds} rounds:")
    for without, with_races in zip(plain, checked):
        print(f"- tools/timeline.py: {without:.2f} s; with --races: {with_races:.2f} s, "
              f"{with_races / without:.1f} times")
    median_plain, median_races = statistics.median(plain), statistics.median(checked)
    print(f"- median: {median_plain:.2f} s, with --races {median_races:.2f} s: {median_races / median_plain:.1f} "
          f"times (target: at most {RACES_TARGET})")


chosen = sys.argv[2:] or [*IDEAL, "timeline", "races"]
if "timeline" in chosen:
    chosen[chosen.index("timeline"):chosen.index("timeline") + 1] = list(TIMELINE_PROGRAMS)
if any(p in IDEAL for p in chosen):
    print("| program | lines | largest gap ms | median gap ms | CPU ms | peak memory KiB |")
    print("|---|---|---|---|---|---|")
for program in (p for p in chosen if p in IDEAL):
    ideal, end = IDEAL[program]
    result = run(program, timeout=200)
    # A child of this Python process would inherit Python's own peak memory
    # across exec, so GNU time, a small process, starts the program instead.
    memory = run(program, wrapper=("/usr/bin/time", "-f", "%M"), speed=10 if program == "bakers" else None)
    moments = [t for t, _ in result.lines] + [result.end]
    gaps = [1000 * (t - i) for t, i in zip(moments, ideal([x for _, x in result.lines]) + [end])]
    cpu = 1000 * (result.usage.ru_utime + result.usage.ru_stime)
    print(f"| {program} | {len(result.lines)} | {max(gaps):.1f} | {statistics.median(gaps):.1f} "
          f"| {cpu:.1f} | {memory.err.split()[-1]} |", flush=True)

if "lumbrick" in chosen:
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "plain.c"), "w") as source:
            source.write(PLAIN_C)
        subprocess.run(["cc", "-O2", "-pthread", source.name, "-o", f"{tmp}/plain"], check=True)
        print(f"\nlumbrick: {instructions([os.path.join(os.environ['BIN_DIR'], 'lumbrick')]):,} instructions;"
              f" the same in plain C: {instructions([f'{tmp}/plain']):,}")

for name in (p for p in chosen if p in TIMELINE_PROGRAMS):
    timeline(name)

if "races" in chosen:
    races()
