// test-servers: scripted
// test-timeout: 300
// kvinet daytime, sntp and dns against hostile and broken peers: one table of scripted peers (the scripted
// server for TCP, a UDP peer in this process for NTP), each row with the exit status, the output and the
// message it must give, and how long it may take. The answers are written out here byte by byte, not made
// by the code under test.
#include "support/ScriptedSession.h"

#include "socket/KvISNTP.h"
#include "socket/KvITime.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

using namespace KvInet;
using namespace KvTest;

namespace {

// ---- an NTP peer ---------------------------------------------------------------------------------------

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
    /// The request, once it has come.
    QByteArray Request() const { return FRequest; }

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
        FRequest = QByteArray(buf, int(n));
        for (const auto& [fromOther, datagram] : FMake(FRequest))
            sendto(fromOther ? FOther : FSocket, datagram.constData(), size_t(datagram.size()), 0,
                   reinterpret_cast<sockaddr*>(&peer), len);
    }

    Answer FMake;
    int FSocket = -1;
    int FOther = -1;
    int FPort = 0;
    QByteArray FRequest;
    std::thread FThread;
};

// A server-mode reply to Request: leap indicator and mode in First, the originate timestamp echoed, the
// transmit timestamp Seconds and Fraction.
QByteArray ServerReply(const QByteArray& Request, int First, int Stratum, uint32_t Seconds,
                       uint32_t Fraction = 0) {
    QByteArray p(48, '\0');
    p[0] = char(First);
    p[1] = char(Stratum);
    p.replace(24, 8, Request.mid(40, 8));
    for (int i = 0; i < 4; ++i) {
        p[40 + i] = char(Seconds >> (24 - 8 * i));
        p[44 + i] = char(Fraction >> (24 - 8 * i));
    }
    return p;
}

using Datagrams = QList<std::pair<bool, QByteArray>>;

