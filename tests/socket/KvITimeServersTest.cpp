// test-servers: ntp daytime scripted
// The daytime and SNTP clients against real servers (xinetd's daytime service, chrony) and the scripted
// server for the usual public daytime layout. Hostile and broken peers are in KvITimeAndDNSPeersTest.
#include "support/ScriptedPeer.h"

#include "socket/KvISNTP.h"
#include "socket/KvITime.h"

#include <QDateTime>

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>

using namespace KvInet;
using namespace KvTest;

namespace {

TDateTime UTCNow() {
    return QDateTimeToUTCDateTime(QDateTime::currentDateTimeUtc());
}

// ---- daytime ---------------------------------------------------------------------------------------------

TEST(DaytimeServer, XinetdLayout) {
    TKvInetDateTime daytime;
    daytime.SetHost(QStringLiteral("127.0.0.1"));
    daytime.SetPort(ServerPort(QStringLiteral("daytime"), QStringLiteral("KV_DAYTIME_PORT")));
    QString raw;
    daytime.SetOnAfterExecute([&](QObject*, QString& Text) { raw = Text; });
    const TDateTime before = UTCNow();
    const TDateTime value = daytime.GetDateTime();
    // The line is "07 DEC 2026 07:30:35 UTC" + CR LF, in UTC, whole seconds.
    EXPECT_TRUE(raw.endsWith(QStringLiteral(" UTC\r\n"))) << raw.toStdString();
    EXPECT_GE(value, std::floor(before * SecsPerDay - 1) / SecsPerDay);
    EXPECT_LE(value, UTCNow() + 1.0 / SecsPerDay);
    // Each read is a new exchange.
    raw.clear();
    daytime.GetDateTime();
    EXPECT_FALSE(raw.isEmpty());
}

TEST(DaytimeServer, PublicLayoutFromTheScriptedServer) {
    ScriptedSession session(QString::fromUtf8(
        R"({"steps": [{"send": "\n61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) * \n"}]})"));
    TKvInetDateTime daytime;
    daytime.SetAddress(QStringLiteral("127.0.0.1"));
    daytime.SetPort(session.Port());
    const TDateTime value = daytime.GetDateTime();
    EXPECT_DOUBLE_EQ(value, EncodeDate(2026, 12, 7) + EncodeTime(7, 30, 35, 0));
    // The query is empty: nothing at all goes out, no header block either.
    EXPECT_EQ(session.Received(), QByteArray());
}

TEST(DaytimeServer, FailuresRaiseInsteadOfBecomingADate) {
    // A server that never answers: the time-out ends the read and the reader raises its message.
    ScriptedSession silent(QString::fromUtf8(R"({"steps": [{"hang": true}]})"));
    TKvInetDateTime daytime;
    daytime.SetAddress(QStringLiteral("127.0.0.1"));
    daytime.SetPort(silent.Port());
    daytime.SetTimeout(1);
    try {
        daytime.GetDateTime();
        ADD_FAILURE() << "no exception";
    } catch (const EConvertError&) {
        ADD_FAILURE() << "the failure text was parsed";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), daytime.LastError());
        EXPECT_FALSE(e.Message().isEmpty());
    }
    // A server that closes without a word gave no time at all: that is a failure too, not 1 January 2001.
    ScriptedSession empty(QString::fromUtf8(R"({"steps": [{"close": true}]})"));
    daytime.SetPort(empty.Port());
    try {
        daytime.GetDateTime();
        FAIL() << "an empty reply was read as a time";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("No answer from server"));
        EXPECT_EQ(daytime.LastError(), e.Message());
    }
}

// ---- SNTP ------------------------------------------------------------------------------------------------

TEST(SNTPServer, ChronyTimeWithinASecond) {
    TKvInetSNTP sntp;
    sntp.SetHost(QStringLiteral("127.0.0.1"));
    sntp.SetPort(ServerPort(QStringLiteral("ntp"), QStringLiteral("KV_NTP_PORT")));
    QString raw;
    sntp.SetOnAfterExecute([&](QObject*, QString& Text) { raw = Text; });
    const TDateTime value = sntp.GetDateTime();
    EXPECT_TRUE(sntp.LastError().isEmpty()) << sntp.LastError().toStdString();
    EXPECT_NEAR(value, Now(), 1.0 / SecsPerDay);
    ASSERT_EQ(raw.size(), 48);
    EXPECT_EQ(raw[0].unicode() & 0x07, 4); // server mode
    EXPECT_EQ(raw[1].unicode(), 10);       // chrony's "local stratum 10"
}

// ---- the tool --------------------------------------------------------------------------------------------

TEST(TimeCommands, DaytimeAndSntp) {
    const ProcessResult day = Kvinet(
        {QStringLiteral("daytime"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
         QStringLiteral("--port"), ServerEnv(QStringLiteral("daytime"), QStringLiteral("KV_DAYTIME_PORT"))});
    EXPECT_EQ(day.ExitCode, 0) << day.Err.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n$"))
                    .match(QString::fromUtf8(day.Out))
                    .hasMatch())
        << day.Out.toStdString();

    const ProcessResult ntp =
        Kvinet({QStringLiteral("sntp"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                QStringLiteral("--port"), ServerEnv(QStringLiteral("ntp"), QStringLiteral("KV_NTP_PORT"))});
    EXPECT_EQ(ntp.ExitCode, 0) << ntp.Err.toStdString();
    const QDateTime printed = QDateTime::fromString(QString::fromUtf8(ntp.Out).trimmed(),
                                                    QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    ASSERT_TRUE(printed.isValid()) << ntp.Out.toStdString();
    EXPECT_LT(std::abs(printed.msecsTo(QDateTime::currentDateTime())), 5000);
}

} // namespace
