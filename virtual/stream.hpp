// Continuous acquisition streams of the virtual instrument.
//
// A stream reads the instrument's signal from its own cursor (instrument time
// when it was opened) and runs it, in chunks of up to 8192 input samples
// rendered into scratch buffers the stream allocates once, through
//
//   raw words -> filter -> averaging by N -> keep every M-th -> calibration
//
// The stages before the calibration work on the ADC codes; the calibration,
// being linear, is applied once per output sample, in the stream's sample
// type (a filter passes the calibration's offset with its DC gain).
//
// - Calibration "auto" (default) uses the instrument's calibration for its
//   gain, read when the stream opens or on update_auto_calibration, rescaled
//   to the calibration wavelength (default: peak responsivity); "custom" the
//   pair set with set_custom_calibration (initially the auto pair); "raw" the
//   bare ADC codes. Pairs map ADC codes to uW, read_calibration returns the uW
//   pair in effect ((1, 0) for raw), and the units setting (-6 uW, -3 mW,
//   0 W) rescales the output of auto and custom.
// - Filters "none" (default), "lowpass" and "highpass": 4th-order
//   Butterworth sections with double state (dsp.hpp). The filter runs at the
//   instrument's rate, before averaging, so it doubles as the anti-alias
//   filter of the downsampling and its cutoff is checked against the
//   instrument's rate only: from 1e-7 of it (lower ones do not fit double
//   coefficients) to below its Nyquist frequency (downsampling and
//   decimation never invalidate it; a new clock divider can). The default
//   cutoff is a tenth of the instrument's rate at opening. A cutoff the
//   filter cannot realise is kept (read_cutoff shows it; set_cutoff answers
//   ZO_ERROR_PARAMS) and makes every acquire with a filter on fail with
//   ZO_ERROR_PARAMS until a good one is set. A new filter, cutoff or
//   instrument rate restarts the filter at rest on the next sample, so there
//   is no start-up transient.
// - Output sample k of an acquire is the average of N inputs, and only every
//   M-th such average is kept (the M-th, 2M-th, ...); its port bits are
//   those of the last input of its group. Each acquire of n samples consumes
//   exactly n * N * M input samples, and consecutive acquires continue
//   exactly where the previous one stopped: the samples are the same, bit
//   for bit, however a run is split into acquires.
// - With the bench's real-time switch on, an acquire takes as long as its
//   input samples would at the instrument's rate.
//
// With the handle closed (or stale) every stream call fails with
// ZO_ERROR_INVALID_DEVICE, readers answering 0, "" or (0, 0); only what the
// stream is (its sample size, the names it knows) is still answered. The
// stream owns its share of the instrument, so nothing dangles.
#ifndef ZOPY_VIRTUAL_STREAM_HPP
#define ZOPY_VIRTUAL_STREAM_HPP

#include "zo.h"

#endif  // ZOPY_VIRTUAL_STREAM_HPP
