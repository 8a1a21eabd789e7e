// SysUtils: exceptions, string, number, date-time and file-name routines.
#include "platform/SysUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <cmath>
#include <limits>

namespace KvInet {

Exception::Exception(QString Msg) : FMessage(std::move(Msg)), FUtf8(FMessage.toUtf8()) {}

// ---- strings ---------------------------------------------------------------------------------------------

QString Trim(const QString& S) {
    qsizetype first = 0;
    qsizetype last = S.size() - 1;
    while (first <= last && S[first].unicode() <= 0x20)
        ++first;
    while (last >= first && S[last].unicode() <= 0x20)
        --last;
    return S.mid(first, last - first + 1);
}

QString TrimLeft(const QString& S) {
    qsizetype first = 0;
    while (first < S.size() && S[first].unicode() <= 0x20)
        ++first;
    return S.mid(first);
}

QString TrimRight(const QString& S) {
    qsizetype last = S.size();
    while (last > 0 && S[last - 1].unicode() <= 0x20)
        --last;
    return S.left(last);
}

QString UpperCase(const QString& S) {
    QString result = S;
    for (QChar& c : result)
        if (c.unicode() >= 'a' && c.unicode() <= 'z')
            c = QChar(c.unicode() - 32);
    return result;
}

QString LowerCase(const QString& S) {
    QString result = S;
    for (QChar& c : result)
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + 32);
    return result;
}

int CompareText(const QString& A, const QString& B) {
    const qsizetype n = std::min(A.size(), B.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t a = A[i].unicode();
        char16_t b = B[i].unicode();
        if (a >= 'a' && a <= 'z')
            a -= 32;
        if (b >= 'a' && b <= 'z')
            b -= 32;
        if (a != b)
            return int(a) - int(b);
    }
    return int(A.size() - B.size());
}

bool SameText(const QString& A, const QString& B) {
    return A.size() == B.size() && CompareText(A, B) == 0;
}

