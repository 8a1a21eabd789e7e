// The daytime parser and the SNTP packet arithmetic, without a server.
#include "socket/KvITime.h"
#include "socket/KvISNTP.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace KvInet;

namespace {

TDateTime At(int Y, int Mo, int D, int H, int Mi, int S, int Ms = 0) {
    return EncodeDate(Y, Mo, D) + EncodeTime(H, Mi, S, Ms);
}

// Equal to the millisecond (TDateTime arithmetic leaves rounding noise far below that).
void ExpectSameTime(TDateTime Actual, TDateTime Expected) {
    EXPECT_NEAR(Actual, Expected, 0.0001 / SecsPerDay) << "days " << Actual << " vs " << Expected;
}

// ---- daytime ---------------------------------------------------------------------------------------------

TEST(Daytime, DigitRulesReadTheUsualPublicLayout) {
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(
                       QStringLiteral("\n61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) * \n")),
                   At(2026, 12, 7, 7, 30, 35));
    ExpectSameTime(
        TKvInetDateTime::DaytimeToDateTime(QStringLiteral("57023 15-01-01 12:34:56 00 0 0 0.0 UTC\r\n")),
        At(2015, 1, 1, 12, 34, 56));
    // The last character is never looked at: a line without its line end loses the last digit.
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("61381 26-12-07 07:30:35")),
                   At(2026, 12, 7, 7, 30, 3));
}

TEST(Daytime, MissingPartsAndShortYears) {
    // No digit reaches a part: no date at all, refused rather than read as 2001-01-01 01:01:01.
    for (const char* text : {"No answer from server", "hello world\r\n", "123\r\n", "x 5", ""}) {
        EXPECT_FALSE(TKvInetDateTime::HasDate(QString::fromLatin1(text))) << text;
        EXPECT_THROW(TKvInetDateTime::DaytimeToDateTime(QString::fromLatin1(text)), EConvertError) << text;
    }
    // A single digit that does reach a part is a date by the parser's rules: the missing parts become 1.
    EXPECT_TRUE(TKvInetDateTime::HasDate(QStringLiteral("x 5\n")));
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("x 5\n")), At(2005, 1, 1, 1, 1, 1));
    EXPECT_TRUE(TKvInetDateTime::HasDate(QStringLiteral("31 FEB 2026 07:30:35 UTC\r\n")));
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("x 7-2-3 4:5:6\n")),
                   At(2007, 2, 3, 4, 5, 6));
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("x 099-2-3 4:5:6\n")),
                   At(2099, 2, 3, 4, 5, 6));
    // Parsing stops at the seventh separator, so later digits do not reach the seconds.
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("x 26-12-07 07:30:35 99 99\n")),
                   At(2026, 12, 7, 7, 30, 35));
}

TEST(Daytime, ImpossibleDatesRaiseTheConversionError) {
    EXPECT_THROW(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("x 26-13-07 07:30:35\n")), EConvertError);
    EXPECT_THROW(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("x 26-12-07 25:30:35\n")), EConvertError);
    EXPECT_THROW(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("x 26-99999999999-07 07:30:35\n")),
                 EConvertError);
    // A named month we do not know falls back to the digit rules, which read 2026 as the month.
    EXPECT_THROW(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("07 XYZ 2026 07:30:35 UTC\r\n")),
                 EConvertError);
}

TEST(Daytime, NamedMonthLayouts) {
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("07 DEC 2026 07:30:35 UTC\r\n")),
                   At(2026, 12, 7, 7, 30, 35));
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("Mon Dec  7 07:30:35 2026\r\n")),
                   At(2026, 12, 7, 7, 30, 35));
    ExpectSameTime(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("Sun Feb 29 23:59:59 2032\n")),
                   At(2032, 2, 29, 23, 59, 59));
    EXPECT_THROW(TKvInetDateTime::DaytimeToDateTime(QStringLiteral("31 FEB 2026 07:30:35 UTC\r\n")),
                 EConvertError);
}

// ---- SNTP ------------------------------------------------------------------------------------------------

QByteArray Bytes(std::initializer_list<int> Values) {
    QByteArray b;
    for (int v : Values)
        b.append(char(v));
    return b;
}

QByteArray Reply(int First, int Stratum, const QByteArray& Transmit) {
    QByteArray p(48, '\0');
    p[0] = char(First);
    p[1] = char(Stratum);
    p.replace(40, 8, Transmit);
    return p;
}

TEST(SNTP, SwapBytes) {
    EXPECT_EQ(TKvInetSNTP::SwapBytes(0x01020304u), 0x04030201u);
    EXPECT_EQ(TKvInetSNTP::SwapBytes(0xFF000080u), 0x800000FFu);
}

TEST(SNTP, RequestLayout) {
    // 7 December 2026 12:01:24.375 UTC: 4005633684 (EE C1 1E 94) seconds since 1900 and 0.375 s.
    const QByteArray p = TKvInetSNTP::RequestPacket(At(2026, 12, 7, 12, 1, 24, 375));
    ASSERT_EQ(p.size(), 48);
    EXPECT_EQ(uchar(p[0]), 0x1B);
    EXPECT_EQ(p.mid(1, 39), QByteArray(39, '\0'));
    EXPECT_EQ(p.mid(40).toHex(), QByteArray("eec11e9460000000"));
    // Past 2^32 + 1 seconds (7 February 2036 06:28:17 UTC) that constant is taken off, not 2^32.
    EXPECT_EQ(TKvInetSNTP::RequestPacket(At(2036, 2, 7, 6, 28, 18)).mid(40, 4).toHex(),
              QByteArray("00000001"));
    EXPECT_EQ(TKvInetSNTP::RequestPacket(At(2036, 2, 7, 6, 28, 17)).mid(40, 4).toHex(),
              QByteArray("00000001"));
}

