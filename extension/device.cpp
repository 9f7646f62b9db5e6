// Device: one connection to one instrument. Creation, opening, closing,
// destruction and the refusal to pickle.
#include "zopy.hpp"

namespace zopy {

// ---------------------------------------------------------------------------
// The guard around the handle

DeviceGuard::DeviceGuard(PyObject* device)
    : mutex_(reinterpret_cast<DeviceObject*>(device)->guard) {
    if (mutex_->try_lock()) return;
    // Another thread is acquiring on this Device: wait for it without
    // holding the interpreter lock, which that thread needs to finish. Should
    // the thread be ended when it takes the lock back (interpreter exit),
    // `held` gives the guard back on the way out.
    std::unique_lock held(*mutex_, std::defer_lock);
    without_interpreter_lock([&held]() noexcept { held.lock(); });
    held.release();
}

DeviceGuard::~DeviceGuard() { mutex_->unlock(); }

void close_handle(PyObject* device) {
    auto* self = reinterpret_cast<DeviceObject*>(device);
    if (!self->_device) return;
    DeviceGuard guard(device);
    if (self->_device) {
        zo_close_device(self->_device);
        self->_device = nullptr;
    }
}

namespace {

// ---------------------------------------------------------------------------
// Lifecycle

PyObject* device_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* device = reinterpret_cast<DeviceObject*>(self.get());
    device->_device = nullptr;
    device->guard = new (std::nothrow) std::mutex();
    if (!device->guard) return PyErr_NoMemory();
    // Every Device starts the library (once per process) through `init`.
    Ref init = Ref::steal(module_global(state.str_init));
    if (!init || !Ref::steal(PyObject_CallNoArgs(init.get()))) return nullptr;
    return self.release();
}

constexpr auto kDeviceInit = signature("__init__", optional("open", kTrue),
                                       optional("serial", kNone));

int device_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Arguments<kDeviceInit> a;
    if (!a.parse_tuple(args, kwargs)) return -1;
    int open = PyObject_IsTrue(a.get<"open">());
    if (open <= 0) return open;
    PyObject* serial = a.get<"serial">();
    Ref result = Ref::steal(call_method(self, state.str_open, &serial, 0, state.kw_serial));
    return result ? 0 : -1;
}

Docstring device_doc("Device", kDeviceInit, Line::plain,
    "    Represents a Corvane KV310 device.\n"
    "\n"
    "    The device must be opened with :py:func:`open` before it can be used. This is done\n"
    "    on creation by default, and can be disabled by passing `open` as `False`.\n"
    "\n"
    "    Args:\n"
    "        open (bool): Immediatly try opening the device\n"
    "        serial (str): String to find in the device's serial number to connect to.\n"
    "\n"
    "    Raises:\n"
    "        zopy.NoDeviceError: If no device is found.\n"
    "    ");

void device_dealloc(PyObject* self) {
    auto* device = reinterpret_cast<DeviceObject*>(self);
    PyObject* pending = PyErr_GetRaisedException();
    if (device->guard) {
        close_handle(self);
        delete device->guard;
    }
    PyErr_SetRaisedException(pending);
    Py_TYPE(self)->tp_free(self);
}

// The serial text as a NUL-terminated byte string (new reference).
PyObject* encoded_serial(PyObject* serial) {
    Ref encoded = Ref::steal(call_method(serial, state.str_encode));
    if (!encoded) return nullptr;
    if (!PyBytes_Check(encoded.get()) && !PyByteArray_Check(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found",
                     Py_TYPE(encoded.get())->tp_name);
        return nullptr;
    }
    return encoded.release();
}

constexpr auto kOpen = signature("open", optional("serial", kNone));

PyObject* device_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    Arguments<kOpen> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    PyObject* serial = a.get<"serial">();
    Ref encoded;
    if (serial != Py_None && !(encoded = Ref::steal(encoded_serial(serial)))) return nullptr;
    auto* device = reinterpret_cast<DeviceObject*>(self);
    zo_device* handle;
    {
        DeviceGuard guard(self);
        // Reopening gives the old handle back first, so its instrument is not
        // left claimed (and can be found again by this very call).
        if (device->_device) zo_close_device(device->_device);
        if (!encoded) {
            handle = zo_open_device();
        } else {
            PyObject* bytes = encoded.get();
            handle = zo_open_from_serial(PyBytes_Check(bytes) ? PyBytes_AS_STRING(bytes)
                                                              : PyByteArray_AS_STRING(bytes));
        }
        device->_device = handle;
    }
    if (!handle) return raise_module_error("Could not find a device.", state.no_device_error_class);
    Py_RETURN_NONE;
}

