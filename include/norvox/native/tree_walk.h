// Folder listings and the top-down walk of a folder tree on POSIX calls. Plain C++: no Python.
//
// The walk visits a folder before its subfolders and finishes one subfolder's whole subtree
// before the next, taking entries in the order the file system lists them. The root is followed
// when it is a link; links to folders below it are not entered. A folder that cannot be opened
// or read to the end is passed over with everything below it. The entry type comes from the
// listing; a status query is made only for entries the listing leaves untyped.
//
// A long walk asks its caller now and then whether to stop (a Pacer's stop check, which throws
// to stop): every thousand or so entries, and when a system call was interrupted.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvox::tree {

/// The caller's answer to "go on?" during a long loop: returns to go on, throws to stop (the
/// loop's owners release what they hold as the error passes).
using StopCheck = void (*)();

/// Calls a stop check once every `interval` entries of a loop, and at once when asked (after an
/// interrupted system call). Without a check it does nothing.
class Pacer {
public:
    static constexpr std::size_t interval = 1024;

    explicit Pacer(StopCheck check = nullptr) : check_(check) {}
    /// One entry met.
    void tick() {
        if (check_ != nullptr && ++count_ % interval == 0)
            check_();
    }
    /// Ask now.
    void now() {
        if (check_ != nullptr)
            check_();
    }

private:
    StopCheck check_;
    std::size_t count_ = 0;
};

/// What a listed entry is, without following links.
enum class Kind : std::uint8_t { directory, link, other };

/// The entries of one folder in listing order, "." and ".." left out.
class Listing {
public:
    struct Entry {
        std::size_t offset;
        std::uint32_t length;
        Kind kind;
    };

    void add(const char *name, std::size_t length, Kind kind) {
        entries_.push_back({names_.size(), static_cast<std::uint32_t>(length), kind});
        names_.append(name, length + 1); // with its terminating NUL, for the *at calls
    }
    const std::vector<Entry> &entries() const { return entries_; }
    std::string_view name(const Entry &e) const { return {names_.data() + e.offset, e.length}; }
    /// The entry's name as a NUL-terminated text.
    const char *c_name(const Entry &e) const { return names_.data() + e.offset; }

private:
    std::string names_;
    std::vector<Entry> entries_;
};

/// An open folder stream, closed with the handle.
class Dir {
public:
    Dir() = default;
    explicit Dir(DIR *d) : d_(d) {}
    Dir(Dir &&other) noexcept : d_(std::exchange(other.d_, nullptr)) {}
    Dir &operator=(Dir &&other) noexcept {
        std::swap(d_, other.d_);
        return *this;
    }
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    ~Dir() {
        if (d_ != nullptr)
            ::closedir(d_);
    }
    explicit operator bool() const { return d_ != nullptr; }
    DIR *get() const { return d_; }
    /// The folder's descriptor, for status queries relative to it.
    int fd() const { return ::dirfd(d_); }

private:
    DIR *d_ = nullptr;
};

/// Open `path` as a folder; with `follow` false a link as the last component is refused.
/// An empty handle, with errno set, when that fails. An interrupted open is retried after
/// `pacer` was asked whether to stop.
inline Dir open_dir(const char *path, bool follow, Pacer *pacer = nullptr) {
    int fd;
    while ((fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW))) < 0 && errno == EINTR)
        if (pacer != nullptr)
            pacer->now();
    if (fd < 0)
        return Dir();
    DIR *d = ::fdopendir(fd);
    if (d == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return Dir(d);
}

/// Read the whole listing of `dir` into `out`. With `resolve`, entries the listing leaves
/// untyped are typed by a status query that does not follow links. 0, or the errno of a failed
/// read (what was read so far is then not a listing). `pacer` ticks once per entry.
inline int read_listing(const Dir &dir, Listing &out, bool resolve, Pacer *pacer = nullptr) {
    for (;;) {
        errno = 0;
        const dirent *e = ::readdir(dir.get());
        if (e == nullptr) {
            if (errno == EINTR) { // readdir takes up where it was interrupted
                if (pacer != nullptr)
                    pacer->now();
                continue;
            }
            return errno;
        }
        if (pacer != nullptr)
            pacer->tick();
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        Kind kind = Kind::other;
        if (e->d_type == DT_DIR) {
            kind = Kind::directory;
        } else if (e->d_type == DT_LNK) {
            kind = Kind::link;
        } else if (e->d_type == DT_UNKNOWN && resolve) {
            struct stat st;
            if (::fstatat(dir.fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                kind = S_ISDIR(st.st_mode) ? Kind::directory : S_ISLNK(st.st_mode) ? Kind::link : Kind::other;
        }
        out.add(name, std::strlen(name), kind);
    }
}

/// True when `path` names something, links followed; false also when that cannot be
/// established (no permission on a parent, a NUL inside the path).
inline bool exists(const std::string &path) {
    struct stat st;
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

/// True when the entry `name` of the folder `dir` is, links followed, a folder: a link listed
/// among the files that leads to a folder counts as a folder.
inline bool leads_to_folder(const Dir &dir, const char *name) {
    struct stat st;
    return ::fstatat(dir.fd(), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

/// Walk the tree at `root` top-down and depth first, calling
/// `visit(std::string_view rel, const Dir &dir, const Listing &listing)` for every folder that
/// could be listed. `rel` is the folder's path below the root with "/" between the names, empty
/// for the root itself. Errors of `visit` and of the pacer's stop check propagate; every folder
/// handle is closed on the way. `pacer` ticks once per entry listed.
template <class Visit> void walk(const std::string &root, Visit &&visit, Pacer &pacer) {
    struct Frame {
        Listing listing;
        std::size_t next = 0;
        std::size_t path_length = 0;
        std::size_t rel_length = 0;
    };
    std::string path = root;
    std::string rel;
    std::vector<Frame> stack;

    // The folder is closed before its subfolders are opened, so the walk holds one descriptor.
    const auto enter = [&](bool is_root) {
        Frame frame;
        {
            Dir dir = open_dir(path.c_str(), is_root, &pacer);
            if (!dir || read_listing(dir, frame.listing, true, &pacer) != 0)
                return;
            visit(std::string_view(rel), std::as_const(dir), std::as_const(frame.listing));
        }
        frame.path_length = path.size();
        frame.rel_length = rel.size();
        stack.push_back(std::move(frame));
    };

    enter(true);
    while (!stack.empty()) {
        Frame &top = stack.back();
        const auto &entries = top.listing.entries();
        while (top.next < entries.size() && entries[top.next].kind != Kind::directory)
            ++top.next;
        if (top.next == entries.size()) {
            stack.pop_back();
            continue;
        }
        const std::string_view name = top.listing.name(entries[top.next++]);
        path.resize(top.path_length);
        rel.resize(top.rel_length);
        if (path.empty() || path.back() != '/')
            path += '/';
        path += name;
        if (!rel.empty())
            rel += '/';
        rel += name;
        enter(false); // may grow the stack: `top` is not used after this
    }
}

} // namespace norvox::tree
