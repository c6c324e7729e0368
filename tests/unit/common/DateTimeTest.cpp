#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace ph {
namespace {

DateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return DateTime::FromParts(y, mo, d, h, mi, s);
}

// Switches the process to a non-English locale when the machine has one, so that any reliance on
// the C library's month names would show; restores the previous locale afterwards.
class ForeignLocale {
  public:
    ForeignLocale() {
        m_saved = std::setlocale(LC_ALL, nullptr);
        for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "ru_RU.UTF-8",
                                 "de_DE", "fr_FR", "C.UTF-8", "C"}) {
            if (std::setlocale(LC_ALL, name)) {
                m_active = name;
                break;
            }
        }
    }
    ~ForeignLocale() { std::setlocale(LC_ALL, m_saved.c_str()); }
    const std::string& Active() const { return m_active; }

  private:
    std::string m_saved;
    std::string m_active;
};

TEST(DateTimeFormat, WritesEnglishNamesAndPaddedFieldsInAnyLocale) {
    ForeignLocale locale;
    struct Case {
        const char* name;
        DateTime value;
        const char* format;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"store form", At(2004, 3, 5, 17, 2, 9), DateTime::kStoreFormat, "March 05, 2004 17:02:09"},
        {"numeric fields", At(2004, 3, 5, 7, 2, 9), "%y/%m/%d %H:%M:%S", "04/03/05 07:02:09"},
        {"blank padded day", At(2004, 3, 5), "[%e]", "[ 5]"},
        {"afternoon on the 12-hour clock", At(2004, 3, 5, 17, 2), "%I:%M %p", "05:02 PM"},
        {"midnight is 12 AM", At(2004, 3, 5, 0, 30), "%I:%M %p", "12:30 AM"},
        {"noon is 12 PM", At(2004, 3, 5, 12, 0), "%I %p", "12 PM"},
        {"short and long names", At(2004, 9, 5), "%a %A %b %B", "Sun Sunday Sep September"},
        {"day of year after a leap day", At(2004, 3, 5), "%j", "065"},
        {"last day of a leap year", At(2004, 12, 31), "%j", "366"},
        {"year 100 is not padded", At(100, 1, 1), "%Y|%y", "100|00"},
        {"percent escapes and unknown conversions", At(2004, 3, 5), "100%% %Q %", "100% %Q %"},
        {"invalid value", DateTime::Invalid(), DateTime::kStoreFormat, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.value.Format(c.format), c.expected) << c.name << " in " << locale.Active();
    }
}

TEST(DateTimeParse, ReadsEveryTextFormTheStoreAndMessagesUse) {
    struct Case {
        const char* name;
        const char* text;
        DateTime expected;
    };
    const std::vector<Case> cases = {
        {"store form", "March 05, 2004 17:02:09", At(2004, 3, 5, 17, 2, 9)},
        {"store date only", "March 05, 2004", At(2004, 3, 5)},
        {"month names ignore case", "mARCH 05, 2004", At(2004, 3, 5)},
        {"slashed with time", "03/05/04 17:02:09", At(2004, 3, 5, 17, 2, 9)},
        {"slashed date", "03/05/04", At(2004, 3, 5)},
        {"slashed four-digit year", "3/5/2004", At(2004, 3, 5)},
        {"iso date", "2004-03-05", At(2004, 3, 5)},
        {"day before month name", "5 Mar 2004", At(2004, 3, 5)},
        {"message date with weekday", "Fri, 5 Mar 2004 17:02:09", At(2004, 3, 5, 17, 2, 9)},
        {"long weekday", "Friday, March 05, 2004", At(2004, 3, 5)},
        {"hours and minutes only", "March 05, 2004 17:02", At(2004, 3, 5, 17, 2)},
        {"12-hour clock with a date", "5 Mar 04 5:02 pm", At(2004, 3, 5, 17, 2)},
        {"time alone gets the zero date", "5:02 PM", At(1899, 12, 30, 17, 2)},
        {"12 AM is midnight", "12:15 AM", At(1899, 12, 30, 0, 15)},
        {"12 PM is noon", "12:15 PM", At(1899, 12, 30, 12, 15)},
        {"two-digit year 00", "01/01/00", At(2000, 1, 1)},
        {"two-digit year 29", "12/31/29", At(2029, 12, 31)},
        {"two-digit year 30", "01/01/30", At(1930, 1, 1)},
        {"two-digit year 99", "12/31/99", At(1999, 12, 31)},
        {"leap day", "02/29/2000", At(2000, 2, 29)},
    };
    for (const Case& c : cases) {
        DateTime parsed;
        EXPECT_TRUE(parsed.Parse(c.text)) << c.name;
        EXPECT_EQ(parsed.ToStoreText(), c.expected.ToStoreText()) << c.name;
    }
}

TEST(DateTimeParse, MonthAndDayAloneMeanThisYear) {
    DateTime parsed;
    ASSERT_TRUE(parsed.Parse("03/05"));
    EXPECT_EQ(parsed.Year(), DateTime::Now().Year());
    EXPECT_EQ(parsed.Month(), 3);
    EXPECT_EQ(parsed.Day(), 5);
}

