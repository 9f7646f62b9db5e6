"""Shared fixtures: every test starts on the default virtual bench."""

import gc
import resource
import signal
import subprocess
import sys
import textwrap

import numpy
import pytest

import zopy
from zopy import sim

from _browser import chromium  # noqa: F401 - a fixture, for the tests that look at pages


@pytest.fixture(autouse=True)
def default_bench():
    """The default bench before each test, and again after it."""
    gc.collect()   # Devices left in cycles by earlier tests close now, not mid-test
    # What survived is left out of later collections: with numpy, h5py, scipy
    # and matplotlib loaded, a full collection costs tens of milliseconds.
    gc.freeze()
    sim.reset()
    yield
    sim.reset()


@pytest.fixture
def dev(zopy_device):
    """The default instrument, opened; the call log starts empty (the plugin's own fixture)."""
    return zopy_device


@pytest.fixture
def s64(dev):
    """An open float64 stream on the default instrument; the call log starts empty."""
    s = dev.open_stream()
    sim.clear_calls()
    yield s
    s.close()


@pytest.fixture
def serial():
    """The serial number of the default instrument."""
    return sim.devices()[0]


def run_python(code, check=True):
    """Runs `code` in a fresh interpreter; returns (stdout, stderr)."""
    result = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result.stdout, result.stderr


def assert_library_error(info, code, text):
    """The Error raised for a library failure: the library's code and text, no message of ours."""
    assert type(info.value) is zopy.Error
    assert (info.value.err, info.value.errstr) == (code, text)
    assert str(info.value) == f"libzo error ({code}): {text}"


def calls():
    """The library calls since the last clear, without the error queries."""
    return [c for c in sim.calls() if c[0] not in ("zo_init", "zo_get_error", "zo_get_error_string")]


@pytest.fixture
def small_disk(tmp_path):
    """A factory of small file systems: ``small_disk(bytes)`` mounts a tmpfs of
    that size and returns its folder (skips where this process cannot mount);
    all are unmounted after the test."""
    mounted = []

    def mount(size):
        folder = tmp_path / f"disk{len(mounted)}"
        folder.mkdir()
        try:
            result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                                     str(folder)], capture_output=True, text=True)
        except FileNotFoundError:
            pytest.skip("cannot mount a small file system here: no mount command")
        if result.returncode != 0:
            pytest.skip(f"cannot mount a small file system here: {result.stderr.strip()}")
        mounted.append(folder)
        return folder

    yield mount
    for folder in mounted:
        subprocess.run(["umount", "-l", str(folder)], check=False)


@pytest.fixture
def file_size_limit():
    """Files this process writes stop at 32 MiB during the test (EFBIG, not SIGXFSZ):
    a writer gone wrong cannot fill the disk."""
    previous_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    previous = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (32 << 20, previous[1]))
    yield
    resource.setrlimit(resource.RLIMIT_FSIZE, previous)
    signal.signal(signal.SIGXFSZ, previous_handler)


class Scripted(zopy.Device):
    """A Device subclass whose get_calibrated_data sees chosen raw samples and
    calibrations (set ``raw`` and ``calibration`` on the class or the instance)."""

    raw = numpy.arange(1, 7, dtype=numpy.uint16)
    calibration = numpy.array([2.0, 0.5])

    def get_raw_data(self, nsamples, **kwargs):
        self.seen = kwargs
        return self.raw

    def get_calibration(self, type="auto"):
        return self.calibration

    def get_rel_calibration(self, wavelength, type="auto"):
        return self.calibration
