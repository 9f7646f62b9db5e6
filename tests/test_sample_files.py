"""Files of samples as untrusted input: zopy.record.read, `zopy psd` and `zopy plot`
refuse hostile files in one line, read long ones in bounded memory, and stop on Ctrl-C."""

import io
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import time
import zipfile
import zlib

import numpy as np
import pytest

from zopy import analysis
from zopy import record as recorder
from zopy.readers import SampleFileError

h5py = pytest.importorskip("h5py")
pytest.importorskip("scipy")
pytest.importorskip("matplotlib")

N = 5000
GOOD_ATTRS = {"samplerate_hz": 1e6, "units": "uW", "calibration_wavelength_nm": 1550.0,
              "balanced": False, "samples_written": N}
# The command line runs under these limits: what a file declares must not decide what it takes.
# AddressSanitizer's shadow memory needs the address space, so under it the
# allocator is capped instead (LIMITED_ENV).
MEMORY_LIMIT_MB = 1536
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
LIMITS = f"""
    import resource, signal
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    if {not UNDER_ASAN}:
        resource.setrlimit(resource.RLIMIT_AS, ({MEMORY_LIMIT_MB} << 20, {MEMORY_LIMIT_MB} << 20))
    resource.setrlimit(resource.RLIMIT_FSIZE, (16 << 20, 16 << 20))
"""
LIMITED_ENV = ({**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "")
               + f":max_allocation_size_mb={MEMORY_LIMIT_MB}:soft_rss_limit_mb={MEMORY_LIMIT_MB}"}
               if UNDER_ASAN else None)


def h5(path, folder, attrs=(), links=(), **samples):
    """A recording with every attribute right but those in ``attrs``, its samples
    made by create_dataset(**samples) (none when empty), and ``links`` added."""
    with h5py.File(path, "w") as f:
        f.attrs.update({**GOOD_ATTRS, **dict(attrs)})
        if samples:
            f.create_dataset("samples", **samples)
        for name, link in links:
            f[name] = link


def virtual(path, folder):
    layout = h5py.VirtualLayout(shape=(N,), dtype="f4")
    layout[:] = h5py.VirtualSource(str(folder / "good.h5"), "samples", shape=(N,))
    with h5py.File(path, "w") as f:
        f.attrs.update(GOOD_ATTRS)
        f.create_virtual_dataset("samples", layout)


def group(path, folder):
    with h5py.File(path, "w") as f:
        f.attrs.update(GOOD_ATTRS)
        f.create_group("samples")


def npy(path, folder, array, allow_pickle=False):
    np.save(path, array, allow_pickle=allow_pickle)


def truncated_npy(path, folder):
    np.save(path, np.ones(1000, "f4"))
    os.truncate(path, os.path.getsize(path) - 2000)


def npz_named_npy(path, folder):
    with open(path, "wb") as f:
        np.savez(f, samples=np.ones(10))


RATE = b"# samplerate_hz = 1000000.0\n# calibration_wavelength_nm = 1550.0\n"
# enough good lines (4 to 23) for a spectrum: the fault is found while reading
ROWS = RATE + b"power_uw\n" + b"1.5\n" * 20
TIMED_ROWS = RATE + b"time_s,power_uw\n" + b"0,1.5\n" * 20


def npz(path, **arrays):
    """A .npz of ``arrays``, pickles allowed when an array holds objects: as a hostile writer makes it."""
    with zipfile.ZipFile(path, "w") as archive:
        for name, array in arrays.items():
            with archive.open(f"{name}.npy", "w") as member:
                np.lib.format.write_array(member, np.asanyarray(array), allow_pickle=True)


def truncated_npz(path, folder):
    """The samples member says 5000 float64 but holds half of them."""
    buffer = io.BytesIO()
    np.lib.format.write_array(buffer, np.ones(N))
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("samples.npy", buffer.getvalue()[:-N * 4])


def other_member_npz(path, folder):
    npz(path, samples=np.ones(N))
    with zipfile.ZipFile(path, "a") as archive:
        archive.writestr("notes.txt", "hello")


def text(path, folder, content):
    with open(path, "wb") as f:
        f.write(content)


def partly_written(path, folder, shape, written, **options):
    """A chunked dataset of ``shape`` samples with only the slices ``written`` stored."""
    with h5py.File(path, "w") as f:
        f.attrs.update({**GOOD_ATTRS, "samples_written": 0})
        dataset = f.create_dataset("samples", shape=(shape,), dtype="f4", **options)
        for start, stop in written:
            dataset[start:stop] = 1.0


