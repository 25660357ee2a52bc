// The daily replica file-name rule and the calendar arithmetic it needs. Plain C++: no Python.
//
// A daily name ends with "-", eight ASCII digits forming a real calendar day and ".csv", with
// exactly the semantics of an anchored match of ".*-(\d{8})\.csv$": the leading run holds no line
// feed, the digits are the last group right before ".csv", and the end anchor also matches just
// before one final line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace norvox::daily {

/// A day of the proleptic Gregorian calendar.
struct CivilDay {
    int year;
    int month;
    int day;
};

/// True for a leap year of the Gregorian calendar.
constexpr bool is_leap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

/// Days in `month` (1..12) of `year`.
constexpr int days_in_month(int year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

/// True when the triple is a day a Python date can hold: year 1..9999, a month, a day of it.
constexpr bool is_real_day(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

/// The day's ordinal as Python's date.toordinal() gives it: 1 January of year 1 is 1.
constexpr std::int32_t to_ordinal(int year, int month, int day) {
    // Days from 1970-01-01 (H. Hinnant's days_from_civil), then shifted to the ordinal count.
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 719163;
}

/// The day of an ordinal of to_ordinal().
constexpr CivilDay from_ordinal(std::int32_t ordinal) {
    const int z = ordinal - 719163 + 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = z - era * 146097;
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    const int day = doy - (153 * mp + 2) / 5 + 1;
    const int month = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (month <= 2), month, day};
}

/// The day a name carries, or nothing. `at(i)` gives the i-th of the name's `n` characters as a
/// code point (or a byte: every character the rule looks at is ASCII, and a line feed is the
/// byte 0x0A in the file-system encodings).
template <class At> std::optional<CivilDay> day_of_name(std::size_t n, At at) {
    constexpr std::size_t suffix = 13; // "-" + 8 digits + ".csv"
    // The suffix has a fixed length, so the end anchor leaves one place for it: at the very end,
    // or before a final line feed (the two exclude each other, as the name then ends in 'v').
    std::size_t end = n;
    if (end > 0 && at(end - 1) == U'\n')
        --end;
    if (end < suffix)
        return std::nullopt;
    const std::size_t hyphen = end - suffix;
    if (at(hyphen) != U'-' || at(end - 4) != U'.' || at(end - 3) != U'c' || at(end - 2) != U's' || at(end - 1) != U'v')
        return std::nullopt;
    int digits[8];
    for (int i = 0; i < 8; ++i) {
        const char32_t c = at(hyphen + 1 + i);
        if (c < U'0' || c > U'9')
            return std::nullopt;
        digits[i] = static_cast<int>(c - U'0');
    }
    for (std::size_t i = 0; i < hyphen; ++i) // the leading run may hold anything but a line feed
        if (at(i) == U'\n')
            return std::nullopt;
    const int year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
    const int month = digits[4] * 10 + digits[5];
    const int day = digits[6] * 10 + digits[7];
    if (!is_real_day(year, month, day))
        return std::nullopt;
    return CivilDay{year, month, day};
}

/// The day a name given as bytes carries, or nothing.
inline std::optional<CivilDay> day_of_name(std::string_view name) {
    return day_of_name(name.size(),
                       [name](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(name[i])); });
}

/// The ordinal of the day a name carries, or 0 (no day).
inline std::int32_t ordinal_of_name(std::string_view name) {
    const auto day = day_of_name(name);
    return day ? to_ordinal(day->year, day->month, day->day) : 0;
}

/// True when a name ends with ".csv", case included.
constexpr bool ends_with_csv(std::string_view name) { return name.ends_with(".csv"); }

} // namespace norvox::daily
