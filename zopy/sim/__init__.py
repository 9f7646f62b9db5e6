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
the fixtures of the plugin ``zopy`` (module ``_zopy_pytest``) give each test a
fresh bench and put the previous one back afterwards.
"""

try:
    from .. import _sim  # type: ignore[attr-defined]  # noqa: F401  (a compiled module that ships no stub)
except ImportError as exc:   # a build against the maker's libzo has no bench
    raise ImportError("zopy.sim scripts the virtual instrument, which this build of zopy does "
                      "not include: it links against another libzo") from exc

from ._control import *  # noqa: F401,F403  (its __all__: the bench's functions and constants)
from ._control import __all__ as _control_names
from ._bench_files import (BenchFileError, bench_template, bench_toml, build_bench, describe_bench,
                           load_bench, save_bench)

__all__ = [*_control_names, "BenchFileError", "bench_template", "bench_toml", "build_bench",
           "describe_bench", "load_bench", "save_bench"]
