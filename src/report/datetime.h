// Local date and time of directory time values, and their read-back for sorting.
//
// A time value is written as the locale's short date (a two-digit year widened to four digits so
// the text reads back into the right century), one blank, and the locale's time with hours,
// minutes and seconds but no time-zone name. Sorting reads such a cell back with the same two
// formats into a key that orders like the local date and time it shows.
#pragma once

#include "directory/client/nwdsclient.h"

#include <QLocale>
#include <QString>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

// Sort key of an empty cell, of "0" and of a cell that does not read as a date and time: before
// every real date.
constexpr std::int64_t TimeZeroKey = std::numeric_limits<std::int64_t>::min();

class DirectoryTimeFormat {
public:
    explicit DirectoryTimeFormat(const QLocale& locale);

    // The formats for QLocale::system(), made once and made again if the system locale changes.
    static const DirectoryTimeFormat& system();

    const QLocale& locale() const { return m_locale; }
    const QString& dateFormat() const { return m_dateFormat; }
    const QString& timeFormat() const { return m_timeFormat; }

    // Seconds since 1970-01-01 00:00:00 UTC, as local date and time text (UTF-8).
    std::string format(std::int64_t secondsSinceEpoch) const;

    // Sort key of a cell: the local date and time it shows as seconds counted from a fixed day
    // (wall-clock time, so it orders as the text reads), or TimeZeroKey.
    std::int64_t sortKey(std::string_view text) const;

    // Like sortKey, but false when the text is not a date and time ("0" and "" are not).
    bool read(std::string_view text, std::int64_t* key) const;

    // Helpers, public for tests: a short date format with its two-digit year widened, and a long
    // time format without time-zone tokens and with seconds.
    static QString widenYear(const QString& dateFormat);
    static QString timeWithoutZone(const QString& timeFormat);

    struct Token {
        char letter = 0; // format letter, or 0 for literal text
        int count = 0;   // how many times the letter repeats
        QString text;    // literal text (letter 0) as it appears in the output
    };

private:
    bool readFast(const QString& text, std::int64_t* key) const;
    // Writes the text without going through QDateTime and QLocale, which cost more than the
    // rest of a report's work per value; used only where it was checked to agree with Qt.
    bool formatFast(std::int64_t secondsSinceEpoch, std::string& out) const;
    void prepareFastFormat();

    struct FastToken {
        char letter = 0;
        int count = 0;
        std::string text;
    };
    std::vector<FastToken> m_fastTokens;
    std::string m_fastMonths[2][12];  // long, short
    std::string m_fastDays[2][7];     // long, short; Monday first
    std::string m_fastMeridiem[2][2]; // [upper/lower][am/pm]
    bool m_fast = false;

    QLocale m_locale;
    QString m_dateFormat;
    QString m_timeFormat;
    QString m_fullFormat;
    std::vector<Token> m_tokens;
    QStringList m_monthNames[2]; // long, short (1..12 at 0..11)
    QStringList m_dayNames[2];   // long, short
    QString m_am, m_pm;
    bool m_needsQtParser = false;
};

// Rendering of a Time (or Timestamp) value in the system locale and local time zone.
std::string FormatDirectoryTime(std::int64_t secondsSinceEpoch);

// Sort key of a date-and-time cell in the system locale.
std::int64_t DateSortKey(std::string_view text);

} // namespace kvx
