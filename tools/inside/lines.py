"""Which traced call wrote each line that reached the terminal.

A line's text is always what the terminal received: uftrace records a
format and its integer arguments, never what a call wrote, and a format
expanded again could differ (a floating-point argument, a string behind a
pointer). The calls only place the text: standard output and standard error
share the terminal, so the text arrives in the order of the calls' writes,
and each write happens inside its call. The calls are matched to the text
in that order, each by a pattern made from what uftrace recorded of it;
calls that overlap in time are told apart by their patterns."""
import re
from collections import deque
from itertools import accumulate, islice

from .calls import STATES, TABLE, WRITERS
from .read import END, NAME, RAW, START, arguments, returned

STREAMS = {1: "stdout", 2: "stderr", "_IO_2_1_stdout_": "stdout", "_IO_2_1_stderr_": "stderr",
           "std::cout": "stdout", "std::cerr": "stderr", "std::clog": "stderr"}
MANIPULATORS = {"std::endl": b"\n", "std::ends": b"\0", "std::flush": b""}
TRUNCATED = 98  # uftrace keeps this many bytes of a string argument, the last three being "..."
CONVERSION = re.compile(rb"%(?P<flags>[-+ #0']*)(?P<width>\*|\d+)?(?:\.(?P<precision>\*|\d*))?"
                        rb"(?P<length>hh|h|ll|l|L|q|j|z|Z|t)?(?P<conversion>[diouxXeEfFgGaAcsSpnm%])")
INTEGER_BITS = {b"hh": 8, b"h": 16, None: 32, b"l": 64, b"ll": 64, b"q": 64, b"j": 64, b"z": 64, b"Z": 64, b"t": 64}
FLOATS = b"eEfFgGaA"
ANY = rb"(?s:.*?)"
ANY_LINE = rb"[^\n]*\n"  # what a call wrote that is not known: a line, most likely
UNREAD = re.compile(rb"<0x([0-9a-f]+)>")  # a string argument that uftrace could not read
REDIRECTS = {symbol for symbol, call in TABLE.items() if call.does == "redirect"}  # the stream recorded first
WINDOW = 256  # calls tried at one place of the text


def stream(call, symbols):
    """stdout, stderr, or None for a call that writes elsewhere."""
    where = WRITERS[call[NAME]][0]
    return where if isinstance(where, str) else stream_at(call, where, symbols)


def stream_at(call, index, symbols):
    """The stream that a call's argument names (a FILE *, a descriptor or an
    ostream): stdout, stderr, or None for another."""
    args = arguments(call[RAW])
    if index >= len(args) or not isinstance(args[index], int):
        return None
    value = args[index]
    if value < 1024:  # a file descriptor
        return STREAMS.get(value)
    found = symbols.symbol(value)
    return STREAMS.get(found[0]) if found and found[1] == 0 else None


def redirections(calls, symbols):
    """{(pid, stream): when the process first pointed stdout or stderr
    elsewhere (freopen, dup2)}: what it wrote there since may not reach the
    terminal."""
    found = {}
    for (pid, _), task_calls in calls.items():
        for call in task_calls:
            if call[NAME] in REDIRECTS and (where := stream_at(call, 0, symbols)):
                found[(pid, where)] = min(found.get((pid, where), call[START]), call[START])
    return found


def literal(text):
    """A string argument as a pattern: a truncated one stands for its beginning."""
    if len(text) == TRUNCATED and text.endswith(b"..."):
        return re.escape(text[:-3]) + ANY
    return re.escape(text)


