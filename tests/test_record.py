"""The recorder: exact contents, self-describing files, and nothing lost on failure."""

import errno
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import zopy
from zopy import analysis, sim
from zopy import record as recorder
from zopy._writer import NotEnoughSpaceError, Output

h5py = pytest.importorskip("h5py")

N = 20_000
LIGHT = dict(power_uw=80.0, modulation_hz=2e3, modulation_depth=0.3, rin_db_hz=-130.0, seed=4)


def open_stream(dtype="float32", **settings):
    """The default instrument lit and streaming; settings applied in a fixed order."""
    sim.set_light(**LIGHT)
    device = zopy.Device()
    stream = device.open_stream(dtype)
    for name in ("filter", "cutoff", "downsampling"):
        if name in settings:
            setattr(stream, name, settings[name])
    if "decimation" in settings:
        stream.set_decimation(settings["decimation"])
    return device, stream


def replay(n, bits=False, dtype="float32", **settings):
    """The same bench again from the start: what the stream delivers in one read."""
    sim.reset()
    device, stream = open_stream(dtype, **settings)
    try:
        return stream.acquire(n, getbits=bits)
    finally:
        stream.close()
        device.close()


def fill(path):
    """Another program filling the disk in small writes until it is full."""
    with open(path, "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"\xff" * 65536)
        except OSError as exc:
            assert exc.errno == errno.ENOSPC


def assert_exact_prefix(path, complete, **settings):
    """A plain open reads the file; it holds the first samples the stream gave, as many as
    ``samples_written`` says, in every dataset."""
    with h5py.File(path, "r") as f:
        data = f["samples"][...]
        bits = f["bits"][...] if "bits" in f else None
        attrs = dict(f.attrs)
    assert (attrs["complete"], attrs["samples_written"]) == (complete, data.size)
    if data.size == 0:         # killed before the first read landed
        return 0
    ref, ref_bits = replay(data.size, bits=True, **settings)
    assert data.tobytes() == ref.tobytes()
    assert bits is None or bits.tobytes() == ref_bits.tobytes()
    return data.size


def recorded(path):
    with h5py.File(path, "r") as f:
        bits = f["bits"][...] if "bits" in f else None
        return f["samples"][...], bits, dict(f.attrs)


SETTINGS = dict(filter="lowpass", cutoff=200e3, downsampling=10)


class TestContents:
    def test_file_holds_exactly_the_streams_samples_with_every_attribute(self, tmp_path):
        device, stream = open_stream(**SETTINGS, decimation=2)
        stream.calibration_wavelength = 1310.0
        result = recorder.record(stream, tmp_path / "a.h5", samples=N, bits=True, chunk=3000)
        stream.close()
        device.close()
        data, bits, attrs = recorded(tmp_path / "a.h5")
        sim.reset()
        device, stream = open_stream(**SETTINGS, decimation=2)
        stream.calibration_wavelength = 1310.0
        ref, ref_bits = stream.acquire(N, getbits=True)
        assert data.dtype == np.float32 and data.tobytes() == ref.tobytes()
        assert np.array_equal(bits, ref_bits)
        assert (result.samples, result.requested, result.complete, result.interrupted) == (N, N, True, False)
        assert attrs["samplerate_hz"] == result.samplerate_hz == 10e6 / 10 / 2
        assert attrs["input_samplerate_hz"] == 10e6
        assert (attrs["units"], attrs["calibration_mode"]) == ("uW", "auto")
        assert attrs["calibration_wavelength_nm"] == 1310.0
        assert (attrs["filter"], attrs["cutoff_hz"]) == ("lowpass", 200e3)
        assert (attrs["downsampling"], attrs["decimation"]) == (10, 2)
        assert (attrs["product"], attrs["serial"]) == ("KV310", sim.DEFAULT_SERIAL)
        assert not attrs["balanced"]
        assert attrs["firmware_version"] == "1.3.0" and attrs["library_version"] == "2.1.0"
        assert attrs["zopy_version"] and attrs["dtype"] == "float32"
        assert attrs["start_time"].endswith("+00:00") and "T" in attrs["start_time"]
        assert (attrs["samples_written"], attrs["complete"]) == (N, True)
        with h5py.File(tmp_path / "a.h5") as f:
            assert f["samples"].maxshape == (None,) and f["samples"].chunks is not None
            assert f["samples"].attrs["units"] == "uW"
        head, head_bits, plain = recorder.read(tmp_path / "a.h5", 100)
        assert head.tobytes() == ref[:100].tobytes() and np.array_equal(head_bits, ref_bits[:100])
        assert plain["complete"] is True and plain["serial"] == sim.DEFAULT_SERIAL
        assert type(plain["samples_written"]) is int

    @pytest.mark.parametrize("chunk", [1, 999, 4096, N])
    def test_chunk_size_does_not_change_the_contents(self, tmp_path, chunk):
        n = 2_000 if chunk == 1 else N
        device, stream = open_stream("float64", **SETTINGS)
        recorder.record(stream, tmp_path / "c.h5", samples=n, chunk=chunk)
        stream.close()
        device.close()
        data, bits, attrs = recorded(tmp_path / "c.h5")
        assert bits is None and data.dtype == np.float64
        assert data.tobytes() == replay(n, dtype="float64", **SETTINGS).tobytes()

    @pytest.mark.parametrize("units, name, scale", [(-3, "mW", 1e-3), (0, "W", 1e-6)])
    def test_units_and_raw_mode(self, tmp_path, units, name, scale):
        device, stream = open_stream()
        stream.calibration_units = units
        recorder.record(stream, tmp_path / "u.h5", samples=1000)
        stream.set_calibration_mode("raw")
        recorder.record(stream, tmp_path / "raw.h5", samples=1000)
        data, _, attrs = recorded(tmp_path / "u.h5")
        assert attrs["units"] == name and abs(data.mean() - 80.0 * scale) < 30 * scale
        assert recorded(tmp_path / "raw.h5")[2]["units"] == "counts"

    def test_duration_in_instrument_time(self, tmp_path, dev):
        stream = dev.open_stream()
        stream.downsampling = 100
        result = recorder.record(stream, tmp_path / "d.h5", seconds=0.25)
        assert result.samples == 25_000 and result.seconds == pytest.approx(0.25)


class TestRefusals:
    def test_existing_file_is_never_overwritten_unless_asked(self, tmp_path, dev):
        path = tmp_path / "keep.h5"
        path.write_bytes(b"precious")
        stream = dev.open_stream()
        with pytest.raises(FileExistsError):
            recorder.record(stream, path, samples=10)
        assert path.read_bytes() == b"precious"
        recorder.record(stream, path, samples=10, overwrite=True)
        assert recorded(path)[2]["samples_written"] == 10

    @pytest.mark.parametrize("kwargs", [
        {}, dict(seconds=1, samples=10), dict(samples=0), dict(samples=-5), dict(samples=2.5),
        dict(seconds=0), dict(seconds=-1), dict(seconds=float("nan")), dict(samples=10, chunk=0)])
    def test_bad_counts(self, tmp_path, dev, kwargs):
        with pytest.raises(ValueError):
            recorder.record(dev.open_stream(), tmp_path / "x.h5", **kwargs)
        assert not (tmp_path / "x.h5").exists()


class TestProgress:
    def test_callback_sees_every_read(self, tmp_path, dev):
        seen = []
        recorder.record(dev.open_stream(), tmp_path / "p.h5", samples=10_000, chunk=3_000,
                        callback=lambda written, total: seen.append((written, total)))
        assert seen == [(3000, 10_000), (6000, 10_000), (9000, 10_000), (10_000, 10_000)]

    def test_bar_only_when_asked_or_on_a_terminal(self, tmp_path, dev, capsys):
        recorder.record(dev.open_stream(), tmp_path / "quiet.h5", samples=5000)
        assert capsys.readouterr() == ("", "")        # pytest's stderr is no terminal
        recorder.record(dev.open_stream(), tmp_path / "bar.h5", samples=5000, progress=True)
        err = capsys.readouterr().err
        assert "5.00k/5.00k" in err and "recording" in err


class TestFailures:
    def test_disk_failure_on_the_nth_write_leaves_a_readable_file(self, tmp_path, monkeypatch):
        append = recorder._Writer.append
        writes = []

        def failing(self, data_buf, bits_buf, n):
            writes.append(n)
            if len(writes) == 3:
                # as a full disk does: the dataset has grown, the data never landed
                self.samples.resize((self.written + n,))
                raise OSError(errno.ENOSPC, "No space left on device")
            append(self, data_buf, bits_buf, n)

        monkeypatch.setattr(recorder._Writer, "append", failing)
        device, stream = open_stream()
        with pytest.raises(OSError, match="No space left"):
            recorder.record(stream, tmp_path / "full.h5", samples=N, chunk=4000)
        stream.close()
        device.close()
        data, _, attrs = recorded(tmp_path / "full.h5")
        assert (attrs["samples_written"], attrs["complete"]) == (8000, False)
        assert data.tobytes() == replay(8000).tobytes()

    @pytest.mark.parametrize("link", [None, "file", "folder"])
    def test_full_disk_ends_with_an_exact_prefix(self, tmp_path, small_disk, link, monkeypatch):
        # as if the disk filled after the recording found room for it at the start
        monkeypatch.setattr(recorder, "check_free_space", lambda target, nbytes: None)
        disk = small_disk(3 << 20)
        path = disk / "full.h5"
        # the space that counts is that of the disk the link leads to
        given = {None: path, "file": tmp_path / "link.h5", "folder": tmp_path / "d" / "full.h5"}[link]
        if link == "file":
            given.symlink_to(path)
        elif link == "folder":
            given.parent.symlink_to(disk)
        device, stream = open_stream()
        with pytest.raises(OSError, match="disk full") as info:
            recorder.record(stream, given, samples=2_000_000, chunk=40_000)
        stream.close()
        device.close()
        assert info.value.errno == errno.ENOSPC
        assert_exact_prefix(path, complete=False)

    def test_disk_filled_by_another_program_meanwhile(self, small_disk):
        disk = small_disk(8 << 20)
        device, stream = open_stream()
        filler = threading.Thread(target=fill, args=(disk / "other.bin",))
        with pytest.raises(OSError, match="disk full"):
            recorder.record(stream, disk / "race.h5", samples=1_500_000, chunk=10_000,
                            callback=lambda written, total: written == 10_000 and filler.start())
        filler.join()
        stream.close()
        device.close()
        assert_exact_prefix(disk / "race.h5", complete=False)

    def test_no_room_to_begin_leaves_no_file(self, small_disk):
        disk = small_disk(64 << 10)
        fill(disk / "other.bin")
        with pytest.raises(OSError) as info:
            recorder.record(zopy.Device().open_stream(), disk / "none.h5", samples=1000)
        assert info.value.errno in (errno.ENOSPC, None)
        assert sorted(p.name for p in disk.iterdir()) == ["other.bin"]

    def test_instrument_error_keeps_what_came_before(self, tmp_path, dev):
        def fail_next_read(written, total):
            if written == 6000:
                sim.override("ZOStream<float>::acquire", 16, error=(16, "cable pulled"))

        with pytest.raises(zopy.Error, match="cable pulled"):
            recorder.record(dev.open_stream("float32"), tmp_path / "cut.h5", samples=N,
                            chunk=3000, callback=fail_next_read)
        data, _, attrs = recorded(tmp_path / "cut.h5")
        assert (data.size, attrs["samples_written"], attrs["complete"]) == (6000, 6000, False)

    def test_file_size_limit_of_the_file_system(self, tmp_path):
        """A file system that fills: the process may not grow the file past 3 MiB."""
        code = f"""
            import resource, signal, sys
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (3 << 20, 3 << 20))
            import zopy
            from zopy import record, sim
            sim.set_light(**{LIGHT!r})
            stream = zopy.Device().open_stream("float32")
            try:
                record.record(stream, {str(tmp_path / 'limit.h5')!r}, samples=1_000_000, chunk=50_000)
            except OSError as exc:
                print("OSError", exc)
        """
        out = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)],
                             capture_output=True, text=True, timeout=60)
        assert out.returncode == 0 and out.stdout.startswith("OSError"), out.stdout + out.stderr
        data, _, attrs = recorded(tmp_path / "limit.h5")
        assert attrs["complete"] == False and 0 < attrs["samples_written"] == data.size < 1_000_000  # noqa: E712
        assert data.size % 50_000 == 0
        assert data.tobytes() == replay(data.size).tobytes()