def npy_header(path, folder, header, declared_length=None):
    """A .npy file of version 1.0 (2.0 when the length needs 4 bytes) whose header is ``header``."""
    header = header.encode("latin1")
    length = len(header) if declared_length is None else declared_length
    version, size = ((1, 0), 2) if length < 1 << 16 else ((2, 0), 4)
    text(path, folder, np.lib.format.MAGIC_PREFIX + bytes(version) + length.to_bytes(size, "little")
         + header + b"\0" * 64)


def npy_shape(shape):
    return lambda p, d: npy_header(p, d, f"{{'descr': '<f4', 'fortran_order': False, 'shape': {shape}, }}\n")


ones = dict(data=np.ones(N, "f4"))
# name, builder, the fault the one line names; "in memory" cases are read by
# record.read (which returns what is stored) but refused by the commands.
HOSTILE = [
    ("external_storage.h5", lambda p, d: h5(p, d, shape=(N,), dtype="f4", external=[(
        str(d / "secret.bin"), 0, h5py.h5f.UNLIMITED)]), "'samples' keeps its data in the external file"),
    ("external_link.h5", lambda p, d: h5(p, d, links=[("samples", h5py.ExternalLink(
        str(d / "good.h5"), "/samples"))]), "'samples' links to /samples in another file"),
    ("soft_link.h5", lambda p, d: h5(p, d, links=[("data", np.ones(N)), ("samples", h5py.SoftLink(
        "/data"))]), "'samples' is a soft link to /data"),
    ("virtual.h5", virtual, "'samples' is a virtual dataset"),
    ("bits_soft_link.h5", lambda p, d: h5(p, d, links=[("bits", h5py.SoftLink("/samples"))],
                                          **ones), "'bits' is a soft link"),
    ("fill_value.h5", lambda p, d: h5(p, d, shape=(250_000_000,), dtype="f4", fillvalue=1.0),
     "'samples' declares 250000000 samples but stores only 0"),
    ("unwritten_chunks_gzip.h5", lambda p, d: partly_written(
        p, d, 500_000, [(0, 50_000)], chunks=(1000,), compression="gzip", fillvalue=0),
     "'samples' declares 500000 samples but stores only 50000"),
    ("unwritten_chunks_plain.h5", lambda p, d: partly_written(
        p, d, 10_000, [(0, 3000), (5000, 6000)], chunks=(1000,), maxshape=(None,)),
     "'samples' declares 10000 samples but stores only 4000"),
    ("unwritten_2e40_gzip.h5", lambda p, d: partly_written(
        p, d, 1 << 40, [], chunks=(1 << 16,), compression="gzip", fillvalue=1.0),
     f"'samples' declares {1 << 40} samples but stores only 0"),
    ("written_fewer.h5", lambda p, d: h5(p, d, {"samples_written": N - 1}, **ones),
     f"'samples' declares {N} samples but samples_written says {N - 1} were written"),
    ("huge_chunks.h5", lambda p, d: h5(p, d, shape=(10**8,), dtype="f4", chunks=(1 << 24,),
                                       compression="gzip"), "compressed in chunks of 64 MiB"),
    ("two_d.h5", lambda p, d: h5(p, d, data=np.ones((2, 100_000), "f4")), "has shape (2, 100000)"),
    ("complex.h5", lambda p, d: h5(p, d, data=np.ones(N, "c8")), "holds complex numbers"),
    ("text.h5", lambda p, d: h5(p, d, data=np.full(N, b"1.5")), "holds |S3 data, not numbers"),
    ("records.h5", lambda p, d: h5(p, d, data=np.ones(N, "f4,f4")), "holds structured records"),
    ("group.h5", group, "'samples' is a group, not a dataset"),
    ("no_samples.h5", lambda p, d: h5(p, d), "no 'samples' dataset"),
    ("garbage.h5", lambda p, d: text(p, d, os.urandom(6000)), "not an HDF5 file"),
    ("nan_sample.h5", lambda p, d: h5(p, d, data=np.where(np.arange(N) == 7, np.nan, 1.0)),
     "sample 7 is nan, not a finite number"),
    *[(f"{name}_{i}.h5", lambda p, d, name=name, value=value: h5(p, d, {name: value}, **ones),
       f"attribute {name} must be") for name, values in [
        ("samplerate_hz", [True, "1e6", -5.0, np.inf, np.nan, 1e300]),
        ("calibration_wavelength_nm", [-1550.0, 1e9, np.inf, "1550"]),
        ("balanced", ["false", 1]),
        ("units", ["parsecs", 3]),
        ("samples_written", [-1, N + 1, 2.5, True])] for i, value in enumerate(values)],
    ("npz.npy", npz_named_npy, "is a .npz archive, not a .npy file"),
    ("truncated.npy", truncated_npy, "its header declares 1000 samples but the file holds only 500"),
    ("object.npy", lambda p, d: npy(p, d, np.array([1.0, "x"], object), True), "(a pickle)"),
    ("two_d.npy", lambda p, d: npy(p, d, np.ones((2, 100_000))), "has shape (2, 100000)"),
    ("complex.npy", lambda p, d: npy(p, d, np.ones(N, complex)), "holds complex numbers"),
    ("garbage.npy", lambda p, d: text(p, d, b"junk" * 100), "not a .npy file"),
    ("header_2gib.npy", lambda p, d: npy_header(p, d, "{", declared_length=2 << 30),
     "the .npy header of it declares 2147483648 bytes, more than the 10000"),
    ("header_cut.npy", lambda p, d: text(p, d, np.lib.format.MAGIC_PREFIX + b"\x01\x00\xff"),
     "the .npy header of it is malformed"),
    ("negative_shape.npy", npy_shape("(-5,)"), "declares the shape (-5,), not whole numbers"),
    ("float_shape.npy", npy_shape("(2.5,)"), "cannot read samples: the .npy header of it"),
    ("bool_shape.npy", npy_shape("(True,)"), "declares the shape (True,), not whole numbers"),
    ("call_in_header.npy", npy_shape("__import__('os').getpid()"), "the .npy header of it is malformed"),
    ("word.csv", lambda p, d: text(p, d, ROWS + b"three\n"), "line 24 is not one number"),
    ("columns.csv", lambda p, d: text(p, d, ROWS + b"1.5,2.5\n"), "line 24 is not one number"),
    ("blank.csv", lambda p, d: text(p, d, ROWS + b"\n2.5\n"), "line 24 is empty"),
    ("long_line.csv", lambda p, d: text(p, d, ROWS + b"1" * 10**6), "line 24 is longer"),
    ("headless.csv", lambda p, d: text(p, d, b"1.5\n2.5\n"), "has no header line"),
    ("no_time.csv", lambda p, d: text(p, d, TIMED_ROWS + b"2.5\n"),
     "line 24 is not a time and a number: '2.5'"),
    ("three_columns.csv", lambda p, d: text(p, d, TIMED_ROWS + b"0,1.5,7\n"),
     "line 24 is not a time and a number"),
    ("header_flood.csv", lambda p, d: text(p, d, b"# remark\n" * 1000 + b"power_uw\n1\n"),
     "more than 100 lines of comments"),
    ("long_header.csv", lambda p, d: text(p, d, b"# units = " + b"u" * 10**6 + b"\n"),
     "line 1 is longer than 256 characters"),
    ("twice.csv", lambda p, d: text(p, d, RATE + RATE + b"power_uw\n1\n"),
     "line 3: samplerate_hz is given twice"),
    ("bad_rate.csv", lambda p, d: text(p, d, b"# samplerate_hz = fast\npower_uw\n1\n"),
     "attribute samplerate_hz must be a sample rate"),
    ("units_clash.csv", lambda p, d: text(p, d, RATE + b"# units = W\npower_uw\n1\n"),
     "its column power_uw holds uW, not the units 'W' it declares"),
    ("pickle.npz", lambda p, d: npz(p, samples=np.ones(N), serial=np.array([{"x": 1}], object)),
     "'serial' holds Python objects (a pickle)"),
    ("samples_pickle.npz", lambda p, d: npz(p, samples=np.array([1.0, "x"], object)),
     "'samples' holds Python objects (a pickle)"),
    ("two_d.npz", lambda p, d: npz(p, samples=np.ones((2, 100_000))), "has shape (2, 100000)"),
    ("array_attribute.npz", lambda p, d: npz(p, samples=np.ones(N), samplerate_hz=np.ones(3)),
     "'samplerate_hz' is not a single number, boolean or text"),
    ("huge_attribute.npz", lambda p, d: npz(p, samples=np.ones(N), serial=np.array("x" * 10**6)),
     "'serial' holds 4000128 bytes, more than the 1048576"),
    ("bad_attribute.npz", lambda p, d: npz(p, samples=np.ones(N), samplerate_hz=np.array(-1.0)),
     "attribute samplerate_hz must be a sample rate"),
    ("no_samples.npz", lambda p, d: npz(p, samplerate_hz=np.array(1e6)), "no 'samples' array"),
    ("truncated.npz", truncated_npz, "'samples' declares 5000 samples but the archive holds only 2500"),
    ("other_member.npz", other_member_npz, "member 'notes.txt' is not a .npy array"),
    ("garbage.npz", lambda p, d: text(p, d, b"junk" * 100), "not a .npz archive"),
]
IN_MEMORY = {"nan_sample.h5"}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hostile")
    (folder / "secret.bin").write_bytes(b"private key material " * 1000)
    h5(folder / "good.h5", folder, **ones)
    for name, build, _ in HOSTILE:
        build(folder / name, folder)
    return folder


