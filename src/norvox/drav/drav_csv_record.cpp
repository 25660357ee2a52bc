// norvox.drav.drav_csv_record: DRAVCSVRecord, one row of a DRAV CSV profile-log file.
//
// The record type is declared in norvox/drav_record.h and registered here; drav_csv makes its
// records natively through that declaration.
#include <nanobind/nanobind.h>

#include "norvox/drav_record.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::drav::Record;

namespace {

// The timestamp may be any object, so a record can sit in a reference cycle.
int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    // Instances are zeroed before construction, so unset fields read as null.
    Record *r = nb::inst_ptr<Record>(self);
    Py_VISIT(r->timestamp.ptr());
    Py_VISIT(r->import_value.ptr());
    Py_VISIT(r->export_value.ptr());
    return 0;
}

int record_clear(PyObject *self) {
    Record *r = nb::inst_ptr<Record>(self);
    nb::object timestamp = std::move(r->timestamp);
    nb::object import_value = std::move(r->import_value);
    nb::object export_value = std::move(r->export_value);
    return 0;
}

const PyType_Slot record_slots[] = {
    {Py_tp_traverse, (void *) record_traverse},
    {Py_tp_clear, (void *) record_clear},
    {0, nullptr},
};

/// Getter and setter of one field; value fields convert what is assigned as the constructor does.
template <nb::object Record::*field> nb::object get_field(nb::handle self) {
    nb::ft_object_guard guard(self);
    return nb::inst_ptr<Record>(self)->*field;
}

template <nb::object Record::*field> void set_field(nb::handle self, nb::handle value) {
    nb::object stored;
    if constexpr (field == &Record::timestamp)
        stored = nb::borrow(value);
    else
        stored = norvox::drav::record_value(
            value, field == &Record::import_value ? "import_value" : "export_value");
    nb::ft_object_guard guard(self);
    std::swap(nb::inst_ptr<Record>(self)->*field, stored);
}

/// A value's text in the record's row: the class's NA_VALUE when missing, else its whole part.
nb::object value_text(nb::handle value, nb::handle na) {
    if (value.is_none()) return nb::borrow(na);
    std::string digits;
    norvox::drav::append_whole_number(digits, value);
    return nb::str(digits.data(), digits.size());
}

nb::str to_csv_line(nb::handle self, const PyDateTime_CAPI *api) {
    Record r = norvox::drav::snapshot(self);
    nb::handle cls = self.type();
    nb::object format = cls.attr("TIMESTAMP_FORMAT");
    nb::object time;
    std::string text;
    norvox::drav::OffsetTexts offsets;
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
    PyObject *line = PyUnicode_Join(nb::str("").ptr(), parts.ptr());
    if (line == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(line);
}

nb::str record_text(nb::handle self) {
    Record r = norvox::drav::snapshot(self);
    PyObject *s = PyUnicode_FromFormat("timestamp=%S, import_value=%S, export_value=%S",
                                       r.timestamp.ptr(), r.import_value.ptr(),
                                       r.export_value.ptr());
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

} // namespace

NB_MODULE(drav_csv_record, m) {
    const PyDateTime_CAPI *api = norvox::drav::import_datetime_api();

    nb::class_<Record> cls(m, "DRAVCSVRecord", nb::type_slots(record_slots),
                           "One row of a DRAV CSV profile-log file: the start of a profile "
                           "interval with its import and export value.");
    cls.def(
        "__init__",
        [](Record *self, nb::handle timestamp, nb::handle import_value, nb::handle export_value) {
            nb::object imp = norvox::drav::record_value(import_value, "import_value");
            nb::object exp = norvox::drav::record_value(export_value, "export_value");
            new (self) Record{nb::borrow(timestamp), std::move(imp), std::move(exp)};
        },
        "timestamp"_a, "import_value"_a.none(), "export_value"_a.none());
    cls.def_prop_rw("timestamp", &get_field<&Record::timestamp>, &set_field<&Record::timestamp>,
                    "Start of the profile interval.");
    cls.def_prop_rw("import_value", &get_field<&Record::import_value>,
                    &set_field<&Record::import_value>, "Import value, a float or None.");
    cls.def_prop_rw("export_value", &get_field<&Record::export_value>,
                    &set_field<&Record::export_value>, "Export value, a float or None.");
    cls.def(
        "to_csv_line", [api](nb::handle self) { return to_csv_line(self, api); },
        "The record as one CSV row: time, whole import, whole export (NA_VALUE when missing).");
    cls.def("__str__", &record_text);
    cls.def("__repr__", &record_text);

    cls.attr("NA_VALUE") = nb::str(norvox::drav::na_value);
    cls.attr("TIMESTAMP_FORMAT") = nb::str(norvox::drav::timestamp_format.data());
}
