"""One vocabulary for every front door: the command's options parse alike in
every command that takes them, and each fault reads the same wherever it shows."""

import errno

import pytest

import zopy
from zopy import _messages as messages
from zopy import sim
from zopy._extras import MissingToolError
from zopy._writer import FileLockedError, NotEnoughSpaceError, Output
from zopy.cli import _parser, main

h5py = pytest.importorskip("h5py")

# every command with the front-end group, with what it needs besides
FRONT_END_COMMANDS = [["info"], ["acquire", "a.npy"], ["record", "r.h5", "--seconds", "1"],
                      ["psd"], ["plot", "p.png"], ["scope"]]
STREAM_COMMANDS = [["record", "r.h5", "--seconds", "1"], ["scope"]]


@pytest.mark.parametrize("command", FRONT_END_COMMANDS, ids=lambda c: c[0])
@pytest.mark.parametrize("option, attribute, value", [
    (["--gain", "LOW"], "gain", "low"),
    (["--antialias", "Off"], "antialias", "off"),
    (["--wavelength", "1.31e3"], "wavelength", 1310.0),
    (["--serial", "B1"], "serial", "B1"),
])
def test_a_shared_option_parses_alike_in_every_command(command, option, attribute, value):
    args = _parser().parse_args([*command, *option])
    assert getattr(args, attribute) == value


@pytest.mark.parametrize("command", STREAM_COMMANDS, ids=lambda c: c[0])
@pytest.mark.parametrize("option, attribute, value", [
    (["--units", "mW"], "units", -3), (["--units", "-3"], "units", -3),
    (["--units", "µW"], "units", -6), (["--downsampling", "1e1"], "downsampling", 10),
    (["--dtype", "float64"], "dtype", "float64"), (["--bits"], "bits", True),
])
def test_stream_options_parse_alike_in_record_and_scope(command, option, attribute, value):
    assert getattr(_parser().parse_args([*command, *option]), attribute) == value


def library_error():
    try:
        zopy.Device(serial="nothing like it")
    except zopy.NoDeviceError as exc:
        return exc
    raise AssertionError("found an instrument that is not there")


def written_twice(tmp_path):
    """The second writer of a file: refused, as zopy's writers refuse it."""
    first = Output(tmp_path / "a.h5")
    try:
        Output(tmp_path / "a.h5")
    except FileLockedError as exc:
        return exc
    finally:
        first.discard()
    raise AssertionError("a second writer was let in")


@pytest.mark.parametrize("make, expected", [
    (lambda tmp: messages.Refusal(messages.outside_band(3000)),
     "wavelength 3000 nm is outside the photodiode's band"),
    (lambda tmp: MissingToolError("this needs h5py"), "this needs h5py"),
    (lambda tmp: OSError(errno.ENOSPC, "No space left on device", "f.h5"), "f.h5: the disk is full"),
    (lambda tmp: OSError(errno.EACCES, "Permission denied", "f.h5"), "f.h5: permission denied"),
    (lambda tmp: OSError(errno.EIO, "Unable to synchronously create file (unable to open file: "
                         "name = 'f.h5', errno = 5, error message = 'x')", "f.h5"),
     "f.h5: input/output error of the disk"),
    (lambda tmp: NotEnoughSpaceError(errno.ENOSPC, "needs about 2 GB but its disk has 1 GB free",
                                     "f.h5"), "f.h5: needs about 2 GB but its disk has 1 GB free"),
    (lambda tmp: FileExistsError(errno.EEXIST, "exists (pass overwrite=True to replace it)",
                                 "f.h5"), "f.h5: exists (pass overwrite=True to replace it)"),
    (written_twice, "a.h5: another program is writing it"),
    (lambda tmp: RuntimeError("odd"), "RuntimeError: odd"),
])
def test_every_fault_is_one_line(tmp_path, make, expected):
    line = messages.describe(make(tmp_path), "KV1")
    assert "\n" not in line and expected in line, line


def test_library_faults_name_the_instrument_and_the_code():
    sim.override("zo_get_serial", None, error=(16, "cable pulled"))
    error = pytest.raises(zopy.Error, lambda: zopy.Device().serial).value
    assert messages.describe(error) == "instrument error: cable pulled (libzo error 16)"
    exc = library_error()
    assert messages.describe(exc, "KV1") == "instrument KV1 not found (unplugged?)"
    assert messages.no_instrument(exc, "nothing like it").endswith(
        f"(libzo error {exc.err}); attached: {sim.DEFAULT_SERIAL}")


def test_the_same_fault_reads_the_same_on_the_command_line_and_in_the_scope(capsys, tmp_path):
    pytest.importorskip("bokeh")
    from zopy.scope import Scope, ScopeError
    band = messages.outside_band(3000)
    assert main(["info", "--wavelength", "3000"]) == 1
    assert capsys.readouterr().err == f"zopy: {band}\n"
    with pytest.raises(ScopeError) as refused:
        Scope(wavelength=3000.0, folder=tmp_path)
    assert str(refused.value) == band
    assert not sim.state()["open"]


@pytest.mark.parametrize("given, status, message", [
    (None, 0, None), (1310.0, 0, None),
    (1550.0, 1, "its samples were calibrated at 1310 nm, not at the --wavelength 1550 nm"),
])
def test_psd_of_a_file_takes_the_wavelength_it_recorded(capsys, tmp_path, given, status, message):
    sim.set_light(50.0, 1310.0)
    path = tmp_path / "a.h5"
    assert main(["acquire", str(path), "--samples", "20000", "--wavelength", "1310"]) == 0
    capsys.readouterr()
    extra = [] if given is None else ["--wavelength", str(given)]
    assert main(["psd", str(path), *extra]) == status
    out, err = capsys.readouterr()
    if message is None:
        assert "at 1310 nm" in out
    else:
        assert message in err and err.count("\n") == 1


@pytest.mark.parametrize("text, expected", [
    ("90s", {"record_limit_s": 90.0}), ("10min", {"record_limit_s": 600.0}),
    ("1.5h", {"record_limit_s": 5400.0}), ("500MB", {"record_limit_bytes": 500_000_000}),
    ("2gb", {"record_limit_bytes": 2_000_000_000}), ("5 parsecs", None), ("0s", None), ("s", None),
])
def test_the_scope_takes_a_recording_limit(capsys, text, expected):
    if expected is None:
        assert main(["scope", "--record-limit", text]) == 2
        assert "not a duration or size" in capsys.readouterr().err
    else:
        assert _parser().parse_args(["scope", "--record-limit", text]).record_limit == expected