def run_commands(commands, timeout=300):
    """{key: (status, stdout, stderr)} of `zopy` command lines run in one
    interpreter under LIMITS."""
    code = textwrap.dedent(LIMITS) + textwrap.dedent("""
        import contextlib, io, json, sys
        from zopy.__main__ import main
        results = {}
        for key, argv in json.loads(sys.argv[1]).items():
            out, err = io.StringIO(), io.StringIO()
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                status = main(argv)
            results[key] = (status, out.getvalue(), err.getvalue())
        print(json.dumps(results))
    """)
    done = subprocess.run([sys.executable, "-P", "-c", code, json.dumps(commands)],
                          capture_output=True, text=True, timeout=timeout, env=LIMITED_ENV)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def refusals(corpus):
    return run_commands({f"{command} {name}": [command, str(corpus / name)] if command == "psd" else
                         [command, str(corpus / f"{name}.png"), "--input", str(corpus / name)]
                         for name, _, _ in HOSTILE for command in ("psd", "plot")})


@pytest.mark.parametrize("name, fault", [(name, fault) for name, _, fault in HOSTILE
                                         if name.endswith(".h5") and name not in IN_MEMORY])
def test_read_refuses_in_one_line(corpus, name, fault):
    with pytest.raises(SampleFileError) as info:
        recorder.read(corpus / name)
    message = str(info.value)
    assert message.startswith(f"{corpus / name}: ") and fault in message and "\n" not in message


