#!/usr/bin/env python3
"""Moves a linked stub's PE headers up behind its 64-byte DOS header, in place.

The linker always writes a 64-byte DOS program between the DOS header and the PE headers;
with it, the stub's headers and four section entries need 536 bytes, and the file alignment
rounds that to 1,024. Without it they need 472 and fit in 512. Nothing else moves but the
sections' raw data, each by the same whole number of alignment units; the checksum is
computed anew. Refuses (exit status 1, the file untouched) anything it does not expect.
(Run under DOS, the file no longer prints that it needs Windows.)
"""
import struct
import sys

DOS_HEADER_SIZE = 64


def checksum(image):
    """The system's image checksum; the checksum field must be zero."""
    total = 0
    for (word,) in struct.iter_unpack('<H', image + b'\0' * (len(image) & 1)):
        total += word
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def compact(image):
    if image[:2] != b'MZ':
        raise ValueError('no DOS header')
    pe = struct.unpack_from('<I', image, 0x3C)[0]
    if image[pe:pe + 4] != b'PE\0\0':
        raise ValueError('no PE signature')
    sections, = struct.unpack_from('<H', image, pe + 6)
    symbols, = struct.unpack_from('<I', image, pe + 12)
    optional_size, = struct.unpack_from('<H', image, pe + 20)
    optional = pe + 24
    file_alignment, = struct.unpack_from('<I', image, optional + 36)
    headers_size, = struct.unpack_from('<I', image, optional + 60)
    magic, = struct.unpack_from('<H', image, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    table = optional + optional_size
    length = table + 40 * sections - pe
    new_headers_size = -(-(DOS_HEADER_SIZE + length) // file_alignment) * file_alignment
    shift = headers_size - new_headers_size
    if shift <= 0:
        return image  # nothing to gain
    # File offsets other than the sections' would have to move too: symbols, debug data,
    # a certificate. A stub has none of them.
    security, = struct.unpack_from('<I', image, directories + 4 * 8 + 4)
    debug, = struct.unpack_from('<I', image, directories + 6 * 8 + 4)
    if symbols or security or debug or pe < DOS_HEADER_SIZE or any(image[pe + length:headers_size]):
        raise ValueError('headers not as the linker writes them')
    out = bytearray(image[:DOS_HEADER_SIZE] + image[pe:pe + length])
    out += bytes(new_headers_size - len(out))
    out += image[headers_size:]
    struct.pack_into('<I', out, 0x3C, DOS_HEADER_SIZE)
    moved = DOS_HEADER_SIZE - pe
    struct.pack_into('<I', out, optional + moved + 60, new_headers_size)
    for i in range(sections):
        entry = table + moved + 40 * i
        raw_size, raw_pointer = struct.unpack_from('<II', out, entry + 16)
        if raw_size:
            if raw_pointer < headers_size:
                raise ValueError('a section starts inside the headers')
            struct.pack_into('<I', out, entry + 20, raw_pointer - shift)
    field = optional + moved + 64
    struct.pack_into('<I', out, field, 0)
    struct.pack_into('<I', out, field, checksum(bytes(out)))
    return bytes(out)


def main(path):
    with open(path, 'rb') as f:
        image = f.read()
    try:
        compacted = compact(image)
    except (ValueError, struct.error) as e:
        print(f'{path}: cannot compact the headers: {e}', file=sys.stderr)
        return 1
    if compacted != image:
        with open(path, 'wb') as f:
            f.write(compacted)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
