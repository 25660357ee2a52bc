// norvox.drav.drav_csv: DRAVCSV, the writers and readers of DRAV CSV profile-log files.
//
// The text itself is handled by norvox/drav_text.h; this file turns rows into records and
// records into rows. Readers make one pass over the text and cross into the interpreter only
// to build the result objects (and for the rare texts the fast conversions leave to it).
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <langinfo.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "norvox/native/drav_text.h"
#include "norvox/python/args.h"
#include "norvox/python/drav_record.h"
#include "norvox/python/module.h"

namespace nb = nanobind;
using namespace nb::literals;
using norvox::check_exact;
namespace drav = norvox::drav;

namespace {

/// What the operations need of the set-up: fixed for the module's lifetime.
struct Env {
    const PyDateTime_CAPI *api;
    nb::object record_type; ///< DRAVCSVRecord
};

/// A struct for the class that holds the static operations; it has no instances.
struct DravCsv {};

/// Runs the handlers of signals that arrived meanwhile (the calling thread holds the
/// interpreter); the error one raises, such as Ctrl-C's KeyboardInterrupt, is thrown, and the
/// caller's owners release what they hold as it passes.
void check_signals() {
    if (PyErr_CheckSignals() != 0)
        throw nb::python_error();
}

/// Lines read between two signal checks, and bytes read or written between two.
constexpr std::size_t lines_per_check = 4096;
constexpr std::size_t bytes_per_check = std::size_t(8) << 20;

[[noreturn]] void raise_os_error(int err, nb::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

/// A path text in the file-system encoding, as the os functions take it.
std::string fs_path(nb::handle path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes))
        throw nb::python_error();
    std::string out(PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

/// True when text files are opened as UTF-8, the case handled without a codec.
bool locale_is_utf8() {
    const char *codeset = nl_langinfo(CODESET);
    if (codeset != nullptr) {
        std::string_view c(codeset);
        if (c == "UTF-8" || c == "utf-8" || c == "UTF8" || c == "utf8")
            return true;
    }
    return false;
}

/// The encoding that text files are opened with when none is named.
nb::object default_encoding() { return nb::module_::import_("locale").attr("getpreferredencoding")(false); }

// ---------------------------------------------------------------------------------------------
// Reading

/// The state of one read: constants taken from the record class, one time-zone object per
/// offset met, and the records made so far.
class RowReader {
public:
    RowReader(const Env &env) : api_(env.api), record_type_(env.record_type) {
        nb::object na = record_type_.attr("NA_VALUE");
        if (PyUnicode_Check(na.ptr())) {
            has_na_ = true;
            na_ = utf8_of(na);
        }
        format_ = record_type_.attr("TIMESTAMP_FORMAT");
        standard_format_ = format_.equal(nb::str(drav::timestamp_format.data()));
    }

    /// Parses one line (with or without its line end) and keeps its record, if it makes one.
    /// Looks for signals every few thousand lines, so that a long read answers Ctrl-C.
    void line(std::string_view line) {
        if (++lines_ % lines_per_check == 0)
            check_signals();
        drav::RowTexts texts;
        if (!drav::split_row(line, texts))
            return;
        if (skipped(texts.import_text) || skipped(texts.export_text))
            return;
        nb::object time = row_time(texts.time);
        if (!time.is_valid())
            return;
        nb::object imp = value(texts.import_text);
        if (!imp.is_valid())
            return;
        nb::object exp = value(texts.export_text);
        if (!exp.is_valid())
            return;
        nb::object record = drav::make_record(record_type_, std::move(time), std::move(imp), std::move(exp));
        if (PyList_Append(records_.ptr(), record.ptr()) != 0)
            throw nb::python_error();
    }

    /// Parses every line of `text` but the first.
    void text(std::string_view text, bool universal) {
        drav::LineReader lines(text, universal);
        std::string_view l;
        if (!lines.next(l))
            return; // the header, unchecked
        while (lines.next(l))
            line(l);
    }

    nb::list &records() { return records_; }

    /// UTF-8 of a text; lone surrogates pass through, as the text's own slices decode back.
    static std::string utf8_of(nb::handle text) {
        Py_ssize_t size;
        const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (data != nullptr)
            return std::string(data, size_t(size));
        PyErr_Clear();
        nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
        if (!bytes.is_valid())
            throw nb::python_error();
        return std::string(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr())));
    }

private:
    bool skipped(std::string_view text) const { return (has_na_ && text == na_) || text == "-1"; }

