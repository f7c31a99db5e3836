#!/usr/bin/env python3
"""Reference separations of a page, as mean ink per plane (0..1).

  separation_ref.py ppm RASTER OUT    every 2nd line of the first page of a
                                      24-bit uncompressed CUPS raster as a
                                      PPM; prints the raster's width, height
  separation_ref.py cmyk PAGE.ppm PAGE.tif
                                      C M Y K of an 8-bit chunky
                                      uncompressed CMYK TIFF (as LittleCMS'
                                      tificc writes it from the PPM), with
                                      what the colour model does besides:
                                      near-gray pixels black alone (chroma
                                      up to 3, blended into the profile's
                                      inks up to chroma 24), total ink
                                      capped at 280 %
  separation_ref.py red RASTER LEVEL  black and red of the raster's every 2nd
                                      line by the black-and-red rule (red
                                      when red - LEVEL beats green and blue
                                      and red is above 150): the black
                                      image's ink its pixels' darkness, a
                                      red pixel full ink (printed solid)
"""
import struct
import sys


def raster_lines(path):
    data = open(path, "rb").read()
    if data[:4] not in (b"3SaR", b"RaS3"):
        sys.exit("separation_ref: not an uncompressed version-3 CUPS raster")
    e = "<" if data[:4] == b"3SaR" else ">"
    w, h, bpp, bpl = (struct.unpack(e + "I", data[4 + o:8 + o])[0] for o in (372, 376, 388, 392))
    if bpp != 24:
        sys.exit("separation_ref: %d bits per pixel, 24 expected" % bpp)
    return w, h, [data[1800 + y * bpl:1800 + y * bpl + 3 * w] for y in range(0, h, 2)]


def tiff_pixels(path):
    data = open(path, "rb").read()
    e = "<" if data[:2] == b"II" else ">"
    ifd = struct.unpack(e + "I", data[4:8])[0]
    tags = {}
    for i in range(struct.unpack(e + "H", data[ifd:ifd + 2])[0]):
        tag, typ, n, val = struct.unpack(e + "HHI4s", data[ifd + 2 + 12 * i:ifd + 14 + 12 * i])
        fmt, size = {3: ("H", 2), 4: ("I", 4)}.get(typ, ("B", 1))
        raw = val if n * size <= 4 else data[struct.unpack(e + "I", val)[0]:][:n * size]
        tags[tag] = struct.unpack(e + fmt * n, raw[:n * size])
    if tags.get(259, (1,))[0] != 1 or tags.get(277, (0,))[0] != 4 or tags.get(284, (1,))[0] != 1:
        sys.exit("separation_ref: not an uncompressed chunky 4-sample TIFF")
    return b"".join(data[o:o + n] for o, n in zip(tags[273], tags[279]))


def ppm_pixels(path):
    data = open(path, "rb").read()
    fields = data.split(None, 4)
    if fields[0] != b"P6" or fields[3] != b"255":
        sys.exit("separation_ref: not an 8-bit binary PPM")
    return fields[4]


def finished(rgb, ink):
    """The colour model's inks of one pixel from the profile's: near-grays
    black alone, blended over the chroma band, total capped at 280 %."""
    r, g, b = rgb
    chroma = max(rgb) - min(rgb)
    c, m, y, k = (float(v) for v in ink)
    if chroma < 24:
        w = min(24 - chroma, 21) / 21.0  # share of black alone
        k_only = 255 - min(255, (30 * r + 53 * g + 17 * b + 1) // 100)
        c, m, y, k = c * (1 - w), m * (1 - w), y * (1 - w), k * (1 - w) + k_only * w
    limit = 280 * 255 // 100
    if c + m + y + k > limit:
        f = (limit - k) / (c + m + y)
        c, m, y = c * f, m * f, y * f
    return c, m, y, k


def cmyk_means(ppm, tif):
    rgb, ink = ppm_pixels(ppm), tiff_pixels(tif)
    n = len(ink) // 4
    if len(rgb) // 3 != n:
        sys.exit("separation_ref: the PPM and the TIFF differ in size")
    # Pages are mostly a few colours: each colour is finished once.
    counts = {}
    for i in range(n):
        key = rgb[3 * i:3 * i + 3] + ink[4 * i:4 * i + 4]
        counts[key] = counts.get(key, 0) + 1
    total = [0.0] * 4
    for key, count in counts.items():
        for j, v in enumerate(finished(tuple(key[:3]), key[3:])):
            total[j] += v * count
    return [t / (255.0 * n) for t in total]


def black_red(path, level):
    w, _, lines = raster_lines(path)
    black = red = 0.0
    for line in lines:
        for i in range(0, 3 * w, 3):
            r, g, b = line[i], line[i + 1], line[i + 2]
            ink = 1.0 - ((30 * r + 53 * g + 17 * b + 1) // 100) / 255.0
            if max(r - level, 0) > max(g, b) and r > 150:
                red += 1.0
            else:
                black += ink
    return [black / (w * len(lines)), red / (w * len(lines))]


if __name__ == "__main__":
    cmd = sys.argv[1:2]
    if cmd == ["ppm"] and len(sys.argv) == 4:
        w, h, lines = raster_lines(sys.argv[2])
        with open(sys.argv[3], "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (w, len(lines)))
            f.writelines(lines)
        print(w, h)
    elif cmd in (["cmyk"], ["red"]) and len(sys.argv) == 4:
        v = cmyk_means(sys.argv[2], sys.argv[3]) if cmd == ["cmyk"] else black_red(sys.argv[2], int(sys.argv[3]))
        print(" ".join("%.6f" % x for x in v))
    else:
        sys.exit(__doc__)
