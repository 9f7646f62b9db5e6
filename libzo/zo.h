// libzo: the device library of the KV310 balanced photodetector.
//
// This header is the whole interface that zopy calls. It is implemented by the
// maker's library and by our virtual instrument (virtual/), and both must
// answer every call as described here: commands return an int status (0 on
// success), readers return their value or the failure value named beside
// them, and every failure leaves a code and a text behind for zo_get_error /
// zo_get_error_string. No call ever throws across this interface.
#ifndef LIBZO_ZO_H
#define LIBZO_ZO_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
#include <string>
#include <utility>
#endif

#if defined(_WIN32)
#  if defined(LIBZO_BUILDING)
#    define ZO_API __declspec(dllexport)
#  else
#    define ZO_API __declspec(dllimport)
#  endif
#else
#  define ZO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Opaque handle of one opened instrument.
typedef struct zo_device zo_device;

typedef enum ZO_ERROR_t {
    ZO_SUCCESS = 0,
    ZO_ERROR = -1,
    ZO_ERROR_USB = 0x20,
    ZO_ERROR_USB_TIMEOUT = 0x21,
    ZO_ERROR_USB_SPEED = 0x22,
    ZO_ERROR_PARAMS = 0x30,
    ZO_ERROR_MEMORY = 0x31,
    ZO_ERROR_INVALID_DEVICE = 0x32,
    ZO_ERROR_BAD_CHECKSUM = 0x33,
    ZO_ERROR_DEVICE_SETTINGS = 0x34,
    ZO_ERROR_NOT_IMPLEMENTED = 0x35,
    ZO_ERROR_FIRMWARE = 0x36,
    ZO_ERROR_DATALOSS = 0x37,
} ZO_ERROR_t;

typedef enum ZO_PORT_t {
    ZO_PORT_A = 0,
    ZO_PORT_B = 1,
    ZO_PORT_S = 2,
    ZO_PORT_T = 3,
    ZO_LED_R = 4,
    ZO_LED_G = 5,
    ZO_LED_B = 6,
} ZO_PORT_t;

typedef enum ZO_TRIGGER_MODE_t {
    ZO_TRIGGER_AUTO = 0,
    ZO_TRIGGER_S_RISING = 1,
    ZO_TRIGGER_S_FALLING = 2,
    ZO_TRIGGER_S_HIGH = 3,
    ZO_TRIGGER_S_LOW = 4,
    ZO_TRIGGER_T_RISING = 5,
    ZO_TRIGGER_T_FALLING = 6,
    ZO_TRIGGER_T_HIGH = 7,
    ZO_TRIGGER_T_LOW = 8,
} ZO_TRIGGER_MODE_t;

typedef enum ZO_CALIBRATION_t {
    ZO_CALIBRATION_DIGITAL_HIGHGAIN = 0,
    ZO_CALIBRATION_DIGITAL_LOWGAIN = 1,
    ZO_CALIBRATION_ANALOG_HIGHGAIN = 2,
    ZO_CALIBRATION_ANALOG_LOWGAIN = 3,
    ZO_CALIBRATION_DIGITAL_AUTO = 4,
    ZO_CALIBRATION_BALANCED_DIGITAL = 5,
    ZO_CALIBRATION_BALANCED_ANALOG = 6,
    ZO_CALIBRATION_P1_DIGITAL = 7,
    ZO_CALIBRATION_P1_ANALOG = 8,
    ZO_CALIBRATION_P2_DIGITAL = 9,
    ZO_CALIBRATION_P2_ANALOG = 10,
} ZO_CALIBRATION_t;

// A version record (library or firmware), returned by value.
// All three fields 255 is the failure value of zo_get_fwversion.
typedef struct zo_version_t {
    uint8_t major;
    uint8_t minor;
    uint8_t patch;
} zo_version_t;

// A linear calibration Y = m * X + b from native units (ADC code or volts)
// to µW, returned by value. (0.0, 0.0) is the failure value.
typedef struct zo_calibration_t {
    double m;
    double b;
} zo_calibration_t;

// Failure value of the calls that return a double.
ZO_API extern const double ZO_BAD_DOUBLE;

// Start and stop. zo_exit may be called more than once, and zo_close_device
// may still follow it. zo_version works whether or not the library started.
ZO_API int zo_init(void);
ZO_API int zo_exit(void);
ZO_API zo_version_t zo_version(void);

// The last error of the calling thread. The text is NUL-terminated UTF-8,
// never null, and owned by the library.
ZO_API int32_t zo_get_error(void);
ZO_API const char* zo_get_error_string(void);

// Devices. Opening gives null when no (matching, unclaimed) instrument exists;
// zo_open_from_serial opens the first whose serial contains `serial`.
ZO_API zo_device* zo_open_device(void);
ZO_API zo_device* zo_open_from_serial(const char* serial);
ZO_API int zo_close_device(zo_device* device);
ZO_API int zo_reset_device(zo_device* device);

// Identity. Failure values: null, 0xFFFFFFFF, 255, {255,255,255}, -1, < 0.
ZO_API const char* zo_get_serial(zo_device* device);
ZO_API const char* zo_get_product(zo_device* device);
ZO_API uint32_t zo_get_samplerate(zo_device* device);
ZO_API uint8_t zo_get_adcbits(zo_device* device);
ZO_API zo_version_t zo_get_fwversion(zo_device* device);
ZO_API int zo_get_usb_speed(zo_device* device);
ZO_API int zo_get_peak_responsivity(zo_device* device);