def pattern(call, symbols):
    """A regular expression (bytes) for what the call wrote, or None if uftrace did not record enough."""
    _, what, at, more = WRITERS[call[NAME]]
    args = arguments(call[RAW])
    value = args[at] if at < len(args) else None
    unread = UNREAD.fullmatch(value) if isinstance(value, bytes) else None
    if unread:  # uftrace could not read the string: the module's file holds it, if it is a constant
        value = symbols.string_at(int(unread[1], 16))
        if value is None:
            return ANY_LINE if what in ("format", "line", "text") else None
    if what == "format":
        if not isinstance(value, bytes):
            return None
        return formatted(value, args[more:] if more is not None else None)
    if what in ("newline", "flush", "any"):
        return {"newline": b"\n", "flush": b"", "any": ANY}[what]
    if what == "char":
        return re.escape(bytes([value & 0xFF])) if isinstance(value, int) else None
    if what == "number":
        if not isinstance(value, int):
            return ANY
        bits = abs(more)
        value &= (1 << bits) - 1
        if more > 0 and value >> (bits - 1):
            value -= 1 << bits
        return b"(?:" + re.escape(str(value).encode()) + b"|" + ANY + b")"
    if what == "manipulator":
        found = symbols.symbol(value) if isinstance(value, int) else None
        name = re.search(r"\bstd::(endl|ends|flush)<", found[0]) if found else None
        return re.escape(MANIPULATORS[f"std::{name[1]}"]) if name else b""
    if not isinstance(value, bytes):
        return None
    if what == "line":
        return literal(value) + b"\n"
    if what == "error":
        return (literal(value) + b": " if value else b"") + rb"[^\n]*\n"
    size = None
    if more == "fwrite" and len(args) > 2 and isinstance(args[1], int) and isinstance(args[2], int):
        size = args[1] * args[2]
    elif isinstance(more, int) and more < len(args) and isinstance(args[more], int):
        size = args[more]
    if size is not None:
        return literal(value[:size]) if len(value) >= size else literal(value) + ANY
    return literal(value)


def formatted(form, values):
    """The pattern of a printf format: its text, and each integer conversion
    with its recorded value where the registers hold it; anything else
    (a string, a floating-point value) matches any text."""
    if len(form) == TRUNCATED and form.endswith(b"..."):
        form, tail = form[:-3], ANY
    else:
        tail = b""
    parts, at, ints, floats = [], 0, 0, 0
    for found in CONVERSION.finditer(form):
        parts.append(re.escape(form[at:found.start()]))
        at = found.end()
        conversion = found["conversion"]
        if conversion == b"%":
            parts.append(b"%")
            continue
        stars = (found["width"] == b"*") + (found["precision"] == b"*")
        ints += stars
        if conversion in FLOATS:
            floats += 1
            if found["length"] == b"L":  # a long double goes through memory: the rest are unknown
                values = None
            parts.append(ANY)
            continue
        value = values[ints] if values is not None and ints < len(values) and not stars else None
        ints += 1
        written = integer(found, value) if conversion in b"diouxXc" and isinstance(value, int) and floats <= 8 \
            else None
        parts.append(ANY if written is None else re.escape(written))
    parts.append(re.escape(form[at:]) + tail)
    return b"".join(parts)


def integer(found, value):
    bits = INTEGER_BITS.get(found["length"], 64)
    value &= (1 << bits) - 1
    conversion = found["conversion"]
    if conversion in b"di" and value >> (bits - 1):
        value -= 1 << bits
    if conversion == b"c":
        return bytes([value & 0xFF])
    flags = found["flags"].replace(b"'", b"")
    if b"#" in flags and (conversion == b"o" or value == 0):
        return None  # C and Python write these differently
    precision = b"." + found["precision"] if found["precision"] is not None else b""
    directive = b"%" + flags + (found["width"] or b"") + precision + (b"d" if conversion in b"iu" else conversion)
    return (directive.decode() % value).encode()


def failed(call):
    """A write that says it wrote nothing: standard output was closed, or full."""
    value = returned(call)
    if value is None:
        return False
    return value in (0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF) or value < 0 or (call[NAME].startswith("fwrite") and value == 0)


