"""Tests of the Python package r64 against the C side: r64tool export for what a file
holds, the C API (reference_pyramid) for the bytes r64.write makes, and the errors a
user meets."""

import os
import pickle
import shutil
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import r64
from conftest import REFERENCE, exported, picture


# A file written from an array holds those pixels, as the C tool reads them back.
@pytest.mark.parametrize("kind", ["P", "G", "B"])
def test_round_trip_against_export(kind, tmp_path):
    a = picture(kind, 201, 133)
    path = tmp_path / "a.r64"
    r64.write(path, a)
    with r64.open(path) as im:
        assert (im.format, im.type, im.width, im.height, im.levels) == ("r64", kind, 201, 133, 7)
        got = im.read()
        assert got.dtype == a.dtype and got.flags.c_contiguous
        np.testing.assert_array_equal(got, a)
        np.testing.assert_array_equal(im.read(level=2), exported(path, 2, tmp_path) != 0
                                      if kind == "B" else exported(path, 2, tmp_path))
    np.testing.assert_array_equal(exported(path, 0, tmp_path) != 0 if kind == "B"
                                  else exported(path, 0, tmp_path), a)


REGIONS = [(0, 0, 64, 64), (60, 3, 10, 70), (-7, -3, 20, 9), (190, 120, 40, 30),
           (-5, -5, 300, 200), (33, 0, 1, 1)]


# Regions crossing tiles and level edges read what the whole level, padded with its
# edge pixels, holds there; for r64 of every type and for cr (cr_decode_tile's pixels).
@pytest.mark.parametrize("kind", ["P", "B", "cr"])
def test_regions_across_tiles_and_levels(kind, tmp_path):
    path = tmp_path / "a.r64"
    r64.write(path, picture("P" if kind == "cr" else kind, 201, 133))
    if kind == "cr":
        r64.to_cr(path, tmp_path / "a.cr", tile=32)
        path = tmp_path / "a.cr"
    with r64.open(path) as im:
        assert im.levels == 7
        for level in range(3):
            whole = exported(path, level, tmp_path)
            whole = whole != 0 if kind == "B" else whole
            assert im.level_size(level) == (whole.shape[1], whole.shape[0])
            np.testing.assert_array_equal(im.read(level), whole)
            pad = 300
            padded = np.pad(whole, [(pad, pad), (pad, pad)] + [(0, 0)] * (whole.ndim - 2),
                            mode="edge")
            for x, y, w, h in REGIONS:
                if x >= whole.shape[1] or y >= whole.shape[0]:
                    continue
                got = im.read(level, x=x, y=y, width=w, height=h)
                np.testing.assert_array_equal(got, padded[pad + y:pad + y + h, pad + x:pad + x + w],
                                              err_msg=f"level {level} region {(x, y, w, h)}")
            out = np.zeros_like(whole[5:25, 7:40])
            assert im.read(level, 7, 5, 33, 20, out=out) is out
            np.testing.assert_array_equal(out, whole[5:25, 7:40])


# r64.write makes the same bytes as the C API: level 0 pixel by pixel with r64_set,
# the levels with r64_new_level or r64_new_level_hifi; strided input changes nothing.
@pytest.mark.parametrize("kind", ["P", "G", "B"])
@pytest.mark.parametrize("filter", ["average", "fourier", None])
def test_write_matches_c_api(kind, filter, tmp_path):
    a = picture(kind, 157, 99, seed=3)
    ref = tmp_path / "ref.r64"
    raw = a.astype(np.uint8).tobytes()
    subprocess.run([REFERENCE, str(ref), kind, "157", "99", filter or "none"], input=raw,
                   check=True, capture_output=True)
    r64.write(tmp_path / "a.r64", a, filter=filter)
    assert (tmp_path / "a.r64").read_bytes() == ref.read_bytes()
    flipped = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]  # negative strides
    r64.write(tmp_path / "b.r64", flipped, filter=filter)
    assert (tmp_path / "b.r64").read_bytes() == ref.read_bytes()
    if kind == "B":  # from uint8, any nonzero value sets the bit
        r64.write(tmp_path / "c.r64", a.astype(np.uint8) * 77, filter=filter, type="B")
        assert (tmp_path / "c.r64").read_bytes() == ref.read_bytes()


