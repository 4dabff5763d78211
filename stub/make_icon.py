#!/usr/bin/env python3
"""Writes sfxhead.ico: one 32x32, 16-colour image of a plain closed box (the stub's icon,
which the builder replaces with the launched program's own on the NT family)."""
import struct
import sys

PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
           (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
           (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, DARK_GREY, LIGHT_GREY, WHITE = 0, 8, 7, 15


def pixel(x, y):
    """Colour index at (x, y), y counted from the top; None is transparent."""
    if not (3 <= x <= 28 and 6 <= y <= 27):
        return None
    if x in (3, 28) or y in (6, 27):
        return BLACK
    if y == 12:
        return BLACK  # the lid's lower edge
    if y < 12:
        return WHITE if y == 7 or x == 4 else LIGHT_GREY
    return DARK_GREY if x >= 24 or y == 26 else LIGHT_GREY


def icon_bytes():
    xor_rows, and_rows = [], []
    for y in range(31, -1, -1):  # bottom-up rows
        nibbles = [pixel(x, y) for x in range(32)]
        xor_rows.append(bytes(((a or 0) << 4) | (b or 0) for a, b in zip(nibbles[0::2], nibbles[1::2])))
        mask = 0
        for x in range(32):
            mask = (mask << 1) | (1 if nibbles[x] is None else 0)
        and_rows.append(struct.pack('>I', mask))
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    info = struct.pack('<IiiHHIIiiII', 40, 32, 64, 1, 4, 0, 512 + 128, 0, 0, 16, 0)
    image = info + palette + b''.join(xor_rows) + b''.join(and_rows)
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', 32, 32, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == '__main__':
    with open(sys.argv[1] if len(sys.argv) > 1 else 'sfxhead.ico', 'wb') as out:
        out.write(icon_bytes())
