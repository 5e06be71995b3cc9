#!/usr/bin/env python3
"""Makes a Windows Installer package built by wixl the same bytes every time.

    msi-summary.py PACKAGE.msi EPOCH NAMESPACE-UUID

wixl writes two things of its own into the package's summary information:
the package code (a new random GUID each build) and the creation and
last-saved dates (the build's time). This sets both dates to EPOCH (seconds
since 1970, UTC) and the package code to a name-based UUID (version 5, in
NAMESPACE-UUID) over a SHA-256 of the whole package with the code blanked.
Every table, the version and the embedded program are in those bytes, so a
package that differs in anything gets a code of its own, as Windows Installer
requires, while a rebuild of the same commit gets the same one.

The values are rewritten in place, at the same length, inside the compound
file's stream; nothing else of the file moves. Prints the package code.
"""
import hashlib
import struct
import sys
import uuid

SUMMARY = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
FREESECT, ENDOFCHAIN = 0xFFFFFFFF, 0xFFFFFFFE


def fail(text):
    sys.exit("msi-summary.py: " + text)


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def chain(table, start):
    """The sectors of a chain, guarded against loops."""
    out = []
    while start not in (ENDOFCHAIN, FREESECT):
        if start >= len(table) or len(out) > len(table):
            fail("broken sector chain")
        out.append(start)
        start = table[start]
    return out


def stream_offsets(data, name):
    """File offsets of the bytes of a stream, one per byte, and its size."""
    if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
        fail("not a compound file")
    sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
    mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
    cutoff = u32(data, 0x38)

    def at(sid):
        return (sid + 1) * sector

    difat = [u32(data, 0x4C + 4 * i) for i in range(109)]
    next_difat = u32(data, 0x44)
    for _ in range(u32(data, 0x48)):
        entries = [u32(data, at(next_difat) + 4 * i) for i in range(sector // 4)]
        difat += entries[:-1]
        next_difat = entries[-1]
    fat = []
    for sid in difat[: u32(data, 0x2C)]:
        fat += [u32(data, at(sid) + 4 * i) for i in range(sector // 4)]

    directory = b"".join(data[at(s) : at(s) + sector] for s in chain(fat, u32(data, 0x30)))
    entries = {}
    for i in range(len(directory) // 128):
        entry = directory[128 * i : 128 * (i + 1)]
        length = struct.unpack_from("<H", entry, 64)[0]
        if length >= 2:
            entries[entry[: length - 2].decode("utf-16-le")] = (
                u32(entry, 116),
                struct.unpack_from("<Q", entry, 120)[0] & 0xFFFFFFFF,
            )
    if name not in entries:
        fail("no %r stream" % name)
    start, size = entries[name]
    if size >= cutoff:
        offsets = [at(s) + i for s in chain(fat, start) for i in range(sector)]
    else:
        root_offsets = [at(s) + i for s in chain(fat, u32(directory, 116)) for i in range(sector)]
        minifat = []
        for sid in chain(fat, u32(data, 0x3C)):
            minifat += [u32(data, at(sid) + 4 * i) for i in range(sector // 4)]
        offsets = [root_offsets[m * mini + i] for m in chain(minifat, start) for i in range(mini)]
    if len(offsets) < size:
        fail("stream %r is shorter than its size" % name)
    return offsets[:size]


def properties(stream):
    """{pid: (type, offset of the value after its type)} of the first section."""
    section = u32(stream, 44)
    count = u32(stream, section + 4)
    out = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        out[pid] = (u32(stream, section + offset), section + offset + 4)
    return out


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: msi-summary.py PACKAGE.msi EPOCH NAMESPACE-UUID")
    path, epoch, namespace = sys.argv[1], int(sys.argv[2]), uuid.UUID(sys.argv[3])
    with open(path, "rb") as f:
        data = bytearray(f.read())
    offsets = stream_offsets(data, SUMMARY)
    stream = bytearray(data[o] for o in offsets)
    props = properties(stream)

    filetime = struct.pack("<Q", (epoch + 11644473600) * 10_000_000)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        kind, value = props.get(pid, (None, 0))
        if kind != VT_FILETIME:
            fail("summary property %d is not a date" % pid)
        stream[value : value + 8] = filetime
    kind, value = props.get(PID_REVNUMBER, (None, 0))
    if kind != VT_LPSTR or u32(stream, value) != 39:
        fail("the package code is not a 38-character GUID")

    def set_code(text):
        stream[value + 4 : value + 42] = text.encode("ascii")
        for i, o in enumerate(offsets):
            data[o] = stream[i]

    set_code("{%s}" % ("0" * 8 + "-" + "0" * 4 + "-" + "0" * 4 + "-" + "0" * 4 + "-" + "0" * 12))
    digest = hashlib.sha256(data).hexdigest()
    code = "{%s}" % str(uuid.uuid5(namespace, "package " + digest)).upper()
    set_code(code)
    with open(path, "r+b") as f:
        f.write(data)
    print(code)


main()
