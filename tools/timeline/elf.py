"""An ELF file's header and program headers: what the tool needs to know of
a program or library before its debugging information: whether it is a
64-bit program that the loader links (and so loads the tool's library
into), whether it is whole, and where its segments lie."""
import functools, struct
from dataclasses import dataclass

PT_LOAD, PT_INTERP = 1, 3
ET_DYN = 3


class NotElf(Exception):
    """Why a file is not an ELF file that the tool can read, in words."""


@dataclass(frozen=True)
class Elf:
    """kind: e_type; linked: whether it names a loader (PT_INTERP), which a
    statically linked program does not; loads: [(address, file offset, size
    in the file, size in memory)] of its loaded segments."""
    kind: int
    linked: bool
    loads: tuple

    @property
    def relative(self):
        """Whether its addresses are offsets from where it is loaded (a position-independent file)."""
        return self.kind == ET_DYN

    @property
    def top(self):
        """The end of its last loaded segment in memory, .bss included."""
        return max((address + size for address, _, _, size in self.loads), default=0)


@functools.lru_cache(maxsize=256)
def read_elf(path):
    """The Elf of the file at path; NotElf says why there is none."""
    try:
        with open(path, "rb") as file:
            header = file.read(64)
            if header[:4] != b"\x7fELF" or header[4:5] != b"\x02":
                raise NotElf("is not a 64-bit ELF program")
            if len(header) < 64:
                raise NotElf("is not a whole ELF program")
            kind, = struct.unpack_from("<H", header, 16)
            offset, = struct.unpack_from("<Q", header, 32)
            entry_size, count = struct.unpack_from("<HH", header, 54)
            file.seek(offset)
            table = file.read(entry_size * count)
    except OSError as error:
        raise NotElf(f"cannot be read: {error.strerror}") from None
    if entry_size < 56 or len(table) < entry_size * count:
        raise NotElf("is not a whole ELF program")
    linked, loads = False, []
    for i in range(count):
        segment, = struct.unpack_from("<I", table, i * entry_size)
        if segment == PT_INTERP:
            linked = True
        elif segment == PT_LOAD:
            file_offset, address, _, file_size, memory_size = struct.unpack_from("<QQQQQ", table, i * entry_size + 8)
            loads.append((address, file_offset, file_size, memory_size))
    return Elf(kind, linked, tuple(loads))


def maybe(path):
    """The Elf of the file at path, or None."""
    try:
        return read_elf(path)
    except NotElf:
        return None
