#!/usr/bin/env python3
# Writes the hostile inputs of this folder: one small file per defect found and
# per hostile case; expected.txt says which filter runs each and what it must report.
import os, struct

here = os.path.dirname(os.path.abspath(__file__))

def urf_file_header(count):
    return b"UNIRAST\0" + struct.pack(">I", count)

def urf_page_header(bits, space, quality, width, height, resolution):
    return bytes([bits, space, 0, quality]) + bytes(8) + struct.pack(">III", width, height, resolution) + bytes(8)

# CUPS raster: the sync word in this machine's order ("3SaR" uncompressed,
# "2SaR" compressed, as a little-endian writer has them; libcups reads either
# order) and a 1796-byte page header with only the fields below set.
HEADER_FIELDS = {"Duplex": 272, "HWResolution": 276, "Tumble": 368, "NumCopies": 340, "PageSize": 352, "cupsWidth": 372, "cupsHeight": 376,
                 "cupsBitsPerColor": 384, "cupsBitsPerPixel": 388, "cupsBytesPerLine": 392,
                 "cupsColorOrder": 396, "cupsColorSpace": 400}

def raster_header(**fields):
    header = bytearray(1796)
    values = {"HWResolution": (72, 72), "NumCopies": 1, "PageSize": (72, 72)}
    values.update(fields)
    for name, value in values.items():
        for i, v in enumerate(value if isinstance(value, tuple) else (value,)):
            struct.pack_into("<I", header, HEADER_FIELDS[name] + 4 * i, v)
    return bytes(header)

# PWG raster as phones send it: "RaS2", big-endian fields, "PwgRaster" as the
# MediaClass (the header's first 64 bytes), always compressed.
def pwg_header(**fields):
    header = bytearray(1796)
    header[0:9] = b"PwgRaster"
    values = {"HWResolution": (300, 300), "NumCopies": 1, "PageSize": (595, 842)}
    values.update(fields)
    for name, value in values.items():
        for i, v in enumerate(value if isinstance(value, tuple) else (value,)):
            struct.pack_into(">I", header, HEADER_FIELDS[name] + 4 * i, v)
    return b"RaS2" + bytes(header)

# One compressed row of `pixels` copies of `pixel`: a line-repeat byte of 0,
# then runs of at most 128 pixels.
def pwg_row(pixels, pixel):
    runs = b""
    while pixels > 0:
        n = min(pixels, 128)
        runs += bytes([n - 1]) + pixel
        pixels -= n
    return b"\0" + runs

