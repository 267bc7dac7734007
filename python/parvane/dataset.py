"""A set as an xarray Dataset: the topography read when the set is opened,
each current grid read lazily, a box at a time, from its file."""

import os

import numpy as np
import xarray as xr
from xarray.backends import BackendArray
from xarray.backends.locks import SerializableLock
from xarray.core import indexing

from . import _parvane
from .errors import SetError

# The four origins of a setting, as the attribute lists name them.
ORIGINS = ("read_from_record", "computed_from_record", "fixed_by_converter",
           "set_by_user")

# A current grid's preferred chunk: whole runs of lines of every level, about
# this many bytes of float64 values.
CHUNK_BYTES = 64 << 20


def _locate(path, number):
    """(directory prefix, file number) of the set that path (and number)
    name."""
    path = os.fspath(path)
    if number is not None:
        number = str(number)
        if not number.isdigit():
            raise SetError(str(number), "is no set number")
        return os.path.join(path, ""), number
    located = _parvane.locate(path)
    if located is None:
        raise SetError(path, "is not a file of a set (tp<n>, tz<n> or ts<n>)")
    return located


class CurrentArray(BackendArray):
    """One current grid (level, line, pixel), read from its file only when
    indexed: no file stays open between reads, so the array pickles."""

    def __init__(self, path, name, grid, shape, fill_missing):
        self.path = path
        self.name = name
        self.grid = dict(grid)
        self.shape = tuple(shape)
        self.dtype = np.dtype("float64")
        self.fill_missing = fill_missing
        self.lock = SerializableLock()

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key):
        # The box is the bounding range of each axis's positions; the key's
        # steps are then a view of it.
        box, local = [], []
        for k, n in zip(key, self.shape):
            if isinstance(k, slice):
                positions = range(*k.indices(n))
                if not positions:
                    return np.empty([len(range(*k.indices(n))) for k, n in
                                     zip(key, self.shape) if isinstance(k, slice)],
                                    self.dtype)
                low = min(positions[0], positions[-1])
                last = positions[-1] - low
                stop = last + 1 if k.indices(n)[2] > 0 else (last - 1 if last else None)
                box += [low, max(positions[0], positions[-1]) + 1 - low]
                local.append(slice(positions[0] - low, stop, k.indices(n)[2]))
            else:
                box += [int(k), 1]
                local.append(0)
        out = np.empty(box[1::2], self.dtype)
        with self.lock:
            _parvane.read_box(self.path, self.name, self.grid, box, out,
                              self.fill_missing)
        return out[tuple(local)]


def _attributes(info):
    attrs = {"Conventions": "CF-1.8", "source": info["source"]}
    lists = {origin: [] for origin in ORIGINS}
    for setting in info["settings"]:
        if not setting["meaningful"]:
            continue
        identifier = setting["identifier"]
        attrs[identifier] = setting["value"]
        if setting["si_unit"]:
            attrs[identifier + "_units"] = setting["si_unit"]
        lists[setting["origin"]].append(identifier)
    for origin in ORIGINS:
        attrs["settings_" + origin] = " ".join(lists[origin])
    attrs["current_full_scale"] = info["current_full_scale"]
    attrs["current_full_scale_units"] = "A"
    for kind, name, size in info["sources"]:
        attrs[f"source_{kind}_file"] = name
        attrs[f"source_{kind}_bytes"] = size
    return attrs


def open_dataset(path, number=None, current_full_scale=None, allow_short=False):
    """The Dataset of the set, its currents lazy (see open_set)."""
    directory, number = _locate(path, number)
    info = _parvane.open_set(directory, number, current_full_scale, allow_short)
    topography = info["topography"]
    directions = ["forward", "backward"][: topography.shape[0]]
    no_fill = {"_FillValue": None}
    coords = {
        "direction": xr.Variable("direction", np.array(directions, dtype=object),
                                 {"long_name": "scan direction"}),
        "y": xr.Variable("y", info["y_coordinates"],
                         {"units": "m", "long_name": "pixel centre, in the order of the scan lines"},
                         no_fill),
        "x": xr.Variable("x", info["x_coordinates"],
                         {"units": "m", "long_name": "pixel centre along the scan line"},
                         no_fill),
    }
    data_vars = {
        "topography": xr.Variable(("direction", "y", "x"), topography,
                                  {"units": "m", "long_name": "topography"}),
    }
    x, y = info["x"], info["y"]
    for volume in info["volumes"]:
        direction = volume["direction"]
        dim = "bias_" + direction
        points = int(volume["points"])
        coords[dim] = xr.Variable(
            dim, volume["bias"],
            {"units": "V", "long_name": f"bias of the {direction} sweep, in measurement order"},
            no_fill)
        array = CurrentArray(os.path.abspath(directory + volume["file"]),
                             volume["file"], volume, (points, y, x), allow_short)
        lines = max(1, min(y, CHUNK_BYTES // (8 * points * x)))
        encoding = {"preferred_chunks": {dim: points, "y": lines, "x": x}}
        if not allow_short:
            # Stored as the converted samples: int16 times the one scale.
            encoding.update(dtype="int16", scale_factor=info["current_scale"],
                            add_offset=0.0, _FillValue=None)
        data_vars["current_" + direction] = xr.Variable(
            (dim, "y", "x"), indexing.LazilyIndexedArray(array),
            {"units": "A", "long_name": f"tunnelling current, {direction} sweep"},
            encoding)
    return xr.Dataset(data_vars, coords, _attributes(info))


def open_set(path, number=None, *, current_full_scale=None, allow_short=False,
             chunks=None):
    """Opens the set that `path` names (any file of it, or a directory with
    `number`) as an xarray Dataset in metres, amperes and volts.

    current_full_scale: the current at full scale in amperes (default: the
    converter's 50 nA). allow_short: open a set whose sources are short, the
    missing samples NaN. chunks: as xarray.open_dataset ({} for dask arrays
    of whole runs of lines)."""
    return xr.open_dataset(
        path, engine=_backend(), chunks=chunks, number=number,
        current_full_scale=current_full_scale, allow_short=allow_short)


def _backend():
    from .xarray_backend import ParvaneBackendEntrypoint
    return ParvaneBackendEntrypoint


def read_record(path, number=None, *, current_full_scale=None):
    """The settings parvane-export states for the set: its metadata label ->
    (value, unit, origin, identifier), the value as the export prints it."""
    directory, number = _locate(path, number)
    info = _parvane.open_set(directory, number, current_full_scale, True, False)
    return {s["label"]: (s["text"], s["unit"], s["origin_words"], s["identifier"])
            for s in info["settings"] if s["meaningful"]}


def find_sets(directory):
    """The records tp<n> of the sets in `directory`, in the order
    `parvane-export --all` exports them."""
    return _parvane.find_sets(os.fspath(directory))