KILL_RUNS = int(os.environ.get("ZOPY_KILL_RUNS", "2"))   # per signal; make stress runs many more
REALTIME = dict(downsampling=10)                          # 1 MS/s out, read 5 ms at a time


def start_recorder(path, *options, light=LIGHT):
    """`zopy record` of a long real-time recording, in a process of its own."""
    code = f"""
        import sys
        from zopy import sim
        sim.set_realtime(True)
        sim.set_light(**{light!r})
        from zopy.__main__ import main
        sys.exit(main(["record", {str(path)!r}, "--seconds", "60", "--downsampling", "10",
                       "--chunk", "5000", "--bits", *{list(options)!r}]))
    """
    return subprocess.Popen([sys.executable, "-P", "-c", textwrap.dedent(code)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_until_exists(path, proc):
    deadline = time.monotonic() + 60
    while not path.exists():
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.01)


class TestKilled:
    """A recording killed at any moment: readable by a plain open, an exact prefix."""

    @pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP])
    def test_every_killed_recording_is_an_exact_prefix(self, tmp_path, signum):
        rng = random.Random()
        for run in range(KILL_RUNS):
            path = tmp_path / f"run{run}.h5"
            replacing = run % 2 == 1
            if replacing:
                path.write_bytes(b"the recording of yesterday")
            proc = start_recorder(path, *(["--force"] if replacing else []))
            written = tmp_path / f"run{run}.partial.h5" if replacing else path
            wait_until_exists(written, proc)
            delay = rng.uniform(0.0, 0.5) if run % 4 < 2 else rng.uniform(0.5, 2.0)
            time.sleep(delay)
            proc.send_signal(signum)
            out, err = proc.communicate(timeout=60)
            context = f"run {run}, killed after {delay:.3f} s: {out} {err}"
            assert proc.returncode == -signum, context    # SIGTERM, SIGHUP: after closing the file
            assert_exact_prefix(written, complete=False, **REALTIME)
            if replacing:
                assert path.read_bytes() == b"the recording of yesterday", context


    @pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP])
    def test_killed_as_its_file_is_created(self, tmp_path, zopy_bench, caplog, signum):
        """Signals within 50 ms of the partial file appearing: every file left is empty or
        an exact prefix, and the next recording of that name is refused only to keep samples."""
        rng = random.Random()
        figures = dict(tried=0, unreadable=0, wrong=0, refused_reruns=0, kept_samples=0,
                       left_empty=0, left_being_made=0)
        faults = []
        for run in range(KILL_RUNS):
            path = tmp_path / f"run{run}.h5"
            partial = tmp_path / f"run{run}.partial.h5"
            replacing = run % 2 == 1
            if replacing:
                path.write_bytes(b"the recording of yesterday")
            proc = start_recorder(path, *(["--force"] if replacing else []))
            deadline = time.monotonic() + 60
            while not partial.exists() and (replacing or not path.exists()):
                assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
                time.sleep(0.001)
            time.sleep(rng.uniform(0.0, 0.05))
            proc.send_signal(signum)
            out, err = proc.communicate(timeout=60)
            figures["tried"] += 1
            context = f"run {run}: {err.strip()[-300:]}"
            assert proc.returncode == -signum, context
            left = [partial] + ([] if replacing else [path])
            for name in [p for p in left if p.exists() and p.stat().st_size > 0]:
                fault = killed_file_fault(name)
                if fault:
                    figures[fault] += 1
                    faults.append(f"{context}: {name.name} {fault}")
            if replacing and path.read_bytes() != b"the recording of yesterday":
                faults.append(f"{context}: the old file changed")
            held = recorder_samples(partial)
            being_made = len(list(tmp_path.glob(".*.creating")))
            leftovers = being_made + (held is not None)
            figures["left_empty"] += held == 0 and partial.stat().st_size == 0
            figures["left_being_made"] += being_made
            caplog.clear()
            try:
                with zopy.Device() as device:
                    recorder.record(device.open_stream("float32"), path, samples=1000,
                                    overwrite=path.exists())
            except FileExistsError as exc:
                if held:                    # samples are kept; the refusal says what to do
                    figures["kept_samples"] += 1
                    assert f"holds {held} samples" in str(exc) and "rename" in str(exc), exc
                    continue
                figures["refused_reruns"] += 1
                faults.append(f"{context}: rerun refused: {exc}")
                continue
            assert recorded(path)[0].size == 1000 and not partial.exists(), context
            removed = [r.getMessage() for r in caplog.records if "removed" in r.getMessage()]
            assert len(removed) == leftovers, (context, removed)
            assert not list(tmp_path.glob(".*.creating")), context
        print(f"\nkilled at creation by {signal.Signals(signum).name}: {figures}")
        assert not faults, faults


