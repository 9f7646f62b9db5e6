// The bench's call log and scripted overrides.
//
// Every entry point of the library (plain functions and stream operations)
// does two things before it answers:
//
//     calllog::log("zo_get_raw_data", serial, nsamples, calllog::buffer(buf, nsamples));
//     if (auto r = calllog::overridden<int>("zo_get_raw_data")) return *r;
//
// log() records (name, args...) in the bench's log, which the control surface
// (zopy.sim) hands to tests. The log keeps the latest calls only (a ring of
// set capacity, kLogCapacity by default) and counts those it dropped, so a
// program that runs for hours on the bench keeps a flat memory. overridden<R>() returns a scripted answer when
// one is pending for that function (and sets the last error if the script
// says so), otherwise nothing; the caller then answers as the instrument
// would. Both are a single relaxed atomic load when logging is off or no
// override is pending, so they can sit on every hot path.
//
// Argument conventions for log(), so that the log reads the same everywhere:
// - a device handle is logged as the serial of its instrument, or a null
//   serial (nullptr or std::nullopt) when the handle is null or not live;
// - a buffer is logged as its element count, a null buffer as None:
//   pass calllog::buffer(ptr, count);
// - text as a string (const char* null is logged as None), bool as bool,
//   enums and integers as ints, floating point as float;
// - stream operations are logged without the stream object.
//
// Names are those a test passes to sim.override(): the C function name,
// "zo_open_stream<float>", "zo_open_stream<double>", "zo_close_stream",
// "ZOGenericStream::<operation>", "ZOStream<float>::acquire" and
// "ZOStream<double>::acquire". Every name must be in the table of
// functions() (calllog.cpp); overridden<R>() with a name that is not there
// simply never finds an override.
#ifndef ZOPY_VIRTUAL_CALLLOG_HPP
#define ZOPY_VIRTUAL_CALLLOG_HPP

#include "zo.h"

#include <array>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace zo::calllog {

// ---------------------------------------------------------------- log values

struct None {};
using Value = std::variant<None, bool, int64_t, uint64_t, double, std::string>;

struct Call {
    std::string name;
    std::vector<Value> args;
};

// A buffer argument: logged as its element count, or None when ptr is null.
struct Buffer {
    const void* ptr;
    uint64_t count;
};
inline Buffer buffer(const void* ptr, uint64_t count) { return {ptr, count}; }

namespace detail {
inline Value to_value(None) { return None{}; }
inline Value to_value(bool v) { return v; }
inline Value to_value(double v) { return v; }
inline Value to_value(float v) { return double(v); }
inline Value to_value(const char* v) { return v ? Value(std::string(v)) : Value(None{}); }
inline Value to_value(std::nullptr_t) { return None{}; }
inline Value to_value(const std::string& v) { return v; }
inline Value to_value(std::string_view v) { return std::string(v); }
inline Value to_value(const std::optional<std::string>& v) { return v ? Value(*v) : Value(None{}); }
inline Value to_value(const std::string* v) { return v ? Value(*v) : Value(None{}); }
inline Value to_value(Buffer b) { return b.ptr ? Value(b.count) : Value(None{}); }
template <class T>
    requires(std::integral<T> && !std::same_as<T, bool>)
Value to_value(T v) {
    if constexpr (std::is_signed_v<T>) return int64_t(v);
    else return uint64_t(v);
}
template <class T>
    requires std::is_enum_v<T>
Value to_value(T v) { return int64_t(v); }
}  // namespace detail

// Logging switch (sim.set_logging) and the per-thread "quiet" depth that bench
// helpers use so their own calls neither log nor take overrides.
inline std::atomic<bool> g_logging{true};
inline thread_local int t_quiet = 0;

inline bool logging_active() noexcept {
    return g_logging.load(std::memory_order_relaxed) && t_quiet == 0;
}

// Calls the log keeps by default. Enough for any test or debugging session to
// look back over everything it did (a test makes tens to thousands of calls),
// while the log of a program that never stops stays near 10 MB.
inline constexpr std::size_t kLogCapacity = 100'000;
// The largest capacity: what a signed 64-bit integer (a bench file's TOML)
// carries and the ring's index arithmetic cannot overflow.
inline constexpr std::size_t kMaxLogCapacity =
    std::size_t(std::numeric_limits<std::ptrdiff_t>::max());

// The log's next entry, written in place: it holds the log's lock while the
// arguments are added. Once the ring has filled, entries are reused with the
// memory they already have, so a logged call allocates nothing.
class EntryWriter {
public:
    explicit EntryWriter(const char* name);   // `name` has static storage
    EntryWriter(const EntryWriter&) = delete;
    EntryWriter& operator=(const EntryWriter&) = delete;
    void add(Value&& value) {
        if (args_) args_->push_back(std::move(value));
    }

private:
    std::unique_lock<std::mutex> lock_;
    std::vector<Value>* args_;   // null when the capacity is 0
};

