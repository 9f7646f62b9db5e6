"""pytest fixtures for programs that use zopy: a fresh virtual bench per test.

Installed with zopy as the pytest plugin ``zopy`` (this top-level module;
:mod:`zopy.pytest_plugin` is the same plugin under the package's name);
``pytest -p no:zopy`` switches it off. A test that asks for none of its
fixtures finds the bench exactly as the previous test left it: the plugin
only registers its marker. Loading it imports nothing of :mod:`zopy`: not
the compiled extension, not numpy, and no ``ZOPY_BENCH`` is read (the
package's import builds that bench, so a module inside the package could
not be loaded without it). The fixtures import zopy when a test uses one,
so the plugin costs nothing in other projects' test runs, and pytest starts
with a broken ``ZOPY_BENCH`` or on a build against the maker's library,
where only the fixtures fail.

Fixtures:

``zopy_bench``
    The :mod:`zopy.sim` module, on a fresh default bench (or the bench file
    of the test's ``zopy_bench_file`` marker). Afterwards the bench the test
    found is built again, whatever the test did and however it ended:
    instruments and their identity, light and port inputs, scheduled
    unplugging, trigger timeout, real time, the call log switch, pending
    overrides, and the thread's last error. Clocks, front-end
    settings and the call log's content start afresh, and handles opened
    during the test go stale (``close()`` still releases them).
    It starts the library (``zopy.init()``, as opening a Device does), so
    that a test that stops it for good is caught: after ``zopy.exit()``
    zopy never starts ``libzo`` again in that process, and the test that
    called it errors with that cause, as does every later test that asks
    for the fixture.
``zopy_device``
    A :class:`zopy.Device` open on the first instrument of that bench,
    closed after the test. The call log starts empty after the open.
``zopy_calls``
    A :class:`CallLog`: the bench's call log, with assertions on it.

Marker ``@pytest.mark.zopy_bench_file("lab.toml")``: start ``zopy_bench``
from that bench file; a relative path is taken from the test file's folder.

Example::

    import pytest

    @pytest.mark.zopy_bench_file("lab.toml")
    def test_reads_power(zopy_device, zopy_calls):
        assert zopy_device.get_calibrated_data(1000).mean() > 100
        zopy_device.close()
        zopy_calls.assert_no_call_after_close()
"""

from __future__ import annotations

import gc
import pathlib
from collections.abc import Iterator
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

import pytest

if TYPE_CHECKING:   # the plugin itself imports zopy only in its fixtures
    import zopy

MARKER = "zopy_bench_file"

# Library functions that take no device handle; every other zo_* function's
# first logged argument is its handle (the instrument's serial, or None when
# the handle is null, closed or stale).
_NO_HANDLE = frozenset({"zo_init", "zo_exit", "zo_version", "zo_get_error", "zo_get_error_string",
                        "zo_open_device", "zo_open_from_serial", "zo_close_stream"})


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", f"{MARKER}(path): start the test's zopy_bench from this bench file "
                   "(a relative path is taken from the test file's folder)")


def pytest_runtest_setup(item: pytest.Item) -> None:
    # pytest.Item's type has no fixture names; the test functions and doctests it gets here have them
    if item.get_closest_marker(MARKER) and "zopy_bench" not in item.fixturenames:  # type: ignore[attr-defined]
        pytest.fail(f"{MARKER} needs the zopy_bench fixture: ask for zopy_bench, zopy_device or "
                    "zopy_calls", pytrace=False)


# The test that stopped the library for good, named in the errors of the tests after it.
_stopped_by: str | None = None


def _stopped(who: str) -> str:
    return (f"{who} stopped libzo (zopy.exit()), and zopy does not start it again in this "
            "process, so no later test can open an instrument; call zopy.exit() only at the end "
            "of a program, or test it in a subprocess")


def _bench_file(request: pytest.FixtureRequest, marker: pytest.Mark) -> pathlib.Path:
    if len(marker.args) != 1 or marker.kwargs:
        raise pytest.UsageError(f"{MARKER} takes one argument, the bench file's path")
    path = pathlib.Path(marker.args[0])
    return path if path.is_absolute() else request.path.parent / path


