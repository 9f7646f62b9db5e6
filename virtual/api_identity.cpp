// C entry points: identity, responsivity and calibration.
#include "api_support.hpp"

using namespace zo;
using zo::api::device_query;

namespace {
constexpr zo_calibration_t kBadCalibration = {0.0, 0.0};
}

extern "C" {

ZO_API const char* zo_get_serial(zo_device* device) {
    return device_query("zo_get_serial", static_cast<const char*>(nullptr), device,
                        [](Instrument& i) { return i.identity().serial.c_str(); });
}

ZO_API const char* zo_get_product(zo_device* device) {
    return device_query("zo_get_product", static_cast<const char*>(nullptr), device,
                        [](Instrument& i) { return i.identity().product.c_str(); });
}

ZO_API uint32_t zo_get_samplerate(zo_device* device) {
    return device_query("zo_get_samplerate", uint32_t(0xFFFFFFFFu), device,
                        [](Instrument& i) { return i.samplerate(); });
}

ZO_API uint8_t zo_get_adcbits(zo_device* device) {
    return device_query("zo_get_adcbits", uint8_t(255), device,
                        [](Instrument& i) { return i.identity().adcbits; });
}

ZO_API zo_version_t zo_get_fwversion(zo_device* device) {
    return device_query("zo_get_fwversion", zo_version_t{255, 255, 255}, device,
                        [](Instrument& i) { return i.identity().fwversion; });
}

ZO_API int zo_get_usb_speed(zo_device* device) {
    return device_query("zo_get_usb_speed", -1, device,
                        [](Instrument& i) { return i.identity().usb_speed; });
}

ZO_API int zo_get_peak_responsivity(zo_device* device) {
    return device_query("zo_get_peak_responsivity", -1, device,
                        [](Instrument& i) { return i.identity().peak_nm; });
}

ZO_API double zo_get_rel_responsivity(zo_device* device, double wavelength_nm) {
    return device_query(
        "zo_get_rel_responsivity", ZO_BAD_DOUBLE, device,
        [&](Instrument& i) { return i.rel_responsivity(wavelength_nm); }, wavelength_nm);
}

ZO_API zo_calibration_t zo_get_calibration(zo_device* device, int32_t type) {
    return device_query(
        "zo_get_calibration", kBadCalibration, device,
        [&](Instrument& i) { return i.calibration(type); }, type);
}

ZO_API zo_calibration_t zo_get_rel_calibration(zo_device* device, int32_t type,
                                               double wavelength_nm) {
    return device_query(
        "zo_get_rel_calibration", kBadCalibration, device,
        [&](Instrument& i) { return i.rel_calibration(type, wavelength_nm); }, type,
        wavelength_nm);
}

}  // extern "C"
