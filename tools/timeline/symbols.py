"""Names an address of the traced program as its source would: a variable
(freePlace), a member or an element of one (buffer.notFull, forks[2],
slots[3].m) from the debugging information's types, a routine (producer),
or, where nothing names it, the address itself (0x55d0c1a2b040). Where
each module was loaded comes from /proc/PID/maps as each process wrote it;
its symbols from nm, its types from debuginfo.py."""
import bisect, os, re, subprocess

from . import debuginfo as dwarf
from .elf import maybe
from .sources import lines_of

SYSTEM = ("/usr/lib/", "/lib/", "/usr/lib64/", "/lib64/")  # libraries, whose insides are not the program's
SYSTEM_HEADERS = ("/usr/include/", "/usr/lib/", "/usr/local/include/")
LIBRARY_NAMESPACES = ("std::", "__gnu_cxx::")  # the C++ library's own variables, in the program without types


def modules_from_maps(lines):
    """[(start, end, path)] from lines in the format of /proc/PID/maps; a
    module's load address is the start of its mapping at file offset 0, its
    end that of its last segment in memory, .bss included, which may lie
    beyond what the file maps."""
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
    found = []
    for path, base in bases.items():
        elf = maybe(path)
        end = max(tops[path], (base if elf.relative else 0) + elf.top) if elf else tops[path]
        found.append((base, end, path))
    return sorted(found)