TEST(SNTPPeer, OnlyTheServersReplyToOurRequestIsTaken) {
    constexpr uint32_t good = 0xEB000000u;  // 8 December 2024 11:22:40 UTC
    constexpr uint32_t wrong = 0xE0000000u; // some earlier time
    FakeNTPServer server([&](const QByteArray& Request) {
        QByteArray otherOrigin = ServerReply(Request, 0x24, 2, wrong);
        otherOrigin[31] = char(otherOrigin[31] ^ 0x55);
        return Datagrams{{false, otherOrigin},
                         {false, ServerReply(Request, 0x23, 2, wrong)}, // client mode: our request reflected
                         {true, ServerReply(Request, 0x24, 2, wrong)},  // from another port
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
    const QByteArray request = server.Request();
    ASSERT_EQ(request.size(), 48);
    EXPECT_EQ(uchar(request[0]), 0x1B);
    EXPECT_EQ(request.mid(1, 39), QByteArray(39, '\0'));
}

TEST(SNTPPeer, RejectedOrSilentServersGiveZero) {
    for (const int first : {0xE4, 0x24}) { // leap indicator 3; a zero transmit timestamp
        FakeNTPServer server([first](const QByteArray& Request) {
            return Datagrams{{false, ServerReply(Request, first, 2, first == 0xE4 ? 0xEB000000u : 0)}};
        });
        TKvInetSNTP sntp;
        sntp.SetAddress(QStringLiteral("127.0.0.1"));
        sntp.SetPort(server.Port());
        sntp.SetTimeout(5);
        EXPECT_EQ(sntp.GetDateTime(), 0) << first;
        EXPECT_TRUE(sntp.LastError().isEmpty()) << first;
    }
    // A silent server: the component's own words, not the socket's "Connection timed out".
    FakeNTPServer silent([](const QByteArray&) { return Datagrams{}; });
    TKvInetSNTP sntp;
    sntp.SetAddress(QStringLiteral("127.0.0.1"));
    sntp.SetPort(silent.Port());
    sntp.SetTimeout(1);
    EXPECT_EQ(sntp.GetDateTime(), 0);
    EXPECT_EQ(sntp.LastError(), QStringLiteral("No reply from the NTP server within 1 seconds"));
    // The whole Execute's limit keeps its own message.
    sntp.SetTimeout(5);
    sntp.SetTotalTimeout(1);
    EXPECT_EQ(sntp.GetDateTime(), 0);
    EXPECT_EQ(sntp.LastError(), QStringLiteral("The operation took longer than 1 seconds"));
}

// ---- DNS messages, written out -------------------------------------------------------------------------

QByteArray U16(int Value) {
    return QByteArray(1, char(Value >> 8)) + char(Value & 0xFF);
}

// "x.example" as labels.
QByteArray Name(const char* Dotted) {
    QByteArray name;
    for (const QByteArray& label : QByteArray(Dotted).split('.'))
        name += char(label.size()) + label;
    return name + '\0';
}

QByteArray Question(const char* Dotted, int Type) {
    return Name(Dotted) + U16(Type) + U16(1);
}

// A record owned by the question's name (a pointer to offset 12), class IN, TTL 60.
QByteArray Record(int Type, const QByteArray& Data) {
    return QByteArray::fromHex("c00c") + U16(Type) + U16(1) + QByteArray::fromHex("0000003c") +
           U16(int(Data.size())) + Data;
}

// A length-prefixed message: identifier, flags, the question (none when empty) and the answers.
QByteArray Message(int ID, int Flags, const QByteArray& Question, const QList<QByteArray>& Answers = {}) {
    QByteArray m = U16(ID) + U16(Flags) + U16(Question.isEmpty() ? 0 : 1) + U16(int(Answers.size())) +
                   U16(0) + U16(0) + Question;
    for (const QByteArray& a : Answers)
        m += a;
    return U16(int(m.size())) + m;
}

// The answers a good server gives to "x.example" A (id 12A2) and MX (id 12A3).
const QByteArray AnswerA =
    Message(0x12A2, 0x8180, Question("x.example", 1), {Record(1, QByteArray::fromHex("c0000201"))});
const QByteArray AnswerMX =
    Message(0x12A3, 0x8180, Question("x.example", 15), {Record(15, U16(10) + Name("mail.x.example"))});
const char* const LineA = "x.example. 60 IN A 192.0.2.1\n";
const char* const LineMX = "x.example. 60 IN MX 10 mail.x.example.\n";
// Each query message for "x.example" is 29 bytes with its length prefix.
constexpr int QueryBytes = 29;

QJsonObject ReadQuery(int Bytes = QueryBytes) {
    return {{"read_bytes", Bytes}};
}
QJsonObject SendBytes(const QByteArray& Bytes, int Blocks = 1, int DelayMs = 0) {
    QJsonObject step{{"send_hex", QString::fromLatin1(Bytes.toHex())}};
    if (Blocks > 1)
        step.insert(QStringLiteral("blocks"), Blocks);
    if (DelayMs > 0)
        step.insert(QStringLiteral("delay_ms"), DelayMs);
    return step;
}
QJsonObject SendText(const QByteArray& Text, int Blocks = 1, int DelayMs = 0) {
    return SendBytes(Text, Blocks, DelayMs);
}
QJsonObject Hang() {
    return {{"hang", true}};
}
QJsonObject Close() {
    return {{"close", true}};
}
QJsonObject Script(const QJsonArray& Steps) {
    return {{"steps", Steps}};
}

// ---- the table -----------------------------------------------------------------------------------------

struct PeerCase {
    PeerCase(const char* AWhat, QStringList AArgs, QJsonObject ATcp, FakeNTPServer::Answer AUdp, int AExit,
             QString AOut, QString AErr, int AMaxSeconds, bool AConnects = true, QByteArray AReceived = {})
        : What(AWhat), Args(std::move(AArgs)), Tcp(std::move(ATcp)), Udp(std::move(AUdp)), Exit(AExit),
          Out(std::move(AOut)), Err(std::move(AErr)), MaxSeconds(AMaxSeconds), Connects(AConnects),
          Received(std::move(AReceived)) {}
    const char* What;
    QStringList Args;          // "PORT" stands for the peer's port
    QJsonObject Tcp;           // a scripted.py script, or empty
    FakeNTPServer::Answer Udp; // an NTP peer, or empty
    int Exit;
    QString Out;         // the whole standard output, as a regular expression
    QString Err;         // a piece of standard error ("" for none at all)
    int MaxSeconds;      // it must end sooner
    bool Connects;       // false: refused before anything is connected
    QByteArray Received; // with a TCP peer and not empty: exactly what it must have received
};

TEST(HostilePeers, DaytimeSntpAndDnsGiveTheRightStatusAndMessage) {
    const QString today = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\n");
    QByteArray manyLines = "\n61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) * \n";
    while (manyLines.size() < 3 * 1024 * 1024)
        manyLines += QByteArray(1023, 'z') + '\n';
    const QByteArray injected =
        Message(0x12A2, 0x8180, Question("evil.example", 1), {Record(1, QByteArray::fromHex("06060606"))});
    const QByteArray aceQuestion = Question("xn--bcher-kva.example", 1);
    // clang-format off
    const PeerCase cases[] = {
        // ---- daytime
        {"daytime, the usual public layout",
         {"daytime", "--host", "127.0.0.1", "--port", "PORT"},
         Script({SendText("\n61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) * \n")}), {}, 0,
         "2026-12-07 07:30:35\n", "", 10},
        {"daytime, a reply without a date is a failure, not 2001-01-01 01:01:01",
         {"daytime", "--host", "127.0.0.1", "--port", "PORT"}, Script({SendText("hello world\r\n")}), {},
         1, "",
         "kvinet daytime: The reply holds no date and time", 10},
        {"daytime, digits before the first separator only",
         {"daytime", "--host", "127.0.0.1", "--port", "PORT"}, Script({SendText("123456\r\n")}), {}, 1, "",
         "The reply holds no date and time", 10},
        {"daytime, nothing at all", {"daytime", "--host", "127.0.0.1", "--port", "PORT"},
         Script({Close()}), {}, 1, "", "kvinet daytime: No answer from server", 10},
        {"daytime, a huge reply is cut at 64 KiB and still read",
         {"daytime", "--host", "127.0.0.1", "--port", "PORT"}, Script({SendText(manyLines)}), {}, 0,
         "2026-12-07 07:30:35\n", "", 20},
        {"daytime, a dripping server is held by --max-time",
         {"daytime", "--host", "127.0.0.1", "--port", "PORT", "--max-time", "2"},
         Script({SendText("61381 26-12-07 07:30:35 UTC\n", 28, 1000)}), {}, 1, "",
         "The operation took longer than 2 seconds", 8},
        {"daytime, a silent server", {"daytime", "--host", "127.0.0.1", "--port", "PORT", "--timeout", "1"},
         Script({Hang()}), {}, 1, "", "Connection timed out", 8},
        {"daytime, --proxy cannot work and is refused",
         {"daytime", "--host", "127.0.0.1", "--port", "PORT", "--proxy", "127.0.0.1:1"}, Script({Hang()}), {},
         2, "", "unknown option '--proxy'", 10, false},
        {"daytime, a dripping server is held by --timeout as a whole",
         {"daytime", "--host", "127.0.0.1", "--port", "PORT", "--timeout", "3"},
         Script({SendText("61381 26-12-07 07:30:35 UTC\n", 28, 1000)}), {}, 1, "",
         "kvinet daytime: No complete reply within 3 seconds", 40},

        // ---- SNTP
        {"sntp, a good reply", {"sntp", "--host", "127.0.0.1", "--port", "PORT"}, {},
         [](const QByteArray& Request) {
             const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch() + 2208988800LL);
             return Datagrams{{false, ServerReply(Request, 0x24, 2, now)}};
         },
         0, today, "", 10},
        {"sntp, a zero transmit timestamp is rejected, not 2036",
         {"sntp", "--host", "127.0.0.1", "--port", "PORT"}, {},
         [](const QByteArray& Request) { return Datagrams{{false, ServerReply(Request, 0x24, 2, 0)}}; },
         1, "",
         "kvinet sntp: the reply of 127.0.0.1 was rejected: the transmit timestamp is zero", 10},
        {"sntp, an unsynchronised server", {"sntp", "--host", "127.0.0.1", "--port", "PORT"}, {},
         [](const QByteArray& Request) {
             return Datagrams{{false, ServerReply(Request, 0xE4, 2, 0xEB000000u)}};
         },
         1, "", "was rejected: the server is not synchronised (leap indicator 3)", 10},
        {"sntp, a silent server", {"sntp", "--host", "127.0.0.1", "--port", "PORT", "--timeout", "2"}, {},
         [](const QByteArray&) { return Datagrams{}; }, 1, "",
         "kvinet sntp: No reply from the NTP server within 2 seconds", 8},
        {"sntp, a forged reply from another port, then a zero one from the server",
         {"sntp", "--host", "127.0.0.1", "--port", "PORT", "--timeout", "2"}, {},
         [](const QByteArray& Request) {
             return Datagrams{{true, ServerReply(Request, 0x24, 2, 0xEB000000u)},
                              {false, ServerReply(Request, 0x24, 2, 0)}};
         },
         1, "", "the transmit timestamp is zero", 8},

        // ---- DNS
        {"dns, two good answers", {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT", "--type",
         "A,MX"},
         Script({ReadQuery(), SendBytes(AnswerA), ReadQuery(), SendBytes(AnswerMX), Hang()}), {}, 0,
         QRegularExpression::escape(QString::fromLatin1(LineA) + QString::fromLatin1(LineMX)), "", 10},
        {"dns, a duplicate answer is not the answer to the next question",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT", "--type", "A,MX"},
         Script({ReadQuery(), SendBytes(AnswerA + AnswerA), ReadQuery(), SendBytes(AnswerMX), Hang()}), {}, 0,
         QRegularExpression::escape(QString::fromLatin1(LineA) + QString::fromLatin1(LineMX)), "", 10},
        {"dns, a duplicate answer and nothing else: no MX is made up",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT", "--type", "A,MX", "--timeout", "2"},
         Script({ReadQuery(), SendBytes(AnswerA + AnswerA), ReadQuery(), Hang()}), {}, 1, "",
         "kvinet dns: No answer to the question x.example. MX within 2 seconds", 8},
        {"dns, foreign messages are skipped: another ID, QR clear, another question, another type",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT"},
         Script({ReadQuery(),
                 SendBytes(Message(0x9999, 0x8180, Question("x.example", 1),
                                   {Record(1, QByteArray::fromHex("06060606"))}) +
                           Message(0x12A2, 0x0100, Question("x.example", 1),
                                   {Record(1, QByteArray::fromHex("06060606"))}) +
                           injected +
                           Message(0x12A2, 0x8180, Question("x.example", 15),
                                   {Record(1, QByteArray::fromHex("06060606"))}) +
                           AnswerA),
                 Hang()}),
         {}, 0, QRegularExpression::escape(QString::fromLatin1(LineA)), "", 10},
        {"dns, the question compares without regard to case",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT"},
         Script({ReadQuery(), SendBytes(Message(0x12A2, 0x8180, Question("X.eXample", 1),
                                                {Record(1, QByteArray::fromHex("c0000201"))})),
                 Hang()}),
         {}, 0, QRegularExpression::escape(QStringLiteral("X.eXample. 60 IN A 192.0.2.1\n")), "", 10},
        {"dns, only a forged answer: a time-out, not its record",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT", "--timeout", "2"},
         Script({ReadQuery(), SendBytes(injected), Hang()}), {}, 1, "",
         "kvinet dns: No answer to the question x.example. A within 2 seconds", 8},
        {"dns, a server dripping one byte a second is held by --timeout",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT", "--timeout", "3"},
         Script({ReadQuery(), SendBytes(AnswerA, int(AnswerA.size()), 1000)}), {}, 1, "",
         "No answer to the question x.example. A within 3 seconds", 8},
        {"dns, a truncated answer is a failure, not an empty success",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT"},
         Script({ReadQuery(), SendBytes(Message(0x12A2, 0x8380, Question("x.example", 1))), Hang()}), {},
         1, "",
         "kvinet dns: The answer to the question x.example. A is truncated (TC set)", 10},
        {"dns, a refusal without the question is still the answer",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT"},
         Script({ReadQuery(), SendBytes(Message(0x12A2, 0x8185, QByteArray())), Hang()}), {}, 1,
         "status: REFUSED\n", "", 10},
        {"dns, a name beyond ASCII goes in its IDNA form",
         {"dns", "b\u00fccher.example", "--host", "127.0.0.1", "--port", "PORT"},
         Script({ReadQuery(41), SendBytes(Message(0x12A2, 0x8180, aceQuestion,
                                                  {Record(1, QByteArray::fromHex("c0000202"))})),
                 Hang()}),
         {}, 0, QRegularExpression::escape(QStringLiteral("xn--bcher-kva.example. 60 IN A 192.0.2.2\n")), "",
         10, true, U16(39) + U16(0x12A2) + U16(0x0100) + U16(1) + U16(0) + U16(0) + U16(0) + aceQuestion},
        {"dns, an empty name is a usage error", {"dns", "", "--host", "127.0.0.1", "--port", "PORT"},
         Script({Hang()}), {}, 2, "", "kvinet dns: NAME is empty", 10, false},
        {"dns, an empty label is a usage error", {"dns", "a..example", "--host", "127.0.0.1", "--port",
         "PORT"},
         Script({Hang()}), {}, 2, "", "has an empty label", 10, false},
        {"dns, --proxy cannot work and is refused",
         {"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT", "--proxy", "127.0.0.1:1"},
         Script({Hang()}), {}, 2, "", "unknown option '--proxy'", 10, false},
    };
    // clang-format on
    for (const PeerCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::unique_ptr<ScriptedSession> tcp;
        std::unique_ptr<FakeNTPServer> udp;
        int port = 0;
        if (!c.Tcp.isEmpty()) {
            tcp = std::make_unique<ScriptedSession>(c.Tcp);
            port = tcp->Port();
        } else {
            udp = std::make_unique<FakeNTPServer>(c.Udp);
            port = udp->Port();
        }
        QStringList args = c.Args;
        args.replaceInStrings(QRegularExpression(QStringLiteral("^PORT$")), QString::number(port));
        QElapsedTimer clock;
        clock.start();
        const ProcessResult r = Kvinet(args);
        const qint64 seconds = clock.elapsed() / 1000;
        EXPECT_EQ(r.ExitCode, c.Exit) << r.Err.toStdString();
        EXPECT_TRUE(QRegularExpression(QStringLiteral("\\A(?:%1)\\z").arg(c.Out))
                        .match(QString::fromUtf8(r.Out))
                        .hasMatch())
            << "stdout: " << r.Out.toStdString();
        if (c.Err.isEmpty())
            EXPECT_EQ(r.Err, QByteArray());
        else
            EXPECT_TRUE(QString::fromUtf8(r.Err).contains(c.Err)) << "stderr: " << r.Err.toStdString();
        EXPECT_FALSE(r.Err.contains('\r')) << "a raw CR in the message";
        EXPECT_LT(seconds, c.MaxSeconds);
        if (tcp && !c.Connects) {
            QThread::msleep(300);
            EXPECT_EQ(tcp->Connections(), 0) << "connected although the input was refused";
        }
        if (tcp && !c.Received.isEmpty()) {
            EXPECT_EQ(tcp->Received().toHex(), c.Received.toHex());
        }
    }
}

// The daytime client keeps at most 64 KiB of a reply, whatever the server sends.
TEST(HostilePeers, DaytimeKeepsAtMost64KiB) {
    QByteArray reply = "07 DEC 2026 07:30:35 UTC\r\n";
    reply += QByteArray(4 * 1024 * 1024, 'x');
    ScriptedSession session(Script({SendText(reply, 8)}));
    TKvInetDateTime daytime;
    daytime.SetAddress(QStringLiteral("127.0.0.1"));
    daytime.SetPort(session.Port());
    daytime.SetTimeout(20);
    qsizetype seen = 0;
    daytime.SetOnAfterExecute([&](QObject*, QString& Text) { seen = Text.size(); });
    EXPECT_DOUBLE_EQ(daytime.GetDateTime(), EncodeDate(2026, 12, 7) + EncodeTime(7, 30, 35, 0));
    EXPECT_EQ(seen, 64 * 1024);
    EXPECT_FALSE(daytime.Connected());
}

} // namespace
