import json, os, re, struct, subprocess, tempfile, unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "timeline.py")
PROGRESS = re.compile(r"(Baker|Eater) (\d+) is (baking|eating) \d+ bun\.\.\.")
BAKERS_PNG = (1200, 45 + 11 * 40 + 20 + 200 + 50)  # the tool's frame, 11 lanes and the counter panel


def trace(program, speed):
    """Runs the tool by its own path, as a user would; returns its output, the
    trace events and the picture's bytes."""
    with tempfile.TemporaryDirectory() as folder:
        prefix = os.path.join(folder, program)
        done = subprocess.run([TOOL, "--bin", os.environ["BIN_DIR"], "--speed", str(speed), "--out", prefix,
                               program], capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            raise AssertionError(f"timeline {program} failed: {done.stderr}")
        with open(prefix + ".json") as out:
            events = json.load(out)["traceEvents"]
        with open(prefix + ".png", "rb") as picture:
            return done.stdout, events, picture.read()


def tracks(events):
    """{(pid, tid): role}, and each role's spans and instants."""
    names = {(e["pid"], e["tid"]): e["args"]["name"] for e in events if e["name"] == "thread_name"}
    spans = {role: [e for e in events if e["ph"] == "X" and names[(e["pid"], e["tid"])] == role]
             for role in names.values()}
    return names, spans


class Bakers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.table, cls.events, cls.png = trace("bakers", 20)
        cls.names, cls.spans = tracks(cls.events)

    def test_eleven_tracks_in_order(self):
        roles = ["main"] + [f"Baker {n}" for n in (1, 2, 3)] + [f"Eater {n}" for n in range(1, 8)]
        order = {(e["pid"], e["tid"]): e["args"]["sort_index"] for e in self.events if e["name"] == "thread_sort_index"}
        self.assertEqual(sorted(self.names, key=order.get), [t for r in roles for t in self.names if self.names[t] == r])
        self.assertEqual([line.split("  ")[0] for line in self.table.splitlines()[1:12]], roles)

    def test_each_worker_waits_and_sleeps_its_quota(self):
        for role, semaphore, turns, seconds in ([(f"Baker {n}", "freePlace", 7, 6) for n in (1, 2, 3)]
                                                + [(f"Eater {n}", "bun", 3, 3) for n in range(1, 8)]):
            with self.subTest(role=role):
                spans = self.spans[role]
                waits = [s for s in spans if s["name"] == "sem_wait"]
                sleeps = [s for s in spans if s["name"] == "sleep"]
                self.assertEqual([w["args"] for w in waits], [{"semaphore": semaphore}] * turns)
                self.assertEqual([s["args"] for s in sleeps], [{"seconds": seconds}] * turns)
                for sleep in sleeps:
                    self.assertAlmostEqual(sleep["dur"] / 1e6, seconds, delta=seconds * 0.02)

    def test_counters_stay_within_the_counter(self):
        for name, first, last in (("bun", 0, 0), ("freePlace", 3, 3)):
            values = [e["args"]["value"] for e in self.events if e["ph"] == "C" and e["name"] == name]
            self.assertEqual((values[0], values[-1]), (first, last), name)
            self.assertTrue(all(0 <= v <= 3 for v in values), name)

    def test_progress_lines_are_on_their_workers_tracks(self):
        lines = [(m, self.names[(e["pid"], e["tid"])]) for e in self.events
                 if e["ph"] == "i" and (m := PROGRESS.fullmatch(e["name"]))]
        self.assertEqual(len(lines), 42)
        for m, role in lines:
            self.assertEqual(role, f"{m[1]} {m[2]}", m[0])

    def test_flows_run_forward_from_a_post_to_a_wait(self):
        flows = {}
        for e in self.events:
            if e["ph"] in "sf":
                flows.setdefault(e["id"], {})[e["ph"]] = e

        def inside(event, call):
            return any(s["name"] == call and s["args"] == {"semaphore": event["name"]}
                       and s["ts"] <= event["ts"] <= s["ts"] + s["dur"]
                       for s in self.spans[self.names[(event["pid"], event["tid"])]])

        for flow in flows.values():
            start, end = flow["s"], flow["f"]
            self.assertEqual((start["name"], end.get("bp")), (end["name"], "e"))
            self.assertLess(start["ts"], end["ts"])
            self.assertTrue(inside(start, "sem_post") and inside(end, "sem_wait"), flow)
        # Every eater's wait blocks, and every baker's but the first three.
        self.assertEqual(sorted(f["s"]["name"] for f in flows.values()), ["bun"] * 21 + ["freePlace"] * 18)

    def test_picture(self):
        self.assertEqual(self.png[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", self.png[16:24]), BAKERS_PNG)


class Others(unittest.TestCase):
    def test_gorvane_joins_after_the_workers_sleep(self):
        _, events, _ = trace("gorvane", 10)
        _, spans = tracks(events)
        (join,) = [s for s in spans["main"] if s["name"] == "pthread_join"]
        (sleep,) = [s for s in spans["worker"] if s["name"] == "sleep"]
        self.assertEqual(join["args"], {"thread": "worker"})
        self.assertAlmostEqual(join["dur"] / 1e6, 5, delta=0.25)
        self.assertGreaterEqual(join["ts"] + join["dur"], sleep["ts"] + sleep["dur"])

    def test_fendrow_parent_and_child_processes(self):
        _, events, _ = trace("fendrow", 10)
        names, spans = tracks(events)
        self.assertEqual(sorted(names.values()), ["child", "parent"])
        self.assertEqual(len({pid for pid, _ in names}), 2)
        (sleep,) = [s for s in spans["parent"] if s["name"] == "sleep"]
        self.assertEqual(sleep["args"], {"seconds": 2})
        self.assertAlmostEqual(sleep["dur"] / 1e6, 2, delta=0.1)

    def test_a_program_not_built(self):
        with tempfile.TemporaryDirectory() as empty:
            done = subprocess.run([TOOL, "--bin", empty, "gorvane"], capture_output=True, text=True, cwd=empty)
        self.assertNotEqual(done.returncode, 0)
        self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
        self.assertIn("gorvane is not built", done.stderr)


if __name__ == "__main__":
    unittest.main()
