#include "common/DateTime.h"

#include <array>
#include <ctime>
#include <vector>

#include "common/Bytes.h"
#include "common/Format.h"

namespace ph {
namespace {

constexpr std::array<const char*, 12> kMonths = {"January", "February", "March",     "April",
                                                 "May",     "June",     "July",      "August",
                                                 "September", "October", "November", "December"};
constexpr std::array<const char*, 7> kWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};
constexpr int64_t kMinSeconds = -59011459200;  // 0100-01-01 00:00:00
constexpr int64_t kMaxSeconds = 253402300799;  // 9999-12-31 23:59:59

// Days since 1970-01-01 of a civil date, and back (H. Hinnant's algorithms).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int year;
    int month;
    int day;
};

Civil CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// A month or weekday name, matched on its full form or any prefix of at least three letters.
int MatchName(std::string_view word, const char* const* names, int count) {
    if (word.size() < 3) return 0;
    for (int i = 0; i < count; ++i) {
        std::string_view name = names[i];
        if (word.size() <= name.size() && EqualsNoCase(word, name.substr(0, word.size())))
            return i + 1;
    }
    return 0;
}

struct Token {
    enum Kind { Number, Word, Colon, Other } kind;
    std::string_view text;
};

std::vector<Token> Tokenize(std::string_view s) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = s[i];
        size_t j = i + 1;
        if (c >= '0' && c <= '9') {
            while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j;
            out.push_back({Token::Number, s.substr(i, j - i)});
        } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
            while (j < s.size() && ((s[j] | 0x20) >= 'a' && (s[j] | 0x20) <= 'z')) ++j;
            out.push_back({Token::Word, s.substr(i, j - i)});
        } else if (c == ':') {
            out.push_back({Token::Colon, s.substr(i, 1)});
        } else if (c == '/' || c == '-' || c == '.') {
            out.push_back({Token::Other, s.substr(i, 1)});
        }  // blanks and commas only separate
        i = j;
    }
    return out;
}

// A time is written without blanks around its colons; a number and a colon apart are not one.
bool Touching(const Token& a, const Token& b) {
    return a.text.data() + a.text.size() == b.text.data();
}

int ExpandYear(std::string_view digits, int value) {
    if (digits.size() <= 2) return value < 30 ? 2000 + value : 1900 + value;
    return value;
}

}  // namespace

DateTime DateTime::FromParts(int year, int month, int day, int hour, int minute, int second) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return Invalid();
    DateTime t;
    t.m_seconds = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) *
                      86400 +
                  hour * 3600 + minute * 60 + second;
    return t;
}

DateTime DateTime::Invalid() {
    DateTime t;
    t.m_valid = false;
    return t;
}

DateTime DateTime::FromUnixLocal(int64_t unixSeconds) {
    const time_t when = static_cast<time_t>(unixSeconds);
    struct tm local {};
    if (!localtime_r(&when, &local)) return Invalid();
    return FromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
}

DateTime DateTime::Now() { return FromUnixLocal(static_cast<int64_t>(std::time(nullptr))); }

int DateTime::Year() const { return CivilFromDays(FloorDiv(m_seconds, 86400)).year; }
int DateTime::Month() const { return CivilFromDays(FloorDiv(m_seconds, 86400)).month; }
int DateTime::Day() const { return CivilFromDays(FloorDiv(m_seconds, 86400)).day; }
int DateTime::Hour() const { return static_cast<int>(m_seconds - FloorDiv(m_seconds, 86400) * 86400) / 3600; }
int DateTime::Minute() const { return static_cast<int>((m_seconds - FloorDiv(m_seconds, 3600) * 3600) / 60); }
int DateTime::Second() const { return static_cast<int>(m_seconds - FloorDiv(m_seconds, 60) * 60); }
int DateTime::DayOfWeek() const {
    // 1970-01-01 was a Thursday (5 in the 1 = Sunday numbering).
    return static_cast<int>(((FloorDiv(m_seconds, 86400) % 7) + 7 + 4) % 7) + 1;
}

std::string DateTime::Format(const char* format) const {
    if (!m_valid) return {};
    const Civil c = CivilFromDays(FloorDiv(m_seconds, 86400));
    const int hour = Hour();
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (*p != '%' || !p[1]) {
            out += *p;
            continue;
        }
        switch (*++p) {
            case 'Y': out += ph::Format("%d", c.year); break;
            case 'y': out += ph::Format("%02d", c.year % 100); break;
            case 'm': out += ph::Format("%02d", c.month); break;
            case 'd': out += ph::Format("%02d", c.day); break;
            case 'e': out += ph::Format("%2d", c.day); break;
            case 'H': out += ph::Format("%02d", hour); break;
            case 'I': out += ph::Format("%02d", hour % 12 == 0 ? 12 : hour % 12); break;
            case 'M': out += ph::Format("%02d", Minute()); break;
            case 'S': out += ph::Format("%02d", Second()); break;
            case 'p': out += hour < 12 ? "AM" : "PM"; break;
            case 'B': out += kMonths[c.month - 1]; break;
            case 'b': out.append(kMonths[c.month - 1], 3); break;
            case 'A': out += kWeekdays[DayOfWeek() - 1]; break;
            case 'a': out.append(kWeekdays[DayOfWeek() - 1], 3); break;
            case 'j':
                out += ph::Format("%03d", static_cast<int>(FloorDiv(m_seconds, 86400) -
                                                          DaysFromCivil(c.year, 1, 1) + 1));
                break;
            case '%': out += '%'; break;
            default: out += '%'; out += *p; break;
        }
    }
    return out;
}

