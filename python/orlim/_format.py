"""The file format of `orlim.Index`: written and read here, checked natively before use.

Layout (every integer little-endian)::

    0   magic b"ORLIMIDX"
    8   u32 format version
    12  u32 byte-order mark 0x0A0B0C0D
    16  u64 length of the JSON header
    24  u32 CRC-32 of the JSON header
    28  u32 CRC-32 of bytes 0-27
    32  zeros up to 64
    64  JSON header: library version, n, dim, metric, build parameters, entry point, edge count
        and the sections (name, offset, byte count, CRC-32 of each block of BLOCK bytes)
        zeros up to the first section
        values     n x dim float32, the stored rows (normalized for cosine)
        offsets    n + 1 uint64, row v's edges are neighbors[offsets[v]:offsets[v + 1]]
        neighbors  uint32 edge ids

Each section starts at a multiple of 64 bytes, so that it can be used in place from a memory
mapping; the bytes between sections are zeros and the file ends where the last section ends.
Every byte is therefore covered by a CRC-32 (zlib's) or an exact check. The blocks of a
section are checked in parallel: zlib releases the interpreter lock while it sums.
"""

from __future__ import annotations

import io
import json
import mmap as _mmap
import os
import struct
import tempfile
import zlib
from concurrent.futures import ThreadPoolExecutor
from typing import Any, BinaryIO, Dict, List

import numpy as np

MAGIC = b"ORLIMIDX"
VERSION = 1
BYTE_ORDER_MARK = 0x0A0B0C0D
PREAMBLE = 64
ALIGN = 64
BLOCK = 1 << 24
MAX_HEADER = 1 << 20

_PREAMBLE = struct.Struct("<8sIIQII")
_SECTIONS = (("values", "<f4"), ("offsets", "<u8"), ("neighbors", "<u4"))


def _aligned(offset: int) -> int:
    return (offset + ALIGN - 1) // ALIGN * ALIGN


def _bytes_of(array: np.ndarray) -> memoryview:
    return memoryview(np.ascontiguousarray(array)).cast("B")


def _write(index: Any, out: BinaryIO) -> None:
    from . import __version__

    values, offsets, neighbors, entry = index._arrays()
    parts = [_bytes_of(values), _bytes_of(offsets), _bytes_of(neighbors)]
    crcs = [_block_crcs_sized(data, BLOCK) for data in parts]
    # The sections start after the header, whose text lists where they start: grow the room
    # reserved for the header until the text fits in it.
    room = _aligned(PREAMBLE + 1024)
    while True:
        position, sections = room, []
        for (name, dtype), data, crc in zip(_SECTIONS, parts, crcs):
            sections.append({"name": name, "dtype": dtype, "offset": position,
                             "nbytes": len(data), "block": BLOCK, "crc32": crc})
            position = _aligned(position + len(data))
        header = {
            "library_version": __version__,
            "n": index.n,
            "dim": index.dim,
            "metric": index.metric,
            "params": index.params,
            "entry": int(entry),
            "edges": int(neighbors.shape[0]),
            "sections": sections,
        }
        text = json.dumps(header, sort_keys=True).encode()
        if PREAMBLE + len(text) <= room:
            break
        room = _aligned(PREAMBLE + len(text))
    head = _PREAMBLE.pack(MAGIC, VERSION, BYTE_ORDER_MARK, len(text), zlib.crc32(text), 0)
    head = head[:28] + struct.pack("<I", zlib.crc32(head[:28]))
    out.write(head + bytes(PREAMBLE - len(head)))
    out.write(text)
    written = PREAMBLE + len(text)
    for section, data in zip(sections, parts):
        out.write(bytes(section["offset"] - written))
        out.write(data)
        written = section["offset"] + len(data)


