"""Control of the virtual KV310 bench.

Without the maker's library, zopy ships its own ``libzo``: a virtual
instrument that answers every call as a real KV310 would. This module is
its bench: it attaches and detaches instruments, shines light on them,
applies signals to their ports, scripts the library's answers and records
every library call the extension module makes.

The default bench
-----------------
When the library loads (and after :func:`reset`) one instrument is
attached, closed:

=====================  ==================================================
product                ``"KV310"`` (single photodiode, not balanced)
serial                 ``"KV31A0427"`` (:data:`DEFAULT_SERIAL`)
ADC bits               14
sample rate            10 MS/s (:data:`DEFAULT_SAMPLERATE`), base rate at
                       clock divider 1
firmware               (1, 3, 0)
USB speed              code 3, "high"
peak responsivity      1550 nm
=====================  ==================================================

The library reports version (2, 1, 0). :data:`BAD_DOUBLE` is -1.0.

Instrument model
----------------
Photodiode: InGaAs. Relative responsivity 1.0 at the peak wavelength, a broad
rise on the short side and a steep fall at the band-gap cut-off, exactly 0
outside the band (850-1700 nm for a 1550 nm peak; the band widens to at
least 100 nm below and 50 nm above another peak). With x running from 0 at
the peak to 1 at the band edge, it is ``(1 - x**3)**1.5`` below the peak and
``(1 - x**4)**2`` above it (about 0.94 at 1310 nm). Peak responsivity 1 A/W.

Front end: transimpedance 10 kV/A (high gain) or 1 kV/A (low gain) into a
14-bit ADC with a 0-2 V range, so the gain is :data:`COUNTS_PER_UW_HIGH`
= 81.92 or :data:`COUNTS_PER_UW_LOW` = 8.192 ADC counts per µW at peak
responsivity. Raw code::

    code = offset + gain * R(wavelength) * (P1 * (1 + depth * sin(2 pi f t)) - P2)
           + noise,   rounded, clipped to 0..16383

Offset: 200 counts on a single-diode unit, 8192 (mid-scale) on a balanced
unit, which measures P1 - P2 (P2 is ignored on a single-diode unit).
The model takes 0 to 1e9 µW on each photodiode (full scale is 200 µW in
high gain; codes clip) and wavelengths from 1 nm up.
Power-on: high gain, antialias on, powerdown off, ADC
clock on, monitors off, ports S and T inputs, A, B and the LEDs driven low,
every register 0.

- antialias: one-pole low-pass at a tenth of the base sample rate (1 MHz at
  10 MS/s): noise falls to about 0.55 of its rms and modulation near the
  Nyquist rate is strongly attenuated and delayed.
- powerdown: the offset and 0.5 counts rms of noise only.
- ADC clock off: every acquisition fails with ZO_ERROR_USB_TIMEOUT after the
  trigger timeout.
- monitors (balanced units only; on others the read and set calls fail with
  ZO_ERROR_NOT_IMPLEMENTED): P1 monitor on routes an analog signal to port S,
  P2 to port T. Bit 14 (or 15) is then 0, triggers on that port never fire,
  and driving or reading that port fails with ZO_ERROR_DEVICE_SETTINGS.

Noise
-----
Independent white Gaussian terms, all before the antialias filter:

- electronic: 2.5 counts rms in high gain, 1.5 in low gain;
- shot noise of each photodiode: one-sided power spectral density
  ``2 h nu P`` in optical power (W²/Hz), P the mean light on that photodiode
  (P2 only on balanced units), nu = c / wavelength;
- the laser's relative intensity noise (RIN), ``set_light(...,
  rin_db_hz=...)``, off by default: density ``10**(rin_db_hz / 10) * A**2``
  with A the light whose fluctuation reaches the output, ``P1`` on a
  single-diode unit and ``P1 - P2 + eps * (P1 + P2) / 2`` on a balanced one
  (the same laser feeds both photodiodes), where
  ``eps = 10**(-cmrr_db / 20)`` is its finite common-mode rejection
  (``cmrr_db``, default :data:`DEFAULT_CMRR_DB` = 30 dB). With equal light
  on both photodiodes, what is left of the RIN is that of one photodiode,
  ``cmrr_db`` lower; the shot noise of both remains.

At the sample rate fs a density S becomes a variance ``S * fs / 2``, so the
spectrum of the samples, calibrated to optical power, shows each term at its
density (through the antialias filter's response when it is on). The terms
are drawn as one Gaussian of their summed variance, which is exactly the
distribution of their sum; the levels follow the mean power (modulation
does not change them). ``noise=False`` switches every term off; powerdown
leaves 0.5 counts rms of electronic noise only.

Calibrations (µW at peak responsivity from ADC code or volts at the ADC
input, volts = code * 2.0 / 16384); they invert the model exactly:

- digital high/low gain: ``(1/gain, -offset/gain)``; analog high/low gain:
  ``(8192/gain, -offset/gain)``;
- auto: the digital calibration of the current gain;
- balanced digital/analog, p1 digital: as auto (digital/analog) at the
  current gain; p2 digital: ``(-1/gain, offset/gain)`` (P2 pulls the code
  down); p1/p2 analog: the monitor outputs, 1 V/mW: ``(1000.0, 0.0)``;
- codes 5-10 exist on balanced units only; elsewhere, and for unknown codes,
  the call fails with ZO_ERROR_PARAMS and (0.0, 0.0).

``zo_get_rel_calibration`` divides both coefficients by the relative
responsivity; outside the band (responsivity 0) it fails with
ZO_ERROR_PARAMS, as do wavelengths that are not finite and positive (also
for ``zo_get_rel_responsivity``, which answers :data:`BAD_DOUBLE`).

Time, acquisition and triggers
------------------------------
Instrument time is the sample index. Each instrument keeps a clock, the
index of its next sample, that moves only while it acquires or waits; the
signal is a pure function of the index (noise comes from a seeded table), so
the same seed and settings give the same samples, also after :func:`reset`.
Sample words carry port S in bit 14 and port T in bit 15.

A triggered acquisition skips ``arm_time`` samples, then starts at the first
sample where the condition holds (an edge at sample n means the level at n
differs from the level at n - 1); with ``samples_per_trigger`` it records
that many, re-arms and waits for the next trigger until ``nsamples`` are
taken. Every skipped sample moves the clock. A wait that exceeds the
trigger timeout (:func:`set_timeout`, instrument time counted from the start
of arming, 1 s by default) fails with ZO_ERROR_USB_TIMEOUT, at once unless
:func:`set_realtime` is on. ``nsamples`` 0 succeeds and writes nothing;
``samples_per_trigger`` 0, an unknown trigger mode or a null buffer fail with
ZO_ERROR_PARAMS.

Ports and LEDs
--------------
Port times are in cycles of the 200 MHz port clock (:data:`PORT_CLOCK_HZ`),
20 cycles per sample at 10 MS/s. ``zo_port_drive`` drives a level,
``zo_port_pwm`` a square wave high for ``threshold`` of every ``period``
cycles starting high (``threshold >= period``: always high; period 0 fails
with ZO_ERROR_PARAMS), ``zo_port_pulse`` one high pulse starting at the
instrument's current time, seen by the samples taken while it is high.
Driving S or T makes it an output until ``zo_reset_device``: its bit then
follows the driven signal, and :func:`set_port_input` no longer reaches it.
``zo_port_read`` gives the level at the instrument's current time: the input
on S and T, the driven level on A, B and S/T outputs, and whether an LED is
lit. Ports outside 0..6 fail with ZO_ERROR_PARAMS.

Test patterns
-------------
``zo_test_pn9``: the words of :func:`pn9_words`, word 0 at the sample the
command was given (so the next capture starts at word 0 and later captures
continue the sequence). ``zo_test_checkerboard``: 0x2AAA, 0x1555, ...
starting likewise. ``zo_test_user(v)``: ``v & 0x3FFF``. Bits 14 and 15 still
carry the ports. ``zo_reset_device`` restores every power-on value (the
clock, light and port inputs are the bench's and stay).

Requests and registers
----------------------
Request 192 (out) with index i stores ``value`` as a pending write to
register i (0..255); writing value 1 to index 255 applies all pending
writes. Request 194 (in) reads applied register i little-endian into the
first one or two bytes of the data stage. Register 11 is the clock divider
minus one: once applied, the sample rate is the base rate divided by the
divider. Request 200 is a loopback: out stores its data stage in a
1024-byte scratch buffer, in reads that buffer back (so the data path can be
checked). Other requests succeed: out data is ignored, in data is
zero-filled. A register index above 255 fails with ZO_ERROR_PARAMS, as does
a null data pointer with a non-zero length.

Handles and errors
------------------
Opening fails with ZO_ERROR (-1) before ``zo_init`` or after ``zo_exit``,
and with ZO_ERROR_INVALID_DEVICE when no unclaimed instrument matches; an
open instrument is not found again until it is closed. ``zo_exit`` ends
every open handle (``zo_close_device`` still releases it). A null, closed,
stale or made-up handle is never dereferenced: every call answers its
failure value with ZO_ERROR_INVALID_DEVICE. Failing commands return the
error code as their status; failing readers return -1 (ints), 255,
0xFFFFFFFF, (255, 255, 255), null, :data:`BAD_DOUBLE` or (0.0, 0.0).

The last error is per thread; only failing calls (and overrides that carry
an error) write it, a successful call leaves it as it was.

Bench files
-----------
:func:`load_bench` resets the bench and builds the one a TOML file describes
(instruments, light, port inputs, timeout, real time, call log switch,
overrides); :func:`save_bench` writes the current one. With the environment
variable ``ZOPY_BENCH`` naming such a file, ``import zopy`` builds that bench
as the library loads, so ``ZOPY_BENCH=lab.toml python experiment.py`` runs an
unchanged program on it; a file that cannot be read or is invalid makes the
import fail with ImportError naming the file, the key and the fault.
:func:`reset` still gives the default bench, not the file's. The format, key
by key, is in :func:`load_bench`'s help. :func:`describe_bench` and
:func:`build_bench` do the same with a dict instead of a file. Under pytest,
the fixtures of the plugin ``zopy`` (module ``zopy.pytest_plugin``) give each test a
fresh bench and put the previous one back afterwards.

Bench helpers
-------------
``zopy._sim.time_call(name, serial, n)`` returns the seconds per call of a
bare library call (``"zo_get_samplerate"``, ``"zo_read_highgain"``,
``"zo_get_calibration"``, ``"zo_get_raw_data"`` of one sample, ...) made
``n`` times in a C++ loop, and ``zopy._sim.time_raw_fill(serial, n,
repeats=5)`` the best time of ``zo_get_raw_data`` filling a freshly
allocated block of ``n`` samples. Both use a handle of their own (the
instrument may be open elsewhere) and are neither logged nor overridden.
``zopy._sim.time_logged_call(name, serial, n)`` times as ``time_call`` does
but logs the calls when the log is on, which measures what the log costs.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

try:
    from . import _sim
except ImportError as exc:   # a build against the maker's libzo has no bench
    raise ImportError("zopy.sim scripts the virtual instrument, which this build of zopy does "
                      "not include: it links against another libzo") from exc

__all__ = [
    "BAD_DOUBLE", "COUNTS_PER_UW_HIGH", "COUNTS_PER_UW_LOW", "DEFAULT_CMRR_DB", "DEFAULT_LOG_CAPACITY",
    "DEFAULT_SAMPLERATE",
    "DEFAULT_SEED", "DEFAULT_SERIAL", "DEFAULT_TIMEOUT", "OFFSET_BALANCED", "OFFSET_SINGLE",
    "PORT_CLOCK_HZ", "attach", "calls", "checkerboard_words", "clear_calls", "detach",
    "detach_all", "devices", "last_error", "leds", "override", "pn9_words", "port_state", "realtime",
    "reset", "set_error", "set_light", "set_logging", "set_port_input", "set_realtime",
    "set_timeout", "started", "state", "timeout",
    "dropped_calls", "log_capacity", "set_log_capacity",
]

_DEFAULT = _sim.default_device()

DEFAULT_SERIAL: str = _DEFAULT["serial"]
DEFAULT_SAMPLERATE: int = _DEFAULT["samplerate"]
BAD_DOUBLE: float = _sim.BAD_DOUBLE
COUNTS_PER_UW_HIGH = 81.92
COUNTS_PER_UW_LOW = 8.192
OFFSET_SINGLE = 200
OFFSET_BALANCED = 8192
PORT_CLOCK_HZ = 200e6
# The library's defaults; its ranges are _sim.MAX_POWER_UW and its kin.
DEFAULT_SEED: int = _sim.DEFAULT_SEED
DEFAULT_TIMEOUT: float = _sim.DEFAULT_TIMEOUT
DEFAULT_CMRR_DB: float = _sim.DEFAULT_CMRR_DB
DEFAULT_LOG_CAPACITY: int = _sim.DEFAULT_LOG_CAPACITY   # calls; what reset() restores

_PORTS = {"A": 0, "B": 1, "S": 2, "T": 3, "LEDR": 4, "LEDG": 5, "LEDB": 6}


def _port_number(port, allowed=range(7)):
    number = _PORTS.get(port, port) if isinstance(port, str) else port
    if isinstance(number, bool) or not isinstance(number, int) or number not in allowed:
        raise ValueError(f"invalid port {port!r}")
    return number


def _text_bytes(text):
    if isinstance(text, str):
        return text.encode("utf-8")
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    raise TypeError("text must be str or bytes")


# ---------------------------------------------------------------- instruments

def reset():
    """The default bench again.

    The default instrument attached (fresh, closed, clock 0, dark), nothing
    else; no pending overrides, the call log emptied, switched on and back to
    its default capacity, trigger
    timeout 1 s, real time off. Handles opened before go stale: every call on
    them fails with ZO_ERROR_INVALID_DEVICE except ``zo_close_device``, which
    releases them. Whether the library is started does not change.
    """
    _sim.reset()


def attach(serial: str, product: str = "KV310", *, balanced: bool = False,
           samplerate: int = DEFAULT_SAMPLERATE, adcbits: int = 14,
           fwversion: Sequence[int] = (1, 0, 0), usb_speed: int = 3,
           peak_responsivity: int = 1550) -> None:
    """Attach another instrument, dark and closed, after those already attached.

    ``samplerate`` is its base rate (clock divider 1); ``peak_responsivity``
    the wavelength in nm where its relative responsivity is 1. Raises
    ValueError for a serial already attached or values a unit cannot report.
    """
    if not isinstance(serial, str) or not serial:
        raise ValueError("serial must be a non-empty str")
    if not 1 <= int(samplerate) <= 0xFFFFFFFE:
        raise ValueError("samplerate must be between 1 and 4294967294")
    if not 0 <= int(adcbits) <= 255:
        raise ValueError("adcbits must fit 8 bits")
    fw = tuple([int(v) for v in fwversion]) if len(fwversion) == 3 else ()
    if not fw or not (0 <= fw[0] <= 255 and 0 <= fw[1] <= 255 and 0 <= fw[2] <= 255):
        raise ValueError("fwversion must be three numbers 0..255")
    if int(peak_responsivity) <= 0:
        raise ValueError("peak_responsivity must be a positive wavelength in nm")
    _sim.attach(serial, str(product), bool(balanced), int(samplerate), int(adcbits), fw,
                int(usb_speed), int(peak_responsivity))


def detach(serial):
    """Detach an instrument, as if its cable were pulled.

    Its open handles go stale (calls fail with ZO_ERROR_INVALID_DEVICE,
    ``zo_close_device`` releases them). Returns whether it was attached.
    """
    return _sim.detach(serial)


def detach_all():
    """Detach every instrument."""
    _sim.detach_all()


def unplug_after(reads, *, serial=None):
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


def devices():
    """Serials of the attached instruments, in attach order."""
    return _sim.devices()


def started():
    """Whether ``zo_init`` has started the library (and no ``zo_exit`` since)."""
    return _sim.started()


# ------------------------------------------------- call log, overrides, errors

def override(function, result, *, error=None, times=1):
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
    code, text = None, b""
    if error is not None:
        code, text = error
        code, text = int(code), _text_bytes(text)
    if isinstance(times, bool) or not isinstance(times, int) or times < 1:
        raise ValueError("times must be an int of at least 1")
    _sim.override(function, result, times, code, text)


def set_error(code, text):
    """Set the calling thread's last error; ``text`` as bytes (any bytes) or str."""
    _sim.set_error(int(code), _text_bytes(text))


