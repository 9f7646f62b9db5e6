"""zopy.sim's control layer: the bench's functions over the library's control module."""


from __future__ import annotations

import math
from collections.abc import Container, Sequence
from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

from .. import _sim  # type: ignore[attr-defined]  # a compiled module that ships no stub
from ..selftest import PN9_PERIOD, pn9_cycle
from ..zopy import usb_speed_lookup

__all__ = [
    "BAD_DOUBLE", "COUNTS_PER_UW_HIGH", "COUNTS_PER_UW_LOW", "DEFAULT_CMRR_DB", "DEFAULT_LOG_CAPACITY",
    "DEFAULT_SAMPLERATE",
    "DEFAULT_SEED", "DEFAULT_SERIAL", "DEFAULT_TIMEOUT", "OFFSET_BALANCED", "OFFSET_SINGLE",
    "PORT_CLOCK_HZ", "attach", "calls", "checkerboard_words", "clear_calls", "detach",
    "detach_all", "devices", "last_error", "leds", "override", "pn9_words", "port_state", "realtime",
    "reset", "set_error", "set_light", "set_logging", "set_port_input", "set_realtime",
    "set_timeout", "started", "state", "timeout",
    "dropped_calls", "log_capacity", "set_log_capacity", "unplug_after",
]

# Every default and constant is the library's own (its ranges are
# _sim.MAX_POWER_UW and its kin).
_DEFAULT = _sim.default_device()
_ATTACH = _sim.ATTACH_DEFAULTS            # an instrument attached without its identity

DEFAULT_SERIAL: str = _DEFAULT["serial"]
DEFAULT_SAMPLERATE: int = _DEFAULT["samplerate"]
BAD_DOUBLE: float = _sim.BAD_DOUBLE
COUNTS_PER_UW_HIGH: float = _sim.COUNTS_PER_UW_HIGH
COUNTS_PER_UW_LOW: float = _sim.COUNTS_PER_UW_LOW
OFFSET_SINGLE = int(_sim.OFFSET_SINGLE)
OFFSET_BALANCED = int(_sim.OFFSET_BALANCED)
PORT_CLOCK_HZ: float = _sim.PORT_CLOCK_HZ
DEFAULT_SEED: int = _sim.DEFAULT_SEED
DEFAULT_TIMEOUT: float = _sim.DEFAULT_TIMEOUT
DEFAULT_CMRR_DB: float = _sim.DEFAULT_CMRR_DB
DEFAULT_LOG_CAPACITY: int = _sim.DEFAULT_LOG_CAPACITY   # calls; what reset() restores

_PORTS = {"A": 0, "B": 1, "S": 2, "T": 3, "LEDR": 4, "LEDG": 5, "LEDB": 6}


def _port_number(port: int | str, allowed: Container[int] = range(7)) -> int:
    number = _PORTS.get(port, port) if isinstance(port, str) else port
    if isinstance(number, bool) or not isinstance(number, int) or number not in allowed:
        raise ValueError(f"invalid port {port!r}")
    return number


def _text_bytes(text: object) -> bytes:
    if isinstance(text, str):
        return text.encode("utf-8")
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    raise TypeError("text must be str or bytes")


# ---------------------------------------------------------------- instruments

def reset() -> None:
    """The default bench again.

    The default instrument attached (fresh, closed, clock 0, dark), nothing
    else; no pending overrides, the call log emptied, switched on and back to
    its default capacity, trigger
    timeout 1 s, real time off. Handles opened before go stale: every call on
    them fails with ZO_ERROR_INVALID_DEVICE except ``zo_close_device``, which
    releases them. Whether the library is started does not change.
    """
    _sim.reset()


def attach(serial: str, product: str = _ATTACH["product"], *, balanced: bool = False,
           samplerate: int = _ATTACH["samplerate"], adcbits: int = _ATTACH["adcbits"],
           fwversion: Sequence[int] = _ATTACH["fwversion"], usb_speed: int = _ATTACH["usb_speed"],
           peak_responsivity: int = _ATTACH["peak_responsivity"]) -> None:
    """Attach another instrument, dark and closed, after those already attached.

    ``samplerate`` is its base rate (clock divider 1); ``peak_responsivity``
    the wavelength in nm where its relative responsivity is 1; ``adcbits``
    1 to 14, ``usb_speed`` a code of ``zopy.usb_speed_lookup``. Raises
    ValueError for a serial already attached or values a unit cannot report.
    """
    if not isinstance(serial, str) or not serial:
        raise ValueError("serial must be a non-empty str")
    if not 1 <= int(samplerate) <= 0xFFFFFFFE:
        raise ValueError("samplerate must be between 1 and 4294967294")
    # What the library can report (the sample word holds 14 bits of ADC code;
    # 255.255.255 and speed codes outside the table are failed queries).
    if not 1 <= int(adcbits) <= 14:
        raise ValueError("adcbits must be 1 to 14")
    fw = tuple([int(v) for v in fwversion]) if len(fwversion) == 3 else ()
    if not fw or not (0 <= fw[0] <= 255 and 0 <= fw[1] <= 255 and 0 <= fw[2] <= 255):
        raise ValueError("fwversion must be three numbers 0..255")
    if fw == (255, 255, 255):
        raise ValueError("fwversion 255.255.255 is the library's answer for a failed query")
    if int(usb_speed) not in usb_speed_lookup:
        raise ValueError(f"usb_speed must be one of the codes {sorted(usb_speed_lookup)}")
    if int(peak_responsivity) <= 0:
        raise ValueError("peak_responsivity must be a positive wavelength in nm")
    _sim.attach(serial, str(product), bool(balanced), int(samplerate), int(adcbits), fw,
                int(usb_speed), int(peak_responsivity))


