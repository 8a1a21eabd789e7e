// KvITime: the daytime client.
#include "socket/KvITime.h"

#include <QRegularExpression>

namespace KvInet {

namespace {

const char* const defaultDaytimeHost = "time.nist.gov";
// A daytime reply is one line; a server that sends more is not given the memory to do so.
constexpr qsizetype maxDaytimeReply = 64 * 1024;

int MonthNumber(const QString& Name) {
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    for (int i = 0; i < 12; ++i)
        if (Name.compare(QLatin1String(months[i]), Qt::CaseInsensitive) == 0)
            return i + 1;
    return 0;
}

// The two layouts that the digit rules cannot read: "07 DEC 2026 07:30:35 UTC" (xinetd and others) and
// the ctime layout "Mon Dec  7 07:30:35 2026" (inetd and others). Returns false for anything else.
bool ReadNamedMonthLayout(const QString& Text, TDateTime& Result) {
    static const QRegularExpression dayMonthYear(
        QStringLiteral("^\\s*(\\d{1,2}) ([A-Za-z]{3}) (\\d{4}) (\\d{1,2}):(\\d{2}):(\\d{2})(\\s|$)"));
    static const QRegularExpression ctime(QStringLiteral(
        "^\\s*[A-Za-z]{3} ([A-Za-z]{3}) +(\\d{1,2}) (\\d{1,2}):(\\d{2}):(\\d{2}) (\\d{4})(\\s|$)"));
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    QRegularExpressionMatch m = dayMonthYear.match(Text);
    if (m.hasMatch()) {
        day = m.captured(1).toInt();
        month = MonthNumber(m.captured(2));
        year = m.captured(3).toInt();
        hour = m.captured(4).toInt();
        minute = m.captured(5).toInt();
        second = m.captured(6).toInt();
    } else if ((m = ctime.match(Text)).hasMatch()) {
        month = MonthNumber(m.captured(1));
        day = m.captured(2).toInt();
        hour = m.captured(3).toInt();
        minute = m.captured(4).toInt();
        second = m.captured(5).toInt();
        year = m.captured(6).toInt();
    } else {
        return false;
    }
    if (month == 0)
        return false;
    Result = EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
    return true;
}

// The six parts of the digit rules (index 1 to 6) and whether any digit reached one of them.
bool ReadDigitParts(const QString& Text, QString (&Parts)[7]) {
    int counter = 0;
    bool digits = false;
    // The last character is never examined: servers end the line with a line end.
    for (qsizetype i = 0; i + 1 < Text.size() && counter < 7; ++i) {
        const QChar c = Text[i];
        if (c == u' ' || c == u'-' || c == u':') {
            ++counter;
        } else if (c >= u'0' && c <= u'9' && counter >= 1) {
            Parts[counter] += c;
            digits = true;
        }
    }
    return digits;
}

QString NoDateText() {
    return QStringLiteral("The reply holds no date and time");
}

} // namespace

TKvInetDateTime::TKvInetDateTime(TComponent* AOwner) : TKvInetBase(AOwner) {
    SetPort(13);
    SetHost(QString::fromLatin1(defaultDaytimeHost));
}

bool TKvInetDateTime::ReplyComplete(const QString& Text) const {
    return Text.size() >= maxDaytimeReply;
}

QString TKvInetDateTime::InternalExecute() {
    // The answer is one short line: Timeout bounds it as a whole, not only each wait, or a server sending a
    // byte now and then could hold the caller for as long as it likes.
    QString text;
    {
        const TReplyBound bound(ClientSocket(), Timeout());
        text = TKvInetBase::InternalExecute();
    }
    if (text.size() >= maxDaytimeReply) {
        text.truncate(maxDaytimeReply);
        // The unread rest must not become the next reply of a kept connection.
        Disconnect();
    }
    return text;
}

bool TKvInetDateTime::HasDate(const QString& Text) {
    TDateTime named = 0;
    try {
        if (ReadNamedMonthLayout(Text, named))
            return true;
    } catch (const EConvertError&) {
        return true; // a date, if an impossible one
    }
    QString parts[7];
    return ReadDigitParts(Text, parts);
}

TDateTime TKvInetDateTime::GetDateTime() {
    const QString reply = Execute();
    // A failure would otherwise parse as 1 January 2001 01:01:01: a failure reported as a time.
    if (!LastError().isEmpty())
        throw Exception(LastError());
    // So would a server that closed without sending anything, or sent text without a date.
    const QString failure = Trim(reply).isEmpty() ? NoAnswerText()
                            : HasDate(reply)      ? QString()
                                                  : NoDateText();
    if (!failure.isEmpty()) {
        SetLastError(failure);
        throw Exception(failure);
    }
    return DaytimeToDateTime(reply);
}

TDateTime TKvInetDateTime::DaytimeToDateTime(const QString& Text) {
    TDateTime named = 0;
    if (ReadNamedMonthLayout(Text, named))
        return named;

    QString parts[7];
    if (!ReadDigitParts(Text, parts))
        throw EConvertError(NoDateText());
    for (int i = 1; i <= 6; ++i)
        if (parts[i].isEmpty())
            parts[i] = QStringLiteral("1");
    QString& year = parts[1];
    while (year.size() < 3)
        year.prepend(u'0');
    if (year.size() < 4)
        year.prepend(u'2');
    return EncodeDate(StrToInt(parts[1]), StrToInt(parts[2]), StrToInt(parts[3])) +
           EncodeTime(StrToInt(parts[4]), StrToInt(parts[5]), StrToInt(parts[6]), 0);
}

} // namespace KvInet
