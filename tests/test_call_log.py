"""The bench's call log: a ring of the latest calls, with a count of those dropped."""

import os
import resource
import threading

import pytest

import zopy
from zopy import sim


def sizes():
    """The sample counts of the logged raw reads, in log order."""
    return [c[2] for c in sim.calls() if c[0] == "zo_get_raw_data"]


class TestCapacity:
    def test_default_and_reset(self):
        assert sim.log_capacity() == sim.DEFAULT_LOG_CAPACITY == 100_000
        sim.set_log_capacity(5)
        sim.reset()
        assert sim.log_capacity() == 100_000 and sim.dropped_calls() == 0

    def test_the_latest_calls_are_kept_in_order_across_many_wraps(self, dev):
        sim.set_log_capacity(7)
        for n in range(1, 40):
            dev.get_raw_data(n)
        assert sizes() == list(range(33, 40))
        assert sim.dropped_calls() == 39 - 7

    def test_nothing_dropped_below_capacity(self, dev):
        sim.set_log_capacity(10)
        for n in range(10):
            dev.get_raw_data(n)
        assert sizes() == list(range(10)) and sim.dropped_calls() == 0
        dev.get_raw_data(10)
        assert sizes() == list(range(1, 11)) and sim.dropped_calls() == 1

    def test_shrinking_drops_the_oldest_at_once_and_growing_keeps_all(self, dev):
        for n in range(6):
            dev.get_raw_data(n)
        sim.set_log_capacity(4)
        assert sizes() == [2, 3, 4, 5] and sim.dropped_calls() == 2
        sim.set_log_capacity(6)
        dev.get_raw_data(6)
        dev.get_raw_data(7)
        assert sizes() == [2, 3, 4, 5, 6, 7] and sim.dropped_calls() == 2
        dev.get_raw_data(8)
        assert sizes() == [3, 4, 5, 6, 7, 8] and sim.dropped_calls() == 3

    def test_shrinking_a_wrapped_ring(self, dev):
        sim.set_log_capacity(5)
        for n in range(12):
            dev.get_raw_data(n)
        sim.set_log_capacity(3)
        assert sizes() == [9, 10, 11] and sim.dropped_calls() == 7 + 2
        dev.get_raw_data(12)
        assert sizes() == [10, 11, 12]

    def test_capacity_zero_keeps_nothing_but_counts(self, dev):
        sim.set_log_capacity(0)
        dev.get_raw_data(3)
        dev.adcbits
        assert sim.calls() == [] and sim.dropped_calls() == 2

    def test_clear_and_logging_off(self, dev):
        sim.set_log_capacity(2)
        for n in range(5):
            dev.get_raw_data(n)
        sim.clear_calls()
        assert sim.calls() == [] and sim.dropped_calls() == 0
        sim.set_logging(False)
        for n in range(5):
            dev.get_raw_data(n)
        assert sim.calls() == [] and sim.dropped_calls() == 0
        sim.set_logging(True)
        dev.get_raw_data(9)
        assert sizes() == [9]

    def test_entries_reused_with_other_arguments_read_back_exactly(self, dev, serial):
        # A ring slot first holds a call of one shape, then of another.
        sim.set_log_capacity(2)
        dev.port_pwm("LEDG", 3, 8)
        dev.get_rel_calibration(1310.5, "auto")
        dev.port_read("S")
        dev.get_calibration("analog lowgain")
        assert sim.calls() == [("zo_port_read", serial, 2), ("zo_get_calibration", serial, 3)]

    @pytest.mark.parametrize("bad", [-1, 1.5, True, "10", None])
    def test_refused_capacities(self, bad):
        with pytest.raises(ValueError, match="capacity"):
            sim.set_log_capacity(bad)
        assert sim.log_capacity() == sim.DEFAULT_LOG_CAPACITY == 100_000

    def test_threads_logging_at_once(self):
        sim.set_log_capacity(1000)
        devices = [zopy.Device()]
        for i in range(3):
            sim.attach(f"KV31T{i}")
            devices.append(zopy.Device(serial=f"KV31T{i}"))
        sim.clear_calls()

        def read(d):
            for _ in range(5000):
                d.samplerate

        threads = [threading.Thread(target=read, args=(d,)) for d in devices]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        log = sim.calls()
        assert len(log) == 1000 and sim.dropped_calls() == 4 * 5000 - 1000
        assert {c[0] for c in log} == {"zo_get_samplerate"}
        for d in devices:
            d.close()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="Linux only")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_memory_stays_flat_once_the_log_is_full(dev):
    sim.set_log_capacity(20_000)
    for _ in range(30_000):     # fill the ring with these calls' entries
        dev.adcbits
    before = resident_bytes()
    for _ in range(300_000):
        dev.adcbits
    grown = resident_bytes() - before
    # Unbounded, these calls added about 30 MB.
    assert grown < 1 << 20, f"{grown} bytes"
    assert len(sim.calls()) == 20_000
