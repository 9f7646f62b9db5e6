"""Interpreter exit: with Devices and Streams alive in every order, and with
daemon threads still inside every kind of acquisition.

At exit Python (3.12 and 3.13) ends a daemon thread that tries to take the
interpreter lock back; its stack is unwound through the module's frames, which
must give nothing back to Python then. Each scenario runs in fresh
interpreters, which must exit with status 0 and print nothing on stderr.
ZOPY_EXIT_RUNS sets how many times each runs (`make stress` raises it).
"""

import itertools
import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

RUNS = int(os.environ.get("ZOPY_EXIT_RUNS", "2"))
SINGLE_THREAD_RUNS = max(1, RUNS // 2)   # no thread timing to vary: fewer runs


def run_exits(code, runs=RUNS):
    """Runs `code` `runs` times, two at a time; returns the failed runs."""
    code = textwrap.dedent(code)

    def one(_):
        try:
            r = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True,
                               text=True, timeout=60)
        except subprocess.TimeoutExpired:
            return "hung"
        return None if r.returncode == 0 and r.stderr == "" else f"exit {r.returncode}: {r.stderr}"

    with ThreadPoolExecutor(2) as pool:
        return [f for f in pool.map(one, range(runs)) if f]


def assert_clean_exits(code, runs=RUNS):
    failures = run_exits(code, runs)
    assert not failures, f"{len(failures)} of {runs} runs failed; first:\n{failures[0]}\n{code}"


# ------------------------------------------------- daemon threads mid-acquisition

# What each daemon thread does over and over, with what it needs first.
ACQUISITIONS = {
    "raw": ("", "dev.get_raw_data(100_000)"),
    "raw unmasked": ("", "dev.get_raw_data(50_000, mask=False)"),
    "triggered": ("", "dev.get_raw_data(20_000, trig_mode='rising', trig_port='S')"),
    "triggered repeat": ("", "dev.get_raw_data(20_000, 1, 'falling', 'S', 10, 1000)"),
    "calibrated": ("", "dev.get_calibrated_data(50_000)"),
    "stream float32": ("s = dev.open_stream('float32')", "s.acquire(20_000)"),
    "stream float64 with bits": ("s = dev.open_stream('float64')", "s.acquire(20_000, getbits=True)"),
    # Python code called from inside the module's frames, where the
    # interpreter may hand the lock over (and end the thread).
    "python callbacks": (
        "class Mode(str):\n"
        "    def lower(self):\n"
        "        time.sleep(0)\n"
        "        return str.lower(self)\n"
        "class Slow(zopy.Stream):\n"
        "    @property\n"
        "    def dtype(self):\n"
        "        time.sleep(0)\n"
        "        return numpy.dtype('float32')\n"
        "s = Slow(dev, 'float32')",
        "dev.get_raw_data(20_000, trig_mode=Mode('high'), trig_port=Mode('S')); s.acquire(1000)"),
    "timing helpers": ("", "zopy._timing.time_call('zo_get_raw_data', sim.DEFAULT_SERIAL, 2000)"),
}

DAEMONS = """
    import numpy, threading, time, zopy
    import zopy._timing
    from zopy import sim
    sim.set_realtime({realtime})
    sim.set_port_input("S", frequency_hz=50_000)
    dev = zopy.Device()
    {setup}
    def work():
        while True:
            {call}
    for _ in range({threads}):
        threading.Thread(target=work, daemon=True).start()
    time.sleep(0.05)
    {ending}
"""

ENDINGS = {
    "plain": "",
    "after exit()": "zopy.exit()",
    "bench detached": "sim.detach_all()",
    "device closed": "dev.close()",
}


@pytest.mark.parametrize("realtime", [False, True], ids=["fast", "realtime"])
@pytest.mark.parametrize("kind", ACQUISITIONS)
def test_daemon_threads_inside_acquisitions(kind, realtime):
    setup, call = ACQUISITIONS[kind]
    code = textwrap.dedent(DAEMONS).format(realtime=realtime, setup=setup,
                                           call=call, threads=2, ending="")
    assert_clean_exits(code)


@pytest.mark.parametrize("ending", [e for e in ENDINGS if e != "plain"])
def test_daemon_threads_with_the_main_thread_pulling_the_rug(ending):
    setup, call = ACQUISITIONS["raw"]
    code = textwrap.dedent(DAEMONS).format(realtime=True, setup=setup, call=call, threads=2,
                                           ending=ENDINGS[ending])
    # The daemons' calls fail once the rug is gone; they must not end the loop.
    code = code.replace("            " + call, "            try:\n                " + call +
                        "\n            except zopy.Error:\n                pass")
    assert_clean_exits(code)


# ------------------------------------------------ live objects, one thread

OBJECTS = {
    "device": "dev = zopy.Device(serial=sim.DEFAULT_SERIAL)",
    "stream": "sim.attach('KV31STRM'); s = zopy.Device(serial='KV31STRM').open_stream('float64')",
    "diagnostic": "sim.attach('KV31DIAG'); dd = zopy.zopy._DDevice(serial='KV31DIAG')",
}

CYCLES = """
    class Holder(zopy.Device):
        pass
    h = Holder()
    h.stream = h.open_stream("float32")      # Device -> Stream -> Device
    class Looped(zopy.Stream):
        def close(self):
            self.closed_on = self.device       # a close of its own, run at exit
            super().close()
    l = Looped(h)
    l.me = l
    del h, l
"""


@pytest.mark.parametrize("order", list(itertools.permutations(OBJECTS)),
                         ids=lambda o: "-".join(o))
@pytest.mark.parametrize("ending", list(ENDINGS.keys())[1:3] + ["plain"])
def test_live_objects_in_every_order(order, ending):
    lines = ["import zopy", "from zopy import sim"] + [OBJECTS[name] for name in order]
    lines.append(ENDINGS[ending])
    assert_clean_exits("\n".join(lines), runs=SINGLE_THREAD_RUNS)


@pytest.mark.parametrize("ending", ENDINGS)
def test_reference_cycles_through_subclasses(ending):
    code = "import zopy\nfrom zopy import sim\n" + textwrap.dedent(CYCLES)
    assert_clean_exits(code + ENDINGS[ending].replace("dev.close()", ""), runs=SINGLE_THREAD_RUNS)


def test_a_stale_handle_after_reset_is_released_at_exit():
    assert_clean_exits("""
        import zopy
        from zopy import sim
        dev = zopy.Device()
        s = dev.open_stream()
        sim.reset()
        """, runs=SINGLE_THREAD_RUNS)
