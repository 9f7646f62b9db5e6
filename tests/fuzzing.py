"""Fuzzer of the module's public surface, driven by hypothesis.

Each example is a sequence of operations on a fresh virtual bench: calls of
every method of Device, _DDevice and Stream (found by walking the classes),
reads, writes and deletions of every property, constructions, the module
functions, and bench faults (detach, reset, scripted failures) in between.
Arguments are hostile: ints of any size and sign, floats with nan and inf,
text, bytes, None, numpy arrays of odd dtypes, shapes and strides, and
objects whose conversions raise, return the wrong type, or close the device,
reset the bench or resize an array half-way through a call.

Every example is a program of (entry, seed) pairs that expands, always the
same way, into those operations; before an example runs its program is
written to the reproducer file, so if the interpreter dies the program that
killed it is there to replay.

Only documented exception types may come out of a call.

Run as a script: python -P tests/fuzzing.py --calls N [--seed S] [--reproducer PATH]
Prints "fuzzed <calls> calls in <seconds> s (<examples> sequences)".
python -P tests/fuzzing.py --replay PATH runs the program a reproducer file
holds again, printing each operation before it runs.
New methods are fuzzed as they appear; new keyword names go in PARAMETERS.
"""

import argparse
import ast
import faulthandler
import inspect
import os
import random
import sys
import time
import warnings

import numpy as np
from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

import zopy
from zopy import _sim, sim

# Keyword names of each method (positional order), so calls by keyword and
# by position both happen. A method missing here is still called positionally.
PARAMETERS = {
    "__init__": ["open", "serial", "device", "dtype"],
    "open": ["serial"],
    "get_raw_data": ["nsamples", "mask", "trig_mode", "trig_port", "arm_time",
                     "samples_per_trigger", "out"],
    "get_calibrated_data": ["nsamples", "wavelength", "out"],
    "get_calibration": ["type"],
    "get_rel_calibration": ["wavelength", "type"],
    "get_rel_responsivity": ["wavelength"],
    "port_drive": ["port", "value"],
    "port_pwm": ["port", "threshold", "period"],
    "port_pulse": ["port", "threshold"],
    "port_read": ["port"],
    "test_user": ["sample"],
    "open_stream": ["dtype"],
    "in_request": ["request", "value", "index", "length", "timeout"],
    "out_request": ["request", "value", "index", "data", "timeout"],
    "set_clock_divide": ["divide"],
    "acquire": ["nsamples", "getbits", "out", "bits_out"],
    "set_custom_calibration": ["calibration"],
    "set_calibration_mode": ["mode"],
    "set_calibration_wavelength": ["wavelength"],
    "set_calibration_units": ["power_of_ten"],
    "set_cutoff": ["cutoff"],
    "set_filter": ["filter"],
    "set_downsampling": ["downsampling"],
    "set_decimation": ["decimation"],
}
# Setters of the front-end switches take `enable`.
SWITCH_SETTERS = ("set_highgain", "set_antialias", "set_powerdown", "set_adcclock",
                  "set_p1_select", "set_p2_select")
PARAMETERS.update({name: ["enable"] for name in SWITCH_SETTERS})

# Dunder members worth calling; the others are Python's own.
DUNDERS = {"__init__", "__repr__", "__reduce__", "__setstate__", "__enter__", "__exit__"}
# zopy.exit() stops the library for the life of the process (the exit tests
# cover it); everything else is fair game.
MODULE_FUNCTIONS = ["init", "version"]

