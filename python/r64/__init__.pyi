"""Type stub of the r64 package: pyramid files as numpy and dask arrays."""

import os
from typing import Any, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, os.PathLike[str]]

class Error(Exception):
    """Base of every r64 failure; ``code`` is the library's error code."""
    code: int
    @property
    def message(self) -> str: ...

class FileError(Error, OSError):
    """A file could not be opened, read or written (code -1)."""

class DataError(Error, ValueError):
    """Not of the expected format, damaged or incomplete (codes -2, -4, -5, -6)."""

class ArgumentError(Error, ValueError):
    """A level, region or option the file or library cannot take (-7, -8, -9)."""

class ArrayError(Error, TypeError):
    """An array of the wrong dtype or shape for the pixel type (code -5)."""

class NoMemoryError(Error, MemoryError):
    """No memory for a handle or a buffer (code -3)."""

class Image:
    """An open r64 or cr file; made by r64.open. One thread at a time."""
    def __init__(self, path: str, mode: str = "r") -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def mode(self) -> str: ...
    @property
    def format(self) -> str:
        """'r64' or 'cr'."""
    @property
    def type(self) -> str:
        """'G', 'P' or 'B'; 'P' for cr."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def levels(self) -> int:
        """Levels the file holds, counted as r64info counts them."""
    @property
    def tile(self) -> int:
        """Tile edge: 64 for r64, the file's tile size for cr."""
    @property
    def closed(self) -> bool: ...
    def level_size(self, level: int) -> Tuple[int, int]:
        """(width, height) of a level."""
    def read(self, level: int = 0, x: int = 0, y: int = 0, width: Optional[int] = None,
             height: Optional[int] = None, out: Optional[npt.NDArray[Any]] = None
             ) -> npt.NDArray[Any]:
        """A region of a level: uint8 (h, w, 3) for 'P' and cr, uint8 (h, w) for 'G',
        bool (h, w) for 'B'; pixels outside the level copy the nearest edge pixel."""
    def write(self, pixels: npt.ArrayLike, level: int = 0, x: int = 0, y: int = 0) -> None:
        """Writes pixels into a level of an r64 file opened "r+"."""
    def build_levels(self, filter: str = "average") -> None:
        """Rebuilds every reduced level from level 0 ("average" or "fourier")."""
    def flush(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Image": ...
    def __exit__(self, *args: object) -> None: ...

def open(path: PathLike, mode: str = "r") -> Image:
    """Opens an r64 or cr file, recognised by its contents ("r" or "r+")."""

def write(path: PathLike, array: npt.ArrayLike, filter: Optional[str] = "average",
          type: Optional[str] = None) -> None:
    """Writes an array as level 0 of a new r64 file and builds every level."""

def to_cr(source: PathLike, target: PathLike, tile: int = 256, threads: int = 1) -> None:
    """Converts an r64 file with all its levels into a cr file."""

def import_picture(picture: PathLike, target: PathLike, type: Optional[str] = None,
                   filter: str = "average", threshold: int = 128,
                   background: Optional[str] = None) -> None:
    """Reads a PNG, JPEG, PNM or TIFF picture into a new r64 file (r64tool import)."""

def to_dask(path: PathLike, level: int = 0, rows: Optional[int] = None) -> Any:
    """The level as a lazy dask array, one chunk per tile band."""
