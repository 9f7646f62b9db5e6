// The module frame of zopy.zopy: creation once per process, the import
// sequence, and the module functions init, exit and version.
#define ZOPY_DEFINE_NUMPY_API
#include "zopy.hpp"

#include <frameobject.h>

#include <atomic>

namespace zopy {

ModuleState state;

namespace {

// The interpreter that first loaded the module; -1 before that. Atomic
// because another interpreter may ask with a GIL of its own.
std::atomic<int64_t> owner_interpreter{-1};

// ---------------------------------------------------------------------------
// Module functions

PyObject* init_function(PyObject*, PyObject*) {
    if (state.initialized == 0) {
        zo_init();
        state.initialized = 1;
    }
    Py_RETURN_NONE;
}

PyObject* exit_function(PyObject*, PyObject*) {
    if (state.initialized != 0) zo_exit();
    Py_RETURN_NONE;
}

PyObject* version_function(PyObject*, PyObject*) {
    zo_version_t v = zo_version();
    return Py_BuildValue("(iii)", v.major, v.minor, v.patch);
}

Method init_method = Method::no_arguments("init", init_function, Line::plain,
    "    Starts `libzo` (:cpp:func:`zo_init`), the first time only.\n"
    "\n"
    "    Every :py:class:`Device` calls it on creation, so programs need not.\n"
    "    ");
Method exit_method = Method::no_arguments("exit", exit_function, Line::plain,
    "    Stops `libzo` (:cpp:func:`zo_exit`) if it has been started.\n"
    "\n"
    "    It also runs at interpreter exit; `libzo` is not started again.\n"
    "    ");
Method version_method = Method::no_arguments("version", version_function, Line::none,
    "Returns the version of `libzo` used with `zopy`");

bool mark_library_not_started() {
    state.initialized = 0;
    return true;
}

// ---------------------------------------------------------------------------
// Import steps

bool enter_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, state.str_module_key);
    if (present < 0) return false;
    return present || PyDict_SetItem(modules, state.str_module_key, module) == 0;
}

bool cache_builtins() {
    PyObject* builtins = PyEval_GetBuiltins();
    // Py_XSETREF here and below: an import that failed left the state of its
    // run behind, and the next import replaces it.
    Py_XSETREF(state.builtin_print, Py_XNewRef(PyDict_GetItemString(builtins, "print")));
    Py_XSETREF(state.builtin_property, Py_XNewRef(PyDict_GetItemString(builtins, "property")));
    if (!state.builtin_print || !state.builtin_property) {
        PyErr_SetString(PyExc_NameError, "a builtin that zopy uses is missing");
        return false;
    }
    return true;
}

// Values the module passes on every call, made once.
bool make_constants() {
    struct Constant { PyObject** slot; PyObject* (*make)(); };
    const Constant constants[] = {
        {&state.int_0, [] { return PyLong_FromLong(0); }},
        {&state.int_1, [] { return PyLong_FromLong(1); }},
        {&state.kw_serial, [] { return Py_BuildValue("(s)", "serial"); }},
        {&state.kw_dtype, [] { return Py_BuildValue("(s)", "dtype"); }},
        {&state.kw_index_value, [] { return Py_BuildValue("(ss)", "index", "value"); }},
        {&state.kw_index_length, [] { return Py_BuildValue("(ss)", "index", "length"); }},
    };
    for (const Constant& c : constants) {
        if (!*c.slot && !(*c.slot = c.make())) return false;
    }
    return true;
}

bool intern_names() {
    struct Name { PyObject** slot; const char* text; };
    const Name names[] = {
        {&state.str_module_key, "zopy.zopy"}, {&state.str_init, "init"},
        {&state.str_open, "open"}, {&state.str_close, "close"},
        {&state.str_serial, "serial"}, {&state.str_product, "product"},
        {&state.str_encode, "encode"}, {&state.str_ascii, "ascii"},
        {&state.str_lower, "lower"}, {&state.str_auto, "auto"},
        {&state.str_dtype, "dtype"}, {&state.str_samplesize, "samplesize"},
        {&state.str_get_raw_data, "get_raw_data"},
        {&state.str_get_calibration, "get_calibration"},
        {&state.str_get_rel_calibration, "get_rel_calibration"},
        {&state.str_in_request, "in_request"}, {&state.str_out_request, "out_request"},
        {&state.str_port_lookup, "port_lookup"},
        {&state.str_calibrationtype_lookup, "calibrationtype_lookup"},
        {&state.str_trigger_mode_lookup, "_trigger_mode_lookup"},
        {&state.str_usb_speed_lookup, "usb_speed_lookup"},
    };
    for (const Name& n : names) {
        if (!*n.slot && !(*n.slot = intern(n.text))) return false;
    }
    return make_constants();
}