// Calibration and responsivity. Failure values: ZO_BAD_DOUBLE, (0.0, 0.0).
ZO_API double zo_get_rel_responsivity(zo_device* device, double wavelength_nm);
ZO_API zo_calibration_t zo_get_calibration(zo_device* device, int32_t type);
ZO_API zo_calibration_t zo_get_rel_calibration(zo_device* device, int32_t type,
                                               double wavelength_nm);

// Acquisition into a caller-owned buffer of `nsamples` words: bits 0-13 the
// ADC code, bit 14 port S and bit 15 port T while they are digital inputs.
ZO_API int zo_get_raw_data(zo_device* device, uint64_t nsamples, uint16_t* buffer);
ZO_API int zo_get_raw_data_triggered(zo_device* device, uint64_t nsamples,
                                     uint16_t* buffer, ZO_TRIGGER_MODE_t mode,
                                     uint64_t arm_time);
ZO_API int zo_get_raw_data_triggered_repeat(zo_device* device, uint64_t nsamples,
                                            uint16_t* buffer, ZO_TRIGGER_MODE_t mode,
                                            uint64_t arm_time,
                                            uint64_t samples_per_trigger);

// Analog front end: reads give < 0 on failure, 0 off, > 0 on.
ZO_API int zo_read_highgain(zo_device* device);
ZO_API int zo_set_highgain(zo_device* device, bool enable);
ZO_API int zo_read_antialias(zo_device* device);
ZO_API int zo_set_antialias(zo_device* device, bool enable);
ZO_API int zo_read_powerdown(zo_device* device);
ZO_API int zo_set_powerdown(zo_device* device, bool enable);
ZO_API int zo_read_adcclock(zo_device* device);
ZO_API int zo_set_adcclock(zo_device* device, bool enable);
ZO_API int zo_read_p1_monitor(zo_device* device);
ZO_API int zo_set_p1_monitor(zo_device* device, bool enable);
ZO_API int zo_read_p2_monitor(zo_device* device);
ZO_API int zo_set_p2_monitor(zo_device* device, bool enable);

// Digital ports and LEDs. Times are in ~5 ns clock cycles.
ZO_API int zo_port_drive(zo_device* device, ZO_PORT_t port, bool level);
ZO_API int zo_port_pwm(zo_device* device, ZO_PORT_t port, uint32_t threshold,
                       uint32_t period);
ZO_API int zo_port_pulse(zo_device* device, ZO_PORT_t port, uint32_t threshold);
ZO_API int zo_port_read(zo_device* device, ZO_PORT_t port);

// ADC test patterns.
ZO_API int zo_test_pn9(zo_device* device);
ZO_API int zo_test_checkerboard(zo_device* device);
ZO_API int zo_test_normal(zo_device* device);
ZO_API int zo_test_user(zo_device* device, uint16_t sample);

// USB vendor requests. With length 0 the data pointer may be null; the
// library never reads or writes more than `length` bytes at `data`.
ZO_API int zo_in_request(zo_device* device, uint8_t request, uint16_t value,
                         uint16_t index, uint8_t* data, uint16_t length,
                         uint32_t timeout);
ZO_API int zo_out_request(zo_device* device, uint8_t request, uint16_t value,
                          uint16_t index, const uint8_t* data, uint16_t length,
                          uint32_t timeout);

#ifdef __cplusplus
}  // extern "C"

// Continuous acquisition streams. A stream is opened on a device handle and
// released with zo_close_stream. The virtual operations below are declared in
// this order by every implementation; callers rely on that order.
class ZO_API ZOGenericStream {
public:
    virtual ~ZOGenericStream();

    virtual double read_samplerate() = 0;
    virtual int read_samplesize() = 0;
    virtual std::string read_calibration_mode() = 0;
    virtual std::string list_calibration_modes() = 0;  // comma-separated
    virtual int set_calibration_mode(std::string mode) = 0;
    virtual int update_auto_calibration() = 0;
    virtual std::pair<double, double> read_calibration() = 0;
    virtual int set_custom_calibration(double m, double b) = 0;
    virtual std::pair<double, double> read_custom_calibration() = 0;
    virtual double read_calibration_wavelength() = 0;
    virtual int set_calibration_wavelength(double wavelength_nm) = 0;
    virtual int read_calibration_units() = 0;
    virtual int set_calibration_units(int power_of_ten) = 0;
    virtual std::string read_filter() = 0;
    virtual int set_filter(std::string filter) = 0;
    virtual double read_cutoff() = 0;
    virtual int set_cutoff(double cutoff_hz) = 0;
    virtual int read_downsampling() = 0;
    virtual int set_downsampling(int downsampling) = 0;
    virtual int set_decimation(int decimation) = 0;
    virtual int read_decimation() = 0;
    virtual std::string list_filters() = 0;  // comma-separated
};

template <typename T>
class ZO_API ZOStream : public ZOGenericStream {
public:
    // Fills `nsamples` processed samples at `data` and, when `bits` is not
    // null, one byte of port bits per sample (bit 0 port S, bit 1 port T).
    virtual int acquire(uint64_t nsamples, T* data, uint8_t* bits) = 0;
};

// Open a stream of float or double samples; null on failure.
template <typename T>
ZOStream<T>* zo_open_stream(zo_device* device);
template <>
ZO_API ZOStream<float>* zo_open_stream<float>(zo_device* device);
template <>
ZO_API ZOStream<double>* zo_open_stream<double>(zo_device* device);

// Releases the stream; returns null.
ZO_API ZOGenericStream* zo_close_stream(ZOGenericStream* stream);

#endif  // __cplusplus

#endif  // LIBZO_ZO_H
