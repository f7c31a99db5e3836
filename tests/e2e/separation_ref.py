#!/usr/bin/env python3
"""Reference separations of a page, as mean ink per plane (0..1).

  separation_ref.py ppm RASTER STEP OUT  writes every STEP-th line of the
                                         first page of a 24-bit uncompressed
                                         CUPS raster as a PPM; prints the
                                         raster's width and height
  separation_ref.py cmyk PAGE.tif        C M Y K of a CMYK TIFF (8 bits,
                                         chunky, uncompressed), as LittleCMS'
                                         tificc writes it
  separation_ref.py red PAGE.ppm LEVEL   black and red of an RGB PPM (P6)
                                         split by the black-and-red rule:
                                         red when red - LEVEL beats green and
                                         blue and red is above 150; each
                                         image's ink is its pixels' darkness

The figures are whole-page means, to be set against the share of toner dots
of each decoded plane over the page's area.
"""
import struct
import sys


def raster_to_ppm(path, step, out):
    data = open(path, "rb").read()
    if data[:4] not in (b"3SaR", b"RaS3"):
        sys.exit("separation_ref: not an uncompressed version-3 CUPS raster")
    endian = "<" if data[:4] == b"3SaR" else ">"

    def field(offset):  # a 32-bit field of the page header
        return struct.unpack(endian + "I", data[4 + offset:8 + offset])[0]

    w, h, bpp, bpl = field(372), field(376), field(388), field(392)
    if bpp != 24:
        sys.exit("separation_ref: %d bits per pixel, 24 expected" % bpp)
    pixels = data[4 + 1796:]
    lines = [pixels[y * bpl:y * bpl + 3 * w] for y in range(0, h, step)]
    with open(out, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (w, len(lines)))
        f.writelines(lines)
    return w, h


def tiff_cmyk(path):
    data = open(path, "rb").read()
    endian = "<" if data[:2] == b"II" else ">"
    (ifd,) = struct.unpack(endian + "I", data[4:8])
    (count,) = struct.unpack(endian + "H", data[ifd:ifd + 2])
    tags = {}
    for i in range(count):
        e = data[ifd + 2 + 12 * i: ifd + 14 + 12 * i]
        tag, typ, n = struct.unpack(endian + "HHI", e[:8])
        size = {3: 2, 4: 4}.get(typ, 1)
        fmt = {3: "H", 4: "I"}.get(typ, "B")
        raw = e[8:12] if n * size <= 4 else data[struct.unpack(endian + "I", e[8:12])[0]:][:n * size]
        tags[tag] = struct.unpack(endian + fmt * n, raw[:n * size])
    if tags.get(259, (1,))[0] != 1 or tags.get(277, (0,))[0] != 4 or tags.get(284, (1,))[0] != 1:
        sys.exit("separation_ref: not an uncompressed chunky 4-sample TIFF")
    pixels = b"".join(data[o:o + n] for o, n in zip(tags[273], tags[279]))
    total = len(pixels) // 4
    return [sum(pixels[c::4]) / (255.0 * total) for c in range(4)]


def ppm_black_red(path, level):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:
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
    w, h = int(fields[1]), int(fields[2])
    px = data[pos + 1: pos + 1 + 3 * w * h]
    black = red = 0.0
    for i in range(0, len(px), 3):
        r, g, b = px[i], px[i + 1], px[i + 2]
        ink = 1.0 - ((30 * r + 53 * g + 17 * b + 1) // 100) / 255.0
        rr = r - level if r > level else 0
        if rr > g and rr > b and r > 150:
            red += ink
        else:
            black += ink
    return [black / (w * h), red / (w * h)]


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "ppm":
        print("%d %d" % raster_to_ppm(sys.argv[2], int(sys.argv[3]), sys.argv[4]))
    elif len(sys.argv) == 3 and sys.argv[1] == "cmyk":
        print(" ".join("%.6f" % v for v in tiff_cmyk(sys.argv[2])))
    elif len(sys.argv) == 4 and sys.argv[1] == "red":
        print(" ".join("%.6f" % v for v in ppm_black_red(sys.argv[2], int(sys.argv[3]))))
    else:
        sys.exit(__doc__)
