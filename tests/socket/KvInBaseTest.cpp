// test-servers: scripted
// The socket base: endpoint rules, the header block, the execute cycle against the scripted peer,
// failures (refused, silent server, early close, cleared errors), kept connections, proxy settings.
#include "socket/KvInBase.h"
#include "socket/KvILogOn.h"
#include "socket/KvInCnst.h"

#include "support/ScriptedPeer.h"

#include <QStringList>
#include <QTcpServer>

using namespace KvInet;
using KvTest::ScriptedSession;
using namespace KvTest::Script;

namespace {

/// A base with a fixed query, and hooks opened for the tests.
class TTestClient : public TKvInetBase {
public:
    QString Query;
    bool Binary = false;
    QString CompleteAfter;
    using TKvInetBase::AddrIsIP;
    using TKvInetBase::StepCount;

protected:
    QString GetQuery() override { return Query; }
    bool QueryIsBinary() const override { return Binary; }
    bool ReplyComplete(const QString& Text) const override {
        return !CompleteAfter.isEmpty() && Text.endsWith(CompleteAfter);
    }
};

QByteArray Bytes(const char* Text) { return QByteArray(Text); }

/// A peer that reads one request (up to the empty line) and answers with the given pieces.
QJsonObject Answer(const QList<QByteArray>& Pieces, int DelayMs = 0) {
    QJsonArray steps{ReadRequest()};
    for (const QByteArray& p : Pieces) {
        steps.append(Send(p));
        if (DelayMs)
            steps.append(Sleep(DelayMs));
    }
    return Steps(steps);
}

void Target(TKvInetBase& Client, const ScriptedSession& Peer) {
    Client.SetAddress(QStringLiteral("127.0.0.1"));
    Client.SetPort(Peer.Port());
}

} // namespace

TEST(KvInBase, AddrIsIP) {
    struct {
        const char* Text;
        bool IP;
    } cases[] = {{"10.0.0.1", true},   {"0.0.0.0", true},        {"255.255.255.255", true}, {"10.0.0", false},
                 {"10.0.0.1.5", false}, {"10.0.0.256", false},   {"10.0.0.1.", false},      {"mail", false},
                 {"", false},           {"10..0.1", false},      {"-1.0.0.1", false},       {"::1", false},
                 {"1.2.3.4x", false},   {"www.example.com", false}};
    for (const auto& c : cases)
        EXPECT_EQ(TTestClient::AddrIsIP(QString::fromLatin1(c.Text)), c.IP) << c.Text;
}

TEST(KvInBase, HostAndAddressSettersSortTheValue) {
    TTestClient client;
    client.SetHost(QStringLiteral("10.1.2.3"));
    EXPECT_EQ(client.Host(), QString());
    EXPECT_EQ(client.Address(), QStringLiteral("10.1.2.3"));
    client.SetAddress(QStringLiteral("mail"));
    EXPECT_EQ(client.Address(), QString());
    EXPECT_EQ(client.Host(), QStringLiteral("mail"));
    EXPECT_EQ(client.About(), QString());
    client.SetAbout(QStringLiteral("x"));
    EXPECT_EQ(client.About(), QString());
    EXPECT_TRUE(client.LoginPrompt());
    EXPECT_FALSE(client.KeepConnection());
    EXPECT_EQ(client.Port(), 0);
    EXPECT_EQ(client.Timeout(), 30);
    EXPECT_EQ(client.ClientType(), ctBlocking);
}

TEST(KvInBase, RawHeaderBlock) {
    TTestClient client;
    EXPECT_EQ(client.GetRawHeaders(), QStringLiteral("Proxy-Connection: Keep-Alive\r\n\r\n"));
    client.SetLoginPrompt(false);
    client.Proxy()->SetUseProxy(true);
    client.Proxy()->SetUser(QStringLiteral("u"));
    // Without a proxy server the query goes to the origin: the proxy's credentials must not go with it.
    EXPECT_EQ(client.GetRawHeaders(), QStringLiteral("Proxy-Connection: Keep-Alive\r\n\r\n"));
    client.Proxy()->SetUser(QString());
    client.Proxy()->SetServer(QStringLiteral("proxy.example"));
    EXPECT_EQ(client.GetRawHeaders(), QStringLiteral("\r\n"));
    client.Proxy()->SetUser(QStringLiteral("u"));
    client.Proxy()->SetPassword(QStringLiteral("p"));
    EXPECT_EQ(client.GetRawHeaders(), QStringLiteral("Username: u\r\nPassword: p\r\n\r\n"));
    client.Proxy()->SetUser(QString());
    EXPECT_EQ(client.GetRawHeaders(), QStringLiteral("Password: p\r\n\r\n"));
}

