#!/usr/bin/env bash
# Remakes the fuzz targets' seed corpora (tests/fuzz/corpus/<target>/): small pictures
# written by Debian's Python imaging library, r64 and cr files made from them by r64tool,
# and the crafted headers of past findings. Usage: make_corpus.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tool=$(cd "${1:-$here/../../build}" && pwd)/r64tool
out=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$out"
mkdir -p "$out"/{fuzz_png_reader,fuzz_jpeg_reader,fuzz_pnm_reader,fuzz_tiff_reader,fuzz_jpeg_uncompress} \
    "$out"/{fuzz_r64_read,fuzz_cr_decode,fuzz_cr_read,fuzz_cr_records,fuzz_open_headers}

# Pictures: every PNG colour type, JPEG grey, colour, progressive, 4:2:0 and CMYK, PNM
# in each of its six forms, TIFF strips uncompressed, LZW and PackBits.
/usr/bin/python3 - "$out" "$work" <<'PY'
import io, sys
from PIL import Image
out, work = sys.argv[1], sys.argv[2]
def picture(mode, w, h):
    im = Image.new("RGB", (w, h))
    im.putdata([((x * 23) % 256, (y * 41) % 256, ((x + y) * 13) % 256) for y in range(h) for x in range(w)])
    return im.convert(mode)
pngs = {"rgb": picture("RGB", 9, 7), "grey": picture("L", 11, 5), "palette": picture("P", 7, 9),
        "rgba": picture("RGBA", 6, 6), "grey_alpha": picture("LA", 5, 7), "bilevel": picture("1", 13, 4),
        "grey16": picture("L", 4, 5).convert("I").point(lambda v: v * 257).convert("I;16")}
for name, im in pngs.items():
    im.save(f"{out}/fuzz_png_reader/{name}.png")
jpegs = {"colour": (picture("RGB", 17, 9), {}), "grey": (picture("L", 9, 17), {}),
         "progressive": (picture("RGB", 24, 16), {"progressive": True}),
         "subsampled": (picture("RGB", 19, 11), {"subsampling": 2}),
         "cmyk": (picture("CMYK", 8, 8), {})}
for name, (im, opts) in jpegs.items():
    im.save(f"{out}/fuzz_jpeg_reader/{name}.jpg", quality=60, **opts)
    # fuzz_jpeg_uncompress: a leading 0 byte marks the rest as a raw stream.
    data = open(f"{out}/fuzz_jpeg_reader/{name}.jpg", "rb").read()
    open(f"{out}/fuzz_jpeg_uncompress/{name}", "wb").write(b"\0" + data)
tiffs = {"rgb": (picture("RGB", 9, 7), {}), "grey_lzw": (picture("L", 11, 5), {"compression": "tiff_lzw"}),
         "rgba": (picture("RGBA", 6, 6), {}), "bilevel": (picture("1", 13, 4), {}),
         "packbits": (picture("RGB", 8, 8), {"compression": "packbits"})}
for name, (im, opts) in tiffs.items():
    im.save(f"{out}/fuzz_tiff_reader/{name}.tif", **opts)
# A stream whose frame header claims 65000 x 65000 over the data of 17 x 9 pixels.
data = bytearray(open(f"{out}/fuzz_jpeg_reader/colour.jpg", "rb").read())
sof = data.index(b"\xff\xc0")
data[sof + 5:sof + 9] = (65000).to_bytes(2, "big") * 2
open(f"{out}/fuzz_jpeg_uncompress/header_65000", "wb").write(b"\0" + bytes(data))
open(f"{out}/fuzz_jpeg_reader/header_65000.jpg", "wb").write(bytes(data))
# PNM: plain and raw bitmaps, grey maps and pixmaps (one 16-bit).
pnm = {"p1.pbm": b"P1\n# plain\n5 3\n1 0 1 0 1\n0 1 0 1 0\n1 1 0 0 1\n",
       "p2.pgm": b"P2\n3 3\n255\n0 128 255\n64 32 16\n1 2 3\n",
       "p3.ppm": b"P3\n2 2\n15\n15 0 0  0 15 0\n0 0 15  7 7 7\n",
       "p4.pbm": b"P4\n10 2\n" + bytes([0xA5, 0x40, 0x5A, 0x80]),
       "p5.pgm": b"P5\n4 3\n65535\n" + bytes(range(24)),
       "p6.ppm": b"P6\n3 2\n255\n" + bytes(range(0, 180, 10))}
for name, data in pnm.items():
    open(f"{out}/fuzz_pnm_reader/{name}", "wb").write(data)
# Sources for the r64 and cr files.
picture("RGB", 40, 30).save(f"{work}/colour.png")
picture("L", 70, 40).save(f"{work}/grey.png")
PY

# r64 files of each type, and cr files with JPEG and stored tiles.
"$tool" import "$work/colour.png" "$work/colour.r64" >/dev/null
"$tool" import "$work/grey.png" "$work/grey.r64" >/dev/null
"$tool" import "$work/grey.png" "$work/bilevel.r64" --type B >/dev/null
"$tool" tocr "$work/colour.r64" "$work/tile16.cr" --tile 16 >/dev/null
"$tool" tocr "$work/colour.r64" "$work/tile32.cr" --tile 32 >/dev/null
"$tool" tocr "$work/bilevel.r64" "$work/tile8.cr" --tile 8 >/dev/null
cp "$work"/{colour,grey,bilevel}.r64 "$out/fuzz_r64_read/"
for t in fuzz_cr_decode fuzz_cr_read fuzz_cr_records; do
    cp "$work"/tile{16,32,8}.cr "$out/$t/"
done
cp "$work/tile16.cr" "$work/bilevel.r64" "$out/fuzz_open_headers/"
# A cr header alone claiming 32767 x 32767 in tiles of 1 pixel, and a cr file whose
# tile (0, 0) JPEG header claims 65000 x 65000.
printf 'CR\0\0\177\377\177\377\0\1\0\0\0\0\0\0' >"$work/header_only.cr"
/usr/bin/python3 - "$work/tile32.cr" "$work/jpeg_65000.cr" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
ofs = int.from_bytes(data[16:20], "big")
sof = data.index(b"\xff\xc0", ofs)
data[sof + 5:sof + 9] = (65000).to_bytes(2, "big") * 2
open(sys.argv[2], "wb").write(data)
PY
for t in fuzz_cr_decode fuzz_cr_read fuzz_cr_records fuzz_open_headers; do
    cp "$work/header_only.cr" "$out/$t/"
done
cp "$work/jpeg_65000.cr" "$out/fuzz_cr_decode/"
du -sh "$out"/* | sed "s|$out/||"