# Writing into an open file and rebuilding its levels gives the file r64.write makes
# of the changed picture.
def test_write_region_and_build_levels(tmp_path):
    a = picture("P", 150, 140)
    r64.write(tmp_path / "a.r64", a, filter=None)
    patch = picture("P", 70, 50, seed=9)
    with r64.open(tmp_path / "a.r64", "r+") as im:
        assert im.levels == 1
        im.write(np.asfortranarray(patch), level=0, x=60, y=80)
        im.build_levels(filter="fourier")
        assert im.levels == 7
    a[80:130, 60:130] = patch
    r64.write(tmp_path / "b.r64", a, filter="fourier")
    assert (tmp_path / "a.r64").read_bytes() == (tmp_path / "b.r64").read_bytes()


# import_picture is r64tool import: the pixels of the picture in every level.
def test_import_picture(tmp_path):
    from PIL import Image as PILImage

    a = picture("P", 90, 70)
    PILImage.fromarray(a).save(tmp_path / "p.png")
    r64.import_picture(tmp_path / "p.png", tmp_path / "p.r64", filter="fourier")
    r64.write(tmp_path / "q.r64", a, filter="fourier")
    assert (tmp_path / "p.r64").read_bytes() == (tmp_path / "q.r64").read_bytes()
    (tmp_path / "t.txt").write_text("not a picture")
    with pytest.raises(r64.DataError, match="not a PNG"):
        r64.import_picture(tmp_path / "t.txt", tmp_path / "t.r64")
    assert not (tmp_path / "t.r64").exists()


# A dask array of tile bands computes to the level, under the local schedulers, and
# its tasks pickle (a cluster ships them to other processes).
@pytest.mark.parametrize("kind", ["P", "B", "cr"])
def test_to_dask(kind, tmp_path):
    pytest.importorskip("dask")
    path = tmp_path / "a.r64"
    r64.write(path, picture("P" if kind == "cr" else kind, 301, 203))
    if kind == "cr":
        r64.to_cr(path, tmp_path / "a.cr", tile=128)
        r64.to_cr(path, tmp_path / "b.cr", tile=128, threads=3)  # same bytes on threads
        assert (tmp_path / "a.cr").read_bytes() == (tmp_path / "b.cr").read_bytes()
        path = tmp_path / "a.cr"
    with r64.open(path) as im:
        expected = im.read(level=1)
        band = im.tile
    d = r64.to_dask(path, level=1)
    assert d.shape == expected.shape and d.dtype == expected.dtype
    assert d.chunks[0][0] == min(band, expected.shape[0]) and d.chunks[1] == (expected.shape[1],)
    for scheduler in ("synchronous", "threads"):
        np.testing.assert_array_equal(d.compute(scheduler=scheduler), expected)
    graph = pickle.loads(pickle.dumps(dict(d.__dask_graph__())))
    assert len(graph) == len(d.chunks[0])
    np.testing.assert_array_equal(r64.to_dask(path, 1, rows=50)[40:120].compute(),
                                  expected[40:120])


def cr_records(path):
    """The tile records of a cr file: (offset, type, size) in table order."""
    data = path.read_bytes()
    count = struct.unpack(">I", data[12:16])[0]
    return [struct.unpack(">Ic3si", data[16 + 12 * i:28 + 12 * i]) for i in range(count)]


