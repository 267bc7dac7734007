"""The package against parvane-export: every set of the table opens with the
values, coordinates and settings of the export's GWY file of the same set."""

import errno
import os
import pathlib
import re
import pickle
import shutil
import struct

import numpy as np
import pytest

from conftest import gwyddion_installed, program, read_gwy, run

parvane = pytest.importorskip("parvane", reason="the parvane module was not built")
import xarray as xr  # noqa: E402

# The table of sets: the three examples, then sets of each shape the record
# allows (the examples' backward sweeps descend).
SHAPES = {
    "11": ["--shape", "9x5x4", "--forward-only"],
    "12": ["--shape", "8x6x5x3"],  # dual, Pb != P
    "13": ["--shape", "12x7x4"],  # not square
    "14": ["--shape", "5x4x1"],  # P = 1
    "15": ["--shape", "6x5"],  # no spectroscopy
}
NUMBERS = ["1", "2", "3", *SHAPES]


@pytest.fixture(scope="session")
def sets(built, tmp_path_factory):
    """The table's sets in one directory, and the export's file of each in
    out/."""
    root = tmp_path_factory.mktemp("sets")
    run([program("parvane-example-sets"), str(root)])
    for number, shape in SHAPES.items():
        run([program("parvane-example-sets"), *shape, "-n", number, str(root)])
    (root / "out").mkdir()
    run([program("parvane-export"), "-q", "-o", str(root / "out"), "--all", str(root)])
    return root


def expect_export_values(ds, gwy):
    """The Dataset holds the GWY file's values to the bit: its rows are the
    file's rows bottom-up (row r of the file is line Y - 1 - r)."""
    for d, direction in enumerate(ds.direction.values):
        field = gwy[f"/{d}/data"][1]
        x, y = field["xres"], field["yres"]
        image = field["data"].reshape(y, x)[::-1]
        np.testing.assert_array_equal(ds.topography.sel(direction=direction).values, image)
        np.testing.assert_array_equal(ds.x.values, (np.arange(x) + 0.5) * field["xreal"] / x)
        np.testing.assert_array_equal(ds.y.values, (np.arange(y) + 0.5) * field["yreal"] / y)
    bricks = [gwy[k][1] for k in sorted(gwy) if k.count("/") == 2 and k.startswith("/brick/")]
    currents = [v for v in ("current_forward", "current_backward") if v in ds]
    assert len(bricks) == len(currents)
    for brick, name in zip(bricks, currents):
        values = brick["data"].reshape(brick["zres"], brick["yres"], brick["xres"])[:, ::-1]
        np.testing.assert_array_equal(ds[name].values, values)
        bias = ds[name].dims[0]
        np.testing.assert_array_equal(ds[bias].values, brick["calibration"][0][1]["data"])


def expect_export_settings(record, gwy):
    meta = gwy["/0/meta"][1]
    for label, (value, unit, origin, _identifier) in record.items():
        stated = " ".join(part for part in (value, unit, f"({origin})") if part)
        assert meta[label] == stated, label
    assert set(meta) - set(record) <= {"Exported by", "Source parameter record",
                                      "Source topography", "Source spectroscopy"}


@pytest.mark.parametrize("number", NUMBERS)
def test_values_and_settings_are_the_exports(sets, number):
    ds = parvane.open_set(sets / f"tp{number}").load()
    gwy = read_gwy(sets / "out" / f"m{number}.gwy")
    expect_export_values(ds, gwy)
    expect_export_settings(parvane.read_record(sets, number), gwy)
    assert ds.attrs["source"] == gwy["/0/meta"][1]["Exported by"]
    # Any file of the set, the number as text, and xarray's registry: the same.
    for other in (parvane.open_set(sets, number),
                  xr.open_dataset(sets / f"ts{number}", engine="parvane")):
        assert other.load().identical(ds)


def test_descending_sweep_keeps_measurement_order(sets):
    ds = parvane.open_set(sets / "tp1")
    bias = ds.bias_backward.values
    assert bias[0] > bias[-1]
    # A descending axis is sliced from its high end to its low end.
    assert ds.sel(bias_backward=slice(0.5, -0.5)).bias_backward.size > 0


def test_full_scale_set_by_user_is_the_exports(sets, tmp_path):
    run([program("parvane-export"), "-q", "--current-full-scale", "1e-8", "-o",
         str(tmp_path), str(sets / "tp1")])
    gwy = read_gwy(tmp_path / "m1.gwy")
    ds = parvane.open_set(sets / "tp1", current_full_scale=1e-8).load()
    expect_export_values(ds, gwy)
    expect_export_settings(parvane.read_record(sets / "tp1", current_full_scale=1e-8), gwy)
    assert ds.attrs["current_full_scale"] == 1e-8
    assert "spectroscopy_forward_maximum_value" in ds.attrs["settings_set_by_user"].split()
    with pytest.raises(ValueError):
        parvane.open_set(sets / "tp1", current_full_scale=float("nan"))


