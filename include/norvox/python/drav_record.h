// The DRAV CSV record, declared once: norvox.drav.drav_csv_record registers it as
// DRAVCSVRecord, norvox.drav.drav_csv makes and reads it natively. Also the rendering of a
// record's timestamp, which the record's own row text and the file writer share.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// datetime.h defines a static API pointer that this code never uses: the API is fetched
// once at module set-up and handed to the functions that need it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include "norvox/native/drav_text.h"

namespace norvox::drav {

namespace nb = nanobind;

/// One row of a DRAV CSV file: the start of a profile interval with its two values. The
/// Python object of the class DRAVCSVRecord, a plain heap type: instances are made in hot
/// loops, and a binding library's per-instance registry would cost as much as the parse.
struct Record {
    PyObject_HEAD
    PyObject *timestamp;    ///< interval start, stored as given (normally a date-time)
    PyObject *import_value; ///< float or None
    PyObject *export_value; ///< float or None
};

/// The record class constants.
inline constexpr const char *na_value = "NA";

/// The interpreter's date-time C API.
inline const PyDateTime_CAPI *import_datetime_api() {
    auto *api = static_cast<const PyDateTime_CAPI *>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (api == nullptr)
        throw nb::python_error();
    return api;
}

/// `value` as a record value: None and floats as they are, integers, booleans and other
/// numbers through float() (whose errors propagate), anything else refused with TypeError.
inline nb::object record_value(nb::handle value, const char *name) {
    PyObject *v = value.ptr();
    if (v == Py_None || PyFloat_Check(v))
        return nb::borrow(value);
    bool number = PyLong_Check(v);
    if (!number && !PyUnicode_Check(v) && !PyBytes_Check(v)) {
        nb::object number_type = nb::module_::import_("numbers").attr("Number");
        int r = PyObject_IsInstance(v, number_type.ptr());
        if (r < 0)
            throw nb::python_error();
        number = r == 1;
    }
    if (!number) {
        PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected float, got %s)", name,
                     Py_TYPE(v)->tp_name);
        throw nb::python_error();
    }
    PyObject *f = PyNumber_Float(v);
    if (f == nullptr)
        throw nb::python_error();
    return nb::steal(f);
}

/// Whether a record holding `field` must be known to the cycle collector: only objects of
/// collectable types can close a reference cycle through it. Records of date-times and
/// floats stay out of the collector's lists, as the interpreter keeps atomic tuples out.
inline bool may_hold_cycle(PyObject *field) { return field != nullptr && PyObject_IS_GC(field); }

/// Starts tracking `record` once one of its fields may hold a cycle.
inline void track_if_needed(Record *r) {
    if ((may_hold_cycle(r->timestamp) || may_hold_cycle(r->import_value) || may_hold_cycle(r->export_value)) &&
        !PyObject_GC_IsTracked((PyObject *) r))
        PyObject_GC_Track((PyObject *) r);
}

/// A new record of the class `type` (DRAVCSVRecord) holding the given values unconverted.
inline nb::object make_record(nb::handle type, nb::object timestamp, nb::object import_value, nb::object export_value) {
    Record *r = PyObject_GC_New(Record, (PyTypeObject *) type.ptr());
    if (r == nullptr)
        throw nb::python_error();
    r->timestamp = timestamp.release().ptr();
    r->import_value = import_value.release().ptr();
    r->export_value = export_value.release().ptr();
    track_if_needed(r);
    return nb::steal((PyObject *) r);
}

/// True when `obj` is an instance of the record class `type` or of a subclass.
inline bool is_record(nb::handle obj, nb::handle type) {
    PyTypeObject *t = Py_TYPE(obj.ptr());
    return t == (PyTypeObject *) type.ptr() || PyType_IsSubtype(t, (PyTypeObject *) type.ptr());
}

/// A record's three fields, as new references.
struct Fields {
    nb::object timestamp, import_value, export_value;
};

/// A copy of a record's fields, taken under the record's lock where threads run freely.
inline Fields snapshot(nb::handle record) {
    nb::ft_object_guard guard(record);
    const Record *r = (const Record *) record.ptr();
    return Fields{nb::borrow(r->timestamp), nb::borrow(r->import_value), nb::borrow(r->export_value)};
}

/// Offset texts of the fixed-offset time zones met so far in one call, by time-zone object.
class OffsetTexts {
public:
    /// The "%z" text of `tz`, a `datetime.timezone`.
    const std::string &of(nb::handle tz) {
        for (auto &[zone, text] : entries_)
            if (zone.ptr() == tz.ptr())
                return text;
        nb::object delta = tz.attr("utcoffset")(nb::none());
        std::string text;
        append_offset(text, delta_us(delta));
        entries_.emplace_back(nb::borrow(tz), std::move(text));
        return entries_.back().second;
    }

    /// Microseconds of a `datetime.timedelta`.
    static std::int64_t delta_us(nb::handle delta) {
        PyObject *d = delta.ptr();
        return (std::int64_t(PyDateTime_DELTA_GET_DAYS(d)) * 86400 + PyDateTime_DELTA_GET_SECONDS(d)) * 1000000 +
               PyDateTime_DELTA_GET_MICROSECONDS(d);
    }

private:
    std::vector<std::pair<nb::object, std::string>> entries_;
};

/// Appends `ts` as "%Y-%m-%d %H:%M:%S%z" renders it (the year always four digits) when it is
/// exactly a `datetime.datetime`; returns false, appending nothing, for any other object,
/// which the caller renders through its own `strftime`.
inline bool append_timestamp(std::string &out, nb::handle ts, const PyDateTime_CAPI *api, OffsetTexts &offsets) {
    PyObject *dt = ts.ptr();
    if (Py_TYPE(dt) != api->DateTimeType)
        return false;
    PyObject *tz = PyDateTime_DATE_GET_TZINFO(dt);
    std::string offset;
    if (tz != Py_None) {
        if (Py_TYPE(tz) == Py_TYPE(api->TimeZone_UTC)) {
            offset = offsets.of(tz);
        } else {
            // Any other tzinfo: its offset may depend on the date-time itself.
            nb::object delta = ts.attr("utcoffset")();
            if (!delta.is_none()) {
                if (Py_TYPE(delta.ptr()) != api->DeltaType && !PyType_IsSubtype(Py_TYPE(delta.ptr()), api->DeltaType)) {
                    PyErr_SetString(PyExc_TypeError, "utcoffset() must return a timedelta or None");
                    throw nb::python_error();
                }
                append_offset(offset, OffsetTexts::delta_us(delta));
            }
        }
    }
    append_row_time(out, PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt),
                    PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt), PyDateTime_DATE_GET_SECOND(dt));
    out += offset;
    return true;
}

/// Appends `value` truncated toward zero in decimal digits, as `str(int(value))` writes it;
/// a value without a whole-number form raises int()'s own error.
inline void append_whole_number(std::string &out, nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()) && append_truncated(out, PyFloat_AS_DOUBLE(value.ptr())))
        return;
    PyObject *whole = PyNumber_Long(value.ptr());
    if (whole == nullptr)
        throw nb::python_error();
    nb::object text = nb::steal(PyObject_Str(whole));
    Py_DECREF(whole);
    if (!text.is_valid())
        throw nb::python_error();
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr)
        throw nb::python_error();
    out.append(data, size_t(size));
}

} // namespace norvox::drav
