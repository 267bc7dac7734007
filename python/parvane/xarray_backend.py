"""The xarray engine "parvane": xarray.open_dataset(path, engine="parvane")
opens a set as parvane.open_set does, with the same keyword arguments."""

import os
import re

from xarray.backends import BackendEntrypoint

_SET_FILE = re.compile(r"^(tp|tz|ts)[0-9]+$", re.IGNORECASE)


class ParvaneBackendEntrypoint(BackendEntrypoint):
    description = "STM file sets (tp<n>, tz<n>, ts<n>) in physical units"
    url = "https://github.com/parvane/parvane-convert"
    # Listed explicitly: xarray passes only these on to open_dataset.
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "number",
                               "current_full_scale", "allow_short")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, number=None,
                     current_full_scale=None, allow_short=False):
        from .dataset import open_dataset
        ds = open_dataset(filename_or_obj, number, current_full_scale, allow_short)
        if drop_variables:
            ds = ds.drop_vars(drop_variables, errors="ignore")
        return ds

    def guess_can_open(self, filename_or_obj):
        # Never raises: xarray asks every engine about every file.
        try:
            path = os.fspath(filename_or_obj)
            if not isinstance(path, str):
                return False
            directory, base = os.path.split(path)
            if not _SET_FILE.match(base):
                return False
            return os.path.isfile(os.path.join(directory, "tp" + base[2:]))
        except Exception:
            return False
