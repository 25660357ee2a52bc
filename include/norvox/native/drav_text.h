// The DRAV CSV text format as plain C++: row splitting, the time and number texts of a row,
// and the rendering of rows. No interpreter header: the module files convert to and from
// Python objects, this file only reads and writes bytes (UTF-8).
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace norvox::drav {

/// The record's timestamp pattern; the fast time parser below implements exactly this one.
inline constexpr std::string_view timestamp_format = "%Y-%m-%d %H:%M:%S%z";

// ---------------------------------------------------------------------------------------------
// Characters and lines

/// ASCII white space as the interpreter's `str.isspace` and regex `\s` see it
/// (tab, line feed, vertical tab, form feed, carriage return, the four separators, space).
constexpr bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

/// True for a non-ASCII code point that `str.isspace` counts as white space.
constexpr bool is_unicode_space(char32_t cp) {
    return cp == 0x85 || cp == 0xa0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200a) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202f || cp == 0x205f || cp == 0x3000;
}

/// Length of the UTF-8 sequence that a lead byte starts (1 for ASCII and stray bytes).
constexpr std::size_t utf8_length(unsigned char lead) {
    return lead < 0xc0 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
}

/// The code point of the (well-formed) sequence of `n` bytes at `p`.
inline char32_t utf8_decode(const unsigned char *p, std::size_t n) {
    switch (n) {
    case 1:
        return p[0];
    case 2:
        return char32_t(p[0] & 0x1f) << 6 | (p[1] & 0x3f);
    case 3:
        return char32_t(p[0] & 0x0f) << 12 | char32_t(p[1] & 0x3f) << 6 | (p[2] & 0x3f);
    default:
        return char32_t(p[0] & 0x07) << 18 | char32_t(p[1] & 0x3f) << 12 | char32_t(p[2] & 0x3f) << 6 | (p[3] & 0x3f);
    }
}

/// `s` without the white space at both ends, as `str.strip()` removes it. `s` holds
/// well-formed UTF-8 (lone surrogates allowed).
inline std::string_view strip_space(std::string_view s) {
    auto bytes = [&] { return reinterpret_cast<const unsigned char *>(s.data()); };
    while (!s.empty()) {
        unsigned char c = bytes()[0];
        if (c < 0x80) {
            if (!is_ascii_space(c))
                break;
            s.remove_prefix(1);
            continue;
        }
        std::size_t n = utf8_length(c);
        if (n > s.size() || !is_unicode_space(utf8_decode(bytes(), n)))
            break;
        s.remove_prefix(n);
    }
    while (!s.empty()) {
        unsigned char c = bytes()[s.size() - 1];
        if (c < 0x80) {
            if (!is_ascii_space(c))
                break;
            s.remove_suffix(1);
            continue;
        }
        // Step back over continuation bytes to the lead byte of the last code point.
        std::size_t start = s.size() - 1;
        while (start > 0 && (bytes()[start] & 0xc0) == 0x80 && s.size() - start < 4)
            --start;
        std::size_t n = s.size() - start;
        if (utf8_length(bytes()[start]) != n || !is_unicode_space(utf8_decode(bytes() + start, n)))
            break;
        s.remove_suffix(n);
    }
    return s;
}

