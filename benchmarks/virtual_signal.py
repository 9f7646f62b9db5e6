"""Signal generation speed of the virtual instrument.

Measures how many raw samples per second the virtual libzo renders on one
core, for the signal configurations that cost differently, and compares
each with the goal of 300 million samples per second. Run by hand:

    .venv/bin/python benchmarks/virtual_signal.py [--samples N] [--repeats R]

"render" is the signal generator alone, into a buffer already in memory;
"raw fill" is zo_get_raw_data into a freshly allocated block (page faults
included), as the extension module's get_raw_data uses it.
"""

import argparse

from zopy import _timing, sim

from timing import ratio, sized

GOAL = 300e6

CASES = [
    ("dark, noise", dict(power_uw=0.0)),
    ("50 uW, noise", dict(power_uw=50.0)),
    ("50 uW, modulated, noise", dict(power_uw=50.0, modulation_hz=1e5, modulation_depth=0.5)),
    ("50 uW, shot noise and RIN", dict(power_uw=50.0, rin_db_hz=-130.0)),
    ("50 uW, no noise", dict(power_uw=50.0, noise=False)),
]


def measure(n, repeats, serial):
    render = n / _timing.time_render(serial, n, repeats)
    fill = n / _timing.time_raw_fill(serial, n, repeats)
    return render, fill


def report(label, render, fill):
    ratio(f"{label}: render / 300 MS/s", render / GOAL, ">= 1")
    ratio(f"{label}: raw fill / 300 MS/s", fill / GOAL, ">= 1")
    print(f"{label:34s} render {render / 1e6:8.0f} MS/s ({render / GOAL:5.1f}x goal)"
          f"   raw fill {fill / 1e6:8.0f} MS/s ({fill / GOAL:5.1f}x goal)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=sized(1 << 23, 1 << 12))
    parser.add_argument("--repeats", type=int, default=sized(7, 1))
    parser.add_argument("--tiny", action="store_true", help="at a tiny size (the test suite's)")
    args = parser.parse_args()

    sim.reset()
    serial = sim.DEFAULT_SERIAL
    for label, light in CASES:
        sim.set_light(**light)
        report(label, *measure(args.samples, args.repeats, serial))
    sim.set_light(50.0, modulation_hz=1e5, modulation_depth=0.5)
    sim.set_port_input("S", frequency_hz=1e4)
    sim.set_port_input("T", frequency_hz=3e5, duty=0.2)
    report("modulated, noise, S and T waves", *measure(args.samples, args.repeats, serial))
    sim.reset()


if __name__ == "__main__":
    main()