TEST(DateTimeParse, RejectsMalformedTextAndLeavesTheValueInvalid) {
    struct Case {
        const char* name;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"blanks only", "  ,  "},
        {"garbage word", "hello"},
        {"trailing garbage", "March 05, 2004 soon"},
        {"month name alone", "March"},
        {"single number", "2004"},
        {"month 13", "13/05/04"},
        {"month 0", "00/05/04"},
        {"February 30", "02/30/2004"},
        {"February 29 of a common century", "02/29/2100"},
        {"April 31", "April 31, 2004"},
        {"hour 25", "03/05/04 25:00"},
        {"minute 60", "03/05/04 12:60"},
        {"second 60", "03/05/04 12:00:60"},
        {"colon alone", ":"},
        {"colon without minutes", "03/05/04 12:"},
        {"colon without hours", "03/05/04 :30"},
        {"two times", "12:00 13:00"},
        {"13 PM", "13:00 PM"},
        {"0 AM", "0:30 AM"},
        {"four date numbers", "1/2/3/4"},
        {"five-digit number", "12345-01-01"},
        {"year before 100", "0099-01-01"},
        {"three-digit two-digit year", "01/01/004"},
    };
    for (const Case& c : cases) {
        DateTime parsed = At(2004, 3, 5);
        EXPECT_FALSE(parsed.Parse(c.text)) << c.name;
        EXPECT_FALSE(parsed.IsValid()) << c.name;
        EXPECT_EQ(parsed.ToStoreText(), "") << c.name;
    }
}

TEST(DateTimeParse, SurvivesHostileInput) {
    std::string allBytes;
    for (int i = 1; i < 256; ++i) allBytes += static_cast<char>(i);
    std::string manyTimes, manyNumbers, manyMonths;
    for (int i = 0; i < 100000; ++i) {
        manyTimes += "1:2 ";
        manyNumbers += "1/";
        manyMonths += "Mar ";
    }
    const std::vector<std::string> inputs = {
        std::string(1 << 20, 'a'),
        std::string(1 << 20, '9'),
        std::string(1 << 20, ':'),
        "99999999999999999999999999:00",
        "1:99999999999999999999999999",
        "03/05/04 -2147483648:00",
        manyTimes,
        manyNumbers,
        manyMonths,
        allBytes,
    };
    for (const std::string& text : inputs) {
        DateTime parsed;
        EXPECT_FALSE(parsed.Parse(text)) << text.substr(0, 40);
    }
}

TEST(DateTimeParse, ReadsBackTheStoreFormAcrossTheWholeRange) {
    struct Case {
        int y, mo, d, h, mi, s;
    };
    const std::vector<Case> cases = {
        {100, 1, 1, 0, 0, 0},       {100, 12, 31, 23, 59, 59},  {1600, 2, 29, 6, 7, 8},
        {1899, 12, 30, 17, 2, 9},   {1900, 2, 28, 23, 59, 59},  {1969, 12, 31, 23, 59, 59},
        {1970, 1, 1, 0, 0, 0},      {1999, 12, 31, 23, 59, 59}, {2000, 2, 29, 12, 0, 0},
        {2004, 3, 5, 17, 2, 9},     {2029, 1, 1, 0, 0, 1},      {2100, 3, 1, 1, 1, 1},
        {9999, 12, 31, 23, 59, 59},
    };
    for (const Case& c : cases) {
        const DateTime original = At(c.y, c.mo, c.d, c.h, c.mi, c.s);
        ASSERT_TRUE(original.IsValid()) << c.y << "-" << c.mo << "-" << c.d;
        EXPECT_EQ(original.Year(), c.y);
        EXPECT_EQ(original.Month(), c.mo);
        EXPECT_EQ(original.Day(), c.d);
        EXPECT_EQ(original.Hour(), c.h);
        EXPECT_EQ(original.Minute(), c.mi);
        EXPECT_EQ(original.Second(), c.s);
        const std::string text = original.ToStoreText();
        DateTime parsed;
        EXPECT_TRUE(parsed.Parse(text)) << text;
        EXPECT_EQ(parsed, original) << text;
    }
}

TEST(DateTimeFromParts, RejectsOutOfRangeParts) {
    struct Case {
        const char* name;
        int y, mo, d, h, mi, s;
    };
    const std::vector<Case> cases = {
        {"year 99", 99, 12, 31, 0, 0, 0},        {"year 10000", 10000, 1, 1, 0, 0, 0},
        {"month 0", 2004, 0, 1, 0, 0, 0},        {"month 13", 2004, 13, 1, 0, 0, 0},
        {"day 0", 2004, 1, 0, 0, 0, 0},          {"June 31", 2004, 6, 31, 0, 0, 0},
        {"Feb 29 common", 2003, 2, 29, 0, 0, 0}, {"Feb 29 of 1900", 1900, 2, 29, 0, 0, 0},
        {"hour 24", 2004, 1, 1, 24, 0, 0},       {"minute -1", 2004, 1, 1, 0, -1, 0},
        {"second 60", 2004, 1, 1, 0, 0, 60},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(At(c.y, c.mo, c.d, c.h, c.mi, c.s).IsValid()) << c.name;
    }
}

