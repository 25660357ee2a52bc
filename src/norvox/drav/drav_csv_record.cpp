// norvox.drav.drav_csv_record: DRAVCSVRecord, one row of a DRAV CSV profile-log file.
//
// The record's object layout is declared in norvox/drav_record.h; this module builds the
// class from it. drav_csv makes and reads records natively through the same declaration.
#include <nanobind/nanobind.h>

#include <string>

#include "norvox/python/drav_record.h"
#include "norvox/python/module.h"

namespace nb = nanobind;
using norvox::drav::Record;

namespace {

/// Runs `body`, turning a C++-side error into the interpreter's error state, with a traceback
/// entry for the record operation `name`, defined at `site`.
template <typename F>
auto guarded(F body, decltype(body()) failed, norvox::Site site, const char *name) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        norvox::raise_current_exception();
    }
    norvox::add_traceback(site.file, name, site.line);
    return failed;
}

void record_dealloc(PyObject *self);

PyObject *record_new(PyTypeObject *type, PyObject *, PyObject *) {
    Record *r = (Record *) type->tp_alloc(type, 0);
    if (r == nullptr)
        return nullptr;
    r->timestamp = Py_NewRef(Py_None);
    r->import_value = Py_NewRef(Py_None);
    r->export_value = Py_NewRef(Py_None);
    return (PyObject *) r;
}

NORVOX_SITE(record_init);
int record_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *const keywords[] = {"timestamp", "import_value", "export_value", nullptr};
    PyObject *timestamp, *import_value, *export_value;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:DRAVCSVRecord", (char **) keywords, &timestamp, &import_value,
                                     &export_value))
        return -1;
    return guarded(
        [&] {
            nb::object imp = norvox::drav::record_value(import_value, "import_value");
            nb::object exp = norvox::drav::record_value(export_value, "export_value");
            Record *r = (Record *) self;
            nb::object old_ts, old_imp, old_exp;
            {
                nb::ft_object_guard guard(self);
                old_ts = nb::steal(r->timestamp);
                old_imp = nb::steal(r->import_value);
                old_exp = nb::steal(r->export_value);
                r->timestamp = Py_NewRef(timestamp);
                r->import_value = imp.release().ptr();
                r->export_value = exp.release().ptr();
                // Exact records of atomic values stay out of the cycle collector.
                if (Py_TYPE(self)->tp_dealloc == record_dealloc && PyObject_GC_IsTracked(self))
                    PyObject_GC_UnTrack(self);
                norvox::drav::track_if_needed(r);
            }
            return 0;
        },
        -1, record_init_site, "__init__");
}

void record_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Record *r = (Record *) self;
    Py_CLEAR(r->timestamp);
    Py_CLEAR(r->import_value);
    Py_CLEAR(r->export_value);
    type->tp_free(self);
    Py_DECREF(type);
}

int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Record *r = (Record *) self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->timestamp);
    Py_VISIT(r->import_value);
    Py_VISIT(r->export_value);
    return 0;
}

int record_clear(PyObject *self) {
    Record *r = (Record *) self;
    // None rather than null: the fields are read without a check everywhere.
    Py_SETREF(r->timestamp, Py_NewRef(Py_None));
    Py_SETREF(r->import_value, Py_NewRef(Py_None));
    Py_SETREF(r->export_value, Py_NewRef(Py_None));
    return 0;
}

PyObject *Record::*const fields[] = {&Record::timestamp, &Record::import_value, &Record::export_value};
const char *const field_names[] = {"timestamp", "import_value", "export_value"};

PyObject *get_field(PyObject *self, void *closure) {
    nb::ft_object_guard guard(self);
    return Py_NewRef(((Record *) self)->*fields[(intptr_t) closure]);
}

NORVOX_SITE(set_field);
int set_field(PyObject *self, PyObject *value, void *closure) {
    intptr_t which = (intptr_t) closure;
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s'", field_names[which]);
        return -1;
    }
    return guarded(
        [&] {
            nb::object stored = which == 0 ? nb::borrow(value) : norvox::drav::record_value(value, field_names[which]);
            nb::object old;
            {
                nb::ft_object_guard guard(self);
                PyObject *&slot = ((Record *) self)->*fields[which];
                old = nb::steal(slot);
                slot = stored.release().ptr();
                norvox::drav::track_if_needed((Record *) self);
            }
            return 0;
        },
        -1, set_field_site, field_names[which]);
}

