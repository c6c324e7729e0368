#pragma once
// The date period of the message list: a mode chosen from the View menu (or the tree's
// "Quick-View Period" menu) and the closed range start..end it stands for. Every period but
// Custom ends at 2020-01-01 00:00, not at the present moment, so mail dated later than that
// is outside all of them; only "All Dates" lists every date, because it does not test dates.
#include <optional>

#include "common/DateTime.h"

namespace ph {

enum PeriodMode : int {
    kPeriodAllDates = 0,
    kPeriodLast31Days = 1,
    kPeriodLast7Days = 2,
    kPeriodLast24Hours = 3,
    kPeriodCurrentWeek = 4,
    kPeriodLastWeek = 5,
    kPeriodCurrentMonth = 6,
    kPeriodLastMonth = 7,
    kPeriodLast60Days = 8,
    kPeriodCustom = 9,
};

// The range of "All Dates", which is also the document's range that loads every message.
DateTime AllDatesStart();
DateTime PeriodsEnd();

struct DatePeriod {
    int mode = kPeriodAllDates;
    DateTime start = AllDatesStart();
    DateTime end = PeriodsEnd();

    // Whether a message of that date is listed; an invalid date only under "All Dates".
    bool Contains(const DateTime& date) const;
};

// The menu text of a mode ("All Dates", ..., "Custom..."); null outside 0..9.
const char* PeriodMenuText(int mode);

// The period `mode` (0..8) counted back from `now`; nothing for Custom or an unknown mode,
// or when `now` is invalid.
std::optional<DatePeriod> PresetPeriod(int mode, const DateTime& now);
// The range the user entered, as it stands.
DatePeriod CustomPeriod(const DateTime& start, const DateTime& end);

}  // namespace ph