TEST(KvInBase, LogonPromptOnEveryQueryThroughTheProxy) {
    TTestClient client;
    client.Proxy()->SetUseProxy(true);
    client.Proxy()->SetServer(QStringLiteral("proxy.example"));
    client.Proxy()->SetUser(QStringLiteral("old"));
    QStringList seen;
    bool confirm = false;
    const TKvLogonPrompt previous = SetLogonPrompt([&](const QString& Caption, QString& User, QString& Password) {
        seen << Caption + u'|' + User + u'|' + Password;
        if (confirm) {
            User = QStringLiteral("new");
            Password = QStringLiteral("secret");
        }
        return confirm;
    });
    EXPECT_EQ(client.GetRawHeaders(), QStringLiteral("Username: old\r\n\r\n")); // cancelled: values kept
    confirm = true;
    EXPECT_EQ(client.GetRawHeaders(), QStringLiteral("Username: new\r\nPassword: secret\r\n\r\n"));
    EXPECT_EQ(seen, QStringList({QStringLiteral("Proxy Server authorization|old|"),
                                 QStringLiteral("Proxy Server authorization|old|")}));
    client.Proxy()->SetUseProxy(false);
    client.GetRawHeaders();
    EXPECT_EQ(seen.size(), 2); // no prompt without the proxy
    SetLogonPrompt(previous);
}

TEST(KvInBase, QueryWithHeaderBlockAndReplyInBlocks) {
    // Three pieces with pauses between them, a zero byte and high bytes in the middle.
    const QByteArray reply = QByteArray("first part|", 11) + QByteArray("\0\x01\xff|", 4) + QByteArray("last");
    ScriptedSession peer(Answer({reply.left(11), reply.mid(11, 4), reply.mid(15)}, 100));
    TTestClient client;
    Target(client, peer);
    client.Query = QStringLiteral("example.com\r\n");
    int afterCalls = 0;
    QObject* afterSender = nullptr;
    client.SetOnAfterExecute([&](QObject* Sender, QString& Text) {
        ++afterCalls;
        afterSender = Sender;
        EXPECT_EQ(Text.size(), reply.size());
    });
    const QString result = client.Execute();
    EXPECT_EQ(result, KvTest::Wire(reply.constData(), reply.size()));
    EXPECT_EQ(afterCalls, 1);
    EXPECT_EQ(afterSender, &client);
    EXPECT_EQ(client.LastError(), QString());
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(peer.Received(), Bytes("example.com\r\nProxy-Connection: Keep-Alive\r\n\r\n"));
}

TEST(KvInBase, EmptyQuerySendsNothingAndReads) {
    ScriptedSession peer(Steps({Send("07 DEC 2026 07:30:35 UTC\r\n")}));
    TTestClient client;
    Target(client, peer);
    EXPECT_EQ(client.Execute(), QStringLiteral("07 DEC 2026 07:30:35 UTC\r\n"));
    EXPECT_EQ(peer.Received(), QByteArray());
}

TEST(KvInBase, StatusScreeningOfTheFirstBlock) {
    struct {
        QByteArray Reply;
        QString Expected;
    } cases[] = {
        {"HTTP/1.0 404 Not Found\r\n\r\nbody", QStringLiteral("File not found")},
        {"HTTP/1.1 401 Unauthorized\r\n\r\n", QStringLiteral("HTTP Server authorization required")},
        {"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", QStringLiteral("Proxy Server authorization required")},
        {"whois 404", QStringLiteral("File not found")},
        {"NoSpaceAtAll404", QStringLiteral("NoSpaceAtAll404")},
        {"Domain abc 404", QStringLiteral("Domain abc 404")},
        {"HTTP/1.0 200 OK\r\n\r\n404", QStringLiteral("HTTP/1.0 200 OK\r\n\r\n404")},
    };
    for (const auto& c : cases) {
        ScriptedSession peer(Answer({c.Reply}));
        TTestClient client;
        Target(client, peer);
        client.Query = QStringLiteral("q\r\n");
        EXPECT_EQ(client.Execute(), c.Expected) << c.Reply.constData();
        EXPECT_EQ(client.LastError(), c.Expected.startsWith(QLatin1String("HTTP/1.0 200")) ||
                                              c.Expected == QString::fromLatin1(c.Reply)
                                          ? QString()
                                          : c.Expected);
    }
    // Only the first block counts: a later " 404" is data.
    ScriptedSession later(Answer({"HELLO\r\n", "x 404 y"}, 200));
    TTestClient client;
    Target(client, later);
    client.Query = QStringLiteral("q\r\n");
    EXPECT_EQ(client.Execute(), QStringLiteral("HELLO\r\nx 404 y"));
    // The texts are read at each use.
    const QString saved = strKvInEFileNotFound;
    strKvInEFileNotFound = QStringLiteral("Nicht gefunden");
    ScriptedSession translated(Answer({"HTTP/1.0 404 Not Found\r\n\r\n"}));
    Target(client, translated);
    EXPECT_EQ(client.Execute(), QStringLiteral("Nicht gefunden"));
    strKvInEFileNotFound = saved;
}

