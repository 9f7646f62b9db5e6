"""zopy.sim's bench files: the virtual bench described in TOML, over the control layer.

A bench file says what :mod:`zopy.sim` can set before a program runs: the
instruments and their identity, the light and port inputs on each, the
trigger timeout, real-time pacing, the call log switch and scripted
answers. Keys carry the names of ``zopy.sim``'s parameters.

Everything is checked before anything is built, so a file with a mistake
raises :class:`BenchFileError` and leaves the bench as it was.
"""

from __future__ import annotations

import difflib
import json
import math
import os
import stat
import tomllib
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Callable, cast

from .. import _sim  # type: ignore[attr-defined]  # a compiled module that ships no stub
from ..zopy import usb_speed_lookup
from . import _control as sim   # the control layer, by its public names only

__all__ = ["BenchFileError", "bench_template", "bench_toml", "build_bench", "describe_bench",
           "load_bench", "save_bench"]

REQUIRED = object()   # a key without default


class BenchFileError(ValueError):
    """A bench file (or description) that cannot be read or built.

    ``path`` names the file, ``key`` the key path (``instrument[1].light.power_uw``,
    None for the file as a whole) and ``problem`` what is wrong.
    """

    def __init__(self, path: str | os.PathLike[str], key: str | None, problem: str) -> None:
        self.path, self.key, self.problem = str(path), key, problem
        where = f"{self.path}: {key}" if key else self.path
        super().__init__(f"{where}: {problem}")


class _Problem(Exception):
    """What is wrong with one value; the caller adds where it is."""


# ------------------------------------------------------------ value checks

def _kind(value: object) -> str:
    """The TOML name of a value's type, for messages."""
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a float"
    if isinstance(value, (str, bytes)):
        return "a string"
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, dict):
        return "a table"
    return "a date or time" if hasattr(value, "isoformat") else type(value).__name__


def _boolean(value: object) -> bool:
    if not isinstance(value, bool):
        raise _Problem(f"must be true or false, not {_kind(value)}")
    return value


