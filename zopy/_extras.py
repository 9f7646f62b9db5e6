"""Optional packages, imported on demand: those of the tools (the ``tools``
extra) and the frameworks zopy plugs into (``qcodes``, ``bluesky``, ``dask``).

``import zopy`` needs numpy only; the recorder and the command line import
h5py, tqdm, scipy and matplotlib here, when a task first needs them, and
:mod:`zopy.qcodes`, :mod:`zopy.bluesky` and :func:`zopy.record.open_dataset`
their frameworks.
"""

import importlib
from typing import Any

# where the name pip installs differs from the name Python imports
DISTRIBUTIONS = {"ophyd_async": "ophyd-async", "event_model": "event-model"}


class MissingToolError(ImportError):
    """A part of zopy needs a package of one of its extras that is not installed."""


def require(module: str, extra: str = "tools") -> Any:
    """Import ``module`` (a package of the extra ``zopy[extra]``), or say in
    one line how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.split(".")[0]
        package = DISTRIBUTIONS.get(top, top)
        raise MissingToolError(f"this needs {package}, which is not installed: "
                               f"pip install {package} (or pip install 'zopy[{extra}]')") from exc


def pyplot() -> Any:
    """matplotlib's pyplot on the Agg backend: files only, no display needed."""
    matplotlib = require("matplotlib")
    matplotlib.use("Agg")
    return require("matplotlib.pyplot")
