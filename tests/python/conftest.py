"""The Python package's tests run from the build tree: PYTHONPATH holds
build/python, PARVANE_BUILD_DIR the programs they compare with."""

import os
import pathlib
import shutil
import struct
import subprocess

import numpy as np
import pytest

BUILD = pathlib.Path(os.environ.get("PARVANE_BUILD_DIR", "build")).resolve()


def program(name):
    return str(BUILD / name)


def run(args, cwd=None, check=True):
    result = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"{args}: {result.returncode}\n{result.stderr}")
    return result


def read_gwy(path):
    """A small GWY reader: {component name: value}, objects as
    (type name, dict), arrays of doubles as numpy arrays."""
    data = pathlib.Path(path).read_bytes()
    assert data[:4] == b"GWYP"

    def text(at):
        end = data.index(b"\0", at)
        return data[at:end].decode(), end + 1

    def obj(at):
        name, at = text(at)
        (size,) = struct.unpack_from("<I", data, at)
        at += 4
        end = at + size
        items = {}
        while at < end:
            key, at = text(at)
            kind = chr(data[at])
            at += 1
            items[key], at = value(kind, at)
        return (name, items), end

    def value(kind, at):
        scalars = {"b": "<?", "c": "<c", "i": "<i", "q": "<q", "d": "<d"}
        if kind in scalars:
            return struct.unpack_from(scalars[kind], data, at)[0], at + struct.calcsize(scalars[kind])
        if kind == "s":
            return text(at)
        if kind == "o":
            return obj(at)
        (count,) = struct.unpack_from("<I", data, at)
        at += 4
        arrays = {"D": "<f8", "I": "<i4", "Q": "<i8", "B": "<u1", "C": "<u1"}
        if kind in arrays:
            width = np.dtype(arrays[kind]).itemsize
            return np.frombuffer(data, arrays[kind], count, at).copy(), at + width * count
        if kind == "S":
            items = []
            for _ in range(count):
                item, at = text(at)
                items.append(item)
            return items, at
        if kind == "O":
            items = []
            for _ in range(count):
                item, at = obj(at)
                items.append(item)
            return items, at
        raise AssertionError(f"component kind {kind!r} not read")

    return obj(4)[0][1]


@pytest.fixture(scope="session")
def built():
    if not (BUILD / "parvane-export").exists():
        pytest.skip(f"no parvane-export in {BUILD}")
    return BUILD


def gwyddion_installed():
    return shutil.which("gwyddion") is not None
