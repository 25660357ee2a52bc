// Defining an extension module: multi-phase initialisation through the interpreter's own module
// definition, declared to run without the global lock. An error raised while the module sets
// itself up reaches the importer as itself (type, message, cause), with a traceback entry for
// the set-up; the import system then drops the half-made module from sys.modules.
#pragma once

#include <new>

#include <nanobind/nanobind.h>

#include "norvox/python/function.h"

namespace norvox {

namespace nb = nanobind;

/// Raise the C++ exception being handled as the Python error it stands for. Call it only
/// inside a catch clause.
inline void raise_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::stop_iteration:
            type = PyExc_StopIteration;
            break;
        case nb::exception_type::index_error:
            type = PyExc_IndexError;
            break;
        case nb::exception_type::key_error:
            type = PyExc_KeyError;
            break;
        case nb::exception_type::value_error:
            type = PyExc_ValueError;
            break;
        case nb::exception_type::type_error:
            type = PyExc_TypeError;
            break;
        case nb::exception_type::buffer_error:
            type = PyExc_BufferError;
            break;
        case nb::exception_type::import_error:
            type = PyExc_ImportError;
            break;
        case nb::exception_type::attribute_error:
            type = PyExc_AttributeError;
            break;
        default:
            break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

/// The exec step of a module: nanobind's registration, the module's function type, then `body`.
/// Returns 0, or -1 with the error set as raised.
inline int run_setup(PyObject *m, void (*body)(nb::module_), Site site) noexcept {
    if (!nb::register_module(m))
        return -1;
#ifdef NDEBUG
    // No report of objects still alive when the interpreter ends: after an interrupt, threads
    // and tracebacks may still hold some, which is expected and no leak.
    nb::set_leak_warnings(false);
#endif
    try {
        auto *state = static_cast<ModuleState *>(PyModule_GetState(m));
        state->function_type = new_function_type(m);
        if (state->function_type == nullptr)
            return -1;
        body(nb::borrow<nb::module_>(m));
        return 0;
    } catch (...) {
        raise_current_exception();
    }
    add_traceback(site.file, "<module>", site.line);
    return -1;
}

inline int module_traverse(PyObject *m, visitproc visit, void *arg) {
    auto *state = static_cast<ModuleState *>(PyModule_GetState(m));
    if (state != nullptr)
        Py_VISIT(state->function_type);
    return 0;
}

inline int module_clear(PyObject *m) {
    auto *state = static_cast<ModuleState *>(PyModule_GetState(m));
    if (state != nullptr)
        Py_CLEAR(state->function_type);
    return 0;
}

inline void module_free(void *m) { module_clear(static_cast<PyObject *>(m)); }

} // namespace norvox

#if defined(Py_mod_gil)
#define NORVOX_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define NORVOX_GIL_SLOT
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define NORVOX_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define NORVOX_INTERPRETERS_SLOT
#endif

/// Define the extension module `name`; the block that follows is its set-up, given the module
/// as `variable`. In place of nanobind's NB_MODULE, which wraps set-up errors in ImportError.
#define NORVOX_MODULE(name, variable)                                                                                  \
    static void norvox_setup_##name(::nanobind::module_);                                                              \
    static int norvox_exec_##name(PyObject *m) { return ::norvox::run_setup(m, &norvox_setup_##name, NORVOX_HERE); }   \
    static PyModuleDef_Slot norvox_slots_##name[] = {{Py_mod_exec, reinterpret_cast<void *>(norvox_exec_##name)},      \
                                                     NORVOX_GIL_SLOT NORVOX_INTERPRETERS_SLOT{0, nullptr}};            \
    static PyModuleDef norvox_def_##name = {PyModuleDef_HEAD_INIT,                                                     \
                                            #name,                                                                     \
                                            nullptr,                                                                   \
                                            sizeof(::norvox::ModuleState),                                             \
                                            nullptr,                                                                   \
                                            norvox_slots_##name,                                                       \
                                            ::norvox::module_traverse,                                                 \
                                            ::norvox::module_clear,                                                    \
                                            ::norvox::module_free};                                                    \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) { return PyModuleDef_Init(&norvox_def_##name); }                \
    void norvox_setup_##name(::nanobind::module_ variable)
