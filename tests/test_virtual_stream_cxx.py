"""Stream operations of the virtual libzo that zopy.zopy never calls (the
lists of names, the custom pair and the decimation read back), and what a
C++ caller can do that the module cannot (null and closed handles, null
buffers), checked by a small C++ program built against the installed
library."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import zopy

REPO = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(os.path.abspath(os.path.dirname(zopy.__file__)))
COMPILER = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")

pytestmark = pytest.mark.skipif(
    sys.platform == "win32" or COMPILER is None or not (PACKAGE / "libzo.so").exists(),
    reason="needs a C++ compiler and the virtual libzo.so")

PROGRAM = r"""
#include "zo.h"
#include <cmath>
#include <cstdio>
#include <string>

static int failures = 0;
#define CHECK(cond) ((cond) ? (void)0 : (void)(++failures, std::printf("FAIL line %d: %s\n", __LINE__, #cond)))

int main() {
    CHECK(zo_init() == 0);
    zo_device* dev = zo_open_device();
    CHECK(dev != nullptr);
    ZOStream<float>* s = zo_open_stream<float>(dev);
    CHECK(s != nullptr);

    CHECK(s->list_calibration_modes() == "auto,custom,raw");
    CHECK(s->list_filters() == "none,lowpass,highpass");
    for (const char* f : {"none", "lowpass", "highpass"}) CHECK(s->set_filter(f) == 0 && s->read_filter() == f);

    // The custom pair starts as the auto pair and survives mode changes.
    CHECK(s->read_custom_calibration() == s->read_calibration());
    CHECK(s->set_custom_calibration(2.0, 3.0) == 0);
    CHECK(s->read_calibration_mode() == "custom");
    CHECK(s->set_calibration_mode("auto") == 0);
    CHECK(s->read_custom_calibration() == std::make_pair(2.0, 3.0));
    CHECK(s->read_calibration() != std::make_pair(2.0, 3.0));
    CHECK(s->set_custom_calibration(NAN, 0.0) == ZO_ERROR_PARAMS);
    CHECK(s->set_custom_calibration(1.0, INFINITY) == ZO_ERROR_PARAMS);
    CHECK(s->read_custom_calibration() == std::make_pair(2.0, 3.0));

    CHECK(s->read_decimation() == 1);
    CHECK(s->set_decimation(5) == 0 && s->read_decimation() == 5);
    CHECK(s->set_decimation(0) == ZO_ERROR_PARAMS && zo_get_error() == ZO_ERROR_PARAMS);
    CHECK(s->read_decimation() == 5);
    CHECK(s->read_samplerate() == 10e6 / 5);

    // Buffers: none wanted, none given.
    float data[4] = {-1, -1, -1, -1};
    CHECK(s->acquire(0, nullptr, nullptr) == 0);
    CHECK(s->acquire(4, nullptr, nullptr) == ZO_ERROR_PARAMS);
    CHECK(s->acquire(4, data, nullptr) == 0 && data[3] != -1.0f);

    // Handles: null, then closed under the open stream.
    CHECK(zo_open_stream<double>(nullptr) == nullptr && zo_get_error() == ZO_ERROR_INVALID_DEVICE);
    CHECK(zo_close_device(dev) == 0);
    CHECK(zo_open_stream<float>(dev) == nullptr && zo_get_error() == ZO_ERROR_INVALID_DEVICE);
    CHECK(s->read_decimation() == 0 && zo_get_error() == ZO_ERROR_INVALID_DEVICE);
    CHECK(s->read_custom_calibration() == std::make_pair(0.0, 0.0));
    CHECK(s->acquire(4, data, nullptr) == ZO_ERROR_INVALID_DEVICE);
    CHECK(s->read_samplesize() == 4);  // what the stream is, not what it does
    CHECK(zo_close_stream(s) == nullptr);
    CHECK(zo_close_stream(nullptr) == nullptr);

    CHECK(zo_exit() == 0);
    std::printf("%d failures\n", failures);
    return failures != 0;
}
"""


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cxx")
    source, binary = folder / "streams.cpp", folder / "streams"
    source.write_text(PROGRAM)
    subprocess.run([COMPILER, "-std=c++20", "-O1", f"-I{REPO / 'libzo'}", str(source),
                    f"-L{PACKAGE}", "-lzo", f"-Wl,-rpath,{PACKAGE}", "-o", str(binary)],
                   check=True, capture_output=True, text=True, timeout=300)
    return binary


def test_operations_the_module_never_calls(program):
    result = subprocess.run([str(program)], capture_output=True, text=True, timeout=120,
                            env={**os.environ, "LD_LIBRARY_PATH": str(PACKAGE)})
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith("0 failures")
