// norvox.profile_logs.replicas.mirror_gaps: the days for which a replica folder or tree of daily
// files has no file, and the day a daily file name carries.
#include <nanobind/nanobind.h>

#include "norvox/native/replica_scan.h"
#include "norvox/python/args.h"
#include "norvox/python/module.h"
#include "norvox/python/replica_args.h"
#include "norvox/python/runtime.h"

namespace nb = nanobind;
using namespace nb::literals;
namespace daily = norvox::daily;
namespace replica = norvox::replica;

namespace {

NORVOX_SITE(extract_date_from_filename);
nb::object extract_date_from_filename(nb::handle filename) {
    norvox::check_exact(filename, &PyUnicode_Type, "filename");
    PyObject *text = filename.ptr();
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    const auto day = daily::day_of_name(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), [&](std::size_t i) {
        return static_cast<char32_t>(PyUnicode_READ(kind, data, i));
    });
    if (!day)
        return nb::none();
    return replica::date_of(daily::to_ordinal(day->year, day->month, day->day));
}

/// The expected days of a check: the day range as a list and, to match found days against it,
/// either its first ordinal (plain dates: the list holds first, first + 1, ...) or a set.
struct DayRange {
    nb::list days;
    bool plain = false;
    std::int32_t first = 0;
    nb::object expected;
};

/// start_date + 0, 1, 2, ... days, as many as the whole days from start_date to end_date plus one.
DayRange day_range(nb::handle start_date, nb::handle end_date) {
    DayRange range;
    if (replica::is_plain_date(start_date) && replica::is_plain_date(end_date)) {
        range.plain = true;
        range.first = replica::ordinal_of(start_date);
        for (std::int32_t day = range.first, last = replica::ordinal_of(end_date); day <= last; ++day)
            range.days.append(replica::date_of(day));
        return range;
    }
    // Anything else goes through the values' own arithmetic, errors and all.
    nb::object count = nb::steal(PyNumber_Subtract(end_date.ptr(), start_date.ptr()));
    if (!count.is_valid())
        throw nb::python_error();
    count = nb::steal(PyNumber_Index((count.attr("days") + nb::int_(1)).ptr()));
    if (!count.is_valid())
        throw nb::python_error();
    const Py_ssize_t n = PyLong_AsSsize_t(count.ptr());
    if (n == -1 && PyErr_Occurred())
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object step = nb::steal(PyDelta_FromDSU(static_cast<int>(i), 0, 0));
        if (!step.is_valid())
            throw nb::python_error();
        nb::object day = nb::steal(PyNumber_Add(start_date.ptr(), step.ptr()));
        if (!day.is_valid())
            throw nb::python_error();
        range.days.append(day);
    }
    range.expected = nb::steal(PySet_New(range.days.ptr()));
    if (!range.expected.is_valid())
        throw nb::python_error();
    return range;
}

/// The expected days not among `found` (ordinals, ascending, unique), ascending.
nb::list missing_days(const DayRange &range, const std::vector<std::int32_t> &found) {
    if (range.plain) {
        nb::list missing;
        for (std::size_t i : replica::missing_positions(found, range.first, nb::len(range.days)))
            missing.append(range.days[i]);
        return missing;
    }
    nb::set found_days;
    for (std::int32_t day : found)
        found_days.add(replica::date_of(day));
    nb::object rest = nb::steal(PyNumber_Subtract(range.expected.ptr(), found_days.ptr()));
    if (!rest.is_valid())
        throw nb::python_error();
    PyObject *listed = PySequence_List(rest.ptr());
    if (listed == nullptr)
        throw nb::python_error();
    nb::list missing = nb::steal<nb::list>(listed);
    if (PyList_Sort(missing.ptr()) != 0)
        throw nb::python_error();
    return missing;
}

NORVOX_SITE(generate_date_range);
nb::list generate_date_range(nb::handle start_date, nb::handle end_date) {
    return day_range(start_date, end_date).days;
}

NORVOX_SITE(check_missing_files);
nb::dict check_missing_files(nb::handle root_path, nb::handle start_date, nb::handle end_date) {
    const DayRange range = day_range(start_date, end_date);
    const replica::PathArg root = replica::path_arg(root_path);
    nb::dict result;
    if (!root.usable || !norvox::tree::exists(root.bytes) || nb::len(range.days) == 0)
        return result; // with no day expected, no folder can miss one
    std::vector<replica::DatedFolder> folders;
    {
        nb::gil_scoped_release unlocked;
        folders = replica::dated_folders(root.bytes, norvox::check_signals_unlocked);
    }
    for (const auto &folder : folders) {
        nb::list missing = missing_days(range, folder.days);
        if (nb::len(missing) != 0)
            result[replica::fs_text(folder.key)] = missing;
    }
    return result;
}

NORVOX_SITE(check_missing_files_for_folder);
nb::list check_missing_files_for_folder(nb::handle folder_path, nb::handle start_date, nb::handle end_date) {
    const DayRange range = day_range(start_date, end_date);
    const replica::PathArg folder = replica::path_arg(folder_path);
    std::vector<std::int32_t> found;
    if (folder.usable && norvox::tree::exists(folder.bytes)) {
        int error;
        {
            nb::gil_scoped_release unlocked;
            error = replica::folder_days(folder.bytes, found, norvox::check_signals_unlocked);
        }
        if (error != 0) {
            errno = error;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, folder.text.ptr());
            throw nb::python_error();
        }
    }
    return missing_days(range, found);
}

} // namespace

NORVOX_MODULE(mirror_gaps, m) {
    m.doc() = "Find the days missing from replica folders of daily files.";
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr)
        throw nb::python_error();

    m.attr("DATE_PATTERN") = nb::module_::import_("re").attr("compile")(R"(.*-(\d{8})\.csv$)");

    norvox::def(m, "extract_date_from_filename", extract_date_from_filename_site, &extract_date_from_filename,
                "filename"_a.none(), nb::sig("def extract_date_from_filename(filename: str) -> datetime.date | None"),
                "The day a daily file name carries (the eight digits of its last \"-\" + eight digits + "
                "\".csv\" ending), or None when it has none or they are no calendar day.");
    norvox::def(
        m, "_generate_date_range", generate_date_range_site, &generate_date_range, "start_date"_a.none(),
        "end_date"_a.none(),
        nb::sig("def _generate_date_range(start_date: datetime.date, end_date: datetime.date) -> list[datetime.date]"),
        "Every day from start_date to end_date, both included, ascending.");
    norvox::def(m, "check_missing_files", check_missing_files_site, &check_missing_files, "root_path"_a.none(),
                "start_date"_a.none(), "end_date"_a.none(),
                nb::sig("def check_missing_files(root_path: str | os.PathLike[str], start_date: datetime.date, "
                        "end_date: datetime.date) -> dict[str, list[datetime.date]]"),
                "For each folder of the tree at root_path whose files carry days, the days of the range "
                "it lacks, keyed by its path relative to root_path (\".\" for the root itself).");
    norvox::def(
        m, "check_missing_files_for_folder", check_missing_files_for_folder_site, &check_missing_files_for_folder,
        "folder_path"_a.none(), "start_date"_a.none(), "end_date"_a.none(),
        nb::sig("def check_missing_files_for_folder(folder_path: str | os.PathLike[str], start_date: datetime.date, "
                "end_date: datetime.date) -> list[datetime.date]"),
        "The days of the range for which the folder holds no entry named for that day.");
}
