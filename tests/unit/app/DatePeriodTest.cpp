#include <gtest/gtest.h>

#include "app/DatePeriod.h"
#include "app/ViewSwitches.h"
#include "model/Profile.h"
#include "unit/model/ScratchDir.h"

namespace ph {
namespace {

DateTime At(int y, int m, int d, int hh = 0, int mm = 0) {
    return DateTime::FromParts(y, m, d, hh, mm);
}

TEST(DatePeriod, StartsCountBackFromNow) {
    struct Case {
        const char* name;
        int mode;
        DateTime now;
        DateTime start;
    };
    const Case cases[] = {
        {"AllDatesIgnoresNow", kPeriodAllDates, At(2004, 6, 9, 15), At(1985, 1, 1)},
        {"Last31DaysFromMidnight", kPeriodLast31Days, At(2004, 3, 10, 15, 30), At(2004, 2, 8)},
        {"Last31DaysOverTheYear", kPeriodLast31Days, At(2005, 1, 15, 8), At(2004, 12, 15)},
        {"Last7DaysOverTheMonth", kPeriodLast7Days, At(2004, 3, 3, 23, 59), At(2004, 2, 25)},
        {"Last24HoursKeepsTheTime", kPeriodLast24Hours, At(2004, 3, 1, 10, 15),
         At(2004, 2, 29, 10, 15)},
        {"CurrentWeekOnSundayIsToday", kPeriodCurrentWeek, At(2004, 3, 7, 18), At(2004, 3, 7)},
        {"CurrentWeekOnSaturday", kPeriodCurrentWeek, At(2004, 3, 13, 9), At(2004, 3, 7)},
        {"CurrentWeekOverTheYear", kPeriodCurrentWeek, At(2005, 1, 1, 9), At(2004, 12, 26)},
        {"LastWeekOnSunday", kPeriodLastWeek, At(2004, 3, 7, 18), At(2004, 2, 29)},
        {"LastWeekOnWednesday", kPeriodLastWeek, At(2004, 3, 10), At(2004, 2, 29)},
        {"CurrentMonthOnTheFirst", kPeriodCurrentMonth, At(2004, 5, 1, 12), At(2004, 5, 1)},
        {"CurrentMonthOnTheLast", kPeriodCurrentMonth, At(2004, 5, 31, 12), At(2004, 5, 1)},
        {"LastMonthOnMarchFirst", kPeriodLastMonth, At(2004, 3, 1, 12), At(2004, 2, 1)},
        {"LastMonthOnMarchLast", kPeriodLastMonth, At(2005, 3, 31), At(2005, 2, 1)},
        {"LastMonthInJanuary", kPeriodLastMonth, At(2005, 1, 20, 7), At(2004, 12, 1)},
        {"LastMonthOnJanuaryFirst", kPeriodLastMonth, At(2005, 1, 1), At(2004, 12, 1)},
        {"Last60DaysOverTheYear", kPeriodLast60Days, At(2005, 2, 1, 6), At(2004, 12, 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<DatePeriod> period = PresetPeriod(c.mode, c.now);
        ASSERT_TRUE(period.has_value());
        EXPECT_EQ(period->mode, c.mode);
        EXPECT_EQ(period->start.ToStoreText(), c.start.ToStoreText());
        EXPECT_EQ(period->end.ToStoreText(), "January 01, 2020 00:00:00");
    }
}

TEST(DatePeriod, NoPresetForCustomUnknownModesOrAnInvalidNow) {
    const DateTime now = At(2004, 3, 10);
    for (int mode : {static_cast<int>(kPeriodCustom), -1, 10})
        EXPECT_FALSE(PresetPeriod(mode, now).has_value()) << mode;
    EXPECT_FALSE(PresetPeriod(kPeriodLast7Days, DateTime::Invalid()).has_value());
    EXPECT_STREQ(PeriodMenuText(kPeriodLastMonth), "Last Month");
    EXPECT_EQ(PeriodMenuText(10), nullptr);
}

TEST(DatePeriod, MailAfterTwentyTwentyIsOutsideEveryPresetButAllDates) {
    const DateTime now = At(2019, 12, 31, 23);
    const DateTime late = At(2020, 1, 1, 0, 1);
    const DateTime recent = At(2019, 12, 31, 12);
    for (int mode = kPeriodAllDates; mode < kPeriodCustom; ++mode) {
        const DatePeriod period = *PresetPeriod(mode, now);
        EXPECT_EQ(period.Contains(late), mode == kPeriodAllDates) << PeriodMenuText(mode);
        EXPECT_TRUE(period.Contains(recent)) << PeriodMenuText(mode);
    }
}

TEST(DatePeriod, CustomRangeIsClosedAndRefusesInvalidDates) {
    const DatePeriod period = CustomPeriod(At(2021, 5, 1), At(2021, 5, 31));
    struct Case {
        DateTime date;
        bool inside;
    };
    const Case cases[] = {{At(2021, 5, 1), true},
                          {At(2021, 5, 31), true},
                          {At(2021, 4, 30, 23, 59), false},
                          {At(2021, 5, 31, 0, 1), false},
                          {DateTime::Invalid(), false}};
    for (const Case& c : cases)
        EXPECT_EQ(period.Contains(c.date), c.inside) << c.date.ToStoreText();
    EXPECT_TRUE(DatePeriod().Contains(DateTime::Invalid())) << "All Dates tests no date";
}

TEST(ViewSwitches, ReadFromTheirKeysWithTheirDefaults) {
    test::ScratchDir dir;
    Profile profile(dir / "p.ini");
    const ViewSwitches defaults = ReadViewSwitches(profile);
    EXPECT_TRUE(defaults.ShowNotOnServer && defaults.ShowOld && defaults.ShowRead &&
                defaults.ShowUnread);
    EXPECT_FALSE(defaults.ShowHidden);

    for (const ViewSwitchInfo& info : kViewSwitches) {
        SCOPED_TRACE(info.key);
        ASSERT_TRUE(profile.WriteInt(info.key, info.defaultOn ? 0 : 7));
        const ViewSwitches read = ReadViewSwitches(profile);
        for (const ViewSwitchInfo& other : kViewSwitches)
            EXPECT_EQ(read.*other.member, &other == &info ? !other.defaultOn : other.defaultOn)
                << other.key;
        ASSERT_TRUE(profile.WriteInt(info.key, info.defaultOn ? 1 : 0));
    }
}

TEST(ViewSwitches, ToggleInvertsAndWritesAtOnce) {
    test::ScratchDir dir;
    Profile profile(dir / "p.ini");
    ASSERT_TRUE(profile.WriteString("order", "3"));
    ViewSwitches switches = ReadViewSwitches(profile);
    for (const ViewSwitch which : {ViewSwitch::Unread, ViewSwitch::Hidden, ViewSwitch::Unread}) {
        const bool before = switches.Get(which);
        ASSERT_TRUE(ToggleViewSwitch(switches, which, profile));
        EXPECT_EQ(switches.Get(which), !before);
        // Another profile object on the same file sees the new value at once.
        EXPECT_EQ(ReadViewSwitches(Profile(profile.Path())).Get(which), !before)
            << InfoOf(which).key;
    }
    EXPECT_EQ(Profile(profile.Path()).GetInt("order", -1), 3);
}

}  // namespace
}  // namespace ph
