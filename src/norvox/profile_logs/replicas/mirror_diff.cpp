// norvox.profile_logs.replicas.mirror_diff: compare two replica folders of ".csv" files by
// relative path and size.
#include <nanobind/nanobind.h>

#include <array>
#include <string>
#include <utility>

#include "norvox/native/replica_scan.h"
#include "norvox/python/module.h"
#include "norvox/python/replica_args.h"
#include "norvox/python/runtime.h"

namespace nb = nanobind;
using namespace nb::literals;
namespace replica = norvox::replica;

namespace {

// ---- records --------------------------------------------------------------------------------

/// A plain record: N fields holding any values, mutable, equal when all fields are equal.
/// The lock keeps field reads and writes whole when threads share a record.
template <std::size_t N> struct Record {
    static constexpr std::size_t size = N;
    nb::ft_mutex mutex;
    std::array<nb::object, N> fields;

    nb::object get(std::size_t i) {
        nb::ft_lock_guard guard(mutex);
        return fields[i].is_valid() ? fields[i] : nb::none();
    }
    void set(std::size_t i, nb::object value) {
        nb::object old;
        {
            nb::ft_lock_guard guard(mutex);
            old = std::exchange(fields[i], std::move(value));
        } // the old value goes outside the lock: its release may run arbitrary code
    }
    /// The field values, None for a field never set (an instance made by __new__ alone).
    std::array<nb::object, N> snapshot() {
        std::array<nb::object, N> values;
        {
            nb::ft_lock_guard guard(mutex);
            values = fields;
        }
        for (nb::object &value : values)
            if (!value.is_valid())
                value = nb::none();
        return values;
    }
};

struct FileInfo : Record<4> {
    static constexpr const char *name = "FileInfo";
    static constexpr const char *doc = "Information about a file for comparison.";
    static constexpr std::array<const char *, 4> names = {"relative_path", "absolute_path", "size", "date"};
    static constexpr std::array<const char *, 4> types = {"str", "str", "int", "datetime.date | None"};
};

struct FileDifference : Record<4> {
    static constexpr const char *name = "FileDifference";
    static constexpr const char *doc = "Represents a difference between two files.";
    static constexpr std::array<const char *, 4> names = {"relative_path", "size_1", "size_2", "size_diff"};
    static constexpr std::array<const char *, 4> types = {"str", "int", "int", "int"};
};

struct ComparisonReport : Record<6> {
    static constexpr const char *name = "ComparisonReport";
    static constexpr const char *doc = "Report containing comparison results.";
    static constexpr std::array<const char *, 6> names = {"only_in_folder_1", "only_in_folder_2", "different_files",
                                                          "identical_files",  "total_files_1",    "total_files_2"};
    static constexpr std::array<const char *, 6> types = {
        "list[FileInfo]", "list[FileInfo]", "list[FileDifference]", "int", "int", "int"};
};

template <class R> int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    for (const nb::object &field : nb::inst_ptr<R>(self)->fields)
        Py_VISIT(field.ptr());
    return 0;
}

template <class R> int record_clear(PyObject *self) {
    std::array<nb::object, R::size> old;
    if (nb::inst_ready(self)) {
        R *record = nb::inst_ptr<R>(self);
        nb::ft_lock_guard guard(record->mutex);
        old.swap(record->fields);
    }
    return 0;
}

template <class R>
PyType_Slot record_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(&record_traverse<R>)},
                              {Py_tp_clear, reinterpret_cast<void *>(&record_clear<R>)},
                              {0, nullptr}};

template <std::size_t> using any_value = nb::object;

/// A new record of the given field values, made without a Python-level call.
template <class R, class... Values> nb::object make_record(Values &&...values) {
    static_assert(sizeof...(Values) == R::size);
    nb::object self = nb::inst_alloc(nb::type<R>());
    R *record = new (nb::inst_ptr<R>(self)) R();
    record->fields = {nb::object(std::forward<Values>(values))...};
    nb::inst_mark_ready(self);
    return self;
}

