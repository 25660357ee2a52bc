// norvox.drav.drav_locator: DRAVLocator, finding a meter's DRAV file for a day in a folder and
// the downloaded files not yet ingested.
//
// A pathlib.Path folder is listed natively (norvox/dir_listing.h); any other folder object
// is walked through its own iterdir(), is_file() and name.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "norvox/native/dir_listing.h"
#include "norvox/python/args.h"
#include "norvox/python/module.h"
#include "norvox/python/runtime.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::check_exact;

namespace {

/// The class that holds the static operations; it has no instances.
struct DravLocator {};

/// A kept entry of a listing: its name and its path.
struct Found {
    nb::object name;
    nb::object path;
};

/// The files of `directory`, in listing order, whose name passes `keep` (called with the name
/// as text); a Path is listed natively, another folder object through its iterdir().
template <typename Keep>
std::vector<Found> files_of(nb::handle directory, Keep keep, std::string_view name_prefix = {}) {
    std::vector<Found> found;
    nb::object path_type = nb::module_::import_("pathlib").attr("Path");
    if (!nb::isinstance(directory, path_type)) {
        for (nb::handle entry : directory.attr("iterdir")()) {
            int is_file = PyObject_IsTrue(entry.attr("is_file")().ptr());
            if (is_file < 0)
                throw nb::python_error();
            if (!is_file)
                continue;
            nb::object name = entry.attr("name");
            if (keep(name))
                found.push_back(Found{name, nb::borrow(entry)});
        }
        return found;
    }
    PyObject *raw = nullptr;
    nb::object fspath = nb::module_::import_("os").attr("fspath")(directory);
    if (!PyUnicode_FSConverter(fspath.ptr(), &raw))
        throw nb::python_error();
    std::string path(PyBytes_AS_STRING(raw), size_t(PyBytes_GET_SIZE(raw)));
    Py_DECREF(raw);
    std::vector<norvox::DirEntry> entries;
    int err;
    {
        nb::gil_scoped_release unlocked;
        err = norvox::list_folder(path.c_str(), entries, norvox::check_signals_unlocked);
    }
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, directory.ptr());
        throw nb::python_error();
    }
    for (const norvox::DirEntry &e : entries) {
        // Names that do not begin with the prefix's bytes cannot begin with the prefix.
        if (!e.is_file || std::string_view(e.name).substr(0, name_prefix.size()) != name_prefix)
            continue;
        nb::object name = nb::steal(PyUnicode_DecodeFSDefaultAndSize(e.name.data(), Py_ssize_t(e.name.size())));
        if (!name.is_valid())
            throw nb::python_error();
        if (!keep(name))
            continue;
        nb::object entry_path = nb::steal(PyNumber_TrueDivide(directory.ptr(), name.ptr()));
        if (!entry_path.is_valid())
            throw nb::python_error();
        found.push_back(Found{std::move(name), std::move(entry_path)});
    }
    return found;
}