# Library functions the module calls, for scripted answers.
OVERRIDABLE = [
    "zo_open_device", "zo_open_from_serial", "zo_get_serial", "zo_get_product",
    "zo_get_samplerate", "zo_get_adcbits", "zo_get_fwversion", "zo_get_usb_speed",
    "zo_get_peak_responsivity", "zo_get_rel_responsivity", "zo_get_calibration",
    "zo_get_rel_calibration", "zo_get_raw_data", "zo_get_raw_data_triggered",
    "zo_get_raw_data_triggered_repeat", "zo_read_highgain", "zo_set_highgain",
    "zo_read_p1_monitor", "zo_port_read", "zo_port_drive", "zo_in_request", "zo_out_request",
    "zo_reset_device", "zo_get_error", "zo_get_error_string", "zo_open_stream<float>",
    "zo_open_stream<double>", "ZOGenericStream::read_samplesize",
    "ZOGenericStream::read_calibration", "ZOGenericStream::read_calibration_mode",
    "ZOGenericStream::read_filter", "ZOStream<float>::acquire", "ZOStream<double>::acquire",
]


class HostileError(Exception):
    """Raised by the misbehaving objects' own conversions."""


# What may come out of a call: the module's errors, Python's built-in
# argument errors, and what the hostile objects raise themselves.
ALLOWED = (zopy.Error, TypeError, ValueError, OverflowError, RuntimeError, KeyError, IndexError,
           MemoryError, AttributeError, HostileError)


class World:
    """The bench and the objects one example works on."""

    def __init__(self):
        sim.reset()
        sim.set_timeout(0.0005)           # triggers that never come fail fast
        sim.set_port_input("S", frequency_hz=200_000)
        sim.attach("KV31BAL", balanced=True)
        sim.set_light(20.0)
        self.shared = np.arange(64, dtype=np.uint8)   # what "resize" misbehaviour shrinks
        self.dev = zopy.Device()
        self.ddev = zopy.zopy._DDevice(serial="KV31BAL")
        self.stream = self.dev.open_stream("float32")
        self.stream64 = self.ddev.open_stream("float64")

    def target(self, name):
        return getattr(self, name)

    def close(self):
        for obj in (self.stream, self.stream64, self.dev, self.ddev):
            try:
                obj.close()
            except ALLOWED:
                pass


WORLD = None