def detach(serial: str) -> bool:
    """Detach an instrument, as if its cable were pulled.

    Its open handles go stale (calls fail with ZO_ERROR_INVALID_DEVICE,
    ``zo_close_device`` releases them). Returns whether it was attached.
    """
    return cast(bool, _sim.detach(serial))


def detach_all() -> None:
    """Detach every instrument."""
    _sim.detach_all()


def unplug_after(reads: int, *, serial: str | None = None) -> None:
    """Detach an instrument (the first attached when ``serial`` is None) once
    ``reads`` more raw-data reads have reached it, as if its cable were pulled.

    Raw-data reads are ``zo_get_raw_data`` and its triggered forms that reach
    the instrument (not those an :func:`override` answers; stream reads do not
    count either). The last of those reads still succeeds; the next call on
    the instrument's handles fails with ZO_ERROR_INVALID_DEVICE. 0 cancels;
    :func:`reset` cancels every one.
    """
    if isinstance(reads, bool) or not isinstance(reads, int) or not 0 <= reads < 2**64:
        raise ValueError("reads must be an int from 0 (never) up")
    _sim.unplug_after(state(serial=serial)["serial"], reads)


def devices() -> list[str]:
    """Serials of the attached instruments, in attach order."""
    return cast(list[str], _sim.devices())


def started() -> bool:
    """Whether ``zo_init`` has started the library (and no ``zo_exit`` since)."""
    return cast(bool, _sim.started())


# ------------------------------------------------- call log, overrides, errors

def override(function: str, result: object, *, error: tuple[int, str | bytes] | None = None,
             times: int = 1) -> None:
    """Script the library's answer to the next ``times`` calls of ``function``.

    ``function`` is a library function's name ("zo_get_samplerate"), or a
    stream operation as "zo_open_stream<float>", "zo_close_stream",
    "ZOGenericStream::read_samplesize", "ZOStream<double>::acquire".
    ``result`` is the raw value the call returns instead of the instrument's
    answer: an int for ints and statuses (within the C type's range), a
    float for doubles, a 2-tuple for calibration pairs, a 3-tuple for
    version records, bytes for a text (or None for a null text pointer),
    None for a pointer result. With ``error=(code, text)`` the call first
    sets the last error (text as str or bytes). The override applies
    whatever handle the call gets, even a null one; it does nothing else (an
    overridden acquisition leaves the buffer alone). Overrides of one
    function are used in the order they were given.

    Raises ValueError for an unknown function or a result of the wrong kind.
    """
    if not isinstance(function, str):
        raise ValueError("function must be a library function's name")
    if _sim.function_kind(function) is None:
        raise ValueError(f"unknown library function: {function}")
    code: int | None
    text: str | bytes
    code, text = None, b""
    if error is not None:
        code, text = error
        code, text = int(code), _text_bytes(text)
    if isinstance(times, bool) or not isinstance(times, int) or times < 1:
        raise ValueError("times must be an int of at least 1")
    _sim.override(function, result, times, code, text)


def set_error(code: int, text: str | bytes) -> None:
    """Set the calling thread's last error; ``text`` as bytes (any bytes) or str."""
    _sim.set_error(int(code), _text_bytes(text))


def last_error() -> tuple[int, bytes]:
    """The calling thread's last error as (code, text bytes), without a library call."""
    return cast(tuple[int, bytes], _sim.last_error())


def calls() -> list[tuple[Any, ...]]:
    """The library calls made since :func:`reset` or :func:`clear_calls`.

    The log keeps the latest :func:`log_capacity` calls (100 000 unless
    changed); :func:`dropped_calls` says how many older ones it dropped. A
    list of tuples ``(name, *args)`` in call order. A device handle is
    given as its instrument's serial (None for a null or dead handle), a
    buffer as its element count (None when null), text as str, C bools as
    bool, enums and integers as int, doubles as float. Stream operations
    appear without the stream object, under the names :func:`override`
    takes.
    """
    return cast(list[tuple[Any, ...]], _sim.calls())


