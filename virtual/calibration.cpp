// The calibrations stored in the instrument: the exact inverse of the signal
// model (signal.hpp), from ADC codes or volts to uW at peak responsivity.
#include "errors.hpp"
#include "instrument.hpp"

namespace zo {

namespace {

// code -> uW: the model is code = offset + gain * uW.
zo_calibration_t digital(double gain, double offset) { return {1.0 / gain, -offset / gain}; }

// volts at the ADC input -> uW: code = volts * counts_per_volt.
zo_calibration_t analog(double gain, double offset) {
    return {model::kCountsPerVolt / gain, -offset / gain};
}

// The power monitors put out a voltage proportional to each diode's power.
zo_calibration_t monitor() { return {1.0 / model::kMonitorVoltsPerUw, 0.0}; }

[[noreturn]] void not_held(int32_t type) {
    fail(ZO_ERROR_PARAMS, "calibration type " + std::to_string(type) +
                              " is not held by this instrument");
}

}  // namespace

// Codes 0-4 exist on both models (on the balanced unit they measure P1 - P2);
// codes 5-10 on the balanced unit only. "auto", "balanced" and the p1/p2
// digital calibrations follow the current gain setting.
zo_calibration_t Instrument::calibration(int32_t type) const {
    const bool high = read_switch(Switch::HighGain) != 0;
    const double off = model::offset_counts(id_.balanced);
    const double now = model::counts_per_uw(high);
    if (type >= ZO_CALIBRATION_BALANCED_DIGITAL && type <= ZO_CALIBRATION_P2_ANALOG && !id_.balanced)
        not_held(type);
    switch (type) {
    case ZO_CALIBRATION_DIGITAL_HIGHGAIN: return digital(model::counts_per_uw(true), off);
    case ZO_CALIBRATION_DIGITAL_LOWGAIN: return digital(model::counts_per_uw(false), off);
    case ZO_CALIBRATION_ANALOG_HIGHGAIN: return analog(model::counts_per_uw(true), off);
    case ZO_CALIBRATION_ANALOG_LOWGAIN: return analog(model::counts_per_uw(false), off);
    case ZO_CALIBRATION_DIGITAL_AUTO:
    case ZO_CALIBRATION_BALANCED_DIGITAL:
    case ZO_CALIBRATION_P1_DIGITAL: return digital(now, off);
    case ZO_CALIBRATION_BALANCED_ANALOG: return analog(now, off);
    case ZO_CALIBRATION_P2_DIGITAL: return digital(-now, off);  // P2 pulls the code down
    case ZO_CALIBRATION_P1_ANALOG:
    case ZO_CALIBRATION_P2_ANALOG: return monitor();
    default: not_held(type);
    }
}

zo_calibration_t Instrument::rel_calibration(int32_t type, double nm) const {
    const double r = rel_responsivity(nm);
    if (r <= 0.0)
        fail(ZO_ERROR_PARAMS, "the photodiode does not respond at " + std::to_string(nm) + " nm");
    const zo_calibration_t c = calibration(type);
    return {c.m / r, c.b / r};
}

}  // namespace zo
