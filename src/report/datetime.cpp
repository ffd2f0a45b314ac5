#include "report/datetime.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <atomic>
#include <chrono>

#include <cstdio>
#include <ctime>
#include <memory>

namespace kvx {

namespace {

using Token = DirectoryTimeFormat::Token;

struct SourcedToken {
    Token token;
    QString source;         // the token as it is written in the format
    bool rewritten = false; // literal text changed: write it from `token.text`
};

bool isFormatLetter(QChar c) {
    switch (c.unicode()) {
    case 'd':
    case 'M':
    case 'y':
    case 'h':
    case 'H':
    case 'm':
    case 's':
    case 'z':
    case 't':
    case 'a':
    case 'A':
        return true;
    default:
        return false;
    }
}

// Splits a Qt date/time format into tokens, keeping each token's source text so a format can be
// rebuilt after a change. Quoted text ('...', with '' for one quote) is literal.
std::vector<SourcedToken> tokenize(const QString& format) {
    std::vector<SourcedToken> tokens;
    auto appendLiteral = [&](const QString& text, const QString& source) {
        if (!tokens.empty() && tokens.back().token.letter == 0) {
            tokens.back().token.text += text;
            tokens.back().source += source;
        } else {
            SourcedToken t;
            t.token.text = text;
            t.source = source;
            tokens.push_back(t);
        }
    };
    const qsizetype n = format.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = format.at(i);
        if (c == u'\'') {
            qsizetype j = i + 1;
            QString text;
            if (j < n && format.at(j) == u'\'') { // '' outside quotes is one quote
                appendLiteral(QStringLiteral("'"), format.mid(i, 2));
                i += 2;
                continue;
            }
            while (j < n) {
                if (format.at(j) == u'\'') {
                    if (j + 1 < n && format.at(j + 1) == u'\'') {
                        text += u'\'';
                        j += 2;
                        continue;
                    }
                    break;
                }
                text += format.at(j);
                ++j;
            }
            const qsizetype end = j < n ? j + 1 : n; // an unclosed quote runs to the end
            appendLiteral(text, format.mid(i, end - i));
            i = end;
            continue;
        }
        if (isFormatLetter(c)) {
            SourcedToken t;
            if (c == u'a' || c == u'A') {
                // "AP" / "ap" / "A" / "a": the AM/PM marker
                qsizetype len = 1;
                if (i + 1 < n && (format.at(i + 1) == u'p' || format.at(i + 1) == u'P'))
                    len = 2;
                t.token.letter = static_cast<char>(c.unicode());
                t.token.count = 1;
                t.source = format.mid(i, len);
                tokens.push_back(t);
                i += len;
                continue;
            }
            qsizetype j = i;
            while (j < n && format.at(j) == c)
                ++j;
            t.token.letter = static_cast<char>(c.unicode());
            t.token.count = static_cast<int>(j - i);
            t.source = format.mid(i, j - i);
            tokens.push_back(t);
            i = j;
            continue;
        }
        appendLiteral(QString(c), QString(c));
        ++i;
    }
    return tokens;
}

// Writes literal text so that it reads back as literal in a Qt format.
QString quoteLiteral(const QString& text) {
    bool needsQuotes = false;
    for (QChar c : text) {
        if (c.isLetter() || c == u'\'')
            needsQuotes = true;
    }
    if (!needsQuotes)
        return text;
    QString quoted = QStringLiteral("'");
    for (QChar c : text) {
        if (c == u'\'')
            quoted += QStringLiteral("''");
        else
            quoted += c;
    }
    quoted += u'\'';
    return quoted;
}

QString rebuild(const std::vector<SourcedToken>& tokens) {
    QString format;
    for (const SourcedToken& t : tokens)
        format += t.token.letter == 0 && (t.rewritten || t.source.isEmpty())
                      ? quoteLiteral(t.token.text)
                      : t.source;
    return format;
}

// Reads 1 to `maxDigits` ASCII digits at `pos`.
bool readNumber(const QString& text, qsizetype& pos, int maxDigits, int* value) {
    int digits = 0;
    int v = 0;
    while (digits < maxDigits && pos < text.size() && text.at(pos) >= u'0' &&
           text.at(pos) <= u'9') {
        v = v * 10 + (text.at(pos).unicode() - u'0');
        ++pos;
        ++digits;
    }
    *value = v;
    return digits > 0;
}

// Matches the longest of `names` at `pos` without regard to case; its index, or -1.
int matchName(const QString& text, qsizetype& pos, const QStringList& names) {
    int best = -1;
    qsizetype bestLen = 0;
    for (int k = 0; k < names.size(); ++k) {
        const QString& name = names.at(k);
        if (name.isEmpty() || name.size() <= bestLen)
            continue;
        if (QStringView(text).mid(pos).startsWith(name, Qt::CaseInsensitive)) {
            best = k;
            bestLen = name.size();
        }
    }
    if (best >= 0)
        pos += bestLen;
    return best;
}

std::int64_t wallClockKey(const QDate& date, const QTime& time) {
    return date.toJulianDay() * 86400 + time.msecsSinceStartOfDay() / 1000;
}

} // namespace