class Symbols:
    def __init__(self, modules, program=None, stack=None):
        self.modules = modules  # [(start, end, path)], sorted
        self.program = program  # the traced program's path, whose debugging information names its objects
        self.stack = stack  # the main thread's stack: (start, end)
        self.tables, self.names, self.debugs = {}, {}, {}

    def module(self, address):
        i = bisect.bisect_right(self.modules, (address, float("inf"))) - 1
        if i >= 0 and self.modules[i][0] <= address < self.modules[i][1]:
            return self.modules[i]
        return None

    def in_library(self, address):
        """Whether the object at address is a library's own, not the
        program's: in a library's memory, or in the program's but a variable
        of a library's header (the mutexes behind std::osyncstream)."""
        module = self.module(address)
        if module is None:
            return False
        if module[2].startswith(SYSTEM):
            return True
        known = self.variable(address)
        if known:
            declared = dwarf.source_file(known[1].declaration)
            return bool(declared) and declared.startswith(SYSTEM_HEADERS)
        found = self.symbol(address)
        return bool(found) and found[0].startswith(LIBRARY_NAMESPACES)

    def in_tool(self, address):
        """Whether the address lies in the tool's own recording library."""
        module = self.module(address)
        return module is not None and os.path.basename(module[2]).startswith("recorder")

    def relative(self, path):
        elf = maybe(path)
        return bool(elf and elf.relative)

    def table(self, path):
        """The module's symbols that have a size: sorted [(offset, size, name, is_code)]."""
        if path not in self.tables:
            rows = []
            for option in ((), ("-D",)):  # a stripped library keeps its dynamic symbols
                try:
                    done = subprocess.run(["nm", "-S", "-C", "--defined-only", *option, path], capture_output=True,
                                          text=True, errors="replace", start_new_session=True)
                except OSError:
                    break
                for line in done.stdout.splitlines():
                    fields = line.split(maxsplit=3)
                    if len(fields) == 4 and fields[2] in "BbDdRrTtWwVvGgSsu":
                        try:
                            rows.append((int(fields[0], 16), int(fields[1], 16), clean(re.sub(r"@.*$", "", fields[3])),
                                         fields[2] in "TtWw"))
                        except ValueError:
                            continue
                if rows:
                    break
            self.tables[path] = (sorted(rows), self.relative(path))
        return self.tables[path]

    def debug(self, path):
        """The module's debugging information, for the program's own modules, or None."""
        if path not in self.debugs:
            found = None
            if not path.startswith(SYSTEM):
                try:
                    found = dwarf.Debug(path)
                except Exception:  # no debugging information, or none that pyelftools can read
                    found = None
            self.debugs[path] = found
        return self.debugs[path]

    def offset(self, address):
        """(module path, the address as the module's files give it), or None."""
        module = self.module(address)
        if module is None:
            return None
        return module[2], address - module[0] if self.relative(module[2]) else address

    def symbol(self, address):
        """(name, offset into it, size, is_code) of the symbol that holds address, or None."""
        where = self.offset(address)
        if where is None:
            return None
        path, at = where
        rows, _ = self.table(path)
        i = bisect.bisect_right(rows, (at, float("inf"))) - 1
        while i >= 0 and rows[i][0] <= at:
            start, size, name, code = rows[i]
            if at < start + max(size, 1):
                return name, at - start, size, code
            i -= 1
            if start + (1 << 20) < at:  # symbols do not nest this far apart
                break
        return None

    def routine(self, address):
        """A thread routine's name; one that a library keeps to itself (as
        libgomp does, for OpenMP's threads) by the library's."""
        found = self.symbol(address)
        if found and found[1] == 0:
            return found[0]
        where = self.offset(address)
        if where and where[0] != self.program and ".so" in os.path.basename(where[0]):
            return os.path.basename(where[0]).split(".so")[0] + " thread"
        return hex(address)

    def object(self, address, kind=None):
        """The name of the object at address, for an object of that kind."""
        key = (address, kind)
        if key not in self.names:
            self.names[key] = self.describe(address, kind)
        return self.names[key]

    def variable(self, address):
        """(debugging information, variable, offset into it) of a variable at a
        fixed address that holds address, or None."""
        where = self.offset(address)
        if where is None:
            return None
        debug = self.debug(where[0])
        found = debug.variable(where[1]) if debug else None
        return (debug, found, where[1] - found.at) if found else None

    def describe(self, address, kind):
        known = self.variable(address)
        if known:
            _, variable, offset = known
            return variable.name + dwarf.inside(variable.type, offset)
        found = self.symbol(address)
        if found is None or found[3]:
            return hex(address)
        name, offset, _, _ = found
        # Without types, a place inside a variable is not told from an element of an array.
        return name if offset == 0 else f"{name}+{offset:#x}"

    def locals_of(self, used):
        """{address: (name, type)} of the objects of used ({(kind, address)})
        on the main thread's stack. A local variable lies at a fixed offset
        from its function's frame base, which is not recorded; the frame
        base is the one that puts the most of the objects seen on the stack
        at the places of locals of their kinds in one function."""
        if not self.stack or not self.program:
            return {}
        wanted = [(kind, address) for kind, address in used
                  if self.stack[0] - (8 << 20) <= address < self.stack[1]]
        debug = self.debug(self.program) if wanted else None
        if debug is None:
            return {}
        best = None
        for function, variables in debug.frames.items():
            places = [(variable.at + offset, kind, (variable.name + dwarf.inside(variable.type, offset), type_die))
                      for variable in variables for offset, kind, type_die in dwarf.sync_objects(variable.type, 0)]
            votes = {}
            for kind, address in wanted:
                for offset, place_kind, _ in places:
                    if place_kind == kind:
                        votes[address - offset] = votes.get(address - offset, 0) + 1
            for base, count in votes.items():
                score = (count, dwarf.function_name(function) == "main")
                if best is None or score > best[0]:
                    best = (score, base, places)
        if best is None:
            return {}
        _, base, places = best
        return {address: found for kind, address in wanted for offset, place_kind, found in places
                if place_kind == kind and address - offset == base}

    def tail_site(self, address):
        """(file, line) in the program's own source of the calls that jumped
        to the function holding address and left no frame (tail calls), where
        they all lie on one line; or None."""
        where = self.offset(address)
        debug = self.debug(where[0]) if where else None
        jumps = debug.tail_calls(where[1]) if debug else []
        if not jumps:
            return None
        places = {site for site in lines_of(where[0], jumps).values() if site}
        return places.pop() if len(places) == 1 else None

    def sites(self, addresses):
        """{address: (file, line)} of the first of the program's own source
        lines that each return address comes from, inlined functions
        included (the header code of a library inlined into the program is
        passed over), or None."""
        found, by_module = {}, {}
        for address in set(addresses):
            where = self.offset(address)
            if where is None or where[0].startswith(SYSTEM):
                found[address] = None
            else:
                by_module.setdefault(where[0], []).append((address, where[1]))
        for path, pairs in by_module.items():
            lines = lines_of(path, [at - 1 for _, at in pairs])  # the call, not the instruction after it
            for address, at in pairs:
                found[address] = lines.get(at - 1)
        return found

    def type_name(self, address):
        """The name of the type of the synchronisation object at address
        (mutex, shared_mutex, pthread_mutex_t), or None."""
        known = self.variable(address)
        if not known:
            return None
        _, variable, offset = known
        die = dwarf.locate(variable.type, offset)[1]
        while die is not None and dwarf.kind_of_name(dwarf.text(die)) is None and die.tag in dwarf.STRIPPED:
            die = dwarf.type_of(die)
        return dwarf.text(die) if die is not None else None

    def kind(self, address):
        """The kind of synchronisation object at address, from its type, or None."""
        known = self.variable(address)
        if not known:
            return None
        _, variable, offset = known
        return kind_inside(variable.type, offset)


def kind_inside(type_die, offset):
    """The kind of the synchronisation object that lies offset bytes into a
    variable of this type, from its type, or None."""
    return dwarf.kind_of(dwarf.locate(type_die, offset)[1])


def clean(name):
    """As the program's source calls it: gcc names a function's static
    variable numbers.0, and a C++ function comes with its parameters."""
    name = re.sub(r"\.\d+$", "", name)
    return re.sub(r"\((?!\)).*\)( const)?$|\(\)( const)?$", "", name) if name.endswith(")") or \
        name.endswith(") const") else name