// `name` is a literal: the log keeps the pointer.
template <class... Args>
void log(const char* name, const Args&... args) {
    if (!logging_active()) return;
    EntryWriter entry(name);
    (entry.add(detail::to_value(args)), ...);
}

std::vector<Call> calls();  // a copy of the kept calls, oldest first
void clear_calls();         // also zeroes the dropped count

// Keeps at most `capacity` calls from now on (the latest ones, if there are
// more already); 0 keeps none. What is dropped counts as dropped.
void set_capacity(std::size_t capacity);
std::size_t capacity();
// Calls dropped from the log since it was last cleared.
uint64_t dropped();

// Calls made inside a QuietScope on this thread are neither logged nor
// overridden (the timing helpers, which call entry points in a loop, take
// one through control::QuietCalls).
struct QuietScope {
    QuietScope() noexcept { ++t_quiet; }
    ~QuietScope() { --t_quiet; }
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;
};

// ----------------------------------------------------------------- overrides

// What kind of value a function returns, which decides what an override of
// it may hold.
enum class Kind {
    Int,       // any integer result or status, within [min, max]
    Double,
    Pair,      // zo_calibration_t or std::pair<double, double>
    Version,   // zo_version_t
    Text,      // const char*, may be null
    ErrorText, // const char* that is never null (zo_get_error_string)
    String,    // std::string by value
    Pointer,   // a pointer result: only null can be scripted
};

struct Function {
    std::string_view name;
    Kind kind;
    int64_t min = 0;  // range of an Int result
    int64_t max = 0;
};

std::span<const Function> functions();
const Function* find_function(std::string_view name);  // null if unknown

struct Null {};  // a null pointer result
struct Text {    // text kept alive by the bench until sim.reset()
    const char* ptr;
};
using Result = std::variant<Null, int64_t, double, std::pair<double, double>,
                            std::array<uint8_t, 3>, Text>;

// Number of overrides not yet used up; the fast path reads only this.
inline std::atomic<int> g_pending{0};

// Slow path: takes one use of the first pending override for `name`, sets the
// last error when it carries one, and returns its result.
std::optional<Result> take(std::string_view name);

namespace detail {
template <class R>
R convert(const Result& r) {
    if constexpr (std::is_pointer_v<R> && !std::is_same_v<R, const char*>) {
        if (std::holds_alternative<Null>(r)) return nullptr;
    } else if constexpr (std::is_same_v<R, const char*>) {
        if (auto t = std::get_if<Text>(&r)) return t->ptr;
        if (std::holds_alternative<Null>(r)) return nullptr;
    } else if constexpr (std::is_same_v<R, std::string>) {
        if (auto t = std::get_if<Text>(&r)) return std::string(t->ptr);
    } else if constexpr (std::is_same_v<R, double>) {
        if (auto d = std::get_if<double>(&r)) return *d;
    } else if constexpr (std::is_same_v<R, zo_calibration_t>) {
        if (auto p = std::get_if<std::pair<double, double>>(&r)) return {p->first, p->second};
    } else if constexpr (std::is_same_v<R, std::pair<double, double>>) {
        if (auto p = std::get_if<std::pair<double, double>>(&r)) return *p;
    } else if constexpr (std::is_same_v<R, zo_version_t>) {
        if (auto v = std::get_if<std::array<uint8_t, 3>>(&r)) return {(*v)[0], (*v)[1], (*v)[2]};
    } else if constexpr (std::integral<R> || std::is_enum_v<R>) {
        if (auto i = std::get_if<int64_t>(&r)) return static_cast<R>(*i);
    }
    throw std::logic_error("scripted result does not fit the function's result type");
}
}  // namespace detail

// The scripted answer of the next call of `name`, if one is pending.
template <class R>
std::optional<R> overridden(std::string_view name) {
    if (g_pending.load(std::memory_order_relaxed) == 0 || t_quiet != 0) return std::nullopt;
    auto r = take(name);
    if (!r) return std::nullopt;
    return detail::convert<R>(*r);
}

// ------------------------------------------------ control (used by zopy.sim)

// The result of an override as the control surface hands it over: text as
// an owned string (the log keeps a copy alive until clear_overrides()).
using Script = std::variant<Null, int64_t, double, std::pair<double, double>,
                            std::array<uint8_t, 3>, std::string>;
struct ScriptedError {
    int32_t code;
    std::string text;
};

// Throws std::invalid_argument for an unknown name, a result of the wrong
// kind, an integer out of the function's range, or times < 1.
void add_override(std::string_view name, Script result,
                  std::optional<ScriptedError> error, int times);
void clear_overrides();  // also frees the kept texts

// An override not yet used up, as add_override() took it (for saving a bench).
struct PendingOverride {
    std::string name;
    Script result;
    std::optional<ScriptedError> error;
    int remaining;
};
std::vector<PendingOverride> pending_overrides();  // in the order they were given
void set_logging(bool enabled);

}  // namespace zo::calllog

#endif  // ZOPY_VIRTUAL_CALLLOG_HPP
