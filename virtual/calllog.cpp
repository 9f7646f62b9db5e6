#include "calllog.hpp"

#include "errors.hpp"

#include <algorithm>
#include <deque>
#include <limits>
#include <mutex>

namespace zo::calllog {

namespace {

constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

Function status(std::string_view name) { return {name, Kind::Int, kI32Min, kI32Max}; }
Function of(std::string_view name, Kind kind) { return {name, kind}; }

// Every function a test can log or script, with the kind of its result.
const std::vector<Function>& table() {
    static const std::vector<Function> t = {
        status("zo_init"), status("zo_exit"), of("zo_version", Kind::Version),
        status("zo_get_error"), of("zo_get_error_string", Kind::ErrorText),
        of("zo_open_device", Kind::Pointer), of("zo_open_from_serial", Kind::Pointer),
        status("zo_close_device"), status("zo_reset_device"),
        of("zo_get_serial", Kind::Text), of("zo_get_product", Kind::Text),
        {"zo_get_samplerate", Kind::Int, 0, 0xFFFFFFFFll},
        {"zo_get_adcbits", Kind::Int, 0, 255},
        of("zo_get_fwversion", Kind::Version),
        status("zo_get_usb_speed"), status("zo_get_peak_responsivity"),
        of("zo_get_rel_responsivity", Kind::Double),
        of("zo_get_calibration", Kind::Pair), of("zo_get_rel_calibration", Kind::Pair),
        status("zo_get_raw_data"), status("zo_get_raw_data_triggered"),
        status("zo_get_raw_data_triggered_repeat"),
        status("zo_read_highgain"), status("zo_set_highgain"),
        status("zo_read_antialias"), status("zo_set_antialias"),
        status("zo_read_powerdown"), status("zo_set_powerdown"),
        status("zo_read_adcclock"), status("zo_set_adcclock"),
        status("zo_read_p1_monitor"), status("zo_set_p1_monitor"),
        status("zo_read_p2_monitor"), status("zo_set_p2_monitor"),
        status("zo_port_drive"), status("zo_port_pwm"), status("zo_port_pulse"),
        status("zo_port_read"),
        status("zo_test_pn9"), status("zo_test_checkerboard"), status("zo_test_normal"),
        status("zo_test_user"),
        status("zo_in_request"), status("zo_out_request"),
        of("zo_open_stream<float>", Kind::Pointer), of("zo_open_stream<double>", Kind::Pointer),
        of("zo_close_stream", Kind::Pointer),
        of("ZOGenericStream::read_samplerate", Kind::Double),
        status("ZOGenericStream::read_samplesize"),
        of("ZOGenericStream::read_calibration_mode", Kind::String),
        of("ZOGenericStream::list_calibration_modes", Kind::String),
        status("ZOGenericStream::set_calibration_mode"),
        status("ZOGenericStream::update_auto_calibration"),
        of("ZOGenericStream::read_calibration", Kind::Pair),
        status("ZOGenericStream::set_custom_calibration"),
        of("ZOGenericStream::read_custom_calibration", Kind::Pair),
        of("ZOGenericStream::read_calibration_wavelength", Kind::Double),
        status("ZOGenericStream::set_calibration_wavelength"),
        status("ZOGenericStream::read_calibration_units"),
        status("ZOGenericStream::set_calibration_units"),
        of("ZOGenericStream::read_filter", Kind::String),
        status("ZOGenericStream::set_filter"),
        of("ZOGenericStream::read_cutoff", Kind::Double),
        status("ZOGenericStream::set_cutoff"),
        status("ZOGenericStream::read_downsampling"),
        status("ZOGenericStream::set_downsampling"),
        status("ZOGenericStream::set_decimation"),
        status("ZOGenericStream::read_decimation"),
        of("ZOGenericStream::list_filters", Kind::String),
        status("ZOStream<float>::acquire"), status("ZOStream<double>::acquire"),
    };
    return t;
}

struct Pending {
    std::string name;
    Result result;
    std::optional<ScriptedError> error;
    int remaining;
};

// One lock for the log and the overrides: both are touched rarely enough
// (the fast paths never get here) that contention does not matter.
struct Entry {
    const char* name;
    std::vector<Value> args;
};

// The latest calls, oldest first from `oldest`: the ring grows to `capacity`
// entries, then each new call takes the place of the oldest.
struct Ring {
    std::vector<Entry> entries;
    std::size_t capacity = kLogCapacity;
    std::size_t oldest = 0;   // where the next call goes once the ring is full
    uint64_t dropped = 0;

    bool full() const { return entries.size() == capacity; }

    // The entry for a new call; null when nothing is kept.
    Entry* next() {
        if (capacity == 0) {
            ++dropped;
            return nullptr;
        }
        if (!full()) return &entries.emplace_back();
        Entry* e = &entries[oldest];
        oldest = (oldest + 1) % capacity;
        ++dropped;
        return e;
    }