    static nb::object decode(std::string_view text) {
        PyObject *s = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass");
        if (s == nullptr)
            throw nb::python_error();
        return nb::steal(s);
    }

    /// Clears a ValueError (or IndexError) of a conversion, which skips the row; any other
    /// error propagates.
    static void skip_or_raise() {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError))
            PyErr_Clear();
        else
            throw nb::python_error();
    }

    /// The row's date-time, or an invalid object when the row is skipped.
    nb::object row_time(std::string_view text) {
        if (standard_format_) {
            drav::RowTime t;
            switch (drav::parse_row_time(text, t)) {
            case drav::Parsed::invalid:
                return nb::object();
            case drav::Parsed::ok: {
                PyObject *dt = api_->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second, 0,
                                                              zone(t.offset_us).ptr(), api_->DateTimeType);
                if (dt == nullptr) {
                    skip_or_raise();
                    return nb::object();
                }
                return nb::steal(dt);
            }
            case drav::Parsed::foreign:
                break;
            }
        }
        if (!strptime_.is_valid())
            strptime_ = nb::handle((PyObject *) api_->DateTimeType).attr("strptime");
        nb::object s = decode(text);
        PyObject *dt = PyObject_CallFunctionObjArgs(strptime_.ptr(), s.ptr(), format_.ptr(), nullptr);
        if (dt == nullptr) {
            skip_or_raise();
            return nb::object();
        }
        return nb::steal(dt);
    }

    /// The time-zone object of an offset: one per distinct offset in this read.
    nb::handle zone(std::int64_t offset_us) {
        for (auto &[us, tz] : zones_)
            if (us == offset_us)
                return tz;
        nb::object delta =
            nb::steal(api_->Delta_FromDelta(0, int(offset_us / 1000000), int(offset_us % 1000000), 1, api_->DeltaType));
        if (!delta.is_valid())
            throw nb::python_error();
        nb::object tz = nb::steal(api_->TimeZone_FromTimeZone(delta.ptr(), nullptr));
        if (!tz.is_valid())
            throw nb::python_error();
        zones_.emplace_back(offset_us, std::move(tz));
        return zones_.back().second;
    }

    /// float(text) / 1000.0, or an invalid object when the row is skipped.
    static nb::object value(std::string_view text) {
        double v;
        if (drav::parse_plain_number(text, v) != drav::Parsed::ok) {
            nb::object s = decode(text);
            PyObject *f = PyFloat_FromString(s.ptr());
            if (f == nullptr) {
                skip_or_raise();
                return nb::object();
            }
            v = PyFloat_AS_DOUBLE(f);
            Py_DECREF(f);
        }
        PyObject *f = PyFloat_FromDouble(v / 1000.0);
        if (f == nullptr)
            throw nb::python_error();
        return nb::steal(f);
    }

    const PyDateTime_CAPI *api_;
    nb::handle record_type_;
    nb::object format_;
    nb::object strptime_;
    bool standard_format_ = true;
    bool has_na_ = false;
    std::string na_;
    std::vector<std::pair<std::int64_t, nb::object>> zones_;
    nb::list records_;
    std::size_t lines_ = 0;
};

