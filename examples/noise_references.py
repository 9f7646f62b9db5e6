"""The spectrum against its references, drawn for README: a virtual balanced
unit with 10 mW on each photodiode, recorded through a 300 kHz low-pass
stream, against the shot-noise level through that filter and the dark floor
recorded with the light off.

Writes ``OUTPUT_FOLDER/noise_references.png`` (README shows it as
``docs/noise_references.png``) and prints what ``zopy psd`` prints.

Usage: ``python examples/noise_references.py [OUTPUT_FOLDER]``
"""

import pathlib
import sys

from zopy import sim
from zopy.cli import main

SERIAL = "KV31B-REF"
EACH_ARM_UW = 10_000.0
STREAM = ["--filter", "lowpass", "--cutoff", "300e3", "--downsampling", "4", "--seconds", "0.2"]


def run(out: pathlib.Path) -> int:
    out.mkdir(parents=True, exist_ok=True)
    sim.attach(SERIAL, balanced=True)
    for name, power in (("dark", 0.0), ("lit", EACH_ARM_UW)):
        sim.set_light(power, serial=SERIAL, p2_power_uw=power, rin_db_hz=-150.0)
        status = main(["record", str(out / f"{name}.h5"), "--serial", SERIAL, "--force", *STREAM])
        if status:
            return status
    return main(["psd", str(out / "lit.h5"), "--dark", str(out / "dark.h5"),
                 "--power", str(2 * EACH_ARM_UW), "--plot", str(out / "noise_references.png"),
                 "--force"])


if __name__ == "__main__":
    sys.exit(run(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output")))