    // Calls `visit` on the kept entries, oldest first.
    template <class Visit>
    void for_each(Visit&& visit) const {
        const std::size_t start = full() ? oldest : 0;
        for (std::size_t i = 0; i < entries.size(); ++i)
            visit(entries[(start + i) % entries.size()]);
    }
};

struct State {
    std::mutex mutex;
    Ring log;
    std::vector<Pending> pending;
    std::deque<std::string> kept_texts;  // stable addresses for Text results
};

State& state() {
    static State* s = new State;  // never destroyed: entry points may run during exit
    return *s;
}

bool fits(const Function& f, const Script& s) {
    switch (f.kind) {
    case Kind::Int: {
        auto i = std::get_if<int64_t>(&s);
        return i && *i >= f.min && *i <= f.max;
    }
    case Kind::Double: return std::holds_alternative<double>(s);
    case Kind::Pair: return std::holds_alternative<std::pair<double, double>>(s);
    case Kind::Version: return std::holds_alternative<std::array<uint8_t, 3>>(s);
    case Kind::Text: return std::holds_alternative<std::string>(s) || std::holds_alternative<Null>(s);
    case Kind::ErrorText:
    case Kind::String: return std::holds_alternative<std::string>(s);
    case Kind::Pointer: return std::holds_alternative<Null>(s);
    }
    return false;
}

// Turns a script into a result; text moves into the kept texts.
Result to_result(Script&& s, State& st) {
    return std::visit(
        [&st](auto&& v) -> Result {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>) {
                st.kept_texts.push_back(std::move(v));
                return Text{st.kept_texts.back().c_str()};
            } else {
                return Result(std::move(v));
            }
        },
        std::move(s));
}

}  // namespace

std::span<const Function> functions() { return table(); }

const Function* find_function(std::string_view name) {
    for (const Function& f : table())
        if (f.name == name) return &f;
    return nullptr;
}

EntryWriter::EntryWriter(const char* name) : lock_(state().mutex) {
    Entry* entry = state().log.next();
    args_ = entry ? &entry->args : nullptr;
    if (!entry) return;
    entry->name = name;
    entry->args.clear();   // keeps its memory for the new arguments
}

std::vector<Call> calls() {
    State& st = state();
    std::lock_guard lock(st.mutex);
    std::vector<Call> out;
    out.reserve(st.log.entries.size());
    st.log.for_each([&out](const Entry& e) { out.push_back(Call{e.name, e.args}); });
    return out;
}

void clear_calls() {
    State& st = state();
    std::lock_guard lock(st.mutex);
    st.log.entries.clear();
    st.log.oldest = 0;
    st.log.dropped = 0;
}

void set_capacity(std::size_t capacity) {
    State& st = state();
    std::lock_guard lock(st.mutex);
    Ring& log = st.log;
    const std::size_t kept = std::min(capacity, log.entries.size());
    std::vector<Entry> latest;
    latest.reserve(kept);
    std::size_t skip = log.entries.size() - kept;
    log.for_each([&](const Entry& e) {
        if (skip > 0) --skip;
        else latest.push_back(e);
    });
    log.dropped += log.entries.size() - kept;
    log.entries = std::move(latest);
    log.entries.shrink_to_fit();
    log.capacity = capacity;
    log.oldest = 0;   // a full ring of the kept entries starts at its oldest
}

std::size_t capacity() {
    State& st = state();
    std::lock_guard lock(st.mutex);
    return st.log.capacity;
}

uint64_t dropped() {
    State& st = state();
    std::lock_guard lock(st.mutex);
    return st.log.dropped;
}

std::optional<Result> take(std::string_view name) {
    State& st = state();
    std::optional<ScriptedError> error;
    Result result;
    {
        std::lock_guard lock(st.mutex);
        auto it = std::find_if(st.pending.begin(), st.pending.end(),
                               [&](const Pending& p) { return p.name == name; });
        if (it == st.pending.end()) return std::nullopt;
        result = it->result;
        error = it->error;
        if (--it->remaining == 0) st.pending.erase(it);
        g_pending.fetch_sub(1, std::memory_order_relaxed);
    }
    if (error) set_last_error(error->code, error->text);
    return result;
}

void add_override(std::string_view name, Script result, std::optional<ScriptedError> error,
                  int times) {
    const Function* f = find_function(name);
    if (!f) throw std::invalid_argument("unknown library function: " + std::string(name));
    if (!fits(*f, result))
        throw std::invalid_argument("result of the wrong kind for " + std::string(name));
    if (times < 1) throw std::invalid_argument("times must be at least 1");
    State& st = state();
    std::lock_guard lock(st.mutex);
    Result r = to_result(std::move(result), st);
    st.pending.push_back(Pending{std::string(name), r, std::move(error), times});
    g_pending.fetch_add(times, std::memory_order_relaxed);
}

void clear_overrides() {
    State& st = state();
    std::lock_guard lock(st.mutex);
    st.pending.clear();
    st.kept_texts.clear();
    g_pending.store(0, std::memory_order_relaxed);
}

void set_logging(bool enabled) { g_logging.store(enabled, std::memory_order_relaxed); }

std::vector<PendingOverride> pending_overrides() {
    State& st = state();
    std::lock_guard lock(st.mutex);
    std::vector<PendingOverride> out;
    for (const Pending& p : st.pending) {
        Script script = std::visit(
            [](const auto& v) -> Script {
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Text>) return std::string(v.ptr);
                else return v;
            },
            p.result);
        out.push_back({p.name, std::move(script), p.error, p.remaining});
    }
    return out;
}

}  // namespace zo::calllog
