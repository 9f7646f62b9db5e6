// zopy._timing: the virtual libzo's timers (timers.hpp) for the benchmarks,
// which are the only code that loads it. Each function converts its
// arguments, runs its timer with the interpreter lock released and returns
// the seconds.
#include "pyutil.hpp"
#include "timers.hpp"

#include <exception>

namespace {

using namespace zopy;

// The seconds `timer` measures, run without the interpreter lock (other
// threads run meanwhile), or its exception as Python's. The lock is taken
// back before the exception is looked at: see translate.
template <typename Timer>
PyObject* seconds_without_lock(Timer timer) {
    double seconds = 0;
    std::exception_ptr failure;
    without_interpreter_lock([&]() noexcept {
        try {
            seconds = timer();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    return translate([&] {
        if (failure) std::rethrow_exception(failure);
        return PyFloat_FromDouble(seconds);
    });
}

// ---------------------------------------------------------------------------
// Library calls

// time_call and time_logged_call: (name, serial, n), and whether to log.
template <const auto& sig>
PyObject* time_calls(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool logged) {
    Arguments<sig> a;
    std::string name, serial;
    uint64_t n;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"name">(a, &name) ||
        !utf8_of<"serial">(a, &serial) || !u64_via_int(a.template get<"n">(), &n))
        return nullptr;
    return seconds_without_lock([&] { return timing::call_seconds(name, serial, n, logged); });
}

constexpr auto kTimeCall = signature("time_call", required("name"), required("serial"),
                                     required("n"));
PyObject* time_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return time_calls<kTimeCall>(args, nargs, kwnames, false);
}
Method time_call_method(kTimeCall, time_call, Line::plain,
    "Seconds per call of the bare library call `name` (\"zo_get_samplerate\",\n"
    "\"zo_get_raw_data\" of one sample, ...), made n times in a C++ loop; not logged.");

constexpr auto kTimeLoggedCall = signature("time_logged_call", required("name"),
                                           required("serial"), required("n"));
PyObject* time_logged_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return time_calls<kTimeLoggedCall>(args, nargs, kwnames, true);
}
Method time_logged_call_method(kTimeLoggedCall, time_logged_call, Line::plain,
    "As time_call, with the calls logged when the log is on: what the log costs.");

// ---------------------------------------------------------------------------
// Blocks of samples

// time_raw_fill and time_render: (serial, n, repeats=5) for `timer`.
template <const auto& sig>
PyObject* time_block(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     double (*timer)(const std::string&, uint64_t, int)) {
    Arguments<sig> a;
    std::string serial;
    uint64_t n;
    int32_t repeats;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"serial">(a, &serial) ||
        !u64_via_int(a.template get<"n">(), &n) ||
        !i32_via_int(a.template get<"repeats">(), &repeats))
        return nullptr;
    return seconds_without_lock([&] { return timer(serial, n, repeats); });
}

constexpr auto kTimeRawFill = signature("time_raw_fill", required("serial"), required("n"),
                                        optional("repeats", integer(5)));
PyObject* time_raw_fill(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return time_block<kTimeRawFill>(args, nargs, kwnames, timing::raw_fill_seconds);
}
Method time_raw_fill_method(kTimeRawFill, time_raw_fill, Line::plain,
    "Best seconds of zo_get_raw_data filling a freshly allocated block of n samples.");

constexpr auto kTimeRender = signature("time_render", required("serial"), required("n"),
                                       optional("repeats", integer(5)));
PyObject* time_render(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return time_block<kTimeRender>(args, nargs, kwnames, timing::render_seconds);
}
Method time_render_method(kTimeRender, time_render, Line::plain,
    "Best seconds to generate n samples into a buffer already in memory.");

// ---------------------------------------------------------------------------
// Streams

constexpr auto kTimeStreamAcquire = signature(
    "time_stream_acquire", required("serial"), required("dtype_bytes"), required("n"),
    required("filter"), required("cutoff_hz"), required("downsampling"), required("repeats"),
    optional("reuse", kFalse));
PyObject* time_stream_acquire(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Arguments<kTimeStreamAcquire> a;
    std::string serial;
    timing::StreamSetup setup{};
    uint64_t n;
    int32_t repeats;
    bool reuse;
    if (!a.parse(args, nargs, kwnames) || !utf8_of<"serial">(a, &serial) ||
        !i32_via_int(a.get<"dtype_bytes">(), &setup.dtype_bytes) ||
        !u64_via_int(a.get<"n">(), &n) || !utf8_of<"filter">(a, &setup.filter) ||
        !to_double(a.get<"cutoff_hz">(), &setup.cutoff_hz) ||
        !i32_via_int(a.get<"downsampling">(), &setup.downsampling) ||
        !i32_via_int(a.get<"repeats">(), &repeats) || !to_bool(a.get<"reuse">(), &reuse))
        return nullptr;
    return seconds_without_lock([&] {
        return timing::stream_acquire_seconds(serial, setup, n, repeats, reuse);
    });
}
Method time_stream_acquire_method(kTimeStreamAcquire, time_stream_acquire, Line::plain,
    "Best seconds of a stream's acquire of n samples, float (dtype_bytes 4) or\n"
    "double (8), with the filter (\"none\", \"lowpass\", \"highpass\"), cutoff and\n"
    "downsampling given; with reuse, into one block filled once before.");

// ---------------------------------------------------------------------------
// The module

Method* const functions[] = {
    &time_call_method,   &time_logged_call_method,   &time_raw_fill_method,
    &time_render_method, &time_stream_acquire_method,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zopy._timing",
    "The virtual libzo's timers, for the benchmarks.\n"
    "\n"
    "Timing helpers\n"
    "--------------\n"
    "``time_call(name, serial, n)`` returns the seconds per call of a bare\n"
    "library call (``\"zo_get_samplerate\"``, ``\"zo_read_highgain\"``,\n"
    "``\"zo_get_calibration\"``, ``\"zo_get_raw_data\"`` of one sample, ...) made\n"
    "``n`` times in a C++ loop, and ``time_raw_fill(serial, n, repeats=5)`` the\n"
    "best time of ``zo_get_raw_data`` filling a freshly allocated block of ``n``\n"
    "samples. ``time_render(serial, n, repeats=5)`` times the signal generator\n"
    "alone, and ``time_stream_acquire(serial, dtype_bytes, n, filter, cutoff_hz,\n"
    "downsampling, repeats, reuse=False)`` a stream's acquire of ``n`` samples\n"
    "in the library. They use a handle of their own (the instrument may be\n"
    "open elsewhere) and are neither logged nor overridden.\n"
    "``time_logged_call(name, serial, n)`` times as ``time_call`` does but logs\n"
    "the calls when the log is on, which measures what the log costs. Each\n"
    "releases the interpreter lock while it times; a refusal (an unknown call\n"
    "or serial, a count below 1) raises ValueError.\n",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__timing(void) {
    zopy::Ref module = zopy::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    for (zopy::Method* function : functions) {
        if (!zopy::bind_function(module.get(), *function)) return nullptr;
    }
    return module.release();
}
