// The Python-facing functions of the modules: the documentation text exactly as given, a
// signature that inspect and help read, and a traceback entry naming the C++ source file, the
// function and its line whenever an error leaves the function.
//
// nanobind does the argument conversion and the call; a small callable of ours wraps each
// nanobind function, because nanobind puts the rendered signature in front of every `__doc__`
// and no Python frame ever sees an error raised in C++.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include <frameobject.h>
#include <nanobind/nanobind.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace norvox {

namespace nb = nanobind;

/// Where a C++ function that Python calls is defined; its traceback entries name this place.
struct Site {
    const char *file;
    int line;
    const char *function; ///< the C++ function's name; null for a lambda
};

} // namespace norvox

/// The definition site `<fn>_site` of the function whose signature follows on the next line.
#define NORVOX_SITE(fn)                                                                                                \
    constexpr ::norvox::Site fn##_site { __FILE__, __LINE__ + 1, #fn }
/// This line, for a function defined where it is bound (a lambda).
#define NORVOX_HERE (::norvox::Site{__FILE__, __LINE__, nullptr})

namespace norvox {

/// The error being raised, taken out of the error indicator (which is then clear).
inline PyObject *fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

/// Raise `error` again (a stolen reference), with the traceback it carries.
inline void restore_error(PyObject *error) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(error))), error, PyException_GetTraceback(error));
#endif
}

/// Add the entry `File "<file>", line <line>, in <name>` on top of the traceback of the error
/// being raised, as compiled extensions do for their own functions (a null name, a lambda's
/// site, reads "<lambda>"). The error stays set; when the entry cannot be made, the error is left
/// as it was.
inline void add_traceback(const char *file, const char *name, int line) noexcept {
    PyObject *error = fetch_error();
    if (error == nullptr)
        return;
    PyObject *globals = PyDict_New();
    PyCodeObject *code = globals ? PyCode_NewEmpty(file, name != nullptr ? name : "<lambda>", line) : nullptr;
    PyFrameObject *frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    Py_XDECREF(globals);
    if (frame == nullptr)
        PyErr_Clear();
    restore_error(error);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

/// The error of a caught Python exception, with an entry for the catching function (defined at
/// `site`) on its traceback, for a guarded block that handles ordinary errors (kinds of
/// Exception); SystemExit, interrupts and other BaseException kinds are raised again. Call it
/// only inside the catch clause.
inline nb::object caught(nb::python_error &e, Site site) {
    if (!e.matches(PyExc_Exception))
        throw;
    e.restore();
    add_traceback(site.file, site.function, site.line);
    return nb::steal(fetch_error());
}

/// The parameter list of a rendered nanobind signature ("name(a: T, b: U = 1) -> R") without its
/// annotations and result ("(a, b=1)"), the form of `__text_signature__`. Empty when the text
/// holds no parameter list.
inline std::string text_signature(std::string_view rendered) {
    const std::size_t open = rendered.find('(');
    if (open == std::string_view::npos)
        return {};
    std::string out = "(";
    bool first = true;
    auto emit = [&](std::string_view param, std::size_t colon, std::size_t equals) {
        auto trim = [](std::string_view s) {
            const std::size_t b = s.find_first_not_of(' ');
            return b == std::string_view::npos ? std::string_view() : s.substr(b, s.find_last_not_of(' ') - b + 1);
        };
        std::string_view name = trim(param.substr(0, std::min(colon, equals)));
        if (name.empty())
            return;
        out += first ? "" : ", ";
        first = false;
        out += name;
        if (equals != std::string_view::npos) {
            out += '=';
            out += trim(param.substr(equals + 1));
        }
    };
    // Scan at bracket depth 0 outside quotes: where the parameter starts, and its first ':'
    // (annotation) and '=' (default).
    int depth = 0;
    char quote = 0;
    std::size_t start = open + 1, colon = std::string_view::npos, equals = std::string_view::npos;
    for (std::size_t i = start; i < rendered.size(); ++i) {
        const char c = rendered[i];
        if (quote != 0) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
            --depth;
        } else if (depth == 0 && (c == ',' || c == ')')) {
            const std::string_view param = rendered.substr(start, i - start);
            emit(param, colon == std::string_view::npos ? colon : colon - start,
                 equals == std::string_view::npos ? equals : equals - start);
            if (c == ')')
                return out + ")";
            start = i + 1;
            colon = equals = std::string_view::npos;
        } else if (depth == 0 && c == ':' && colon == std::string_view::npos && equals == std::string_view::npos) {
            colon = i;
        } else if (depth == 0 && c == '=' && equals == std::string_view::npos) {
            equals = i;
        }
    }
    return {};
}

