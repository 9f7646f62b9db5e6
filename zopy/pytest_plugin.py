"""The pytest plugin ``zopy`` under the package's name: see :mod:`_zopy_pytest`.

pytest loads the plugin as the top-level module ``_zopy_pytest``, which
imports nothing of zopy until a fixture is used; importing it from here
also imports the package (and builds ``ZOPY_BENCH``'s bench), as any
``import zopy...`` does.
"""

from _zopy_pytest import (
    MARKER,
    CallLog,
    pytest_configure,
    pytest_runtest_setup,
    zopy_bench,
    zopy_calls,
    zopy_device,
)

__all__ = ["MARKER", "CallLog", "pytest_configure", "pytest_runtest_setup", "zopy_bench",
           "zopy_calls", "zopy_device"]
