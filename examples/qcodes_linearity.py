"""The linearity test as a QCoDeS sweep: noise against optical power with ``dond``.

On a virtual KV310 the light is swept over a decade with ``dond``, measuring
the mean power and the noise spectrum into ``OUTPUT_FOLDER/kv310.db``; the
dark spectrum taken first (``dark_psd``: the bench switches the light off
for it) is taken off each point's noise in the band, and
:func:`zopy.analysis.linearity` fits the slope on a log-log scale: 1 where
shot noise dominates, 2 for the laser's intensity noise, 0 for the
electronics. With a real instrument, block the light before ``dark_psd``
and make the light parameter your laser's.

Usage: ``python examples/qcodes_linearity.py [OUTPUT_FOLDER]``
"""

import pathlib
import sys

import numpy
from qcodes.dataset import (
    ArraySweep, dond, initialise_or_create_database_at, load_by_id, load_or_create_experiment,
)
from qcodes.parameters import Parameter

from zopy import analysis, sim
from zopy.qcodes import KV310

POWERS_UW = [15.0, 25.0, 50.0, 100.0, 150.0]


def run(out: pathlib.Path) -> int:
    out.mkdir(parents=True, exist_ok=True)
    initialise_or_create_database_at(out / "kv310.db")
    experiment = load_or_create_experiment("linearity", sample_name="virtual KV310")
    light = Parameter("light", label="P", unit="uW", get_cmd=None,
                      set_cmd=lambda p: sim.set_light(p))
    kv = KV310("kv310_linearity")
    try:
        kv.npts(1 << 20)
        dark = kv.dark_psd()
        dataset = dond(ArraySweep(light, POWERS_UW), kv.power, kv.psd, exp=experiment,
                       do_plot=False, show_progress=False)[0]
        assert not isinstance(dataset, tuple)     # one data set: the sweep is not split
        frequency = kv.frequency_axis()
        band = analysis.default_band(float(kv.samplerate()))
    finally:
        kv.close()

    data = load_by_id(dataset.run_id).get_parameter_data()
    inside = (frequency >= band[0]) & (frequency <= band[1])
    powers = data["kv310_linearity_power"]["kv310_linearity_power"]
    densities = data["kv310_linearity_psd"]["kv310_linearity_psd"][:, inside].mean(axis=1)
    floor = float(dark[inside].mean())
    fit = analysis.linearity(powers, densities, dark=floor)
    print(f"Run {dataset.run_id} in {out / 'kv310.db'}; dark floor {floor:.4g} W²/Hz")
    print("    P (µW)   noise (W²/Hz)   above dark (W²/Hz)")
    for power, density in zip(powers, densities):
        print(f"{power:10.2f} {density:15.4g} {density - floor:20.4g}")
    print(f"slope {fit.slope:.3f} ± {fit.slope_error:.3f}: {fit.regime}")
    return 0 if numpy.isfinite(fit.slope) else 1


if __name__ == "__main__":
    sys.exit(run(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output")))
