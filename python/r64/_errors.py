"""Exceptions of the r64 package.

Every failure raises an instance of :class:`Error`, which carries the library's
error code in ``code``, and of the built-in exception of its family, so that
``except OSError`` or ``except ValueError`` work as they do for other file
libraries.
"""

from __future__ import annotations

from typing import Optional


class Error(Exception):
    """Base of every r64 failure.

    ``code`` is the library's error code: -1 a file operation failed, -2 no
    level to convert, -3 no memory, -4 data cut short or a tile never written,
    -5 not of the expected format (a file, a picture, or an array's dtype or
    shape), -6 a tile lies beyond the end of the file, -7 pixel coordinates
    outside the level, -8 an argument the library does not know (filter, mode,
    tile size, a closed handle), -9 a level that the image does not have.
    """

    code: int = 0

    @property
    def message(self) -> str:
        """The failure in words, with the file and the step that failed."""
        return str(self.args[1] if isinstance(self, OSError) and len(self.args) > 1
                   else self.args[0] if self.args else "")


class FileError(Error, OSError):
    """A file could not be opened, read or written (code -1); ``errno`` and
    ``filename`` are set as for any OSError."""


class DataError(Error, ValueError):
    """The file (or picture) is not of the expected format, or is damaged or
    incomplete (codes -2, -4, -5, -6)."""


class ArgumentError(Error, ValueError):
    """A level, region or option that the file or the library cannot take
    (codes -7, -8, -9)."""


class ArrayError(Error, TypeError):
    """An array of the wrong dtype or shape for the pixel type (code -5)."""


class NoMemoryError(Error, MemoryError):
    """The library found no memory for a handle or a buffer (code -3)."""


for _cls in (Error, FileError, DataError, ArgumentError, ArrayError, NoMemoryError):
    _cls.__module__ = "r64"

_CLASSES = {
    "file": FileError,
    "data": DataError,
    "argument": ArgumentError,
    "array": ArrayError,
    "memory": NoMemoryError,
}


def from_failure(kind: str, code: int, message: str, errno: int = 0,
                 filename: Optional[str] = None) -> Error:
    """Builds the exception for a failure reported by the extension module."""
    cls = _CLASSES[kind]
    if cls is FileError:
        exc: Error = FileError(errno, message, filename) if filename else FileError(errno, message)
    else:
        exc = cls(message)
    exc.code = code
    return exc
