"""ADC self-test: check an instrument's converter with its test patterns.

Run it after connecting an instrument (``python examples/adc_selftest.py
[serial]``, or ``zopy selftest [--serial SERIAL]``). The ADC is switched
through its test patterns (checkerboard, user words, PN9) and each capture is
compared bit for bit with what the pattern must be; then the ADC is put back
to normal conversion. Exit status 0 when all pass. :mod:`zopy.selftest`
holds the checks and says how each pattern is formed.
"""

import sys

import zopy
from zopy import selftest


def main(argv: list[str]) -> int:
    dev = zopy.Device(serial=argv[1] if len(argv) > 1 else None)
    try:
        return 0 if selftest.run(dev) else 1
    finally:
        dev.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
