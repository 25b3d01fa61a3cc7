"""Shared fixtures of the r64 package tests: the build's tools, pictures made from a
seed, and the exported PNG of a level (the C tool's reading, independent of the
binding)."""

import os
import subprocess

import numpy as np
import pytest

BUILD = os.environ.get("R64_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
R64TOOL = os.path.join(BUILD, "r64tool")
REFERENCE = os.environ.get("R64_REFERENCE_PYRAMID", os.path.join(BUILD, "r64_reference_pyramid"))


def picture(kind, width, height, seed=1):
    """A photo-like picture (smooth with noise) of pixel type kind, as r64.write takes it."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    base = (xx * 255 // max(width - 1, 1) + yy * 128 // max(height - 1, 1)) % 256
    noisy = np.clip(base + rng.integers(-20, 21, base.shape), 0, 255).astype(np.uint8)
    if kind == "P":
        return np.stack([noisy, noisy[::-1], 255 - noisy], axis=-1)
    if kind == "G":
        return noisy
    return noisy >= 128


def exported(path, level, tmp_path):
    """A level of an r64 or cr file as `r64tool export` writes it, read back from PNG."""
    from PIL import Image as PILImage

    out = tmp_path / f"export-{os.path.basename(path)}-{level}.png"
    subprocess.run([R64TOOL, "export", str(path), str(out), "--level", str(level)],
                   check=True, capture_output=True)
    with PILImage.open(out) as img:
        return np.asarray(img)


@pytest.fixture
def tool():
    return R64TOOL