NORVOX_SITE(read);
nb::list read(const Env &env, nb::handle csv_string) {
    check_exact(csv_string, &PyUnicode_Type, "csv_string");
    RowReader reader(env);
    if (PyUnicode_IS_ASCII(csv_string.ptr())) {
        // The text's own bytes: no copy.
        Py_ssize_t size;
        const char *data = PyUnicode_AsUTF8AndSize(csv_string.ptr(), &size);
        if (data == nullptr)
            throw nb::python_error();
        reader.text(std::string_view(data, size_t(size)), false);
    } else {
        // A temporary UTF-8 copy, freed on return (the text keeps no cached copy).
        nb::object bytes = nb::steal(PyUnicode_AsEncodedString(csv_string.ptr(), "utf-8", "surrogatepass"));
        if (!bytes.is_valid())
            throw nb::python_error();
        reader.text(std::string_view(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr()))), false);
    }
    return reader.records();
}

/// A file descriptor, closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    /// Closes the descriptor now; 0 or the errno of close.
    int reset() {
        int err = 0;
        if (fd_ >= 0 && ::close(fd_) != 0)
            err = errno;
        fd_ = -1;
        return err;
    }
    /// Owns `fd` from now on (closing the one held).
    void adopt(int fd) {
        reset();
        fd_ = fd;
    }

private:
    int fd_;
};

/// `call()` (a system call returning -1 and setting errno on failure) with the interpreter's
/// lock released; an interrupted call is retried once the signal handlers have run, unless one
/// of them raised. Returns what the call returned, with `err` its errno (0 on success).
template <class Call> auto unlocked_call(int &err, Call call) {
    for (;;) {
        decltype(call()) result;
        {
            nb::gil_scoped_release unlocked;
            result = call();
            err = result < 0 ? errno : 0;
        }
        if (err != EINTR)
            return result;
        check_signals();
    }
}

