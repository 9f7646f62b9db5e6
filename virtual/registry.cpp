#include "registry.hpp"

#include "calllog.hpp"
#include "errors.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace zo {

Identity default_identity() {
    Identity id;
    id.serial = "KV31A0427";
    id.product = "KV310";
    id.balanced = false;
    id.samplerate = 10'000'000;
    id.adcbits = 14;
    id.fwversion = {1, 3, 0};
    id.usb_speed = 3;
    id.peak_nm = 1550;
    return id;
}

Registry& Registry::get() {
    // Never destroyed: handles may still be closed while the process exits.
    static Registry* r = new Registry;
    return *r;
}

Registry::Registry() { attach_locked(default_identity()); }

// ------------------------------------------------------------ start and stop

void Registry::start() {
    std::unique_lock lock(mutex_);
    started_ = true;
}

void Registry::stop() {
    std::unique_lock lock(mutex_);
    started_ = false;
    stale_sessions_locked(nullptr);
}

bool Registry::started() const {
    std::shared_lock lock(mutex_);
    return started_;
}

// ------------------------------------------------------------------ handles

zo_device* Registry::add_session_locked(std::shared_ptr<Instrument> inst, bool claims) {
    auto session = std::make_shared<Session>();
    session->instrument = std::move(inst);
    session->claims_instrument = claims;
    const uintptr_t token = next_token_;
    next_token_ += 16;
    sessions_.emplace(token, std::move(session));
    return reinterpret_cast<zo_device*>(token);
}

zo_device* Registry::open(std::string_view part) {
    std::unique_lock lock(mutex_);
    if (!started_) fail(ZO_ERROR, "libzo is not initialised (call zo_init first)");
    for (Attached& a : attached_) {
        if (a.claimed || a.instrument->identity().serial.find(part) == std::string::npos) continue;
        a.claimed = true;
        return add_session_locked(a.instrument, true);
    }
    fail(ZO_ERROR_INVALID_DEVICE, part.empty() ? std::string("no instrument found")
                                               : "no instrument found whose serial contains '" +
                                                     std::string(part) + "'");
}

void Registry::close(zo_device* handle) {
    std::unique_lock lock(mutex_);
    auto it = sessions_.find(reinterpret_cast<uintptr_t>(handle));
    if (handle == nullptr || it == sessions_.end())
        fail(ZO_ERROR_INVALID_DEVICE, handle ? "not an open device handle" : "null device handle");
    Session& s = *it->second;
    if (s.live.exchange(false) && s.claims_instrument) {
        Attached* a = find_locked(s.instrument->identity().serial);
        if (a && a->instrument == s.instrument) a->claimed = false;
    }
    sessions_.erase(it);
}

Resolved Registry::resolve(zo_device* handle) const noexcept {
    Resolved r;
    if (handle == nullptr) {
        r.problem = "null device handle";
        return r;
    }
    std::shared_lock lock(mutex_);
    auto it = sessions_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == sessions_.end()) {
        r.problem = "not an open device handle";
    } else if (!it->second->live.load()) {
        r.problem = "the device handle is no longer valid (instrument detached or library stopped)";
    } else {
        r.session = it->second;
        r.serial = &r.session->instrument->identity().serial;  // kept alive by r.session
    }
    return r;
}

DeviceLink Registry::link(zo_device* handle) const {
    Resolved r = resolve(handle);
    if (!r.session) fail(ZO_ERROR_INVALID_DEVICE, r.problem);
    return DeviceLink(std::move(r.session));
}

void Registry::stale_sessions_locked(const Instrument* only) {
    for (auto& [token, s] : sessions_) {
        if (only && s->instrument.get() != only) continue;
        s->live.store(false);
    }
    if (!only) {
        for (Attached& a : attached_) a.claimed = false;
    } else if (Attached* a = find_locked(only->identity().serial)) {
        if (a->instrument.get() == only) a->claimed = false;
    }
}

Registry::Attached* Registry::find_locked(std::string_view serial) {
    auto it = index_.find(serial);
    return it == index_.end() ? nullptr : &attached_[it->second];
}

const Registry::Attached* Registry::find_locked(std::string_view serial) const {
    auto it = index_.find(serial);
    return it == index_.end() ? nullptr : &attached_[it->second];
}

