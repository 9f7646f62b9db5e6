// The shape every C entry point shares: log the call, take a scripted answer
// if one is pending, check the handle, run the instrument operation, and turn
// any exception into the last error plus the call's failure value.
#ifndef ZOPY_VIRTUAL_API_SUPPORT_HPP
#define ZOPY_VIRTUAL_API_SUPPORT_HPP

#include "calllog.hpp"
#include "errors.hpp"
#include "registry.hpp"

#include <cstring>

namespace zo::api {

// The int a caller passed for an enumeration parameter. C callers may pass
// any int, and C++ may not load a value outside the enumeration's range as
// the enumeration (undefined behaviour): its bytes are read instead.
template <class Enum>
    requires std::is_enum_v<Enum>
int enum_code(const Enum& value) noexcept {
    static_assert(sizeof(Enum) == sizeof(int));
    int code;
    std::memcpy(&code, &value, sizeof code);
    return code;
}

inline Instrument& live_instrument(const Resolved& r) {
    if (!r.session) fail(ZO_ERROR_INVALID_DEVICE, r.problem ? r.problem : "invalid device handle");
    return *r.session->instrument;
}

// The status of a failed command: the error code just recorded.
inline int failure_status() noexcept {
    const int code = last_error_code();
    return code != ZO_SUCCESS ? code : ZO_ERROR;
}

// A call on a device handle that returns a value (or `failure`).
template <class R, class Op, class... Args>
R device_query(const char* name, R failure, zo_device* device, Op&& op,
               const Args&... args) noexcept {
    return guarded(failure, [&]() -> R {
        const Resolved r = Registry::get().resolve(device);
        calllog::log(name, r.serial, args...);
        if (auto o = calllog::overridden<R>(name)) return *o;
        return op(live_instrument(r));
    });
}

// A command on a device handle: 0 on success, the error code on failure.
template <class Op, class... Args>
int device_command(const char* name, zo_device* device, Op&& op, const Args&... args) noexcept {
    try {
        const Resolved r = Registry::get().resolve(device);
        calllog::log(name, r.serial, args...);
        if (auto o = calllog::overridden<int>(name)) return *o;
        op(live_instrument(r));
        return ZO_SUCCESS;
    } catch (...) {
        record_current_exception();
    }
    return failure_status();
}

// A call without a device handle.
template <class R, class Op, class... Args>
R library_query(const char* name, R failure, Op&& op, const Args&... args) noexcept {
    return guarded(failure, [&]() -> R {
        calllog::log(name, args...);
        if (auto o = calllog::overridden<R>(name)) return *o;
        return op();
    });
}

}  // namespace zo::api

#endif  // ZOPY_VIRTUAL_API_SUPPORT_HPP