bool TryStrToInt64(const QString& S, int64_t& Value) {
    qsizetype i = 0;
    const qsizetype n = S.size();
    while (i < n && S[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (S[i] == u'-' || S[i] == u'+')) {
        negative = S[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && S[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && S[i] == u'0' && (S[i + 1] == u'x' || S[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return false;
    // Accumulate as a negative number so that the most negative value fits.
    int64_t acc = 0;
    const int64_t limit = std::numeric_limits<int64_t>::min();
    for (; i < n; ++i) {
        const char16_t c = S[i].unicode();
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        if (acc < (limit + digit) / base)
            return false;
        acc = acc * base - digit;
    }
    if (!negative) {
        if (acc == limit)
            return false;
        acc = -acc;
    }
    Value = acc;
    return true;
}

bool TryStrToInt(const QString& S, int& Value) {
    int64_t v = 0;
    if (!TryStrToInt64(S, v) || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    Value = int(v);
    return true;
}

static EConvertError NotAnInteger(const QString& S) {
    return EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(S));
}

int StrToInt(const QString& S) {
    int v = 0;
    if (!TryStrToInt(S, v))
        throw NotAnInteger(S);
    return v;
}

int64_t StrToInt64(const QString& S) {
    int64_t v = 0;
    if (!TryStrToInt64(S, v))
        throw NotAnInteger(S);
    return v;
}

int StrToIntDef(const QString& S, int Default) {
    int v = 0;
    return TryStrToInt(S, v) ? v : Default;
}

int64_t StrToInt64Def(const QString& S, int64_t Default) {
    int64_t v = 0;
    return TryStrToInt64(S, v) ? v : Default;
}

QString IntToStr(int64_t Value) {
    return QString::number(Value);
}

QString Format(const QString& Fmt, std::initializer_list<TVarRec> Args) {
    const auto invalid = [&Fmt]() {
        return EConvertError(QStringLiteral("Format '%1' invalid or incompatible with argument").arg(Fmt));
    };
    const TVarRec* args = Args.begin();
    const qsizetype argCount = qsizetype(Args.size());
    qsizetype next = 0;
    QString out;
    out.reserve(Fmt.size() + 16);
    const qsizetype n = Fmt.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = Fmt[i];
        if (c != u'%') {
            out += c;
            continue;
        }
        if (++i >= n)
            throw invalid();
        if (Fmt[i] == u'%') {
            out += u'%';
            continue;
        }
        // %[index:][-][width][.prec]type
        const auto readNumber = [&](int& value) {
            bool any = false;
            value = 0;
            while (i < n && Fmt[i].isDigit() && Fmt[i].unicode() < 128) {
                value = value * 10 + (Fmt[i].unicode() - '0');
                if (value > 100000)
                    throw invalid();
                ++i;
                any = true;
            }
            return any;
        };
        int number = 0;
        bool haveNumber = readNumber(number);
        if (haveNumber && i < n && Fmt[i] == u':') {
            next = number;
            ++i;
            haveNumber = false;
        }
        bool left = false;
        if (!haveNumber && i < n && Fmt[i] == u'-') {
            left = true;
            ++i;
        }
        int width = 0;
        if (haveNumber)
            width = number;
        else
            readNumber(width);
        int precision = -1;
        if (i < n && Fmt[i] == u'.') {
            ++i;
            readNumber(precision);
        }
        if (i >= n || next >= argCount)
            throw invalid();
        const TVarRec& arg = args[next++];
        QString text;
        switch (Fmt[i].toLower().unicode()) {
        case 'd':
        case 'u': {
            const int64_t* v = std::get_if<int64_t>(&arg);
            if (!v)
                throw invalid();
            text = QString::number(std::llabs(*v));
            if (precision > text.size())
                text = QString(precision - text.size(), u'0') + text;
            if (*v < 0)
                text.prepend(u'-');
            break;
        }
        case 'x': {
            const int64_t* v = std::get_if<int64_t>(&arg);
            if (!v)
                throw invalid();
            text = QString::number(quint64(*v), 16).toUpper();
            if (precision > text.size())
                text = QString(precision - text.size(), u'0') + text;
            break;
        }
        case 's': {
            const QString* v = std::get_if<QString>(&arg);
            if (!v)
                throw invalid();
            text = precision >= 0 ? v->left(precision) : *v;
            break;
        }
        default:
            throw invalid();
        }
        if (text.size() < width) {
            const QString pad(width - text.size(), u' ');
            text = left ? text + pad : pad + text;
        }
        out += text;
    }
    return out;
}

// ---- date and time ---------------------------------------------------------------------------------------

bool IsLeapYear(int Year) {
    return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0);
}

int DaysInMonth(int Year, int Month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Month < 1 || Month > 12)
        return 0;
    return days[Month - 1] + (Month == 2 && IsLeapYear(Year) ? 1 : 0);
}

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date) {
    if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month))
        return false;
    int days = Day;
    for (int m = 1; m < Month; ++m)
        days += DaysInMonth(Year, m);
    const int y = Year - 1;
    days += y * 365 + y / 4 - y / 100 + y / 400;
    Date = double(days - DateDelta);
    return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
    TDateTime result = 0;
    if (!TryEncodeDate(Year, Month, Day, result))
        throw EConvertError(QStringLiteral("Invalid argument to date encode"));
    return result;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time) {
    if (Hour < 0 || Hour >= 24 || Min < 0 || Min >= 60 || Sec < 0 || Sec >= 60 || MSec < 0 || MSec >= 1000)
        return false;
    Time = double(((Hour * 60 + Min) * 60 + Sec) * 1000 + MSec) / MSecsPerDay;
    return true;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
    TDateTime result = 0;
    if (!TryEncodeTime(Hour, Min, Sec, MSec, result))
        throw EConvertError(QStringLiteral("Invalid argument to time encode"));
    return result;
}

namespace {
// Splits a TDateTime into whole days since 1 January 0001 (day 1) and milliseconds of the day, rounding to
// the nearest millisecond and carrying a rounded-up midnight into the next day.
void SplitDateTime(TDateTime Value, int64_t& Days, int64_t& MSecs) {
    const double whole = std::trunc(Value);
    Days = int64_t(whole) + DateDelta;
    MSecs = std::llround(std::fabs(Value - whole) * MSecsPerDay);
    if (MSecs >= MSecsPerDay) {
        MSecs -= MSecsPerDay;
        Days += Value < 0 ? -1 : 1;
    }
}
} // namespace

void DecodeDate(TDateTime Date, int& Year, int& Month, int& Day) {
    int64_t days = 0;
    int64_t msecs = 0;
    SplitDateTime(Date, days, msecs);
    if (days <= 0 || days > 3652059) {
        Year = Month = Day = 0;
        return;
    }
    int64_t t = days - 1;
    int64_t y = 1;
    y += 400 * (t / 146097);
    t %= 146097;
    int64_t i = t / 36524;
    if (i == 4)
        i = 3;
    y += 100 * i;
    t -= i * 36524;
    y += 4 * (t / 1461);
    t %= 1461;
    i = t / 365;
    if (i == 4)
        i = 3;
    y += i;
    t -= i * 365;
    Year = int(y);
    Month = 1;
    while (t >= DaysInMonth(Year, Month)) {
        t -= DaysInMonth(Year, Month);
        ++Month;
    }
    Day = int(t) + 1;
}

