// The native parts of the replica checks: the dated names of a tree's folders (gap search) and
// the ".csv" files of a tree with their sizes (comparison). Plain C++: no Python. Each scan
// takes the caller's stop check (see tree::Pacer), asked every thousand or so entries.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvox/native/daily_name.h"
#include "norvox/native/tree_walk.h"

namespace norvox::replica {

// ---- gap search -----------------------------------------------------------------------------

/// A folder holding at least one file whose name carries a day.
struct DatedFolder {
    std::string key;                ///< path below the root, "/" between names; "." for the root
    std::vector<std::int32_t> days; ///< the days found, as ordinals, ascending, without repeats
};

/// Sort `days` and drop repeats.
inline void sort_unique(std::vector<std::int32_t> &days) {
    std::sort(days.begin(), days.end());
    days.erase(std::unique(days.begin(), days.end()), days.end());
}

/// Add the days of the names in `listing` that are not folders to `days`. A link among them is
/// looked at (one status query) only when its name carries a day: a link to a folder is a folder.
inline void add_file_days(const tree::Dir &dir, const tree::Listing &listing, std::vector<std::int32_t> &days) {
    for (const auto &e : listing.entries()) {
        if (e.kind == tree::Kind::directory)
            continue;
        const std::int32_t ordinal = daily::ordinal_of_name(listing.name(e));
        if (ordinal == 0 || (e.kind == tree::Kind::link && tree::leads_to_folder(dir, listing.c_name(e))))
            continue;
        days.push_back(ordinal);
    }
}

/// Every folder of the tree at `root` (walk order) whose files carry at least one day.
inline std::vector<DatedFolder> dated_folders(const std::string &root, tree::StopCheck check = nullptr) {
    std::vector<DatedFolder> folders;
    std::vector<std::int32_t> days;
    tree::Pacer pacer(check);
    tree::walk(
        root,
        [&](std::string_view rel, const tree::Dir &dir, const tree::Listing &listing) {
            days.clear();
            add_file_days(dir, listing, days);
            if (days.empty())
                return;
            sort_unique(days);
            folders.push_back({rel.empty() ? std::string(".") : std::string(rel), days});
        },
        pacer);
    return folders;
}

/// The days carried by the names of every entry of the folder at `path` (one level, folders and
/// links included), ascending, without repeats, into `days`. 0, or the errno of the listing.
inline int folder_days(const std::string &path, std::vector<std::int32_t> &days, tree::StopCheck check = nullptr) {
    tree::Listing listing;
    tree::Pacer pacer(check);
    {
        const tree::Dir dir = tree::open_dir(path.c_str(), true, &pacer);
        if (!dir)
            return errno;
        if (const int error = tree::read_listing(dir, listing, false, &pacer))
            return error;
    }
    for (const auto &e : listing.entries())
        if (const std::int32_t ordinal = daily::ordinal_of_name(listing.name(e)))
            days.push_back(ordinal);
    sort_unique(days);
    return 0;
}

/// The positions i in [0, count) whose day `first + i` is not in `days` (ascending, unique).
inline std::vector<std::size_t> missing_positions(const std::vector<std::int32_t> &days, std::int32_t first,
                                                  std::size_t count) {
    std::vector<std::size_t> missing;
    auto it = std::lower_bound(days.begin(), days.end(), first);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t day = first + static_cast<std::int32_t>(i);
        while (it != days.end() && *it < day)
            ++it;
        if (it == days.end() || *it != day)
            missing.push_back(i);
    }
    return missing;
}

// ---- comparison -----------------------------------------------------------------------------

/// Inclusive day bounds, each optional, on ordinals; a name without a day is 0.
struct DayBounds {
    bool has_start = false, has_end = false;
    std::int32_t start = 0, end = 0;

    /// The date filter: everything without bounds; otherwise only days within them.
    bool admits(std::int32_t ordinal) const {
        if (!has_start && !has_end)
            return true;
        if (ordinal == 0)
            return false;
        return !(has_start && ordinal < start) && !(has_end && ordinal > end);
    }
};

/// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
inline bool is_utf8(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        unsigned lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < n || p[1] < lo || p[1] > hi)
            return false;
        for (std::size_t i = 2; i < n; ++i)
            if ((p[i] & 0xC0) != 0x80)
                return false;
        p += n;
    }
    return true;
}

/// One retained ".csv" file of a scan.
struct CsvFile {
    std::size_t key_offset;
    std::size_t key_length;
    std::int32_t ordinal; ///< the day of its name, 0 for none
    std::int64_t size;    ///< bytes, links followed; 0 when the status query failed
};

/// The ".csv" files of a tree in walk order, keyed by their path below the base folder.
struct CsvScan {
    std::string keys;
    std::vector<CsvFile> files;
    bool utf8 = true; ///< every key is well-formed UTF-8, so byte order is code-point order

    std::string_view key(const CsvFile &f) const { return {keys.data() + f.key_offset, f.key_length}; }
    std::string_view key(std::size_t i) const { return key(files[i]); }
};

