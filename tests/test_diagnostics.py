"""_DDevice: raw control requests and the clock divider built on them."""

import numpy
import pytest
from conftest import assert_library_error

import zopy
from zopy import sim

DDevice = zopy.zopy._DDevice


def requests():
    """The control requests since the last clear."""
    return [c for c in sim.calls() if c[0] in ("zo_in_request", "zo_out_request")]


@pytest.fixture
def ddev():
    """The default instrument opened as a _DDevice; the call log starts empty."""
    device = DDevice()
    sim.clear_calls()
    yield device
    device.close()


def write_register(ddev, index, value):
    ddev.out_request(192, value=value, index=index)
    ddev.out_request(192, value=1, index=255)


class TestInRequest:
    def test_zero_length_sends_a_null_buffer(self, ddev, serial):
        data = ddev.in_request(5)
        assert isinstance(data, numpy.ndarray)
        assert data.dtype == numpy.uint8 and data.shape == (0,)
        assert requests() == [("zo_in_request", serial, 5, 0, 0, None, 0, 1000)]

    def test_the_library_fills_the_returned_array(self, ddev, serial):
        write_register(ddev, 7, 0x1234)
        sim.clear_calls()
        data = ddev.in_request(194, index=7, length=3)
        assert data.dtype == numpy.uint8 and data.tolist() == [0x34, 0x12, 0]
        assert requests() == [("zo_in_request", serial, 194, 0, 7, 3, 3, 1000)]

    def test_every_call_returns_a_new_array(self, ddev):
        first = ddev.in_request(194, index=7, length=1)
        second = ddev.in_request(194, index=7, length=1)
        assert first is not second and not numpy.shares_memory(first, second)

    def test_all_fields_positional_and_by_keyword(self, ddev, serial):
        ddev.in_request(9, 65535, 255, 2, 4294967295)
        ddev.in_request(request=9, value=1, index=2, length=3, timeout=0)
        assert requests() == [("zo_in_request", serial, 9, 65535, 255, 2, 2, 4294967295),
                              ("zo_in_request", serial, 9, 1, 2, 3, 3, 0)]

    @pytest.mark.parametrize("kwargs, passed", [
        ({"request": 1.7}, (1, 0, 0)),
        ({"request": numpy.int64(3), "value": 2.9, "index": numpy.uint16(4)}, (3, 2, 4)),
        ({"request": True}, (1, 0, 0)),
    ])
    def test_integer_fields_take_integer_conversion(self, ddev, serial, kwargs, passed):
        ddev.in_request(**kwargs)
        assert requests() == [("zo_in_request", serial, *passed, None, 0, 1000)]

    @pytest.mark.parametrize("kwargs, message", [
        ({"request": 256}, "value too large to convert to uint8_t"),
        ({"request": -1}, "can't convert negative value to uint8_t"),
        ({"request": 1, "value": 65536}, "value too large to convert to uint16_t"),
        ({"request": 1, "value": -1}, "can't convert negative value to uint16_t"),
        ({"request": 1, "index": 65536}, "uint16_t"),
        ({"request": 1, "index": -1}, "uint16_t"),
        ({"request": 1, "length": 65536}, "uint16_t"),   # after numpy made the array
        ({"request": 1, "timeout": -1}, "can't convert negative value to unsigned int"),
        ({"request": 1, "timeout": 2**32}, ""),
    ])
    def test_out_of_range_fields(self, ddev, kwargs, message):
        with pytest.raises(OverflowError) as info:
            ddev.in_request(**kwargs)
        assert message in str(info.value)
        assert requests() == []

    @pytest.mark.parametrize("kwargs", [
        {"request": "1"}, {"request": None}, {"request": 1, "value": "2"},
        {"request": 1, "index": b"\x01"}, {"request": 1, "timeout": "10"}])
    def test_fields_without_integer_conversion(self, ddev, kwargs):
        with pytest.raises(TypeError) as info:
            ddev.in_request(**kwargs)
        assert str(info.value) == "an integer is required"
        assert requests() == []

    def test_fields_are_converted_in_order(self, ddev):
        with pytest.raises(OverflowError, match="uint8_t"):
            ddev.in_request(256, -1, "x", 1, -1)
        with pytest.raises(TypeError, match="an integer is required"):
            ddev.in_request(1, "x", -1)

    @pytest.mark.parametrize("length, error", [(-1, ValueError), (1.5, TypeError), ("2", TypeError)])
    def test_length_is_seen_by_numpy_first(self, ddev, length, error):
        with pytest.raises(error):
            ddev.in_request(256, length=length)   # the request code is never looked at
        assert requests() == []

    def test_length_numpy_sizes_by_is_the_length_sent(self, ddev):
        class Length:   # numpy sizes the array by __index__, the conversion uses __int__
            __index__ = lambda self: 2
            __int__ = lambda self: 4000

        with pytest.raises(ValueError):
            ddev.in_request(1, length=Length())
        assert requests() == []   # the library would write 4000 bytes into 2

    def test_library_failure(self, ddev):
        sim.override("zo_in_request", 1, error=(33, "timeout"))
        with pytest.raises(zopy.Error) as info:
            ddev.in_request(194, index=11, length=1)
        assert_library_error(info, 33, "timeout")

    def test_argument_counts(self, ddev):
        for bad in (lambda: ddev.in_request(), lambda: ddev.in_request(1, 2, 3, 4, 5, 6),
                    lambda: ddev.in_request(1, data=1), lambda: ddev.in_request(1, request=1)):
            with pytest.raises(TypeError):
                bad()
        assert requests() == []