/// The file-system bytes of a text, or nothing when it has none (then no name holds it).
bool fs_bytes(nb::handle text, std::string &out) {
    PyObject *raw = PyUnicode_EncodeFSDefault(text.ptr());
    if (raw == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(PyBytes_AS_STRING(raw), size_t(PyBytes_GET_SIZE(raw)));
    Py_DECREF(raw);
    return true;
}

NORVOX_SITE(find_internal);
nb::object find_internal(nb::handle directory, nb::handle filename_prefix, nb::handle filename_day,
                         nb::handle element_marker) {
    check_exact(filename_prefix, &PyUnicode_Type, "filename_prefix");
    nb::module_ names = nb::module_::import_("norvox.drav.drav_filename");
    nb::object model = names.attr("DRAVFilename");
    nb::object result_type = nb::module_::import_("norvox.drav.drav_locator_result").attr("DRAVLocatorResult");
    nb::object filename = element_marker.is_none() ? model(filename_prefix, filename_day)
                                                   : model(filename_prefix, filename_day, element_marker);
    nb::object prefix = filename.attr("serial_element_day_prefix")();
    if (!PyUnicode_Check(prefix.ptr()))
        throw nb::type_error("serial_element_day_prefix() must return str");
    // A prefix without file-system bytes begins no name, but the folder is still listed:
    // its listing errors reach the caller all the same.
    std::string prefix_bytes;
    bool encodable = fs_bytes(prefix, prefix_bytes);
    std::vector<Found> found = files_of(
        directory,
        [&](nb::handle name) {
            if (!encodable)
                return false;
            int r = PyUnicode_Tailmatch(name.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
            if (r < 0)
                throw nb::python_error();
            return r == 1;
        },
        prefix_bytes);
    if (found.empty())
        return result_type(false, false, nb::none());
    nb::object parsed = model.attr("from_filename")(found.front().name);
    return result_type(parsed.attr("is_ingested_corvane")(), parsed.attr("is_ingested_timescale")(),
                       found.front().path);
}

NORVOX_SITE(find_downloaded);
nb::list find_downloaded(nb::handle directory) {
    nb::object pattern =
        nb::module_::import_("norvox.drav.drav_filename").attr("DRAVFilename").attr("DOWNLOADED_FILENAME_PATTERN");
    nb::object fullmatch = pattern.attr("fullmatch");
    std::vector<Found> found = files_of(directory, [&](nb::handle name) { return !fullmatch(name).is_none(); });
    std::vector<size_t> order(found.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        int r = PyUnicode_Compare(found[a].name.ptr(), found[b].name.ptr());
        if (r == -1 && PyErr_Occurred())
            throw nb::python_error();
        return r < 0;
    });
    nb::list paths;
    for (size_t i : order)
        paths.append(found[i].path);
    return paths;
}

} // namespace

NORVOX_MODULE(drav_locator, m) {
    nb::module_::import_("norvox.drav.drav_filename");
    nb::module_::import_("norvox.drav.drav_locator_result");

    nb::class_<DravLocator> cls(m, "DRAVLocator",
                                "Finds DRAV profile-log files in one folder (static operations "
                                "only).");
    // find and find_with_element go through the class's own _find_internal.
    nb::handle locator = cls;
    norvox::def_static(
        cls, m, "find", NORVOX_HERE,
        [locator](nb::handle directory, nb::handle filename_prefix, nb::handle filename_day) {
            check_exact(filename_prefix, &PyUnicode_Type, "filename_prefix");
            return locator.attr("_find_internal")(directory, filename_prefix, filename_day, nb::none());
        },
        "directory"_a.none(), "filename_prefix"_a.none(), "filename_day"_a.none(),
        nb::sig("def find(directory: pathlib.Path, filename_prefix: str, filename_day: datetime.date) "
                "-> norvox.drav.drav_locator_result.DRAVLocatorResult"),
        "The meter's file for the day (no element named), with its ingestion flags.");
    norvox::def_static(
        cls, m, "find_with_element", NORVOX_HERE,
        [locator](nb::handle directory, nb::handle filename_prefix, nb::handle filename_day,
                  nb::handle element_marker) {
            check_exact(filename_prefix, &PyUnicode_Type, "filename_prefix");
            return locator.attr("_find_internal")(directory, filename_prefix, filename_day, element_marker);
        },
        "directory"_a.none(), "filename_prefix"_a.none(), "filename_day"_a.none(), "element_marker"_a.none(),
        nb::sig("def find_with_element(directory: pathlib.Path, filename_prefix: str, filename_day: datetime.date, "
                "element_marker: norvox.drav.drav_filename.ElementMarker) "
                "-> norvox.drav.drav_locator_result.DRAVLocatorResult"),
        "The meter's file for the day and element, with its ingestion flags.");
    norvox::def_static(
        cls, m, "_find_internal", find_internal_site, &find_internal, "directory"_a.none(), "filename_prefix"_a.none(),
        "filename_day"_a.none(), "element_marker"_a.none(),
        nb::sig("def _find_internal(directory: pathlib.Path, filename_prefix: str, "
                "filename_day: datetime.date, element_marker: norvox.drav.drav_filename.ElementMarker | None) "
                "-> norvox.drav.drav_locator_result.DRAVLocatorResult"),
        "The look-up shared by find and find_with_element.");
    norvox::def_static(cls, m, "find_downloaded", find_downloaded_site, &find_downloaded, "directory"_a.none(),
                       nb::sig("def find_downloaded(directory: pathlib.Path) -> list[pathlib.Path]"),
                       "The downloaded, not yet ingested DRAV files of the folder, in name order.");
}