@pytest.mark.parametrize("command", ["psd", "plot"])
@pytest.mark.parametrize("name, fault", [(name, fault) for name, _, fault in HOSTILE])
def test_commands_refuse_in_one_line(corpus, refusals, command, name, fault):
    status, out, err = refusals[f"{command} {name}"]
    assert (status, out) == (1, "") and err.startswith(f"zopy: {corpus / name}: ")
    assert fault in err and err.count("\n") == 1, err
    assert not (corpus / f"{name}.png").exists()


def test_only_the_attributes_zopy_knows_are_read(tmp_path):
    """However many others a file has: each of 20,000 is never looked at."""
    path = tmp_path / "attributes.h5"
    with h5py.File(path, "w", libver="latest") as f:   # h5py's own f.attrs[...] takes a minute
        f.attrs.update(GOOD_ATTRS)
        scalar = h5py.h5s.create(h5py.h5s.SCALAR)
        for i in range(20_000):
            h5py.h5a.create(f.id, f"extra_{i}".encode(), h5py.h5t.NATIVE_INT64, scalar).write(
                np.array(i))
        f.create_dataset("samples", data=np.ones(N, "f4"))
    data, _, attrs = recorder.read(path, limit=10)
    assert data.size == 10 and attrs == GOOD_ATTRS


@pytest.mark.parametrize("seed", range(15))
def test_a_bit_flipped_file_is_read_or_refused_in_one_line(tmp_path, seed):
    """Flips of the metadata and of the data: whatever h5py or numpy raise, the
    reader says one line naming the file."""
    path = tmp_path / "flipped.h5"
    h5(path, tmp_path, attrs={"serial": "KV31A0427", "start_time": "2026-01-01T00:00:00+00:00"},
       data=np.arange(N, dtype="f4"), chunks=(500,), compression="gzip", maxshape=(None,))
    content = bytearray(path.read_bytes())
    rng = np.random.default_rng(seed)
    for at in rng.integers(0, min(len(content), 4096), size=8):     # metadata sits up front
        content[at] ^= 1 << int(rng.integers(0, 8))
    path.write_bytes(bytes(content))
    try:
        recorder.read(path)
        from zopy.readers import open_sample_file
        with open_sample_file(path) as source:
            sum(len(chunk) for chunk in source.chunks())
    except SampleFileError as exc:
        assert str(exc).startswith(f"{path}: ") and "\n" not in str(exc), exc