// Erasing shifts the instruments after it: their positions are written again.
void Registry::erase_locked(std::string_view serial) {
    auto it = index_.find(serial);
    if (it == index_.end()) return;
    const size_t position = it->second;
    index_.erase(it);
    attached_.erase(attached_.begin() + std::ptrdiff_t(position));
    for (size_t i = position; i < attached_.size(); ++i)
        index_[attached_[i].instrument->identity().serial] = i;
}

void Registry::clear_attached_locked() {
    attached_.clear();
    index_.clear();
}

// -------------------------------------------------------------------- bench

void Registry::reset() {
    std::unique_lock lock(mutex_);
    stale_sessions_locked(nullptr);
    clear_attached_locked();
    attach_locked(default_identity());
}

void Registry::attach(Identity id) {
    if (id.serial.empty()) throw std::invalid_argument("an instrument needs a serial");
    if (id.samplerate == 0) throw std::invalid_argument("samplerate must be positive");
    std::unique_lock lock(mutex_);
    attach_locked(std::move(id));
}

void Registry::attach_locked(Identity id) {
    if (find_locked(id.serial))
        throw std::invalid_argument("an instrument with serial '" + id.serial +
                                    "' is already attached");
    auto inst = std::make_shared<Instrument>(std::move(id));
    index_.emplace(inst->identity().serial, attached_.size());
    attached_.push_back({std::move(inst)});
}

bool Registry::detach(std::string_view serial) {
    std::unique_lock lock(mutex_);
    Attached* a = find_locked(serial);
    if (!a) return false;
    stale_sessions_locked(a->instrument.get());
    erase_locked(serial);
    return true;
}

void Registry::detach_all() {
    std::unique_lock lock(mutex_);
    for (auto& [token, s] : sessions_) s->live.store(false);
    clear_attached_locked();
}

std::vector<std::string> Registry::serials() const {
    std::shared_lock lock(mutex_);
    std::vector<std::string> out;
    for (const Attached& a : attached_) out.push_back(a.instrument->identity().serial);
    return out;
}

std::vector<std::pair<std::shared_ptr<Instrument>, uint64_t>> Registry::instruments() const {
    std::shared_lock lock(mutex_);
    std::vector<std::pair<std::shared_ptr<Instrument>, uint64_t>> out;
    out.reserve(attached_.size());
    for (const Attached& a : attached_) out.emplace_back(a.instrument, a.reads_left);
    return out;
}

std::shared_ptr<Instrument> Registry::find(std::optional<std::string_view> serial) const {
    std::shared_lock lock(mutex_);
    if (!serial) return attached_.empty() ? nullptr : attached_.front().instrument;
    const Attached* a = find_locked(*serial);
    return a ? a->instrument : nullptr;
}

bool Registry::is_open(std::string_view serial) const {
    std::shared_lock lock(mutex_);
    const Attached* a = find_locked(serial);
    return a && a->claimed;
}

void Registry::unplug_after(std::string_view serial, uint64_t reads) {
    std::unique_lock lock(mutex_);
    Attached* a = find_locked(serial);
    if (!a) throw std::invalid_argument("no instrument with serial '" + std::string(serial) + "'");
    a->reads_left = reads;
    if (reads > 0) unplug_armed_.store(true, std::memory_order_relaxed);
}

uint64_t Registry::reads_until_unplugged(std::string_view serial) const {
    std::shared_lock lock(mutex_);
    if (const Attached* a = find_locked(serial)) return a->reads_left;
    throw std::invalid_argument("no instrument with serial '" + std::string(serial) + "'");
}

void Registry::count_raw_read(const Instrument& instrument) {
    // Quiet reads (the timing helpers') do not count, and nothing is looked up
    // unless an unplug was ever scheduled.
    if (!unplug_armed_.load(std::memory_order_relaxed) || calllog::t_quiet != 0) return;
    std::unique_lock lock(mutex_);
    Attached* a = find_locked(instrument.identity().serial);
    if (!a || a->instrument.get() != &instrument || a->reads_left == 0 || --a->reads_left > 0)
        return;
    // The read that counted down still completes: it holds the instrument.
    stale_sessions_locked(&instrument);
    erase_locked(instrument.identity().serial);
}

zo_device* Registry::open_unclaimed(std::string_view serial) {
    std::unique_lock lock(mutex_);
    if (const Attached* a = find_locked(serial)) return add_session_locked(a->instrument, false);
    throw std::invalid_argument("no instrument with serial '" + std::string(serial) + "'");
}

}  // namespace zo
