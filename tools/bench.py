#!/usr/bin/env python3
"""Benchmark, run by hand from the root after a build:
    tools/bench.py [build dir [program ...]]      (default: build, all four)

For a real-time run of each program on a pseudo-terminal: the largest and the
median gap between a line's moment (and the exit) and its ideal moment, the
CPU time, and the peak memory from a second run under GNU time (for bakers,
a day compressed with libfaketime, whose own pages count too). Then the instruction count of lumbrick's whole
run under callgrind, beside that of a plain C program that does the same.
Needs GNU time (package time), valgrind and a C compiler.
"""
import os, re, statistics, subprocess, sys, tempfile

os.environ.setdefault("BIN_DIR", sys.argv[1] if len(sys.argv) > 1 else "build")
from ptyrun import run


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

print("| program | lines | largest gap ms | median gap ms | CPU ms | peak memory KiB |")
print("|---|---|---|---|---|---|")
for program in sys.argv[2:] or IDEAL:
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

if "lumbrick" in (sys.argv[2:] or IDEAL):
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "plain.c"), "w") as source:
            source.write(PLAIN_C)
        subprocess.run(["cc", "-O2", "-pthread", source.name, "-o", f"{tmp}/plain"], check=True)
        print(f"\nlumbrick: {instructions([os.path.join(os.environ['BIN_DIR'], 'lumbrick')]):,} instructions;"
              f" the same in plain C: {instructions([f'{tmp}/plain']):,}")
