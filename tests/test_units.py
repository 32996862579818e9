"""The timeline tool's stages on their own, without running any program: the
reader, the analysis and each writer on saved records (saved.py), the
writers on a model built by hand, and the pure parts (the argument parser,
the trace's numbers, the grouping of rows, a mutex's holds)."""
import contextlib, doctest, io, json, os, re, tempfile, unittest

import numpy as np

import saved
from timeline import explain, model, mutexes, options, picture, record, shake, table, trace
from timeline.analyse import EVENT
from timeline.calls import JOIN
from timeline.errors import Failure
from timeline.model import CALL_INDEX, Blocked, Ending, Obj, Run, Track, slices

RUNS = {name: saved.analysed(name) for name in ("lockorder", "prodcons", "ticker", "crew", "racy")}


def role_of(run, line):
    return run.tracks[line.track].role if line.track is not None else None


def written(run, write, suffix):
    """What a writer writes for the run, as bytes."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run" + suffix)
        write(path, run)
        with open(path, "rb") as file:
            return file.read()


class Reader(unittest.TestCase):
    def test_threads_calls_and_creations(self):
        recorded, recording, _, _, _ = saved.load("prodcons")
        self.assertEqual(len(recorded.threads), 5)  # main, the producer and three consumers
        self.assertEqual(len(recorded.creations), 4)
        self.assertEqual(len({c.tid for c in recorded.creations}), 4)
        for thread in recorded.threads.values():
            calls = thread.calls
            self.assertTrue((calls["start"][1:] >= calls["start"][:-1]).all(), "calls in order of start")
            finished = calls["end"] >= 0
            self.assertTrue((calls["end"][finished] >= calls["start"][finished]).all())
        self.assertEqual(recording.status, 0)

    def test_calls_in_flight_of_a_hung_run(self):
        recorded, recording, _, _, _ = saved.load("lockorder")
        in_flight = sum(int((thread.calls["end"] < 0).sum()) for thread in recorded.threads.values())
        self.assertEqual(in_flight, 3)  # main's join and each worker's second lock
        self.assertEqual(recording.snapshot.reason, "deadlock")


class Analysis(unittest.TestCase):
    def test_a_lock_cycle_is_explained(self):
        run = RUNS["lockorder"]
        self.assertEqual(run.ending.how, "deadlock")
        said = explain.deadlock(run)
        self.assertIn("forwards holds first and waits for second; backwards holds second and waits for first",
                      said)
        self.assertIn("main waits for forwards to end; forwards waits on second", said)
        places = [line for line in said if "pthread_mutex_lock" in line]
        self.assertEqual([re.search(r"lockorder\.c:(\d+)", line)[1] for line in places], ["18", "30"])
        self.assertEqual(len(run.blocked), 3)
        for blocked in run.blocked:
            self.assertTrue(run.tracks[blocked.track].slices["unfinished"][blocked.slice])

    def test_a_condition_hands_over_from_a_signal_to_a_wait(self):
        run = RUNS["prodcons"]
        conditions = {obj.index for obj in run.objects if obj.kind == "cond"}
        handed = run.flows[np.isin(run.flows["obj"], list(conditions))]
        self.assertGreater(len(handed), 0)
        for flow in handed:
            given = run.tracks[flow["from_track"]].slices[flow["from_slice"]]
            taken = run.tracks[flow["to_track"]].slices[flow["to_slice"]]
            self.assertIn(model.CALL_SYMBOLS[given["call"]], ("pthread_cond_signal", "pthread_cond_broadcast"))
            self.assertEqual(model.CALL_SYMBOLS[taken["call"]], "pthread_cond_wait")
            self.assertTrue(taken["blocked"])
            self.assertLess(taken["start"], given["start"])  # the waiter waited before the signal
            self.assertLessEqual(given["start"], taken["end"])
            self.assertNotEqual(flow["from_track"], flow["to_track"])

    def test_a_mutex_has_one_holder_at_a_time(self):
        for name in ("prodcons", "crew"):
            run = RUNS[name]
            for holds in run.holds.values():
                self.assertTrue((holds["end"] >= holds["start"]).all())
                self.assertTrue((holds["start"][1:] >= holds["end"][:-1]).all(), name)

    def test_a_semaphores_value(self):
        run = RUNS["ticker"]
        tick = next(obj.index for obj in run.objects if obj.name == "tick")
        values = run.values[tick]["value"]
        self.assertEqual(values[0], 0)
        self.assertTrue((values >= 0).all())
        self.assertTrue((np.abs(np.diff(values)) == 1).all())
        self.assertEqual(values[-1], 0)  # five posts, each taken
        self.assertEqual(int((np.diff(values) > 0).sum()), 5)
        waits = [track.slices for track in run.tracks if track.role.startswith("waiter")]
        self.assertEqual(len(waits), 5)
        for found in waits:
            mine = found[found["first"] == tick]
            self.assertEqual(len(mine), 1)
            self.assertTrue(mine["blocked"][0])

    def test_a_cxx_join_that_waited_blocked(self):
        run = RUNS["crew"]
        main = run.tracks[0]
        joins = main.slices[main.slices["call"] == CALL_INDEX[JOIN]]
        self.assertEqual(len(joins), 5)
        self.assertEqual([run.details[d].thread for d in joins["detail"]], [f"member {n}" for n in range(1, 6)])
        # A join blocked where its thread ended after the join began.
        ended = {track.role: track.ended for track in run.tracks}
        for join in joins:
            self.assertEqual(bool(join["blocked"]), ended[run.details[join["detail"]].thread] > join["start"])
        row = next(line for line in table.table(run) if line.startswith("main "))
        self.assertEqual(int(row.split()[3]), int(joins["blocked"].sum()))

    def test_each_line_is_on_its_writers_track(self):
        for name, writer in (("crew", r"(member \d) reporting|all \d reported"),
                             ("prodcons", r"(consumer \d) took \d+|produced \d+|all consumed"),
                             ("ticker", r"(waiter \d) woken|all woken")):
            run = RUNS[name]
            self.assertTrue(run.lines, name)
            for line in run.lines:
                found = re.fullmatch(writer, line.text)
                self.assertIsNotNone(found, line.text)
                expected = found[1] or ("producer" if line.text.startswith("produced") else "main")
                self.assertEqual(role_of(run, line), expected, line.text)

    def test_a_race_in_words(self):
        run = RUNS["racy"]
        words = table.race_lines(run)
        counter = next(line for line in words if line.startswith("data race on counter:"))
        self.assertRegex(counter, r"^data race on counter: adder 1 writes at \S*racy\.c:29 holding no lock; "
                                  r"adder 2 writes at \S*racy\.c:29 holding no lock \(\d+ times\)$")
        self.assertRegex(words[-1], r"^\d+ data races$")
        self.assertEqual(int(words[-1].split()[0]), len(run.races))


class Writers(unittest.TestCase):
    def test_the_trace_says_what_the_model_says(self):
        for name, run in RUNS.items():
            events = json.loads(written(run, trace.write, ".json"))["traceEvents"]
            tracks = {(e["pid"], e["tid"]): e["args"]["name"] for e in events if e["name"] == "thread_name"}
            self.assertEqual(list(tracks.values()), [track.role for track in run.tracks], name)
            complete = [e for e in events if e["ph"] == "X"]
            self.assertEqual(len(complete), sum(len(track.slices) for track in run.tracks), name)
            for track in run.tracks:
                mine = sorted(e["ts"] for e in complete if (e["pid"], e["tid"]) == (track.pid, track.tid))
                self.assertEqual(mine, sorted(round(t / 1000, 3) for t in track.slices["start"].tolist()), name)
            starts = {e["id"]: e for e in events if e.get("cat") == "wake" and e["ph"] == "s"}
            ends = {e["id"]: e for e in events if e.get("cat") == "wake" and e["ph"] == "f"}
            self.assertEqual(len(starts), len(run.flows), name)
            self.assertEqual(starts.keys(), ends.keys(), name)
            self.assertTrue(all(starts[i]["ts"] <= ends[i]["ts"] for i in starts), name)
            holds = [e for e in events if e.get("cat") == "lock"]
            self.assertEqual(len(holds), 2 * sum(len(h) for h in run.holds.values()), name)
            lines = [e["name"] for e in events if e["ph"] == "i" and e.get("s") == "t"]
            self.assertEqual(lines, [line.text for line in run.lines if line.track is not None], name)

    def test_the_picture_is_drawn(self):
        for name in ("lockorder", "ticker"):
            png = written(RUNS[name], lambda path, run: picture.draw(path, run), ".png")
            self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
            width = int.from_bytes(png[16:20], "big")
            self.assertGreaterEqual(width, 1200, name)

    def test_a_model_built_by_hand(self):
        """Two threads, each holding one mutex and waiting for the other's."""
        first, second = Obj(0, "mutex", "a"), Obj(1, "mutex", "b")
        tracks = [Track(0, 10, 10, "main", 0, 4_000_000_000), Track(1, 10, 11, "left", 0, 4_000_000_000),
                  Track(2, 10, 12, "right", 0, 4_000_000_000)]
        lock = CALL_INDEX["pthread_mutex_lock"]
        for track, (held, wanted) in zip(tracks[1:], ((first, second), (second, first))):
            found = slices(2)
            found["call"] = lock
            found["start"], found["end"] = (100, 2_000_000_000), (200, 4_000_000_000)
            found["first"] = held.index, wanted.index
            found["blocked"][1] = found["unfinished"][1] = True
            track.slices = found
        holds = {obj.index: np.array([(200, -1, track)], dtype=model.HOLD) for obj, track in ((first, 1), (second, 2))}
        run = Run("pair", None, tracks, [first, second], ["pthread_mutex_lock"], [], holds, {},
                  np.zeros(0, dtype=model.FLOW), [], Ending("deadlock", at=4_000_000_000), 4_000_000_000,
                  blocked=[Blocked(1, 1, "pair.c", 9, owner=12), Blocked(2, 1, "pair.c", 17, owner=11)])
        said = explain.deadlock(run)
        self.assertIn("left holds a and waits for b; right holds b and waits for a", said)
        self.assertTrue(any(re.search(r"left +pthread_mutex_lock\(b\) +pair\.c:9 +since 2\.0 s", s) for s in said))
        report = table.report(run, 20)
        self.assertIn("the program deadlocked, and was stopped at 4.0 s", report)
        row = next(line for line in report if line.startswith("left "))
        self.assertEqual(row.split()[1:5], ["2.0", "0.0", "1", "2.0"])