/// A file's whole content. Waits (opening a FIFO, reading a slow device) happen with the
/// interpreter's lock released and answer signals: the descriptor and the bytes read so far
/// are released as the handler's error passes.
class FileBytes {
public:
    FileBytes(nb::handle file_path) {
        std::string path = fs_path(file_path);
        int err = 0;
        Fd fd(unlocked_call(err, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
        if (err == 0)
            err = fill(fd.get());
        if (err != 0)
            raise_os_error(err, file_path);
    }
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;

    std::string_view view() const { return {buffer_.data ? buffer_.data : "", size_}; }
    void release() {
        buffer_ = Buffer();
        size_ = 0;
    }

private:
    struct Buffer {
        char *data = nullptr;
        Buffer() = default;
        Buffer(const Buffer &) = delete;
        Buffer &operator=(Buffer &&other) noexcept {
            std::swap(data, other.data);
            return *this;
        }
        ~Buffer() { std::free(data); }
    };

    /// Reads to the end into one buffer (of the file's size for a regular file: a short read
    /// is its end), a few megabytes a call so that signals are looked at in between.
    int fill(int fd) {
        struct stat st;
        if (fstat(fd, &st) != 0)
            return errno;
        if (S_ISDIR(st.st_mode))
            return EISDIR;
        bool regular = S_ISREG(st.st_mode);
        size_t capacity = regular && st.st_size > 0 ? size_t(st.st_size) + 1 : 65536;
        size_t unchecked = 0;
        for (;;) {
            if (buffer_.data == nullptr || size_ == capacity) {
                if (buffer_.data != nullptr)
                    capacity *= 2;
                char *grown = static_cast<char *>(std::realloc(buffer_.data, capacity));
                if (grown == nullptr)
                    return ENOMEM;
                buffer_.data = grown;
            }
            size_t want = std::min(capacity - size_, bytes_per_check);
            int err = 0;
            ssize_t n = unlocked_call(err, [&] { return ::read(fd, buffer_.data + size_, want); });
            if (err != 0)
                return err;
            size_ += size_t(n);
            if (n == 0 || (regular && size_t(n) < want))
                return 0;
            if ((unchecked += size_t(n)) >= bytes_per_check) {
                unchecked = 0;
                check_signals();
            }
        }
    }

    Buffer buffer_;
    size_t size_ = 0;
};

NORVOX_SITE(read_from_file);
nb::list read_from_file(const Env &env, nb::handle file_path) {
    check_exact(file_path, &PyUnicode_Type, "file_path");
    FileBytes file(file_path);
    RowReader reader(env);
    std::string_view bytes = file.view();
    if (locale_is_utf8() && drav::valid_utf8(bytes.data(), bytes.size())) {
        reader.text(bytes, true);
        return reader.records();
    }
    // Another encoding, or bytes that are no UTF-8: the codec decodes (or raises its error).
    nb::object encoding = locale_is_utf8() ? nb::str("utf-8") : default_encoding();
    nb::object text =
        nb::steal(PyUnicode_Decode(bytes.data(), Py_ssize_t(bytes.size()), nb::str(encoding).c_str(), "strict"));
    if (!text.is_valid())
        throw nb::python_error();
    file.release();
    std::string utf8 = RowReader::utf8_of(text);
    text.reset();
    reader.text(utf8, true);
    return reader.records();
}

NORVOX_SITE(read_internal);
nb::list read_internal(const Env &env, nb::handle file_obj) {
    RowReader reader(env);
    file_obj.attr("readline")(); // the header, unchecked
    for (nb::handle line : file_obj) {
        if (!PyUnicode_Check(line.ptr())) {
            PyErr_Format(PyExc_TypeError, "lines of the stream must be str, not %s", Py_TYPE(line.ptr())->tp_name);
            throw nb::python_error();
        }
        if (PyUnicode_IS_ASCII(line.ptr())) {
            Py_ssize_t size;
            const char *data = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
            reader.line(std::string_view(data, size_t(size)));
        } else {
            reader.line(RowReader::utf8_of(line));
        }
    }
    return reader.records();
}

// ---------------------------------------------------------------------------------------------
// Writing

/// Bytes of `text` in the encoding that text files are written with.
std::string encoded(nb::handle text, bool utf8, nb::handle encoding) {
    if (utf8) {
        Py_ssize_t size;
        const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (data == nullptr)
            throw nb::python_error();
        return std::string(data, size_t(size));
    }
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), nb::str(encoding).c_str(), "strict"));
    if (!bytes.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), size_t(PyBytes_GET_SIZE(bytes.ptr())));
}

/// The file that writing to `path` reaches: `path` itself, or, when it is a symbolic link, the
/// end of its chain of links (a relative link read from the link's folder), whether that exists
/// or not. 0, or the errno of a failed look-up (ELOOP for a chain that does not end).
int link_target(std::string path, std::string &out) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            out = std::move(path);
            return 0; // not a link, or nothing there yet: created as named
        }
        std::string link(size_t(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n;
        while ((n = ::readlink(path.c_str(), link.data(), link.size())) == ssize_t(link.size()))
            link.resize(link.size() * 2); // the link changed meanwhile and grew
        if (n < 0)
            return errno;
        link.resize(size_t(n));
        size_t slash = path.rfind('/');
        if (link.empty() || link[0] == '/' || slash == std::string::npos)
            path = std::move(link);
        else
            path = path.substr(0, slash + 1) + link;
    }
    return ELOOP;
}

/// A file written under a temporary name in the target's folder and renamed over the target
/// only once complete; removed on every failure (an interrupt included), so an earlier file of
/// that name stays as it was. A target that is a symbolic link is written through: the file at
/// the end of the link is the one replaced, the link stays. A file replaced keeps its mode,
/// and its owner and group where the process may set them; a new one gets 0666 less the umask.
class AtomicFile {
public:
    AtomicFile(nb::handle target) : target_(nb::borrow(target)) {
        std::string named = fs_path(target);
        int err = 0;
        {
            nb::gil_scoped_release unlocked;
            err = open_temporary(named);
        }
        if (err != 0)
            raise_os_error(err, target_);
    }

