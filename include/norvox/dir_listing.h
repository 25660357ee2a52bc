// Listing one folder with POSIX calls: entry names in the order the file system yields them,
// each with whether it is a file (a regular file, or a link that leads to one). No interpreter
// header; callers release the interpreter's lock around it.
#pragma once

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace norvox {

/// One entry of a folder listing.
struct DirEntry {
    std::string name; ///< the entry's name, raw bytes
    bool is_file;     ///< regular file, or a link to one; false when its status cannot be read
};

/// Lists `path` (without "." and ".."), in listing order. Returns 0, or the errno of the
/// failure to open or read the folder, leaving `out` empty.
inline int list_folder(const char *path, std::vector<DirEntry> &out) {
    out.clear();
    DIR *dir = ::opendir(path);
    if (dir == nullptr) return errno;
    int fd = ::dirfd(dir);
    for (;;) {
        errno = 0;
        struct dirent *e = ::readdir(dir);
        if (e == nullptr) {
            int err = errno;
            ::closedir(dir);
            if (err != 0) out.clear();
            return err;
        }
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        bool is_file;
        if (e->d_type == DT_REG) {
            is_file = true;
        } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st;
            is_file = ::fstatat(fd, name, &st, 0) == 0 && S_ISREG(st.st_mode);
        } else {
            is_file = false;
        }
        out.push_back(DirEntry{name, is_file});
    }
}

} // namespace norvox
