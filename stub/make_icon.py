#!/usr/bin/env python3
"""Writes sfxhead.ico: one 16x16, 16-colour image of a plain closed box (the stub's icon,
which the builder replaces with the launched program's own on the NT family). It shows only
when that program has no icon, and every byte of it is in every produced file: at 16x16 the
stub's resources fit in one 512-byte unit less than at 32x32 (296 bytes instead of 744)."""
import struct
import sys

PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
           (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
           (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, DARK_GREY, LIGHT_GREY, WHITE = 0, 8, 7, 15
SIZE = 16


def pixel(x, y):
    """Colour index at (x, y), y counted from the top; None is transparent."""
    if not (1 <= x <= 14 and 2 <= y <= 13):
        return None
    if x in (1, 14) or y in (2, 13):
        return BLACK
    if y == 5:
        return BLACK  # the lid's lower edge
    if y < 5:
        return WHITE if y == 3 or x == 2 else LIGHT_GREY
    return DARK_GREY if x >= 12 or y == 12 else LIGHT_GREY


def icon_bytes():
    xor_rows, and_rows = [], []
    for y in range(SIZE - 1, -1, -1):  # bottom-up rows
        nibbles = [pixel(x, y) for x in range(SIZE)]
        xor_rows.append(bytes(((a or 0) << 4) | (b or 0) for a, b in zip(nibbles[0::2], nibbles[1::2])))
        mask = 0
        for x in range(SIZE):
            mask = (mask << 1) | (1 if nibbles[x] is None else 0)
        # Mask rows are padded to four bytes, like every bitmap row.
        and_rows.append(struct.pack('>I', mask << (32 - SIZE)))
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    info = struct.pack('<IiiHHIIiiII', 40, SIZE, 2 * SIZE, 1, 4, 0, SIZE * SIZE // 2 + SIZE * 4, 0, 0, 16, 0)
    image = info + palette + b''.join(xor_rows) + b''.join(and_rows)
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 22)
    return directory + image


if __name__ == '__main__':
    with open(sys.argv[1] if len(sys.argv) > 1 else 'sfxhead.ico', 'wb') as out:
        out.write(icon_bytes())
