"""get_calibrated_data on a plain Device, fresh and into a reused buffer.

N = 10**7, best of REPEAT, with the library's fill of a fresh block timed in
C++ as the yardstick that does not depend on the module. In one run:
  * numpy's two-step on fresh arrays, raw = dev.get_raw_data(N); raw * m + b,
    vs get_calibrated_data(N) (target: at least 1.3 x);
  * the same at a wavelength (get_rel_calibration) for information;
  * get_calibrated_data(N, out=buf) vs the library fill (lower is better;
    compare runs of this file before and after a change) and vs numpy's
    two-step into reused buffers;
  * a subclass that overrides get_calibration, which takes the route through
    attribute lookup, vs a plain Device, for information.
Prints figures and ratios; asserts nothing (the machine is shared).
"""

import numpy

import zopy
from zopy import _timing, sim

from timing import FILL_SERIAL, best, lit_bench, ratio, sized

N = sized(10**7, 10**4)
REPEAT = sized(15, 1)


class OwnCalibration(zopy.Device):
    def get_calibration(self, type="auto"):
        return super().get_calibration(type)


def main():
    lit_bench()
    dev = zopy.Device()
    m, b = dev.get_calibration()
    raw = numpy.empty(N, numpy.uint16)
    power = numpy.empty(N)

    def fresh_two_step():
        codes = dev.get_raw_data(N)
        return codes * m + b

    def reused_two_step():
        dev.get_raw_data(N, out=raw)
        numpy.multiply(raw, m, out=power)
        power.__iadd__(b)

    t_fill = _timing.time_raw_fill(FILL_SERIAL, N, REPEAT)
    t_two_step = best(fresh_two_step, REPEAT)
    t_fresh = best(lambda: dev.get_calibrated_data(N), REPEAT)
    t_fresh_rel = best(lambda: dev.get_calibrated_data(N, 1310), REPEAT)
    t_out = best(lambda: dev.get_calibrated_data(N, out=power), REPEAT)
    t_reused_two_step = best(reused_two_step, REPEAT)
    dev.close()
    mine = OwnCalibration()
    t_subclass = best(lambda: mine.get_calibrated_data(N), REPEAT)
    mine.close()
    sim.set_logging(True)

    ms = 1e3
    print(f"N = {N}, best of {REPEAT}")
    print(f"library fill into a fresh block (C++)   {t_fill * ms:8.2f} ms")
    print(f"numpy two-step, fresh arrays            {t_two_step * ms:8.2f} ms")
    print(f"get_calibrated_data(N)                  {t_fresh * ms:8.2f} ms")
    print(f"get_calibrated_data(N, 1310)            {t_fresh_rel * ms:8.2f} ms")
    print(f"get_calibrated_data(N, out=buf)         {t_out * ms:8.2f} ms")
    print(f"numpy two-step, reused buffers          {t_reused_two_step * ms:8.2f} ms")
    print(f"subclass overriding get_calibration     {t_subclass * ms:8.2f} ms")
    print(f"numpy two-step fresh / calibrated fresh = {ratio('numpy two-step fresh / calibrated fresh', t_two_step / t_fresh, '>= 1.3'):.2f} (target >= 1.3)")
    print(f"calibrated fresh at 1310 / at the peak  = {t_fresh_rel / t_fresh:.2f} (for information)")
    print(f"calibrated out / library fresh fill     = {t_out / t_fill:.3f} (lower is better)")
    print(f"numpy two-step reused / calibrated out  = {t_reused_two_step / t_out:.2f} "
          f"(higher is better)")
    print(f"subclass / plain calibrated fresh       = {t_subclass / t_fresh:.2f} (for information)")


if __name__ == "__main__":
    main()
