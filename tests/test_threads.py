import unittest
from ptyrun import run, texts

WAIT, HELLO, HELLO_PLAIN = "Ждем окончания потока", "Привет из потока!", "Привет из потока"


class RealTime(unittest.TestCase):
    def test_gorvane_waits_for_its_worker(self):
        result = run("gorvane")
        self.assertEqual((result.status, texts(result), result.err), (0, [WAIT, HELLO], ""))
        (waiting, _), (greeting, _) = result.lines
        self.assertLess(waiting, 0.5)
        self.assertTrue(5 <= greeting < 5.5, greeting)
        self.assertLess(result.end - greeting, 0.3)


class Compressed(unittest.TestCase):
    def test_gorvane_on_a_pipe_and_with_arguments(self):
        for args in ((), ("extra", "-x")):
            result = run("gorvane", *args, output="pipe", speed=10)
            self.assertEqual((result.status, result.out, result.err), (0, f"{WAIT}\n{HELLO}\n", ""))

    def test_lumbrick_hands_back_27(self):
        for i in range(20):
            result = run("lumbrick", "arg", output=("terminal", "pipe")[i % 2])
            self.assertEqual((result.status, result.out, result.err), (0, f"{HELLO_PLAIN}\n27\n", ""))


class Failures(unittest.TestCase):
    def test_thread_calls_report_the_returned_error(self):
        cases = [  # program, failing call, error, description, possible outputs, runs
            ("gorvane", "pthread_create", "EAGAIN", "Resource temporarily unavailable", {""}, 1),
            ("gorvane", "pthread_join", "EDEADLK", "Resource deadlock avoided", {WAIT + "\n"}, 1),
            ("lumbrick", "pthread_create", "EAGAIN", "Resource temporarily unavailable", {""}, 1),
            # The worker may or may not have greeted before main gives up; no number either way,
            # and never the greeting twice (exit's flush beside a worker in the middle of puts).
            ("lumbrick", "pthread_join", "EINVAL", "Invalid argument", {"", HELLO_PLAIN + "\n"}, 40),
        ]
        for program, call, error, description, outputs, runs in cases:
            for _ in range(runs):
                with self.subTest(program=program, call=call):
                    result = run(program, fail=(call, 1, error))
                    self.assertEqual((result.status, result.err), (1, f"{call}: {description}\n"))
                    self.assertIn(result.out, outputs)


if __name__ == "__main__":
    unittest.main()