def save(index: Any, path: Any) -> None:
    """Writes `index` to `path` through a temporary file in the same directory, renamed into
    place once complete and flushed to disk."""
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".",
                               suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            _write(index, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:  # make the rename itself durable
        dir_fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def dumps(index: Any) -> bytes:
    """The file's bytes, for pickling."""
    out = io.BytesIO()
    _write(index, out)
    return out.getvalue()


class _Reader:
    """Checks a whole file image (a bytes-like object or a mapping) before anything of it is
    used; every fault raises ValueError naming it."""

    def __init__(self, data: Any, verify: bool, source: str) -> None:
        self.view = memoryview(data).cast("B")
        self.size = len(self.view)
        self.verify = verify
        self.source = source

    def fail(self, what: str) -> ValueError:
        return ValueError(f"{self.source}: {what}")

    def zeros(self, start: int, stop: int, what: str) -> None:
        if any(self.view[start:stop]):
            raise self.fail(f"nonzero bytes in the padding {what}")

    def header(self) -> Dict[str, Any]:
        if self.size < PREAMBLE:
            raise self.fail(f"truncated: {self.size} bytes, the preamble alone is {PREAMBLE}")
        magic, version, bom, length, text_crc, head_crc = _PREAMBLE.unpack_from(self.view)
        if magic != MAGIC:
            raise self.fail("not an orlim index (wrong magic)")
        if bom != BYTE_ORDER_MARK:
            raise self.fail("byte-order mark does not match (file from another byte order?)")
        if version > VERSION:
            raise self.fail(f"format version {version} is newer than this library reads "
                            f"({VERSION}); upgrade orlim")
        if version < 1:
            raise self.fail(f"invalid format version {version}")
        if zlib.crc32(self.view[:28]) != head_crc:
            raise self.fail("checksum mismatch in the preamble")
        self.zeros(32, PREAMBLE, "after the preamble")
        if length > MAX_HEADER or PREAMBLE + length > self.size:
            raise self.fail(f"truncated or damaged: header of {length} bytes does not fit "
                            f"the file's {self.size}")
        text = self.view[PREAMBLE : PREAMBLE + length]
        if zlib.crc32(text) != text_crc:
            raise self.fail("checksum mismatch in the header")
        try:
            header = json.loads(bytes(text))
        except (ValueError, RecursionError) as error:
            raise self.fail(f"header is not valid JSON ({error})") from None
        self.header_end = PREAMBLE + length
        return self.check_header(header)

    def check_header(self, header: Any) -> Dict[str, Any]:
        if not isinstance(header, dict):
            raise self.fail("header is not a JSON object")
        for key, kind in (("n", int), ("dim", int), ("entry", int), ("edges", int),
                          ("metric", str), ("params", dict), ("sections", list),
                          ("library_version", str)):
            value = header.get(key)
            if not isinstance(value, kind) or isinstance(value, bool):
                raise self.fail(f"header field {key!r} is missing or not a {kind.__name__}")
            if kind is int and value < 0:
                raise self.fail(f"header field {key!r} is negative")
        return header

    def sections(self, header: Dict[str, Any]) -> List[np.ndarray]:
        n, dim, edges = header["n"], header["dim"], header["edges"]
        expected = {"values": n * dim * 4, "offsets": (n + 1) * 8, "neighbors": edges * 4}
        listed = header["sections"]
        if [s.get("name") if isinstance(s, dict) else None for s in listed] != [
            name for name, _ in _SECTIONS
        ]:
            raise self.fail("sections are not values, offsets, neighbors")
        arrays = []
        position = self.header_end
        for (name, dtype), section in zip(_SECTIONS, listed):
            offset, nbytes = section.get("offset"), section.get("nbytes")
            block, crcs = section.get("block"), section.get("crc32")
            if not all(isinstance(v, int) and not isinstance(v, bool)
                       for v in (offset, nbytes, block)):
                raise self.fail(f"section {name}: offset, size or block is not an integer")
            if section.get("dtype") != dtype:
                raise self.fail(f"section {name}: element type {section.get('dtype')!r}, "
                                f"expected {dtype!r}")
            if offset < position:
                raise self.fail(f"section {name} starts at {offset}, before the end of what "
                                f"precedes it ({position}): offsets must increase")
            if offset % ALIGN:
                raise self.fail(f"section {name} at {offset} is not aligned to {ALIGN} bytes")
            if nbytes != expected[name]:
                raise self.fail(f"section {name} holds {nbytes} bytes, the header's sizes "
                                f"need {expected[name]}")
            if offset + nbytes > self.size:
                raise self.fail(f"truncated: section {name} ends at {offset + nbytes}, the "
                                f"file at {self.size}")
            self.zeros(position, offset, f"before section {name}")
            if block < 1:
                raise self.fail(f"section {name}: block size {block}")
            count = -(-nbytes // block)
            if (not isinstance(crcs, list) or len(crcs) != count
                    or not all(isinstance(c, int) for c in crcs)):
                raise self.fail(f"section {name}: expected {count} block checksums")
            data = self.view[offset : offset + nbytes]
            if self.verify:
                got = _block_crcs_sized(data, block)
                for i, (want, have) in enumerate(zip(crcs, got)):
                    if want != have:
                        raise self.fail(f"checksum mismatch in section {name}, block {i} "
                                        f"(bytes {offset + i * block} onward)")
            arrays.append(np.frombuffer(data, dtype=np.dtype(dtype)))
            position = offset + nbytes
        if position != self.size:
            raise self.fail(f"size mismatch: the sections end at {position}, the file at "
                            f"{self.size}")
        arrays[0] = arrays[0].reshape(n, dim)
        return arrays


def _block_crcs_sized(data: memoryview, block: int) -> List[int]:
    starts = range(0, len(data), block)
    if len(starts) <= 1:
        return [zlib.crc32(data)] if len(data) else []
    with ThreadPoolExecutor(max_workers=min(len(starts), os.cpu_count() or 1)) as pool:
        return list(pool.map(lambda s: zlib.crc32(data[s : s + block]), starts))


def _restore(cls: Any, data: Any, verify: bool, source: str) -> Any:
    reader = _Reader(data, verify, source)
    header = reader.header()
    values, offsets, neighbors = reader.sections(header)
    for array in (values, offsets, neighbors):
        array.flags.writeable = False
    try:
        return cls._from_arrays(values, offsets, neighbors, header["entry"], header["metric"],
                                header["params"], data)
    except (TypeError, OverflowError) as error:  # a header value of the wrong kind
        raise ValueError(f"{source}: {error}") from None
    except ValueError as error:
        raise ValueError(f"{source}: {error}") from None


def load(cls: Any, path: Any, mmap: bool = False, verify: bool = True) -> Any:
    """Reads (or maps, read-only) the file at `path` and checks it; see `Index.load`."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size == 0:
            raise ValueError(f"{path}: truncated: the file is empty")
        if mmap:
            flags = _mmap.MAP_SHARED | getattr(_mmap, "MAP_POPULATE", 0)
            data: Any = _mmap.mmap(f.fileno(), size, flags=flags, prot=_mmap.PROT_READ)
        else:
            data = bytearray(size)
            if f.readinto(data) != size:
                raise ValueError(f"{path}: truncated while reading")
    return _restore(cls, data, verify, path)


def loads(data: bytes) -> Any:
    """The index pickled as `data` (from `dumps`)."""
    from ._index import Index

    return _restore(Index, data, True, "pickled index")
