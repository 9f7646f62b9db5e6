"""A QCoDeS sweep on a virtual balanced KV310: light power against noise, into SQLite.

Sweeps the light on a virtual balanced unit (P1, with P2 = 0.99 P1 on the
other photodiode) with ``dond``, measuring the mean power (P1 - P2) and the
noise spectrum into a QCoDeS data set in ``OUTPUT_FOLDER/kv310.db``, then
reads the data set back and prints each point's noise density against the
shot-noise level of the light on both photodiodes. With a real instrument,
make the light parameter your laser's and drop the bench set-up.

Usage: ``python examples/qcodes_sweep.py [OUTPUT_FOLDER]``
"""

import pathlib
import sys

import numpy
from qcodes.dataset import (
    LinSweep, dond, initialise_or_create_database_at, load_by_id, load_or_create_experiment,
)
from qcodes.parameters import Parameter

from zopy import sim
from zopy.qcodes import KV310

SERIAL = "KV31B-DEMO"
PLANCK, LIGHT_SPEED = 6.62607015e-34, 299792458.0


def set_light(p1_uw: float) -> None:
    sim.set_light(p1_uw, serial=SERIAL, p2_power_uw=0.99 * p1_uw)


def run(out: pathlib.Path) -> int:
    out.mkdir(parents=True, exist_ok=True)
    sim.attach(SERIAL, balanced=True)
    initialise_or_create_database_at(out / "kv310.db")
    experiment = load_or_create_experiment("light sweep", sample_name="virtual balanced KV310")
    light = Parameter("light", label="P1", unit="uW", get_cmd=None, set_cmd=set_light)
    kv = KV310("kv310", serial=SERIAL)
    try:
        kv.antialias(False)
        kv.npts(200_000)
        dataset = dond(LinSweep(light, 1000.0, 7000.0, 4), kv.power, kv.psd,
                       exp=experiment, do_plot=False, show_progress=False)[0]
        assert not isinstance(dataset, tuple)     # one data set: the sweep is not split
        rate = float(kv.samplerate())
        wavelength_nm = float(kv.wavelength())
    finally:
        kv.close()

    data = load_by_id(dataset.run_id).get_parameter_data()
    psd = data["kv310_psd"]
    frequency = psd["kv310_frequency_axis"][0]
    band = (frequency >= rate * 1e-3) & (frequency <= rate * 0.02)
    print(f"Run {dataset.run_id} in {out / 'kv310.db'}")
    print("   P1 (µW)   P1 - P2 (µW)   noise (W²/Hz)   shot noise (W²/Hz)   excess (dB)")
    for p1, mean, density in zip(data["kv310_power"]["light"], data["kv310_power"]["kv310_power"],
                                 psd["kv310_psd"]):
        shot = 2 * PLANCK * LIGHT_SPEED / (wavelength_nm * 1e-9) * 1.99 * p1 * 1e-6
        measured = float(density[band].mean())
        print(f"{p1:10.0f} {mean:14.3f} {measured:15.4g} {shot:20.4g} "
              f"{10 * numpy.log10(measured / shot):16.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(run(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output")))
