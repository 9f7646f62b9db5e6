"""zopy.record.open_dataset: recordings as one lazy xarray data set on Dask."""

import pathlib
import subprocess
import sys

import numpy as np
import pytest

import zopy
from zopy import analysis, sim
from zopy import record as recorder
from zopy._dataset import RecordingsMismatchError
from zopy.readers import SampleFileError

h5py = pytest.importorskip("h5py")
pytest.importorskip("xarray", reason="xarray is not installed (pip install 'zopy[dask]')")
dask = pytest.importorskip("dask")

CHUNK = 5000
EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def record_files(folder, names, samples=(12_000, 7_000, 10_000), dtype="float32", bits=True,
                 downsampling=10, units=-6):
    """Recordings one after the other from one stream, under ``names`` in that order."""
    sim.set_light(60.0, modulation_hz=3e3, modulation_depth=0.2)
    paths = []
    with zopy.Device() as device, device.open_stream(dtype) as stream:
        stream.downsampling = downsampling
        stream.calibration_units = units
        for name, n in zip(names, samples):
            paths.append(folder / name)
            recorder.record(stream, paths[-1], samples=n, bits=bits, chunk=CHUNK, progress=False)
    return paths


@pytest.fixture
def recordings(tmp_path, file_size_limit):
    """Three recordings whose names run against their start times."""
    return record_files(tmp_path, ["c.h5", "b.h5", "a.h5"])


def test_contents_times_and_attributes(recordings):
    ds = recorder.open_dataset(recordings, chunk_samples=12_000)    # 2 HDF5 chunks per task
    parts = [recorder.read(path) for path in recordings]           # c, b, a: start-time order
    assert np.array_equal(ds.samples.values, np.concatenate([p[0] for p in parts]))
    assert np.array_equal(ds.bits.values, np.concatenate([p[1] for p in parts]))
    assert ds.samples.dtype == np.float32 and ds.samples.attrs["units"] == "uW"
    assert ds.attrs["files"] == [str(p) for p in recordings]
    assert ds.attrs["file_first_sample"] == [0, 12_000, 19_000]
    assert ds.attrs["samplerate_hz"] == 1e6 and ds.attrs["serial"] == sim.DEFAULT_SERIAL
    assert ds.attrs["start_time"] == [p[2]["start_time"] for p in parts]
    # chunks: whole HDF5 chunks, none across two files
    assert ds.samples.data.chunks == ((10_000, 2_000, 7_000, 10_000),)
    times = ds.time.values
    for (first, n), (_, _, attrs) in zip([(0, 12_000), (12_000, 7_000), (19_000, 10_000)], parts):
        start = np.datetime64(attrs["start_time"].replace("+00:00", ""), "ns")
        assert times[first] == start
        assert (np.diff(times[first:first + n]) == np.timedelta64(1000, "ns")).all()


def test_nothing_is_read_until_computed(recordings):
    ds = recorder.open_dataset(str(recordings[0].parent / "*.h5"))
    assert isinstance(ds.samples.data, dask.array.Array) and isinstance(ds.time.data, dask.array.Array)
    with h5py.File(recordings[1], "r+") as f:       # a.h5... b.h5 changed in place after opening
        f["samples"][:] = 7.0
    assert (ds.samples[12_000:19_000].values == 7.0).all()
    assert ds.samples[:12_000].mean().compute() == pytest.approx(60.0, abs=1.0)


def test_runs_on_a_distributed_cluster(recordings):
    distributed = pytest.importorskip("distributed")
    ds = recorder.open_dataset(recordings, chunk_samples=CHUNK)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        total = float(ds.samples.astype(np.float64).sum().compute())
    expected = sum(float(recorder.read(p)[0].astype(np.float64).sum()) for p in recordings)
    assert total == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("setting, differs", [
    (dict(downsampling=20), "sample rate (1e+06 Hz and 500000 Hz)"),
    (dict(units=-3), "units (uW and mW)"),
    (dict(dtype="float64"), "dtype (float32 and float64)"),
    (dict(bits=False), "bits (uint8 and none)"),
])
def test_recordings_of_other_settings_are_refused(tmp_path, file_size_limit, setting, differs):
    first = record_files(tmp_path, ["first.h5"], samples=(3000,))
    sim.reset()
    other = record_files(tmp_path, ["other.h5"], samples=(3000,), **setting)
    with pytest.raises(RecordingsMismatchError) as info:
        recorder.open_dataset(first + other)
    message = str(info.value)
    assert f"{first[0]} and {other[0]} differ in {differs}" in message and "\n" not in message


def test_files_are_checked_when_opened_and_when_read(tmp_path, recordings):
    with h5py.File(tmp_path / "linked.h5", "w") as f:
        f.attrs.update({"samplerate_hz": 1e6, "start_time": "2026-01-01T00:00:00+00:00"})
        f["samples"] = h5py.ExternalLink(str(recordings[0]), "/samples")
    with pytest.raises(SampleFileError, match="'samples' links to /samples in another file"):
        recorder.open_dataset([recordings[0], tmp_path / "linked.h5"])

    ds = recorder.open_dataset(recordings)
    with h5py.File(recordings[2], "a") as f:        # cut short after opening
        f["samples"].resize((100,))
        f["bits"].resize((100,))
        f.attrs["samples_written"] = 100
    with pytest.raises(SampleFileError, match="changed since the data set was opened"):
        ds.samples.values
    assert float(ds.samples[:19_000].mean().compute()) == pytest.approx(60.0, abs=1.0)