/// True when `data` is UTF-8 as the interpreter's strict decoder accepts it: no overlong forms,
/// no surrogates, nothing above U+10FFFF, no truncated sequence.
inline bool valid_utf8(const char *data, std::size_t size) {
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    const auto *end = p + size;
    while (p < end) {
        // Eight ASCII bytes at a time: the usual content of these files.
        if (end - p >= 8) {
            std::uint64_t block;
            __builtin_memcpy(&block, p, 8);
            if ((block & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        unsigned char lo = 0x80, hi = 0xbf; // allowed range of the second byte
        if (c >= 0xc2 && c <= 0xdf)
            n = 2;
        else if (c == 0xe0)
            n = 3, lo = 0xa0;
        else if (c == 0xed)
            n = 3, hi = 0x9f;
        else if (c >= 0xe1 && c <= 0xef)
            n = 3;
        else if (c == 0xf0)
            n = 4, lo = 0x90;
        else if (c >= 0xf1 && c <= 0xf3)
            n = 4;
        else if (c == 0xf4)
            n = 4, hi = 0x8f;
        else
            return false;
        if (std::size_t(end - p) < n || p[1] < lo || p[1] > hi)
            return false;
        for (std::size_t i = 2; i < n; ++i)
            if ((p[i] & 0xc0) != 0x80)
                return false;
        p += n;
    }
    return true;
}

/// Walks the lines of a text buffer. Lines end at "\n" (an in-memory text stream); with
/// `universal`, also at "\r" and "\r\n" (a file read as text with universal line ends).
class LineReader {
public:
    LineReader(std::string_view text, bool universal) : rest_(text), universal_(universal) {}

    /// The next line without its end, or false when the text is used up.
    bool next(std::string_view &line) {
        if (done_)
            return false;
        std::size_t i = 0, n = rest_.size();
        const char *p = rest_.data();
        if (universal_) {
            while (i < n && p[i] != '\n' && p[i] != '\r')
                ++i;
        } else {
            const void *hit = __builtin_memchr(p, '\n', n);
            i = hit ? std::size_t(static_cast<const char *>(hit) - p) : n;
        }
        line = rest_.substr(0, i);
        if (i == n) {
            done_ = true;
            // What follows the last line end is a line only when it holds something.
            return !line.empty();
        }
        std::size_t skip = (universal_ && p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') ? 2 : 1;
        rest_.remove_prefix(i + skip);
        return true;
    }

private:
    std::string_view rest_;
    bool universal_;
    bool done_ = false;
};

// ---------------------------------------------------------------------------------------------
// Rows

/// The three texts of a data row that the reader converts.
struct RowTexts {
    std::string_view time;        ///< first field, double quotes at both ends removed
    std::string_view import_text; ///< second field as it stands
    std::string_view export_text; ///< third field as it stands
};

/// Splits one line (its end already removed) into the texts of a data row. False for a
/// line that is blank after trimming or has fewer than three fields; fields after the
/// third are ignored and quotes are not interpreted.
inline bool split_row(std::string_view line, RowTexts &out) {
    line = strip_space(line);
    if (line.empty())
        return false;
    std::size_t c1 = line.find(',');
    if (c1 == std::string_view::npos)
        return false;
    std::size_t c2 = line.find(',', c1 + 1);
    if (c2 == std::string_view::npos)
        return false;
    std::size_t c3 = line.find(',', c2 + 1);
    std::string_view time = line.substr(0, c1);
    while (!time.empty() && time.front() == '"')
        time.remove_prefix(1);
    while (!time.empty() && time.back() == '"')
        time.remove_suffix(1);
    out.time = time;
    out.import_text = line.substr(c1 + 1, c2 - c1 - 1);
    out.export_text = line.substr(c2 + 1, c3 == std::string_view::npos ? c3 : c3 - c2 - 1);
    return true;
}

/// Outcome of a fast conversion.
enum class Parsed {
    ok,      ///< converted
    invalid, ///< the interpreter's conversion refuses this text too
    foreign, ///< not decided here: hand the text to the interpreter's own conversion
};

// ---------------------------------------------------------------------------------------------
// Time texts

/// A row time: calendar fields and the UTC offset in microseconds.
struct RowTime {
    int year, month, day, hour, minute, second;
    std::int64_t offset_us;
};

constexpr bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int days_in_month(int y, int m) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

namespace detail {

/// Reads a run of one or two ASCII digits; false when there is none or more than two.
inline bool field(std::string_view s, std::size_t &i, int &value) {
    std::size_t start = i;
    while (i < s.size() && is_digit(s[i]) && i - start < 3)
        ++i;
    std::size_t n = i - start;
    if (n == 0 || n > 2)
        return false;
    value = n == 1 ? s[start] - '0' : (s[start] - '0') * 10 + (s[start + 1] - '0');
    return true;
}

inline bool two_digits(std::string_view s, std::size_t i, int max_first) {
    return i + 1 < s.size() && is_digit(s[i]) && s[i] - '0' <= max_first && is_digit(s[i + 1]);
}

inline int two_value(std::string_view s, std::size_t i) { return (s[i] - '0') * 10 + (s[i + 1] - '0'); }

} // namespace detail

/// Parses a time text as `datetime.strptime(text, "%Y-%m-%d %H:%M:%S%z")` would: the same
/// texts are accepted (single-digit fields, any run of white space between date and time,
/// offsets "Z", "+HHMM", "+HH:MM", with seconds and a fraction of up to six digits) and the
/// same refused (also impossible days, leap seconds and offsets of a day or more).
/// Non-ASCII text is `foreign`: the interpreter's pattern reads other digits and spaces.
inline Parsed parse_row_time(std::string_view s, RowTime &t) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return Parsed::foreign;
    using detail::field;
    std::size_t i = 0;
    if (s.size() < 4 || !is_digit(s[0]) || !is_digit(s[1]) || !is_digit(s[2]) || !is_digit(s[3]))
        return Parsed::invalid;
    t.year = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
    i = 4;
    if (i >= s.size() || s[i++] != '-')
        return Parsed::invalid;
    // %m: 1[0-2] | 0[1-9] | [1-9]
    if (!field(s, i, t.month) || t.month < 1 || t.month > 12)
        return Parsed::invalid;
    if (i >= s.size() || s[i++] != '-')
        return Parsed::invalid;
    // %d: 3[0-1] | [1-2]\d | 0[1-9] | [1-9] | " "[1-9]
    if (i < s.size() && s[i] == ' ') {
        if (i + 1 >= s.size() || !is_digit(s[i + 1]) || s[i + 1] == '0')
            return Parsed::invalid;
        t.day = s[i + 1] - '0';
        i += 2;
        if (i < s.size() && is_digit(s[i]))
            return Parsed::invalid;
    } else if (!field(s, i, t.day) || t.day < 1 || t.day > 31) {
        return Parsed::invalid;
    }
    // " " of the pattern: one or more white-space characters.
    std::size_t start = i;
    while (i < s.size() && is_ascii_space(s[i]))
        ++i;
    if (i == start)
        return Parsed::invalid;
    // %H: 2[0-3] | [0-1]\d | \d
    if (!field(s, i, t.hour) || t.hour > 23)
        return Parsed::invalid;
    if (i >= s.size() || s[i++] != ':')
        return Parsed::invalid;
    // %M: [0-5]\d | \d
    if (!field(s, i, t.minute) || t.minute > 59)
        return Parsed::invalid;
    if (i >= s.size() || s[i++] != ':')
        return Parsed::invalid;
    // %S: 6[0-1] | [0-5]\d | \d; 60 and 61 match but make no date-time.
    if (!field(s, i, t.second) || t.second > 59)
        return Parsed::invalid;
    // %z: [+-]\d\d:?[0-5]\d(:?[0-5]\d(\.\d{1,6})?)? | Z
    if (i >= s.size())
        return Parsed::invalid;
    if (s[i] == 'Z') {
        t.offset_us = 0;
        ++i;
    } else {
        if (s[i] != '+' && s[i] != '-')
            return Parsed::invalid;
        bool negative = s[i++] == '-';
        if (!detail::two_digits(s, i, 9))
            return Parsed::invalid;
        int hours = detail::two_value(s, i);
        i += 2;
        bool colon1 = i < s.size() && s[i] == ':' && detail::two_digits(s, i + 1, 5);
        if (colon1)
            ++i;
        if (!detail::two_digits(s, i, 5))
            return Parsed::invalid;
        int minutes = detail::two_value(s, i);
        i += 2;
        int seconds = 0;
        std::int64_t fraction = 0;
        bool colon2 = i < s.size() && s[i] == ':' && detail::two_digits(s, i + 1, 5);
        if (colon2 || detail::two_digits(s, i, 5)) {
            if (colon2)
                ++i;
            // The interpreter takes the colons out pairwise: "+HH:MMSS" and "+HHMM:SS" fail.
            if (colon1 != colon2)
                return Parsed::invalid;
            seconds = detail::two_value(s, i);
            i += 2;
            if (i + 1 < s.size() && s[i] == '.' && is_digit(s[i + 1])) {
                ++i;
                int digits = 0;
                while (i < s.size() && is_digit(s[i]) && digits < 6) {
                    fraction = fraction * 10 + (s[i++] - '0');
                    ++digits;
                }
                for (; digits < 6; ++digits)
                    fraction *= 10;
            }
        }
        std::int64_t us = (std::int64_t(hours) * 3600 + minutes * 60 + seconds) * 1000000 + fraction;
        if (us >= std::int64_t(86400) * 1000000)
            return Parsed::invalid; // timezone() refuses
        t.offset_us = negative ? -us : us;
    }
    if (i != s.size())
        return Parsed::invalid; // "unconverted data remains"
    if (t.year < 1 || t.day > days_in_month(t.year, t.month))
        return Parsed::invalid;
    return Parsed::ok;
}

// ---------------------------------------------------------------------------------------------
// Number texts

/// Converts a plain decimal number text (optional sign, digits with an optional point,
/// optional exponent; nothing else, no white space) exactly as the interpreter's `float()`
/// does: `std::from_chars` rounds correctly. Every other text is `foreign` (white space,
/// underscores, "inf", "nan", other digits, out-of-range exponents are the interpreter's).
inline Parsed parse_plain_number(std::string_view s, double &value) {
    std::size_t i = 0, n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < n && is_digit(s[i]))
        ++i, ++digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return Parsed::foreign;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            ++i;
        std::size_t exp_digits = 0;
        while (i < n && is_digit(s[i]))
            ++i, ++exp_digits;
        if (exp_digits == 0)
            return Parsed::foreign;
    }
    if (i != n)
        return Parsed::foreign;
    // Whole numbers of up to 15 digits (what the writer produces) are exact doubles.
    if (digits <= 15 && s.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t whole = 0;
        for (char c : s)
            if (is_digit(c))
                whole = whole * 10 + (c - '0');
        value = s[0] == '-' ? -double(whole) : double(whole);
        return Parsed::ok;
    }
    const char *first = s.data() + (s[0] == '+' ? 1 : 0);
    auto [end, ec] = std::from_chars(first, s.data() + n, value, std::chars_format::general);
    if (ec != std::errc() || end != s.data() + n)
        return Parsed::foreign;
    return Parsed::ok;
}

// ---------------------------------------------------------------------------------------------
// Rendering

inline void append_digits(std::string &out, long long value, int width) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void) ec;
    for (int pad = width - int(end - buf); pad > 0; --pad)
        out.push_back('0');
    out.append(buf, end);
}

