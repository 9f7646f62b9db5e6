"""Importing zopy.zopy, starting and stopping the library, the version."""

import ast

import pytest
from conftest import run_python

import zopy.zopy as zz


def last_line_value(stdout, marker):
    """The Python literal printed after `marker` on its own line."""
    for line in stdout.splitlines():
        if line.startswith(marker):
            return ast.literal_eval(line[len(marker):].strip())
    raise AssertionError(f"{marker!r} not in output:\n{stdout}")


class TestImport:
    def test_import_makes_no_library_call_and_prints_nothing(self):
        out, _ = run_python("""
            import zopy.zopy
            from zopy import sim
            print("CALLS", sim.calls())
        """)
        assert out.splitlines() == ["CALLS []"]

    def test_attributes_are_bound_in_import_order(self):
        names = [name for name in vars(zz) if not name.startswith("__")]
        assert names == [
            "Device", "Stream", "_DDevice", "numpy", "init", "exit", "atexit", "sys",
            "error_lookup", "errors", "usb_speed_lookup", "PORT_A", "PORT_B", "PORT_S",
            "PORT_T", "port_lookup", "CALIBRATION_DIGITAL_HIGHGAIN",
            "CALIBRATION_DIGITAL_LOWGAIN", "CALIBRATION_ANALOG_HIGHGAIN",
            "CALIBRATION_ANALOG_LOWGAIN", "CALIBRATION_DIGITAL_AUTO", "calibrationtype_lookup",
            "_trigger_mode_lookup", "Error", "NoDeviceError", "version",
        ]
        assert zz.__doc__ is None
        assert not hasattr(zz, "find_trigger_mode")

    def test_types_and_classes_are_named_in_the_module(self):
        assert zz.Device.__name__ == "Device"
        assert repr(zz.Device) == "<class 'zopy.zopy.Device'>"
        assert repr(zz._DDevice) == "<class 'zopy.zopy._DDevice'>"
        assert repr(zz.Stream) == "<class 'zopy.zopy.Stream'>"
        assert zz._DDevice.__bases__ == (zz.Device,)
        for cls in (zz.Error, zz.NoDeviceError, zz.errors):
            assert cls.__module__ == "zopy.zopy"
            assert cls.__qualname__ == cls.__name__

    def test_reimport_gives_the_same_module_without_rebuilding_it(self):
        out, _ = run_python("""
            import importlib, sys
            import zopy.zopy as first
            first.port_lookup["X"] = 99
            del sys.modules["zopy.zopy"]
            second = importlib.import_module("zopy.zopy")
            print("SAME", second is first, second.port_lookup.get("X"))
        """)
        assert "SAME True 99" in out

    def test_a_failed_import_is_run_again_and_keeps_nothing_of_its_run(self):
        out, _ = run_python("""
            import builtins, sys
            import numpy   # imported with the real property
            real = builtins.property
            def broken(*args):   # taken at import step 5, fails at step 17
                raise RuntimeError("no property")
            base = sys.getrefcount(broken)
            for _ in range(3):
                builtins.property = broken
                try:
                    import zopy.zopy
                except RuntimeError:
                    pass
                builtins.property = real
            import zopy.zopy
            print("KEPT", sys.getrefcount(broken) - base, type(zopy.zopy.Stream.cutoff).__name__)
        """)
        assert "KEPT 0 property" in out

    @pytest.mark.parametrize("isolated", [True, False])
    def test_a_second_interpreter_is_refused(self, isolated):
        # The private module was renamed in 3.13, and its run_string returns
        # the failure there instead of raising it.
        out, _ = run_python(f"""
            import zopy.zopy
            try:
                import _interpreters
            except ModuleNotFoundError:
                import _xxsubinterpreters as interpreters
                interp = interpreters.create(isolated={isolated})
                try:
                    interpreters.run_string(interp, "import zopy.zopy")
                except Exception as exc:
                    print("REFUSED", exc)
            else:
                interp = _interpreters.create("isolated" if {isolated} else "legacy")
                failure = _interpreters.run_string(interp, "import zopy.zopy")
                print("REFUSED", failure and failure.msg)
        """)
        assert ("Interpreter change detected - this module can only be loaded into one "
                "interpreter per process.") in out

    def test_32_bit_interpreter_is_warned_about_once(self):
        out, _ = run_python("""
            import sys
            sys.maxsize = 2**31 - 1
            import zopy.zopy
        """)
        assert out == "zopy: 32-bit Python detected.  64-bit Python is strongly recommended\n"


class TestLibraryLifecycle:
    def test_init_starts_the_library_once_and_exit_stops_it_every_time(self):
        out, _ = run_python("""
            import atexit

            def report():
                from zopy import sim
                print("AT EXIT", sim.calls())

            atexit.register(report)   # runs after zopy's own exit handler
            import zopy.zopy as zz
            from zopy import sim
            zz.exit()
            print("BEFORE INIT", sim.calls())
            zz.init(); zz.init()
            print("AFTER INIT", sim.calls())
            zz.exit(); zz.exit(); zz.init()
            print("AFTER EXIT", sim.calls())
        """)
        assert last_line_value(out, "BEFORE INIT") == []
        assert last_line_value(out, "AFTER INIT") == [("zo_init",)]
        assert last_line_value(out, "AFTER EXIT") == [("zo_init",), ("zo_exit",), ("zo_exit",)]
        assert last_line_value(out, "AT EXIT") == [("zo_init",), ("zo_exit",), ("zo_exit",),
                                                   ("zo_exit",)]

    def test_devices_alive_at_shutdown_are_closed_after_exit_without_crashing(self):
        out, err = run_python("""
            import zopy
            dev = zopy.Device()
            print("OPEN", dev.isopen())
        """)
        assert "OPEN True" in out
        assert err == ""

    def test_version_is_three_bytes_and_does_not_start_the_library(self):
        out, _ = run_python("""
            import zopy.zopy as zz
            from zopy import sim
            v = zz.version()
            print("VERSION", v)
            print("CALLS", sim.calls())
        """)
        version = last_line_value(out, "VERSION")
        assert isinstance(version, tuple) and len(version) == 3
        assert all(isinstance(x, int) and 0 <= x <= 255 for x in version)
        assert last_line_value(out, "CALLS") == [("zo_version",)]

    @pytest.mark.parametrize("function", [zz.init, zz.exit, zz.version])
    def test_module_functions_take_no_arguments(self, function):
        with pytest.raises(TypeError):
            function(1)

    def test_version_docstring(self):
        assert zz.version.__doc__ == "Returns the version of `libzo` used with `zopy`"
        assert zz.init.__doc__.startswith("init()\n") and zz.exit.__doc__.startswith("exit()\n")
