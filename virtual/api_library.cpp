// C entry points: start and stop, errors, opening and closing devices.
#include "api_support.hpp"

using namespace zo;
using zo::api::device_query;
using zo::api::library_query;

extern "C" {

const double ZO_BAD_DOUBLE = -1.0;  // exported by its declaration in zo.h

ZO_API int zo_init(void) {
    return library_query("zo_init", int(ZO_ERROR), [] {
        Registry::get().start();
        return int(ZO_SUCCESS);
    });
}

ZO_API int zo_exit(void) {
    return library_query("zo_exit", int(ZO_ERROR), [] {
        Registry::get().stop();
        return int(ZO_SUCCESS);
    });
}

ZO_API zo_version_t zo_version(void) {
    return library_query("zo_version", zo_version_t{255, 255, 255},
                         [] { return zo_version_t{2, 1, 0}; });
}

ZO_API int32_t zo_get_error(void) {
    return library_query("zo_get_error", int32_t(ZO_ERROR), [] { return last_error_code(); });
}

ZO_API const char* zo_get_error_string(void) {
    // Never null: if even the override machinery fails, the stored text stays.
    const char* text = library_query("zo_get_error_string", static_cast<const char*>(nullptr),
                                     [] { return last_error_text(); });
    return text ? text : last_error_text();
}

ZO_API zo_device* zo_open_device(void) {
    return library_query("zo_open_device", static_cast<zo_device*>(nullptr),
                         [] { return Registry::get().open(""); });
}

ZO_API zo_device* zo_open_from_serial(const char* serial) {
    return library_query(
        "zo_open_from_serial", static_cast<zo_device*>(nullptr),
        [serial] {
            if (!serial) fail(ZO_ERROR_PARAMS, "null serial text");
            return Registry::get().open(serial);
        },
        serial);
}

ZO_API int zo_close_device(zo_device* device) {
    try {
        const Resolved r = Registry::get().resolve(device);
        calllog::log("zo_close_device", r.serial);
        if (auto o = calllog::overridden<int>("zo_close_device")) return *o;
        Registry::get().close(device);
        return ZO_SUCCESS;
    } catch (...) {
        record_current_exception();
    }
    return api::failure_status();
}

ZO_API int zo_reset_device(zo_device* device) {
    return api::device_command("zo_reset_device", device, [](Instrument& i) { i.reset(); });
}

}  // extern "C"
