import os, subprocess, tempfile, unittest
from ptyrun import run

FULL = "write error: No space left on device\n"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bakery", "bakers.cpp")


class LostOutput(unittest.TestCase):
    def test_a_full_disk_is_a_failure(self):
        # fendrow's parent and child each answer for their own lines.
        for program, speed, reports in (("gorvane", 10, 1), ("lumbrick", None, 1), ("bakers", 20, 1),
                                        ("fendrow", 4, 2)):
            with self.subTest(program=program):
                result = run(program, output="/dev/full", speed=speed)
                self.assertEqual((result.status, result.err), (1, FULL * reports))

    def test_a_closed_output_is_a_failure(self):
        result = run("lumbrick", output="closed")
        self.assertEqual((result.status, result.err), (1, "write error: Bad file descriptor\n"))


class Constants(unittest.TestCase):
    def compile(self, folder, source):
        path = os.path.join(folder, "bakers.cpp")
        with open(path, "w") as copy:
            copy.write(source)
        return subprocess.run([os.environ.get("CXX", "c++"), "-std=c++17", "-fsyntax-only", path],
                              capture_output=True, text=True)

    def test_a_day_that_could_hang_does_not_build(self):
        with open(SOURCE) as original:
            source = original.read()
        cases = (("int bakerQuota = 7;", "int bakerQuota = 8;", "supply must equal demand"),
                 ("int eaterQuota = 3;", "int eaterQuota = 0;", "each quota must be at least 1"),
                 ("unsigned counterPlaces = 3;", "unsigned counterPlaces = 0;", "the counter needs at least one place"),
                 ("int eaterCount = 7;", "int eaterCount = 0;", "the bakery needs at least one baker"))
        with tempfile.TemporaryDirectory() as folder:
            self.assertEqual(self.compile(folder, source).returncode, 0)
            for line, changed, message in cases:
                with self.subTest(changed=changed):
                    self.assertEqual(source.count(line), 1)
                    result = self.compile(folder, source.replace(line, changed))
                    self.assertNotEqual(result.returncode, 0)
                    self.assertIn(message, result.stderr)


if __name__ == "__main__":
    unittest.main()
