// test-servers: ntp daytime scripted
// The daytime and SNTP clients against real servers (xinetd's daytime service, chrony), the scripted server
// for the usual public daytime layout, and a small UDP peer in this process for the SNTP acceptance rules.
#include "support/ScriptedSession.h"

#include "socket/KvISNTP.h"
#include "socket/KvITime.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <thread>

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

// A UDP peer on loopback that answers the first request with the datagrams a test gives it, some of them
// from a second socket on another port.
class FakeNTPServer {
public:
    using Answer = std::function<QList<std::pair<bool, QByteArray>>(const QByteArray& Request)>;

    explicit FakeNTPServer(Answer Make) : FMake(std::move(Make)) {
        FSocket = Bind();
        FOther = Bind();
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(FSocket, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~FakeNTPServer() {
        shutdown(FSocket, SHUT_RDWR);
        FThread.join();
        close(FSocket);
        close(FOther);
    }
    int Port() const { return FPort; }

private:
    static int Bind() {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        timeval tv{10, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return s;
    }
    void Serve() {
        char buf[512];
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const ssize_t n = recvfrom(FSocket, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &len);
        if (n <= 0)
            return;
        for (const auto& [fromOther, datagram] : FMake(QByteArray(buf, int(n))))
            sendto(fromOther ? FOther : FSocket, datagram.constData(), size_t(datagram.size()), 0,
                   reinterpret_cast<sockaddr*>(&peer), len);
    }

    Answer FMake;
    int FSocket = -1;
    int FOther = -1;
    int FPort = 0;
    std::thread FThread;
};

QByteArray ServerReply(const QByteArray& Request, int First, int Stratum, uint32_t Seconds) {
    QByteArray p(48, '\0');
    p[0] = char(First);
    p[1] = char(Stratum);
    p.replace(24, 8, Request.mid(40, 8));
    for (int i = 0; i < 4; ++i)
        p[40 + i] = char(Seconds >> (24 - 8 * i));
    return p;
}

TEST(SNTPServer, OnlyTheServersReplyToOurRequestIsTaken) {
    constexpr uint32_t good = 0xEB000000u;  // 8 December 2024 11:22:40 UTC
    constexpr uint32_t wrong = 0xE0000000u; // some earlier time
    QByteArray request;
    FakeNTPServer server([&](const QByteArray& Request) {
        request = Request;
        QByteArray otherOrigin = ServerReply(Request, 0x24, 2, wrong);
        otherOrigin[31] = char(otherOrigin[31] ^ 0x55);
        QByteArray clientMode = ServerReply(Request, 0x23, 2, wrong);
        return QList<std::pair<bool, QByteArray>>{{false, otherOrigin},
                                                  {false, clientMode},
                                                  {true, ServerReply(Request, 0x24, 2, wrong)},
                                                  {false, QByteArray("short")},
                                                  {false, ServerReply(Request, 0x24, 2, good)}};
    });
    TKvInetSNTP sntp;
    sntp.SetAddress(QStringLiteral("127.0.0.1"));
    sntp.SetPort(server.Port());
    sntp.SetTimeout(5);
    const TDateTime value = sntp.GetDateTime();
    EXPECT_NEAR(value, EncodeDate(2024, 12, 8) + EncodeTime(11, 22, 40, 0) - TKvInetSNTP::TimeZoneBias(),
                0.001 / SecsPerDay);
    // The request is the 48-byte packet alone: no header block after it.
    ASSERT_EQ(request.size(), 48);
    EXPECT_EQ(uchar(request[0]), 0x1B);
    EXPECT_EQ(request.mid(1, 39), QByteArray(39, '\0'));
}

TEST(SNTPServer, UnsynchronisedOrSilentServersGiveZero) {
    FakeNTPServer unsynchronised([](const QByteArray& Request) {
        return QList<std::pair<bool, QByteArray>>{{false, ServerReply(Request, 0xE4, 2, 0xEB000000u)}};
    });
    TKvInetSNTP sntp;
    sntp.SetAddress(QStringLiteral("127.0.0.1"));
    sntp.SetPort(unsynchronised.Port());
    sntp.SetTimeout(5);
    EXPECT_EQ(sntp.GetDateTime(), 0);
    EXPECT_TRUE(sntp.LastError().isEmpty());

    FakeNTPServer silent([](const QByteArray&) { return QList<std::pair<bool, QByteArray>>{}; });
    sntp.SetPort(silent.Port());
    sntp.SetTimeout(1);
    EXPECT_EQ(sntp.GetDateTime(), 0);
    EXPECT_FALSE(sntp.LastError().isEmpty());
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

    FakeNTPServer unsynchronised([](const QByteArray& Request) {
        return QList<std::pair<bool, QByteArray>>{{false, ServerReply(Request, 0xE4, 2, 0xEB000000u)}};
    });
    const ProcessResult rejected =
        Kvinet({QStringLiteral("sntp"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                QStringLiteral("--port"), QString::number(unsynchronised.Port())});
    EXPECT_EQ(rejected.ExitCode, 1);
    EXPECT_TRUE(rejected.Out.isEmpty());
    EXPECT_FALSE(rejected.Err.isEmpty());
}

} // namespace