def recorder_samples(path):
    """The samples a leftover file holds: None if there is none."""
    if not path.exists():
        return None
    if path.stat().st_size == 0:
        return 0
    with h5py.File(path, "r") as f:
        return f["samples"].shape[0]


def killed_file_fault(path):
    """"unreadable", "wrong" (not an exact prefix) or None for a file a kill left."""
    try:
        with h5py.File(path, "r") as f:
            f["samples"][...], dict(f.attrs)
    except Exception:
        return "unreadable"
    try:
        assert_exact_prefix(path, complete=False, **REALTIME)
    except AssertionError:
        return "wrong"
    return None


# Peaks of 225 µW: the top of each period is clipped in high gain (about 197.5 µW at most).
BRIGHT = dict(power_uw=150.0, modulation_hz=2e3, modulation_depth=0.5, seed=4)


def clipped(data):
    """Samples at the ADC's limits in µW: the virtual unit's high-gain calibration."""
    gain = sim.COUNTS_PER_UW_HIGH
    limits = analysis.over_range_limits((1 / gain, -sim.OFFSET_SINGLE / gain))
    return analysis.over_range_samples(data, limits)


class TestOverRange:
    def test_counted_into_the_file_and_the_result(self, tmp_path, dev):
        sim.set_light(**BRIGHT)
        result = recorder.record(dev.open_stream("float32"), tmp_path / "o.h5", samples=N,
                                 chunk=3000)
        data, _, attrs = recorded(tmp_path / "o.h5")
        count = clipped(data)
        assert 0.05 * N < count < 0.5 * N
        assert attrs["over_range_samples"] == result.over_range_samples == count

    def test_brought_up_to_date_as_the_file_grows(self, tmp_path):
        """A killed recording's count is that of the samples it holds."""
        path = tmp_path / "killed.h5"
        proc = start_recorder(path, light=BRIGHT)
        wait_until_exists(path, proc)
        time.sleep(1.0)                   # several flushes
        proc.kill()
        proc.communicate(timeout=60)
        data, _, attrs = recorded(path)
        assert data.size == attrs["samples_written"] > 0 and not attrs["complete"]
        assert attrs["over_range_samples"] == clipped(data) > 0


