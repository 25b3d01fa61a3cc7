"""r64 and cr pyramid files as numpy arrays, and as dask arrays.

r64 files hold an uncompressed raster of 'G' (8-bit grey), 'P' (24-bit colour)
or 'B' (1-bit) pixels in 64x64 tiles with its reduced levels; cr files hold the
same pyramid as compressed tiles. Example::

    import r64
    with r64.open("photo.cr") as im:           # r64 or cr, by content
        a = im.read(level=3)                   # uint8 (h, w, 3)
        b = im.read(x=1000, y=2000, width=512, height=512)
    r64.write("out.r64", array, filter="average")
    r64.to_cr("out.r64", "out.cr", tile=256)
    r64.import_picture("photo.png", "photo.r64")
    d = r64.to_dask("photo.r64", level=0)      # lazy, one chunk per tile band

Every failure raises an r64.Error (with the library's ``code``) that is also
an OSError, ValueError, TypeError or MemoryError. The library runs one call
at a time in a process; reads, builds and conversions release the GIL. A
handle belongs to one thread at a time: each thread or process opens its own.
"""

from __future__ import annotations

import contextlib
import errno as _errno
import os
import subprocess
import tempfile
from typing import Iterator, Optional, Union

from ._errors import (ArgumentError, ArrayError, DataError, Error, FileError,
                      NoMemoryError)
from ._r64 import Image
from . import _r64

__all__ = ["Image", "open", "write", "to_cr", "import_picture", "to_dask",
           "Error", "FileError", "DataError", "ArgumentError", "ArrayError",
           "NoMemoryError"]

PathLike = Union[str, "os.PathLike[str]"]

_FILTERS = ("average", "fourier")


def open(path: PathLike, mode: str = "r") -> Image:  # noqa: A001 (the package's verb)
    """Opens an r64 or cr file, recognised by its contents.

    mode: "r" to read; "r+" to also write pixels and rebuild levels (r64 only).
    Returns an Image, best used as a context manager so that it is closed.

    Example::

        with r64.open("photo.cr") as im:
            print(im.format, im.type, im.width, im.height, im.levels)
            a = im.read(level=3)
    """
    return Image(os.fspath(path), mode)


