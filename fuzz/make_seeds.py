#!/usr/bin/env python3
# Writes the small seed inputs of the fuzz corpora: URF jobs that reach each
# code kind, raw pages and page-count cases, and CUPS and PWG raster for raster
# input.
# The hostile inputs of tests/crashers are replayed beside these by CTest.
import os, struct, subprocess, sys

here = os.path.dirname(os.path.abspath(__file__))

def file_header(count):
    return b"UNIRAST\0" + struct.pack(">I", count)

def page_header(bits, space, quality, width, height, resolution, duplex=0):
    return bytes([bits, space, duplex, quality]) + bytes(8) + struct.pack(">III", width, height, resolution) + bytes(8)

seeds = {
    "one-colour-page": file_header(1) + page_header(24, 1, 4, 2, 1, 300) + bytes([0, 1, 0xFF, 0, 0]),
    "runs-and-fill": file_header(1) + page_header(24, 1, 4, 4, 3, 150)
        + bytes([1, 1, 0xAA, 0xBB, 0xCC, 0xFF, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0x80]),
    "grey-lines": file_header(0) + page_header(8, 0, 4, 9, 6, 203)
        + bytes([2, 0x7F, 0x10]) + bytes([0, 0xFE, 1, 2, 3, 0x80]) + bytes([1, 3, 0x90, 0xFB, 5, 6, 7, 8, 9]),
    "raw-page": file_header(1) + page_header(24, 1, 167, 3, 2, 300) + bytes(range(18)),
    "two-pages": file_header(2) + page_header(8, 0, 4, 4, 2, 300) + bytes([1, 0x80])
        + page_header(24, 1, 4, 2, 2, 300, 2) + bytes([0, 0x81, 1, 2, 3, 4, 5, 6, 0, 1, 9, 9, 9]),
    "cut-short": file_header(3) + page_header(24, 1, 4, 8, 8, 300) + bytes([0, 0xF9, 1, 2]),
}

# Depths only calmeric converts: 16-bit grey, 32-bit and 64-bit colour.
calmeric_seeds = {
    "deep-pages": file_header(3) + page_header(16, 0, 4, 3, 2, 300) + bytes([1, 0x02, 0x10, 0x20])
        + page_header(32, 1, 4, 2, 1, 300) + bytes([0, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8])
        + page_header(64, 1, 4, 2, 1, 300) + bytes([0, 0x00]) + bytes(range(8)) + bytes([0, 0x80]),
}

for name in ("brovane_colour", "brovane_receipt", "brovane_ps", "calmeric_urf"):
    folder = os.path.join(here, "corpus", name)
    if not os.path.isdir(folder):
        continue
    for seed, data in list(seeds.items()) + (list(calmeric_seeds.items()) if name == "calmeric_urf" else []):
        with open(os.path.join(folder, seed + ".urf"), "wb") as f:
            f.write(data)

# Real encoder output: the sample document at 20 dpi, grey and colour.
sample = os.path.join(here, "..", "samples", "sample.ps")
for name in ("brovane_colour", "brovane_receipt", "brovane_ps", "calmeric_urf"):
    folder = os.path.join(here, "corpus", name)
    if not os.path.isdir(folder):
        continue
    for label, space in (("gs-grey", 18), ("gs-colour", 19)):
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=urf", "-r20",
                        "-dcupsColorSpace=%d" % space, "-dcupsBitsPerColor=8",
                        "-sOutputFile=" + os.path.join(folder, label + ".urf"), sample],
                       check=True, stderr=subprocess.DEVNULL)

# The corpora of brovane's raster-input builds (colour and monochrome PPDs).
rasterin_targets = ("brovane_rasterin", "brovane_rasterin_mono", "brovane_ps_rasterin")

# Raster input: small pages from Ghostscript's cups device.
for name, space, bits in (("rgb", 1, 8), ("grey", 18, 8), ("cmyk", 6, 8), ("black", 3, 1)):
    for target in rasterin_targets + ("dunsiple_raster",):
        folder = os.path.join(here, "corpus", target)
        if not os.path.isdir(folder) or (target == "dunsiple_raster" and name != "cmyk"):
            continue
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=cups",
                        "-dcupsColorSpace=%d" % space, "-dcupsBitsPerColor=%d" % bits, "-r6",
                        "-dDEVICEWIDTHPOINTS=144", "-dDEVICEHEIGHTPOINTS=72",
                        "-sOutputFile=" + os.path.join(folder, name + ".ras"),
                        "-c", "0.3 setgray 0 0 72 36 rectfill showpage"], check=True)