def last_error():
    """The calling thread's last error as (code, text bytes), without a library call."""
    return _sim.last_error()


def calls():
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
    return _sim.calls()


def clear_calls():
    """Empty the call log (and zero :func:`dropped_calls`)."""
    _sim.clear_calls()


def set_logging(enabled):
    """Switch the call log on (the default) or off; off, it costs nothing."""
    _sim.set_logging(bool(enabled))


def set_log_capacity(n):
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


def log_capacity():
    """How many calls the log keeps at most."""
    return _sim.log_capacity()


def dropped_calls():
    """How many calls the log has dropped (as the oldest, when full) since
    :func:`reset` or :func:`clear_calls`; 0 means :func:`calls` has them all."""
    return _sim.dropped_calls()


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


def port_state(port, *, serial=None):
    """What a port or LED ("A", "B", "S", "T", "LEDR", "LEDG", "LEDB" or 0..6) does.

    A dict: ``direction`` ("input", "output" or "monitor"), ``drive`` ("",
    "level", "pwm" or "pulse"), ``level`` (at the instrument's current time),
    ``threshold`` and ``period`` (cycles, as last driven) and, on S and T,
    ``frequency_hz`` and ``duty`` of the applied input (frequency 0: level).
    """
    return _sim.port_state(serial, _port_number(port))