# Every failure a user meets raises r64.Error with its code and the right built-in.
def test_errors(tmp_path):
    path = tmp_path / "a.r64"
    r64.write(path, picture("P", 100, 80))
    cases = [
        (lambda: r64.open(tmp_path / "missing.r64"), FileNotFoundError, OSError, -1),
        (lambda: r64.open(tmp_path / "t.txt"), None, ValueError, -5),
        (lambda: r64.open(path).read(level=6), None, ValueError, -9),
        (lambda: r64.open(path).read(x=100, y=0), None, ValueError, -7),
        (lambda: r64.open(path).read(width=0), None, ValueError, -7),
        (lambda: r64.write(tmp_path / "b.r64", np.zeros((9, 9), np.float32)), None, TypeError, -5),
        (lambda: r64.write(tmp_path / "b.r64", np.zeros((9, 9, 4), np.uint8)), None, TypeError, -5),
        (lambda: r64.open(path, "r+").write(np.zeros((9, 9), np.uint8)), None, TypeError, -5),
        (lambda: r64.open(path, "r+").write(np.zeros((9, 9, 3), np.uint8), x=95), None,
         ValueError, -7),
        (lambda: r64.open(path).build_levels(), None, ValueError, -8),
        (lambda: r64.to_cr(path, tmp_path / "a.cr", tile=300), None, ValueError, -8),
    ]
    (tmp_path / "t.txt").write_text("neither format")
    for call, errno_class, builtin, code in cases:
        with pytest.raises(r64.Error) as info:
            call()
        assert isinstance(info.value, builtin) and info.value.code == code, info.value
        assert info.value.message
        if errno_class is FileNotFoundError:
            assert info.value.errno == 2 and info.value.filename.endswith("missing.r64")
    assert not (tmp_path / "b.r64").exists() and not list(tmp_path.glob(".b.r64*"))

    # An r64 file cut short: the tiles past its end cannot be read.
    cut = tmp_path / "cut.r64"
    cut.write_bytes(path.read_bytes()[:8 + 100 * 80 * 3 // 2])
    with r64.open(cut) as im:
        assert im.levels == 0
        with pytest.raises(r64.DataError, match=r"r64_error -4\]"):
            im.read()


# A damaged cr tile raises (-5 undecodable, -4 cut short); no damage crashes.
def test_damaged_cr(tmp_path):
    r64.write(tmp_path / "a.r64", picture("P", 300, 200))
    r64.to_cr(tmp_path / "a.r64", tmp_path / "a.cr", tile=64)
    good = (tmp_path / "a.cr").read_bytes()
    records = cr_records(tmp_path / "a.cr")
    ofs, _, _, size = next(r for r in records if r[1] == b"j" and r[3] > 200)
    bad = bytearray(good)
    bad[ofs + 2:ofs + size] = bytes(range(256)) * ((size - 2) // 256) + bytes((size - 2) % 256)
    (tmp_path / "b.cr").write_bytes(bad)
    (tmp_path / "c.cr").write_bytes(good[:16 + 12 * len(records) + 100])
    for name, code in (("b.cr", -5), ("c.cr", -4)):
        with r64.open(tmp_path / name) as im, pytest.raises(r64.DataError) as info:
            for level in range(im.levels):
                im.read(level)
        assert info.value.code == code
    rng = np.random.default_rng(5)
    for _ in range(40):
        bad = bytearray(good)
        for at in rng.integers(0, len(good), 8):
            bad[at] = rng.integers(0, 256)
        (tmp_path / "d.cr").write_bytes(bad)
        try:
            with r64.open(tmp_path / "d.cr") as im:
                for level in range(im.levels):
                    im.read(level)
        except r64.Error:
            pass


# While one thread reads, another thread's Python code keeps running: the read gives
# up the GIL. Without that, no stamp can fall inside the read (margins cover the
# interpreter's switch interval on the way in and out).
def test_other_thread_runs_during_read(tmp_path):
    r64.write(tmp_path / "g.r64", np.zeros((64, 64), np.uint8), filter=None)
    stamps = []
    stop = threading.Event()

    def spin():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 200 == 0:
                stamps.append(time.perf_counter())

    worker = threading.Thread(target=spin)
    worker.start()
    try:
        with r64.open(tmp_path / "g.r64") as im:
            started = time.perf_counter()
            im.read(0, -3000, -3000, 6000, 6000)  # edge copies: a few tenths of a second
            ended = time.perf_counter()
    finally:
        stop.set()
        worker.join()
    margin = 4 * sys.getswitchinterval()
    assert ended - started > 4 * margin
    inside = [t for t in stamps if started + margin < t < ended - margin]
    assert len(inside) >= 3, (len(stamps), ended - started)


# The installed package works from the prefix's site folder, r64tool found beside it.
def test_installed_package(tmp_path):
    build = os.environ.get("R64_BUILD_DIR")
    if not build or shutil.which("cmake") is None:
        pytest.skip("needs the build tree (R64_BUILD_DIR) and cmake")
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--prefix", str(prefix)], check=True,
                   capture_output=True)
    sites = list(prefix.glob("lib/python3*/*-packages"))
    assert len(sites) == 1 and (sites[0] / "r64" / "py.typed").exists()
    a = picture("G", 40, 30)
    from PIL import Image as PILImage
    PILImage.fromarray(a).save(tmp_path / "g.png")
    script = ("import r64, sys; r64.import_picture(sys.argv[1], sys.argv[2]);"
              "print(r64.__file__, r64.open(sys.argv[2]).levels)")
    env = dict(os.environ, PYTHONPATH=str(sites[0]))
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "g.png"),
                           str(tmp_path / "g.r64")], env=env, cwd=tmp_path, check=True, capture_output=True,
                          text=True)
    assert done.stdout.split() == [str(sites[0] / "r64" / "__init__.py"), "4"]