DirectoryTimeFormat::DirectoryTimeFormat(const QLocale& locale)
    : m_locale(locale), m_dateFormat(widenYear(locale.dateFormat(QLocale::ShortFormat))),
      m_timeFormat(timeWithoutZone(locale.timeFormat(QLocale::LongFormat))),
      m_fullFormat(m_dateFormat + u' ' + m_timeFormat) {
    for (const SourcedToken& t : tokenize(m_fullFormat))
        m_tokens.push_back(t.token);
    for (int month = 1; month <= 12; ++month) {
        m_monthNames[0] << locale.monthName(month, QLocale::LongFormat)
                        << locale.standaloneMonthName(month, QLocale::LongFormat);
        m_monthNames[1] << locale.monthName(month, QLocale::ShortFormat)
                        << locale.standaloneMonthName(month, QLocale::ShortFormat);
    }
    for (int day = 1; day <= 7; ++day) {
        m_dayNames[0] << locale.dayName(day, QLocale::LongFormat)
                      << locale.standaloneDayName(day, QLocale::LongFormat);
        m_dayNames[1] << locale.dayName(day, QLocale::ShortFormat)
                      << locale.standaloneDayName(day, QLocale::ShortFormat);
    }
    m_am = locale.amText();
    m_pm = locale.pmText();
    // The fast reader knows ASCII digits and the tokens above; only other locales need Qt's
    // slower parser, so that a column of text that is no date stays quick to sort.
    m_needsQtParser = locale.zeroDigit() != QStringLiteral("0");
    for (const Token& t : m_tokens) {
        if (t.letter == 't')
            m_needsQtParser = true;
    }
    prepareFastFormat();
}

void DirectoryTimeFormat::prepareFastFormat() {
    m_fast = false;
    if (m_needsQtParser)
        return;
    for (const Token& t : m_tokens) {
        const bool known =
            (t.letter == 0) || (t.letter == 'd' && t.count <= 4) ||
            (t.letter == 'M' && t.count <= 4) ||
            (t.letter == 'y' && (t.count == 2 || t.count == 4)) ||
            ((t.letter == 'h' || t.letter == 'H' || t.letter == 'm' || t.letter == 's') &&
             t.count <= 2) ||
            ((t.letter == 'a' || t.letter == 'A') && t.count == 1);
        if (!known)
            return;
        m_fastTokens.push_back({t.letter, t.count, t.text.toStdString()});
    }
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < 12; ++i)
            m_fastMonths[k][i] = m_monthNames[k].value(i * 2).toStdString();
        for (int i = 0; i < 7; ++i)
            m_fastDays[k][i] = m_dayNames[k].value(i * 2).toStdString();
    }
    m_fastMeridiem[0][0] = m_am.toUpper().toStdString();
    m_fastMeridiem[0][1] = m_pm.toUpper().toStdString();
    m_fastMeridiem[1][0] = m_am.toLower().toStdString();
    m_fastMeridiem[1][1] = m_pm.toLower().toStdString();

    // Trust the fast path only where it writes what Qt writes: instants across years, months,
    // days of the week, both halves of the day and single- and double-digit fields.
    m_fast = true;
    std::string fast;
    for (std::int64_t at = 315532800; at < 4102444800; at += 86400 * 37 + 3600 * 5 + 61 * 7) {
        const QDateTime local = QDateTime::fromSecsSinceEpoch(at, Qt::LocalTime);
        if (!formatFast(at, fast) || fast != m_locale.toString(local, m_fullFormat).toStdString()) {
            m_fast = false;
            return;
        }
    }
}

