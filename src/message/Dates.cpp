#include "message/Dates.h"

#include <algorithm>
#include <array>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph::mime {
namespace {

struct Parsed {
    int year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1;
    int weekday = 0;  // 1 Sunday .. 7 Saturday; 0 none
    bool monthFromNumber = false;
};

bool IsSeparator(char c) { return c == ' ' || c == '-' || c == ',' || c == ':' || c == '/'; }

int WeekdayOf(std::string_view t) {
    static constexpr std::array<const char*, 7> kDays = {"sunday", "monday", "tuesday", "wednesday",
                                                        "thursday", "friday", "saturday"};
    for (int i = 0; i < 7; ++i) {
        const std::string_view full = kDays[i];
        if (t == full || t == full.substr(0, 3)) return i + 1;
    }
    return 0;
}

int MonthOf(std::string_view t) {
    static constexpr std::array<const char*, 12> kMonths = {"january", "february", "march",     "april",
                                                           "may",     "june",     "july",      "august",
                                                           "september", "october", "november", "december"};
    for (int i = 0; i < 12; ++i) {
        const std::string_view full = kMonths[i];
        if (t == full || t == full.substr(0, 3)) return i + 1;
    }
    return 0;
}

// Fills the first free slot the number fits, in the order the date forms use.
void TakeNumber(Parsed& p, int n) {
    if (p.year < 0 && n >= 1000 && n <= 2999) {
        p.year = n;
    } else if (p.month < 0 && n >= 1 && n <= 12) {
        p.month = n;
        p.monthFromNumber = true;
    } else if (p.day < 0 && n >= 1 && n <= 31) {
        p.day = n;
    } else if (p.year < 0 && n <= 9999) {
        p.year = n < 0 ? -n : n;  // a zone such as "-0800" with no year before it: 800
    } else if (n >= 0 && p.hour < 0 && n <= 23) {
        p.hour = n;
    } else if (n >= 0 && p.minute < 0 && n <= 59) {
        p.minute = n;
    } else if (n >= 0 && p.second < 0 && n <= 59) {
        p.second = n;
    }
}

Parsed Tokenize(std::string_view text) {
    Parsed p;
    size_t i = 0;
    while (i < text.size() && text[i] != '\r' && text[i] != '\n') {
        if (IsSeparator(text[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && !IsSeparator(text[j]) && text[j] != '\r' && text[j] != '\n') ++j;
        std::string token(text.substr(i, j - i));
        for (char& c : token) c = AsciiLower(c);
        i = j;
        if (const int w = WeekdayOf(token)) {
            p.weekday = w;
            continue;
        }
        if (const int m = MonthOf(token)) {
            // A number already taken as the month was the day ("15 Nov").
            if (p.monthFromNumber && p.day < 0) p.day = p.month;
            p.month = m;
            p.monthFromNumber = false;
            continue;
        }
        TakeNumber(p, LeadingInt(token));
    }
    return p;
}

}  // namespace

std::string NormalizeDate(std::string_view text) {
    if (text.empty() || static_cast<unsigned char>(text[0]) >= 128) return std::string(text);
    Parsed p = Tokenize(text);
    if (p.month < 0 || p.day < 0) return std::string(text);
    if (p.year < 0 && p.hour < 0 && p.minute < 0 && p.second < 0) return Format("%02d/%02d", p.month, p.day);
    const int hour = std::max(p.hour, 0), minute = std::max(p.minute, 0), second = std::max(p.second, 0);
    int year = p.year < 0 ? 2005 : p.year;
    if (year < 100) year += 2000;
    if (hour == 0 && minute == 0 && second == 0) return Format("%02d/%02d/%02d", p.month, p.day, year % 100);
    return Format("%02d/%02d/%02d %02d:%02d:%02d", p.month, p.day, year % 100, hour, minute, second);
}

std::string NormalizeListDate(std::string_view text, const DateTime& today) {
    if (text.empty() || static_cast<unsigned char>(text[0]) >= 128) return std::string(text);
    const Parsed p = Tokenize(text);
    if (p.month < 0 || p.day < 0) return std::string(text);
    int year = p.year;
    if (year < 0) {
        year = today.Year();
        // Lists leave the year out but name the weekday: the latest year in which the date
        // falls on it. A century is enough to find it; a date that never does stays this year.
        for (int y = today.Year(); p.weekday && y > today.Year() - 100; --y) {
            const DateTime candidate = DateTime::FromParts(y, p.month, p.day);
            if (candidate.IsValid() && candidate.DayOfWeek() == p.weekday) {
                year = y;
                break;
            }
        }
    } else if (year < 100) {
        year += 2000;
    }
    return Format("%02d/%02d/%02d", p.month, p.day, year % 100);
}

}  // namespace ph::mime
