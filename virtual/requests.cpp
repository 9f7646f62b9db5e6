// The vendor requests and the register file behind them.
//
// Request 192 (out) with index i stores `value` as a pending write to
// register i; a write of 1 to index 255 applies every pending write at once.
// Request 194 (in) with index i reads register i as applied, little-endian,
// into the first (at most two) bytes of the data stage and zero-fills the
// rest. Request 200 is a loopback: out stores its data stage in a 1024-byte
// scratch buffer (from its start), in reads the buffer back, so a program can
// check the data path. Other requests are accepted: out data is ignored, in
// data is zero-filled. Nothing is read or written past `length`.
#include "errors.hpp"
#include "instrument.hpp"

#include <algorithm>
#include <cstring>

namespace zo {

namespace {

constexpr uint8_t kWriteRegister = 192;
constexpr uint8_t kReadRegister = 194;
constexpr uint8_t kLoopback = 200;

void check_data(const void* data, uint16_t length) {
    if (length > 0 && data == nullptr)
        fail(ZO_ERROR_PARAMS, "null data buffer with a non-zero length");
}

void check_register(uint16_t index) {
    if (index >= kRegisterCount)
        fail(ZO_ERROR_PARAMS, "no register at index " + std::to_string(index));
}

}  // namespace

void Instrument::in_request(uint8_t request, uint16_t /*value*/, uint16_t index, uint8_t* data,
                            uint16_t length) {
    check_data(data, length);
    if (request == kReadRegister) check_register(index);
    if (length == 0) return;
    std::memset(data, 0, length);
    if (request == kLoopback) {
        std::lock_guard lock(mutex_);
        std::memcpy(data, settings_.scratch.data(), std::min<size_t>(length, kScratchSize));
        return;
    }
    if (request != kReadRegister) return;
    std::lock_guard lock(mutex_);
    const uint16_t reg = index == kRegApply ? 0 : settings_.registers[index];
    data[0] = uint8_t(reg & 0xFF);
    if (length > 1) data[1] = uint8_t(reg >> 8);
}

void Instrument::out_request(uint8_t request, uint16_t value, uint16_t index,
                             const uint8_t* data, uint16_t length) {
    check_data(data, length);
    if (request == kLoopback && length > 0) {
        std::lock_guard lock(mutex_);
        std::memcpy(settings_.scratch.data(), data, std::min<size_t>(length, kScratchSize));
        return;
    }
    if (request != kWriteRegister) return;
    check_register(index);
    std::lock_guard lock(mutex_);
    if (index != kRegApply) settings_.pending[index] = value;
    else if (value == 1) apply_pending_locked();
}

void Instrument::apply_pending_locked() {
    for (int i = 0; i < kRegisterCount; ++i) {
        if (!settings_.pending[size_t(i)]) continue;
        settings_.registers[size_t(i)] = *settings_.pending[size_t(i)];
        settings_.pending[size_t(i)].reset();
    }
    rebuild_plan_locked();  // the clock divider changes the sample rate
}

}  // namespace zo
