"""The pytest plugin, run through pytester on test files of its own.

In-process runs share this process's bench, which lets these tests see what
the plugin leaves behind.
"""

import os
import pathlib
import re
import subprocess
import sys
from importlib.metadata import entry_points

import pytest

import zopy
from zopy import _sim, sim
from zopy.pytest_plugin import CallLog

pytest_plugins = ["pytester"]

LAB = """\
[[instrument]]
serial = "LAB0001"
balanced = true
[instrument.light]
power_uw = 60.0
noise = false

[[instrument]]
serial = "LAB0002"
"""


@pytest.fixture
def outer_bench():
    """A bench that is not the default one, as found by the tests pytester runs."""
    sim.attach("OUTER", balanced=True)
    sim.set_light(3.0, serial="OUTER")
    sim.set_port_input("T", frequency_hz=50.0, duty=0.1)
    sim.set_timeout(7.0)
    sim.set_logging(False)
    sim.override("zo_get_adcbits", 9, times=2)
    sim.unplug_after(4, serial="OUTER")
    sim.set_error(5, "outer")
    return sim.describe_bench()


def default_description():
    sim.reset()
    return sim.describe_bench()


class TestBenchFixture:
    def test_each_test_gets_a_fresh_default_bench_and_the_outer_one_comes_back(
            self, pytester, outer_bench):
        expected = repr(default_description())
        sim.build_bench(outer_bench)
        pytester.makepyfile(f"""
            def test_changes_everything(zopy_bench):
                assert zopy_bench.describe_bench() == {expected}
                zopy_bench.attach("EXTRA")
                zopy_bench.set_timeout(5.0)
                zopy_bench.set_realtime(True)
                zopy_bench.set_logging(False)
                zopy_bench.override("zo_get_serial", b"X", times=4)
                zopy_bench.set_light(9.0)
                zopy_bench.set_port_input("S", True)
                zopy_bench.unplug_after(1)
                zopy_bench.set_error(77, "inner")

            def test_sees_none_of_it(zopy_bench):
                assert zopy_bench.describe_bench() == {expected}
        """)
        pytester.runpytest_inprocess().assert_outcomes(passed=2)
        assert sim.describe_bench() == outer_bench
        assert sim.last_error() == (5, b"outer")

    def test_the_bench_comes_back_after_a_failing_test(self, pytester, outer_bench):
        pytester.makepyfile("""
            def test_fails_half_way(zopy_bench):
                zopy_bench.detach_all()
                zopy_bench.set_realtime(True)
                assert zopy_bench.devices() == ["anything"]
        """)
        pytester.runpytest_inprocess().assert_outcomes(failed=1)
        assert sim.describe_bench() == outer_bench

    def test_a_bench_at_the_bounds_of_every_range_comes_back(self, pytester):
        sim.attach("EDGE", balanced=True, peak_responsivity=1)
        sim.set_light(_sim.MAX_POWER_UW, _sim.MIN_WAVELENGTH_NM, serial="EDGE",
                      p2_power_uw=_sim.MAX_POWER_UW, rin_db_hz=_sim.MAX_RIN_DB_HZ,
                      cmrr_db=_sim.MIN_CMRR_DB, seed=2**64 - 1)
        sim.unplug_after(2**64 - 1, serial="EDGE")
        sim.set_log_capacity(_sim.MAX_LOG_CAPACITY)
        outer = sim.describe_bench()
        pytester.makepyfile("""
            def test_changes_it(zopy_bench):
                zopy_bench.set_log_capacity(3)
                zopy_bench.set_light(1.0)
        """)
        pytester.runpytest_inprocess().assert_outcomes(passed=1)
        assert sim.describe_bench() == outer

    def test_devices_left_open_by_the_test_go_stale(self, pytester):
        pytester.makepyfile("""
            import zopy
            left = []

            def test_leaves_a_device_open(zopy_bench):
                left.append(zopy.Device())

            def test_finds_it_stale(zopy_bench):
                with __import__("pytest").raises(zopy.Error) as info:
                    left[0].read_highgain()
                assert info.value.err == zopy.errors.ZO_ERROR_INVALID_DEVICE
                zopy.Device().close()    # the instrument is free again
        """)
        pytester.runpytest_inprocess().assert_outcomes(passed=2)


class TestLibraryStopped:
    def test_the_test_that_stops_it_errors_with_the_cause_and_so_do_later_ones(self, pytester):
        # In a subprocess: zopy.exit() stops libzo for the rest of the process.
        pytester.makepyfile(test_stopping="""
            import zopy

            def test_stops_it(zopy_device):
                zopy.exit()

            def test_plain():
                pass

            def test_after_it(zopy_device):
                pass
        """)
        result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
        result.assert_outcomes(passed=2, errors=2)
        cause = ("test_stopping.py::test_stops_it stopped libzo (zopy.exit()), and zopy does not "
                 "start it again in this process, so no later test can open an instrument; call "
                 "zopy.exit() only at the end of a program, or test it in a subprocess")
        result.stdout.fnmatch_lines([
            "*ERROR at teardown of test_stops_it*", cause,
            "*ERROR at setup of test_after_it*", "libzo is stopped: " + cause,
        ], consecutive=False)