/// Scan the tree at `base` for entries that are not folders (links followed) and whose names end
/// in ".csv"; keep those whose day `admit(ordinal)` accepts, and only then ask the size of those
/// that are no links. Errors of `admit` and of `check` propagate.
template <class Admit> CsvScan scan_csv(const std::string &base, Admit &&admit, tree::StopCheck check = nullptr) {
    CsvScan scan;
    tree::Pacer pacer(check);
    tree::walk(
        base,
        [&](std::string_view rel, const tree::Dir &dir, const tree::Listing &listing) {
            const bool rel_utf8 = is_utf8(rel);
            for (const auto &e : listing.entries()) {
                if (e.kind == tree::Kind::directory)
                    continue;
                pacer.tick(); // a status query per file may follow
                const std::string_view name = listing.name(e);
                if (!daily::ends_with_csv(name))
                    continue;
                // A link is followed before the date filter: a link to a folder is a folder, not a
                // file, and never meets the filter. Other entries are queried only once admitted.
                struct stat st;
                int status = -1;
                if (e.kind == tree::Kind::link) {
                    status = ::fstatat(dir.fd(), listing.c_name(e), &st, 0);
                    if (status == 0 && S_ISDIR(st.st_mode))
                        continue;
                }
                const std::int32_t ordinal = daily::ordinal_of_name(name);
                if (!admit(ordinal))
                    continue;
                if (e.kind != tree::Kind::link)
                    status = ::fstatat(dir.fd(), listing.c_name(e), &st, 0);
                const std::int64_t size = status == 0 ? st.st_size : 0;
                const std::size_t offset = scan.keys.size();
                if (!rel.empty()) {
                    scan.keys.append(rel);
                    scan.keys.push_back('/');
                }
                scan.keys.append(name);
                scan.files.push_back({offset, scan.keys.size() - offset, ordinal, size});
                scan.utf8 = scan.utf8 && rel_utf8 && is_utf8(name);
            }
        },
        pacer);
    return scan;
}

/// The result of matching two scans by key; indices into the scans' files, lists unsorted.
struct Comparison {
    std::vector<std::size_t> only_1, only_2;
    std::vector<std::pair<std::size_t, std::size_t>> different; ///< (index in 1, index in 2)
    std::size_t identical = 0;
};

/// Match the keys of two scans with a hash table on the first one's keys.
inline Comparison compare(const CsvScan &one, const CsvScan &two) {
    constexpr std::size_t empty = static_cast<std::size_t>(-1);
    const std::hash<std::string_view> hash;
    std::size_t capacity = 16;
    while (capacity < 2 * one.files.size())
        capacity *= 2;
    const std::size_t mask = capacity - 1;
    std::vector<std::size_t> slots(capacity, empty);
    for (std::size_t i = 0; i < one.files.size(); ++i) { // keys of a scan are unique
        std::size_t s = hash(one.key(i)) & mask;
        while (slots[s] != empty)
            s = (s + 1) & mask;
        slots[s] = i;
    }

    Comparison result;
    std::vector<bool> matched(one.files.size(), false);
    for (std::size_t j = 0; j < two.files.size(); ++j) {
        const std::string_view key = two.key(j);
        std::size_t s = hash(key) & mask;
        while (slots[s] != empty && one.key(slots[s]) != key)
            s = (s + 1) & mask;
        if (slots[s] == empty) {
            result.only_2.push_back(j);
            continue;
        }
        const std::size_t i = slots[s];
        matched[i] = true;
        if (one.files[i].size != two.files[j].size)
            result.different.emplace_back(i, j);
        else
            ++result.identical;
    }
    for (std::size_t i = 0; i < one.files.size(); ++i)
        if (!matched[i])
            result.only_1.push_back(i);
    return result;
}

/// Sort `items` by the key bytes `key_of` gives each (code-point order for well-formed UTF-8).
template <class T, class KeyOf> void sort_by_key(std::vector<T> &items, KeyOf key_of) {
    std::sort(items.begin(), items.end(), [&](const T &a, const T &b) { return key_of(a) < key_of(b); });
}

/// A path as a path object prints it: "." components and repeated or trailing separators
/// dropped, ".." kept, two leading separators kept as two (one or three and more as one), and
/// "." for an empty path.
inline std::string pathlib_text(std::string_view path) {
    std::size_t leading = 0;
    while (leading < path.size() && path[leading] == '/')
        ++leading;
    std::string text = leading == 2 ? "//" : leading > 0 ? "/" : "";
    const std::size_t root_length = text.size();
    std::size_t i = leading;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos)
            j = path.size();
        const std::string_view part = path.substr(i, j - i);
        if (!part.empty() && part != ".") {
            if (text.size() > root_length)
                text.push_back('/');
            text.append(part);
        }
        i = j + 1;
    }
    return text.empty() ? std::string(".") : text;
}

/// `relative` below the folder whose path prints as `base` (a pathlib_text), printed the same way.
inline std::string joined_path(const std::string &base, std::string_view relative) {
    if (base == ".")
        return std::string(relative);
    std::string path = base;
    if (path.back() != '/')
        path.push_back('/');
    path.append(relative);
    return path;
}

} // namespace norvox::replica