bool DateTime::Parse(std::string_view text) {
    const std::vector<Token> tokens = Tokenize(text);
    int month = 0;
    int hour = -1, minute = 0, second = 0;
    int meridiem = 0;  // 1 AM, 2 PM
    struct DateNumber {
        std::string_view digits;
        int value;
    };
    std::vector<DateNumber> numbers;
    bool anyDate = false;

    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.kind == Token::Number) {
            if (i + 1 < tokens.size() && tokens[i + 1].kind == Token::Colon &&
                Touching(t, tokens[i + 1])) {
                if (hour >= 0 || i + 2 >= tokens.size() || tokens[i + 2].kind != Token::Number ||
                    !Touching(tokens[i + 1], tokens[i + 2]))
                    return *this = Invalid(), false;
                hour = LeadingInt(t.text);
                minute = LeadingInt(tokens[i + 2].text);
                i += 2;
                if (i + 2 < tokens.size() && tokens[i + 1].kind == Token::Colon &&
                    tokens[i + 2].kind == Token::Number && Touching(tokens[i], tokens[i + 1]) &&
                    Touching(tokens[i + 1], tokens[i + 2])) {
                    second = LeadingInt(tokens[i + 2].text);
                    i += 2;
                }
                continue;
            }
            if (t.text.size() > 4 || numbers.size() == 3) return *this = Invalid(), false;
            numbers.push_back({t.text, LeadingInt(t.text)});
            anyDate = true;
        } else if (t.kind == Token::Word) {
            if (EqualsNoCase(t.text, "AM") || EqualsNoCase(t.text, "PM")) {
                meridiem = EqualsNoCase(t.text, "AM") ? 1 : 2;
            } else if (int m = MatchName(t.text, kMonths.data(), 12); m && month == 0) {
                month = m;
                anyDate = true;
            } else if (!MatchName(t.text, kWeekdays.data(), 7)) {
                return *this = Invalid(), false;
            }
        } else if (t.kind == Token::Colon) {
            return *this = Invalid(), false;
        }
    }
    if (!anyDate && hour < 0) return *this = Invalid(), false;

    // A time alone falls on the zero date, December 30, 1899.
    int year = 1899, day = 30;
    if (!anyDate) month = 12;
    if (anyDate) {
        if (month) {
            // With a month name: the four-digit (or > 31) number is the year.
            if (numbers.size() == 1) {
                day = numbers[0].value;
                year = DateTime::Now().Year();
            } else if (numbers.size() == 2) {
                const bool firstIsYear = numbers[0].digits.size() > 2 || numbers[0].value > 31;
                const DateNumber& y = firstIsYear ? numbers[0] : numbers[1];
                day = (firstIsYear ? numbers[1] : numbers[0]).value;
                year = ExpandYear(y.digits, y.value);
            } else {
                return *this = Invalid(), false;
            }
        } else if (numbers.size() == 3) {
            if (numbers[0].digits.size() > 2) {  // 2004-03-05
                year = numbers[0].value;
                month = numbers[1].value;
                day = numbers[2].value;
            } else {  // 03/05/04, month first
                month = numbers[0].value;
                day = numbers[1].value;
                year = ExpandYear(numbers[2].digits, numbers[2].value);
            }
        } else if (numbers.size() == 2) {  // 03/05 of this year
            month = numbers[0].value;
            day = numbers[1].value;
            year = DateTime::Now().Year();
        } else {
            return *this = Invalid(), false;
        }
    }
    if (hour < 0) hour = 0;
    if (meridiem) {
        if (hour < 1 || hour > 12) return *this = Invalid(), false;
        hour = (hour % 12) + (meridiem == 2 ? 12 : 0);
    }
    *this = FromParts(year, month, day, hour, minute, second);
    return m_valid;
}

DateTime DateTime::AddSeconds(int64_t seconds) const {
    if (!m_valid) return *this;
    // Checked before adding: the sum itself could overflow.
    if (seconds > kMaxSeconds - m_seconds || seconds < kMinSeconds - m_seconds) return Invalid();
    DateTime t = *this;
    t.m_seconds += seconds;
    return t;
}

DateTime DateTime::DateOnly() const {
    if (!m_valid) return *this;
    DateTime t = *this;
    t.m_seconds = FloorDiv(m_seconds, 86400) * 86400;
    return t;
}

}  // namespace ph
