"""The optional packages of the tools (the ``tools`` extra), imported on demand.

``import zopy`` needs numpy only; the recorder and the command line import
h5py, tqdm, scipy and matplotlib here, when a task first needs them.
"""

import importlib

EXTRA = "zopy[tools]"


class MissingToolError(ImportError):
    """A tool needs a package of the ``tools`` extra that is not installed."""


def require(module, extra=EXTRA):
    """Import ``module`` (a package of ``extra``), or say how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        package = module.split(".")[0]
        raise MissingToolError(f"this needs {package}, which is not installed: "
                               f"pip install {package} (or pip install '{extra}')") from exc


def pyplot():
    """matplotlib's pyplot on the Agg backend: files only, no display needed."""
    matplotlib = require("matplotlib")
    matplotlib.use("Agg")
    return require("matplotlib.pyplot")