/// "YYYY-MM-DD HH:MM:SS", every field zero-padded to its width.
inline void append_row_time(std::string &out, int year, int month, int day, int hour, int minute, int second) {
    append_digits(out, year, 4);
    out.push_back('-');
    append_digits(out, month, 2);
    out.push_back('-');
    append_digits(out, day, 2);
    out.push_back(' ');
    append_digits(out, hour, 2);
    out.push_back(':');
    append_digits(out, minute, 2);
    out.push_back(':');
    append_digits(out, second, 2);
}

/// A UTC offset as strftime's %z writes it: sign, HHMM, then SS when the offset has seconds
/// and ".ffffff" when it has microseconds. `offset_us` lies within one day either side.
inline void append_offset(std::string &out, std::int64_t offset_us) {
    out.push_back(offset_us < 0 ? '-' : '+');
    std::uint64_t total = offset_us < 0 ? std::uint64_t(-offset_us) : std::uint64_t(offset_us);
    long long us = (long long) (total % 1000000), secs = (long long) (total / 1000000);
    append_digits(out, secs / 3600, 2);
    append_digits(out, secs / 60 % 60, 2);
    if (us != 0 || secs % 60 != 0)
        append_digits(out, secs % 60, 2);
    if (us != 0) {
        out.push_back('.');
        append_digits(out, us, 6);
    }
}

/// Appends `value` truncated toward zero as a decimal integer. False, appending nothing,
/// when the value is not finite or too large for a 64-bit integer (the caller converts those
/// through the interpreter, which gives the errors or the long digits).
inline bool append_truncated(std::string &out, double value) {
    // 2^63 bounds the values whose truncation fits; NaN fails both comparisons.
    if (!(value > -9223372036854775808.0 && value < 9223372036854775808.0))
        return false;
    append_digits(out, (long long) value, 0);
    return true;
}

/// One CSV field enclosed in double quotes, a double quote inside written twice.
inline void append_quoted(std::string &out, std::string_view field) {
    out.push_back('"');
    for (char c : field) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

} // namespace norvox::drav
