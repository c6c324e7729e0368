#pragma once
// A local (zone-less) calendar date and time with one-second resolution, years 100 to 9999.
// Formatting uses English month and day names whatever the process locale, because the store
// keeps dates as text ("March 05, 2004 17:02:09") and must read them back on any machine.
#include <cstdint>
#include <string>
#include <string_view>

namespace ph {

class DateTime {
public:
    // The platform's zero date: December 30, 1899 00:00:00, valid.
    DateTime() = default;

    // An invalid value when any part is out of range.
    static DateTime FromParts(int year, int month, int day, int hour = 0, int minute = 0,
                              int second = 0);
    static DateTime Invalid();
    // The machine's local time now.
    static DateTime Now();
    static DateTime FromUnixLocal(int64_t unixSeconds);

    bool IsValid() const { return m_valid; }
    int Year() const;
    int Month() const;       // 1..12
    int Day() const;         // 1..31
    int Hour() const;        // 0..23
    int Minute() const;      // 0..59
    int Second() const;      // 0..59
    int DayOfWeek() const;   // 1 = Sunday .. 7 = Saturday

    // strftime-like: %Y %y %m %d %e %H %I %M %S %p %B %b %A %a %j %%; unknown conversions are
    // copied as they stand. An invalid value formats as the empty text.
    std::string Format(const char* format) const;
    // The store's form, "%B %d, %Y %H:%M:%S".
    std::string ToStoreText() const { return Format(kStoreFormat); }

    // Reads the texts the store and message dates produce: "March 05, 2004 17:02:09",
    // "March 05, 2004", "03/05/04 17:02:09", "03/05/04", "03/05" (this year), "2004-03-05",
    // "5 Mar 2004", an optional weekday name, "5:02 PM". A text with only a time gets the zero
    // date. On failure the value becomes invalid and false is returned.
    bool Parse(std::string_view text);

    DateTime AddSeconds(int64_t seconds) const;
    DateTime AddDays(int64_t days) const {
        // More days than the calendar spans would also overflow the product.
        constexpr int64_t kSpan = 4000000;
        return days > kSpan || days < -kSpan ? Invalid() : AddSeconds(days * 86400);
    }
    // Whole seconds from `earlier` to this value.
    int64_t SecondsSince(const DateTime& earlier) const { return m_seconds - earlier.m_seconds; }
    // Midnight of the same day.
    DateTime DateOnly() const;

    // Invalid values order before every valid one and equal each other.
    friend bool operator==(const DateTime& a, const DateTime& b) {
        return a.m_valid == b.m_valid && (!a.m_valid || a.m_seconds == b.m_seconds);
    }
    friend auto operator<=>(const DateTime& a, const DateTime& b) {
        if (a.m_valid != b.m_valid) return a.m_valid <=> b.m_valid;
        return a.m_valid ? a.m_seconds <=> b.m_seconds : std::strong_ordering::equal;
    }

    static constexpr const char* kStoreFormat = "%B %d, %Y %H:%M:%S";

private:
    // Seconds from 1970-01-01 00:00:00 of the proleptic Gregorian calendar, without a zone.
    int64_t m_seconds = -2209161600;  // 1899-12-30
    bool m_valid = true;
};

}  // namespace ph