def leds(*, serial=None):
    """LED brightness 0..1 by colour ("R", "G", "B"): on 1, off 0, a square wave
    its duty cycle, a pulse whether it is still lit."""
    out = {}
    for colour in "RGB":
        p = port_state("LED" + colour, serial=serial)
        if p["drive"] == "pwm":
            out[colour] = min(1.0, p["threshold"] / p["period"])
        else:
            out[colour] = 1.0 if p["level"] else 0.0
    return out


def state(*, serial=None):
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
    return _sim.state(serial)


# -------------------------------------------------------------------- timing

def set_timeout(seconds):
    """Trigger timeout in seconds of instrument time (default 1.0)."""
    _sim.set_timeout(float(seconds))


def timeout():
    """The trigger timeout in seconds."""
    return _sim.timeout()


def set_realtime(enabled):
    """Make acquisitions take as long as on the real unit (off by default).

    The library then sleeps, in short chunks and holding no global lock, for
    the duration of the samples taken and waited for.
    """
    _sim.set_realtime(bool(enabled))


def realtime():
    """Whether acquisitions run in real time."""
    return _sim.realtime()


# ------------------------------------------------------------ test patterns

def _pn9_cycle():
    bits = [1] * 9
    while len(bits) < 14 * 73:
        bits.append(bits[-9] ^ bits[-5])
    words = []
    for i in range(73):
        word = 0
        for b in bits[14 * i:14 * i + 14]:
            word = (word << 1) | b
        words.append(word)
    return np.array(words, dtype=np.uint16)


_PN9 = _pn9_cycle()


def pn9_words(n, start=0):
    """The ADC's PN9 test pattern: words ``start`` .. ``start + n - 1``.

    The bit sequence of x^9 + x^5 + 1: ``b[k] = 1`` for k < 9, then
    ``b[k] = b[k-9] ^ b[k-5]`` (period 511). Word i is the 14 bits
    ``b[14*i] .. b[14*i+13]``, the first as bit 13 (most significant), so
    word 0 is 0x3FE0 and the words repeat every 73. Returns a uint16 array.
    """
    return _PN9[(np.arange(n, dtype=np.int64) + start) % 73]


def checkerboard_words(n, start=0):
    """The checkerboard test pattern: 0x2AAA at even word numbers, 0x1555 at odd."""
    return np.where((np.arange(n, dtype=np.int64) + start) % 2 == 0, 0x2AAA, 0x1555).astype(np.uint16)


# --------------------------------------------------------------- bench files

from ._bench import (  # noqa: E402  (the bench files build on everything above)
    BenchFileError, build_bench, describe_bench, load_bench, save_bench,
)

__all__ += ["BenchFileError", "build_bench", "describe_bench", "load_bench", "save_bench",
            "unplug_after"]