@pytest.mark.parametrize("attrs, fault", [
    ({"start_time": "2026-01-01T00:00:00+00:00"}, "has no samplerate_hz attribute"),
    ({"samplerate_hz": 1e6}, "has no start_time attribute"),
    ({"samplerate_hz": 1e6, "start_time": "yesterday"}, "start_time must be a time in ISO 8601"),
])
def test_recordings_without_a_time_are_refused(tmp_path, attrs, fault):
    with h5py.File(tmp_path / "bare.h5", "w") as f:
        f.attrs.update(attrs)
        f["samples"] = np.ones(100, np.float32)
    with pytest.raises(SampleFileError, match=fault):
        recorder.open_dataset(tmp_path / "bare.h5")


def test_pattern_that_matches_nothing(tmp_path):
    with pytest.raises(FileNotFoundError, match=r"\*.h5: no file matches"):
        recorder.open_dataset(str(tmp_path / "*.h5"))


def test_spectrogram_example_on_a_local_cluster():
    result = subprocess.run([sys.executable, "-P", str(EXAMPLES / "lazy_spectrogram.py"), "--cluster"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    levels = [float(line.split()[3]) for line in result.stdout.splitlines() if line.startswith("slice at")]
    # the bench's terms at 100 µW, 1550 nm, 10 MS/s: electronic noise (2.5 counts in high
    # gain), shot noise 2hνP and the laser's RIN of -140 dB/Hz
    electronic = (2.5 / sim.COUNTS_PER_UW_HIGH * 1e-6) ** 2 * 2 / sim.DEFAULT_SAMPLERATE
    expected = electronic + analysis.shot_noise_level(100e-6, 1550.0) + 1e-14 * 100e-6 ** 2
    assert levels == pytest.approx([expected] * 20, rel=0.1)


def test_spectrogram_example_equals_scipy_per_slice(tmp_path, file_size_limit):
    sys.path.insert(0, str(EXAMPLES))
    try:
        from lazy_spectrogram import spectrogram
    finally:
        sys.path.remove(str(EXAMPLES))
    signal = pytest.importorskip("scipy.signal")
    paths = record_files(tmp_path, ["a.h5", "b.h5"], samples=(12_000, 7_000), bits=False)
    ds = recorder.open_dataset(paths, chunk_samples=CHUNK)     # slices of 5000, 5000, 2000, 5000, 2000
    result = spectrogram(ds, segment=1024).compute(scheduler="threads")
    assert result.shape == (5, 512)           # no bin at the Nyquist frequency
    np.testing.assert_array_equal(result.frequency, np.fft.rfftfreq(1024, 1e-6)[:-1])
    rows = [recorder.read(path)[0] for path in paths]
    for row, (part, start) in zip(result.values, [(0, 0), (0, 5000), (0, 10_000), (1, 0), (1, 5000)]):
        block = rows[part][start:start + 5000].astype(np.float64) * 1e-6
        _, density = signal.welch(block, fs=1e6, window="hann", nperseg=1024, noverlap=512,
                                  detrend="constant", scaling="density")
        np.testing.assert_allclose(row, density[:-1], rtol=1e-6)
    rows_4096 = spectrogram(ds).values         # slices of 2000 samples are shorter than a segment
    assert np.isnan(rows_4096[[2, 4]]).all() and np.isfinite(rows_4096[[0, 1, 3]]).all()


def spectrogram_module():
    sys.path.insert(0, str(EXAMPLES))
    try:
        import lazy_spectrogram
    finally:
        sys.path.remove(str(EXAMPLES))
    return lazy_spectrogram


# how a file stores its samples: in chunks as the recorder does (read as the file's
# bytes), and through h5py: compressed, big-endian, contiguous
LAYOUTS = [(dict(chunks=(1000,), maxshape=(None,)), True), (dict(chunks=(1000,), compression="gzip"), False),
           (dict(chunks=(1000,), dtype=">f4"), False), (dict(chunks=None), False)]


@pytest.mark.parametrize("layout, as_bytes", LAYOUTS)
def test_spectrogram_reads_slices_of_every_layout(tmp_path, file_size_limit, layout, as_bytes):
    example = spectrogram_module()
    values = np.arange(10_000, dtype=np.float32) * 0.5
    path = tmp_path / "run.h5"
    with h5py.File(path, "w") as f:
        f.attrs.update({"samplerate_hz": 1e6, "start_time": "2026-01-01T00:00:00+00:00", "units": "uW"})
        f.create_dataset("samples", data=values, **{"dtype": np.float32, **layout})
    for start, stop in [(0, 1000), (1500, 9999), (2500, 2501), (0, 10_000)]:
        np.testing.assert_array_equal(example.read_slice(str(path), start, stop), values[start:stop])
    assert example._recording(str(path)).raw == as_bytes


def test_spectrogram_reads_a_recording_again_once_it_changes(tmp_path, file_size_limit):
    example = spectrogram_module()
    path = tmp_path / "run.h5"
    for value, length in [(1.0, 5000), (2.0, 3000)]:     # replaced by a shorter one
        with h5py.File(tmp_path / "new.h5", "w") as f:
            f.attrs.update({"samplerate_hz": 1e6, "start_time": "2026-01-01T00:00:00+00:00"})
            f.create_dataset("samples", data=np.full(length, value, np.float32), chunks=(1000,))
        (tmp_path / "new.h5").replace(path)
        assert (example.read_slice(str(path), 0, 2000) == value).all()
    with pytest.raises(SampleFileError, match="holds 3000 samples now, not the 4000"):
        example.read_slice(str(path), 2000, 4000)
