// C entry points: front-end switches, ports, test patterns, vendor requests.
#include "api_support.hpp"

using namespace zo;
using zo::api::device_command;
using zo::api::device_query;

namespace {

int read_switch(const char* name, zo_device* device, Switch s) {
    return device_query(name, -1, device, [s](Instrument& i) { return i.read_switch(s); });
}

int set_switch(const char* name, zo_device* device, Switch s, bool on) {
    return device_command(name, device, [s, on](Instrument& i) { i.set_switch(s, on); }, on);
}

int set_pattern(const char* name, zo_device* device, Pattern p) {
    return device_command(name, device, [p](Instrument& i) { i.set_pattern(p); });
}

}  // namespace

extern "C" {

// ---- front end

ZO_API int zo_read_highgain(zo_device* d) { return read_switch("zo_read_highgain", d, Switch::HighGain); }
ZO_API int zo_set_highgain(zo_device* d, bool on) { return set_switch("zo_set_highgain", d, Switch::HighGain, on); }
ZO_API int zo_read_antialias(zo_device* d) { return read_switch("zo_read_antialias", d, Switch::Antialias); }
ZO_API int zo_set_antialias(zo_device* d, bool on) { return set_switch("zo_set_antialias", d, Switch::Antialias, on); }
ZO_API int zo_read_powerdown(zo_device* d) { return read_switch("zo_read_powerdown", d, Switch::Powerdown); }
ZO_API int zo_set_powerdown(zo_device* d, bool on) { return set_switch("zo_set_powerdown", d, Switch::Powerdown, on); }
ZO_API int zo_read_adcclock(zo_device* d) { return read_switch("zo_read_adcclock", d, Switch::AdcClock); }
ZO_API int zo_set_adcclock(zo_device* d, bool on) { return set_switch("zo_set_adcclock", d, Switch::AdcClock, on); }
ZO_API int zo_read_p1_monitor(zo_device* d) { return read_switch("zo_read_p1_monitor", d, Switch::P1Monitor); }
ZO_API int zo_set_p1_monitor(zo_device* d, bool on) { return set_switch("zo_set_p1_monitor", d, Switch::P1Monitor, on); }
ZO_API int zo_read_p2_monitor(zo_device* d) { return read_switch("zo_read_p2_monitor", d, Switch::P2Monitor); }
ZO_API int zo_set_p2_monitor(zo_device* d, bool on) { return set_switch("zo_set_p2_monitor", d, Switch::P2Monitor, on); }

// ---- ports and LEDs

ZO_API int zo_port_drive(zo_device* device, ZO_PORT_t port_enum, bool level) {
    const int port = api::enum_code(port_enum);
    return device_command(
        "zo_port_drive", device, [&](Instrument& i) { i.port_drive(port, level); }, port, level);
}

ZO_API int zo_port_pwm(zo_device* device, ZO_PORT_t port_enum, uint32_t threshold, uint32_t period) {
    const int port = api::enum_code(port_enum);
    return device_command(
        "zo_port_pwm", device, [&](Instrument& i) { i.port_pwm(port, threshold, period); }, port,
        threshold, period);
}

ZO_API int zo_port_pulse(zo_device* device, ZO_PORT_t port_enum, uint32_t threshold) {
    const int port = api::enum_code(port_enum);
    return device_command(
        "zo_port_pulse", device, [&](Instrument& i) { i.port_pulse(port, threshold); }, port,
        threshold);
}

ZO_API int zo_port_read(zo_device* device, ZO_PORT_t port_enum) {
    const int port = api::enum_code(port_enum);
    return device_query(
        "zo_port_read", -1, device, [&](Instrument& i) { return i.port_read(port); }, port);
}

// ---- ADC test patterns

ZO_API int zo_test_pn9(zo_device* d) { return set_pattern("zo_test_pn9", d, Pattern::Pn9); }
ZO_API int zo_test_checkerboard(zo_device* d) { return set_pattern("zo_test_checkerboard", d, Pattern::Checkerboard); }
ZO_API int zo_test_normal(zo_device* d) { return set_pattern("zo_test_normal", d, Pattern::Normal); }

ZO_API int zo_test_user(zo_device* device, uint16_t sample) {
    return device_command(
        "zo_test_user", device, [&](Instrument& i) { i.set_pattern(Pattern::User, sample); },
        sample);
}

// ---- vendor requests

ZO_API int zo_in_request(zo_device* device, uint8_t request, uint16_t value, uint16_t index,
                         uint8_t* data, uint16_t length, uint32_t timeout) {
    return device_command(
        "zo_in_request", device,
        [&](Instrument& i) { i.in_request(request, value, index, data, length); }, request, value,
        index, calllog::buffer(data, length), length, timeout);
}

ZO_API int zo_out_request(zo_device* device, uint8_t request, uint16_t value, uint16_t index,
                          const uint8_t* data, uint16_t length, uint32_t timeout) {
    return device_command(
        "zo_out_request", device,
        [&](Instrument& i) { i.out_request(request, value, index, data, length); }, request,
        value, index, calllog::buffer(data, length), length, timeout);
}

}  // extern "C"