files = {
    # A page one pixel short of 2^31 pixels wide.
    "width-0x7fffffff.urf": urf_file_header(1) + urf_page_header(24, 1, 4, 0x7FFFFFFF, 1, 300) + bytes([0, 0x80]),
    # 2^31 - 1 lines at 150 dpi: four times that on a 600 dpi printer.
    "height-0x7fffffff-scale-4.urf": urf_file_header(1) + urf_page_header(24, 1, 4, 4, 0x7FFFFFFF, 150)
        + bytes([0, 0x80]),
    # Depths that are no whole number of bytes, or none at all.
    "bits-per-pixel-0.urf": urf_file_header(1) + urf_page_header(0, 1, 4, 4, 1, 300) + bytes([0, 0x80]),
    "bits-per-pixel-1.urf": urf_file_header(1) + urf_page_header(1, 0, 4, 8, 1, 300) + bytes([0, 0x80]),
    "bits-per-pixel-7.urf": urf_file_header(1) + urf_page_header(7, 0, 4, 8, 1, 300) + bytes([0, 0x80]),
    "bits-per-pixel-12.urf": urf_file_header(1) + urf_page_header(12, 1, 4, 4, 1, 300) + bytes([0, 0x80]),
    "bits-per-pixel-255.urf": urf_file_header(1) + urf_page_header(255, 1, 4, 4, 1, 300) + bytes([0, 0x80]),
    # Resolution 0: no enlargement to divide by.
    "resolution-zero.urf": urf_file_header(1) + urf_page_header(24, 1, 4, 2, 1, 0) + bytes([0, 1, 0xFF, 0, 0]),
    # Page 2 needs a longer line buffer than page 1 made.
    "page-two-wider.urf": urf_file_header(2) + urf_page_header(8, 0, 4, 2, 1, 300) + bytes([0, 1, 0x7F])
        + urf_page_header(24, 1, 4, 300, 2, 300) + bytes([1, 0x7F, 1, 2, 3, 0x80]),
    # Quality 167 on an 8-bit page: raw lines of 3 x width bytes in brovane.
    "raw-page-8-bit.urf": urf_file_header(1) + urf_page_header(8, 0, 167, 4, 2, 300)
        + bytes([0, 3, 0x10, 0, 0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14]),
    # Defect: a PPD whose code gives cupsColorSpace 1000 and Orientation 9 was
    # read through the enumerations' types (undefined behaviour); any page shows it.
    "enum-fields-out-of-range.urf": urf_file_header(1) + urf_page_header(24, 1, 4, 2, 1, 300)
        + bytes([0, 1, 0xFF, 0, 0]),
    # Defect: raster input copied cupsColorOrder 7 (libcups passes it) through
    # the enumeration's type.
    "raster-colour-order-7.ras": b"3SaR" + raster_header(cupsWidth=2, cupsHeight=1, cupsBitsPerColor=8,
                                                          cupsBitsPerPixel=24, cupsBytesPerLine=6, cupsColorOrder=7,
                                                          cupsColorSpace=1) + bytes(range(6)),
    # Defect: a compressed stream whose page has 256 MiB lines. libcups
    # reserves buffers of that size when it reads the header and fills one per
    # row read; dunsiple read such a page's rows to skip them (269 MB resident
    # for these 1.8 KB). The rows: a fill code each.
    "raster-line-256-mib-compressed.ras": b"2SaR" + raster_header(cupsWidth=1 << 26, cupsHeight=4, cupsBitsPerColor=8,
                                                                   cupsBitsPerPixel=32, cupsBytesPerLine=1 << 28,
                                                                   cupsColorSpace=6) + bytes([0, 0x80]) * 4,
    # The largest pages the filters accept, for the memory they take: a 2 MiB
    # line (64-bit, 2^18 pixels), a line enlarged to 2^18 pixels, and a
    # compressed CMYK page of 2^18-pixel (1 MiB) rows.
    "widest-line-64-bit.urf": urf_file_header(1) + urf_page_header(64, 1, 4, 1 << 18, 2, 300) + bytes([1, 0x80]),
    "widest-line-enlarged.urf": urf_file_header(1) + urf_page_header(24, 1, 4, 1 << 17, 2, 300)
        + bytes([1, 0x80]),
    "widest-line-cmyk-compressed.ras": b"2SaR" + raster_header(cupsWidth=1 << 18, cupsHeight=2, cupsBitsPerColor=8,
                                                                cupsBitsPerPixel=32, cupsBytesPerLine=1 << 20,
                                                                cupsColorSpace=6) + bytes([0, 0x80]) * 2,
    # The widest phone pages: sRGB of 2^17 pixels at 300 dpi, enlarged twice
    # for a 600 dpi printer, and 1-bit black of 2^18 pixels, each widened to
    # 8-bit grey and then RGB (768 KiB rows).
    "widest-line-pwg-srgb-enlarged.pwg": pwg_header(cupsWidth=1 << 17, cupsHeight=2, cupsBitsPerColor=8,
                                                    cupsBitsPerPixel=24, cupsBytesPerLine=3 << 17,
                                                    cupsColorSpace=19) + pwg_row(1 << 17, b"\x10\x80\xf0") * 2,
    "widest-line-pwg-black-1.pwg": pwg_header(cupsWidth=1 << 18, cupsHeight=2, cupsBitsPerColor=1,
                                              cupsBitsPerPixel=1, cupsBytesPerLine=1 << 15, cupsColorSpace=3)
        + pwg_row(1 << 15, b"\xaa") * 2,
    # Defect: Duplex 44 and Tumble 8 (any 32 bits in a stream) were read
    # through libcups' boolean type. Any number but 0 is two-sided.
    "pwg-duplex-44-tumble-8.pwg": pwg_header(cupsWidth=1, cupsHeight=1, cupsBitsPerColor=8, cupsBitsPerPixel=8,
                                             cupsBytesPerLine=1, cupsColorSpace=18, Duplex=44, Tumble=8)
        + pwg_row(1, b"\x80"),
    # 1-bit rows of 256 KiB are within the raster line limit but hold 2^21
    # pixels, 8 times the widest page.
    "pwg-black-1-2m-pixels.pwg": pwg_header(cupsWidth=1 << 21, cupsHeight=1, cupsBitsPerColor=1, cupsBitsPerPixel=1,
                                            cupsBytesPerLine=1 << 18, cupsColorSpace=3) + pwg_row(1 << 18, b"\xff"),
    # Pages of the papers of hostile-area.ppd, 20 dpi: an A4 page (its area inverted) and a Letter
    # page (its area outside the sheet), white.
    "imageable-area-inverted.urf": urf_file_header(1) + urf_page_header(24, 1, 4, 165, 234, 20)
        + bytes([233, 127]) + b"\xff" * 3 + bytes([36]) + b"\xff" * 3,
    "imageable-area-outside.urf": urf_file_header(1) + urf_page_header(24, 1, 4, 170, 220, 20)
        + bytes([219, 127]) + b"\xff" * 3 + bytes([41]) + b"\xff" * 3,
}

for name, data in files.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
