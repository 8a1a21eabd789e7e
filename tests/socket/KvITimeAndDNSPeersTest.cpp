// test-servers: scripted
// test-timeout: 300
// kvinet daytime, sntp and dns against hostile and broken peers: tables of peers (the scripted server for
// TCP, a UDP peer in this process for NTP), each row with the exit status, the output and the message it
// must give. The answers are written out here byte by byte, not made by the code under test.
#include "support/CommandCases.h"

#include "socket/KvISNTP.h"
#include "socket/KvITime.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

using namespace KvInet;
using namespace KvTest;
using namespace KvTest::Script;

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

// ---- the tables ----------------------------------------------------------------------------------------

TEST(HostilePeers, DaytimeSntpAndDnsGiveTheRightStatusAndMessage) {
    QByteArray manyLines = "\n61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) * \n";
    while (manyLines.size() < 3 * 1024 * 1024)
        manyLines += QByteArray(1023, 'z') + '\n';
    const QByteArray injected =
        Message(0x12A2, 0x8180, Question("evil.example", 1), {Record(1, QByteArray::fromHex("06060606"))});
    const QByteArray aceQuestion = Question("xn--bcher-kva.example", 1);
    const QStringList daytime{"daytime", "--host", "127.0.0.1", "--port", "PORT"};
    const QStringList dns{"dns", "x.example", "--host", "127.0.0.1", "--port", "PORT"};
    RunCommandCases({
        // ---- daytime
        {.What = "daytime, the usual public layout",
         .Args = daytime,
         .Script = Steps({Send("\n61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) * \n")}),
         .Out = Exactly("2026-12-07 07:30:35\n")},
        {.What = "daytime, a reply without a date is a failure, not 2001-01-01 01:01:01",
         .Args = daytime,
         .Script = Steps({Send("hello world\r\n")}),
         .Exit = 1,
         .Err = Contains("kvinet daytime: The reply holds no date and time")},
        {.What = "daytime, digits before the first separator only",
         .Args = daytime,
         .Script = Steps({Send("123456\r\n")}),
         .Exit = 1,
         .Err = Contains("The reply holds no date and time")},
        {.What = "daytime, nothing at all",
         .Args = daytime,
         .Script = Steps({Close()}),
         .Exit = 1,
         .Err = Contains("kvinet daytime: No answer from server")},
        {.What = "daytime, a huge reply is cut at 64 KiB and still read",
         .Args = daytime,
         .Script = Steps({Send(manyLines)}),
         .Out = Exactly("2026-12-07 07:30:35\n")},
        {.What = "daytime, a dripping server is held by --max-time",
         .Args = daytime + QStringList{"--max-time", "2"},
         .Script = Steps({Send("61381 26-12-07 07:30:35 UTC\n", 28, 1000)}),
         .Exit = 1,
         .Err = Contains("The operation took longer than 2 seconds")},
        {.What = "daytime, a silent server",
         .Args = daytime + QStringList{"--timeout", "1"},
         .Script = Steps({Hang()}),
         .Exit = 1,
         .Err = Contains("Connection timed out")},
        {.What = "daytime, --proxy cannot work and is refused",
         .Args = daytime + QStringList{"--proxy", "127.0.0.1:1"},
         .Script = Steps({Hang()}),
         .Exit = 2,
         .Err = Contains("unknown option '--proxy'"),
         .Refused = true},
        {.What = "daytime, a dripping server is held by --timeout as a whole",
         .Args = daytime + QStringList{"--timeout", "3"},
         .Script = Steps({Send("61381 26-12-07 07:30:35 UTC\n", 28, 1000)}),
         .Exit = 1,
         .Err = Contains("kvinet daytime: No complete reply within 3 seconds")},

        // ---- DNS
        {.What = "dns, two good answers",
         .Args = dns + QStringList{"--type", "A,MX"},
         .Script =
             Steps({ReadBytes(QueryBytes), Send(AnswerA), ReadBytes(QueryBytes), Send(AnswerMX), Hang()}),
         .Out = Exactly(QByteArray(LineA) + LineMX)},
        {.What = "dns, a duplicate answer is not the answer to the next question",
         .Args = dns + QStringList{"--type", "A,MX"},
         .Script = Steps(
             {ReadBytes(QueryBytes), Send(AnswerA + AnswerA), ReadBytes(QueryBytes), Send(AnswerMX), Hang()}),
         .Out = Exactly(QByteArray(LineA) + LineMX)},
        {.What = "dns, a duplicate answer and nothing else: no MX is made up",
         .Args = dns + QStringList{"--type", "A,MX", "--timeout", "2"},
         .Script = Steps({ReadBytes(QueryBytes), Send(AnswerA + AnswerA), ReadBytes(QueryBytes), Hang()}),
         .Exit = 1,
         .Err = Contains("kvinet dns: No answer to the question x.example. MX within 2 seconds")},
        {.What = "dns, foreign messages are skipped: another ID, QR clear, another question, another type",
         .Args = dns,
         .Script = Steps({ReadBytes(QueryBytes),
                          Send(Message(0x9999, 0x8180, Question("x.example", 1),
                                       {Record(1, QByteArray::fromHex("06060606"))}) +
                               Message(0x12A2, 0x0100, Question("x.example", 1),
                                       {Record(1, QByteArray::fromHex("06060606"))}) +
                               injected +
                               Message(0x12A2, 0x8180, Question("x.example", 15),
                                       {Record(1, QByteArray::fromHex("06060606"))}) +
                               AnswerA),
                          Hang()}),
         .Out = Exactly(LineA)},
        {.What = "dns, the question compares without regard to case",
         .Args = dns,
         .Script = Steps({ReadBytes(QueryBytes),
                          Send(Message(0x12A2, 0x8180, Question("X.eXample", 1),
                                       {Record(1, QByteArray::fromHex("c0000201"))})),
                          Hang()}),
         .Out = Exactly("X.eXample. 60 IN A 192.0.2.1\n")},
        {.What = "dns, only a forged answer: a time-out, not its record",
         .Args = dns + QStringList{"--timeout", "2"},
         .Script = Steps({ReadBytes(QueryBytes), Send(injected), Hang()}),
         .Exit = 1,
         .Err = Contains("kvinet dns: No answer to the question x.example. A within 2 seconds")},
        {.What = "dns, a server dripping one byte a second is held by --timeout",
         .Args = dns + QStringList{"--timeout", "3"},
         .Script = Steps({ReadBytes(QueryBytes), Send(AnswerA, int(AnswerA.size()), 1000)}),
         .Exit = 1,
         .Err = Contains("No answer to the question x.example. A within 3 seconds")},
        {.What = "dns, a truncated answer is a failure, not an empty success",
         .Args = dns,
         .Script =
             Steps({ReadBytes(QueryBytes), Send(Message(0x12A2, 0x8380, Question("x.example", 1))), Hang()}),
         .Exit = 1,
         .Err = Contains("kvinet dns: The answer to the question x.example. A is truncated (TC set)")},
        {.What = "dns, a refusal without the question is still the answer",
         .Args = dns,
         .Script = Steps({ReadBytes(QueryBytes), Send(Message(0x12A2, 0x8185, QByteArray())), Hang()}),
         .Exit = 1,
         .Out = Exactly("status: REFUSED\n")},
        {.What = "dns, a name beyond ASCII goes in its IDNA form",
         .Args = {"dns", "b\u00fccher.example", "--host", "127.0.0.1", "--port", "PORT"},
         .Script =
             Steps({ReadBytes(41),
                    Send(Message(0x12A2, 0x8180, aceQuestion, {Record(1, QByteArray::fromHex("c0000202"))})),
                    Hang()}),
         .Out = Exactly("xn--bcher-kva.example. 60 IN A 192.0.2.2\n"),
         .Received =
             Exactly(U16(39) + U16(0x12A2) + U16(0x0100) + U16(1) + U16(0) + U16(0) + U16(0) + aceQuestion)},
        {.What = "dns, an empty name is a usage error",
         .Args = {"dns", "", "--host", "127.0.0.1", "--port", "PORT"},
         .Script = Steps({Hang()}),
         .Exit = 2,
         .Err = Contains("kvinet dns: NAME is empty"),
         .Refused = true},
        {.What = "dns, an empty label is a usage error",
         .Args = {"dns", "a..example", "--host", "127.0.0.1", "--port", "PORT"},
         .Script = Steps({Hang()}),
         .Exit = 2,
         .Err = Contains("has an empty label"),
         .Refused = true},
        {.What = "dns, --proxy cannot work and is refused",
         .Args = dns + QStringList{"--proxy", "127.0.0.1:1"},
         .Script = Steps({Hang()}),
         .Exit = 2,
         .Err = Contains("unknown option '--proxy'"),
         .Refused = true},
    });

    // ---- SNTP: UDP peers of this test's own, one per case, given to the runner by their port
    const QStringList sntp{"sntp", "--host", "127.0.0.1", "--port", "PORT"};
    const struct {
        FakeNTPServer::Answer Answer;
        CommandCase Case;
    } udp[] = {
        {[](const QByteArray& Request) {
             const uint32_t now = uint32_t(QDateTime::currentSecsSinceEpoch() + 2208988800LL);
             return Datagrams{{false, ServerReply(Request, 0x24, 2, now)}};
         },
         {.What = "sntp, a good reply",
          .Args = sntp,
          .Out = Matches("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\n")}},
        {[](const QByteArray& Request) {
             return Datagrams{{false, ServerReply(Request, 0x24, 2, 0)}};
         },
         {.What = "sntp, a zero transmit timestamp is rejected, not 2036",
          .Args = sntp,
          .Exit = 1,
          .Err =
              Contains("kvinet sntp: the reply of 127.0.0.1 was rejected: the transmit timestamp is zero")}},
        {[](const QByteArray& Request) {
             return Datagrams{{false, ServerReply(Request, 0xE4, 2, 0xEB000000u)}};
         },
         {.What = "sntp, an unsynchronised server",
          .Args = sntp,
          .Exit = 1,
          .Err = Contains("was rejected: the server is not synchronised (leap indicator 3)")}},
        {[](const QByteArray&) { return Datagrams{}; },
         {.What = "sntp, a silent server",
          .Args = sntp + QStringList{"--timeout", "2"},
          .Exit = 1,
          .Err = Contains("kvinet sntp: No reply from the NTP server within 2 seconds")}},
        {[](const QByteArray& Request) {
             return Datagrams{{true, ServerReply(Request, 0x24, 2, 0xEB000000u)},
                              {false, ServerReply(Request, 0x24, 2, 0)}};
         },
         {.What = "sntp, a forged reply from another port, then a zero one from the server",
          .Args = sntp + QStringList{"--timeout", "2"},
          .Exit = 1,
          .Err = Contains("the transmit timestamp is zero")}},
    };
    for (const auto& c : udp) {
        FakeNTPServer server(c.Answer);
        CommandCase run = c.Case;
        run.Port = server.Port();
        RunCommandCases({run});
    }
}

// The daytime client keeps at most 64 KiB of a reply, whatever the server sends.
TEST(HostilePeers, DaytimeKeepsAtMost64KiB) {
    QByteArray reply = "07 DEC 2026 07:30:35 UTC\r\n";
    reply += QByteArray(4 * 1024 * 1024, 'x');
    ScriptedSession session(Steps({Send(reply, 8)}));
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
