#!/usr/bin/python3
"""Draws docs/python-example.png from example set 1 through the Python
package: the forward current at one bias level beside the I(V) curves at
one pixel.

    PYTHONPATH=build/python /usr/bin/python3 docs/python-example.py examples docs/python-example.png

The output is the same bytes on every run (no dates in the PNG, fixed
fonts and sizes)."""

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import parvane  # noqa: E402

BIAS = 0.5                # volts: the level shown as a map
PIXEL = dict(x=10, y=20)  # the pixel whose curves are drawn


def main(directory, output):
    ds = parvane.open_set(directory, 1)
    nm = 1e9
    level = ds.current_forward.sel(bias_forward=BIAS, method="nearest")
    figure, (left, right) = plt.subplots(
        1, 2, figsize=(9, 4), dpi=100, gridspec_kw={"width_ratios": [1, 1.25]})

    image = left.pcolormesh(ds.x * nm, ds.y * nm, level * nm, shading="auto",
                            cmap="viridis")
    left.set_aspect("equal")
    left.invert_yaxis()  # y follows the scan lines: the first line on top
    left.set_xlabel("x (nm)")
    left.set_ylabel("y (nm)")
    left.set_title(f"current_forward at {float(level.bias_forward):.2f} V")
    figure.colorbar(image, ax=left, label="current (nA)")
    x, y = ds.x[PIXEL["x"]], ds.y[PIXEL["y"]]
    left.plot(x * nm, y * nm, "w+", markersize=10, markeredgewidth=2)

    pixel = ds.isel(**PIXEL)
    right.plot(pixel.bias_forward, pixel.current_forward * nm, ".-",
               label="forward")
    if "current_backward" in ds:
        right.plot(pixel.bias_backward, pixel.current_backward * nm, ".-",
                   label="backward")
    right.axvline(float(level.bias_forward), color="grey", linewidth=0.8)
    right.set_xlabel("bias (V)")
    right.set_ylabel("current (nA)")
    right.set_title(f"I(V) at x = {float(x) * nm:.2f} nm, y = {float(y) * nm:.2f} nm")
    right.grid(True, linewidth=0.3)
    right.legend()

    figure.tight_layout()
    figure.savefig(output, metadata={"Software": None})


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: python-example.py DIRECTORY OUTPUT.png")
    main(sys.argv[1], sys.argv[2])