def clear_calls() -> None:
    """Empty the call log (and zero :func:`dropped_calls`)."""
    _sim.clear_calls()


def set_logging(enabled: bool) -> None:
    """Switch the call log on (the default) or off; off, it costs nothing."""
    _sim.set_logging(bool(enabled))


def set_log_capacity(n: int) -> None:
    """Keep at most the latest ``n`` calls in the log (0: none, at most
    2**63 - 1; :func:`reset` restores :data:`DEFAULT_LOG_CAPACITY`, 100 000).

    The log is a ring: once full, each call takes the place of the oldest,
    which counts as dropped, so the memory of a program that runs for hours
    stays flat. Shrinking drops the oldest calls at once.
    """
    if isinstance(n, bool) or not isinstance(n, int) or n < 0:
        raise ValueError("the log capacity must be an int of at least 0")
    if n > _sim.MAX_LOG_CAPACITY:
        raise ValueError(f"the log capacity must be at most {_sim.MAX_LOG_CAPACITY}, not {n}")
    _sim.set_log_capacity(n)


def log_capacity() -> int:
    """How many calls the log keeps at most."""
    return cast(int, _sim.log_capacity())


def dropped_calls() -> int:
    """How many calls the log has dropped (as the oldest, when full) since
    :func:`reset` or :func:`clear_calls`; 0 means :func:`calls` has them all."""
    return cast(int, _sim.dropped_calls())


# ------------------------------------------------------------ light and ports

def set_light(power_uw: float, wavelength_nm: float | None = None, *, serial: str | None = None,
              p2_power_uw: float = 0.0, modulation_hz: float = 0.0, modulation_depth: float = 0.0,
              noise: bool = True, seed: int = DEFAULT_SEED, rin_db_hz: float | None = None,
              cmrr_db: float = DEFAULT_CMRR_DB) -> None:
    """Set the light on an instrument (the first attached when ``serial`` is None).

    ``power_uw`` on P1 at ``wavelength_nm`` (default: the instrument's peak
    responsivity), modulated as ``1 + modulation_depth * sin(2 pi f t)``;
    ``p2_power_uw`` on P2 (balanced units only). ``rin_db_hz`` is the
    laser's relative intensity noise in dB/Hz (None: none), ``cmrr_db`` a
    balanced unit's rejection of it (see *Noise* in ``help(zopy.sim)``).
    ``noise`` False gives exact codes; ``seed`` picks the noise (same seed,
    same samples). Every call sets all of these; :func:`state` gives them
    back under the same names in ``state()["light"]``.

    The model's ranges: each power from 0 to 1e9 µW (1 kW, far beyond full
    scale: codes clip there), a wavelength of at least 1 nm, ``rin_db_hz``
    at most 0 and ``cmrr_db`` at least 0; anything else raises ValueError.
    """
    if wavelength_nm is None:
        wavelength_nm = _sim.identity(serial)["peak_responsivity"]
    power_uw, p2_power_uw, wavelength_nm = float(power_uw), float(p2_power_uw), float(wavelength_nm)
    cmrr_db = float(cmrr_db)
    for name, value in (("power_uw", power_uw), ("p2_power_uw", p2_power_uw)):
        if not 0.0 <= value <= _sim.MAX_POWER_UW:   # NaN fails too
            raise ValueError(f"{name} must be between 0 and {_sim.MAX_POWER_UW:g} µW, not {value!r}")
    if not _sim.MIN_WAVELENGTH_NM <= wavelength_nm < math.inf:
        raise ValueError(f"wavelength_nm must be finite and at least {_sim.MIN_WAVELENGTH_NM:g} nm, "
                         f"not {wavelength_nm!r}")
    rin = -math.inf if rin_db_hz is None else float(rin_db_hz)
    if rin_db_hz is not None and not -math.inf < rin <= _sim.MAX_RIN_DB_HZ:
        raise ValueError(f"rin_db_hz must be a finite number of dB/Hz up to {_sim.MAX_RIN_DB_HZ:g}, "
                         f"or None for none, not {rin!r}")
    if not _sim.MIN_CMRR_DB <= cmrr_db < math.inf:
        raise ValueError(f"cmrr_db must be finite and at least {_sim.MIN_CMRR_DB:g} dB, "
                         f"not {cmrr_db!r}")
    _sim.set_light(serial, power_uw, p2_power_uw, wavelength_nm,
                   float(modulation_hz), float(modulation_depth), bool(noise), int(seed),
                   rin, cmrr_db)


