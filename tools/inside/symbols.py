"""Names an address of the traced program as its symbols give it: a variable
(freePlace), an element of an array (forks[2]), a place inside a variable
(buffer+0x28), a routine (producer), or, on the heap or a stack, the address
itself (0x55d0c1a2b040). Where each module was loaded comes from uftrace's
record or from /proc/PID/maps; its symbols from nm."""
import bisect, re, subprocess

# The size of each kind of object on x86-64 glibc, to tell an array of them
# from a variable that holds one among other things.
SIZES = {"semaphore": 32, "mutex": 40, "cond": 48, "rwlock": 56, "barrier": 32}


def modules_from_maps(lines):
    """[(start, end, path)] from lines in the format of /proc/PID/maps; a
    module's load address is the start of its mapping at file offset 0."""
    bases, tops = {}, {}
    for line in lines:
        fields = line.split()
        if len(fields) < 6 or not fields[5].startswith("/") or fields[5].startswith("/dev/"):
            continue
        start, end = (int(x, 16) for x in fields[0].split("-"))
        path = fields[5]
        if int(fields[2], 16) == 0 and path not in bases:
            bases[path] = start
        tops[path] = max(tops.get(path, end), end)
    return sorted((base, tops[path], path) for path, base in bases.items())


def is_position_independent(path):
    with open(path, "rb") as elf:
        header = elf.read(18)
    return header[16] == 3  # ET_DYN: symbols are offsets from the load address


class Symbols:
    def __init__(self, modules):
        self.modules = modules  # [(start, end, path)], sorted
        self.tables = {}
        self.names = {}

    def module(self, address):
        i = bisect.bisect_right(self.modules, (address, float("inf"))) - 1
        if i >= 0 and self.modules[i][0] <= address < self.modules[i][1]:
            return self.modules[i]
        return None

    def table(self, path):
        """The module's symbols that have a size: sorted [(offset, size, name, is_code)]."""
        if path not in self.tables:
            rows = []
            for option in ((), ("-D",)):  # a stripped library keeps its dynamic symbols
                done = subprocess.run(["nm", "-S", "-C", "--defined-only", *option, path], capture_output=True,
                                      text=True)
                for line in done.stdout.splitlines():
                    fields = line.split(maxsplit=3)
                    if len(fields) == 4 and fields[2] in "BbDdRrTtWwVvGgSs":
                        name = re.sub(r"@.*$", "", fields[3])
                        rows.append((int(fields[0], 16), int(fields[1], 16), clean(name), fields[2] in "TtWw"))
                if rows:
                    break
            self.tables[path] = (sorted(rows), is_position_independent(path))
        return self.tables[path]

    def symbol(self, address):
        """(name, offset into it, size, is_code) of the symbol that holds address, or None."""
        module = self.module(address)
        if module is None:
            return None
        try:
            rows, relative = self.table(module[2])
        except OSError:
            return None
        at = address - module[0] if relative else address
        i = bisect.bisect_right(rows, (at, float("inf"))) - 1
        while i >= 0 and rows[i][0] <= at:
            start, size, name, code = rows[i]
            if at < start + max(size, 1):
                return name, at - start, size, code
            i -= 1
            if start + 4096 < at:  # symbols do not nest this far apart
                break
        return None

    def routine(self, address):
        found = self.symbol(address)
        return found[0] if found and found[1] == 0 else hex(address)

    def object(self, address, kind=None):
        """The name of the object at address, for an object of that kind."""
        key = (address, kind)
        if key not in self.names:
            self.names[key] = self.describe(address, kind)
        return self.names[key]

    def describe(self, address, kind):
        found = self.symbol(address)
        if found is None or found[3]:
            return hex(address)
        name, offset, size, _ = found
        each = SIZES.get(kind)
        if offset == 0 and (each is None or size <= each):
            return name
        if each and size % each == 0 and offset % each == 0:
            return f"{name}[{offset // each}]"
        return f"{name}+{offset:#x}"


def clean(name):
    """As the program's source calls it: gcc names a function's static
    variable numbers.0, and a C++ function comes with its parameters."""
    name = re.sub(r"\.\d+$", "", name)
    return re.sub(r"\((?!\)).*\)( const)?$|\(\)$", "", name) if name.endswith(")") else name