class TestRoom:
    def test_a_recording_larger_than_the_free_space_is_refused_before_it_starts(self, small_disk,
                                                                               dev):
        disk = small_disk(4 << 20)
        with pytest.raises(NotEnoughSpaceError) as info:
            recorder.record(dev.open_stream("float32"), disk / "big.h5", samples=2_000_000)
        assert info.value.errno == errno.ENOSPC and info.value.filename == str(disk / "big.h5")
        assert info.value.strerror.startswith("needs about 9.05 MB but its disk has 4.")
        assert list(disk.iterdir()) == []
        recorder.record(dev.open_stream("float32"), disk / "fits.h5", samples=500_000)

    def test_an_output_created_beforehand_is_finished_whatever_happens(self, tmp_path, dev):
        output = Output(tmp_path / "a.h5")
        result = recorder.record(dev.open_stream(), output, samples=100)
        assert result.complete and recorded(tmp_path / "a.h5")[0].size == 100
        assert sorted(p.name for p in tmp_path.iterdir()) == ["a.h5"]
        output = Output(tmp_path / "b.h5")
        with pytest.raises(ValueError):
            recorder.record(dev.open_stream(), output, samples=0)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["a.h5"]


def zopy_file(path, samples):
    with h5py.File(path, "w") as f:
        f.attrs["zopy_version"] = zopy.__version__
        f.create_dataset("samples", data=np.arange(samples, dtype=np.float32), maxshape=(None,))


