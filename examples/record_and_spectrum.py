"""Record a stream and look at its noise spectrum, on a virtual balanced unit.

Shines 1 mW on each photodiode of a virtual balanced KV310 from a laser with
-130 dB/Hz of intensity noise, records 0.1 s of its stream into an HDF5 file
and draws the noise spectrum against the shot-noise level of the 2 mW on
both photodiodes. The balanced subtraction takes the laser's noise down by
its common-mode rejection, so what is left sits close to shot noise. With a
real instrument, run the same two commands without the bench set-up:

    zopy record OUT/stream.h5 --seconds 0.1 --serial SERIAL
    zopy psd OUT/stream.h5 --power 2000 --plot OUT/spectrum.png

Usage: ``python examples/record_and_spectrum.py OUTPUT_FOLDER``
"""

import pathlib
import sys

from zopy import sim
from zopy.cli import main

SERIAL = "KV31B-DEMO"


def run(out: pathlib.Path) -> int:
    out.mkdir(parents=True, exist_ok=True)
    sim.attach(SERIAL, balanced=True)
    sim.set_light(1000.0, serial=SERIAL, p2_power_uw=1000.0, rin_db_hz=-130.0)
    print(f"Virtual bench: balanced unit {SERIAL}, 1 mW on each photodiode, RIN -130 dB/Hz\n")
    status = main(["record", str(out / "stream.h5"), "--seconds", "0.1", "--serial", SERIAL,
                   "--force"])
    if status:
        return status
    print()
    status = main(["psd", str(out / "stream.h5"), "--power", "2000",
                   "--plot", str(out / "spectrum.png"), "--force"])
    if not status:
        print(f"\nRecording and spectrum are in {out.resolve()}/")
    return status


if __name__ == "__main__":
    sys.exit(run(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output")))
