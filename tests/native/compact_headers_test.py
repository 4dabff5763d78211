#!/usr/bin/env python3
"""stub/compact_headers.py on images laid out as the linker writes the stubs: the headers move
up behind the DOS header, every section's raw data moves with them, nothing else changes."""
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'stub'))
from compact_headers import checksum, compact  # noqa: E402

RAW = [b'code' * 300, b'relocs' * 20, b'resources' * 30]


def linked_image(sections=4, symbols=0, certificate=0):
    """A PE32 image as the linker writes one: DOS program, headers at 0x80, 1,024 bytes of
    headers, the fourth section without raw data (.bss)."""
    image = bytearray(1024)
    image[:2] = b'MZ'
    image[64:80] = b'\x0e\x1f\xba\x0e\x00\xb4\x09\xcd\x21\xb8\x01\x4c\xcd\x21Th'
    struct.pack_into('<I', image, 0x3C, 0x80)
    image[0x80:0x84] = b'PE\0\0'
    struct.pack_into('<HHIIIHH', image, 0x84, 0x14C, sections, 0, symbols, 0, 224, 0x10E)
    optional = 0x98
    struct.pack_into('<H', image, optional, 0x10B)
    struct.pack_into('<II', image, optional + 32, 4096, 512)
    struct.pack_into('<II', image, optional + 60, 1024, 0x1234)
    struct.pack_into('<I', image, optional + 92, 16)
    struct.pack_into('<II', image, optional + 96 + 4 * 8, certificate, 8 if certificate else 0)
    table = optional + 224
    raws = [RAW[0], b''] + RAW[1:] * 2  # the second is zeroed data: no file space
    for i in range(sections):
        raw = raws[i]
        pointer = len(image) if raw else 0
        padded = raw + bytes(-len(raw) % 512)
        struct.pack_into('<8sIIII', image, table + 40 * i, b'.s%d' % i, len(raw), 0x1000 * (i + 1),
                         len(padded), pointer)
        image += padded
    return bytes(image)


def section(image, i):
    pe, = struct.unpack_from('<I', image, 0x3C)
    size, pointer = struct.unpack_from('<II', image, pe + 24 + 224 + 40 * i + 16)
    return image[pointer:pointer + size] if size else b''


class CompactHeadersTest(unittest.TestCase):
    def test_headers_move_up_and_sections_follow(self):
        original = linked_image()
        compacted = compact(original)
        self.assertEqual(len(compacted), len(original) - 512)
        self.assertEqual(struct.unpack_from('<I', compacted, 0x3C)[0], 64)
        self.assertEqual(compacted[64:68], b'PE\0\0')
        # The headers as they were but for their size, the checksum and the raw data pointers.
        optional = 64 + 24
        expected = bytearray(original[0x80:0x80 + 24 + 224 + 4 * 40])
        struct.pack_into('<I', expected, 24 + 60, 512)
        expected[24 + 64:24 + 68] = compacted[optional + 64:optional + 68]
        for i in (0, 2, 3):
            pointer, = struct.unpack_from('<I', expected, 24 + 224 + 40 * i + 20)
            struct.pack_into('<I', expected, 24 + 224 + 40 * i + 20, pointer - 512)
        self.assertEqual(compacted[64:64 + len(expected)], bytes(expected))
        for i in range(4):
            self.assertEqual(section(compacted, i), section(original, i))
        field = optional + 64
        zeroed = bytearray(compacted)
        struct.pack_into('<I', zeroed, field, 0)
        self.assertEqual(struct.unpack_from('<I', compacted, field)[0], checksum(bytes(zeroed)))
        self.assertEqual(compact(compacted), compacted, 'a second run changes nothing')

    def test_headers_that_gain_nothing_stay(self):
        crowded = linked_image(sections=6)  # 552 bytes of headers even without the DOS program
        self.assertEqual(compact(crowded), crowded)

    def test_file_offsets_outside_the_sections_are_refused(self):
        for image in (linked_image(symbols=0x5000), linked_image(certificate=0x5000)):
            with self.assertRaises(ValueError):
                compact(image)
        not_pe = bytearray(linked_image())
        not_pe[0x80] = ord('X')
        with self.assertRaises(ValueError):
            compact(bytes(not_pe))


if __name__ == '__main__':
    unittest.main()
