#!/usr/bin/env python3
# Writes the small seed inputs of the fuzz corpora: URF jobs that reach each
# code kind, raw pages and page-count cases, and CUPS raster for raster input.
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

for name in ("brovane_colour", "brovane_receipt", "brovane_ps", "calmeric"):
    folder = os.path.join(here, "corpus", name)
    if not os.path.isdir(folder):
        continue
    for seed, data in seeds.items():
        with open(os.path.join(folder, seed + ".urf"), "wb") as f:
            f.write(data)

# Real encoder output: the sample document at 20 dpi, grey and colour.
sample = os.path.join(here, "..", "samples", "sample.ps")
for name in ("brovane_colour", "brovane_receipt", "brovane_ps", "calmeric"):
    folder = os.path.join(here, "corpus", name)
    if not os.path.isdir(folder):
        continue
    for label, space in (("gs-grey", 18), ("gs-colour", 19)):
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=urf", "-r20",
                        "-dcupsColorSpace=%d" % space, "-dcupsBitsPerColor=8",
                        "-sOutputFile=" + os.path.join(folder, label + ".urf"), sample],
                       check=True, stderr=subprocess.DEVNULL)

# Raster input: small pages from Ghostscript's cups device.
for name, space, bits in (("rgb", 1, 8), ("grey", 18, 8), ("cmyk", 6, 8), ("black", 3, 1)):
    for target in ("brovane_rasterin", "brovane_ps_rasterin", "dunsiple"):
        folder = os.path.join(here, "corpus", target)
        if not os.path.isdir(folder) or (target == "dunsiple" and name != "cmyk"):
            continue
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=cups",
                        "-dcupsColorSpace=%d" % space, "-dcupsBitsPerColor=%d" % bits, "-r6",
                        "-dDEVICEWIDTHPOINTS=144", "-dDEVICEHEIGHTPOINTS=72",
                        "-sOutputFile=" + os.path.join(folder, name + ".ras"),
                        "-c", "0.3 setgray 0 0 72 36 rectfill showpage"], check=True)