LEFTOVERS = {            # a leftover partial file -> removed by the next writer?
    "empty": (lambda p: p.write_bytes(b""), True),
    "HDF5 cut at 96 bytes": (lambda p: (zopy_file(p, 0), os.truncate(p, 96)), True),
    "not HDF5": (lambda p: p.write_bytes(b"PK\x03\x04 half an export"), True),
    "HDF5 of another program": (lambda p: h5py.File(p, "w").close(), True),
    "zopy's, no samples": (lambda p: zopy_file(p, 0), True),
    "zopy's, 10 samples": (lambda p: zopy_file(p, 10), False),
}


@pytest.mark.parametrize("kind", LEFTOVERS)
def test_a_leftover_partial_file_is_removed_unless_it_holds_samples(tmp_path, caplog, kind):
    make, removed = LEFTOVERS[kind]
    partial = tmp_path / "a.partial.h5"
    make(partial)
    if removed:
        Output(tmp_path / "a.h5").discard()
        lines = [r.getMessage() for r in caplog.records]
        assert len(lines) == 1 and f"removed {partial}" in lines[0], lines
        assert not partial.exists()
    else:
        with pytest.raises(FileExistsError) as info:
            Output(tmp_path / "a.h5")
        assert "holds 10 samples" in str(info.value) and "rename that file to keep them" in str(info.value)
        assert recorded(partial)[0].size == 10


