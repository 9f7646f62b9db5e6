"""ADC self-test: check an instrument's converter with its test patterns.

The ADC is switched through its test patterns and each capture is compared
bit for bit with what the pattern must be:

* checkerboard: alternating 0x2AAA and 0x1555;
* user words: the chosen 14-bit constant in every sample;
* PN9: the pseudo-random sequence of x^9 + x^5 + 1, formed as below;

then the ADC is put back to normal conversion (also when a check fails).
A check whose library call fails is reported as failed with the library's
error, and the others still run.

PN9 words: the bit sequence ``b[k] = 1`` for k < 9, then
``b[k] = b[k-9] ^ b[k-5]`` (period 511); word i holds the 14 bits
``b[14*i] .. b[14*i+13]``, the first as its most significant bit, so word 0 is
0x3FE0 and the words repeat every 73. A capture may start anywhere in that
cycle; it must then follow it without a slip.

``zopy selftest`` (or ``python -m zopy selftest``) runs it.
"""

from collections.abc import Callable

import numpy
import numpy.typing as npt

from .zopy import Device, Error

ADC_MASK = 0x3FFF
PN9_PERIOD = 73


def pn9_cycle() -> npt.NDArray[numpy.uint16]:
    """The 73 words of one PN9 cycle, as uint16."""
    bits = [1] * 9
    while len(bits) < 14 * PN9_PERIOD:
        bits.append(bits[-9] ^ bits[-5])
    words = [int("".join(map(str, bits[14 * i:14 * i + 14])), 2) for i in range(PN9_PERIOD)]
    return numpy.array(words, dtype=numpy.uint16)


def check_checkerboard(dev: Device, n: int) -> bool:
    dev.test_checkerboard()
    words = dev.get_raw_data(n)
    first = 0x2AAA if words[0] == 0x2AAA else 0x1555
    expected = numpy.where(numpy.arange(n) % 2 == 0, first, first ^ ADC_MASK)
    return numpy.array_equal(words, expected)


def check_user_words(dev: Device, n: int) -> bool:
    for value in (0x0000, 0x3FFF, 0x2A5A, 0x1234):
        dev.test_user(value)
        if not numpy.all(dev.get_raw_data(n) == value):
            return False
    return True


def check_pn9(dev: Device, n: int) -> bool:
    dev.test_pn9()
    words = dev.get_raw_data(n)
    cycle = pn9_cycle()
    starts = numpy.flatnonzero(cycle == words[0])
    return any(numpy.array_equal(words, cycle[(start + numpy.arange(n)) % PN9_PERIOD])
               for start in starts)


def check_normal(dev: Device, n: int) -> bool:
    dev.test_normal()
    words = dev.get_raw_data(n)
    return not (numpy.array_equal(words, pn9_cycle()[:n]) or numpy.all(words == words[0]))


CHECKS = [("checkerboard", check_checkerboard), ("user words", check_user_words),
          ("PN9", check_pn9), ("normal conversion", check_normal)]


def run(dev: Device, n: int = 4096, out: Callable[[str], object] = print) -> bool:
    """Runs every check on an open device, reporting through ``out``; True if all pass."""
    out(f"ADC self-test of {dev!r} ({dev.adcbits}-bit ADC)")
    failed = 0
    try:
        for name, check in CHECKS:
            try:
                ok, reason = check(dev, n), ""
            except Error as exc:     # the library's code and text say what to look at
                ok, reason = False, f": {exc}"
            failed += not ok
            out(f"  {name:18s} {'pass' if ok else 'FAIL' + reason}")
    finally:
        dev.test_normal()
    out("ADC self-test " + ("passed" if not failed else f"failed ({failed} of {len(CHECKS)})"))
    return not failed