class Misbehaving:
    """Stands in for a number, a text or a sequence; each conversion does
    `action` first: raise, answer with the wrong type, close the objects,
    reset the bench, detach the instruments or shrink the shared array."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __repr__(self):
        return f"Misbehaving({self.action!r}, {self.value!r})"

    def _act(self, convert):
        if self.action == "raise":
            raise HostileError(self.action)
        if self.action == "wrong type":
            return "not a number"
        if self.action == "close":
            WORLD.close()
        elif self.action == "reset":
            sim.reset()
        elif self.action == "detach":
            sim.detach_all()
        elif self.action == "resize":
            WORLD.shared.resize(0, refcheck=False)
        return convert(self.value)

    def __int__(self):
        return self._act(int)

    def __index__(self):
        return self._act(int)

    def __float__(self):
        return self._act(float)

    def __len__(self):
        return self._act(int)

    def __bool__(self):
        return self._act(bool)

    def __getitem__(self, i):
        # Two items, as a calibration pair has: iterating it must end.
        if not -2 <= i < 2:
            raise IndexError(i)
        return self._act(float)

    def lower(self):
        return self._act(str)

    def encode(self, *args):
        return self._act(lambda v: str(v).encode())


# Counts: fits an array and fails fast, or is too large to allocate; never
# the middle ground of gigabytes that would really be allocated and filled.
COUNTS = [0, 1, 2, 7, 16, 100, 1000, 3000, -1, -2, -300, 2**8, 2**16 - 1, 2**16, 2**31 - 1,
          2**31, 2**32, 2**45, 2**63 - 1, 2**63, 2**64, 2**64 + 1, -(2**15), -(2**31) - 1,
          -(2**63) - 1, 10**30, -(10**30), 1 << 200]
FLOATS = [0.0, -0.0, 1.5, -2.7, 100.7, 1310.0, 1550.0, 1e-300, 5e-324, 1e13, -1e13, 1.8e308,
          float("nan"), float("inf"), -float("inf")]
WORDS = ["auto", "AUTO", "rising", "Falling", "high", "low", "S", "T", "s", "A", "B", "LEDR",
         "LEDG", "LEDB", "lowpass", "bandpass", "none", "float32", "float64", "f4", "<f8", ">f4",
         "uint16", "balanced", "p2 digital", "digital highgain", "KV31", "KV31A0427", "KV31BAL",
         "", "\x00", "é", "\ud800", "x" * 300]
DTYPES = [np.uint8, np.uint16, np.int16, np.int8, np.float32, np.float64, np.complex128,
          np.bool_, object, ">u2", ">f4", "U3", "V3"]
SHAPES = [0, 1, 3, 64, 1024, 1025, (2, 3), (0, 4)]
MISBEHAVIOURS = ["raise", "wrong type", "close", "reset", "detach", "resize", "plain"]


def value_pool():
    """Hostile values, built once; examples pick from them by index, which
    keeps generation cheap and reproducers short."""
    pool = [None, True, False, np.uint8(255), np.bool_(True), np.uint64(2**64 - 1),
            np.int64(-5), np.float32("nan"), np.float64(1e300), (1.0, 0.0), (float("nan"), 2),
            [1, 2], [], (1,), {"a": 1}, "<dev>", "<ddev>", "<stream>", "<shared>"]
    pool += COUNTS + FLOATS + WORDS + [w.encode("utf-8", "surrogatepass") for w in WORDS[:12]]
    pool += [b"\xff\xfe", bytearray(b"S"), memoryview(b"auto")]
    for dtype in DTYPES:
        for shape in SHAPES:
            a = np.zeros(shape, dtype=dtype)
            pool.append(a)
            if a.ndim == 1 and a.size > 2:
                pool.append(a[::2])
                readonly = a[::-1]
                readonly.setflags(write=False)
                pool.append(readonly)
    for action in MISBEHAVIOURS:
        for value in (0, 1, 5, 2000, 2**70, -(2**70)):
            pool.append(Misbehaving(action, value))
    return pool


POOL = value_pool()


def pick(rng):
    """One argument value: mostly from the pool, sometimes freshly random."""
    roll = rng.random()
    if roll < 0.85:
        return POOL[rng.randrange(len(POOL))]
    if roll < 0.92:
        return rng.randint(-(2**16), 2**16)
    if roll < 0.97:
        return rng.uniform(-1e5, 1e5)
    return "".join(chr(rng.randrange(1, 0x3000)) for _ in range(rng.randrange(6)))


def resolve(value):
    """Values naming the world's objects become those objects."""
    if isinstance(value, str) and value.startswith("<") and value.endswith(">") and len(value) > 2:
        name = value[1:-1]
        return WORLD.shared if name == "shared" else WORLD.target(name)
    if isinstance(value, list):
        return [resolve(v) for v in value]
    if isinstance(value, tuple):
        return tuple(resolve(v) for v in value)
    return value


def members(cls):
    """(methods, properties) of cls and its zopy bases, by walking their dicts."""
    methods, properties = set(), set()
    for klass in cls.__mro__:
        if klass is object:
            continue
        for name, member in vars(klass).items():
            if name.startswith("__") and name not in DUNDERS:
                continue
            if isinstance(member, property) or inspect.isgetsetdescriptor(member):
                properties.add(name)
            elif callable(member):
                methods.add(name)
    return sorted(methods), sorted(properties)


TARGETS = {
    "dev": members(zopy.Device),
    "ddev": members(zopy.zopy._DDevice),
    "stream": members(zopy.Stream),
    "stream64": members(zopy.Stream),
}
CONSTRUCTORS = {"Device": zopy.Device, "_DDevice": zopy.zopy._DDevice, "Stream": zopy.Stream,
                "Error": zopy.Error, "NoDeviceError": zopy.NoDeviceError}


