#include "report/datetime.h"

#include <gtest/gtest.h>

#include <QLocale>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using kvx::DirectoryTimeFormat;

TEST(DirectoryTimeFormat, TwoDigitYearsAreWidened) {
    EXPECT_EQ(DirectoryTimeFormat::widenYear("M/d/yy"), "M/d/yyyy");
    EXPECT_EQ(DirectoryTimeFormat::widenYear("dd.MM.yy"), "dd.MM.yyyy");
    EXPECT_EQ(DirectoryTimeFormat::widenYear("yy. M. d."), "yyyy. M. d.");
    EXPECT_EQ(DirectoryTimeFormat::widenYear("dd/MM/yyyy"), "dd/MM/yyyy");
    // Quoted text is literal and stays as it is.
    EXPECT_EQ(DirectoryTimeFormat::widenYear("d.MM.yy 'yy'"), "d.MM.yyyy 'yy'");
    EXPECT_EQ(DirectoryTimeFormat::widenYear("d.MM.yy '\xd0\xb3'."), "d.MM.yyyy '\xd0\xb3'.");
}

TEST(DirectoryTimeFormat, TimeKeepsHoursMinutesSecondsWithoutZone) {
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("h:mm:ss AP t"), "h:mm:ss AP");
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("HH:mm:ss t"), "HH:mm:ss");
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("t HH:mm:ss"), "HH:mm:ss");
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("H:mm:ss (t)"), "H:mm:ss");
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("HH:mm:ss tttt"), "HH:mm:ss");
    // Seconds are added after the minutes, with the minutes' separator.
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("HH:mm"), "HH:mm:ss");
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("H.mm"), "H.mm.ss");
    EXPECT_EQ(DirectoryTimeFormat::timeWithoutZone("h:mm AP"), "h:mm:ss AP");
}

// The test environment pins LC_ALL=C.UTF-8 and TZ=UTC.
TEST(DirectoryTimeFormat, SystemLocaleInUtc) {
    EXPECT_EQ(kvx::FormatDirectoryTime(0), "1 Jan 1970 00:00:00");
    EXPECT_EQ(kvx::FormatDirectoryTime(1000000000), "9 Sep 2001 01:46:40");
    EXPECT_EQ(kvx::FormatDirectoryTime(1700000000), "14 Nov 2023 22:13:20");
}

TEST(DirectoryTimeFormat, OtherLocalesWriteTheirOwnFormat) {
    const DirectoryTimeFormat us(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(us.format(1000000000), "9/9/2001 1:46:40 AM");
    EXPECT_EQ(us.format(1700000000), "11/14/2023 10:13:20 PM");
    const DirectoryTimeFormat de(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(de.format(1000000000), "09.09.2001 01:46:40");
}

// Every format reads its own text back, ordered like the times it shows.
TEST(DirectoryTimeFormat, RenderedTextsReadBackInOrder) {
    const std::vector<std::int64_t> times = {0,         1,          59,         3600,
                                             43199,     43200,      86399,      315532800,
                                             999999999, 1000000000, 1700000000, 4294967295};
    const QLocale locales[] = {
        QLocale::c(),
        QLocale(QLocale::English, QLocale::UnitedStates),
        QLocale(QLocale::German, QLocale::Germany),
        QLocale(QLocale::Japanese, QLocale::Japan),
        QLocale(QLocale::Korean, QLocale::SouthKorea),
        QLocale(QLocale::Finnish, QLocale::Finland),
        QLocale(QLocale::Bulgarian, QLocale::Bulgaria),
        QLocale(QLocale::Chinese, QLocale::China),
        QLocale(QLocale::Arabic, QLocale::Egypt),
        QLocale(QLocale::Persian, QLocale::Iran),
    };
    for (const QLocale& locale : locales) {
        const DirectoryTimeFormat format(locale);
        std::int64_t previous = kvx::TimeZeroKey;
        for (std::size_t i = 0; i < times.size(); ++i) {
            const std::string text = format.format(times[i]);
            std::int64_t key = 0;
            ASSERT_TRUE(format.read(text, &key)) << locale.name().toStdString() << " " << text;
            EXPECT_GT(key, previous) << locale.name().toStdString() << " " << text;
            if (i > 0) { // in UTC a key counts the seconds
                EXPECT_EQ(key - previous, times[i] - times[i - 1]) << text;
            }
            previous = key;
        }
    }
}

TEST(DirectoryTimeFormat, EmptyZeroAndUnreadableCellsComeBeforeEveryDate) {
    const DirectoryTimeFormat& format = DirectoryTimeFormat::system();
    EXPECT_EQ(format.sortKey(""), kvx::TimeZeroKey);
    EXPECT_EQ(format.sortKey("0"), kvx::TimeZeroKey);
    EXPECT_EQ(format.sortKey("not a date"), kvx::TimeZeroKey);
    EXPECT_EQ(format.sortKey("31 Feb 2001 00:00:00"), kvx::TimeZeroKey);
    EXPECT_EQ(format.sortKey("9 Sep 2001 25:46:40"), kvx::TimeZeroKey);
    EXPECT_EQ(format.sortKey("9 Sep 2001 01:46:40 trailing"), kvx::TimeZeroKey);
    EXPECT_GT(format.sortKey(format.format(0)), kvx::TimeZeroKey);
    // Locales with digits of their own read through Qt's parser, which refuses junk too.
    const DirectoryTimeFormat arabic(QLocale(QLocale::Arabic, QLocale::Egypt));
    EXPECT_EQ(arabic.sortKey("junk"), kvx::TimeZeroKey);
    EXPECT_EQ(arabic.sortKey(format.format(0)), kvx::TimeZeroKey); // another locale's text
    EXPECT_GT(arabic.sortKey(arabic.format(0)), kvx::TimeZeroKey);
    // Month names read without regard to case, as the locale might write them.
    EXPECT_EQ(format.sortKey("9 SEP 2001 01:46:40"), format.sortKey("9 Sep 2001 01:46:40"));
}

class PinnedTimeZone {
public:
    explicit PinnedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~PinnedTimeZone() {
        if (old_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", old_.c_str(), 1);
        tzset();
    }

private:
    std::string old_;
};

TEST(DirectoryTimeFormat, LocalTimeFollowsTheTimeZoneAndDaylightSaving) {
    const DirectoryTimeFormat format(QLocale::c());
    {
        PinnedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(format.format(1000000000), "9 Sep 2001 03:46:40");  // summer: UTC+2
        EXPECT_EQ(format.format(1700000000), "14 Nov 2023 23:13:20"); // winter: UTC+1
        EXPECT_EQ(format.format(0), "1 Jan 1970 01:00:00");
    }
    {
        PinnedTimeZone west("EST5");
        EXPECT_EQ(format.format(0), "31 Dec 1969 19:00:00");
        // Still a real date: after an empty cell.
        EXPECT_GT(format.sortKey(format.format(0)), format.sortKey(""));
        EXPECT_LT(format.sortKey(format.format(0)), format.sortKey(format.format(1)));
    }
    EXPECT_EQ(format.format(1000000000), "9 Sep 2001 01:46:40");
}

} // namespace