TEST(SNTP, TimestampConversion) {
    const double bias = TKvInetSNTP::TimeZoneBias();
    // EB 00 00 00 is 8 December 2024 11:22:40 UTC.
    ExpectSameTime(TKvInetSNTP::NTPTimestamp2DateTime(0xEB000000u, 0), At(2024, 12, 8, 11, 22, 40) - bias);
    // The fraction is divided by 2^32 + 1: one eighth of a second gives 124 ms, not 125.
    ExpectSameTime(TKvInetSNTP::NTPTimestamp2DateTime(0xEB000000u, 0x20000000u),
                   At(2024, 12, 8, 11, 22, 40, 124) - bias);
    ExpectSameTime(TKvInetSNTP::NTPTimestamp2DateTime(0xEB000000u, 0xFFFFFFFFu),
                   At(2024, 12, 8, 11, 22, 40, 999) - bias);
    // A clear top bit belongs to the era from 7 February 2036 06:28:16 UTC.
    ExpectSameTime(TKvInetSNTP::NTPTimestamp2DateTime(0, 0), At(2036, 2, 7, 6, 28, 16) - bias);
    ExpectSameTime(TKvInetSNTP::NTPTimestamp2DateTime(0x7FFFFFFFu, 0), At(2104, 2, 26, 9, 42, 23) - bias);
    ExpectSameTime(TKvInetSNTP::NTPTimestamp2DateTime(0x80000000u, 0), At(1968, 1, 20, 3, 14, 8) - bias);
}

TEST(SNTP, ReplyChecks) {
    const QByteArray transmit = Bytes({0xEB, 0, 0, 0, 0x20, 0, 0, 0});
    const TDateTime expected = At(2024, 12, 8, 11, 22, 40, 124) - TKvInetSNTP::TimeZoneBias();
    ExpectSameTime(TKvInetSNTP::ReplyToDateTime(Reply(0x24, 1, transmit)), expected);
    ExpectSameTime(TKvInetSNTP::ReplyToDateTime(Reply(0x1C, 15, transmit)), expected);
    EXPECT_EQ(TKvInetSNTP::ReplyToDateTime(Reply(0xDC, 1, transmit)), 0); // leap indicator 3
    EXPECT_EQ(TKvInetSNTP::ReplyToDateTime(Reply(0x24, 0, transmit)), 0);
    EXPECT_EQ(TKvInetSNTP::ReplyToDateTime(Reply(0x24, 16, transmit)), 0);
    EXPECT_EQ(TKvInetSNTP::ReplyToDateTime(Reply(0x24, 1, transmit).left(47)), 0);
    // A zero transmit timestamp carries no time (RFC 4330); by the era rule it would convert to 2036.
    EXPECT_EQ(TKvInetSNTP::ReplyToDateTime(Reply(0x24, 1, QByteArray(8, '\0'))), 0);
    EXPECT_EQ(TKvInetSNTP::ReplyProblem(Reply(0x24, 1, QByteArray(8, '\0'))),
              "the transmit timestamp is zero");
    // Only both halves zero: a zero second with a fraction, or the reverse, is a time.
    EXPECT_NE(TKvInetSNTP::ReplyToDateTime(Reply(0x24, 1, Bytes({0, 0, 0, 0, 0, 0, 0, 1}))), 0);
    EXPECT_EQ(TKvInetSNTP::ReplyProblem(Reply(0x24, 1, transmit)), "");
    EXPECT_EQ(TKvInetSNTP::ReplyProblem(Reply(0xDC, 1, transmit)),
              "the server is not synchronised (leap indicator 3)");
    EXPECT_EQ(TKvInetSNTP::ReplyProblem(Reply(0x24, 16, transmit)), "the stratum is 16, not 1 to 15");
    EXPECT_EQ(TKvInetSNTP::ReplyProblem(transmit), "the reply is shorter than 48 bytes");
}

TEST(SNTP, OnlyAServerReplyToOurRequestCounts) {
    const QByteArray request = TKvInetSNTP::RequestPacket(At(2026, 12, 7, 12, 1, 24, 375));
    QByteArray reply = Reply(0x24, 2, Bytes({0xEE, 0xC1, 0x1E, 0x95, 0, 0, 0, 0}));
    reply.replace(24, 8, request.mid(40, 8));
    EXPECT_TRUE(TKvInetSNTP::IsReplyTo(reply, request));
    QByteArray otherMode = reply;
    otherMode[0] = char(0x23); // client mode: our own request reflected back
    EXPECT_FALSE(TKvInetSNTP::IsReplyTo(otherMode, request));
    QByteArray otherOrigin = reply;
    otherOrigin[31] = char(otherOrigin[31] ^ 1);
    EXPECT_FALSE(TKvInetSNTP::IsReplyTo(otherOrigin, request));
    EXPECT_FALSE(TKvInetSNTP::IsReplyTo(reply.left(47), request));
}

TEST(SNTP, TimeZoneBiasFollowsTheZoneRules) {
    const QByteArray saved = qgetenv("TZ");
    qputenv("TZ", "Asia/Kolkata"); // +05:30 all year
    tzset();
    EXPECT_NEAR(TKvInetSNTP::TimeZoneBias(), -5.5 / 24, 1e-9);
    qputenv("TZ", "America/Sao_Paulo"); // -03:00, no daylight saving time since 2019
    tzset();
    EXPECT_NEAR(TKvInetSNTP::TimeZoneBias(), 3.0 / 24, 1e-9);
    if (saved.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", saved);
    tzset();
}

} // namespace
