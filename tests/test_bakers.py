import os, re, unittest
from ptyrun import run, texts

START = "\tThe Start Of The Workday"
END = "\tThe End Of The Workday"
HOME = [f"Baker {n} went home." for n in (1, 2, 3)] + [f"Eater {n} went home." for n in range(1, 8)]
REPORT = (["", "\tBaked Buns:"] + [f"Baker {n} baked 7 buns." for n in (1, 2, 3)]
          + ["", "\tEaten Buns:"] + [f"Eater {n} ate 3 buns." for n in range(1, 8)]
          + ["", "\tOther:", "0 buns left.", "3 free places left."])
PROGRESS = re.compile(r"(Baker|Eater) (\d+) is (baking|eating) (\d+) bun\.\.\.")
EACH_WORKER = {**{("Baker", n, "baking"): list(range(1, 8)) for n in (1, 2, 3)},
               **{("Eater", n, "eating"): [1, 2, 3] for n in range(1, 8)}}


def check_day(test, lines, late_progress=False):
    """What holds for every whole workday, whatever the timing."""
    progress = [(i, m) for i, line in enumerate(lines) if (m := PROGRESS.fullmatch(line))]
    test.assertEqual([line for line in lines if not PROGRESS.fullmatch(line)],
                     [START, "", END] + HOME + REPORT)
    counts, level, last = {}, 0, {}
    for i, m in progress:
        key = (m[1], int(m[2]), m[3])
        counts.setdefault(key, []).append(int(m[4]))
        last[f"{m[1]} {m[2]} went home."] = i
        level += 1 if m[1] == "Baker" else -1
        test.assertTrue(0 <= level <= 3, f"baked minus eaten is {level} at line {i}")
    test.assertEqual(counts, EACH_WORKER)
    for home, i in last.items():
        test.assertLess(i, lines.index(home), f"{home} before its last progress line")
    if not late_progress:
        test.assertLess(progress[-1][0], lines.index(END))


class RealTime(unittest.TestCase):
    def test_workday_on_a_terminal(self):
        day = run("bakers")
        self.assertEqual(day.status, 0, day.err)
        check_day(self, texts(day))
        self.assertLess(day.lines[0][0], 0.5)
        baking = [t for t, text in day.lines if "is baking" in text]
        eating = [t for t, text in day.lines if "is eating" in text]
        # Three places turn over every 9 s: waves of three lines. Sleeps never end early.
        for times, first in ((baking, 6), (eating, 9)):
            for k, t in enumerate(times):
                ideal = first + 9 * (k // 3)
                self.assertTrue(ideal <= t < ideal + 1, f"line {k} at {t:.3f} s, ideal {ideal} s")
        self.assertTrue(75 <= dict((text, t) for t, text in day.lines)[END] < 76)
        self.assertTrue(80 <= day.end < 81, day.end)


class Compressed(unittest.TestCase):
    def test_workday_on_a_terminal_a_pipe_and_with_arguments(self):
        for output, args in (("terminal", ()), ("pipe", ()), ("terminal", ("extra", "--help"))):
            with self.subTest(output=output, args=args):
                day = run("bakers", *args, output=output, speed=20)
                self.assertEqual((day.status, day.err), (0, ""))
                check_day(self, texts(day))


class Failures(unittest.TestCase):
    def test_creation_failure_reports_the_returned_error(self):
        for nth, who, error, text in ((1, "Baker", "EAGAIN", "Resource temporarily unavailable"),
                                      (2, "Baker", "EAGAIN", "Resource temporarily unavailable"),
                                      (6, "Eater", "EPERM", "Operation not permitted")):
            with self.subTest(nth=nth):
                day = run("bakers", fail=("pthread_create", nth, error))
                self.assertEqual((day.status, day.out, day.err),
                                 (1, START + "\n", f"{who} was hit by car.\n: {text}\n"))

    def test_join_failure_ends_the_day_without_report(self):
        for nth, said in ((2, "Baker 2 died of overwork."), (5, "Eater 2 died of overeating.")):
            with self.subTest(nth=nth):
                day = run("bakers", speed=20, fail=("pthread_join", nth, "ESRCH"))
                self.assertEqual((day.status, day.err), (1, ""))
                tail = day.out[day.out.index(END):].split("\n")
                self.assertEqual(tail, [END] + HOME[:nth - 1] + [said])


class Stress(unittest.TestCase):
    def test_many_days_in_a_row(self):
        for day_number in range(30):
            with self.subTest(day=day_number):
                day = run("bakers", output=("terminal", "pipe")[day_number % 2], speed=100)
                self.assertEqual((day.status, day.err), (0, ""))
                # This fast, a progress line may come after the end title.
                check_day(self, texts(day), late_progress=True)


class Valgrind(unittest.TestCase):
    def test_helgrind_and_drd_find_nothing(self):
        suppressions = os.path.join(os.path.dirname(__file__), "valgrind.supp")
        for tool in ("helgrind", "drd"):
            with self.subTest(tool=tool):
                day = run("bakers", speed=20, wrapper=("valgrind", "-q", f"--tool={tool}", "--error-exitcode=3",
                                                       f"--suppressions={suppressions}"))
                self.assertEqual((day.status, day.err), (0, ""))
                check_day(self, texts(day), late_progress=True)


if __name__ == "__main__":
    unittest.main()