def set_port_input(port: int | str, level: bool = False, *, frequency_hz: float | None = None,
                   duty: float = 0.5, serial: str | None = None) -> None:
    """Apply a signal to port "S" or "T" of an instrument, from its current time on.

    A constant ``level``, or with ``frequency_hz`` a square wave high for
    ``duty`` of each period, starting low. A port the instrument drives
    itself does not see it.
    """
    number = _port_number(port, allowed=(2, 3))
    freq = 0.0 if frequency_hz is None else float(frequency_hz)
    if frequency_hz is not None and not freq > 0:
        raise ValueError("frequency_hz must be positive")
    _sim.set_port_input(serial, number, bool(level), freq, float(duty))


def port_state(port: int | str, *, serial: str | None = None) -> dict[str, Any]:
    """What a port or LED ("A", "B", "S", "T", "LEDR", "LEDG", "LEDB" or 0..6) does.

    A dict: ``direction`` ("input", "output" or "monitor"), ``drive`` ("",
    "level", "pwm" or "pulse"), ``level`` (at the instrument's current time),
    ``threshold`` and ``period`` (cycles, as last driven) and, on S and T,
    ``frequency_hz`` and ``duty`` of the applied input (frequency 0: level).
    """
    return cast(dict[str, Any], _sim.port_state(serial, _port_number(port)))


def leds(*, serial: str | None = None) -> dict[str, float]:
    """LED brightness 0..1 by colour ("R", "G", "B"): on 1, off 0, a square wave
    its duty cycle, a pulse whether it is still lit."""
    out: dict[str, float] = {}
    for colour in "RGB":
        p = port_state("LED" + colour, serial=serial)
        if p["drive"] == "pwm":
            out[colour] = min(1.0, p["threshold"] / p["period"])
        else:
            out[colour] = 1.0 if p["level"] else 0.0
    return out


def state(*, serial: str | None = None) -> dict[str, Any]:
    """An instrument's state as a dict (a copy; changing it changes nothing).

    Identity: ``serial``, ``balanced``, ``base_samplerate``,
    ``peak_responsivity``. State: ``open``, ``clock`` (next sample index),
    ``samplerate``, the switches ``highgain``, ``antialias``, ``powerdown``, ``adcclock``, ``p1_monitor``,
    ``p2_monitor``, ``pattern`` ("normal", "pn9", "checkerboard", "user"),
    ``user_word``, ``pattern_origin``, ``registers`` (256 applied values),
    and ``light`` (as set with :func:`set_light`, keyed by its parameter
    names: ``power_uw``, ``p2_power_uw``, ``wavelength_nm``,
    ``modulation_hz``, ``modulation_depth``, ``noise``, ``seed``,
    ``rin_db_hz``, ``cmrr_db``).
    """
    return cast(dict[str, Any], _sim.state(serial))


# -------------------------------------------------------------------- timing

def set_timeout(seconds: float) -> None:
    """Trigger timeout in seconds of instrument time (default 1.0)."""
    _sim.set_timeout(float(seconds))


def timeout() -> float:
    """The trigger timeout in seconds."""
    return cast(float, _sim.timeout())


def set_realtime(enabled: bool) -> None:
    """Make acquisitions take as long as on the real unit (off by default).

    The library then sleeps, in short chunks and holding no global lock, for
    the duration of the samples taken and waited for.
    """
    _sim.set_realtime(bool(enabled))


def realtime() -> bool:
    """Whether acquisitions run in real time."""
    return cast(bool, _sim.realtime())


# ------------------------------------------------------------ test patterns

_PN9: NDArray[np.uint16] = pn9_cycle()   # the self-test's: one generator, checked against the library's


def pn9_words(n: int, start: int = 0) -> NDArray[np.uint16]:
    """The ADC's PN9 test pattern: words ``start`` .. ``start + n - 1``.

    The bit sequence of x^9 + x^5 + 1: ``b[k] = 1`` for k < 9, then
    ``b[k] = b[k-9] ^ b[k-5]`` (period 511). Word i is the 14 bits
    ``b[14*i] .. b[14*i+13]``, the first as bit 13 (most significant), so
    word 0 is 0x3FE0 and the words repeat every 73. Returns a uint16 array.
    """
    return _PN9[(np.arange(n, dtype=np.int64) + start) % PN9_PERIOD]


def checkerboard_words(n: int, start: int = 0) -> NDArray[np.uint16]:
    """The checkerboard test pattern: 0x2AAA at even word numbers, 0x1555 at odd."""
    return np.where((np.arange(n, dtype=np.int64) + start) % 2 == 0, 0x2AAA, 0x1555).astype(np.uint16)