# Everything an operation can be; an example is a list of (entry, seed)
# pairs, and each pair expands into a burst of BURST calls of its entry with
# arguments drawn from seed, seed + 1, ... (expand). Hypothesis then draws two
# numbers per burst, which keeps generation from dominating, and shrinks a
# failing example towards early entries and small seeds.
BURST = 8
CATALOGUE = (
    [("call", target, name) for target in sorted(TARGETS) for name in TARGETS[target][0]] * 3
    + [(how, target, name) for target in sorted(TARGETS) for name in TARGETS[target][1]
       for how in ("get", "get", "get", "set", "set", "del")]
    + [("new", name) for name in sorted(CONSTRUCTORS)]
    + [("func", name) for name in MODULE_FUNCTIONS]
    + [("bench", fault) for fault in ("detach", "attach", "reset", "reopen", "set_error")]
    + [("bench", "override")] * 12
)


def arguments(rng, name):
    """(args, kwargs) for a call of `name`: a few positional values, or some
    of its keywords (now and then one it does not have)."""
    names = PARAMETERS.get(name, [])
    if names and rng.random() < 0.4:
        kwargs = {k: pick(rng) for k in rng.sample(names, rng.randint(1, len(names)))}
        if rng.random() < 0.1:
            kwargs["bogus"] = 1
        return (), kwargs
    # Mostly as many arguments as the method takes, so calls get past the
    # argument parser; now and then too few or too many.
    if rng.random() < 0.8:
        count = rng.randint(1, len(names)) if names else 0
    else:
        count = rng.choice([0, 1, len(names) + 1, 7])
    return tuple(pick(rng) for _ in range(count)), {}


def scripted_answer(rng):
    """sim.override arguments: a function, a result of its kind, maybe an error."""
    function = rng.choice(OVERRIDABLE)
    kind, low, high = _sim.function_kind(function)
    text = bytes(rng.randrange(256) for _ in range(rng.randrange(6)))
    result = {
        "int": lambda: rng.choice([low, high, 0, -1, 1, rng.randint(low, high)]),
        "float": lambda: rng.choice(FLOATS),
        "pair": lambda: (rng.choice(FLOATS), rng.choice(FLOATS)),
        "version": lambda: tuple(rng.choice([0, 1, 255]) for _ in range(3)),
        "text": lambda: rng.choice([None, text, b"KV31", b"\xff"]),
        "error_text": lambda: text,
        "string": lambda: rng.choice([text, b"lowpass", b"auto"]),
        "pointer": lambda: None,
    }[kind]()
    error = rng.choice([None, (rng.randint(-(2**31), 2**31 - 1), text), (33, b"timeout")])
    return function, result, error, rng.randint(1, 3)


def expand(entry, seed_value):
    """The operation that catalogue entry `entry` becomes with `seed_value`."""
    rng = random.Random(seed_value)
    op = CATALOGUE[entry]
    kind = op[0]
    if kind in ("call", "new"):
        return op + arguments(rng, op[-1] if kind == "call" else "__init__")
    if kind == "set":
        return op + (pick(rng),)
    if kind == "bench" and op[1] == "override":
        return op + (scripted_answer(rng),)
    if kind == "bench" and op[1] in ("detach", "attach"):
        return op + (("KV31A0427",),)
    if kind == "bench" and op[1] == "set_error":
        return op + ((-1, b"\xff\xfe"),)
    return op + ((),) if kind == "bench" else op


programs = st.lists(st.tuples(st.integers(0, len(CATALOGUE) - 1), st.integers(0, 2**32 - 1)),
                    min_size=10, max_size=80)


def run_bench(fault, args):
    if fault == "override":
        function, result, error, times = args
        sim.override(function, result, error=error, times=times)
    elif fault == "detach":
        sim.detach(*args)
    elif fault == "attach":
        if args[0] not in sim.devices():
            sim.attach(*args)
    elif fault == "reset":
        sim.reset()
    elif fault == "reopen":
        for dev in (WORLD.dev, WORLD.ddev):
            try:
                dev.open()
            except ALLOWED:
                pass
    elif fault == "set_error":
        sim.set_error(*args)