Method open_method(kOpen, device_open, Line::plain,
    "        Opens communication with the device.\n"
    "\n"
    "        This must be called before any communication with the device. If `serial` is\n"
    "        given, the first device whose serial number contains the string is opened.\n"
    "\n"
    "        Args:\n"
    "            serial (str): Opens the first device where the string `serial` is a\n"
    "                substring of the device's serial number.\n"
    "\n"
    "        Raises:\n"
    "            zopy.NoDeviceError: If no device is found.\n"
    "        ");

PyObject* device_close(PyObject* self, PyObject*) {
    close_handle(self);
    Py_RETURN_NONE;
}

Method close_method = Method::no_arguments("close", device_close, Line::plain,
    "        Closes the device.\n"
    "        ");

PyObject* device_isopen(PyObject* self, PyObject*) {
    return PyBool_FromLong(handle_of(self) != nullptr);
}

Method isopen_method = Method::no_arguments("isopen", device_isopen, Line::plain,
    "        Checks if the device is open.\n"
    "\n"
    "        Returns:\n"
    "            bool: If the device is open.\n"
    "        ");

Method enter_method = Method::no_arguments("__enter__", context_enter, Line::plain,
    "        Returns the device itself, for use in a ``with`` block.\n"
    "\n"
    "        ``with zopy.Device() as dev:`` opens the first device found and closes it\n"
    "        when the block ends, however it ends.\n"
    "\n"
    "        Returns:\n"
    "            Device: this device.\n"
    "        ");

Method exit_method(kExitSignature, context_exit, Line::names_only,
    "        Closes the device at the end of a ``with`` block.\n"
    "\n"
    "        Calls :py:func:`close` (a subclass's own, if it has one). Closing a device that\n"
    "        is already closed does nothing. An exception raised in the block propagates.\n"
    "\n"
    "        Returns:\n"
    "            bool: False.\n"
    "        ");

PyObject* device_repr(PyObject* self) {
    Ref product = Ref::steal(PyObject_GetAttr(self, state.str_product));
    Ref serial = Ref::steal(product ? PyObject_GetAttr(self, state.str_serial) : nullptr);
    Ref product_text = Ref::steal(serial ? PyObject_Str(product.get()) : nullptr);
    Ref serial_text = Ref::steal(product_text ? PyObject_Str(serial.get()) : nullptr);
    if (!serial_text) return nullptr;
    return PyUnicode_FromFormat("%U. SN: %U", product_text.get(), serial_text.get());
}

// ---------------------------------------------------------------------------
// Pickling is refused: a handle cannot be copied.

PyObject* refuse_pickling() {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyObject* reduce_refused(PyObject*, PyObject*) { return refuse_pickling(); }
PyObject* setstate_refused(PyObject*, PyObject*) { return refuse_pickling(); }

Method reduce_method = Method::no_arguments("__reduce__", reduce_refused, Line::none, nullptr);
Method setstate_method = Method::one_argument("__setstate__", setstate_refused, nullptr);

Method* const lifecycle_methods[] = {&open_method, &close_method, &isopen_method, &enter_method,
                                     &exit_method};

}  // namespace

bool add_device_members(ClassBuilder& cls) { return cls.methods(lifecycle_methods); }

bool add_pickling_refusal(ClassBuilder& cls) {
    return cls.method(reduce_method) && cls.method(setstate_method);
}

const char* device_class_doc() { return device_doc.text(); }

PyTypeObject DeviceType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zopy.zopy.Device",
    .tp_basicsize = sizeof(DeviceObject),
    .tp_dealloc = device_dealloc,
    .tp_repr = device_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_init = device_init,
    .tp_new = device_new,
};

PyTypeObject DDeviceType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zopy.zopy._DDevice",
    .tp_basicsize = sizeof(DeviceObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
};

}  // namespace zopy