TEST(DateTimeArithmetic, AddsAcrossMonthYearAndLeapBoundaries) {
    struct Case {
        const char* name;
        DateTime start;
        int64_t seconds;
        DateTime expected;
    };
    const std::vector<Case> cases = {
        {"into a leap day", At(2004, 2, 28), 86400, At(2004, 2, 29)},
        {"out of a leap day", At(2004, 2, 29), 86400, At(2004, 3, 1)},
        {"common February", At(2003, 2, 28), 86400, At(2003, 3, 1)},
        {"1900 is not leap", At(1900, 2, 28), 86400, At(1900, 3, 1)},
        {"2000 is leap", At(2000, 2, 28), 86400, At(2000, 2, 29)},
        {"back over a leap day", At(2004, 3, 1), -86400, At(2004, 2, 29)},
        {"last second of a year", At(1999, 12, 31, 23, 59, 59), 1, At(2000, 1, 1)},
        {"first second of a year backwards", At(2000, 1, 1), -1, At(1999, 12, 31, 23, 59, 59)},
        {"a leap year of days", At(2004, 1, 1), 366 * 86400LL, At(2005, 1, 1)},
        {"across the Unix epoch", At(1969, 12, 31, 12), 86400, At(1970, 1, 1, 12)},
        {"from the zero date", At(1899, 12, 30), 2 * 86400, At(1900, 1, 1)},
        {"end of a month by seconds", At(2004, 4, 30, 23, 0), 3600, At(2004, 5, 1)},
        {"to the last moment", At(9999, 12, 31), 86399, At(9999, 12, 31, 23, 59, 59)},
        {"past the last moment", At(9999, 12, 31, 23, 59, 59), 1, DateTime::Invalid()},
        {"before the first moment", At(100, 1, 1), -1, DateTime::Invalid()},
        {"huge forward", At(2004, 3, 5), std::numeric_limits<int64_t>::max(), DateTime::Invalid()},
        {"huge backward", At(2004, 3, 5), std::numeric_limits<int64_t>::min(), DateTime::Invalid()},
        {"invalid stays invalid", DateTime::Invalid(), 86400, DateTime::Invalid()},
    };
    for (const Case& c : cases) {
        const DateTime moved = c.start.AddSeconds(c.seconds);
        EXPECT_EQ(moved.ToStoreText(), c.expected.ToStoreText()) << c.name;
        EXPECT_EQ(moved, c.expected) << c.name;
        if (c.expected.IsValid()) {
            EXPECT_EQ(moved.SecondsSince(c.start), c.seconds) << c.name;
        }
        if (c.seconds % 86400 == 0) {
            EXPECT_EQ(c.start.AddDays(c.seconds / 86400), c.expected) << c.name;
        }
    }
    EXPECT_FALSE(At(2004, 3, 5).AddDays(std::numeric_limits<int64_t>::max()).IsValid());
    EXPECT_FALSE(At(2004, 3, 5).AddDays(std::numeric_limits<int64_t>::min()).IsValid());
}

TEST(DateTimeCalendar, DayOfWeekCountsFromSunday) {
    struct Case {
        const char* name;
        DateTime value;
        int expected;
    };
    const std::vector<Case> cases = {
        {"Friday", At(2004, 3, 5, 23, 59, 59), 6},
        {"Sunday", At(2004, 3, 7), 1},
        {"Unix epoch Thursday", At(1970, 1, 1), 5},
        {"Wednesday before the epoch", At(1969, 12, 31, 23, 59, 59), 4},
        {"zero date Saturday", DateTime(), 7},
        {"leap day Thursday", At(2024, 2, 29), 5},
        {"first day Saturday", At(100, 1, 1), 6},
        {"last day Friday", At(9999, 12, 31), 6},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.value.DayOfWeek(), c.expected) << c.name;
    }
}

TEST(DateTimeCalendar, DateOnlyDropsTheTimeOnBothSidesOfTheEpoch) {
    EXPECT_EQ(At(2004, 3, 5, 17, 2, 9).DateOnly(), At(2004, 3, 5));
    EXPECT_EQ(At(1969, 12, 31, 23, 59, 59).DateOnly(), At(1969, 12, 31));
    EXPECT_EQ(At(1899, 12, 30, 0, 0, 1).DateOnly(), DateTime());
    EXPECT_FALSE(DateTime::Invalid().DateOnly().IsValid());
}

TEST(DateTimeOrder, InvalidSortsFirstAndValuesOrderByTime) {
    EXPECT_LT(DateTime::Invalid(), At(100, 1, 1));
    EXPECT_EQ(DateTime::Invalid(), DateTime::Invalid());
    EXPECT_NE(DateTime::Invalid(), DateTime());
    EXPECT_LT(At(1969, 12, 31, 23, 59, 59), At(1970, 1, 1));
    EXPECT_LT(At(2004, 3, 5, 17, 2, 8), At(2004, 3, 5, 17, 2, 9));
    EXPECT_GT(At(9999, 12, 31), At(2004, 3, 5));
}

}  // namespace
}  // namespace ph
