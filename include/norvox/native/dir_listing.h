// Listing one folder with POSIX calls: entry names in the order the file system yields them,
// each with whether it is a file (a regular file, or a link that leads to one). No interpreter
// header; callers release the interpreter's lock around it, and may give a stop check that a
// long listing asks every thousand or so entries (see tree::Pacer).
#pragma once

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "norvox/native/tree_walk.h"

namespace norvox {

/// One entry of a folder listing.
struct DirEntry {
    std::string name; ///< the entry's name, raw bytes
    bool is_file;     ///< regular file, or a link to one; false when its status cannot be read
};

/// Lists `path` (without "." and ".."), in listing order. Returns 0, or the errno of the
/// failure to open or read the folder, leaving `out` empty. The folder is closed however the
/// listing ends, `check` throwing included.
inline int list_folder(const char *path, std::vector<DirEntry> &out, tree::StopCheck check = nullptr) {
    out.clear();
    tree::Pacer pacer(check);
    const tree::Dir dir = tree::open_dir(path, true, &pacer);
    if (!dir)
        return errno;
    for (;;) {
        errno = 0;
        struct dirent *e = ::readdir(dir.get());
        if (e == nullptr) {
            if (errno == EINTR) { // readdir takes up where it was interrupted
                pacer.now();
                continue;
            }
            int err = errno;
            if (err != 0)
                out.clear();
            return err;
        }
        pacer.tick();
        const char *name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        bool is_file;
        if (e->d_type == DT_REG) {
            is_file = true;
        } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st;
            is_file = ::fstatat(dir.fd(), name, &st, 0) == 0 && S_ISREG(st.st_mode);
        } else {
            is_file = false;
        }
        out.push_back(DirEntry{name, is_file});
    }
}

} // namespace norvox