class Parts(unittest.TestCase):
    def test_the_command_line(self):
        given = options.parse(["--speed", "20", "--out", "x", "prog", "--speed", "3"])
        self.assertEqual((given.program, given.args, given.speed, given.out), ("prog", ["--speed", "3"], 20, "x"))
        self.assertEqual(options.parse(["--speed", "2.5", "prog"]).speed, 2.5)
        for wrong in (["--speed", "0", "prog"], ["--speed", "x", "prog"], ["--deadline", "-1", "prog"], []):
            with self.assertRaises((Failure, SystemExit)), contextlib.redirect_stderr(io.StringIO()):
                options.parse(wrong)

    def test_the_traces_numbers(self):
        generator = np.random.default_rng(7)
        for places in (0, 3):
            values = np.concatenate([generator.integers(-10**15, 10**15, 2000), [0, 1, -1, 999, 1000, -1000]])
            text = b"[" + trace.events(['{"a":', (values, places), "}"]).tobytes() + b"]"
            read = [entry["a"] for entry in json.loads(text)]
            expected = [f"{v / 1000:.3f}" if places else str(v) for v in values.tolist()]
            self.assertEqual([f"{r:.3f}" if places else str(r) for r in read], expected)

    def test_rows_grouped_by_their_values(self):
        generator = np.random.default_rng(3)
        small = generator.integers(0, 4, 500)
        huge = generator.integers(0, 3, 500).astype(np.uint64) << np.uint64(60)
        for columns in ((small,), (small, huge), (huge, small[::-1].copy())):
            found = model.groups(*columns)
            self.assertEqual(sorted(np.concatenate(found).tolist()), list(range(500)))
            for group in found:
                self.assertTrue((np.diff(group) > 0).all(), "each group in the rows' order")
                for column in columns:
                    self.assertEqual(len(set(column[group].tolist())), 1)
            self.assertEqual(len(found), len(set(zip(*(c.tolist() for c in columns)))))

    def test_a_mutexs_holds_and_hand_overs(self):
        """Two threads in turn, then one taking a recursive mutex twice."""
        lock, unlock = CALL_INDEX["pthread_mutex_lock"], CALL_INDEX["pthread_mutex_unlock"]
        rows = [(0, lock, 0, 10), (0, unlock, 50, 55), (1, lock, 20, 60), (1, unlock, 70, 75),
                (1, lock, 80, 85), (1, lock, 90, 95), (1, unlock, 100, 105), (1, unlock, 110, 115)]
        events = np.zeros(len(rows), dtype=EVENT)
        for i, (track, call, start, end) in enumerate(rows):
            events[i]["track"], events[i]["call"], events[i]["start"], events[i]["end"] = track, call, start, end
        found = mutexes.mutex(events)
        self.assertEqual(found.holds[["start", "end", "track"]].tolist(), [(10, 50, 0), (60, 70, 1), (85, 110, 1)])
        self.assertEqual(found.blocked.tolist(), [2])  # the second thread's lock began before the first let go
        self.assertEqual(found.flows, [(1, 2)])

    def test_a_shakes_lines_and_words(self):
        """Runs are compared with their process ids by order and their pointers masked."""
        with tempfile.TemporaryDirectory() as folder:
            for image, head in ((1, "process 4242 1 100 /bin/x"), (2, "process 4250 4242 200 /bin/x")):
                with open(os.path.join(folder, f"i{image}.maps"), "w") as maps:
                    maps.write(head + "\n")
            output = b"child 4250 of 4242\nat 0x7ffff7dceecc\nsmall 0x1234 and 424242\nparent 4242\n"
            found = shake.lines_of(record.Recording(folder, output, [], 0, 0, None, []))
        self.assertEqual(found, {"child <pid 2> of <pid 1>": 1, "at 0x...": 1, "small 0x1234 and 424242": 1,
                                 "parent <pid 1>": 1})
        for status, said in ((0, ""), (1, "exited with status 1"),
                             (-11, "was killed by signal 11 (Segmentation fault)")):
            self.assertEqual(shake.misbehaviour(record.Recording("", b"", [], 0, status, None, [])), said)

    def test_doctests(self):
        self.assertEqual(doctest.testmod(explain).failed, 0)


if __name__ == "__main__":
    unittest.main()
