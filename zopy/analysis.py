"""Noise spectra of optical power against the shot-noise level, and plots.

::

    from zopy import analysis

    power_w = dev.get_calibrated_data(1_000_000) * 1e-6
    s = analysis.psd(power_w, dev.samplerate)            # Welch, W^2/Hz
    level = analysis.shot_noise_level(power_w.mean(), 1550)
    print(analysis.clearance_db(s, level, (10e3, 1e6)))  # dB above shot noise

The shot-noise level is ``2 h nu P`` (one-sided, W²/Hz of optical power),
with P the mean power on a single photodiode, or for a balanced unit the
total power on both photodiodes (the balanced output's mean is P1 - P2,
which says nothing about it, so the caller gives it).

scipy (Welch's method) and matplotlib (plots, Agg backend, no display) come
with the ``tools`` extra.
"""

import dataclasses

import numpy

from ._extras import pyplot, require

PLANCK = 6.62607015e-34     # J s
LIGHT_SPEED = 299792458.0   # m/s
FIGURE_SIZE = (8.0, 5.0)    # inches
DPI = 100                   # so figures are 800 x 500 pixels


@dataclasses.dataclass
class Spectrum:
    frequency_hz: numpy.ndarray
    density: numpy.ndarray      #: one-sided power spectral density, (units)^2/Hz
    resolution_hz: float        #: bin spacing


def shot_noise_level(power_w, wavelength_nm):
    """One-sided shot-noise density ``2 h nu P`` in W²/Hz."""
    return 2.0 * PLANCK * LIGHT_SPEED / (wavelength_nm * 1e-9) * power_w


def psd(samples, samplerate_hz, segment=None):
    """Welch's estimate: Hann windows, half overlap, mean removed per segment.

    ``segment`` defaults to 4096 samples, or the whole block when shorter.
    """
    signal = require("scipy.signal")
    n = len(samples)
    if n < 16:
        raise ValueError(f"a spectrum needs at least 16 samples, not {n}")
    nperseg = min(n, segment or 4096)
    f, p = signal.welch(numpy.asarray(samples, dtype=numpy.float64), fs=samplerate_hz,
                        window="hann", nperseg=nperseg, detrend="constant", scaling="density")
    return Spectrum(f, p, samplerate_hz / nperseg)


def default_band(samplerate_hz, resolution_hz):
    """Above the lowest bins (mean removal, drift), below the antialias roll-off."""
    return (max(10 * resolution_hz, samplerate_hz * 1e-3), samplerate_hz * 0.02)


def band_mean(spectrum, band):
    low, high = band
    inside = (spectrum.frequency_hz >= low) & (spectrum.frequency_hz <= high)
    if not inside.any():
        raise ValueError(f"no frequency bin in {low:g}..{high:g} Hz")
    return float(spectrum.density[inside].mean())


def clearance_db(spectrum, level, band):
    """The mean density over ``band`` relative to ``level``, in dB."""
    return 10.0 * numpy.log10(band_mean(spectrum, band) / level)


def plot_spectrum(spectrum, path, *, level=None, title="", units="W"):
    """Log-log spectrum with the shot-noise line (when ``level`` is given), as PNG."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=FIGURE_SIZE, dpi=DPI)
    try:
        f, p = spectrum.frequency_hz[1:], spectrum.density[1:]   # no DC bin on a log axis
        ax.loglog(f, p, lw=0.8, label="measured")
        if level is not None:
            ax.axhline(level, color="C3", ls="--", label=f"shot noise 2hνP = {level:.3g} {units}²/Hz")
        ax.set_xlabel("frequency (Hz)")
        ax.set_ylabel(f"power spectral density ({units}²/Hz)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(loc="best")
        fig.savefig(path, dpi=DPI)
    finally:
        plt.close(fig)


def plot_trace(samples, path, *, samplerate_hz=None, units="", title=""):
    """A time trace as PNG: against milliseconds when the rate is known, else samples."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=FIGURE_SIZE, dpi=DPI)
    try:
        if samplerate_hz:
            ax.plot(numpy.arange(len(samples)) / samplerate_hz * 1e3, samples, lw=0.6)
            ax.set_xlabel("time (ms)")
        else:
            ax.plot(samples, lw=0.6)
            ax.set_xlabel("sample")
        ax.set_ylabel(units or "value")
        ax.set_title(title)
        ax.grid(True, alpha=0.3)
        fig.savefig(path, dpi=DPI)
    finally:
        plt.close(fig)