    ~AtomicFile() {
        fd_.reset();
        if (!committed_ && !temp_.empty())
            ::unlink(temp_.c_str());
    }
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    /// Writes `data` out in full; then looks for signals (callers write a megabyte or so a call).
    void write(std::string_view data) {
        while (!data.empty()) {
            int err = 0;
            ssize_t n = unlocked_call(err, [&] { return ::write(fd_.get(), data.data(), data.size()); });
            if (err != 0)
                raise_os_error(err, target_);
            data.remove_prefix(size_t(n));
        }
        check_signals();
    }

    /// Closes the file and puts it in the target's place.
    void commit() {
        int err = 0;
        {
            nb::gil_scoped_release unlocked;
            err = fd_.reset();
            if (err == 0 && ::rename(temp_.c_str(), path_.c_str()) != 0)
                err = errno;
        }
        if (err != 0)
            raise_os_error(err, target_);
        committed_ = true;
    }

private:
    /// Finds the file to replace and creates the temporary file beside it, with the replaced
    /// file's mode, owner and group. 0 or an errno; runs without the interpreter's lock.
    int open_temporary(const std::string &named) {
        if (int err = link_target(named, path_))
            return err;
        size_t slash = path_.rfind('/');
        std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        // Room for the tag within the 255 bytes a name may have.
        if (base.size() > 200)
            base.resize(200);
        // The name only has to be unlikely to be taken (O_EXCL decides): the clock, the
        // thread and a stack address (laid out anew in each process) mixed, without a
        // system call.
        std::uint64_t seed = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                             (std::uint64_t(pthread_self()) << 1);
        seed ^= std::uint64_t(reinterpret_cast<std::uintptr_t>(&seed)) << 17;
        int err = EEXIST;
        for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
            std::uint64_t z = (seed += 0x9e3779b97f4a7c15ull);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            z ^= z >> 31;
            static constexpr char hex[] = "0123456789abcdef";
            std::string tag;
            for (int i = 0; i < 12; ++i, z >>= 4)
                tag.push_back(hex[z & 15]);
            std::string temp = folder + "." + base + "." + tag + ".tmp";
            // 0666 less the umask, as a plain create would give.
            int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            err = fd >= 0 ? 0 : errno;
            if (fd >= 0) {
                fd_.adopt(fd);
                temp_ = std::move(temp);
            }
        }
        if (err != 0)
            return err;
        struct stat st;
        if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            // Owner and group first: changing them may clear the set-id bits of the mode. Only
            // a privileged process may give a file away; a group of the owner's may be kept.
            if (::fchown(fd_.get(), st.st_uid, st.st_gid) != 0)
                (void) ::fchown(fd_.get(), uid_t(-1), st.st_gid);
            if (::fchmod(fd_.get(), st.st_mode & 07777) != 0)
                return errno;
        }
        return 0;
    }

    nb::object target_;
    std::string path_; ///< the file replaced: the target, or the end of its links
    std::string temp_;
    Fd fd_;
    bool committed_ = false;
};

/// Creates `folder` with any missing parents; an existing folder is accepted.
void make_folder(nb::handle folder) {
    struct stat st;
    std::string path = fs_path(folder);
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    nb::module_::import_("os").attr("makedirs")(folder, "exist_ok"_a = true);
}

/// The file's element: the marker upper-cased, when that gives "A" or "B".
nb::object element_of(nb::handle marker, nb::handle markers) {
    if (marker.is_none() || nb::len(marker) == 0)
        return nb::none();
    nb::object upper = marker.attr("upper")();
    if (upper.equal(nb::str("A")))
        return markers.attr("A");
    if (upper.equal(nb::str("B")))
        return markers.attr("B");
    return nb::none();
}