TEST(KvInBase, BinaryQueryHasNoHeaderBlockAndNoScreening) {
    const QByteArray reply("\x00\x05 404\x01", 7);
    // Like a DNS server that keeps the connection open.
    ScriptedSession peer(Steps({ReadUntil(QByteArray("\x00\x02\xab\xcd", 4)), Send(reply), Hang()}));
    TTestClient client;
    Target(client, peer);
    client.Binary = true;
    client.CompleteAfter = QString(QChar(1));
    client.Query = KvTest::Wire("\x00\x02\xab\xcd", 4);
    EXPECT_EQ(client.Execute(), KvTest::Wire(reply.constData(), reply.size()));
    EXPECT_EQ(client.LastError(), QString());
    EXPECT_EQ(peer.Received(), QByteArray("\x00\x02\xab\xcd", 4));
}

TEST(KvInBase, TwoStepsRunAfterExecuteTwice) {
    ScriptedSession peer(Steps({ReadRequest(), Send("one;"), ReadUntil("two"), Send("two;")}));
    struct TTwoSteps : TTestClient {
        QString GetQuery() override { return CurrentStep == 0 ? QStringLiteral("one") : QStringLiteral("two"); }
    } client;
    Target(client, peer);
    client.StepCount = 2;
    client.CompleteAfter = QStringLiteral(";");
    QStringList steps;
    client.SetOnAfterExecute([&](QObject*, QString& Text) {
        steps << Text;
        Text = Text.toUpper();
    });
    EXPECT_EQ(client.Execute(), QStringLiteral("ONE;TWO;"));
    EXPECT_EQ(steps, QStringList({QStringLiteral("one;"), QStringLiteral("two;")}));
    EXPECT_EQ(peer.Received(), Bytes("oneProxy-Connection: Keep-Alive\r\n\r\ntwoProxy-Connection: Keep-Alive\r\n\r\n"));
}

TEST(KvInBase, EventsAndTheirSenders) {
    ScriptedSession peer(Answer({"ok"}));
    TTestClient client;
    client.SetHost(QStringLiteral("localhost"));
    client.SetPort(peer.Port());
    client.Query = QStringLiteral("q");
    QStringList order;
    QObject* socketSender = nullptr;
    auto note = [&](const char* Name) {
        return [&, Name](QObject* Sender, TCustomWinSocket* Socket) {
            order << QString::fromLatin1(Name);
            socketSender = Sender;
            EXPECT_NE(Socket, nullptr);
            if (QLatin1String(Name) == QLatin1String("connect")) {
                EXPECT_TRUE(client.Connected());
            }
        };
    };
    client.SetOnBeforeExecute([&](QObject* Sender) {
        order << QStringLiteral("before");
        EXPECT_EQ(Sender, &client);
    });
    client.SetOnLookup(note("lookup"));
    client.SetOnConnecting(note("connecting"));
    client.SetOnConnect(note("connect"));
    client.SetOnDisconnect(note("disconnect"));
    EXPECT_EQ(client.Execute(), QStringLiteral("ok"));
    // The server's close is noticed as a disconnect; Disconnect then has nothing left to close.
    EXPECT_EQ(order, QStringList({QStringLiteral("before"), QStringLiteral("lookup"), QStringLiteral("connecting"),
                                  QStringLiteral("connect"), QStringLiteral("disconnect")}));
    EXPECT_NE(socketSender, nullptr);
    EXPECT_NE(socketSender, &client);

    // A numeric address needs no lookup.
    order.clear();
    Target(client, peer);
    client.Execute();
    EXPECT_FALSE(order.contains(QStringLiteral("lookup")));
}