bool ready_types(PyObject* module) {
    DDeviceType.tp_base = &DeviceType;
    DeviceType.tp_doc = device_class_doc();
    StreamType.tp_doc = stream_class_doc();
    PyTypeObject* types[] = {&DeviceType, &StreamType, &DDeviceType};
    const char* names[] = {"Device", "Stream", "_DDevice"};
    for (int i = 0; i < 3; ++i) {
        if (PyType_Ready(types[i]) < 0) return false;
        if (PyModule_AddObjectRef(module, names[i], reinterpret_cast<PyObject*>(types[i])) < 0)
            return false;
    }
    return true;
}

// The numpy types the module works with must be there and be types of at
// least the size the module was compiled against.
bool check_numpy_types() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    const char* names[] = {"dtype", "ndarray", "generic", "number", "integer", "signedinteger",
                           "unsignedinteger", "inexact", "floating", "complexfloating",
                           "flexible", "character", "ufunc"};
    for (const char* name : names) {
        Ref type = Ref::steal(PyObject_GetAttrString(numpy.get(), name));
        if (!type) return false;
        if (!PyType_Check(type.get())) {
            PyErr_Format(PyExc_TypeError, "numpy.%s is not a type object", name);
            return false;
        }
        Py_ssize_t needed = std::strcmp(name, "ndarray") == 0
                                ? static_cast<Py_ssize_t>(sizeof(PyArrayObject_fields))
                                : static_cast<Py_ssize_t>(sizeof(PyObject));
        if (reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize < needed) {
            PyErr_Format(PyExc_ValueError, "numpy.%s size changed, may indicate binary incompatibility",
                         name);
            return false;
        }
    }
    Py_XSETREF(state.numpy_zeros, PyObject_GetAttrString(numpy.get(), "zeros"));
    return state.numpy_zeros != nullptr;
}

bool bind_numpy(PyObject* module) {
    Py_XSETREF(state.numpy, PyImport_ImportModule("numpy"));
    return state.numpy && PyModule_AddObjectRef(module, "numpy", state.numpy) == 0;
}

bool register_exit_at_interpreter_exit(PyObject* module) {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit || PyModule_AddObjectRef(module, "atexit", atexit.get()) < 0) return false;
    Ref exit_fn = Ref::steal(PyObject_GetAttrString(module, "exit"));
    if (!exit_fn) return false;
    Ref result = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", exit_fn.get()));
    return bool(result);
}

bool print_message(const char* text) {
    Ref message = Ref::steal(PyUnicode_FromString(text));
    if (!message) return false;
    return bool(Ref::steal(PyObject_CallOneArg(state.builtin_print, message.get())));
}

// Warnings for interpreters that zopy does not serve well, printed at import.
// The second cannot fire in this build, which needs Python 3.12 or later; it
// stays because the module's import behaviour includes it.
bool check_interpreter(PyObject* module) {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys || PyModule_AddObjectRef(module, "sys", sys.get()) < 0) return false;
    Ref maxsize = Ref::steal(PyObject_GetAttrString(sys.get(), "maxsize"));
    Ref limit = Ref::steal(PyLong_FromUnsignedLongLong(4294967296ULL));
    if (!maxsize || !limit) return false;
    int small = PyObject_RichCompareBool(maxsize.get(), limit.get(), Py_LE);
    if (small < 0) return false;
    if (small && !print_message("zopy: 32-bit Python detected.  64-bit Python is strongly recommended"))
        return false;
    Ref version = Ref::steal(PyObject_GetAttrString(sys.get(), "version_info"));
    Ref three = Ref::steal(Py_BuildValue("(ii)", 3, 0));
    if (!version || !three) return false;
    int old = PyObject_RichCompareBool(version.get(), three.get(), Py_LT);
    if (old < 0) return false;
    return !old || print_message("zopy: Python 2 detected.  zopy does not work well with Python 2.");
}

bool install_class_members() {
    ClassBuilder device(&DeviceType);
    bool ok = add_device_members(device) && add_acquisition_members(device) &&
              add_calibration_members(device) && add_identity_members(device) &&
              add_frontend_members(device) && add_stream_opening_member(device) &&
              add_pickling_refusal(device);
    ClassBuilder stream(&StreamType);
    ok = ok && add_stream_members(stream) && add_pickling_refusal(stream);
    ClassBuilder diagnostics(&DDeviceType);
    return ok && add_diagnostics_members(diagnostics) && add_pickling_refusal(diagnostics);
}