/// The three fields of a record, read natively from a DRAVCSVRecord.
drav::Fields fields_of(nb::handle record, nb::handle record_type) {
    if (drav::is_record(record, record_type))
        return drav::snapshot(record);
    nb::object timestamp = record.attr("timestamp");
    nb::object import_value = record.attr("import_value");
    nb::object export_value = record.attr("export_value");
    return drav::Fields{timestamp, import_value, export_value};
}

constexpr size_t flush_size = 1 << 20;

/// Writes one file. `day` names a file without records; none means today's local date.
void write_records(const Env &env, nb::handle serial, nb::handle folder, nb::handle records, nb::handle marker,
                   nb::handle day) {
    const PyDateTime_CAPI *api = env.api;
    nb::handle record_type = env.record_type;
    nb::module_ names = nb::module_::import_("norvox.drav.drav_filename");

    make_folder(folder);
    nb::object element = element_of(marker, names.attr("ElementMarker"));

    // A snapshot of the list: the loop below calls into the interpreter now and then.
    nb::object rows = nb::steal(PyList_GetSlice(records.ptr(), 0, PY_SSIZE_T_MAX));
    if (!rows.is_valid())
        throw nb::python_error();
    Py_ssize_t count = PyList_GET_SIZE(rows.ptr());
    nb::object file_day;
    if (count > 0)
        file_day = fields_of(PyList_GET_ITEM(rows.ptr(), 0), record_type).timestamp.attr("date")();
    else if (!day.is_none())
        file_day = nb::borrow(day);
    else
        file_day = nb::handle((PyObject *) api->DateType).attr("today")();
    nb::object name = names.attr("DRAVFilename")(serial, file_day, element).attr("filename")();
    nb::object path = nb::module_::import_("os").attr("path").attr("join")(folder, name);

    bool utf8 = locale_is_utf8();
    nb::object encoding = utf8 ? nb::none() : default_encoding();
    nb::object column = nb::borrow(serial);
    if (!marker.is_none() && nb::len(marker) > 0)
        column = nb::str("{}-{}").format(serial, marker);
    std::string col = encoded(column, utf8, encoding);
    std::string out;
    out.reserve(flush_size + 256);
    drav::append_quoted(out, "created_at");
    out.push_back(',');
    drav::append_quoted(out, col);
    out.push_back(',');
    drav::append_quoted(out, col + encoded(nb::str("_rev"), utf8, encoding));
    out += "\r\n";

    AtomicFile file(path);
    drav::OffsetTexts offsets;
    nb::str pattern(drav::timestamp_format.data());
    for (Py_ssize_t i = 0; i < count; ++i) {
        drav::Fields r = fields_of(PyList_GET_ITEM(rows.ptr(), i), record_type);
        if (!drav::append_timestamp(out, r.timestamp, api, offsets))
            out += encoded(r.timestamp.attr("strftime")(pattern), utf8, encoding);
        out.push_back(',');
        if (!r.import_value.is_none())
            drav::append_whole_number(out, r.import_value);
        out.push_back(',');
        if (!r.export_value.is_none())
            drav::append_whole_number(out, r.export_value);
        out += "\r\n";
        if (out.size() >= flush_size) {
            file.write(out);
            out.clear();
        }
    }
    file.write(out);
    file.commit();
}

void check_writer_args(nb::handle serial, nb::handle folder, const char *folder_name, nb::handle list,
                       const char *list_name, nb::handle marker) {
    check_exact(serial, &PyUnicode_Type, "serial");
    check_exact(folder, &PyUnicode_Type, folder_name);
    check_exact(list, &PyList_Type, list_name);
    check_exact(marker, &PyUnicode_Type, "element_marker", true);
}

NORVOX_SITE(write);
void write(const Env &env, nb::handle serial, nb::handle output_file_path, nb::handle records,
           nb::handle element_marker) {
    check_writer_args(serial, output_file_path, "output_file_path", records, "records", element_marker);
    write_records(env, serial, output_file_path, records, element_marker, nb::none());
}