class TestOutRequest:
    def test_default_data_is_a_null_zero_length_stage(self, ddev, serial):
        assert ddev.out_request(1) is None
        ddev.out_request(2, data=numpy.zeros(0, dtype=numpy.uint8))
        assert requests() == [("zo_out_request", serial, 1, 0, 0, None, 0, 1000),
                              ("zo_out_request", serial, 2, 0, 0, None, 0, 1000)]

    def test_all_fields_positional_and_by_keyword(self, ddev, serial):
        data = numpy.arange(5, dtype=numpy.uint8)
        ddev.out_request(7, 65535, 3, data, 4294967295)
        ddev.out_request(request=7, value=1, index=2, data=data, timeout=0)
        assert requests() == [("zo_out_request", serial, 7, 65535, 3, 5, 5, 4294967295),
                              ("zo_out_request", serial, 7, 1, 2, 5, 5, 0)]

    def test_size_limit(self, ddev, serial):
        ddev.out_request(1, data=numpy.zeros(1024, dtype=numpy.uint8))
        assert requests() == [("zo_out_request", serial, 1, 0, 0, 1024, 1024, 1000)]
        # The size is checked before any field is converted.
        with pytest.raises(RuntimeError) as info:
            ddev.out_request(-1, data=numpy.zeros(1025, dtype=numpy.uint8))
        assert str(info.value) == "data too large"
        assert len(requests()) == 1

    def test_data_must_be_an_ndarray(self, ddev):
        with pytest.raises(TypeError) as info:
            ddev.out_request(1, data=[1, 2])
        message = str(info.value)
        assert "'data'" in message and "numpy.ndarray" in message and "list" in message
        with pytest.raises(TypeError):
            ddev.out_request(1, data=b"\x01\x02")
        with pytest.raises(TypeError):
            ddev.out_request(1, data=None)       # refused by len()
        assert requests() == []

    @pytest.mark.parametrize("data", [
        numpy.zeros(2, dtype=numpy.int16), numpy.zeros(2, dtype=numpy.int8),
        numpy.zeros(2, dtype=bool), numpy.zeros((2, 2), dtype=numpy.uint8),
        numpy.zeros((), dtype=numpy.uint8)])
    def test_only_one_dimensional_uint8_arrays(self, ddev, data):
        with pytest.raises(ValueError):
            ddev.out_request(1, data=data)
        assert requests() == []

    def test_read_only_array_is_accepted(self, ddev, serial):
        data = numpy.arange(3, dtype=numpy.uint8)
        data.flags.writeable = False
        ddev.out_request(1, data=data)
        assert requests() == [("zo_out_request", serial, 1, 0, 0, 3, 3, 1000)]

    @pytest.mark.parametrize("view", [slice(None, None, 2), slice(None, None, -1), slice(9, 2, -3)])
    def test_non_contiguous_views_send_exactly_their_bytes(self, ddev, serial, view):
        base = numpy.arange(10, 20, dtype=numpy.uint8)
        data = base[view]
        ddev.out_request(200, data=data)          # the instrument's loopback buffer
        assert requests() == [("zo_out_request", serial, 200, 0, 0, len(data), len(data), 1000)]
        assert ddev.in_request(200, length=len(data)).tolist() == data.tolist()
        assert base.tolist() == list(range(10, 20))

    def test_a_len_beyond_the_array_is_refused(self, ddev):
        class Longer(numpy.ndarray):
            __len__ = lambda self: 1024

        with pytest.raises(ValueError):
            ddev.out_request(1, data=numpy.zeros(1, numpy.uint8).view(Longer))
        assert requests() == []   # the library would read 1024 bytes from 1

    def test_default_data_is_never_written(self, ddev):
        ddev.out_request(1)
        with pytest.raises(RuntimeError):
            ddev.out_request(1, data=numpy.zeros(2000, dtype=numpy.uint8))
        ddev.out_request(1)
        assert [c[5:7] for c in requests()] == [(None, 0), (None, 0)]

    @pytest.mark.parametrize("kwargs, type_name", [
        ({"request": 256}, "uint8_t"), ({"request": -1}, "uint8_t"),
        ({"request": 1, "value": -1}, "uint16_t"), ({"request": 1, "index": 65536}, "uint16_t"),
        ({"request": 1, "timeout": -1}, "unsigned int"), ({"request": 1, "timeout": 2**32}, ""),
    ])
    def test_out_of_range_fields(self, ddev, kwargs, type_name):
        with pytest.raises(OverflowError) as info:
            ddev.out_request(data=numpy.ones(3, dtype=numpy.uint8), **kwargs)
        assert str(info.value).endswith(type_name)
        assert requests() == []

    def test_string_field(self, ddev):
        with pytest.raises(TypeError, match="an integer is required"):
            ddev.out_request(1, index="3")
        assert requests() == []

    def test_library_failure(self, ddev):
        sim.override("zo_out_request", -1, error=(32, "usb"))
        with pytest.raises(zopy.Error) as info:
            ddev.out_request(1, data=numpy.ones(4, dtype=numpy.uint8))
        assert_library_error(info, 32, "usb")

    def test_argument_counts(self, ddev):
        for bad in (lambda: ddev.out_request(), lambda: ddev.out_request(1, 2, 3, None, 5, 6),
                    lambda: ddev.out_request(1, length=1)):
            with pytest.raises(TypeError):
                bad()
        assert requests() == []