/// A Python-facing function of a module: calls its nanobind function and adds the traceback
/// entry when that raises; binds its first argument when looked up on an instance (`method`).
/// All fields are set once, when the module sets itself up (`qualname` when its class is made).
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *impl;     ///< the nanobind function doing the work
    PyObject *name;     ///< `__name__`
    PyObject *qualname; ///< `__qualname__`
    /// `__dict__`: `__module__` (the dotted module name) and `__doc__` (the documentation text,
    /// or None) live here, beside markers such as `__override__`, so that the type's own
    /// `__module__` and `__doc__` stay those of a type.
    PyObject *dict;
    Site site;
    bool method;
};

namespace detail {

inline Function *as_function(PyObject *self) { return reinterpret_cast<Function *>(self); }

inline PyObject *function_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    Function *f = as_function(self);
    PyObject *result = PyObject_Vectorcall(f->impl, args, nargsf, kwnames);
    if (result == nullptr)
        add_traceback(f->site.file, PyUnicode_AsUTF8(f->name), f->site.line);
    return result;
}

inline PyObject *function_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!as_function(self)->method || instance == nullptr || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

inline PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->qualname);
}

inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->impl);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->dict);
    return 0;
}

inline int function_clear(PyObject *self) {
    Function *f = as_function(self);
    Py_CLEAR(f->impl);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->dict);
    return 0;
}

inline void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
inline PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }

/// `__text_signature__`, made from the nanobind function's rendered signature when asked for.
inline PyObject *get_text_signature(PyObject *self, void *) {
    PyObject *rendered = PyObject_GetAttrString(as_function(self)->impl, "__doc__");
    if (rendered == nullptr)
        return nullptr;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(rendered) ? PyUnicode_AsUTF8AndSize(rendered, &size) : nullptr;
    if (text == nullptr) {
        Py_DECREF(rendered);
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    std::string_view first_line(text, static_cast<std::size_t>(size));
    std::string signature = norvox::text_signature(first_line.substr(0, first_line.find('\n')));
    Py_DECREF(rendered);
    if (signature.empty())
        Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(signature.data(), static_cast<Py_ssize_t>(signature.size()));
}

/// The nanobind function underneath, for the stub generator, which reads its signatures.
inline PyObject *get_impl(PyObject *self, void *) { return Py_NewRef(as_function(self)->impl); }

/// `__set_name__`: a method takes its class's qualified name when the class is made.
inline PyObject *function_set_name(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "__set_name__ expects the owner and the name");
        return nullptr;
    }
    PyObject *owner = PyObject_GetAttrString(args[0], "__qualname__");
    if (owner == nullptr)
        return nullptr;
    PyObject *qualname = PyUnicode_FromFormat("%U.%U", owner, args[1]);
    Py_DECREF(owner);
    if (qualname == nullptr)
        return nullptr;
    Py_SETREF(as_function(self)->qualname, qualname);
    Py_RETURN_NONE;
}

inline const PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__nb_function__", get_impl, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline const PyMethodDef function_methods[] = {
    {"__set_name__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_set_name)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX >= 0x030C0000
inline const PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#else
inline const PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#endif

inline const PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_getset, const_cast<PyGetSetDef *>(function_getset)},
    {Py_tp_methods, const_cast<PyMethodDef *>(function_methods)},
    {Py_tp_members, const_cast<PyMemberDef *>(function_members)},
    {0, nullptr},
};

} // namespace detail

/// The type of a module's functions, made once per module at its set-up.
inline PyObject *new_function_type(PyObject *module) {
    PyType_Spec type_spec{"norvox.function", static_cast<int>(sizeof(Function)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                              Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          const_cast<PyType_Slot *>(detail::function_slots)};
    return PyType_FromModuleAndSpec(module, &type_spec, nullptr);
}

/// What a module keeps of its own beyond its attributes: the type of its functions.
struct ModuleState {
    PyObject *function_type;
};

/// The function type that the set-up of module `m` made.
inline PyTypeObject *function_type(nb::handle m) {
    auto *state = static_cast<ModuleState *>(PyModule_GetState(m.ptr()));
    if (state == nullptr || state->function_type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "module has no function type");
        throw nb::python_error();
    }
    return reinterpret_cast<PyTypeObject *>(state->function_type);
}