@pytest.fixture
def zopy_bench(request: pytest.FixtureRequest) -> Iterator[ModuleType]:
    """zopy.sim on a fresh bench; the bench the test found is built again afterwards."""
    # zopy is imported here, not when pytest loads the plugin: every pytest run of
    # every program beside zopy loads it, and a build on the maker's library has no bench.
    import zopy
    from zopy import sim

    global _stopped_by
    zopy.init()
    if not sim.started():
        pytest.fail("libzo is stopped: " + _stopped(_stopped_by or "an earlier test"),
                    pytrace=False)
    gc.collect()   # Devices left in reference cycles close now, not during the test
    before, last_error = sim.describe_bench(), sim.last_error()
    marker = request.node.get_closest_marker(MARKER)
    try:
        if marker is None:
            sim.reset()
        else:
            sim.load_bench(_bench_file(request, marker))
        yield sim
    finally:
        gc.collect()
        sim.build_bench(before, source="the bench before the test")
        sim.set_error(*last_error)
    if not sim.started():
        _stopped_by = request.node.nodeid
        pytest.fail(_stopped(_stopped_by), pytrace=False)


@pytest.fixture
def zopy_device(zopy_bench: ModuleType) -> Iterator[zopy.Device]:
    """A zopy.Device open on the bench's first instrument; closed after the test."""
    import zopy

    device = zopy.Device()
    zopy_bench.clear_calls()
    yield device
    device.close()


@pytest.fixture
def zopy_calls(zopy_bench: ModuleType) -> CallLog:
    """The bench's call log (a CallLog)."""
    return CallLog(zopy_bench)


class CallLog:
    """The library calls a test made, read from :func:`zopy.sim.calls` on each use.

    Each call is a tuple ``(name, *args)`` as :func:`zopy.sim.calls` gives it.
    """

    def __init__(self, sim: ModuleType) -> None:
        self._sim = sim

    def __call__(self) -> list[tuple[Any, ...]]:
        """Every call since the log was last emptied, in order."""
        return cast("list[tuple[Any, ...]]", self._sim.calls())

    def __len__(self) -> int:
        return len(self())

    def names(self) -> list[str]:
        """The names of the calls, in order."""
        return [c[0] for c in self()]

    def of(self, name: str) -> list[tuple[Any, ...]]:
        """The calls of one function."""
        return [c for c in self() if c[0] == name]

    def after(self, name: str) -> list[tuple[Any, ...]]:
        """The calls after the last call of ``name`` (all calls if there was none)."""
        calls = self()
        last = max((i for i, c in enumerate(calls) if c[0] == name), default=-1)
        return calls[last + 1:]

    def clear(self) -> None:
        """Empty the log."""
        self._sim.clear_calls()

    def assert_called(self, name: str, *args: object) -> None:
        """At least one call of ``name`` whose arguments start with ``args``."""
        __tracebackhide__ = True   # a failure points at the test, not here
        found = self.of(name)
        if not any(c[1:1 + len(args)] == args for c in found):
            shown = f"{name}{args!r}" if args else name
            raise AssertionError(f"no call of {shown}; calls of {name}: {found!r}")

    def assert_not_called(self, name: str) -> None:
        """No call of ``name``."""
        __tracebackhide__ = True   # a failure points at the test, not here
        found = self.of(name)
        if found:
            raise AssertionError(f"{len(found)} call(s) of {name}: {found!r}")

    def assert_no_call_after_close(self) -> None:
        """No call got a null, closed or stale device handle (as after ``Device.close()``)."""
        __tracebackhide__ = True   # a failure points at the test, not here
        dead = [(i, c) for i, c in enumerate(self())
                if c[0].startswith("zo_") and c[0] not in _NO_HANDLE and c[1] is None]
        if dead:
            listed = "\n".join(f"  #{i}: {c!r}" for i, c in dead)
            raise AssertionError(f"library calls without a live device handle:\n{listed}")
