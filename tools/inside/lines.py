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
from itertools import islice

from .read import END, NAME, RAW, START, arguments

# name: (where the stream is, where the format or text is, how many fixed
# arguments come before the variable ones); a stream is an argument index
# (a FILE * or a descriptor) or the stream itself.
FORMATTED = {"printf": ("stdout", 0, 1), "__printf_chk": ("stdout", 1, 2), "vprintf": ("stdout", 0, None),
             "fprintf": (0, 1, 2), "__fprintf_chk": (0, 2, 3), "vfprintf": (0, 1, None), "dprintf": (0, 1, 2)}
PLAIN = {"puts": ("stdout", 0), "fputs": (1, 0), "putchar": ("stdout", 0), "putc": (1, 0), "fputc": (1, 0),
         "fwrite": (3, 0), "write": (0, 1), "perror": ("stderr", 0)}
WRITERS = tuple(FORMATTED) + tuple(PLAIN)
STREAMS = {1: "stdout", 2: "stderr", "_IO_2_1_stdout_": "stdout", "_IO_2_1_stderr_": "stderr"}
TRUNCATED = 98  # uftrace keeps this many bytes of a string argument, the last three being "..."
CONVERSION = re.compile(rb"%(?P<flags>[-+ #0']*)(?P<width>\*|\d+)?(?:\.(?P<precision>\*|\d*))?"
                        rb"(?P<length>hh|h|ll|l|L|q|j|z|Z|t)?(?P<conversion>[diouxXeEfFgGaAcsSpnm%])")
INTEGER_BITS = {b"hh": 8, b"h": 16, None: 32, b"l": 64, b"ll": 64, b"q": 64, b"j": 64, b"z": 64, b"Z": 64, b"t": 64}
FLOATS = b"eEfFgGaA"
ANY = rb"(?s:.*?)"
WINDOW = 256  # calls tried at one place of the text


def stream(call, symbols):
    """stdout, stderr, or None for a call that writes elsewhere."""
    name, args = call[NAME], arguments(call[RAW])
    where = FORMATTED[name][0] if name in FORMATTED else PLAIN[name][0]
    if isinstance(where, str):
        return where
    if where >= len(args) or not isinstance(args[where], int):
        return None
    value = args[where]
    if name in ("write", "dprintf"):
        return STREAMS.get(value)
    found = symbols.symbol(value)
    return STREAMS.get(found[0]) if found and found[1] == 0 else None


def literal(text):
    """A string argument as a pattern: a truncated one stands for its beginning."""
    if len(text) == TRUNCATED and text.endswith(b"..."):
        return re.escape(text[:-3]) + ANY
    return re.escape(text)


def pattern(call):
    """A regular expression (bytes) for what the call wrote, or None if uftrace did not record enough."""
    name, args = call[NAME], arguments(call[RAW])
    if name in FORMATTED:
        _, at, fixed = FORMATTED[name]
        if at >= len(args) or not isinstance(args[at], bytes):
            return None
        return formatted(args[at], args[fixed:] if fixed is not None else None)
    at = PLAIN[name][1]
    if at >= len(args):
        return None
    value = args[at]
    if name in ("putchar", "putc", "fputc"):
        return re.escape(bytes([value & 0xFF])) if isinstance(value, int) else None
    if not isinstance(value, bytes):
        return None
    if name == "puts":
        return literal(value) + b"\n"
    if name == "perror":
        return (literal(value) + b": " if value else b"") + rb"[^\n]*\n"
    if name == "write" and isinstance(args[2], int):
        return literal(value[:args[2]]) if len(value) >= args[2] else literal(value) + ANY
    if name == "fwrite" and isinstance(args[1], int) and isinstance(args[2], int):
        size = args[1] * args[2]
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


def attribute(calls, text, symbols):
    """[(task, call, line text)] for each line of text (bytes that reached the
    terminal), and the writes that were not found in it. A line belongs to the
    call that wrote its line feed, a last line without one to the call that
    wrote its end; a line that no traced call wrote, to none (task None)."""
    writes = []
    for task, task_calls in calls.items():
        for call in task_calls:
            if call[NAME] in WRITERS and stream(call, symbols):
                writes.append((call[END], call[START], task, call))
    writes.sort(key=lambda write: write[:2])
    queue, compiled, owners, pos, last = deque(writes), {}, [], 0, (None, None)

    def match(call):
        key = (call[NAME], call[RAW])
        if key not in compiled:
            source = pattern(call)
            compiled[key] = re.compile(source) if source is not None else None
        return compiled[key] and compiled[key].match(text, pos)

    while queue and pos < len(text):
        # The call that ended first wrote first, unless another, begun before
        # it ended, got the stream's lock first: try them in order of their ends.
        chosen = empty = None
        for i, (_, _, task, call) in enumerate(islice(queue, WINDOW)):
            found = match(call)
            if found and found.end() > pos:
                chosen = (i, found.end())
                break
            if found and empty is None:
                empty = (i, pos)
        chosen = chosen or empty
        if chosen is None:
            newline = text.find(b"\n", pos)
            if newline < 0:
                break
            owners.append((newline, None, None))  # written by a call that is not traced
            pos = newline + 1
            continue
        i, end = chosen
        _, _, task, call = queue[i]
        del queue[i]
        newline = text.find(b"\n", pos, end)
        while newline >= 0:
            owners.append((newline, task, call))
            newline = text.find(b"\n", newline + 1, end)
        pos, last = end, (task, call)
    lines, start = [], 0
    for newline, task, call in owners:
        lines.append((task, call, text[start:newline].decode(errors="replace")))
        start = newline + 1
    if start < len(text):
        task, call = last if pos >= len(text) else (None, None)
        lines.append((task, call, text[start:].decode(errors="replace")))
    return lines, [call for _, _, _, call in queue]
