// Timers of the virtual libzo, for the benchmarks: the cost of bare library
// calls, raw fills, the signal generator and stream processing, measured in
// C++ loops so that a benchmark can tell the library's share from the
// module's.
//
// They call the library's entry points through an unclaimed handle of their
// own (the instrument may be open elsewhere) and, but for
// call_seconds(..., logged=true), with quiet calls: nothing they do is
// logged, answered by a scripted override or counted toward an unplug.
// Refusals and library failures throw (std::invalid_argument,
// std::runtime_error); a timer needs no interpreter.
#ifndef ZOPY_VIRTUAL_TIMING_TIMERS_HPP
#define ZOPY_VIRTUAL_TIMING_TIMERS_HPP

#include <cstdint>
#include <string>

namespace timing {

// Seconds per call of the library function `name` ("zo_get_samplerate",
// "zo_read_highgain", "zo_get_calibration", "zo_get_raw_data" of one
// sample, ...) on the instrument with this serial, made n times. With
// `logged`, the calls go to the call log (when it is on) as any caller's do,
// which measures what the log costs.
double call_seconds(const std::string& name, const std::string& serial, uint64_t n, bool logged);

// The best of `repeats` zo_get_raw_data fills of a freshly allocated block
// of n samples (its page faults included, as a new array's are).
double raw_fill_seconds(const std::string& serial, uint64_t n, int repeats);

// The best of `repeats` renderings of n samples from the instrument's clock
// on into a buffer already in memory: the signal generator alone.
double render_seconds(const std::string& serial, uint64_t n, int repeats);

// What a timed stream is set up with.
struct StreamSetup {
    int dtype_bytes;       // 4: float, 8: double
    std::string filter;    // "none", "lowpass" or "highpass"
    double cutoff_hz;      // for a filter other than "none"
    int downsampling;
};

// The best of `repeats` acquisitions of n samples by a stream set up as
// `setup`, rendering the instrument's samples included (as in raw
// acquisition). Into a fresh block each time, or with `reuse_block` into
// one block the stream filled once before the timing, as a caller's reused
// array is.
double stream_acquire_seconds(const std::string& serial, const StreamSetup& setup, uint64_t n,
                              int repeats, bool reuse_block);

}  // namespace timing

#endif  // ZOPY_VIRTUAL_TIMING_TIMERS_HPP