bool DirectoryTimeFormat::formatFast(std::int64_t secondsSinceEpoch, std::string& out) const {
    if (!m_fast && m_fastTokens.empty())
        return false;
    const time_t at = static_cast<time_t>(secondsSinceEpoch);
    tm local{};
    // Pick up a time zone changed meanwhile, as Qt's local time does; at most once a second, as
    // each look costs a stat() of /etc/localtime, which was most of the cost of a Time value.
    static std::atomic<std::int64_t> lastLook{-(std::int64_t{1} << 40)};
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    if (now - lastLook.load(std::memory_order_relaxed) >= 1000) {
        lastLook.store(now, std::memory_order_relaxed);
        ::tzset();
    }
    if (::localtime_r(&at, &local) == nullptr)
        return false;
    out.clear();
    // Fields are 0..9999 here; written by hand, as formatting them was most of the cost.
    auto number = [&out](int value, int width) {
        char digits[8];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0 && n < 8);
        while (n < width)
            digits[n++] = '0';
        while (n > 0)
            out.push_back(digits[--n]);
    };
    bool twelveHour = false;
    for (const FastToken& t : m_fastTokens)
        twelveHour = twelveHour || t.letter == 'a' || t.letter == 'A';
    for (const FastToken& t : m_fastTokens) {
        switch (t.letter) {
        case 0:
            out += t.text;
            break;
        case 'd':
            if (t.count <= 2)
                number(local.tm_mday, t.count);
            else
                out += m_fastDays[t.count == 3 ? 1 : 0][(local.tm_wday + 6) % 7];
            break;
        case 'M':
            if (t.count <= 2)
                number(local.tm_mon + 1, t.count);
            else
                out += m_fastMonths[t.count == 3 ? 1 : 0][local.tm_mon];
            break;
        case 'y':
            if (t.count == 2)
                number((local.tm_year + 1900) % 100, 2);
            else
                number(local.tm_year + 1900, 4);
            break;
        case 'h': {
            int hour = local.tm_hour;
            if (twelveHour) {
                hour %= 12;
                if (hour == 0)
                    hour = 12;
            }
            number(hour, t.count);
            break;
        }
        case 'H':
            number(local.tm_hour, t.count);
            break;
        case 'm':
            number(local.tm_min, t.count);
            break;
        case 's':
            number(local.tm_sec, t.count);
            break;
        case 'a':
        case 'A':
            out += m_fastMeridiem[t.letter == 'a' ? 1 : 0][local.tm_hour < 12 ? 0 : 1];
            break;
        default:
            return false;
        }
    }
    return true;
}

const DirectoryTimeFormat& DirectoryTimeFormat::system() {
    thread_local std::unique_ptr<DirectoryTimeFormat> cached;
    const QLocale current = QLocale::system();
    if (!cached || !(cached->m_locale == current))
        cached = std::make_unique<DirectoryTimeFormat>(current);
    return *cached;
}

QString DirectoryTimeFormat::widenYear(const QString& dateFormat) {
    std::vector<SourcedToken> tokens = tokenize(dateFormat);
    for (SourcedToken& t : tokens) {
        if (t.token.letter == 'y' && t.token.count == 2) {
            t.token.count = 4;
            t.source = QStringLiteral("yyyy");
        }
    }
    return rebuild(tokens);
}

QString DirectoryTimeFormat::timeWithoutZone(const QString& timeFormat) {
    std::vector<SourcedToken> kept;
    for (const SourcedToken& t : tokenize(timeFormat)) {
        if (t.token.letter == 't')
            continue;
        if (t.token.letter == 0 && !kept.empty() && kept.back().token.letter == 0) {
            kept.back().token.text += t.token.text; // literals around a removed zone meet
            kept.back().rewritten = true;
            continue;
        }
        kept.push_back(t);
    }
    // Brackets that held only the zone name go with it; white space is tidied up.
    for (SourcedToken& t : kept) {
        if (t.token.letter != 0)
            continue;
        QString& text = t.token.text;
        t.rewritten = true;
        text.replace(QStringLiteral("()"), QString());
        text.replace(QStringLiteral("[]"), QString());
        while (text.contains(QStringLiteral("  ")))
            text.replace(QStringLiteral("  "), QStringLiteral(" "));
    }
    if (!kept.empty() && kept.front().token.letter == 0) {
        kept.front().rewritten = true;
        QString& text = kept.front().token.text;
        while (!text.isEmpty() && text.front().isSpace())
            text.remove(0, 1);
    }
    if (!kept.empty() && kept.back().token.letter == 0) {
        kept.back().rewritten = true;
        QString& text = kept.back().token.text;
        while (!text.isEmpty() && text.back().isSpace())
            text.chop(1);
    }
    std::erase_if(
        kept, [](const SourcedToken& t) { return t.token.letter == 0 && t.token.text.isEmpty(); });

    bool hasSeconds = false;
    std::size_t lastMinutes = kept.size();
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i].token.letter == 's')
            hasSeconds = true;
        if (kept[i].token.letter == 'm')
            lastMinutes = i;
    }
    if (!hasSeconds) {
        // Seconds follow the minutes with the separator that comes before the minutes.
        SourcedToken colon;
        colon.token.text = QStringLiteral(":");
        if (lastMinutes < kept.size() && lastMinutes > 0 &&
            kept[lastMinutes - 1].token.letter == 0) {
            const QString& separator = kept[lastMinutes - 1].token.text;
            bool plain = !separator.isEmpty() && separator.size() <= 2;
            for (QChar c : separator)
                plain = plain && !c.isLetter() && !c.isSpace();
            if (plain)
                colon.token.text = separator;
        }
        SourcedToken seconds;
        seconds.token.letter = 's';
        seconds.token.count = 2;
        seconds.source = QStringLiteral("ss");
        if (lastMinutes == kept.size()) { // no minutes either: append both
            SourcedToken minutes;
            minutes.token.letter = 'm';
            minutes.token.count = 2;
            minutes.source = QStringLiteral("mm");
            kept.push_back(colon);
            kept.push_back(minutes);
            kept.push_back(colon);
            kept.push_back(seconds);
        } else {
            kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(lastMinutes) + 1,
                        {colon, seconds});
        }
    }
    return rebuild(kept);
}