def test_read_still_raises_key_error_without_samples(corpus):
    with pytest.raises(KeyError):
        recorder.read(corpus / "no_samples.h5")


@pytest.mark.parametrize("n, segment, cuts", [
    (100_003, 1000, [1, 5, 3000, 3001, 70_000]),     # blocks shorter and longer than a segment
    (50_000, 4096, list(range(0, 50_000, 777))),
    (9_000, 1001, []),                              # odd segment: overlap of 500, step of 501
    (700, 4096, [300]),                             # fewer samples than a segment
])
def test_streaming_welch_equals_welch_over_the_whole(n, segment, cuts):
    samples = np.random.default_rng(n).normal(3.0, 1.0, n) + np.sin(np.arange(n) * 0.1)
    welch = analysis.WelchAverage(1e6, min(n, segment))
    moments = analysis.Moments()
    for block in np.split(samples, cuts):
        welch.add(block)
        moments.add(block)
    whole = analysis.psd(samples, 1e6, segment)
    streamed = welch.spectrum()
    assert streamed.resolution_hz == whole.resolution_hz
    assert np.array_equal(streamed.frequency_hz, whole.frequency_hz)
    np.testing.assert_allclose(streamed.density, whole.density, rtol=1e-12)
    assert (moments.mean, moments.std) == pytest.approx((samples.mean(), samples.std()), rel=1e-12)


def test_envelope_taken_in_blocks_holds_every_columns_extremes():
    samples = np.random.default_rng(5).normal(size=10_007)
    whole = analysis.Envelope(len(samples), columns=800)
    whole.add(samples)
    blocks = analysis.Envelope(len(samples), columns=800)
    for block in np.split(samples, [1, 13, 4000, 4001, 9999]):
        blocks.add(block)
    assert np.array_equal(whole.low, blocks.low) and np.array_equal(whole.high, blocks.high)
    columns = np.split(samples, whole.starts[1:-1])
    assert len(columns) == 800 and all(12 <= len(c) <= 13 for c in columns)
    assert np.array_equal(whole.low, [c.min() for c in columns])
    assert np.array_equal(whole.high, [c.max() for c in columns])


def compressed_zeros(path, n, chunk=1 << 20):
    """n float32 samples in gzip chunks: a test pattern, then zeros, each chunk
    compressed once and written as is, so the file stays small."""
    with h5py.File(path, "w") as f:
        f.attrs.update({**GOOD_ATTRS, "samples_written": n})
        samples = f.create_dataset("samples", shape=(n,), dtype="f4", chunks=(chunk,),
                                   compression="gzip")
        samples[:chunk] = np.random.default_rng(0).normal(100.0, 1.0, chunk)
        zeros = zlib.compress(np.zeros(chunk, "f4").tobytes())
        for start in range(chunk, n, chunk):
            samples.id.write_direct_chunk((start,), zeros)


def test_a_compressed_file_of_1e8_samples_within_the_memory_limit(tmp_path):
    compressed_zeros(tmp_path / "long.h5", 10**8)
    assert os.path.getsize(tmp_path / "long.h5") < 10 << 20
    results = run_commands({
        "psd": ["psd", str(tmp_path / "long.h5"), "--power", "100"],
        "plot": ["plot", str(tmp_path / "long.png"), "--input", str(tmp_path / "long.h5"),
                 "--samples", str(10**8)]})
    status, out, err = results["psd"]
    assert status == 0 and f"{tmp_path / 'long.h5'} (100000000 samples)" in out, err
    # the test pattern's mean over all the samples: the whole file was read
    assert float(out.split("Mean power")[1].split()[0]) == pytest.approx(100.0 * (1 << 20) / 10**8, rel=1e-3)
    assert "Excess noise" in out
    status, out, err = results["plot"]
    assert (status, out) == (0, f"wrote {tmp_path / 'long.png'} (100000000 samples)\n"), err