/// A record of `record_type` made as its constructor makes it: the import value converted
/// first, then the export value, so the first failing value is the one the error names.
nb::object new_record(nb::handle record_type, nb::object time, nb::handle imp, nb::handle exp) {
    nb::object import_value = drav::record_value(imp, "import_value");
    nb::object export_value = drav::record_value(exp, "export_value");
    return drav::make_record(record_type, std::move(time), std::move(import_value), std::move(export_value));
}

/// map.get(key) for a dict or any other map.
nb::object lookup(nb::handle map, const char *key) {
    if (PyDict_CheckExact(map.ptr())) {
        // A strong reference at once: another thread may replace the value meanwhile.
        PyObject *v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
        if (PyDict_GetItemStringRef(map.ptr(), key, &v) < 0)
            throw nb::python_error();
#else
        v = Py_XNewRef(PyDict_GetItemWithError(map.ptr(), nb::str(key).ptr()));
        if (v == nullptr && PyErr_Occurred())
            throw nb::python_error();
#endif
        return v ? nb::steal(v) : nb::none();
    }
    return map.attr("get")(key);
}

NORVOX_SITE(write_from_profile_records);
void write_from_profile_records(const Env &env, nb::handle serial, nb::handle output_dir, nb::handle profile_records,
                                nb::handle date, nb::handle element_marker) {
    check_writer_args(serial, output_dir, "output_dir", profile_records, "profile_records", element_marker);
    nb::handle record_type = env.record_type;
    nb::object fromisoformat = nb::handle((PyObject *) env.api->DateTimeType).attr("fromisoformat");
    bool only_a = false, only_b = false;
    if (!element_marker.is_none()) {
        only_a = nb::str(element_marker).equal(nb::str("A"));
        only_b = nb::str(element_marker).equal(nb::str("B"));
    }
    auto make = [&](nb::handle time, nb::handle imp, nb::handle map) {
        return new_record(record_type, nb::borrow(time), imp, lookup(map, "export"));
    };
    nb::list records;
    nb::object maps = nb::steal(PyList_GetSlice(profile_records.ptr(), 0, PY_SSIZE_T_MAX));
    if (!maps.is_valid())
        throw nb::python_error();
    for (nb::handle map : maps) {
        nb::object time = map["timestamp"];
        if (PyUnicode_Check(time.ptr()))
            time = fromisoformat(time);
        nb::object a = lookup(map, "import_a");
        nb::object b = lookup(map, "import_b");
        if (only_a || only_b) {
            nb::handle chosen = only_a ? a : b;
            if (!chosen.is_none())
                records.append(make(time, chosen, map));
            continue;
        }
        if (!a.is_none())
            records.append(make(time, a, map));
        if (!b.is_none()) {
            nb::object differs = nb::steal(PyObject_RichCompare(b.ptr(), a.ptr(), Py_NE));
            if (!differs.is_valid())
                throw nb::python_error();
            int truth = PyObject_IsTrue(differs.ptr());
            if (truth < 0)
                throw nb::python_error();
            if (truth)
                records.append(make(time, b, map));
        }
    }
    // A header-only file is named for the day the records were meant for.
    write_records(env, serial, output_dir, records, element_marker, date);
}

NORVOX_SITE(write_from_drav_readings);
void write_from_drav_readings(const Env &env, nb::handle serial, nb::handle output_dir, nb::handle readings,
                              nb::handle element_marker) {
    check_writer_args(serial, output_dir, "output_dir", readings, "readings", element_marker);
    nb::handle record_type = env.record_type;
    nb::list records;
    nb::object items = nb::steal(PyList_GetSlice(readings.ptr(), 0, PY_SSIZE_T_MAX));
    if (!items.is_valid())
        throw nb::python_error();
    for (nb::handle reading : items) {
        nb::object time = reading.attr("timestamp");
        nb::object imp = reading.attr("imp");
        nb::object exp = reading.attr("exp");
        records.append(new_record(record_type, std::move(time), imp, exp));
    }
    write_records(env, serial, output_dir, records, element_marker, nb::none());
}

} // namespace

