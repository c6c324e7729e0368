#include "app/DatePeriod.h"

#include <array>

namespace ph {
namespace {

constexpr std::array<const char*, 10> kMenuTexts = {
    "All Dates", "Last 31 Days",  "Last 7 Days", "Last 24 Hours", "Current Week",
    "Last Week", "Current Month", "Last Month",  "Last 60 Days",  "Custom...",
};

// Back from today's midnight to the first of its month.
DateTime FirstOfMonth(const DateTime& midnight) {
    return midnight.Day() > 1 ? midnight.AddDays(-(midnight.Day() - 1)) : midnight;
}

// The first day of the month before the one of `today`, at 00:00. Counted in days, never by
// month arithmetic, so that month lengths need no table.
DateTime LastMonthStart(const DateTime& today) {
    return FirstOfMonth(FirstOfMonth(today).AddDays(-1));
}

}  // namespace

DateTime AllDatesStart() {
    return DateTime::FromParts(1985, 1, 1);
}
DateTime PeriodsEnd() {
    return DateTime::FromParts(2020, 1, 1);
}

bool DatePeriod::Contains(const DateTime& date) const {
    return mode == kPeriodAllDates || (date.IsValid() && date >= start && date <= end);
}

const char* PeriodMenuText(int mode) {
    return mode >= 0 && mode < static_cast<int>(kMenuTexts.size()) ? kMenuTexts[mode] : nullptr;
}

std::optional<DatePeriod> PresetPeriod(int mode, const DateTime& now) {
    if (!now.IsValid()) return std::nullopt;
    const DateTime today = now.DateOnly();
    DatePeriod period;
    period.mode = mode;
    switch (mode) {
        case kPeriodAllDates:
            return period;
        case kPeriodLast31Days:
            period.start = today.AddDays(-31);
            break;
        case kPeriodLast7Days:
            period.start = today.AddDays(-7);
            break;
        case kPeriodLast24Hours:
            period.start = now.AddSeconds(-24 * 3600);
            break;
        case kPeriodCurrentWeek:
            period.start = today.AddDays(-(today.DayOfWeek() - 1));
            break;
        case kPeriodLastWeek:
            period.start = today.AddDays(-(today.DayOfWeek() + 6));
            break;
        case kPeriodCurrentMonth:
            period.start = FirstOfMonth(today);
            break;
        case kPeriodLastMonth:
            period.start = LastMonthStart(today);
            break;
        case kPeriodLast60Days:
            period.start = today.AddDays(-60);
            break;
        default:
            return std::nullopt;
    }
    return period;
}

DatePeriod CustomPeriod(const DateTime& start, const DateTime& end) {
    return {kPeriodCustom, start, end};
}

}  // namespace ph