class Counter:
    calls = 0
    examples = 0


def run(op):
    """Runs one operation; a module call counts as one fuzzed call."""
    kind = op[0]
    if kind == "bench":
        run_bench(op[1], op[2])
        return
    Counter.calls += 1
    if kind == "call":
        _, target, name, args, kwargs = op
        getattr(WORLD.target(target), name)(*resolve(args), **{k: resolve(v) for k, v in kwargs.items()})
    elif kind == "get":
        getattr(WORLD.target(op[1]), op[2])
    elif kind == "set":
        setattr(WORLD.target(op[1]), op[2], resolve(op[3]))
    elif kind == "del":
        delattr(WORLD.target(op[1]), op[2])
    elif kind == "new":
        _, name, args, kwargs = op
        CONSTRUCTORS[name](*resolve(args), **{k: resolve(v) for k, v in kwargs.items()})
    elif kind == "func":
        getattr(zopy.zopy, op[1])()


def operations(program):
    """The operations a program of (entry, seed) pairs stands for."""
    return [expand(entry, seed_value + i) for entry, seed_value in program
            for i in range(1 if CATALOGUE[entry][0] == "bench" else BURST)]


def check_sequence(program, reproducer=None, show=False):
    global WORLD
    Counter.examples += 1
    if reproducer:   # the compact program: cheap to write before every example
        with open(reproducer, "w") as f:
            f.write(repr(program) + "\n")
    ops = operations(program)
    WORLD = World()
    try:
        for op in ops:
            if show:
                print(repr(op), flush=True)
            try:
                run(op)
            except ALLOWED:
                pass
            except Exception as exc:
                raise AssertionError(f"{op!r} raised {type(exc).__name__}: {exc}") from exc
    finally:
        WORLD.close()
    # Nothing the sequence did may have corrupted the module: a fresh bench
    # and Device work as on the first day.
    sim.reset()
    dev = zopy.Device()
    sim.set_light(10.0, noise=False)
    assert dev.get_raw_data(16).tolist() == [200 + 819] * 16, "acquisition corrupted"
    dev.close()


def fuzz(calls, seed_value, reproducer, chunk=200):
    faulthandler.enable()
    start = time.perf_counter()
    settings_ = settings(max_examples=chunk, deadline=None, database=None,
                         phases=[Phase.generate, Phase.shrink],
                         suppress_health_check=list(HealthCheck), print_blob=True)
    round_ = 0
    while Counter.calls < calls:
        @seed(seed_value + round_)
        @settings_
        @given(programs)
        def sequences(program):
            check_sequence(program, reproducer)

        sequences()
        round_ += 1
    seconds = time.perf_counter() - start
    print(f"fuzzed {Counter.calls} calls in {seconds:.1f} s ({Counter.examples} sequences)",
          flush=True)


def cap_allocations(margin=1 << 30):
    """Hostile counts must fail at allocation, not allocate gigabytes for the
    library to fill: the address space is capped at what the process uses
    now plus `margin`. Under AddressSanitizer, whose shadow memory needs the
    address space, its allocator is capped through ASAN_OPTIONS instead."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return
    try:
        import resource
        with open("/proc/self/status") as f:
            size_kb = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
    except (ImportError, OSError, StopIteration):
        return
    resource.setrlimit(resource.RLIMIT_AS, (size_kb * 1024 + margin, resource.RLIM_INFINITY))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10**6)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--reproducer", default=None,
                        help="file that holds the program of the example being run")
    parser.add_argument("--replay", default=None,
                        help="run the program in this reproducer file, printing each operation")
    options = parser.parse_args(argv)
    warnings.simplefilter("ignore")   # numpy's casting warnings are not failures
    cap_allocations()
    if options.replay:
        with open(options.replay) as f:
            check_sequence(ast.literal_eval(f.read()), show=True)
        return
    fuzz(options.calls, options.seed, options.reproducer)


if __name__ == "__main__":
    sys.exit(main())
