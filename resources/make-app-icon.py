#!/usr/bin/env python3
"""Writes AppIco.ico: the installer's 32 x 32 icon (a white arrow into a tray on the title bar's blue).

The icon is committed; run this only to change it: python3 make-app-icon.py > AppIco.ico
"""
import struct
import sys

SIZE = 32
BLUE = (0, 0, 127, 255)
WHITE = (255, 255, 255, 255)
CLEAR = (0, 0, 0, 0)


def pixel(x, y):
    # Rounded square background, corners left transparent.
    corner = 4
    for cx, cy in ((corner, corner), (SIZE - 1 - corner, corner), (corner, SIZE - 1 - corner),
                   (SIZE - 1 - corner, SIZE - 1 - corner)):
        if (x < corner or x > SIZE - 1 - corner) and (y < corner or y > SIZE - 1 - corner):
            if (x - cx) ** 2 + (y - cy) ** 2 > corner ** 2:
                return CLEAR
    # Arrow shaft.
    if 14 <= x <= 17 and 5 <= y <= 16:
        return WHITE
    # Arrow head.
    if 17 <= y <= 22 and abs(x - 15.5) <= 22 - y + 0.5:
        return WHITE
    # Tray.
    if 24 <= y <= 26 and 6 <= x <= 25:
        return WHITE
    if 20 <= y <= 26 and (6 <= x <= 8 or 23 <= x <= 25):
        return WHITE
    return BLUE


def main():
    rows = []
    for y in reversed(range(SIZE)):  # bottom-up, as in every BMP
        rows.append(b"".join(struct.pack("<BBBB", b, g, r, a) for (r, g, b, a) in (pixel(x, y) for x in range(SIZE))))
    xor = b"".join(rows)
    mask_row = (SIZE + 31) // 32 * 4
    and_mask = bytes(mask_row * SIZE)  # the alpha channel decides; the AND mask is all "opaque"
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = info + xor + and_mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    sys.stdout.buffer.write(header + entry + image)


if __name__ == "__main__":
    main()
