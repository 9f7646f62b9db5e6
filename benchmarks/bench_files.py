"""What bench files cost as the bench grows: describe_bench, build_bench and
load_bench at 10 000 and 100 000 instruments.

The ratio of the two sizes shows the growth: about 10 is linear, about 100
quadratic (target: every step of 100 000 instruments under 2 s, except the
TOML parsing of a saved file, which is the standard library's tomllib and
is shown apart). Each instrument has a light and a port input, as a saved
lab bench would. Times are the process's CPU seconds, which other programs
on a shared machine disturb less than wall time. Prints figures and ratios;
asserts nothing.
"""

import os
import tempfile
import time
import tomllib

from zopy import sim

from timing import ratio, sized

SIZES = sized((10_000, 100_000), (10, 100))


def seconds(function):
    start = time.process_time()
    function()
    return time.process_time() - start


def description(n):
    return {"instrument": [{"serial": f"LAB{i:06d}", "light": {"power_uw": 10.0},
                            "ports": {"S": {"level": True}}} for i in range(n)]}


def measure(n, folder):
    """Seconds of each step with a bench of n instruments."""
    serials_only = os.path.join(folder, f"serials-{n}.toml")
    with open(serials_only, "w", encoding="utf-8") as f:
        f.write("".join(f'[[instrument]]\nserial = "LAB{i:06d}"\n' for i in range(n)))
    saved = os.path.join(folder, f"saved-{n}.toml")
    out = {}
    sim.reset()
    out["build_bench from the default bench"] = seconds(lambda: sim.build_bench(description(n)))
    out["describe_bench"] = seconds(sim.describe_bench)
    described = sim.describe_bench()
    out["build_bench of it over itself (the pytest fixture's restore)"] = seconds(
        lambda: sim.build_bench(described))
    sim.reset()
    out["load_bench, serials only, from the default bench"] = seconds(
        lambda: sim.load_bench(serials_only))
    sim.build_bench(described)
    sim.save_bench(saved)
    sim.reset()
    out["load_bench of a saved bench, from the default bench"] = seconds(
        lambda: sim.load_bench(saved))

    def parse():
        with open(saved, "rb") as f:
            tomllib.load(f)
    out["  of which tomllib parsing"] = seconds(parse)
    sim.reset()
    return out


def main():
    with tempfile.TemporaryDirectory() as folder:
        small, large = (measure(n, folder) for n in SIZES)
    width = max(map(len, small))
    print(f"{'':{width}}  {SIZES[0]:>9,}  {SIZES[1]:>9,}  ratio")
    for step in small:
        print(f"{step:{width}}  {small[step]:8.2f}s  {large[step]:8.2f}s  "
              f"{large[step] / small[step]:5.1f}")
        ratio(f"{step}: x100 instruments", large[step] / max(small[step], 1e-9))


if __name__ == "__main__":
    main()