std::string DirectoryTimeFormat::format(std::int64_t secondsSinceEpoch) const {
    std::string fast;
    if (m_fast && formatFast(secondsSinceEpoch, fast))
        return fast;
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, Qt::LocalTime);
    return m_locale.toString(local, m_fullFormat).toStdString();
}

bool DirectoryTimeFormat::readFast(const QString& text, std::int64_t* key) const {
    int year = -1, month = -1, day = -1;
    int hour = 0, minute = 0, second = 0;
    bool twelveHour = false;
    int meridiem = -1; // 0 AM, 1 PM
    bool shortYear = false;
    qsizetype pos = 0;
    for (const Token& t : m_tokens) {
        int value = 0;
        switch (t.letter) {
        case 0:
            if (!QStringView(text).mid(pos).startsWith(t.text))
                return false;
            pos += t.text.size();
            break;
        case 'd':
            if (t.count <= 2) {
                if (!readNumber(text, pos, 2, &day))
                    return false;
            } else if (matchName(text, pos, m_dayNames[t.count == 3 ? 1 : 0]) < 0) {
                return false;
            }
            break;
        case 'M':
            if (t.count <= 2) {
                if (!readNumber(text, pos, 2, &month))
                    return false;
            } else {
                const int k = matchName(text, pos, m_monthNames[t.count == 3 ? 1 : 0]);
                if (k < 0)
                    return false;
                month = k / 2 + 1;
            }
            break;
        case 'y':
            // Directory times lie between 1970 and 2106: years are never negative.
            if (!readNumber(text, pos, t.count == 4 ? 4 : 2, &year))
                return false;
            shortYear = t.count != 4;
            break;
        case 'h':
        case 'H':
            if (!readNumber(text, pos, 2, &hour))
                return false;
            break;
        case 'm':
            if (!readNumber(text, pos, 2, &minute))
                return false;
            break;
        case 's':
            if (!readNumber(text, pos, 2, &second))
                return false;
            break;
        case 'z':
            if (!readNumber(text, pos, 3, &value))
                return false;
            break;
        case 'a':
        case 'A': {
            const int k = matchName(text, pos, QStringList{m_am, m_pm});
            if (k < 0)
                return false;
            meridiem = k;
            break;
        }
        default: // a time-zone name or anything else the fast path does not read
            return false;
        }
        if (t.letter == 'h')
            twelveHour = true;
    }
    if (pos != text.size() || year == -1 || month == -1 || day == -1)
        return false;
    if (shortYear)
        year += 1900;
    if (twelveHour && meridiem >= 0) {
        if (hour < 1 || hour > 12)
            return false;
        hour = hour % 12 + (meridiem == 1 ? 12 : 0);
    }
    const QDate date(year, month, day);
    if (!date.isValid() || !QTime::isValid(hour, minute, second))
        return false;
    *key = wallClockKey(date, QTime(hour, minute, second));
    return true;
}

bool DirectoryTimeFormat::read(std::string_view text, std::int64_t* key) const {
    if (text.empty() || text == "0")
        return false;
    const QString qtext = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (readFast(qtext, key))
        return true;
    if (!m_needsQtParser)
        return false;
    // Locales that write their own digits.
    const QDateTime parsed = m_locale.toDateTime(qtext, m_fullFormat);
    if (!parsed.isValid())
        return false;
    *key = wallClockKey(parsed.date(), parsed.time());
    return true;
}

std::int64_t DirectoryTimeFormat::sortKey(std::string_view text) const {
    std::int64_t key = 0;
    return read(text, &key) ? key : TimeZeroKey;
}

std::string FormatDirectoryTime(std::int64_t secondsSinceEpoch) {
    return DirectoryTimeFormat::system().format(secondsSinceEpoch);
}

std::int64_t DateSortKey(std::string_view text) {
    return DirectoryTimeFormat::system().sortKey(text);
}

} // namespace kvx