class TestMarker:
    def test_bench_files_next_to_the_test_file(self, pytester, outer_bench, monkeypatch):
        pytester.makefile(".toml", lab=LAB)
        pytester.mkdir("benches")
        (pytester.path / "benches" / "empty.toml").write_text("instrument = []\n")
        pytester.makepyfile("""
            import pytest

            @pytest.mark.zopy_bench_file("lab.toml")
            def test_lab(zopy_bench):
                assert zopy_bench.devices() == ["LAB0001", "LAB0002"]

            @pytest.mark.zopy_bench_file("benches/empty.toml")
            class TestEmpty:
                def test_nothing_attached(self, zopy_bench):
                    assert zopy_bench.devices() == []

            def test_unmarked(zopy_bench):
                assert zopy_bench.devices() == [zopy_bench.DEFAULT_SERIAL]
        """)
        # From another folder: paths are the test file's, not the working folder's.
        (pytester.path / "elsewhere").mkdir()
        monkeypatch.chdir(pytester.path / "elsewhere")
        result = pytester.runpytest_inprocess("--strict-markers", str(pytester.path),
                                              "--rootdir", str(pytester.path))
        result.assert_outcomes(passed=3)
        assert sim.describe_bench() == outer_bench

    def test_an_invalid_bench_file_errors_the_test_with_its_message(self, pytester):
        path = pytester.makefile(".toml", lab="[[instrument]]\nserial = 7\n")
        pytester.makepyfile("""
            import pytest

            @pytest.mark.zopy_bench_file("lab.toml")
            def test_lab(zopy_bench):
                pass
        """)
        result = pytester.runpytest_inprocess()
        result.assert_outcomes(errors=1)
        result.stdout.fnmatch_lines([f"*BenchFileError: {path}: instrument[[]0[]].serial: "
                                     "must be a string, not an integer"])
        assert sim.devices() == [sim.DEFAULT_SERIAL]

    def test_the_marker_without_the_fixture_is_an_error_not_a_silent_no_op(self, pytester):
        pytester.makepyfile("""
            import pytest

            @pytest.mark.zopy_bench_file("lab.toml")
            def test_forgot_the_fixture():
                pass
        """)
        result = pytester.runpytest_inprocess()
        result.assert_outcomes(errors=1)
        result.stdout.fnmatch_lines(["*zopy_bench_file needs the zopy_bench fixture*"])


class TestDeviceAndCalls:
    def test_device_open_on_the_bench_and_closed_after(self, pytester):
        pytester.makefile(".toml", lab=LAB)
        pytester.makepyfile("""
            import pytest
            import zopy
            kept = []

            @pytest.mark.zopy_bench_file("lab.toml")
            def test_reads(zopy_device, zopy_calls):
                kept.append(zopy_device)
                assert zopy_device.isopen() and zopy_device.serial == "LAB0001"
                assert zopy_calls.names() == ["zo_get_serial"]
                zopy_calls.clear()
                assert zopy_device.get_calibrated_data(1000).mean() == pytest.approx(60.0, abs=0.01)
                zopy_calls.assert_called("zo_get_raw_data", "LAB0001", 1000)
                zopy_calls.assert_not_called("zo_close_device")
                zopy_calls.assert_no_call_after_close()

            def test_closed_after_the_test():
                assert not kept[0].isopen()
        """)
        pytester.runpytest_inprocess().assert_outcomes(passed=2)

    def test_a_call_after_close_is_caught(self, pytester):
        pytester.makepyfile("""
            import pytest
            import zopy

            def test_uses_a_closed_device(zopy_device, zopy_calls):
                zopy_device.close()
                with pytest.raises(zopy.Error):
                    zopy_device.read_highgain()
                zopy_calls.assert_no_call_after_close()
        """)
        result = pytester.runpytest_inprocess()
        result.assert_outcomes(failed=1)
        result.stdout.fnmatch_lines(["*AssertionError: library calls without a live device handle:",
                                     "*#1: ('zo_read_highgain', None)"])