class TestReplacing:
    def test_a_reader_does_not_stop_a_replacement(self, tmp_path, dev):
        path = tmp_path / "a.h5"
        recorder.record(dev.open_stream(), path, samples=100)
        with h5py.File(path, "r") as reading:
            result = recorder.record(dev.open_stream(), path, samples=300, overwrite=True)
            assert reading["samples"].shape == (100,)       # the reader keeps what it opened
        assert (result.path, result.complete) == (str(path), True)
        assert recorded(path)[0].size == 300 and not (tmp_path / "a.partial.h5").exists()

    @pytest.mark.parametrize("ending", ["instrument error", "Ctrl-C"])
    def test_an_unfinished_replacement_leaves_the_old_file(self, tmp_path, dev, ending):
        path = tmp_path / "a.h5"
        path.write_bytes(b"old")

        def stop_midway(written, total):
            if written == 3000:
                if ending == "Ctrl-C":
                    signal.raise_signal(signal.SIGINT)
                else:
                    sim.override("ZOStream<double>::acquire", 16, error=(16, "cable pulled"))

        stream = dev.open_stream()
        if ending == "Ctrl-C":
            result = recorder.record(stream, path, samples=N, chunk=1000, overwrite=True,
                                     callback=stop_midway)
            assert (result.interrupted, result.path) == (True, str(tmp_path / "a.partial.h5"))
        else:
            with pytest.raises(zopy.Error):
                recorder.record(stream, path, samples=N, chunk=1000, overwrite=True,
                                callback=stop_midway)
        assert path.read_bytes() == b"old"
        data, _, attrs = recorded(tmp_path / "a.partial.h5")
        assert (data.size, attrs["samples_written"], attrs["complete"]) == (3000, 3000, False)
        with pytest.raises(FileExistsError, match="did not finish"):   # kept, not overwritten
            recorder.record(stream, path, samples=10, overwrite=True)

    @pytest.mark.parametrize("first_replaces", [False, True])
    def test_a_second_writer_is_refused_in_command_line_words(self, tmp_path, capsys, monkeypatch,
                                                              first_replaces):
        path = tmp_path / "a.h5"
        if first_replaces:
            path.write_bytes(b"old")
        first = start_recorder(path, *(["--force"] if first_replaces else []))
        wait_until_exists(tmp_path / "a.partial.h5" if first_replaces else path, first)
        monkeypatch.setenv("HDF5_USE_FILE_LOCKING", "FALSE")   # our locks do not depend on HDF5's
        from zopy.__main__ import main
        for options in (["--force"], [] if first_replaces else None):
            if options is None:
                continue
            status = main(["record", str(path), "--seconds", "0.01", *options])
            err = capsys.readouterr().err.splitlines()[-1]    # after what it set out to do
            assert status == 1 and err.startswith("zopy: "), err
            if options:
                lock = "a.partial.h5" if first_replaces else "the file"
                assert f"a.h5: another program is writing it (it holds a lock on" in err
                assert lock in err, err
            else:
                assert "exists (use --force to overwrite it)" in err
        first.send_signal(signal.SIGINT)
        out, err = first.communicate(timeout=60)
        assert first.returncode == 130, out + err
        written = tmp_path / "a.partial.h5" if first_replaces else path
        assert_exact_prefix(written, complete=False, **REALTIME)


