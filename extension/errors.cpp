// Error and NoDeviceError: how library failures and the module's own device
// errors reach Python.
#include "zopy.hpp"

namespace zopy {

namespace {

const char kErrorDoc[] =
    "A class representing an `libzo` error.  This is raised whenever `libzo` gives and error "
    "in it's oporation.\n"
    "\n"
    "    The class has two attributes `err` and `errstr`, which are the `libzo` error code and "
    "error string\n"
    "    returned by :cpp:func:`zo_get_error` and :cpp:func:`zo_get_error_string`, "
    "respectfully.\n"
    "    ";

// The attribute names, interned once: every Error sets and reads them, and a
// fresh name string per call would also be what the type's attribute cache
// keeps.
PyObject* err_name() {
    static PyObject* name = nullptr;
    if (!name) name = intern("err");
    return name;
}

PyObject* errstr_name() {
    static PyObject* name = nullptr;
    if (!name) name = intern("errstr");
    return name;
}

// "libzo error (<err>): <errstr>", read back from the instance.
PyObject* library_message(PyObject* self) {
    if (!err_name() || !errstr_name()) return nullptr;
    Ref err = Ref::steal(PyObject_GetAttr(self, err_name()));
    Ref errstr = Ref::steal(err ? PyObject_GetAttr(self, errstr_name()) : nullptr);
    if (!errstr) return nullptr;
    Ref code = Ref::steal(PyNumber_Long(err.get()));
    Ref code_text = Ref::steal(code ? PyObject_Str(code.get()) : nullptr);
    Ref text = Ref::steal(code_text ? PyObject_Str(errstr.get()) : nullptr);
    if (!text) return nullptr;
    return PyUnicode_FromFormat("libzo error (%U): %U", code_text.get(), text.get());
}

bool store_library_error(PyObject* self) {
    if (!err_name() || !errstr_name()) return false;
    Ref err = Ref::steal(PyLong_FromLong(zo_get_error()));
    if (!err || PyObject_SetAttr(self, err_name(), err.get()) < 0) return false;
    Ref errstr = Ref::steal(str_from_utf8(zo_get_error_string()));
    return errstr && PyObject_SetAttr(self, errstr_name(), errstr.get()) == 0;
}

// As a plain function in the class, __init__ can be handed any object as
// `self` (Error.__init__(x, "m")); only an exception of the class has the
// layout that Exception.__init__ writes.
bool check_error_instance(PyObject* self) {
    if (PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(state.error_class))) return true;
    PyErr_Format(PyExc_TypeError,
                 "descriptor '__init__' requires a 'zopy.zopy.Error' object but received a '%.100s'",
                 Py_TYPE(self)->tp_name);
    return false;
}

// Error.__init__(self, msg=None)
constexpr auto kErrorInit = signature("__init__", required("self"), optional("msg", kNone));

PyObject* error_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments<kErrorInit> a;
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    PyObject* self = a.get<"self">();
    PyObject* msg = a.get<"msg">();
    if (!check_error_instance(self)) return nullptr;
    if (!store_library_error(self)) return nullptr;
    int truth = PyObject_IsTrue(msg);
    if (truth < 0) return nullptr;
    Ref message;
    if (truth) {
        Ref format = Ref::steal(PyUnicode_FromString("zopy error: %s"));
        message = Ref::steal(format ? PyUnicode_Format(format.get(), msg) : nullptr);
    } else {
        message = Ref::steal(library_message(self));
    }
    if (!message) return nullptr;
    Ref init_args = Ref::steal(PyTuple_Pack(1, message.get()));
    if (!init_args) return nullptr;
    if (reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, init_args.get(), nullptr) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

Method error_init_method(kErrorInit, error_init, Line::none, nullptr);

// type(name, (base,), namespace) with the module's __module__ and __qualname__.
PyObject* make_class(const char* name, PyObject* base, PyObject* ns) {
    if (PyDict_SetItemString(ns, "__module__", state.str_module_key) < 0) return nullptr;
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!qualname || PyDict_SetItemString(ns, "__qualname__", qualname.get()) < 0) return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name, base, ns);
}

bool add_error_class(PyObject* module) {
    Ref ns = Ref::steal(PyDict_New());
    Ref doc = Ref::steal(PyUnicode_FromString(kErrorDoc));
    Ref function = Ref::steal(PyCMethod_New(error_init_method.definition(), nullptr, state.str_module_key, nullptr));
    // A builtin function does not bind to instances; instancemethod makes it
    // behave as a method defined in the class body.
    Ref method = Ref::steal(function ? PyInstanceMethod_New(function.get()) : nullptr);
    if (!ns || !doc || !method || PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__init__", method.get()) < 0)
        return false;
    // Replaces the class of an earlier, failed import (module.cpp).
    Py_XSETREF(state.error_class, make_class("Error", PyExc_Exception, ns.get()));
    return state.error_class && PyModule_AddObjectRef(module, "Error", state.error_class) == 0;
}

const char kNoDeviceErrorDoc[] =
    "Raised by :py:func:`Device.open` when no device is found.\n"
    "\n"
    "    It is an :py:class:`Error`: `err` and `errstr` carry the `libzo` error code and\n"
    "    error string of the moment.\n"
    "    ";

bool add_no_device_error_class(PyObject* module) {
    Ref ns = Ref::steal(PyDict_New());
    Ref doc = Ref::steal(PyUnicode_FromString(kNoDeviceErrorDoc));
    if (!ns || !doc || PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) return false;
    Py_XSETREF(state.no_device_error_class, make_class("NoDeviceError", state.error_class, ns.get()));
    return state.no_device_error_class &&
           PyModule_AddObjectRef(module, "NoDeviceError", state.no_device_error_class) == 0;
}

// Raises an instance of `cls` made by calling it with `args`.
PyObject* raise_instance(PyObject* cls, PyObject* message) {
    Ref exc = Ref::steal(message ? PyObject_CallOneArg(cls, message) : PyObject_CallNoArgs(cls));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace

bool add_error_classes(PyObject* module) {
    return add_error_class(module) && add_no_device_error_class(module);
}

PyObject* raise_library_error() {
    return raise_instance(state.error_class, nullptr);
}

PyObject* status_result(int status) {
    if (status != 0) return raise_library_error();
    Py_RETURN_NONE;
}

PyObject* raise_module_error(const char* message, PyObject* cls) {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (!text) return nullptr;
    return raise_instance(cls ? cls : state.error_class, text.get());
}

PyObject* raise_module_error_from_current(const char* message) {
    PyObject* caught = PyErr_GetRaisedException();
    raise_module_error(message);
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetContext(raised, caught);   // steals `caught`
    PyErr_SetRaisedException(raised);
    return nullptr;
}

}  // namespace zopy