// Adds a traceback entry naming the import, as for any failing module body.
void add_import_traceback() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init zopy.zopy");
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty("zopy/zopy", "init zopy.zopy", 1);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = (code && globals)
                               ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr)
                               : nullptr;
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

bool run_module_body(PyObject* module) {
    return import_numpy_api() && enter_sys_modules(module) && cache_builtins() &&
           ready_types(module) && check_numpy_types() && bind_numpy(module) &&
           mark_library_not_started() && bind_function(module, init_method) &&
           bind_function(module, exit_method) && register_exit_at_interpreter_exit(module) &&
           check_interpreter(module) && add_tables(module) && add_error_classes(module) &&
           bind_function(module, version_method) && install_class_members();
}

// ---------------------------------------------------------------------------
// Module creation and execution (multi-phase initialisation)

bool set_spec_attribute(PyObject* module, PyObject* spec, const char* from, const char* to,
                        bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) return false;
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !set_spec_attribute(module.get(), spec, "loader", "__loader__", false) ||
        !set_spec_attribute(module.get(), spec, "origin", "__file__", false) ||
        !set_spec_attribute(module.get(), spec, "parent", "__package__", false) ||
        !set_spec_attribute(module.get(), spec, "submodule_search_locations", "__path__", true))
        return nullptr;
    state.module = Py_NewRef(module.get());
    return module.release();
}

int exec_module(PyObject* module) {
    if (state.body_ran) {
        if (module == state.module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'zopy' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (module != state.module) Py_XSETREF(state.module, Py_NewRef(module));
    state.module_dict = PyModule_GetDict(module);
    if (!intern_names() || !run_module_body(module)) {
        add_import_traceback();
        // A failed import is forgotten: the next one starts from scratch.
        Py_CLEAR(state.module);
        state.module_dict = nullptr;
        return -1;
    }
    state.body_ran = true;
    return 0;
}

// Every interpreter but the first is refused by create_module before it
// touches anything, with the module's own message; declaring per-interpreter
// GIL support is what lets an isolated interpreter get that far.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zopy", nullptr, 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

// ---------------------------------------------------------------------------
// What the units share

PyObject* module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.module_dict, name);
    if (value) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value) return Py_NewRef(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* context_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* context_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    Arguments<kExitSignature> exc_info;
    if (!exc_info.parse(args, nargs, kwnames)) return nullptr;
    Ref closed = Ref::steal(call_method(self, state.str_close));
    if (!closed) return nullptr;
    Py_RETURN_FALSE;
}

// ---------------------------------------------------------------------------
// Shared numpy helpers

bool import_numpy_api() {
    if (_import_array() >= 0) return true;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetContext(error, cause);   // steals `cause`
    PyErr_SetRaisedException(error);
    return false;
}

PyObject* new_zeros(npy_intp n, int typenum) {
    // numpy takes large zero-filled blocks from calloc: fresh zero pages,
    // so the library's fill stays the one write of a sample buffer.
    return PyArray_ZEROS(1, &n, typenum, 0);
}

bool fits_array_length(uint64_t n) {
    if (n <= static_cast<uint64_t>(NPY_MAX_INTP)) return true;
    PyErr_SetString(PyExc_ValueError, "Maximum allowed dimension exceeded");
    return false;
}

// ---------------------------------------------------------------------------
// ClassBuilder

bool ClassBuilder::value(const char* name, PyObject* value) {
    Ref owned = Ref::steal(value);
    if (!owned) return false;
    if (PyDict_SetItemString(type_->tp_dict, name, owned.get()) < 0) return false;
    PyType_Modified(type_);
    return true;
}

bool ClassBuilder::method(Method& method) {
    return value(method.name(), PyDescr_NewMethod(type_, method.definition()));
}

bool ClassBuilder::getset(PyGetSetDef* def) {
    return value(def->name, PyDescr_NewGetSet(type_, def));
}

bool ClassBuilder::property(const char* name, const char* read, const char* set) {
    PyObject* fget = PyDict_GetItemString(type_->tp_dict, read);
    PyObject* fset = set ? PyDict_GetItemString(type_->tp_dict, set) : Py_None;
    if (!fget || !fset) {
        PyErr_Format(PyExc_AttributeError, "property %s: accessor missing", name);
        return false;
    }
    return value(name, PyObject_CallFunctionObjArgs(state.builtin_property, fget, fset, nullptr));
}

}  // namespace zopy

PyMODINIT_FUNC PyInit_zopy(void) {
    return PyModuleDef_Init(&zopy::module_def);
}