def test_ctrl_c_stops_after_the_read_in_flight(tmp_path):
    """SIGINT during a real-time recording: a valid file of whole reads, marked incomplete."""
    path = tmp_path / "stopped.h5"
    code = f"""
        import sys
        from zopy import sim
        sim.set_realtime(True)
        sim.set_light(**{LIGHT!r})
        from zopy.__main__ import main
        sys.exit(main(["record", {str(path)!r}, "--seconds", "20", "--downsampling", "10",
                       "--chunk", "20000"]))
    """
    proc = subprocess.Popen([sys.executable, "-P", "-c", textwrap.dedent(code)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while not path.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, out + err
    assert "INCOMPLETE" in out and "Traceback" not in err
    data, _, attrs = recorded(path)
    assert attrs["complete"] == False  # noqa: E712
    assert 0 < data.size == attrs["samples_written"] < 20 * 1_000_000
    assert data.size % 20_000 == 0
    assert data.tobytes() == replay(data.size, downsampling=10).tobytes()


def test_import_zopy_needs_no_tool_package():
    code = ("import sys, zopy, zopy.record, zopy.analysis, zopy.__main__; "
            "print(sorted(m for m in ('h5py', 'tqdm', 'scipy', 'matplotlib') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         timeout=60, env={**os.environ, "PYTHONWARNINGS": "ignore"})
    assert out.stdout.strip() == "[]", out.stderr


class TestRecorder:
    """Blocks the caller reads, recorded: the same file as record() makes."""

    @pytest.mark.parametrize("chunk, sizes, bits", [
        (1000, [300, 2500, 1, 999, 4000, 200], True),     # across, inside and on chunk ends
        (4096, [4096, 4096, 10], False),
        (None, [20_000], True),
    ])
    def test_the_file_holds_every_block_in_order(self, tmp_path, chunk, sizes, bits):
        device, stream = open_stream(**SETTINGS)
        read = []
        with recorder.Recorder(stream, tmp_path / "a.h5", bits=bits, chunk=chunk) as recording:
            for n in sizes:
                block = stream.acquire(n, getbits=bits)
                read.append(block)
                recording.append(*block) if bits else recording.append(block)
        stream.close()
        device.close()
        data, got_bits, attrs = recorded(tmp_path / "a.h5")
        total = sum(sizes)
        want = np.concatenate([b[0] if bits else b for b in read])
        assert data.tobytes() == want.tobytes() and data.size == total
        assert got_bits is None if not bits else np.array_equal(
            got_bits, np.concatenate([b[1] for b in read]))
        assert (attrs["complete"], attrs["samples_written"]) == (True, total)
        assert attrs["samplerate_hz"] == 1e6 and attrs["filter"] == "lowpass"
        assert recording.result.samples == total and recording.result.complete

    def test_an_unfinished_replacement_leaves_the_old_file(self, tmp_path):
        (tmp_path / "a.h5").write_bytes(b"old")
        device, stream = open_stream()
        recording = recorder.Recorder(stream, tmp_path / "a.h5", overwrite=True, chunk=500)
        recording.append(stream.acquire(1234))
        result = recording.close(complete=False)
        assert (tmp_path / "a.h5").read_bytes() == b"old"
        assert result.path.endswith("a.partial.h5") and not result.complete
        assert recorded(result.path)[2]["samples_written"] == 1234
        os.remove(result.path)
        with recorder.Recorder(stream, tmp_path / "a.h5", overwrite=True) as recording:
            recording.append(stream.acquire(10))
        assert recording.result.path == str(tmp_path / "a.h5")
        assert recorded(tmp_path / "a.h5")[2]["samples_written"] == 10     # complete: replaced
        stream.close()
        device.close()

    def test_a_full_disk_ends_it_with_a_whole_file(self, small_disk):
        folder = small_disk("3m")
        device, stream = open_stream(**SETTINGS)
        recording = recorder.Recorder(stream, folder / "a.h5", chunk=10_000)
        with pytest.raises(OSError) as info:
            while True:
                recording.append(stream.acquire(7_000))
        assert info.value.errno == errno.ENOSPC
        result = recording.close(complete=False)
        stream.close()
        device.close()
        assert result.samples > 0 and assert_exact_prefix(folder / "a.h5", False, **SETTINGS) \
            == result.samples

    @pytest.mark.parametrize("call, error, message", [
        (lambda r, s: r.append(np.zeros(10)), TypeError, "stream's dtype float32"),
        (lambda r, s: r.append(s.acquire(10)), ValueError, "this recording has bits"),
        (lambda r, s: r.append(*s.acquire(10, getbits=True)) or r.close() and
         r.append(*s.acquire(10, getbits=True)), ValueError, "the recording is closed"),
    ])
    def test_blocks_it_cannot_take_are_refused(self, tmp_path, call, error, message):
        device, stream = open_stream()
        recording = recorder.Recorder(stream, tmp_path / "a.h5", bits=True)
        with pytest.raises(error, match=message):
            call(recording, stream)
        recording.close()
        stream.close()
        device.close()