def _integer(low: int, high: int) -> Callable[[Any], int]:
    def check(value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise _Problem(f"must be an integer, not {_kind(value)}")
        if not low <= value <= high:
            raise _Problem(f"must be between {low} and {high}, not {value}")
        return value
    check.type_name = "integer"  # type: ignore[attr-defined]  # see _byte below
    return check


def _number(low: float | None = None, high: float | None = None, *,
            positive: bool = False) -> Callable[[Any], float]:
    """A finite float (integers are taken) within [low, high], or above 0."""
    inf = math.inf
    lowest = -inf if low is None else low
    highest = inf if high is None else high

    def check(value: object) -> float:
        if type(value) is not float:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise _Problem(f"must be a number, not {_kind(value)}")
            try:
                value = float(value)
            except OverflowError:   # an integer beyond any float
                raise _Problem(f"must be finite, not {value}") from None
        # One comparison chain for the values that pass: a bench may hold 100 000 lights.
        if -inf < value < inf and lowest <= value <= highest and (value > 0 or not positive):
            return value
        if not math.isfinite(value):
            raise _Problem(f"must be finite, not {value}")
        if positive and not value > 0:
            raise _Problem(f"must be above 0, not {value}")
        bounds = (f"at least {low}" if high is None else f"at most {high}" if low is None
                  else f"between {low} and {high}")
        raise _Problem(f"must be {bounds}, not {value}")
    check.type_name = "float"  # type: ignore[attr-defined]  # see _byte below
    return check


def _real(value: object) -> float:
    """Any float, inf and nan included (a scripted result may be anything)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Problem(f"must be a number, not {_kind(value)}")
    return float(value)


def _text(value: object) -> str:
    if not isinstance(value, str):
        raise _Problem(f"must be a string, not {_kind(value)}")
    if "\0" in value:
        raise _Problem("must be a string without NUL characters")
    _utf8(value)
    return value


def _utf8(text: str) -> bytes:
    """The text as UTF-8; lone surrogates (possible in a dict, not in TOML) have none."""
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise _Problem("must be text that UTF-8 can carry (no lone surrogates)") from None


def _name(value: object) -> str:
    if _text(value) == "":
        raise _Problem("must not be empty")
    return cast(str, value)   # _text took it


def _version(value: object) -> list[int]:
    if not isinstance(value, (list, tuple)) or len(value) != 3:
        raise _Problem("must be an array of three integers, as [1, 3, 0]")
    return [_byte(v) for v in value]


def _firmware(value: object) -> list[int]:
    version = _version(value)
    if version == list(FAILED_VERSION):
        raise _Problem(f"must not be {version}, the library's answer for a failed query")
    return version


def _usb_speed(value: object) -> int:
    code = _integer(-2**31, 2**31 - 1)(value)
    if code not in usb_speed_lookup:
        raise _Problem(f"must be one of the codes {_codes()}, not {code}")
    return code


def _codes() -> str:
    return ", ".join(f"{code} ({word})" for code, word in sorted(usb_speed_lookup.items()))


# A check's type_name (the TOML type it takes, for the format's documentation) is
# an attribute of the function, which mypy does not model: hence the ignores.
_byte = _integer(0, 255)
_firmware.type_name = "array of 3 integers"  # type: ignore[attr-defined]
_usb_speed.type_name = "integer"  # type: ignore[attr-defined]

# What the library can report. Its sample word holds 14 bits of ADC code
# beside the bits of ports S and T (the calibrations map codes 0 to 16383);
# 255 bits, version 255.255.255 and speed -1 are its answers for a failed
# query, and a USB speed is one of the codes zopy.usb_speed_lookup names.
ADC_BITS = (1, 14)
FAILED_VERSION = (255, 255, 255)
FAILED_ANSWERS = {"zo_get_samplerate": 0xFFFFFFFF, "zo_get_adcbits": 255,
                  "zo_get_fwversion": FAILED_VERSION, "zo_get_usb_speed": -1}
MAX_BENCH_FILE_BYTES = 64 << 20      # 100 000 instruments take about 30 MB
_boolean.type_name = "boolean"  # type: ignore[attr-defined]
_text.type_name = _name.type_name = "string"  # type: ignore[attr-defined]
_version.type_name = "array of 3 integers"  # type: ignore[attr-defined]


@dataclass(frozen=True)
class Key:
    """One key of a bench file: its check (which also converts), default and meaning."""
    check: Callable[[Any], Any] | None   # None: checked with its table (override result, error)
    default: Any
    doc: str
    type_name: str = ""


# ----------------------------------------------------------------- the schema
# One entry per parameter of the zopy.sim function each table feeds; a new
# parameter of that function is one more entry here.

TOP_KEYS = {
    "timeout": Key(_number(0.0), _sim.DEFAULT_TIMEOUT,
                   "trigger timeout in seconds of instrument time (sim.set_timeout)"),
    "realtime": Key(_boolean, False, "pace acquisitions like the real unit (sim.set_realtime)"),
    "logging": Key(_boolean, True, "the call log on or off (sim.set_logging)"),
    "log_capacity": Key(_integer(0, _sim.MAX_LOG_CAPACITY), _sim.DEFAULT_LOG_CAPACITY,
                        f"calls the log keeps at most, up to {_sim.MAX_LOG_CAPACITY} "
                        "(sim.set_log_capacity)"),
}

_ATTACH = _sim.ATTACH_DEFAULTS

INSTRUMENT_KEYS = {   # sim.attach
    "serial": Key(_name, REQUIRED, "serial number, unique on the bench"),
    "product": Key(_text, _ATTACH["product"], "product name"),
    "balanced": Key(_boolean, _ATTACH["balanced"], "two photodiodes, P1 - P2"),
    "samplerate": Key(_integer(1, 0xFFFFFFFE), _ATTACH["samplerate"],
                      "base sample rate in samples/s (clock divider 1)"),
    "adcbits": Key(_integer(*ADC_BITS), _ATTACH["adcbits"],
                   f"ADC bits the unit reports, {ADC_BITS[0]} to {ADC_BITS[1]}"),
    "fwversion": Key(_firmware, list(_ATTACH["fwversion"]),
                     "firmware version (not [255, 255, 255], a failed query)"),
    "usb_speed": Key(_usb_speed, _ATTACH["usb_speed"],
                     f"USB speed code: {_codes()}"),
    "peak_responsivity": Key(_integer(1, 2**31 - 1), _ATTACH["peak_responsivity"],
                             "wavelength in nm of the photodiode's peak responsivity"),
}

UNPLUG_KEYS = {   # sim.unplug_after, beside the identity in [[instrument]]
    "unplug_after_reads": Key(_integer(0, 2**64 - 1), 0,
                              "detached after this many raw-data reads (0: never)"),
}

# The light's ranges are the library's own (zopy._sim), so a file that passes
# these checks always builds.
LIGHT_KEYS = {   # sim.set_light
    "power_uw": Key(_number(0.0, _sim.MAX_POWER_UW), 0.0,
                    f"µW on P1, up to {_sim.MAX_POWER_UW:g}"),
    "wavelength_nm": Key(_number(_sim.MIN_WAVELENGTH_NM), None,
                         f"wavelength in nm, at least {_sim.MIN_WAVELENGTH_NM:g} "
                         "(default: the instrument's peak responsivity)"),
    "p2_power_uw": Key(_number(0.0, _sim.MAX_POWER_UW), 0.0,
                       f"light on P2 of a balanced unit, µW, up to {_sim.MAX_POWER_UW:g}"),
    "modulation_hz": Key(_number(0.0), 0.0, "frequency of the sine modulation on P1"),
    "modulation_depth": Key(_number(0.0, 1.0), 0.0, "P1 * (1 + depth * sin(2 pi f t))"),
    "noise": Key(_boolean, True, "false: exact codes"),
    "seed": Key(_integer(0, 2**64 - 1), _sim.DEFAULT_SEED, "picks the noise"),
    "rin_db_hz": Key(_number(high=_sim.MAX_RIN_DB_HZ), None,
                     f"the laser's relative intensity noise in dB/Hz, at most "
                     f"{_sim.MAX_RIN_DB_HZ:g} (left out: none)"),
    "cmrr_db": Key(_number(_sim.MIN_CMRR_DB), _sim.DEFAULT_CMRR_DB,
                   f"common-mode rejection of a balanced unit in dB, "
                   f"at least {_sim.MIN_CMRR_DB:g}"),
}

PORT_KEYS = {   # sim.set_port_input
    "level": Key(_boolean, False, "a constant level"),
    "frequency_hz": Key(_number(positive=True), None, "a square wave, starting low"),
    "duty": Key(_number(0.0, 1.0), 0.5, "high fraction of each period of the square wave"),
}

INPUT_PORTS = ("S", "T")   # in the order _sim.instruments() gives their inputs

_INSTRUMENT_TABLE_KEYS = INSTRUMENT_KEYS | UNPLUG_KEYS

OVERRIDE_KEYS = {   # sim.override
    "function": Key(_name, REQUIRED, 'a library function\'s name, as "zo_get_samplerate"'),
    "result": Key(None, None, "the raw result; left out: a null pointer or null text",
                  "as the function returns"),
    "error": Key(None, None, "the last error the call sets first", "[integer, string]"),
    "times": Key(_integer(1, 2**31 - 1), 1, "how many of the next calls answer so"),
}


# ---------------------------------------------------------------- validation

def _table(value: object, key_path: str, keys: dict[str, Key], path: str,
           extra: Sequence[str] = ()) -> dict[str, Any]:
    """Checks a table's keys and values; returns them with defaults filled in.

    Runs once per table of a bench of maybe 100 000 instruments: the key
    paths for messages are only made for a fault.
    """
    if not isinstance(value, dict):
        raise BenchFileError(path, key_path, f"must be a table, not {_kind(value)}")
    defaults, required = _defaults(keys)
    out = dict(defaults)
    for name, item in value.items():
        key = keys.get(name)
        if key is None:
            if name in extra:
                continue
            known = list(keys) + list(extra)
            close = difflib.get_close_matches(name, known, n=1) if isinstance(name, str) else []
            hint = f" (did you mean {close[0]!r}?)" if close else f" (known: {', '.join(known)})"
            raise BenchFileError(path, _join(key_path, name), "unknown key" + hint)
        if key.check is not None:
            try:
                out[name] = key.check(item)
            except _Problem as problem:
                raise BenchFileError(path, _join(key_path, name), str(problem)) from None
    for name in required:
        if name not in value:
            raise BenchFileError(path, _join(key_path, name), "missing (this key is required)")
    return out


_DEFAULTS: dict[int, tuple[dict[str, Key], dict[str, Any], list[str]]] = {}


def _defaults(keys: dict[str, Key]) -> tuple[dict[str, Any], list[str]]:
    """A schema table's defaults and required keys (those its _table checks), made once."""
    found = _DEFAULTS.get(id(keys))
    if found is None or found[0] is not keys:
        checked = {name: key for name, key in keys.items() if key.check is not None}
        found = _DEFAULTS[id(keys)] = (keys, {
            name: key.default for name, key in checked.items() if key.default is not REQUIRED
        }, [name for name, key in checked.items() if key.default is REQUIRED])
    return found[1:]


def _join(key_path: str, name: str) -> str:
    return f"{key_path}.{name}" if key_path else name


def _array_of_tables(value: object, key_path: str, path: str) -> Sequence[dict[str, Any]]:
    if not isinstance(value, (list, tuple)):
        raise BenchFileError(path, key_path, f"must be an array of tables ([[{key_path}]]), "
                                             f"not {_kind(value)}")
    for i, item in enumerate(value):
        if not isinstance(item, dict):
            raise BenchFileError(path, f"{key_path}[{i}]", f"must be a table, not {_kind(item)}")
    return value


def _check_ports(value: object, key_path: str, path: str) -> dict[str, dict[str, Any]]:
    if not isinstance(value, dict):
        raise BenchFileError(path, key_path, f"must be a table, not {_kind(value)}")
    ports: dict[str, dict[str, Any]] = {}
    for port, table in value.items():
        where = f"{key_path}.{port}"
        if port not in INPUT_PORTS:
            raise BenchFileError(path, where, "unknown port (only S and T take inputs)")
        given = table.keys() if isinstance(table, dict) else ()
        checked = _table(table, where, PORT_KEYS, path)
        if "frequency_hz" in given and "level" in given:
            raise BenchFileError(path, where, "give level, or frequency_hz and duty, not both")
        if "duty" in given and "frequency_hz" not in given:
            raise BenchFileError(path, f"{where}.duty", "only a square wave has a duty: "
                                                        "give frequency_hz too")
        ports[port] = checked
    return ports


def _check_instruments(value: object, path: str) -> list[dict[str, Any]]:
    instruments: list[dict[str, Any]]
    seen: dict[str, int]
    instruments, seen = [], {}
    for i, table in enumerate(_array_of_tables(value, "instrument", path)):
        where = f"instrument[{i}]"
        inst = _table(table, where, _INSTRUMENT_TABLE_KEYS, path, extra=("light", "ports"))
        if inst["serial"] in seen:
            raise BenchFileError(path, f"{where}.serial", f"{inst['serial']!r} is already the "
                                                          f"serial of instrument[{seen[inst['serial']]}]")
        seen[inst["serial"]] = i
        light = table.get("light")
        if light is not None:
            light = _table(light, f"{where}.light", LIGHT_KEYS, path)
            if light["wavelength_nm"] is None:   # set_light's default, without asking the library
                light["wavelength_nm"] = float(inst["peak_responsivity"])
        inst["light"] = light
        inst["ports"] = _check_ports(table.get("ports", {}), f"{where}.ports", path)
        instruments.append(inst)
    return instruments


def _check_result(value: object, kind: str, low: int, high: int, function: str) -> object:
    """The result of an override of a function of `kind`, as sim.override takes it."""
    if kind == "pointer":
        if value is not None:
            raise _Problem(f"{function} returns a pointer: only a null result can be scripted, "
                           "so leave result out")
        return None
    if value is None:
        if kind == "text":
            return None
        raise _Problem(f"missing (the result {function} returns instead)")
    if kind == "int":
        return _integer(low, high)(value)
    if kind == "float":
        return _real(value)
    if kind == "pair":
        if not isinstance(value, (list, tuple)) or len(value) != 2:
            raise _Problem("must be an array of two numbers, [gain, offset]")
        return tuple(_real(v) for v in value)
    if kind == "version":
        return tuple(_version(value))
    if isinstance(value, bytes):   # from describe_bench, text that is not UTF-8
        return value
    if not isinstance(value, str):
        raise _Problem(f"must be a string, not {_kind(value)}")
    return _utf8(value)


def _check_error(value: object) -> tuple[int, bytes]:
    if (not isinstance(value, (list, tuple)) or len(value) != 2
            or not isinstance(value[1], (str, bytes))):
        raise _Problem('must be [code, text], as [33, "timeout"]')
    code = _integer(-2**31, 2**31 - 1)(value[0])
    text = value[1]
    return code, text if isinstance(text, bytes) else _utf8(text)


def _check_sense(function: str, result: object, with_error: bool) -> None:
    """Refuses an identity answer that no instrument gives: a tool would fail on
    it, not report it. The library's answer for a failed query needs the error
    it sets with it (else the tools report whatever error came last)."""
    failed = FAILED_ANSWERS.get(function)
    if failed is None:
        return
    if result == failed:
        if not with_error:
            raise _Problem(f"{result} is the library's answer for a failed "
                           f"{function}: give error = [code, text] too")
        return
    if function == "zo_get_samplerate" and result == 0:
        raise _Problem("must be a sample rate of 1 or more (or 4294967295 with an error), not 0")
    if function == "zo_get_adcbits" and not ADC_BITS[0] <= cast(int, result) <= ADC_BITS[1]:
        raise _Problem(f"must be {ADC_BITS[0]} to {ADC_BITS[1]} ADC bits "
                       f"(or 255 with an error), not {result}")
    if function == "zo_get_usb_speed" and result not in usb_speed_lookup:
        raise _Problem(f"must be one of the codes {_codes()} (or -1 with an error), not {result}")


def _check_overrides(value: object, path: str) -> list[dict[str, Any]]:
    overrides = []
    for i, table in enumerate(_array_of_tables(value, "override", path)):
        where = f"override[{i}]"
        checked = _table(table, where, OVERRIDE_KEYS, path)
        function = checked["function"]
        signature: tuple[str, int, int] | None = _sim.function_kind(function)
        if signature is None:
            raise BenchFileError(path, f"{where}.function", f"unknown library function {function!r}")
        try:
            checked["result"] = _check_result(table.get("result"), *signature, function)
        except _Problem as problem:
            raise BenchFileError(path, f"{where}.result", str(problem)) from None
        try:
            checked["error"] = None if "error" not in table else _check_error(table["error"])
        except _Problem as problem:
            raise BenchFileError(path, f"{where}.error", str(problem)) from None
        try:
            _check_sense(function, checked["result"], checked["error"] is not None)
        except _Problem as problem:
            raise BenchFileError(path, f"{where}.result", str(problem)) from None
        overrides.append(checked)
    return overrides


def _check_bench(data: dict[str, Any], path: str) -> dict[str, Any]:
    """The whole description checked, with every default filled in."""
    bench = _table(data, "", TOP_KEYS, path, extra=("instrument", "override"))
    bench["instrument"] = (None if "instrument" not in data
                           else _check_instruments(data["instrument"], path))
    bench["override"] = _check_overrides(data.get("override", []), path)
    return bench


# ------------------------------------------------------------------ building

class _BuildFailure(Exception):
    """A step of a build that failed: the key it was building and why."""

    def __init__(self, key: str | None, cause: Exception) -> None:
        super().__init__(key, cause)
        self.key, self.cause = key, cause


def _build(bench: dict[str, Any]) -> None:
    key: str | None = None   # what the step in hand builds, for the message if the library refuses it
    try:
        sim.reset()
        if bench["instrument"] is not None:
            sim.detach_all()
            for i, inst in enumerate(bench["instrument"]):
                serial = inst["serial"]
                key = f"instrument[{i}]"
                sim.attach(**{name: inst[name] for name in INSTRUMENT_KEYS})
                if inst["light"] is not None:
                    key = f"instrument[{i}].light"
                    sim.set_light(serial=serial, **inst["light"])
                for port, signal in inst["ports"].items():
                    key = f"instrument[{i}].ports.{port}"
                    if signal["frequency_hz"] is None:
                        sim.set_port_input(port, signal["level"], serial=serial)
                    else:
                        sim.set_port_input(port, frequency_hz=signal["frequency_hz"],
                                           duty=signal["duty"], serial=serial)
                if inst["unplug_after_reads"]:
                    key = f"instrument[{i}].unplug_after_reads"
                    sim.unplug_after(inst["unplug_after_reads"], serial=serial)
        key = "timeout"
        sim.set_timeout(bench["timeout"])
        key = "realtime"
        sim.set_realtime(bench["realtime"])
        for i, o in enumerate(bench["override"]):
            key = f"override[{i}]"
            sim.override(o["function"], o["result"], error=o["error"], times=o["times"])
        key = "logging"
        sim.set_logging(bench["logging"])
        key = "log_capacity"
        sim.set_log_capacity(bench["log_capacity"])
    except Exception as exc:
        raise _BuildFailure(key, exc) from exc


def _build_again(previous: dict[str, Any]) -> bool:
    """Builds a bench described before; the default bench if even that fails."""
    try:
        _build(_check_bench(previous, "the previous bench"))
        return True
    except Exception:
        sim.reset()
        return False


def build_bench(description: dict[str, Any], *, source: str = "<bench description>") -> None:
    """Reset the bench and build the one ``description`` gives.

    ``description`` is a dict shaped like a bench file (as :func:`describe_bench`
    returns or ``tomllib`` reads). It is checked whole first, against the
    library's own ranges: a mistake raises :class:`BenchFileError` naming
    ``source`` and the key, and the bench (with its open handles) stays as it
    was. Should the library still refuse a step, the previous bench is built
    again (handles opened on it go stale) and the BenchFileError names the
    key of that step.
    """
    bench = _check_bench(description, source)
    previous = describe_bench()
    try:
        _build(bench)
    except BaseException as exc:
        rebuilt = _build_again(previous)   # never half a bench
        if not isinstance(exc, _BuildFailure):
            raise                          # an interrupt, as it came
        reason = str(exc.cause) or type(exc.cause).__name__
        if not rebuilt:
            reason += ("; the previous bench could not be built again either: "
                       "the default bench is left")
        raise BenchFileError(source, exc.key, f"cannot be built: {reason}") from exc.cause


def _read_regular_file(path: str) -> bytes:
    """The bytes of a regular file of at most MAX_BENCH_FILE_BYTES. A FIFO, device
    or folder is refused at once: opened without waiting for a writer, never read."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
                 | getattr(os, "O_BINARY", 0))
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise BenchFileError(path, None, "is a folder, not a bench file")
        if not stat.S_ISREG(info.st_mode):
            raise BenchFileError(path, None, "is not a regular file (a FIFO, device or socket); "
                                 "a bench file is a file on disk")
        if info.st_size > MAX_BENCH_FILE_BYTES:
            raise BenchFileError(path, None, f"holds {info.st_size} bytes, more than the "
                                 f"{MAX_BENCH_FILE_BYTES} a bench file may take")
        with os.fdopen(os.dup(fd), "rb") as f:
            data = f.read(MAX_BENCH_FILE_BYTES + 1)
    finally:
        os.close(fd)
    if len(data) > MAX_BENCH_FILE_BYTES:          # grew since it was looked at
        raise BenchFileError(path, None, f"holds more than the {MAX_BENCH_FILE_BYTES} bytes "
                             "a bench file may take")
    return data


def load_bench(path: str | os.PathLike[str]) -> None:
    """Reset the bench and build the one the TOML file at ``path`` describes.

    The whole file is read and checked before the bench is touched: a file
    that cannot be read (or is no regular file of at most 64 MiB: a FIFO,
    device or folder is refused at once), is not TOML, or has an unknown key, a value of the
    wrong type or range, or a serial used twice raises
    :class:`BenchFileError` (a ValueError) whose message names the file, the
    key path (``instrument[1].light.power_uw``; arrays count from 0) and what
    is wrong, and the bench stays as it was.
    """
    path = os.fspath(path)
    try:
        data = tomllib.loads(_read_regular_file(path).decode("utf-8"))
    except BenchFileError:
        raise
    except OSError as exc:
        raise BenchFileError(path, None, f"cannot be read ({exc.strerror or exc})") from exc
    except UnicodeDecodeError as exc:
        raise BenchFileError(path, None, f"not UTF-8: {exc.reason} at byte {exc.start}") from None
    except RecursionError:
        raise BenchFileError(path, None,
                             "not valid TOML: arrays or tables nested too deeply") from None
    except ValueError as exc:   # TOMLDecodeError, and the limits of Python's int (4300 digits)
        raise BenchFileError(path, None, f"not valid TOML: {exc}") from exc
    build_bench(data, source=path)


# -------------------------------------------------------- describing, saving

def _describe_instrument(inst: dict[str, Any]) -> dict[str, Any]:
    """One entry of _sim.instruments() as its [[instrument]] table."""
    inst["fwversion"] = list(inst["fwversion"])
    light = inst["light"]
    inst["light"] = {name: light[name] for name in LIGHT_KEYS if light[name] is not None}
    ports: dict[str, dict[str, Any]] = {}
    for port, signal in zip(INPUT_PORTS, inst.pop("inputs")):
        if signal["frequency_hz"] > 0:
            ports[port] = {"frequency_hz": signal["frequency_hz"], "duty": signal["duty"]}
        elif signal["level"]:
            ports[port] = {"level": True}
    inst["ports"] = ports
    return inst


def _describe_override(name: str, result: object, times: int, code: int | None,
                       text: bytes) -> dict[str, Any]:
    o: dict[str, Any] = {"function": name}
    if result is not None:
        if isinstance(result, bytes):
            try:
                result = result.decode("utf-8")
            except UnicodeDecodeError:
                pass   # kept as bytes: build_bench takes it, save_bench refuses it
        o["result"] = list(result) if isinstance(result, tuple) else result
    if code is not None:
        try:
            o["error"] = [code, text.decode("utf-8")]
        except UnicodeDecodeError:
            o["error"] = [code, text]
    o["times"] = times
    return o


def describe_bench() -> dict[str, Any]:
    """The current bench as a dict shaped like a bench file.

    What a bench file says: the attached instruments (identity, light, port
    inputs), the trigger timeout, real time, the call log switch and size, and the
    overrides not yet used up. Not the state of a run: clocks, front-end
    settings, open handles, the call log's content. ``build_bench`` of it
    gives the same description back.
    """
    return {
        "timeout": sim.timeout(),
        "realtime": sim.realtime(),
        "logging": _sim.logging(),
        "log_capacity": sim.log_capacity(),
        "instrument": [_describe_instrument(inst) for inst in _sim.instruments()],
        "override": [_describe_override(*o) for o in _sim.overrides()],
    }


# The few lines of TOML a bench needs: scalars, short inline arrays, tables
# and arrays of tables (no dependency, and arrays stay on one line).

def _toml_value(value: object, where: str) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)   # shortest exact form; inf and nan are TOML's spelling too
    if isinstance(value, str):
        # JSON's escapes are TOML's, except that TOML wants DEL escaped too.
        return json.dumps(value, ensure_ascii=False).replace("\x7f", "\\u007f")
    if isinstance(value, list):
        return "[" + ", ".join(_toml_value(v, where) for v in value) + "]"
    raise BenchFileError("bench", where, "text that is not UTF-8 cannot be written to TOML")


def _toml_lines(table: dict[str, Any], where: str) -> list[str]:
    return [f"{k} = {_toml_value(v, f'{where}.{k}' if where else k)}"
            for k, v in table.items() if not isinstance(v, dict)]


def bench_toml(description: dict[str, Any]) -> str:
    """A bench description (as :func:`describe_bench` gives) as TOML text."""
    top = {k: v for k, v in description.items() if k not in ("instrument", "override")}
    lines = _toml_lines(top, "")
    instruments = description.get("instrument")
    if instruments == []:
        lines.append("instrument = []   # no instrument attached")
    for i, inst in enumerate(instruments or []):
        where = f"instrument[{i}]"
        lines += ["", "[[instrument]]", *_toml_lines(inst, where)]
        if inst.get("light") is not None:
            lines += ["", "[instrument.light]", *_toml_lines(inst["light"], f"{where}.light")]
        for port, signal in inst.get("ports", {}).items():
            lines += ["", f"[instrument.ports.{port}]",
                      *_toml_lines(signal, f"{where}.ports.{port}")]
    for i, o in enumerate(description.get("override", [])):
        lines += ["", "[[override]]", *_toml_lines(o, f"override[{i}]")]
    return "\n".join(lines) + "\n"


def save_bench(path: str | os.PathLike[str]) -> None:
    """Write the current bench to ``path`` as a bench file.

    Loading that file builds the same bench (see :func:`describe_bench` for
    what it holds). Raises BenchFileError when an override holds text that
    is not UTF-8, which TOML cannot carry.
    """
    path = os.fspath(path)
    try:
        text = bench_toml(describe_bench())
    except BenchFileError as exc:
        raise BenchFileError(path, exc.key, exc.problem) from None
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


# ------------------------------------------------------------- template

TEMPLATE_HEADER = """\
# A bench file of zopy's virtual instrument: the bench in force when it was
# saved ({origin}), every key with its value.
# Run any zopy command or program on it:
#     ZOPY_BENCH=FILE zopy info
#     ZOPY_BENCH=FILE python experiment.py
# and check an edited copy with `zopy bench check FILE`. Every key with its
# type and default: help(zopy.sim.load_bench).
# realtime = false is unpaced: a read returns as soon as its samples are
# made, so a recording of 60 s may take a second (and fill a disk as fast);
# true paces reads like a real instrument.
"""

TEMPLATE_MORE = """
# More that a bench file can say (uncomment and edit):
#
# rin_db_hz = -140.0          # in [instrument.light]: {rin_db_hz}
#
# [instrument.ports.S]        # a signal on port S (or T) of the instrument above
# frequency_hz = 1000.0       # {frequency_hz}
# duty = 0.5                  # {duty}
#
# [[override]]                # the library's next answer to a call, scripted
# function = "zo_get_raw_data"
# result = 33
# error = [33, "USB transfer timed out"]
# times = 1
"""

# every key's meaning, by name (no name stands in two tables)
_KEY_DOCS = {name: key.doc for keys in (TOP_KEYS, INSTRUMENT_KEYS, UNPLUG_KEYS, LIGHT_KEYS,
                                          PORT_KEYS, OVERRIDE_KEYS) for name, key in keys.items()}


def bench_template(description: dict[str, Any], origin: str) -> str:
    """A bench description as a bench file to edit: every key with its meaning
    in a comment, and what more a file can say; ``origin`` says where the bench came from."""
    lines = [TEMPLATE_HEADER.format(origin=origin)]
    for line in bench_toml(description).splitlines():
        name = line.split(" = ", 1)[0] if " = " in line else None
        doc = _KEY_DOCS.get(name) if name else None
        lines.append(f"{line:<32} # {doc}" if doc and len(line) < 60 else line)
    lines.append(TEMPLATE_MORE.format(**_KEY_DOCS))
    return "\n".join(lines)


# ------------------------------------------------------------- documentation

def _format_doc() -> str:
    """The file format, every key with its type and default, from the schema above."""
    def rows(keys: dict[str, Key], indent: str = "    ") -> list[str]:
        out = []
        for name, key in keys.items():
            kind = key.type_name or key.check.type_name  # type: ignore[union-attr]  # see _byte above
            default = ("required" if key.default is REQUIRED
                       else "-" if key.default is None
                       else json.dumps(key.default))
            out.append(f"{indent}{name:<18} {kind:<21} {default:<12} {key.doc}")
        return out

    head = "    key                type                  default      meaning"
    return "\n".join([
        "Bench file format", "-----------------",
        "Top level (every key optional)::", "", head, *rows(TOP_KEYS), "",
        "``[[instrument]]``, attached in file order (sim.attach). A file without",
        "``[[instrument]]`` keeps the default instrument; ``instrument = []`` attaches",
        "none. The defaults are sim.attach's::", "", head, *rows(INSTRUMENT_KEYS | UNPLUG_KEYS), "",
        "``[instrument.light]`` (sim.set_light; left out: dark)::", "", head, *rows(LIGHT_KEYS), "",
        "``[instrument.ports.S]`` and ``[instrument.ports.T]`` (sim.set_port_input):",
        "``level``, or ``frequency_hz`` with ``duty``::", "", head, *rows(PORT_KEYS), "",
        "``[[override]]``, in order (sim.override)::", "", head, *rows(OVERRIDE_KEYS), "",
        "``result`` has the kind of the function's result: an integer, a float,",
        "[gain, offset], [major, minor, patch] or a string. Example::", "",
        "    timeout = 1.0", "    realtime = false", "",
        "    [[instrument]]", '    serial = "LAB0001"', "    balanced = true", "",
        "    [instrument.light]", "    power_uw = 120.0", "    wavelength_nm = 1064.0",
        "    modulation_hz = 30000.0", "    modulation_depth = 0.2", "",
        "    [instrument.ports.S]", "    frequency_hz = 1000.0", "    duty = 0.5", "",
        "    [[override]]", '    function = "zo_get_samplerate"', "    result = 4294967295",
        '    error = [33, "timeout"]', "    times = 1",
    ])


if load_bench.__doc__ is not None:     # python -OO drops docstrings
    load_bench.__doc__ += "\n\n    " + _format_doc().replace("\n", "\n    ")
