import re, unittest
from ptyrun import run, texts

ORIGINAL = re.compile(r"Original program, pid = (\d+)")
PARENT = re.compile(r"In parent, pid = (\d+), fork returned = (-?\d+)")
CHILD = re.compile(r"In child process, pid = (\d+), ppid = (\d+)")


def ids(test, result):
    """The first line once, then the parent's and the child's lines in either order."""
    first, *rest = texts(result)
    test.assertEqual(len(rest), 2, result.out)
    parent = next(PARENT.fullmatch(line) for line in rest if PARENT.fullmatch(line))
    child = next(CHILD.fullmatch(line) for line in rest if CHILD.fullmatch(line))
    return ORIGINAL.fullmatch(first)[1], parent.groups(), child.groups()


class RealTime(unittest.TestCase):
    def test_parent_and_child_on_a_terminal(self):
        result = run("fendrow")
        original, (parent, forked), (child, childs_parent) = ids(self, result)
        self.assertEqual((parent, forked, childs_parent), (original, child, original))
        self.assertTrue(2 <= result.end < 2.5, result.end)
        self.assertEqual((result.status, result.err), (0, ""))


class Compressed(unittest.TestCase):
    def test_first_line_once_on_a_pipe(self):
        result = run("fendrow", output="pipe", speed=10)
        original, (parent, forked), (child, _) = ids(self, result)
        self.assertEqual((parent, forked), (original, child))
        self.assertEqual((result.status, result.err), (0, ""))


class Failures(unittest.TestCase):
    def test_failed_fork_is_reported(self):
        result = run("fendrow", fail=("fork", 1, "EAGAIN"))
        pid = ORIGINAL.match(result.out)[1]
        self.assertEqual(texts(result), [f"Original program, pid = {pid}",
                                         f"In parent, pid = {pid}, fork returned = -1"])
        self.assertEqual((result.status, result.err), (1, "fork: Resource temporarily unavailable\n"))
        self.assertLess(result.end, 1)


if __name__ == "__main__":
    unittest.main()