class TestClockDivide:
    @pytest.mark.parametrize("divide, stored", [(1, 0), (2, 1), (4, 3), (2.0, 1), (numpy.uint8(4), 3)])
    def test_writes_applies_and_reads_back(self, ddev, serial, divide, stored):
        assert ddev.set_clock_divide(divide) is None
        assert requests() == [("zo_out_request", serial, 192, stored, 11, None, 0, 1000),
                              ("zo_out_request", serial, 192, 1, 255, None, 0, 1000),
                              ("zo_in_request", serial, 194, 0, 11, 1, 1, 1000)]
        assert ddev.samplerate == sim.DEFAULT_SAMPLERATE // int(divide)

    @pytest.mark.parametrize("divide", [3, 0, 8, -1, 2.5, "2", None])
    def test_invalid_divider_sends_nothing(self, ddev, divide):
        with pytest.raises(ValueError) as info:
            ddev.set_clock_divide(divide)
        assert str(info.value) == "Invalid clock divide"
        assert requests() == []

    def test_keyword(self, ddev):
        ddev.set_clock_divide(divide=2)
        assert sim.state()["registers"][11] == 1
        with pytest.raises(TypeError):
            ddev.set_clock_divide()
        with pytest.raises(TypeError):
            ddev.set_clock_divide(2, 4)
        with pytest.raises(TypeError):
            ddev.set_clock_divide(divider=2)

    def test_requests_go_through_attribute_lookup(self, serial):
        seen = []

        class Recording(DDevice):
            def out_request(self, *args, **kwargs):
                seen.append(("out", args, kwargs))
                return super().out_request(*args, **kwargs)

            def in_request(self, *args, **kwargs):
                seen.append(("in", args, kwargs))
                return super().in_request(*args, **kwargs)

        ddev = Recording()
        try:
            ddev.set_clock_divide(4)
        finally:
            ddev.close()
        assert seen == [("out", (192,), {"index": 11, "value": 3}),
                        ("out", (192,), {"index": 255, "value": 1}),
                        ("in", (194,), {"index": 11, "length": 1})]

    def test_read_back_mismatch(self):
        class Stuck(DDevice):
            def in_request(self, *args, **kwargs):
                return numpy.array([9], dtype=numpy.uint8)

        ddev = Stuck()
        sim.clear_calls()
        try:
            with pytest.raises(RuntimeError) as info:
                ddev.set_clock_divide(2)
        finally:
            ddev.close()
        assert str(info.value) == "clock divide unable to be set"
        assert [c[0] for c in requests()] == ["zo_out_request", "zo_out_request"]

    def test_a_failing_request_ends_the_operation(self, ddev):
        sim.override("zo_out_request", 1, error=(32, "usb"))
        with pytest.raises(zopy.Error) as info:
            ddev.set_clock_divide(2)
        assert info.value.err == 32
        assert len(requests()) == 1
        sim.clear_calls()
        sim.override("zo_in_request", 1, error=(33, "timeout"))
        with pytest.raises(zopy.Error):
            ddev.set_clock_divide(4)
        assert [c[0] for c in requests()] == ["zo_out_request", "zo_out_request", "zo_in_request"]
        assert sim.state()["registers"][11] == 3   # the writes are not undone


class TestType:
    def test_a_closed_ddevice_passes_a_null_handle(self):
        ddev = DDevice(open=False)
        for attempt in (lambda: ddev.in_request(1), lambda: ddev.out_request(1),
                        lambda: ddev.set_clock_divide(1)):
            with pytest.raises(zopy.Error) as info:
                attempt()
            assert info.value.err == zopy.errors.ZO_ERROR_INVALID_DEVICE
        assert [c[1] for c in requests()] == [None, None, None]

    def test_it_is_a_device(self, ddev):
        assert isinstance(ddev, zopy.Device)
        assert ddev.isopen() and ddev.product == "KV310"
        stream = ddev.open_stream()
        assert stream.device is ddev
        stream.close()

    def test_no_documentation(self):
        assert DDevice.__doc__ is None
        for name in ("in_request", "out_request", "set_clock_divide"):
            assert getattr(DDevice, name).__doc__ is None
        assert not hasattr(zopy.Device, "in_request")