/// Records of one type are equal when their fields are, compared in order as tuples compare.
NORVOX_SITE(record_eq);
template <class R> nb::object record_eq(nb::handle self, nb::handle other) {
    if (Py_TYPE(other.ptr()) != Py_TYPE(self.ptr()))
        return nb::borrow(Py_NotImplemented);
    const auto mine = nb::inst_ptr<R>(self)->snapshot(), theirs = nb::inst_ptr<R>(other)->snapshot();
    for (std::size_t i = 0; i < R::size; ++i) {
        const int equal = PyObject_RichCompareBool(mine[i].ptr(), theirs[i].ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        if (equal == 0)
            return nb::bool_(false);
    }
    return nb::bool_(true);
}

/// "Name(field=value, ...)", and "..." for a record met again inside its own fields.
NORVOX_SITE(record_repr);
template <class R> nb::str record_repr(nb::handle self) {
    const int seen = Py_ReprEnter(self.ptr());
    if (seen != 0) {
        if (seen < 0)
            throw nb::python_error();
        return nb::str("...");
    }
    struct Leave {
        PyObject *self;
        ~Leave() { Py_ReprLeave(self); }
    } leave{self.ptr()};
    const auto fields = nb::inst_ptr<R>(self)->snapshot();
    nb::str text = nb::str("{}(").format(self.type().attr("__qualname__"));
    for (std::size_t i = 0; i < R::size; ++i)
        text = nb::str("{}{}{}={!r}").format(text, i ? ", " : "", R::names[i], fields[i]);
    return nb::str("{})").format(text);
}

/// The declared signatures of a record type's constructor and field accessors. The fields
/// hold whatever they are given; the types are those the scans and comparisons store.
template <class R> struct RecordSignatures {
    std::string init = "def __init__(self";
    std::string reduce = "def __reduce__(self) -> tuple[type[typing.Self], tuple[";
    std::array<std::string, R::size> getters, setters;

    RecordSignatures() {
        for (std::size_t i = 0; i < R::size; ++i) {
            const std::string name = R::names[i], type = R::types[i];
            init += ", " + name + ": " + type;
            reduce += (i ? ", " : "") + type;
            getters[i] = "def " + name + "(self) -> " + type;
            setters[i] = "def " + name + "(self, value: " + type + ") -> None";
        }
        init += ") -> None";
        reduce += "]]";
    }
};

template <class R, std::size_t... I> void bind_record(nb::module_ &m, std::index_sequence<I...>) {
    const RecordSignatures<R> sigs;
    nb::class_<R> cls(m, R::name, R::doc, nb::type_slots(record_slots<R>));
    constexpr norvox::Site init_site = NORVOX_HERE;
    cls.def(
        "__init__",
        [](R *self, any_value<I>... values) {
            R *record = new (self) R();
            record->fields = {std::move(values)...};
        },
        nb::arg(R::names[I]).none()..., nb::sig(sigs.init.c_str()));
    (cls.def_prop_rw(
         R::names[I], [](R &r) { return r.get(I); }, [](R &r, nb::object value) { r.set(I, std::move(value)); },
         nb::for_getter(nb::sig(sigs.getters[I].c_str())), nb::for_setter(nb::arg("value").none()),
         nb::for_setter(nb::sig(sigs.setters[I].c_str()))),
     ...);
    cls.def("__eq__", &record_eq<R>, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"));
    cls.def("__repr__", &record_repr<R>);
    constexpr norvox::Site reduce_site = NORVOX_HERE;
    cls.def(
        "__reduce__",
        [](nb::handle self) { // copies and pickles rebuild it from its fields
            R *record = nb::inst_ptr<R>(self);
            return nb::make_tuple(self.type(), nb::make_tuple(record->get(I)...));
        },
        nb::sig(sigs.reduce.c_str()));
    // Wrapped for inspect and help (construction itself calls nanobind's __init__ directly).
    norvox::wrap_method(cls, m, "__init__", init_site);
    norvox::wrap_method(cls, m, "__eq__", record_eq_site);
    norvox::wrap_method(cls, m, "__repr__", record_repr_site);
    norvox::wrap_method(cls, m, "__reduce__", reduce_site);
    cls.attr("__hash__") = nb::none(); // mutable and compared by value, like a dataclass
    cls.attr("__match_args__") = nb::make_tuple(nb::str(R::names[I])...);
}

template <class R> void bind_record(nb::module_ &m) { bind_record<R>(m, std::make_index_sequence<R::size>()); }

// ---- the date filter and the scans ------------------------------------------------------------

NORVOX_SITE(is_within_date_range);
bool is_within_date_range(nb::handle file_date, nb::handle start_date, nb::handle end_date) {
    if (start_date.is_none() && end_date.is_none())
        return true;
    if (file_date.is_none())
        return false;
    const auto holds = [&](nb::handle bound, int op) {
        const int result = PyObject_RichCompareBool(file_date.ptr(), bound.ptr(), op);
        if (result < 0)
            throw nb::python_error();
        return result == 1;
    };
    if (!start_date.is_none() && holds(start_date, Py_LT))
        return false;
    if (!end_date.is_none() && holds(end_date, Py_GT))
        return false;
    return true;
}

/// A scanned folder: its files and the text of its path as a path object prints.
struct Scanned {
    replica::CsvScan scan;
    std::string base_text;
};

/// Scan one folder with the date bounds. Plain dates (or none) are compared natively without
/// the interpreter lock; any other bound goes through is_within_date_range file by file.
Scanned scan_folder(nb::handle base_path, nb::handle start_date, nb::handle end_date) {
    const replica::PathArg base = replica::path_arg(base_path);
    Scanned scanned;
    if (!base.usable || !norvox::tree::exists(base.bytes))
        return scanned;
    scanned.base_text = replica::pathlib_text(base.bytes);
    const bool start_plain = start_date.is_none() || replica::is_plain_date(start_date);
    const bool end_plain = end_date.is_none() || replica::is_plain_date(end_date);
    if (start_plain && end_plain) {
        replica::DayBounds bounds;
        bounds.has_start = !start_date.is_none();
        bounds.has_end = !end_date.is_none();
        bounds.start = bounds.has_start ? replica::ordinal_of(start_date) : 0;
        bounds.end = bounds.has_end ? replica::ordinal_of(end_date) : 0;
        nb::gil_scoped_release unlocked;
        scanned.scan = replica::scan_csv(
            base.bytes, [&](std::int32_t day) { return bounds.admits(day); }, norvox::check_signals_unlocked);
    } else {
        scanned.scan = replica::scan_csv(
            base.bytes,
            [&](std::int32_t day) {
                return is_within_date_range(day ? replica::date_of(day) : nb::none(), start_date, end_date);
            },
            norvox::check_signals_unlocked);
    }
    return scanned;
}

/// The FileInfo of file `i` of a scanned folder.
nb::object file_info(const Scanned &scanned, std::size_t i) {
    const replica::CsvFile &file = scanned.scan.files[i];
    const std::string_view key = scanned.scan.key(file);
    return make_record<FileInfo>(replica::fs_text(key), replica::fs_text(replica::joined_path(scanned.base_text, key)),
                                 nb::int_(file.size), file.ordinal ? replica::date_of(file.ordinal) : nb::none());
}

NORVOX_SITE(scan_replica_folder);
nb::dict scan_replica_folder(nb::handle base_path, nb::handle start_date, nb::handle end_date) {
    const Scanned scanned = scan_folder(base_path, start_date, end_date);
    nb::dict files;
    for (std::size_t i = 0; i < scanned.scan.files.size(); ++i) {
        nb::object info = file_info(scanned, i);
        files[nb::inst_ptr<FileInfo>(info)->fields[0]] = info;
    }
    return files;
}

// ---- the comparison ---------------------------------------------------------------------------

/// Sort `items` into ascending order of their keys (`key_of` gives each key's bytes): code
/// point by code point, as texts compare. Byte order gives that for well-formed UTF-8 names
/// under a UTF-8 file-system encoding; otherwise the keys are decoded and compared as texts.
template <class T, class KeyOf> void sort_keys(std::vector<T> &items, KeyOf key_of, bool bytes_order) {
    if (bytes_order) {
        nb::gil_scoped_release unlocked;
        replica::sort_by_key(items, key_of);
        return;
    }
    std::vector<std::pair<nb::str, T>> keyed;
    keyed.reserve(items.size());
    for (const T &item : items)
        keyed.emplace_back(replica::fs_text(key_of(item)), item);
    std::sort(keyed.begin(), keyed.end(),
              [](const auto &a, const auto &b) { return PyUnicode_Compare(a.first.ptr(), b.first.ptr()) < 0; });
    for (std::size_t k = 0; k < keyed.size(); ++k)
        items[k] = keyed[k].second;
}

NORVOX_SITE(compare_replicas);
nb::object compare_replicas(nb::handle folder_1, nb::handle folder_2, nb::handle start_date, nb::handle end_date) {
    const Scanned one = scan_folder(folder_1, start_date, end_date);
    const Scanned two = scan_folder(folder_2, start_date, end_date);
    replica::Comparison matched;
    {
        nb::gil_scoped_release unlocked;
        matched = replica::compare(one.scan, two.scan);
    }

    const nb::object encoding = nb::module_::import_("sys").attr("getfilesystemencoding")();
    const bool bytes_order =
        one.scan.utf8 && two.scan.utf8 && PyUnicode_CompareWithASCIIString(encoding.ptr(), "utf-8") == 0;
    const auto key_1 = [&](std::size_t i) { return one.scan.key(i); };
    const auto key_2 = [&](std::size_t i) { return two.scan.key(i); };
    sort_keys(matched.only_1, key_1, bytes_order);
    sort_keys(matched.only_2, key_2, bytes_order);
    sort_keys(
        matched.different, [&](const std::pair<std::size_t, std::size_t> &d) { return key_1(d.first); }, bytes_order);

    nb::list only_1, only_2, different;
    for (std::size_t i : matched.only_1)
        only_1.append(file_info(one, i));
    for (std::size_t j : matched.only_2)
        only_2.append(file_info(two, j));
    for (const auto &[i, j] : matched.different) {
        const std::int64_t size_1 = one.scan.files[i].size, size_2 = two.scan.files[j].size;
        different.append(make_record<FileDifference>(replica::fs_text(key_1(i)), nb::int_(size_1), nb::int_(size_2),
                                                     nb::int_(size_2 - size_1)));
    }
    return make_record<ComparisonReport>(only_1, only_2, different, nb::int_(matched.identical),
                                         nb::int_(one.scan.files.size()), nb::int_(two.scan.files.size()));
}

} // namespace

NORVOX_MODULE(mirror_diff, m) {
    m.doc() = "Compare two replica folders of \".csv\" files by relative path and size.";
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr)
        throw nb::python_error();
    // Loading this module loads the gap search first, whose day rule the scans share.
    m.attr("extract_date_from_filename") =
        nb::module_::import_("norvox.profile_logs.replicas.mirror_gaps").attr("extract_date_from_filename");

    bind_record<FileInfo>(m);
    bind_record<FileDifference>(m);
    bind_record<ComparisonReport>(m);

    norvox::def(m, "is_within_date_range", is_within_date_range_site, &is_within_date_range, "file_date"_a.none(),
                "start_date"_a.none(), "end_date"_a.none(),
                nb::sig("def is_within_date_range(file_date: datetime.date | None, start_date: datetime.date | None, "
                        "end_date: datetime.date | None) -> bool"),
                "Check if a file date is within the specified date range.");
    norvox::def(
        m, "scan_replica_folder", scan_replica_folder_site, &scan_replica_folder, "base_path"_a.none(),
        "start_date"_a.none() = nb::none(), "end_date"_a.none() = nb::none(),
        nb::sig("def scan_replica_folder(base_path: str | os.PathLike[str], start_date: datetime.date | None = None, "
                "end_date: datetime.date | None = None) -> dict[str, FileInfo]"),
        "Scan a replica folder and build a map of relative paths to FileInfo.");
    norvox::def(
        m, "compare_replicas", compare_replicas_site, &compare_replicas, "folder_1"_a.none(), "folder_2"_a.none(),
        "start_date"_a.none() = nb::none(), "end_date"_a.none() = nb::none(),
        nb::sig("def compare_replicas(folder_1: str | os.PathLike[str], folder_2: str | os.PathLike[str], "
                "start_date: datetime.date | None = None, end_date: datetime.date | None = None) -> ComparisonReport"),
        "Compare two replica folders and generate a comparison report.");
}
