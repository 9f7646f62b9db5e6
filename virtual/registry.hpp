// The attached instruments and the device handles opened on them.
//
// A zo_device* is an opaque token, never a pointer into the library: the
// registry looks every handle up in its table of sessions before anything
// is touched, and tokens are never reused, so a closed or forged handle is
// recognised and answered with ZO_ERROR_INVALID_DEVICE instead of being
// dereferenced.
//
// A session is live from open until close. It goes stale (its handle then
// fails every call but zo_close_device) when the library is stopped, the
// bench is reset or its instrument is detached.
#ifndef ZOPY_VIRTUAL_REGISTRY_HPP
#define ZOPY_VIRTUAL_REGISTRY_HPP

#include "instrument.hpp"
#include "zo.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zo {

struct Session {
    std::shared_ptr<Instrument> instrument;
    std::atomic<bool> live{true};
    bool claims_instrument = true;  // false for unclaimed handles (open_unclaimed)
};

// What a stream keeps of the handle it was opened from.
class DeviceLink {
public:
    DeviceLink() = default;
    explicit DeviceLink(std::shared_ptr<Session> s) : session_(std::move(s)) {}
    // True while the handle is open (not closed, not stale).
    bool valid() const { return session_ && session_->live.load(std::memory_order_acquire); }
    // The instrument; stays usable (and safe) even after the handle closed.
    Instrument& instrument() const { return *session_->instrument; }
    const std::shared_ptr<Instrument>& shared_instrument() const { return session_->instrument; }

private:
    std::shared_ptr<Session> session_;
};

// A handle looked up for one call.
struct Resolved {
    std::shared_ptr<Session> session;   // null unless the handle is live
    const std::string* serial = nullptr; // for the call log; null unless live
    const char* problem = nullptr;      // why it is not live
};

class Registry {
public:
    static Registry& get();

    // The library's start and stop (zo_init, zo_exit).
    void start();
    void stop();
    bool started() const;

    // Opens the first unclaimed instrument whose serial contains `part`.
    zo_device* open(std::string_view part);
    // Releases a live or stale handle; throws ZoError for anything else.
    void close(zo_device* handle);
    Resolved resolve(zo_device* handle) const noexcept;
    // The live session of `handle`, or ZoError(ZO_ERROR_INVALID_DEVICE).
    DeviceLink link(zo_device* handle) const;

    // ---- the bench
    void reset();  // the default instrument only, every handle stale
    void attach(Identity id);
    bool detach(std::string_view serial);
    void detach_all();
    std::vector<std::string> serials() const;
    // Every attached instrument with its reads until unplugged, in attach order.
    std::vector<std::pair<std::shared_ptr<Instrument>, uint64_t>> instruments() const;
    std::shared_ptr<Instrument> find(std::optional<std::string_view> serial) const;
    bool is_open(std::string_view serial) const;
    // Detach the instrument once `reads` more raw-data reads have reached it
    // (0: never). count_raw_read() is called by each such read.
    void unplug_after(std::string_view serial, uint64_t reads);
    uint64_t reads_until_unplugged(std::string_view serial) const;
    void count_raw_read(const Instrument& instrument);
    // A handle that does not claim the instrument: it works whether or not
    // the instrument is open elsewhere.
    zo_device* open_unclaimed(std::string_view serial);

private:
    Registry();
    struct Attached {
        std::shared_ptr<Instrument> instrument;
        bool claimed = false;
        uint64_t reads_left = 0;  // unplugged when this counts down to 0; 0: never
    };
    // Looked up by serial through index_, so that a bench of many instruments
    // is built and described in linear time.
    struct SerialHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    Attached* find_locked(std::string_view serial);
    const Attached* find_locked(std::string_view serial) const;
    void attach_locked(Identity id);
    void erase_locked(std::string_view serial);
    void clear_attached_locked();
    zo_device* add_session_locked(std::shared_ptr<Instrument> inst, bool claims);
    void stale_sessions_locked(const Instrument* only);

    mutable std::shared_mutex mutex_;
    std::vector<Attached> attached_;  // in attach order
    // serial -> position in attached_
    std::unordered_map<std::string, size_t, SerialHash, std::equal_to<>> index_;
    std::unordered_map<uintptr_t, std::shared_ptr<Session>> sessions_;
    uintptr_t next_token_ = 0x5A0000;
    bool started_ = false;
    std::atomic<bool> unplug_armed_{false};  // any reads_left set: reads take the lock
};

// The instrument attached when the library loads (documented in zopy.sim).
Identity default_identity();

}  // namespace zo

#endif  // ZOPY_VIRTUAL_REGISTRY_HPP