class TestCallLog:
    """The assertions, on this process's bench directly."""

    def test_queries(self):
        log = CallLog(sim)
        dev = zopy.Device()
        log.clear()
        dev.read_highgain()
        dev.close()
        assert log.names() == ["zo_read_highgain", "zo_close_device"]
        assert len(log) == 2
        assert log.of("zo_read_highgain") == [("zo_read_highgain", sim.DEFAULT_SERIAL)]
        assert log.after("zo_read_highgain") == [("zo_close_device", sim.DEFAULT_SERIAL)]
        assert log.after("zo_exit") == log()
        log.clear()
        assert log() == []

    def test_assertions_fail_with_what_was_called(self):
        log = CallLog(sim)
        dev = zopy.Device()
        dev.set_highgain(False)
        log.assert_called("zo_set_highgain")
        log.assert_called("zo_set_highgain", sim.DEFAULT_SERIAL, False)
        with pytest.raises(AssertionError) as info:
            log.assert_called("zo_set_highgain", sim.DEFAULT_SERIAL, True)
        assert str(info.value) == (f"no call of zo_set_highgain('{sim.DEFAULT_SERIAL}', True); "
                                   f"calls of zo_set_highgain: "
                                   f"[('zo_set_highgain', '{sim.DEFAULT_SERIAL}', False)]")
        with pytest.raises(AssertionError, match=r"1 call\(s\) of zo_set_highgain"):
            log.assert_not_called("zo_set_highgain")
        dev.close()
        with pytest.raises(zopy.Error):
            zopy.Device(open=False).read_highgain()     # a never-opened device: a null handle
        with pytest.raises(AssertionError, match="zo_read_highgain"):
            log.assert_no_call_after_close()


class TestOffUnlessUsed:
    def test_a_test_without_its_fixtures_finds_the_bench_untouched(self, pytester):
        sim.set_timeout(0.25)
        sim.set_realtime(True)
        dev = zopy.Device()
        dev.read_highgain()
        pytester.makepyfile("""
            import zopy
            from zopy import sim

            def test_plain(request):
                assert request.config.pluginmanager.has_plugin("zopy")
                assert sim.timeout() == 0.25 and sim.realtime()
                assert sim.calls()[-1][0] == "zo_read_highgain"
        """)
        result = pytester.runpytest_inprocess("--strict-markers")
        result.assert_outcomes(passed=1)
        dev.close()

    def test_switched_off_with_p_no_zopy(self, pytester):
        pytester.makepyfile("""
            def test_wants_a_bench(zopy_bench):
                pass
        """)
        result = pytester.runpytest_inprocess("-p", "no:zopy")
        result.assert_outcomes(errors=1)
        result.stdout.fnmatch_lines(["*fixture 'zopy_bench' not found*"])
        markers = pytester.runpytest_inprocess("-p", "no:zopy", "--markers")
        assert "zopy_bench_file" not in markers.stdout.str()
        assert "zopy_bench_file(path)" in pytester.runpytest_inprocess("--markers").stdout.str()


def test_the_readme_example_passes(pytester):
    """The README's example test file, with its lab.toml, as a user would run it."""
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
    blocks = re.findall(r"```(\w+)\n(.*?)```", readme, re.S)
    lab = next(text for lang, text in blocks if lang == "toml" and text.startswith("# lab.toml"))
    tests = next(text for lang, text in blocks
                 if lang == "python" and text.startswith("# test_power_meter.py"))
    pytester.makefile(".toml", lab=lab)
    pytester.makepyfile(test_power_meter=tests)
    pytester.runpytest_inprocess("--strict-markers").assert_outcomes(passed=4)


OTHER_PROJECT = """
import sys

def test_another_projects_test(request):
    assert [m for m in ("numpy", "zopy", "zopy.zopy") if m in sys.modules] == []
    assert any(getattr(plugin, "__name__", "") == "_zopy_pytest"
               for plugin in request.config.pluginmanager.get_plugins())

def test_a_fixture_imports_zopy_and_meets_the_bench(zopy_bench):
    pass
"""


def test_pytest_starts_without_zopy_even_with_a_broken_bench(tmp_path):
    """The plugin loads without the extension, numpy or ZOPY_BENCH; only a test
    that uses a fixture meets the broken bench."""
    (tmp_path / "test_other.py").write_text(OTHER_PROJECT)
    bench = tmp_path / "broken.toml"
    bench.write_text("timeout = 'soon'\n")
    installed = {e.name: e.value for e in entry_points(group="pytest11")}.get("zopy")
    # an installation older than these sources names the plugin inside the package
    plugin = [] if installed == "_zopy_pytest" else ["-p", "no:zopy", "-p", "_zopy_pytest"]
    done = subprocess.run([sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           *plugin, "test_other.py"], capture_output=True, text=True,
                          timeout=300, cwd=tmp_path, env=dict(os.environ, ZOPY_BENCH=str(bench)))
    assert done.stdout.splitlines()[-1].startswith("1 passed, 1 error"), done.stdout + done.stderr
    assert f"ZOPY_BENCH: {bench}: timeout: must be a number" in done.stdout
