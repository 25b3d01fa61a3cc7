"""r64.to_dask: a level as a dask array of tile bands, each read by a task that
opens the file itself (the task function and its arguments pickle)."""

from __future__ import annotations

import os
from typing import Optional, Tuple

import numpy as np


def read_band(path: str, level: int, y: int, height: int) -> np.ndarray:
    """Reads rows y to y + height of a level over its whole width."""
    from . import open as _open

    with _open(path) as im:
        return im.read(level, 0, y, height=height)


def _layout(path: str, level: int) -> Tuple[int, int, int, str]:
    from . import open as _open

    with _open(path) as im:
        w, h = im.level_size(level)
        if level >= im.levels:
            im.read(level, 0, 0, 1, 1)  # raises the same error a read would
        return w, h, im.tile, im.type


def to_dask(path: str, level: int = 0, rows: Optional[int] = None):
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    from ._errors import ArgumentError

    path = os.path.abspath(path)  # tasks may run in another folder or on another machine
    width, height, tile, pixel_type = _layout(path, level)
    band = tile if rows is None else rows
    band = band.__index__() if hasattr(band, "__index__") and not isinstance(band, bool) else band
    if isinstance(band, bool) or not hasattr(band, "__index__") or band.__index__() <= 0:
        exc = ArgumentError(f"rows must be a positive number of rows, not {rows!r}")
        exc.code = -7
        raise exc
    stat = os.stat(path)
    name = "r64-read-" + tokenize(path, stat.st_mtime_ns, stat.st_size,
                                  level, band)
    starts = range(0, height, band)
    heights = tuple(min(band, height - y) for y in starts)
    colour = pixel_type == "P"
    graph = {}
    for i, y in enumerate(starts):
        key = (name, i, 0, 0) if colour else (name, i, 0)
        graph[key] = (read_band, path, level, y, heights[i])
    chunks = (heights, (width,), (3,)) if colour else (heights, (width,))
    dtype = np.dtype(bool) if pixel_type == "B" else np.dtype(np.uint8)
    layers = HighLevelGraph.from_collections(name, graph, dependencies=())
    return da.Array(layers, name, chunks, dtype=dtype)
