#!/usr/bin/env python3
"""Toner of a four-colour page as the printer gets it, from gdidecode's PBM
(--pbm: the planes K, Y, M, C stacked, 1 = toner dot).

    ink.py PAGE.pbm

Prints per plane its coverage (dots over the plane's area); the total ink
(the four coverages added, 1.0 = 100 %); the share of K dots that carry a
C, M or Y dot in the same pixel (0 when black prints with black alone);
and the highest total ink of a 32 x 32-dot cell (4.0 = all four planes
solid), which a clustered-dot screen reaches only where the contone total
was that high.
"""
import sys


def read_pbm(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 3:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P4":
        sys.exit("ink.py: not a binary PBM")
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    width, height, bits = read_pbm(sys.argv[1])
    if height % 4:
        sys.exit("ink.py: %d rows do not make four planes" % height)
    bpl, rows = (width + 7) // 8, height // 4
    plane = [[bits[(p * rows + y) * bpl:(p * rows + y + 1) * bpl] for y in range(rows)] for p in range(4)]
    dots = [sum(int.from_bytes(r, "big").bit_count() for r in plane[p]) for p in range(4)]
    k_mixed = 0
    cell = 32
    cells = {}
    for y in range(rows):
        k, yy, m, c = (int.from_bytes(plane[p][y], "big") for p in range(4))
        k_mixed += (k & (c | m | yy)).bit_count()
        row_cells = cells.setdefault(y // cell, [0] * ((bpl + 3) // 4))
        for p in range(4):
            r = plane[p][y]
            for i in range(0, bpl, 4):
                row_cells[i // 4] += int.from_bytes(r[i:i + 4], "big").bit_count()
    area = width * rows
    cov = [d / area for d in dots]
    peak = max(max(v) for v in cells.values()) / (cell * cell)
    print("coverage K %.4f Y %.4f M %.4f C %.4f" % tuple(cov))
    print("total ink %.4f" % sum(cov))
    print("K dots with C, M or Y %.4f" % (k_mixed / dots[0] if dots[0] else 0.0))
    print("peak total ink of a %dx%d cell %.3f" % (cell, cell, peak))


if __name__ == "__main__":
    main()