def test_find_sets_lists_what_export_all_exports(sets):
    assert parvane.find_sets(sets) == [str(sets / f"tp{n}") for n in NUMBERS]
    # The engine claims the files of a set whose record exists, and never raises.
    from parvane.xarray_backend import ParvaneBackendEntrypoint
    engine = ParvaneBackendEntrypoint()
    claims = [engine.guess_can_open(name) for name in (
        sets / "ts12", sets / "tz1", sets / "tp99", sets / "out" / "m1.gwy", None, b"\xff", 7)]
    assert claims == [True, True, False, False, False, False, False]


@pytest.mark.skipif(not gwyddion_installed(), reason="gwyddion is not installed")
@pytest.mark.parametrize("number", ["1", "12"])
def test_gwyddion_reads_the_converted_set_alike(sets, number, tmp_path):
    for prefix in ("tp", "tz", "ts"):
        shutil.copy(sets / f"{prefix}{number}", tmp_path)
    run([program("parvane-convert"), number], cwd=tmp_path)
    run(["gwyddion", f"--convert-to-gwy=scala.gwy", f"m{number}_ori.par"], cwd=tmp_path)
    scala = read_gwy(tmp_path / "scala.gwy")
    ds = parvane.open_set(tmp_path, number).load()
    for d, direction in enumerate(ds.direction.values):
        field = scala[f"/{d}/data"][1]
        image = field["data"].reshape(field["yres"], field["xres"])[::-1]
        np.testing.assert_allclose(ds.topography.sel(direction=direction), image,
                                   rtol=1e-9, atol=1e-9 * np.abs(image).max())
        spectra = scala.get(f"/sps/{d}")
        name = f"current_{direction}"
        if spectra is None or name not in ds:
            continue
        coords = spectra[1]["coords"].reshape(-1, 2)
        for (cx, cy), curve in zip(coords, spectra[1]["data"]):
            i = int(round(cx / (field["xreal"] / field["xres"])))
            j = field["yres"] - 1 - int(round(cy / (field["yreal"] / field["yres"])))
            np.testing.assert_allclose(ds[name].values[:, j, i], curve[1]["data"],
                                       rtol=1e-9, atol=1e-18)


@pytest.mark.parametrize("engine", ["netcdf4", "h5netcdf"])
def test_netcdf_round_trip_is_identical(sets, engine, tmp_path):
    for number in ("12", "15"):
        ds = parvane.open_set(sets, number).load()
        path = tmp_path / f"m{number}.nc"
        ds.to_netcdf(path, engine=engine)
        # netCDF4 files open without naming the engine: the parvane engine
        # takes only what it can open.
        with xr.open_dataset(path, engine=None if engine == "netcdf4" else engine) as back:
            assert back.load().identical(ds)
            if "current_forward" in back:
                assert back.current_forward.encoding["dtype"] == np.dtype("int16")


def test_attributes_survive_netcdf_and_name_their_units(sets):
    pint = pytest.importorskip("pint")
    units = pint.UnitRegistry()
    ds = parvane.open_set(sets / "tp1")
    for name, value in ds.attrs.items():
        assert isinstance(value, (str, int, float)) and not isinstance(value, bool), name
        if name.endswith("_units"):
            units.parse_units(value)
    for variable in ds.variables.values():
        assert variable.attrs["long_name"]
        if variable.dtype.kind == "f":
            units.parse_units(variable.attrs["units"])
    # Every setting in exactly one provenance list; none without meaning.
    lists = [ds.attrs[f"settings_{origin}"].split() for origin in (
        "read_from_record", "computed_from_record", "fixed_by_converter", "set_by_user")]
    listed = [identifier for ids in lists for identifier in ids]
    assert len(listed) == len(set(listed))
    record = parvane.read_record(sets / "tp1")
    meaningful = {i for _, _, _, i in record.values()
                  if not i.endswith(("_acquisition_time", "_delay_time"))}
    assert set(listed) == meaningful and meaningful <= set(ds.attrs)
    assert not set(ds.attrs) & {i for _, _, _, i in record.values()} - meaningful
    # The documented table names every setting.
    table = pathlib.Path(__file__).parents[2] / "docs" / "python-settings.md"
    documented = set(re.findall(r"^\| `(\w+)` \|", table.read_text(), re.MULTILINE))
    assert meaningful <= documented
    # The same set anywhere, any time: the same attributes.
    copy = sets / "copy"
    copy.mkdir(exist_ok=True)
    for prefix in ("tp", "tz", "ts"):
        shutil.copy(sets / f"{prefix}1", copy)
    assert parvane.open_set(copy / "tp1").attrs == ds.attrs


def patch(path, offset, fmt, value):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(struct.pack(">" + fmt, value))


# Refusals, each as the export refuses the same set: (what, change, error).
REFUSALS = [
    ("short", lambda d: os.truncate(d / "ts12", os.path.getsize(d / "ts12") - 7),
     parvane.ShortSourceError),
    ("no image", lambda d: patch(d / "tp12", 28, "i", 0), parvane.NoImageError),
    ("field size", lambda d: patch(d / "tp12", 12, "f", float("inf")),
     parvane.NotFiniteError),
]