TEST(KvInBase, MissingHostRaisesTheCurrentText) {
    TTestClient client;
    const QString saved = strKvInEHost;
    strKvInEHost = QStringLiteral("Kein Host.");
    try {
        client.Execute();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Kein Host."));
    }
    EXPECT_EQ(client.LastError(), QStringLiteral("Kein Host."));
    EXPECT_THROW(client.Connect(), Exception);
    strKvInEHost = saved;
}

TEST(KvInBase, RefusedConnectionLeavesExecute) {
    TTestClient client;
    client.SetAddress(QStringLiteral("127.0.0.1"));
    client.SetPort(KvTest::UnusedPort());
    TErrorEvent event = eeGeneral;
    client.SetOnError([&](QObject*, TCustomWinSocket*, TErrorEvent E, int& Code) {
        event = E;
        EXPECT_NE(Code, 0);
    });
    try {
        client.Execute();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_TRUE(e.Message().contains(QLatin1String("Connection refused"))) << e.what();
        EXPECT_EQ(client.LastError(), e.Message());
    }
    EXPECT_EQ(event, eeConnect);
    EXPECT_FALSE(client.Connected());
    // Unknown names fail in the lookup.
    client.SetHost(QStringLiteral("no-such-host.invalid"));
    EXPECT_THROW(client.Execute(), ESocketError);
    EXPECT_EQ(event, eeLookup);
}

TEST(KvInBase, SilentServerTimesOutOnTheRead) {
    ScriptedSession peer(Steps({Hang()}));
    TTestClient client;
    Target(client, peer);
    client.SetTimeout(1);
    client.Query = QStringLiteral("q\r\n");
    const QString result = client.Execute();
    EXPECT_TRUE(result.startsWith(QLatin1String("Socket error: ")) && result.contains(QLatin1String("timed out")))
        << result.toStdString();
    EXPECT_EQ(client.LastError(), result);
    EXPECT_FALSE(client.Connected());
}

TEST(KvInBase, ClearedErrorKeepsTheTextReadSoFar) {
    ScriptedSession peer(Steps({ReadRequest(), Send("partial"), Hang()}));
    TTestClient client;
    Target(client, peer);
    client.SetTimeout(1);
    client.Query = QStringLiteral("q\r\n");
    int errors = 0;
    client.SetOnError([&](QObject*, TCustomWinSocket*, TErrorEvent E, int& Code) {
        ++errors;
        EXPECT_EQ(E, eeReceive);
        Code = 0;
    });
    EXPECT_EQ(client.Execute(), QStringLiteral("partial"));
    EXPECT_EQ(errors, 1);
    EXPECT_FALSE(client.Connected());
}

TEST(KvInBase, ServerClosingMidReplyEndsTheReply) {
    ScriptedSession peer(Answer({"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nonly a bit"}));
    TTestClient client;
    Target(client, peer);
    client.Query = QStringLiteral("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Execute(), QStringLiteral("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nonly a bit"));
    EXPECT_EQ(client.LastError(), QString());
}

TEST(KvInBase, FailedStepClosesTheConnection) {
    // The first connection's refused reply has a tail that must never be read as the next answer.
    ScriptedSession peer(Connections(
        {Steps({ReadRequest(), Send("HTTP/1.0 404 Not Found\r\n\r\n"), Sleep(200), Send("stale tail")}),
         Answer({"fresh"})}));
    TTestClient client;
    Target(client, peer);
    client.Query = QStringLiteral("q\r\n");
    EXPECT_EQ(client.Execute(), QStringLiteral("File not found"));
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.Execute(), QStringLiteral("fresh"));
    EXPECT_EQ(peer.Connections(), 2);
}

TEST(KvInBase, KeptConnectionClosedByTheServerIsReopened) {
    ScriptedSession peer(Connections({Answer({"first"}), Answer({"second"})}));
    TTestClient client;
    Target(client, peer);
    client.SetKeepConnection(true);
    client.Query = QStringLiteral("q\r\n");
    EXPECT_EQ(client.Execute(), QStringLiteral("first"));
    EXPECT_EQ(client.Execute(), QStringLiteral("second"));
    EXPECT_EQ(peer.Connections(), 2);
}