void DecodeTime(TDateTime Time, int& Hour, int& Min, int& Sec, int& MSec) {
    int64_t days = 0;
    int64_t msecs = 0;
    SplitDateTime(Time, days, msecs);
    Hour = int(msecs / 3600000);
    Min = int(msecs / 60000 % 60);
    Sec = int(msecs / 1000 % 60);
    MSec = int(msecs % 1000);
}

int DayOfWeek(TDateTime Date) {
    int64_t days = 0;
    int64_t msecs = 0;
    SplitDateTime(Date, days, msecs);
    // Day 1 (1 January 0001) was a Monday.
    return int(((days % 7) + 7) % 7) + 1;
}

namespace {
// Milliseconds since 1970-01-01 of a TDateTime read as a wall-clock value.
QDateTime ToQDateTime(TDateTime Value, const QTimeZone& Zone) {
    int y, m, d, h, n, s, ms;
    DecodeDate(Value, y, m, d);
    DecodeTime(Value, h, n, s, ms);
    if (y == 0)
        return {};
    return QDateTime(QDate(y, m, d), QTime(h, n, s, ms), Zone);
}

TDateTime FromQDateTime(const QDateTime& Value) {
    const QDate date = Value.date();
    const QTime time = Value.time();
    TDateTime d = 0;
    TDateTime t = 0;
    if (!TryEncodeDate(date.year(), date.month(), date.day(), d) ||
        !TryEncodeTime(time.hour(), time.minute(), time.second(), time.msec(), t))
        return 0;
    return d >= 0 ? d + t : d - t;
}
} // namespace

TDateTime Now() {
    return FromQDateTime(QDateTime::currentDateTime());
}

QDateTime DateTimeToQDateTime(TDateTime Value) {
    return ToQDateTime(Value, QTimeZone::systemTimeZone());
}

TDateTime QDateTimeToDateTime(const QDateTime& Value) {
    return Value.isValid() ? FromQDateTime(Value.toLocalTime()) : 0;
}

QDateTime UTCDateTimeToQDateTime(TDateTime Value) {
    return ToQDateTime(Value, QTimeZone::utc());
}

TDateTime QDateTimeToUTCDateTime(const QDateTime& Value) {
    return Value.isValid() ? FromQDateTime(Value.toUTC()) : 0;
}

bool FileAge(const QString& FileName, TDateTime& FileDateTime) {
    const QFileInfo info(FileName);
    if (!info.exists())
        return false;
    FileDateTime = QDateTimeToDateTime(info.lastModified());
    return true;
}

bool FileSetDate(const QString& FileName, TDateTime Value) {
    QFile file(FileName);
    const QDateTime when = DateTimeToQDateTime(Value);
    if (!when.isValid() || !file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return false;
    return file.setFileTime(when, QFileDevice::FileModificationTime);
}

// ---- file names ------------------------------------------------------------------------------------------

namespace {
bool IsPathDelimiter(QChar c) {
#if defined(_WIN32)
    return c == u'\\' || c == u'/' || c == u':';
#else
    return c == u'/';
#endif
}

qsizetype LastDelimiter(const QString& FileName) {
    for (qsizetype i = FileName.size() - 1; i >= 0; --i)
        if (IsPathDelimiter(FileName[i]))
            return i;
    return -1;
}

// Position of the extension's dot in the name part, or -1.
qsizetype ExtensionDot(const QString& FileName) {
    const qsizetype start = LastDelimiter(FileName) + 1;
    for (qsizetype i = FileName.size() - 1; i >= start; --i)
        if (FileName[i] == u'.')
            return i;
    return -1;
}
} // namespace

QString ExtractFileExt(const QString& FileName) {
    const qsizetype dot = ExtensionDot(FileName);
    return dot < 0 ? QString() : FileName.mid(dot);
}

QString ChangeFileExt(const QString& FileName, const QString& Extension) {
    const qsizetype dot = ExtensionDot(FileName);
    return (dot < 0 ? FileName : FileName.left(dot)) + Extension;
}

QString ExtractFileName(const QString& FileName) {
    return FileName.mid(LastDelimiter(FileName) + 1);
}

QString ExtractFilePath(const QString& FileName) {
    return FileName.left(LastDelimiter(FileName) + 1);
}

bool FileExists(const QString& FileName) {
    const QFileInfo info(FileName);
    return !FileName.isEmpty() && info.exists() && !info.isDir();
}

bool DirectoryExists(const QString& Name) {
    return !Name.isEmpty() && QFileInfo(Name).isDir();
}

QString IncludeTrailingPathDelimiter(const QString& S) {
    if (!S.isEmpty() && IsPathDelimiter(S.back()))
        return S;
    return S + QDir::separator();
}

} // namespace KvInet