@contextlib.contextmanager
def _target(path: str, what: str) -> Iterator[str]:
    """A temporary file beside path, renamed over path when the body succeeds and
    removed otherwise, so that nothing half-written sits under path's name."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=folder)
    except OSError as e:
        exc = FileError(e.errno, f"{path}: cannot create {what}: {e.strerror} [r64_error -1]",
                        path)
        exc.code = -1
        raise exc from None
    os.close(fd)
    try:
        yield temp
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def write(path: PathLike, array, filter: Optional[str] = "average",  # noqa: A002
          type: Optional[str] = None) -> None:  # noqa: A002
    """Writes an array as level 0 of a new r64 file and builds every level.

    array: uint8 (h, w, 3) makes type 'P', uint8 (h, w) 'G', bool (h, w) 'B';
        type= overrides ('B' from uint8: nonzero sets the bit; 'G' from bool:
        0 and 255). Any strides are accepted. Sides of 3 to 32767 pixels.
    filter: "average" (2x2 mean), "fourier" (windowed Fourier low-pass), or
        None to write level 0 only.

    The file is written under a temporary name beside path and renamed when
    complete; the result is byte for byte what the C API's r64_write_block,
    r64_new_level (or r64_new_level_hifi) and r64_flush make.

    Example::

        r64.write("out.r64", np.zeros((480, 640, 3), np.uint8), filter="fourier")
    """
    import numpy as np

    path = os.fspath(path)
    if not isinstance(array, np.ndarray):
        array = np.asarray(array)
    if filter is not None and filter not in _FILTERS:
        _raise(ArgumentError, -8, f"filter must be 'average', 'fourier' or None, not {filter!r}")
    with _target(path, "the r64 file") as temp:
        _r64.create_pyramid(temp, array, type or "", filter)


def to_cr(source: PathLike, target: PathLike, tile: int = 256, threads: int = 1) -> None:
    """Converts an r64 file that holds all of its levels into a cr file.

    tile: the cr tile edge, 1 to 256 pixels. The top level stores its pixels,
    every level below its differences from the level above, tiles of 16
    pixels a side or more as JPEG. Written under a temporary name and renamed.
    threads: how many threads encode tiles; the file is the same whatever the
    count (os.cpu_count() for the fastest conversion).

    Example::

        r64.to_cr("photo.r64", "photo.cr", tile=256)
    """
    source, target = os.fspath(source), os.fspath(target)
    if os.path.exists(target) and os.path.exists(source) and os.path.samefile(source, target):
        _raise(FileError, -1, f"{target}: would write over its own source [r64_error -1]")
    with _target(target, "the cr file") as temp:
        _r64.convert_to_cr(source, temp, tile, threads)


def import_picture(picture: PathLike, target: PathLike, type: Optional[str] = None,  # noqa: A002
                   filter: str = "average", threshold: int = 128,
                   background: Optional[str] = None) -> None:
    """Reads a PNG, JPEG, PNM or TIFF picture into a new r64 file with all its levels.

    Does what ``r64tool import`` does, by running it: colour pictures become
    'P' and grey ones 'G' unless type= says otherwise ('B' where the grey value
    is at least threshold); alpha is laid over background (hex RRGGBB, white
    by default); filter "average" or "fourier" builds the levels.

    Example::

        r64.import_picture("photo.png", "photo.r64", filter="fourier")
    """
    picture, target = os.fspath(picture), os.fspath(target)
    if not os.path.exists(picture):
        _raise(FileError, -1, f"{picture}: cannot open: No such file or directory",
               _errno.ENOENT, picture)
    args = [_tool_path(), "import", picture, target, "--filter", filter,
            "--threshold", str(threshold)]
    if type is not None:
        args += ["--type", type]
    if background is not None:
        args += ["--background", background]
    done = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          check=False)
    if done.returncode != 0:
        message = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else \
            f"r64tool import exited with status {done.returncode}"
        message = message.removeprefix("r64tool import: ")
        code = -5
        if "[r64_error " in message:
            code = int(message.rsplit("[r64_error ", 1)[1].split("]")[0])
        elif message.startswith(("--", "expects")):
            code = -8
        cls = {-1: FileError, -3: NoMemoryError, -7: ArgumentError, -8: ArgumentError,
               -9: ArgumentError}.get(code, DataError)
        _raise(cls, code, message)


def to_dask(path: PathLike, level: int = 0, rows: Optional[int] = None):
    """The level of an r64 or cr file as a lazy dask array.

    One chunk per band of tiles: 64 rows for r64, the tile edge for cr (or
    ``rows`` rows when given), each the full width. Every task opens the file
    itself and reads its band, so the graph pickles and runs under any dask
    scheduler (synchronous, threads, processes, distributed) on levels larger
    than one machine's memory.

    Example::

        d = r64.to_dask("photo.r64", level=0)
        means = d.mean(axis=(0, 1)).compute()
    """
    from ._dask import to_dask as _to_dask

    return _to_dask(os.fspath(path), level, rows)


def _raise(cls, code: int, message: str, errno: int = 0, filename: Optional[str] = None):
    if cls is FileError:
        exc = FileError(errno, message, filename) if filename else FileError(errno, message)
    else:
        exc = cls(message)
    exc.code = code
    raise exc


def _tool_path() -> str:
    """r64tool: the build's own, or the one installed beside the package."""
    from . import _tool

    path = _tool.TOOL
    if _tool.RELATIVE:
        path = os.path.normpath(os.path.join(os.path.dirname(__file__), path))
    if not os.access(path, os.X_OK):
        _raise(FileError, -1, f"r64tool is not at {path} [r64_error -1]", _errno.ENOENT, path)
    return path