TEST(KvInBase, KeptConnectionCarriesTheNextQuery) {
    ScriptedSession peer(Steps({ReadUntil("a\r\nProxy-Connection: Keep-Alive\r\n\r\n"), Send("A."),
                                ReadUntil("b\r\nProxy-Connection: Keep-Alive\r\n\r\n"), Send("B.")}));
    TTestClient client;
    Target(client, peer);
    client.SetKeepConnection(true);
    client.CompleteAfter = QStringLiteral(".");
    client.Query = QStringLiteral("a\r\n");
    EXPECT_EQ(client.Execute(), QStringLiteral("A."));
    EXPECT_TRUE(client.Connected());
    client.Query = QStringLiteral("b\r\n");
    EXPECT_EQ(client.Execute(), QStringLiteral("B."));
    EXPECT_EQ(peer.Connections(), 1);
    client.Disconnect();
    EXPECT_FALSE(client.Connected());
}

TEST(KvInBase, ConnectThroughTheProxyReportsTheProxyEndpoint) {
    ScriptedSession proxy(Answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    TTestClient client;
    client.SetHost(QStringLiteral("origin.example"));
    client.SetPort(80);
    client.SetLoginPrompt(false);
    client.Proxy()->SetServer(QStringLiteral("127.0.0.1"));
    client.Proxy()->SetPort(proxy.Port());
    client.Proxy()->SetUseProxy(true);
    client.SetKeepConnection(true);
    client.Connect();
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.Host(), QString());
    EXPECT_EQ(client.Address(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(client.Port(), proxy.Port());
    client.Disconnect();
}

TEST(KvInBase, IPv6Literal) {
    if (!QTcpServer().listen(QHostAddress::LocalHostIPv6))
        GTEST_SKIP() << "no IPv6 loopback here";
    ScriptedSession peer(Answer({"v6"}), QStringLiteral("::1"));
    TTestClient client;
    // Written as in a URL, in brackets, it is the same address.
    client.SetHost(QStringLiteral("[::1]"));
    EXPECT_EQ(client.Host(), QStringLiteral("::1"));
    client.SetPort(peer.Port());
    client.Query = QStringLiteral("q");
    EXPECT_EQ(client.Execute(), QStringLiteral("v6"));
}

// What must never reach the wire is refused before anything is connected; limits and foreign exceptions
// end in the text and LastError, never in the host application.
TEST(KvInBase, RefusalsLimitsAndForeignExceptions) {
    TTestClient client;
    EXPECT_THROW(client.SetPort(105641), EConvertError); // would connect to port 40105
    EXPECT_THROW(client.SetPort(-1), EConvertError);
    EXPECT_EQ(client.Port(), 0);

    ScriptedSession peer(Answer({"reply"}));
    client.SetAddress(QStringLiteral("127.0.0.1"));
    client.Query = QStringLiteral("q\r\n");
    EXPECT_EQ(client.Execute(), QStringLiteral("Invalid Port: no port is set"));
    client.SetPort(peer.Port());
    client.SetHost(QStringLiteral("127.0.0.1\r\nX: y"));
    EXPECT_EQ(client.Execute(), QStringLiteral("Invalid Host: line breaks are not allowed"));
    EXPECT_EQ(client.LastError(), QStringLiteral("Invalid Host: line breaks are not allowed"));
    EXPECT_EQ(peer.Connections(), 0);

    // A send that writes nothing (the connection gone before the query) is "No answer from server".
    client.SetAddress(QStringLiteral("127.0.0.1"));
    client.SetOnConnect(
        [](QObject* Sender, TCustomWinSocket*) { qobject_cast<TClientSocket*>(Sender)->Close(); });
    EXPECT_EQ(client.Execute(), QStringLiteral("No answer from server"));
    EXPECT_EQ(client.LastError(), QStringLiteral("No answer from server"));
    client.SetOnConnect(nullptr);

    struct TGreedy : TTestClient {
        void AfterExecute(QString&) override { throw std::bad_alloc(); }
    } greedy;
    ScriptedSession other(Answer({"reply"}));
    Target(greedy, other);
    greedy.Query = QStringLiteral("q\r\n");
    EXPECT_EQ(greedy.Execute(), QStringLiteral("Out of memory while receiving the reply"));
    EXPECT_FALSE(greedy.Connected());
}
