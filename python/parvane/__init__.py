"""STM file sets (tp<n>, tz<n>, ts<n>) as xarray Datasets in physical units.

    import parvane
    ds = parvane.open_set("run3/tp12")     # or parvane.open_set("run3", 12)
    rec = parvane.read_record("run3/tp12")
    parvane.find_sets("run3")

Every value is the one parvane-export writes into the set's GWY file.
"""

from . import _parvane
from .dataset import find_sets, open_set, read_record
from .errors import NoImageError, NotFiniteError, SetError, ShortSourceError

__version__ = _parvane.__version__
__all__ = [
    "open_set", "read_record", "find_sets", "SetError", "ShortSourceError",
    "NoImageError", "NotFiniteError", "__version__",
]