const PyGetSetDef record_getset[] = {
    {"timestamp", get_field, set_field, "Start of the profile interval.", (void *) 0},
    {"import_value", get_field, set_field, "Import value of the interval: a float or None.", (void *) 1},
    {"export_value", get_field, set_field, "Export value of the interval: a float or None.", (void *) 2},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/// A value's text in the record's row: the class's NA_VALUE when missing, else its whole part.
nb::object value_text(nb::handle value, nb::handle na) {
    if (value.is_none())
        return nb::borrow(na);
    std::string digits;
    norvox::drav::append_whole_number(digits, value);
    return nb::str(digits.data(), digits.size());
}

NORVOX_SITE(to_csv_line);
PyObject *to_csv_line(PyObject *self, PyObject *) {
    return guarded(
        [&]() -> PyObject * {
            auto r = norvox::drav::snapshot(self);
            nb::handle cls = nb::handle(self).type();
            nb::object format = cls.attr("TIMESTAMP_FORMAT");
            nb::object time;
            std::string text;
            norvox::drav::OffsetTexts offsets;
            const PyDateTime_CAPI *api = norvox::drav::import_datetime_api();
            if (format.equal(nb::str(norvox::drav::timestamp_format.data())) &&
                norvox::drav::append_timestamp(text, r.timestamp, api, offsets))
                time = nb::str(text.data(), text.size());
            else
                time = r.timestamp.attr("strftime")(format);
            nb::object na = cls.attr("NA_VALUE");
            nb::str comma(",");
            nb::list parts;
            parts.append(time);
            parts.append(comma);
            parts.append(value_text(r.import_value, na));
            parts.append(comma);
            parts.append(value_text(r.export_value, na));
            return PyUnicode_Join(nb::str("").ptr(), parts.ptr());
        },
        nullptr, to_csv_line_site, "to_csv_line");
}

PyObject *record_text(PyObject *self) {
    auto r = norvox::drav::snapshot(self);
    return PyUnicode_FromFormat("timestamp=%S, import_value=%S, export_value=%S", r.timestamp.ptr(),
                                r.import_value.ptr(), r.export_value.ptr());
}

PyObject *record_reduce(PyObject *self, PyObject *) {
    auto r = norvox::drav::snapshot(self);
    return Py_BuildValue("O(OOO)", Py_TYPE(self), r.timestamp.ptr(), r.import_value.ptr(), r.export_value.ptr());
}

const PyMethodDef record_methods[] = {
    {"to_csv_line", to_csv_line, METH_NOARGS,
     "to_csv_line($self, /)\n--\n\nThe record as one CSV row: the time with the class's "
     "TIMESTAMP_FORMAT, then the import and the export value truncated to whole numbers "
     "(NA_VALUE when missing), separated by commas."},
    {"__reduce__", record_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot record_slots[] = {
    {Py_tp_doc, (void *) "DRAVCSVRecord(timestamp, import_value, export_value)\n--\n\n"
                         "One row of a DRAV CSV profile-log file: the start of a profile "
                         "interval with its import and export value (each a float or None; "
                         "integers and other numbers are converted to float)."},
    {Py_tp_new, (void *) record_new},
    {Py_tp_init, (void *) record_init},
    {Py_tp_dealloc, (void *) record_dealloc},
    {Py_tp_traverse, (void *) record_traverse},
    {Py_tp_clear, (void *) record_clear},
    {Py_tp_getset, (void *) record_getset},
    {Py_tp_methods, (void *) record_methods},
    {Py_tp_str, (void *) record_text},
    {Py_tp_repr, (void *) record_text},
    {0, nullptr},
};

} // namespace

NORVOX_MODULE(drav_csv_record, m) {
    norvox::drav::import_datetime_api();

    PyType_Spec type_spec{"norvox.drav.drav_csv_record.DRAVCSVRecord", int(sizeof(Record)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          const_cast<PyType_Slot *>(record_slots)};
    nb::object cls = nb::steal(PyType_FromModuleAndSpec(m.ptr(), &type_spec, nullptr));
    if (!cls.is_valid())
        throw nb::python_error();
    cls.attr("NA_VALUE") = nb::str(norvox::drav::na_value);
    cls.attr("TIMESTAMP_FORMAT") = nb::str(norvox::drav::timestamp_format.data());
    m.attr("DRAVCSVRecord") = cls;
}
