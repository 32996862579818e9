"""The program's own source: which files are the program's, the lines that
its code comes from, and the expressions with which a line names the
object of a call (pthread_mutex_lock(&q->lock), ft.get(), a lock_guard's
mutex)."""
import functools, os, re, subprocess
from collections import defaultdict

# Sources that are not the program's: the system's headers and libraries,
# and the C library's own files, which its debugging information names
# relative to its build (../sysdeps/...).
NOT_OWN = ("/usr/", "./", "../", "??", "<")


def own_source(path):
    """Whether a source file is the program's own: not a library's, nor a
    header of one."""
    return bool(path) and not path.startswith(NOT_OWN)


def shown_path(path):
    """A path as the tool shows it: relative to the current folder where it
    lies below it."""
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


@functools.lru_cache(maxsize=64)
def file_lines(path):
    """The lines of a source file, or ()."""
    try:
        with open(path, errors="replace") as source:
            return tuple(source.read().splitlines())
    except OSError:
        return ()


def source_lines(site):
    """The lines of the site's file up to and including its line, or []."""
    if not site or site[0] is None or not site[1]:
        return []
    lines = file_lines(site[0])
    return list(lines[:site[1]]) if len(lines) >= site[1] else []


def lines_of(path, addresses):
    """{address: (file, line)} of the first of the program's own lines that
    each address of a module's code comes from, inlined functions included
    (innermost first), from eu-addr2line; None where there is none."""
    found = {}
    if not addresses:
        return found
    try:
        out = subprocess.run(["eu-addr2line", "-e", path, "-a", "-i", *(hex(pc) for pc in addresses)],
                             capture_output=True, text=True, errors="replace", timeout=60,
                             start_new_session=True).stdout
    except (OSError, subprocess.TimeoutExpired):
        return found
    current = None
    for line in out.splitlines():
        if line.startswith("0x"):
            current = int(line, 16)
            found[current] = None
            continue
        place = re.fullmatch(r"(.+?):(\d+)(?::\d+)?", line)
        if current is not None and found[current] is None and place and own_source(place[1]):
            found[current] = (place[1], int(place[2]))
    return found


@functools.lru_cache(maxsize=8)
def disassembly(path):
    """The program's code as objdump shows it, each instruction under the
    source line it comes from (inlined headers' too); "" where it cannot."""
    try:
        return subprocess.run(["objdump", "-d", "-l", "--no-show-raw-insn", "-w", path], capture_output=True,
                              text=True, errors="replace", check=False, start_new_session=True).stdout
    except OSError:
        return ""


# How a source line names the object of a call: the expression that it
# locks, waits on or acquires, as a lock's constructor's argument, the
# object of a method, or a C call's first argument.
EXPRESSION = r"[*&]?\s*([A-Za-z_]\w*(?:(?:\.|->)[A-Za-z_]\w*|\[[^\]\[]*\])*)"
SOURCE_FORMS = {
    "mutex": (rf"\b(?:lock_guard|unique_lock|scoped_lock)\b[^;({{]*[({{]\s*{EXPRESSION}\s*[)}}]",
              rf"{EXPRESSION}\s*\.\s*(?:lock|try_lock\w*)\s*\(", rf"\bpthread_mutex_\w*lock\s*\(\s*{EXPRESSION}"),
    "rwlock": (rf"\b(?:shared_lock|unique_lock|lock_guard)\b[^;({{]*[({{]\s*{EXPRESSION}\s*[)}}]",
               rf"{EXPRESSION}\s*\.\s*(?:lock|lock_shared|try_lock\w*)\s*\(",
               rf"\bpthread_rwlock_\w+\s*\(\s*{EXPRESSION}"),
    "cond": (rf"{EXPRESSION}\s*\.\s*wait(?:_for|_until)?\s*\(", rf"\bpthread_cond_\w*wait\s*\(\s*{EXPRESSION}"),
    "semaphore": (rf"{EXPRESSION}\s*\.\s*(?:acquire|try_acquire\w*)\s*\(", rf"\bsem_\w*wait\s*\(\s*{EXPRESSION}"),
    "latch": (rf"{EXPRESSION}\s*\.\s*(?:wait|arrive_and_wait)\s*\(",),
    "barrier": (rf"{EXPRESSION}\s*\.\s*(?:wait|arrive_and_wait)\s*\(", rf"\bpthread_barrier_wait\s*\(\s*{EXPRESSION}"),
    "atomic": (rf"{EXPRESSION}\s*\.\s*wait\s*\(",),
    "future": (rf"{EXPRESSION}\s*\.\s*(?:get|wait\w*)\s*\(",),
}
LOCK_ARGUMENT = re.compile(r"\.\s*wait\w*\s*\(\s*([A-Za-z_]\w*)")  # cv.wait(lock, ...)
LOOK_BACK = 30  # lines above a condition wait searched for its lock's declaration


def from_source(kind, site, lock=False):
    """The expression that names an object of this kind on the source line
    of the call, where the line names exactly one; or None. lock: the
    mutex of a condition wait, which the line names through its lock: the
    lock's declaration above it says which."""
    lines = source_lines(site)
    if not lines:
        return None
    if lock:
        given = LOCK_ARGUMENT.search(lines[-1])
        if not given:
            return None
        declared = re.compile(rf"\b(?:unique_lock|shared_lock)\b[^;({{]*\b{given[1]}\s*[({{]\s*{EXPRESSION}\s*[)}}]")
        for line in reversed(lines[-LOOK_BACK:]):
            found = declared.search(line)
            if found:
                return found[1].replace(" ", "")
        return None
    found = {match[1].replace(" ", "") for form in SOURCE_FORMS.get(kind, ()) for match in re.finditer(form, lines[-1])}
    return found.pop() if len(found) == 1 else None


PLAIN_CALL = re.compile(r"^(?:pthread|sem)_\w+$")  # a C call that the program's own lines make
SITE_CALL = re.compile(r"^\s+[0-9a-f]+:\s+call\s+[0-9a-f]+ <(\w+)@plt>")
SITE_LINE = re.compile(r"^(/\S.*):(\d+)(?: \(discriminator \d+\))?$")


def call_sites(program, functions):
    """{function: {(file, line)}} of the program's own calls of these
    functions, from its disassembly and line table; headers' lines aside."""
    found, where = defaultdict(set), None
    for line in disassembly(program).splitlines():
        place = SITE_LINE.match(line)
        if place:
            where = (place[1], int(place[2])) if own_source(place[1]) else None
            continue
        call = SITE_CALL.match(line)
        if call and call[1] in functions and where:
            found[call[1]].add(where)
    return found


def from_code(kind, sites, functions):
    """The expressions that the program's calls write for objects of this
    kind, each the first argument of a call of one of the functions."""
    found = set()
    for function in functions:
        form = re.compile(rf"\b{function}\s*\(\s*{EXPRESSION}\s*[,)]")
        for file, line in sites.get(function, ()):
            lines = source_lines((file, line))
            found |= {match[1].replace(" ", "") for match in form.finditer(lines[-1])} if lines else set()
    return found
