#!/usr/bin/env python3
"""Reading a whole level 0 into numpy, side by side in one run: r64's Python
package (r64.open(...).read()), the C floor (one r64_read_block call into a C
buffer: build/bench/python_read_floor), and tifffile on a tiled, uncompressed TIFF
of the same picture. Rounds alternate between the three so that all see the same
machine load; each round takes the best of a few reads. Prints the medians of the
rounds and the ratios to the C floor, for a fresh result array each read and for a
reused one (read(out=...), tifffile's out=).

Usage: /usr/bin/python3 bench/python_read.py [BUILD_DIR] [SIDE] [ROUNDS] [TIFF_TILE]
(defaults build, 8192, 5, 256). Needs python3-numpy and python3-tifffile
(scripts/install-deps.sh python3-tifffile) and the default preset built.
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    side = int(sys.argv[2]) if len(sys.argv) > 2 else 8192
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    tiff_tile = int(sys.argv[4]) if len(sys.argv) > 4 else 256
    reads = 3
    sys.path.insert(0, os.path.join(build, "python"))
    import r64
    import tifffile

    floor = os.path.join(build, "bench", "python_read_floor")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as work:
        path = os.path.join(work, "photo.r64")
        tif = os.path.join(work, "photo.tif")
        picture = photo(side)
        r64.write(path, picture, filter=None)
        tifffile.imwrite(tif, picture, tile=(tiff_tile, tiff_tile), compression=None,
                         photometric="rgb")
        for f in (path, tif):  # every reader starts from a warm page cache
            with open(f, "rb") as fh:
                while fh.read(1 << 24):
                    pass
        with r64.open(path) as im:
            assert np.array_equal(im.read(), picture)
        assert np.array_equal(tifffile.imread(tif), picture)
        del picture

        results = {k: [] for k in ("c", "py", "tiff", "c_reuse", "py_reuse", "tiff_reuse")}
        out = np.empty((side, side, 3), np.uint8)
        for _ in range(rounds):
            results["c"].append(min(c_floor(floor, path, reads, False)))
            results["py"].append(best(lambda: r64_read(r64, path), reads))
            results["tiff"].append(best(lambda: tifffile.imread(tif), reads))
            results["c_reuse"].append(min(c_floor(floor, path, reads, True)))
            results["py_reuse"].append(best(lambda: r64_read(r64, path, out), reads))
            results["tiff_reuse"].append(best(lambda: tifffile.imread(tif, out=out), reads))

    mb = side * side * 3 / 1e6
    print(f"whole level 0, {side}x{side} 'P' ({mb:.0f} MB), median of {rounds} rounds "
          f"(best of {reads} reads each); TIFF tiles {tiff_tile}x{tiff_tile}, no compression")
    print(f"{'reader':<44} {'fresh array':>12} {'ratio':>7} {'reused array':>13} {'ratio':>7}")
    rows = [("C: r64_read_block into a C buffer", "c"),
            ("Python: r64.open(path).read()", "py"),
            ("Python: tifffile.imread(tiled TIFF)", "tiff")]
    for label, key in rows:
        fresh = statistics.median(results[key])
        reused = statistics.median(results[key + "_reuse"])
        print(f"{label:<44} {fresh * 1e3:9.1f} ms {fresh / statistics.median(results['c']):6.2f}x"
              f" {reused * 1e3:10.1f} ms {reused / statistics.median(results['c_reuse']):6.2f}x")
    py = statistics.median(results["py"])
    print(f"r64 / tifffile: {py / statistics.median(results['tiff']):.2f}x (fresh), "
          f"{statistics.median(results['py_reuse']) / statistics.median(results['tiff_reuse']):.2f}x (reused)")


def photo(side):
    """A smooth picture with noise, built a band at a time to keep memory flat."""
    rng = np.random.default_rng(7)
    out = np.empty((side, side, 3), np.uint8)
    x = np.arange(side)
    for y0 in range(0, side, 512):
        y = np.arange(y0, min(side, y0 + 512))[:, None]
        base = (x[None, :] * 255 // side + y * 511 // side) % 256
        noise = rng.integers(-12, 13, base.shape)
        out[y0:y0 + len(y), :, 0] = np.clip(base + noise, 0, 255)
        out[y0:y0 + len(y), :, 1] = np.clip(255 - base + noise, 0, 255)
        out[y0:y0 + len(y), :, 2] = np.clip((base * 3) % 256 + noise, 0, 255)
    return out


def r64_read(r64, path, out=None):
    with r64.open(path) as im:
        return im.read(out=out)


def best(fn, reads):
    times = []
    for _ in range(reads):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result  # freed outside the timing, as the C floor frees outside it
    return min(times)


def c_floor(floor, path, reads, reuse):
    args = [floor, path, "0", str(reads)] + (["reuse"] if reuse else [])
    done = subprocess.run(args, check=True, capture_output=True, text=True)
    return [float(line) for line in done.stdout.split()]


if __name__ == "__main__":
    main()
