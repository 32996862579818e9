"""Real-time runs of each program on a pseudo-terminal: how far each line lands
from its ideal moment, and what the run costs. Run by hand from the root:
    python3 bench/bench.py [build dir [program ...]]      (default: build, all)
"""
import os, statistics, sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
os.environ.setdefault("BIN_DIR", sys.argv[1] if len(sys.argv) > 1 else "build")
from harness import run


def bakers_ideal(texts):
    waves = {"baking": 0, "eating": 0}
    for text in texts:
        kind = next((k for k in waves if f"is {k}" in text), None)
        if kind:
            yield (6 if kind == "baking" else 9) + 9 * (waves[kind] // 3)
            waves[kind] += 1
        else:
            yield 0 if text == "\tThe Start Of The Workday" else 75


IDEAL = {  # program: (ideal moment of each line, ideal end)
    "gorvane": (lambda texts: [0, 5], 5),
    "lumbrick": (lambda texts: [0, 0], 0),
    "fendrow": (lambda texts: [0, 0, 0], 2),
    "bakers": (lambda texts: list(bakers_ideal(texts)), 80),
}

print("| program | lines | largest gap ms | median gap ms | CPU ms | peak memory KiB |")
print("|---|---|---|---|---|---|")
for program in sys.argv[2:] or IDEAL:
    ideal, end = IDEAL[program]
    result = run(program, timeout=200)
    moments = [t for t, _ in result.lines] + [result.end]
    gaps = [1000 * (t - i) for t, i in zip(moments, ideal([x for _, x in result.lines]) + [end])]
    cpu = 1000 * (result.usage.ru_utime + result.usage.ru_stime)
    print(f"| {program} | {len(result.lines)} | {max(gaps):.1f} | {statistics.median(gaps):.1f} "
          f"| {cpu:.1f} | {result.usage.ru_maxrss} |", flush=True)
