"""The frameworks zopy plugs into are optional: ``import zopy`` loads none of them,
and a part whose framework is missing says in one line which extra to install."""

import pytest

from conftest import run_python

FRAMEWORKS = ("qcodes", "bluesky", "ophyd_async", "event_model", "xarray", "dask", "distributed")


def test_import_zopy_loads_no_framework():
    out, _ = run_python(f"""
        import sys
        import zopy, zopy.record, zopy.analysis
        print(sorted(m for m in {FRAMEWORKS!r} if m in sys.modules))
    """)
    assert out.strip() == "[]"


@pytest.mark.parametrize("blocked, use, package, extra", [
    ("qcodes", "import zopy.qcodes", "qcodes", "qcodes"),
    ("ophyd_async", "import zopy.bluesky", "ophyd-async", "bluesky"),
    ("bluesky", "import zopy.bluesky", "bluesky", "bluesky"),
    ("xarray", "zopy.record.open_dataset('x.h5')", "xarray", "dask"),
    ("dask", "zopy.record.open_dataset('x.h5')", "dask", "dask"),
])
def test_missing_framework_is_one_line_naming_the_extra(blocked, use, package, extra):
    # the packages the use imports before the blocked one must be there (they are
    # not in the sanitizer build's environment)
    earlier = {"ophyd_async": ["bluesky"], "dask": ["xarray"]}.get(blocked, [])
    for name in earlier:
        pytest.importorskip(name)
    _, err = run_python(f"""
        import sys
        sys.modules[{blocked!r}] = None          # as if it were not installed
        import zopy, zopy.record
        try:
            {use}
        except ImportError as exc:
            print(exc, file=sys.stderr)
    """)
    assert err == (f"this needs {package}, which is not installed: pip install {package} "
                   f"(or pip install 'zopy[{extra}]')\n")


@pytest.mark.parametrize("mean, spread, n", [(50.0, 1e-3, 10**5), (-3e3, 2.0, 7), (0.0, 1e-12, 1)])
def test_a_blocks_mean_and_std_are_numpys(mean, spread, n):
    import numpy as np

    from zopy._blocks import BlockBuffer, mean_and_std
    block = np.random.default_rng(3).normal(mean, spread, n)
    kept = BlockBuffer()
    for got in (mean_and_std(block), kept.mean_and_std(block), kept.mean_and_std(block)):
        assert got == pytest.approx((block.mean(), block.std()), rel=1e-12, abs=1e-300)