NORVOX_MODULE(drav_csv, m) {
    nb::object record_type = nb::module_::import_("norvox.drav.drav_csv_record").attr("DRAVCSVRecord");
    nb::module_::import_("norvox.drav.drav_filename");
    Env env{drav::import_datetime_api(), record_type};

    nb::class_<DravCsv> cls(m, "DRAVCSV",
                            "Writers and readers of DRAV CSV profile-log files (static "
                            "operations only).");
    norvox::def_static(
        cls, m, "write", write_site,
        [env](nb::handle serial, nb::handle output_file_path, nb::handle records, nb::handle element_marker) {
            write(env, serial, output_file_path, records, element_marker);
        },
        "serial"_a.none(), "output_file_path"_a.none(), "records"_a.none(), "element_marker"_a.none() = nb::none(),
        nb::sig("def write(serial: str, output_file_path: str, "
                "records: list[norvox.drav.drav_csv_record.DRAVCSVRecord], element_marker: str | None = None) -> None"),
        "Write the records as the meter's DRAV file for the first record's day into the folder "
        "output_file_path.");
    norvox::def_static(
        cls, m, "write_from_profile_records", write_from_profile_records_site,
        [env](nb::handle serial, nb::handle output_dir, nb::handle profile_records, nb::handle date,
              nb::handle element_marker) {
            write_from_profile_records(env, serial, output_dir, profile_records, date, element_marker);
        },
        "serial"_a.none(), "output_dir"_a.none(), "profile_records"_a.none(), "date"_a.none(),
        "element_marker"_a.none() = nb::none(),
        nb::sig("def write_from_profile_records(serial: str, output_dir: str, "
                "profile_records: list[dict[str, typing.Any]], date: datetime.date, "
                "element_marker: str | None = None) -> None"),
        "Write profile-record maps (timestamp, import_a, import_b, export) as a DRAV file.");
    norvox::def_static(
        cls, m, "read", read_site, [env](nb::handle csv_string) { return read(env, csv_string); },
        "csv_string"_a.none(), nb::sig("def read(csv_string: str) -> list[norvox.drav.drav_csv_record.DRAVCSVRecord]"),
        "The records of a DRAV file's whole text; unreadable rows are skipped.");
    norvox::def_static(
        cls, m, "read_from_file", read_from_file_site,
        [env](nb::handle file_path) { return read_from_file(env, file_path); }, "file_path"_a.none(),
        nb::sig("def read_from_file(file_path: str) -> list[norvox.drav.drav_csv_record.DRAVCSVRecord]"),
        "The records of a DRAV file; unreadable rows are skipped.");
    norvox::def_static(
        cls, m, "_read_internal", read_internal_site,
        [env](nb::handle file_obj) { return read_internal(env, file_obj); }, "file_obj"_a.none(),
        nb::sig("def _read_internal(file_obj: typing.TextIO) -> list[norvox.drav.drav_csv_record.DRAVCSVRecord]"),
        "The records of a line-by-line text stream after its first line.");
    norvox::def_static(
        cls, m, "write_from_drav_readings", write_from_drav_readings_site,
        [env](nb::handle serial, nb::handle output_dir, nb::handle readings, nb::handle element_marker) {
            write_from_drav_readings(env, serial, output_dir, readings, element_marker);
        },
        "serial"_a.none(), "output_dir"_a.none(), "readings"_a.none(), "element_marker"_a.none() = nb::none(),
        nb::sig("def write_from_drav_readings(serial: str, output_dir: str, "
                "readings: list[norvox.drav.drav_reading.DRAVReading], element_marker: str | None = None) -> None"),
        "Write DRAV readings (timestamp, imp, exp) as a DRAV file.");
}
