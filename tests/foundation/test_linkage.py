"""Both extension modules link against nothing but the C++ runtime and libc."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest

import morvane.core.models
import morvane.core.pdk

ALLOWED = {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1", "libc.so.6"}
DT_NEEDED, DT_STRTAB = 1, 5
PT_DYNAMIC = 2


def needed_libraries(path: Path) -> list[str]:
    """The DT_NEEDED entries of a 64-bit little-endian ELF shared object."""
    data = path.read_bytes()
    assert data[:4] == b"\x7fELF", "not an ELF file"
    assert data[4] == 2 and data[5] == 1, "only ELF64 little-endian is read here"
    e_phoff, = struct.unpack_from("<Q", data, 0x20)
    e_phentsize, e_phnum = struct.unpack_from("<HH", data, 0x36)
    segments = []
    for i in range(e_phnum):
        p_type, _, p_offset, p_vaddr, _, p_filesz, _, _ = struct.unpack_from("<IIQQQQQQ", data, e_phoff + i * e_phentsize)
        segments.append((p_type, p_offset, p_vaddr, p_filesz))

    def file_offset(vaddr: int) -> int:
        for p_type, p_offset, p_vaddr, p_filesz in segments:
            if p_type == 1 and p_vaddr <= vaddr < p_vaddr + p_filesz:  # PT_LOAD
                return vaddr - p_vaddr + p_offset
        raise AssertionError(f"address {vaddr:#x} is in no loaded segment")

    (dynamic,) = [s for s in segments if s[0] == PT_DYNAMIC]
    entries, strtab = [], None
    for offset in range(dynamic[1], dynamic[1] + dynamic[3], 16):
        tag, value = struct.unpack_from("<qQ", data, offset)
        if tag == 0:
            break
        if tag == DT_NEEDED:
            entries.append(value)
        elif tag == DT_STRTAB:
            strtab = file_offset(value)
    assert strtab is not None
    return [data[strtab + v : data.index(b"\0", strtab + v)].decode() for v in entries]


@pytest.mark.parametrize("module", [morvane.core.pdk, morvane.core.models], ids=lambda m: m.__name__)
def test_needed_libraries(module):
    needed = needed_libraries(Path(module.__file__))
    assert set(needed) <= ALLOWED, needed
    assert not any("python" in lib for lib in needed)