@pytest.mark.parametrize("what,change,error", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_match_the_exports(sets, tmp_path, what, change, error):
    for prefix in ("tp", "tz", "ts"):
        shutil.copy(sets / f"{prefix}12", tmp_path)
    change(tmp_path)
    exported = run([program("parvane-export"), "12"], cwd=tmp_path, check=False)
    assert exported.returncode == 1
    with pytest.raises(error) as raised:
        parvane.open_set(tmp_path / "tp12")
    assert isinstance(raised.value, parvane.SetError)
    assert exported.stderr == f"parvane-export: {raised.value.filename}: {raised.value.reason}\n"


def test_system_failures_are_os_errors(sets, tmp_path):
    with pytest.raises(OSError) as raised:
        parvane.open_set(tmp_path, 4)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == os.path.join(str(tmp_path), "tp4")
    with pytest.raises(parvane.SetError):
        parvane.open_set(tmp_path / "notes.txt")


def test_short_set_on_request_has_nan_where_samples_are_missing(sets, tmp_path):
    for prefix in ("tp", "tz", "ts"):
        shutil.copy(sets / f"{prefix}12", tmp_path)
    full = parvane.open_set(tmp_path, 12).load()
    size = os.path.getsize(tmp_path / "ts12")
    os.truncate(tmp_path / "ts12", size - 2 * 3 * 8 * 2)  # the last two lines' backward points
    short = parvane.open_set(tmp_path, 12, allow_short=True).load()
    np.testing.assert_array_equal(short.current_forward, full.current_forward)
    backward = short.current_backward.values
    assert np.isnan(backward[:, -2:]).all()
    np.testing.assert_array_equal(backward[:, :-2], full.current_backward.values[:, :-2])
    assert "dtype" not in short.current_backward.encoding
    short.to_netcdf(tmp_path / "short.nc")
    with xr.open_dataset(tmp_path / "short.nc") as back:
        assert back.load().identical(short)


def bytes_read():
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


def test_currents_are_read_lazily(sets, tmp_path):
    # A forward-only grid of 64 x 64 pixels of 2^18 points: 2 GiB of ts, sparse.
    for prefix in ("tp", "tz", "ts"):
        shutil.copy(sets / f"{prefix}11", tmp_path)
    points = 1 << 18
    patch(tmp_path / "tp11", 28, "i", 64)
    patch(tmp_path / "tp11", 32, "i", 64)
    patch(tmp_path / "tp11", 164, "i", points)
    os.truncate(tmp_path / "tz11", 2 * 64 * 64)
    os.truncate(tmp_path / "ts11", 2 * 64 * 64 * points)
    # Opening reads the record and the topography (8 KiB), no ts byte: the
    # process's bytes read (after a first opening has imported what it needs).
    parvane.open_set(sets / "tp12", chunks={})
    before = bytes_read()
    ds = parvane.open_set(tmp_path / "tp11", chunks={})
    assert bytes_read() - before < 1 << 20
    current = ds.current_forward
    assert current.shape == (points, 64, 64)
    assert current.data.chunksize[0] == points and current.data.chunksize[2] == 64
    # A spectrum and a level, read alone, equal the same values read whole.
    spectrum = current.isel(y=3, x=5).values
    assert spectrum.shape == (points,)
    level = current.isel(bias_forward=7).values
    np.testing.assert_array_equal(level[3, 5], spectrum[7])
    small = parvane.open_set(sets, 12)
    eager = small.load()
    lazy = parvane.open_set(sets, 12)
    np.testing.assert_array_equal(lazy.current_backward.isel(bias_backward=1).values,
                                  eager.current_backward.values[1])
    np.testing.assert_array_equal(lazy.current_forward.isel(x=2, y=4).values,
                                  eager.current_forward.values[:, 4, 2])
    np.testing.assert_array_equal(lazy.current_forward[::-2, 1:5:3, -1].values,
                                  eager.current_forward.values[::-2, 1:5:3, -1])
    # The backend array pickles without an open file.
    backend = lazy.current_forward.variable._data
    while not isinstance(backend, parvane.dataset.CurrentArray):
        backend = backend.array
    again = pickle.loads(pickle.dumps(backend))
    np.testing.assert_array_equal(again._read((slice(None),) * 3),
                                  eager.current_forward.values)
    assert pickle.loads(pickle.dumps(lazy)).load().identical(eager)
    # In dask chunks, each read by a process of its own from the pickled
    # array, the mean is that of the eager values in the same chunks.
    dask = pytest.importorskip("dask")
    chunked = parvane.open_set(sets, 12, chunks={}).current_forward
    assert isinstance(chunked.data, dask.array.Array)
    mean = chunked.mean().compute(scheduler="processes", num_workers=2)
    same_chunks = eager.current_forward.chunk(dict(zip(chunked.dims, chunked.chunks)))
    assert float(mean) == float(same_chunks.mean().compute(scheduler="synchronous"))