/// Wrap the nanobind function `impl` as the function `name` of module `m`, defined at `site`.
/// Its `__doc__` is the documentation text given to nanobind, exactly; `method` makes it bind
/// an instance as its first argument. Its qualified name is `qualname`, or the name; a method
/// made for a class namespace takes its class's when the class is made.
inline nb::object wrap_function(nb::handle m, nb::object impl, const char *name, Site site, bool method,
                                const char *qualname = nullptr) {
    nb::object doc = impl.attr("__nb_signature__")[0][1];
    PyTypeObject *type = function_type(m);
    Function *f = PyObject_GC_New(Function, type);
    if (f == nullptr)
        throw nb::python_error();
    f->vectorcall = detail::function_call;
    f->impl = impl.release().ptr();
    f->name = PyUnicode_FromString(name);
    f->qualname = PyUnicode_FromString(qualname != nullptr ? qualname : name);
    f->dict = PyDict_New();
    f->site = site;
    f->method = method;
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    PyObject_GC_Track(f);
    if (f->name == nullptr || f->qualname == nullptr || f->dict == nullptr)
        throw nb::python_error();
    nb::handle dict(f->dict);
    dict["__module__"] = nb::getattr(m, "__name__");
    dict["__doc__"] = doc;
    return result;
}

/// `m.name`: the module function `fn`, defined at `site`; `extra` are nanobind's annotations
/// (arguments, signature, documentation text).
template <typename Func, typename... Extra>
void def(nb::module_ &m, const char *name, Site site, Func &&fn, const Extra &...extra) {
    nb::object impl = nb::cpp_function(std::forward<Func>(fn), nb::name(name), extra...);
    m.attr(name) = wrap_function(m, std::move(impl), name, site, false);
}

/// Set `cls.name` to a wrapper of `impl` that the class already exists for (so no
/// `__set_name__` names it): its qualified name is the class's, a dot and `name`.
inline void set_class_function(nb::handle cls, nb::module_ &m, const char *name, Site site, nb::object impl,
                               bool method) {
    nb::str qualname = nb::str("{}.{}").format(cls.attr("__qualname__"), name);
    nb::setattr(cls, name, wrap_function(m, std::move(impl), name, site, method, qualname.c_str()));
}

/// The static operation `cls.name` of a class of module `m`.
template <typename Func, typename... Extra>
void def_static(nb::handle cls, nb::module_ &m, const char *name, Site site, Func &&fn, const Extra &...extra) {
    set_class_function(cls, m, name, site, nb::cpp_function(std::forward<Func>(fn), nb::name(name), extra...), false);
}

/// Replace the nanobind method `cls.name` of a nanobind class of module `m` by a wrapper of it,
/// defined at `site`.
inline void wrap_method(nb::handle cls, nb::module_ &m, const char *name, Site site) {
    set_class_function(cls, m, name, site, cls.attr("__dict__")[name], true);
}

/// Put `fn` into the class namespace `ns` as the method `name`. Python calls it with the
/// instance and the method's arguments; `fn` gets the module `m` first, then those.
/// `extra` are further nanobind annotations (argument names and defaults, documentation).
template <typename R, typename... Args, typename... Extra>
void add_method(nb::dict &ns, nb::module_ m, const char *name, Site site, R (*fn)(nb::module_, nb::handle, Args...),
                const Extra &...extra) {
    nb::object impl = nb::cpp_function([m, fn](nb::handle self, Args... args) -> R { return fn(m, self, args...); },
                                       nb::is_method(), nb::name(name), extra...);
    ns[name] = wrap_function(m, std::move(impl), name, site, true);
}

/// Put the lambda or function object `fn` (taking the instance first) into the class
/// namespace `ns` as the method `name`, defined at `site`.
template <typename Func, typename... Extra>
void add_callable_method(nb::dict &ns, nb::module_ m, const char *name, Site site, Func &&fn, const Extra &...extra) {
    nb::object impl = nb::cpp_function(std::forward<Func>(fn), nb::is_method(), nb::name(name), extra...);
    ns[name] = wrap_function(m, std::move(impl), name, site, true);
}

} // namespace norvox
