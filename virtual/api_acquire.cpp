// C entry points: raw acquisition.
#include "api_support.hpp"

using namespace zo;
using zo::api::device_command;

namespace {
// Without re-arming, the whole block follows one trigger.
uint64_t one_trigger(uint64_t nsamples) { return nsamples > 0 ? nsamples : 1; }

// Every raw read that reaches the instrument counts towards sim.unplug_after.
void acquire(Instrument& i, uint64_t nsamples, uint16_t* buffer, int mode, uint64_t arm_time,
             uint64_t samples_per_trigger) {
    Registry::get().count_raw_read(i);
    i.acquire(nsamples, buffer, mode, arm_time, samples_per_trigger);
}
}  // namespace

extern "C" {

ZO_API int zo_get_raw_data(zo_device* device, uint64_t nsamples, uint16_t* buffer) {
    return device_command(
        "zo_get_raw_data", device,
        [&](Instrument& i) { acquire(i, nsamples, buffer, ZO_TRIGGER_AUTO, 0, one_trigger(nsamples)); },
        nsamples, calllog::buffer(buffer, nsamples));
}

ZO_API int zo_get_raw_data_triggered(zo_device* device, uint64_t nsamples, uint16_t* buffer,
                                     ZO_TRIGGER_MODE_t mode_enum, uint64_t arm_time) {
    const int mode = api::enum_code(mode_enum);
    return device_command(
        "zo_get_raw_data_triggered", device,
        [&](Instrument& i) { acquire(i, nsamples, buffer, mode, arm_time, one_trigger(nsamples)); },
        nsamples, calllog::buffer(buffer, nsamples), mode, arm_time);
}

ZO_API int zo_get_raw_data_triggered_repeat(zo_device* device, uint64_t nsamples,
                                            uint16_t* buffer, ZO_TRIGGER_MODE_t mode_enum,
                                            uint64_t arm_time, uint64_t samples_per_trigger) {
    const int mode = api::enum_code(mode_enum);
    return device_command(
        "zo_get_raw_data_triggered_repeat", device,
        [&](Instrument& i) { acquire(i, nsamples, buffer, mode, arm_time, samples_per_trigger); },
        nsamples, calllog::buffer(buffer, nsamples), mode, arm_time, samples_per_trigger);
}

}  // extern "C"
