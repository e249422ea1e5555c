#!/usr/bin/env python3
"""Puts the type descriptions of a widl-built type library into a given order.

widl writes a class's interfaces ahead of the class when the class names them
first, so an event interface that the library declares last still comes out
before the classes that follow its control class. Hosts read the types by
index as well as by name, and the library keeps its published order: this
rewrites the compiled library with its type descriptions moved into the order
given, and every reference to them (reference table, identifier table, name
table, type descriptions) renumbered to match.

Usage: order_typelib.py IN.tlb OUT.tlb NAME,NAME,...
"""
import struct
import sys

HEADER_SIZE = 0x54
SEGMENTS = 15
TYPEINFO, REFERENCES, GUID, NAME, TYPEDESC = 0, 3, 5, 7, 9
RECORD = 0x64
VT_USERDEFINED = 0x1D


def fail(message):
    sys.exit(f"order_typelib: {message}")


def main():
    if len(sys.argv) != 4:
        fail(__doc__)
    source, target, order = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
    data = bytearray(open(source, "rb").read())
    if data[:4] != b"MSFT":
        fail(f"{source} is not a type library in the MSFT format")
    varflags, count = struct.unpack_from("<i", data, 0x14)[0], struct.unpack_from("<i", data, 0x20)[0]
    offsets_at = HEADER_SIZE + (4 if varflags & 0x100 else 0)
    offsets = struct.unpack_from(f"<{count}i", data, offsets_at)
    if list(offsets) != [i * RECORD for i in range(count)]:
        fail("unexpected layout of the type description table")
    segdir_at = offsets_at + 4 * count
    segments = [struct.unpack_from("<2i", data, segdir_at + 16 * i) for i in range(SEGMENTS)]

    def names_in(segment):
        start, length = segments[segment]
        pos, end = start, start + length
        while pos < end:
            hreftype, _, size = struct.unpack_from("<3i", data, pos)
            length_ = size & 0xFF
            yield pos, hreftype, data[pos + 12:pos + 12 + length_].decode("latin-1")
            pos += 12 + ((length_ + 3) & ~3)

    table_at = segments[TYPEINFO][0]
    current = {}
    for pos, hreftype, name in names_in(NAME):
        if hreftype >= 0 and hreftype % RECORD == 0 and hreftype // RECORD < count:
            index = hreftype // RECORD
            name_offset = pos - segments[NAME][0]
            if struct.unpack_from("<i", data, table_at + index * RECORD + 0x34)[0] == name_offset:
                current[name] = index
    if sorted(order) != sorted(current) or len(order) != count:
        fail(f"the order {order} does not name the library's types {sorted(current)}")
    new_index = {current[name]: i for i, name in enumerate(order)}
    moved = {old * RECORD: new * RECORD for old, new in new_index.items()}

    def renumber(at):
        value = struct.unpack_from("<i", data, at)[0]
        if value in moved:
            struct.pack_into("<i", data, at, moved[value])

    # The records themselves; the index lives in the upper half of the kind.
    records = [bytes(data[table_at + i * RECORD:table_at + (i + 1) * RECORD]) for i in range(count)]
    for old, record in enumerate(records):
        new = new_index[old]
        data[table_at + new * RECORD:table_at + (new + 1) * RECORD] = record
        kind = struct.unpack_from("<i", data, table_at + new * RECORD)[0]
        struct.pack_into("<i", data, table_at + new * RECORD, (kind & 0xFFFF) | (new << 16))
    start, length = segments[REFERENCES]
    for at in range(start, start + length, 16):
        renumber(at)
    start, length = segments[GUID]
    for at in range(start, start + length, 24):
        renumber(at + 16)
    for pos, _, _ in names_in(NAME):
        renumber(pos)
    start, length = segments[TYPEDESC]
    for at in range(start, start + length, 8):
        if struct.unpack_from("<i", data, at)[0] & 0xFFFF == VT_USERDEFINED:
            renumber(at + 4)
    open(target, "wb").write(data)


if __name__ == "__main__":
    main()
