#!/usr/bin/python3
"""The Python package on a large grid: opening, one bias level, one
spectrum and the whole grid loaded, against numpy reading and decoding the
same source bytes.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py \
        [--rounds N] [--dir PATH] [--sets PROGRAM] [XxYxP ...]

For each shape (default 256x256x2560, a dual grid) it writes set 1 with
parvane-example-sets (--sets, default the one built beside the package)
into a scratch directory under --dir, then runs rounds of five measurements,
each in a fresh interpreter and in an order that turns round each round, so
that other work on the machine falls on all alike:

- open:     parvane.open_set (the record, the sources' sizes, the
            topography; no spectroscopy byte);
- level:    one bias level of current_forward;
- spectrum: every level at one pixel of current_forward;
- load:     ds.load(), every current in float64;
- numpy:    numpy.fromfile of the same spectroscopy bytes, decoded into
            float64 amperes as the package's one formula does (no
            transpose): what a plain read of the grid costs.

It prints the median of each (time inside the interpreter, after its
imports), load / numpy, and the peak resident memory of the load beyond
that of an interpreter that only opened the set, against the size of the
loaded float64 arrays. The sources stay in the page cache: the figures
compare the work each does on data in memory.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Each measurement, run by a fresh interpreter as `python3 -c`: prints a
# JSON object with the seconds it took (and what it measured).
CHILD = r'''
import json, sys, time
import numpy as np
import parvane
what, record = sys.argv[1], sys.argv[2]
out = {}
if what == "numpy":
    ds = parvane.open_set(record)
    scale = float(ds.current_forward.encoding["scale_factor"])
    folder, name = record.rsplit("/", 1)
    ts = folder + "/ts" + name[2:]
    t = time.perf_counter()
    # The samples as numpy decodes them fastest: big-endian int16 swapped
    # into native order, the top bit flipped in place, times the scale.
    samples = np.fromfile(ts, dtype=">i2").astype(np.int16)
    samples ^= np.int16(-32768)
    values = np.multiply(samples, scale)
    out["seconds"] = time.perf_counter() - t
    out["bytes"] = int(values.nbytes)
else:
    t = time.perf_counter()
    ds = parvane.open_set(record)
    opened = time.perf_counter()
    if what == "open":
        out["seconds"] = opened - t
    elif what == "level":
        t = time.perf_counter()
        level = ds.current_forward.isel(bias_forward=ds.sizes["bias_forward"] // 2).values
        out["seconds"] = time.perf_counter() - t
    elif what == "spectrum":
        t = time.perf_counter()
        spectrum = ds.current_forward.isel(y=ds.sizes["y"] // 2, x=ds.sizes["x"] // 2).values
        out["seconds"] = time.perf_counter() - t
    elif what == "load":
        t = time.perf_counter()
        ds.load()
        out["seconds"] = time.perf_counter() - t
        out["bytes"] = int(sum(v.nbytes for name, v in ds.data_vars.items()
                               if name.startswith("current_")))
print(json.dumps(out))
'''

MEASURES = ["open", "level", "spectrum", "load", "numpy"]


def run_child(what, record, env):
    """Runs one measurement; returns its result and its peak memory (KiB)."""
    process = subprocess.Popen([sys.executable, "-c", CHILD, what, record],
                               stdout=subprocess.PIPE, env=env)
    output = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    process.stdout.close()
    if status != 0:
        sys.exit(f"python_bench: the {what} measurement failed (status {status})")
    result = json.loads(output)
    result["peak_kib"] = usage.ru_maxrss
    return result


def bench_shape(shape, args, env):
    scratch = tempfile.mkdtemp(prefix="parvane-python-bench.", dir=args.dir)
    try:
        subprocess.run([args.sets, "--shape", shape, scratch], check=True,
                       stdout=subprocess.DEVNULL)
        record = os.path.join(scratch, "tp1")
        runs = {what: [] for what in MEASURES}
        run_child("load", record, env)  # warm-up: the sources into the cache
        for r in range(args.rounds):
            order = MEASURES[r % len(MEASURES):] + MEASURES[:r % len(MEASURES)]
            for what in order:
                runs[what].append(run_child(what, record, env))
        median = {what: statistics.median(x["seconds"] for x in runs[what])
                  for what in MEASURES}
        loaded = runs["load"][0]["bytes"]
        opened_peak = max(x["peak_kib"] for x in runs["open"])
        load_peak = max(x["peak_kib"] for x in runs["load"])
        beyond = (load_peak - opened_peak) / 1024 - loaded / 2**20
        return {"shape": shape, "median": median, "loaded_mib": loaded / 2**20,
                "beyond_mib": beyond}
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("shapes", nargs="*", default=["256x256x2560"])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--sets", default=None,
                        help="parvane-example-sets (default: the one built "
                             "beside the package on PYTHONPATH)")
    args = parser.parse_args()
    if args.sets is None:
        import parvane
        build = os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(parvane.__file__))))
        args.sets = os.path.join(build, "parvane-example-sets")
    env = dict(os.environ)
    print(f"medians of {args.rounds} alternated rounds, each measurement in a "
          "fresh interpreter, sources in the page cache\n")
    print("| shape | open | one level | one spectrum | load | numpy read + decode "
          "| load / numpy | loaded float64 | peak beyond the arrays |")
    print("|---|---|---|---|---|---|---|---|---|")
    for shape in args.shapes:
        r = bench_shape(shape, args, env)
        m = r["median"]
        print(f"| {shape} dual | {m['open'] * 1e3:.1f} ms | {m['level'] * 1e3:.1f} ms "
              f"| {m['spectrum'] * 1e3:.2f} ms | {m['load']:.3f} s | {m['numpy']:.3f} s "
              f"| {m['load'] / m['numpy']:.2f} | {r['loaded_mib']:.0f} MiB "
              f"| {r['beyond_mib']:.1f} MiB |", flush=True)


if __name__ == "__main__":
    main()
