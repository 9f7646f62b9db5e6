#include "errors.hpp"

#include <exception>

namespace zo {

namespace {

struct LastError {
    int32_t code = ZO_SUCCESS;
    std::string text;
};

LastError& last_error() noexcept {
    thread_local LastError error;
    return error;
}

}  // namespace

void set_last_error(int32_t code, std::string_view text) noexcept {
    LastError& e = last_error();
    e.code = code;
    try {
        e.text.assign(text);
    } catch (...) {
        // Out of memory while storing the text: keep the code, drop the text.
        e.text.clear();
    }
}

int32_t last_error_code() noexcept { return last_error().code; }

const char* last_error_text() noexcept { return last_error().text.c_str(); }

void record_current_exception() noexcept {
    try {
        throw;
    } catch (const ZoError& e) {
        set_last_error(e.code(), e.what());
    } catch (const std::bad_alloc&) {
        set_last_error(ZO_ERROR_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        set_last_error(ZO_ERROR, e.what());
    } catch (...) {
        set_last_error(ZO_ERROR, "unknown failure inside libzo");
    }
}

}  // namespace zo