def attribute(calls, text, symbols):
    """[(task, call, line text, where its end is in text)] for each line of
    text (bytes that reached the terminal), and the writes that were not
    found in it and said they wrote.
    A line belongs to the call that wrote its line feed, or where no traced
    call did (a putchar inlined), to the one that wrote the rest of it; a last
    line without one to the call that wrote its end; a line that no traced
    call wrote, to none (task None)."""
    writes = []
    for task, task_calls in calls.items():
        for call in task_calls:
            if call[NAME] in WRITERS and stream(call, symbols) and pattern(call, symbols) != b"":
                writes.append((call[END], call[START], task, call))
    writes.sort(key=lambda write: write[:2])
    queue, compiled, owners, pos, last, writer = deque(writes), {}, [], 0, (None, None), (None, None)

    def match(call):
        key = (call[NAME], call[RAW])
        if key not in compiled:
            source = pattern(call, symbols)
            compiled[key] = (re.compile(source), source in (ANY, ANY_LINE)) if source is not None else (None, True)
        found, weak = compiled[key]
        return (found and found.match(text, pos)), weak

    while queue and pos < len(text):
        # The call that ended first wrote first, unless another, begun before
        # it ended, got the stream's lock first: try them in order of their
        # ends. A call whose text is not known at all (weak) is taken only
        # where no call whose text is known matches.
        chosen = empty = vague = None
        for i, (_, _, task, call) in enumerate(islice(queue, WINDOW)):
            found, weak = match(call)
            if found and found.end() > pos and not weak:
                chosen = (i, found.end())
                break
            if found and found.end() > pos and vague is None:
                vague = (i, found.end())
            if found and empty is None:
                empty = (i, pos)
        chosen = chosen or vague or empty
        if chosen is None:
            newline = text.find(b"\n", pos)
            if newline < 0:
                break
            owners.append((newline, *writer))  # the line feed written by a call that is not traced
            pos, writer = newline + 1, (None, None)
            continue
        i, end = chosen
        _, _, task, call = queue[i]
        del queue[i]
        newline = text.find(b"\n", pos, end)
        while newline >= 0:
            owners.append((newline, task, call))
            newline = text.find(b"\n", newline + 1, end)
        writer = (task, call) if text.rfind(b"\n", pos, end) < end - 1 else (None, None)
        pos, last = end, (task, call)
    newline = text.find(b"\n", pos)
    while newline >= 0:  # the rest, when no traced call is left to have written it
        owners.append((newline, *writer))
        pos, writer = newline + 1, (None, None)
        newline = text.find(b"\n", pos)
    lines, start = [], 0
    for newline, task, call in owners:
        lines.append((task, call, text[start:newline].decode(errors="backslashreplace"), newline))
        start = newline + 1
    if start < len(text):
        task, call = last if pos >= len(text) else (None, None)
        lines.append((task, call, text[start:].decode(errors="backslashreplace"), len(text) - 1))
    return lines, [(task, call) for _, _, task, call in queue if not failed(call)]


def untraced(lines, calls, arrivals, zero, speed, last):
    """Places each line that no traced call wrote, at the moment it reached
    the terminal, on the thread that last ended a call before then and was
    not then blocked (a thread in a join or a sleep writes nothing; the words
    of std::terminate come from the thread that threw, not from main in its
    join): [(ns, task, text)] for the lines of attribute(). The text came
    between the lines around it, so the moment lies between their writes
    (this tool reads the terminal a little late); with no call before it, the
    line goes to the writer of the next one. last: the run's end."""
    import bisect
    ends = [offset for offset, _ in arrivals]
    latest = sorted((call[END], task) for task, task_calls in calls.items() for call in task_calls[-1:] + [
        c for c in task_calls if c[NAME] in WRITERS])
    times = [end for end, _ in latest]
    waits = {}  # each task's blocking calls: their starts, in order, and the latest end of those begun so far

    def blocked(task, moment):
        if task not in waits:  # only for the tasks that may have written such a line
            spans = sorted((call[START], call[END]) for call in calls[task] if STATES.get(call[NAME]))
            waits[task] = ([start for start, _ in spans], list(accumulate((end for _, end in spans), max)))
        starts, reach = waits[task]
        k = bisect.bisect_right(starts, moment) - 1
        return k >= 0 and reach[k] >= moment
    following = [None] * len(lines)  # the next line that a traced call wrote
    upcoming = None
    for i in range(len(lines) - 1, -1, -1):
        following[i] = upcoming
        if lines[i][0] is not None:
            upcoming = lines[i]
    placed, before = [], 0
    for i, (task, call, text, at) in enumerate(lines):
        if task is not None or not arrivals:
            placed.append((call[END] if call else None, task, text))
            before = call[END] if call else before
            continue
        moment = int((arrivals[min(bisect.bisect_left(ends, at + 1), len(arrivals) - 1)][1] - zero) * speed)
        after = following[i]
        if after is not None:
            moment = min(moment, after[1][START])
        moment = max(min(moment, last), before)  # nothing is written after the run's end
        j = bisect.bisect_right(times, moment) - 1
        k = next((k for k in range(j, max(j - WINDOW, -1), -1) if not blocked(latest[k][1], moment)), j)
        writer = latest[k][1] if k >= 0 else after[0] if after is not None else None
        placed.append((moment, writer, text))
    return placed