// Failures inside the library and the per-thread last error.
//
// Code inside the library reports a failure by throwing ZoError(code, text).
// Each C entry point runs its body through guarded(), which catches
// everything, stores code and text as the calling thread's last error and
// returns the call's failure value: nothing ever crosses the C boundary.
#ifndef ZOPY_VIRTUAL_ERRORS_HPP
#define ZOPY_VIRTUAL_ERRORS_HPP

#include "zo.h"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace zo {

class ZoError : public std::runtime_error {
public:
    ZoError(int32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int32_t code() const noexcept { return code_; }

private:
    int32_t code_;
};

// The calling thread's last error. The text pointer stays valid until the
// thread's next set_last_error; it is never null.
void set_last_error(int32_t code, std::string_view text) noexcept;
int32_t last_error_code() noexcept;
const char* last_error_text() noexcept;

// Records whatever is being thrown as the last error (call from a catch
// block). Unknown exceptions become ZO_ERROR.
void record_current_exception() noexcept;

// Runs body() and returns its result; on any exception records it as the
// last error and returns `failure`.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        record_current_exception();
    }
    return failure;
}

// Status form for commands: 0 on success, the error code on failure.
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return ZO_SUCCESS;
    } catch (...) {
        record_current_exception();
    }
    int code = last_error_code();
    return code != ZO_SUCCESS ? code : ZO_ERROR;
}

[[noreturn]] inline void fail(int32_t code, const std::string& text) { throw ZoError(code, text); }

}  // namespace zo

#endif  // ZOPY_VIRTUAL_ERRORS_HPP