def test_ctrl_c_stops_psd_on_a_long_file(tmp_path):
    """Without reading in chunks this psd would run for minutes (or run out of memory)."""
    path = tmp_path / "long.h5"
    compressed_zeros(path, 10**9)
    code = textwrap.dedent(LIMITS) + f"""\nimport sys\nfrom zopy.__main__ import main\n""" \
        f"""sys.exit(main(["psd", {str(path)!r}]))\n"""
    proc = subprocess.Popen([sys.executable, "-P", "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=LIMITED_ENV)
    try:
        deadline = time.monotonic() + 60
        while os.path.realpath(path) not in _open_files(proc.pid):
            assert proc.poll() is None and time.monotonic() < deadline, "psd did not open the file"
            time.sleep(0.05)
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert (proc.returncode, out, err) == (130, "", "zopy: interrupted\n")


def _open_files(pid):
    """What the process has open now (a descriptor closed while looking is skipped)."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return set()
    found = set()
    for fd in fds:
        try:
            found.add(os.path.realpath(f"/proc/{pid}/fd/{fd}", strict=True))
        except OSError:
            pass
    return found


# ------------------------------------------------------------------- CSV layout

CSV_METADATA = {"samplerate_hz": 1e6, "units": "uW", "serial": "KV31A0427", "balanced": False,
                "calibration_wavelength_nm": np.float64(1550.0), "over_range_samples": np.int64(0),
                "trig_mode": "", "start_time": "2026-01-01T00:00:00+00:00"}


def csv_block(path, n=1000):
    from zopy._writer import write_csv
    power = np.linspace(40.0, 60.0, n)
    write_csv(path, {"time_s": np.arange(n) / 1e6, "power_uw": power}, CSV_METADATA,
              ["%.12g", "%.9g"])
    return power


def test_the_readme_csv_recipe_runs_as_written(tmp_path, monkeypatch, file_size_limit):
    pytest.importorskip("pandas")
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
    recipe, = [block for block in re.findall(r"```python\n(.*?)```", readme, re.S)
               if "genfromtxt" in block]
    power = csv_block(tmp_path / "block.csv")
    monkeypatch.chdir(tmp_path)
    found = {}
    exec(recipe, found)
    assert np.allclose(found["block"]["power_uw"], power, rtol=1e-8)
    assert np.allclose(found["power_uw"], power, rtol=1e-8)
    assert np.allclose(found["frame"]["power_uw"].to_numpy(), power, rtol=1e-8)
    assert list(found["frame"].columns) == ["time_s", "power_uw"]


OLD_LAYOUT = (b"# samplerate_hz = 1000000.0\n# units = uW\n# balanced = false\n"
              b"# serial = KV31A0427\ntime_s,power_uw\n" + b"".join(
                  b"%.12g,%.9g\n" % (i / 1e6, 40.0 + 20.0 * i / 999) for i in range(1000)))


@pytest.mark.parametrize("layout", ["names first", "metadata first (earlier versions)"])
def test_both_csv_layouts_read_back_with_their_metadata(tmp_path, file_size_limit, layout):
    from zopy.readers import open_sample_file
    path = tmp_path / "block.csv"
    if layout == "names first":
        csv_block(path)
    else:
        path.write_bytes(OLD_LAYOUT)
    with open_sample_file(path) as source:
        samples = np.concatenate(list(source.chunks()))
        attrs = source.attrs
    assert np.allclose(samples, np.linspace(40.0, 60.0, 1000), rtol=1e-8)
    assert (attrs["samplerate_hz"], attrs["units"], attrs["balanced"], attrs["serial"]) == \
        (1e6, "uW", False, "KV31A0427")


@pytest.mark.parametrize("columns, metadata, formats, fault", [
    ({"a": np.ones(3), "b": np.ones(4)}, {}, ["%g", "%g"], "column b must be 1-D with the length"),
    ({"a": np.ones((3, 2))}, {}, ["%g"], "column a must be 1-D"),
    ({"power uw": np.ones(3)}, {}, ["%g"], "column name 'power uw' must be a name"),
    ({"a": np.ones(3)}, {}, ["%g", "%g"], "give one format per column"),
    ({"a": np.ones(3)}, {"serial": "A\nB"}, ["%g"], "does not fit on one line"),
    ({"a": np.ones(3)}, {"note": "x" * 300}, ["%g"], "does not fit on one line"),
    ({"a": np.ones(3)}, {"two words": 1}, ["%g"], "does not fit on one line"),
])
def test_write_csv_refuses_what_its_readers_could_not_take_back(tmp_path, columns, metadata,
                                                               formats, fault):
    from zopy._writer import write_csv
    with pytest.raises(ValueError, match=fault):
        write_csv(tmp_path / "x.csv", columns, metadata, formats)
