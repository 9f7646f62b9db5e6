"""The main job on the virtual instrument: light on the bench, then check it.

Puts 50 µW at 1310 nm on the virtual KV310, then runs what ``python -m zopy``
does with any instrument: open it, print its identity, acquire a block and
print the mean optical power with its noise. With a real instrument, run
``python -m zopy --wavelength 1310`` instead.
"""

import sys

from zopy import sim
from zopy.cli import main

if __name__ == "__main__":
    sim.set_light(50.0, wavelength_nm=1310.0)
    print("Virtual bench: 50 µW at 1310 nm on the photodiode\n")
    sys.exit(main(["--wavelength", "1310"]))