# Raster written byte by byte, so that both stream kinds reach the readers:
# "3SaR" (uncompressed) and "2SaR" (compressed rows: a line-repeat byte, then
# codes 0..127 for a repeated pixel, 129..255 for literal pixels, 128 to fill
# the rest of the line), as a little-endian writer has them.
def raster_header(width, height, bits_per_color, bits_per_pixel, bytes_per_line, color_space):
    header = bytearray(1796)
    fields = {276: 72, 280: 72, 340: 1, 352: width, 356: height, 372: width, 376: height,
              384: bits_per_color, 388: bits_per_pixel, 392: bytes_per_line, 400: color_space}
    for offset, value in fields.items():
        struct.pack_into("<I", header, offset, value)
    return bytes(header)

raster_seeds = {
    "cmyk-two-pages.ras": b"3SaR" + raster_header(6, 2, 8, 32, 24, 6) + bytes(range(0, 240, 5))
        + raster_header(3, 3, 8, 32, 12, 6) + bytes([0xFF, 0, 0x80, 0x10] * 9),
    "cmyk-compressed.ras": b"2SaR" + raster_header(8, 3, 8, 32, 32, 6)
        + bytes([1, 0x02, 10, 20, 30, 40, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8, 0x80])
        + bytes([0, 0x07, 0xFF, 0xFF, 0, 0]),
    "grey-page.ras": b"3SaR" + raster_header(5, 2, 8, 8, 5, 18) + bytes([0x10, 0x80, 0xF0, 0x33, 0x00] * 2),
}
for target in rasterin_targets + ("dunsiple_raster",):
    folder = os.path.join(here, "corpus", target)
    if not os.path.isdir(folder):
        continue
    for seed, data in raster_seeds.items():
        with open(os.path.join(folder, seed), "wb") as f:
            f.write(data)

# PWG raster ("RaS2", big-endian, every row compressed) as phones send it:
# small pages from Ghostscript's pwgraster device in each form brovane reads,
# at 300 and 203 dpi (42x8 and 39x8 pixels, so 1-bit rows end in pad bits),
# and two-sided jobs of two pages.
pwg_forms = (("sgray8", 18, 8), ("srgb8", 19, 8), ("black1", 3, 1), ("sgray1", 18, 1), ("black8", 3, 8))
pwg_sizes = {300: (10, 2), 203: (14, 3)}  # page size in points
pwg_page = ("0.3 setgray 0 0 4 1 rectfill 1 0 0 setrgbcolor 5 0.5 4 1.5 rectfill "
            "0 0 1 setrgbcolor 9 0 5 3 rectfill showpage ")
pwg_back = "0.6 setgray 2 1 8 2 rectfill 0 1 0 setrgbcolor 0 0 2 3 rectfill showpage "

def pwg_seed(path, space, bits, dpi, program, sides=()):
    width, height = pwg_sizes[dpi]
    subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pwgraster",
                    "-dcupsColorSpace=%d" % space, "-dcupsBitsPerColor=%d" % bits, "-r%d" % dpi,
                    "-dDEVICEWIDTHPOINTS=%d" % width, "-dDEVICEHEIGHTPOINTS=%d" % height, "-dFIXEDMEDIA"]
                   + list(sides) + ["-sOutputFile=" + path, "-c", program],
                   check=True, stderr=subprocess.DEVNULL)

for target in rasterin_targets:
    folder = os.path.join(here, "corpus", target)
    if not os.path.isdir(folder):
        continue
    for label, space, bits in pwg_forms:
        for dpi in (300, 203):
            if label == "black8" and dpi == 203:
                continue
            pwg_seed(os.path.join(folder, "pwg-%s-%d.pwg" % (label, dpi)), space, bits, dpi, pwg_page)
    # Long edge (Duplex alone) and short edge (Duplex and Tumble).
    pwg_seed(os.path.join(folder, "pwg-black1-203-two-sided.pwg"), 3, 1, 203, pwg_page + pwg_back, ["-dDuplex"])
    pwg_seed(os.path.join(folder, "pwg-srgb8-300-tumble.pwg"), 19, 8, 300, pwg_page + pwg_back,
             ["-dDuplex", "-dTumble"])
