// test-servers: nginx squid scripted
// The HTTP client: request bytes (direct, numeric address, through a proxy) and reply splitting against a
// scripted peer; real exchanges with nginx (HEAD, GET, 404, 401, redirects, binary bodies) and
// squid (407, credentials from the logon prompt).
#include "socket/KvIHTTP.h"
#include "socket/KvILogOn.h"

#include "support/ScriptedPeer.h"

#include <QCryptographicHash>
#include <QFile>

#include <random>

using namespace KvInet;
using KvTest::ScriptedSession;
using namespace KvTest::Script;

namespace {

/// A direct request ends with the base's line and one empty line: read up to its end.
QJsonObject ReplyAfterBlock(const QByteArray& Text) {
    return Steps({ReadUntil("Keep-Alive\r\n\r\n"), Send(Text)});
}

int NginxPort() { return KvTest::ServerPort("nginx", "KV_NGINX_PORT"); }

void ToNginx(TKvIHTTPClient& Http, const QString& Request) {
    Http.SetHost(QStringLiteral("localhost"));
    Http.SetPort(NginxPort());
    Http.SetRequest(Request);
}

QString IndexPage() {
    return QString::fromLatin1(KvTest::ReadFile(KvTest::ServerEnv("nginx", "KV_NGINX_ROOT") + "/index.html"));
}

} // namespace

TEST(KvIHTTP, DirectRequestBytes) {
    ScriptedSession peer(ReplyAfterBlock("HTTP/1.0 200 OK\r\n\r\n"));
    TKvIHTTPClient http;
    EXPECT_EQ(http.Port(), 80);
    EXPECT_EQ(http.Action(), haHead);
    EXPECT_TRUE(http.RemoveHeaders());
    http.SetHost(QStringLiteral("localhost"));
    http.SetPort(peer.Port());
    http.SetAction(haGet);
    http.SetRequest(QStringLiteral("/a.html"));
    http.Headers()->Add(QStringLiteral("Accept: text/html"));
    http.Headers()->Add(QStringLiteral("X-Two: 2"));
    http.Execute();
    // The request ends once: the base's line goes with the header lines, before the one empty line.
    EXPECT_EQ(peer.Received(),
              QByteArray("GET /a.html HTTP/1.0\r\nHost: localhost:" + QByteArray::number(peer.Port()) +
                         "\r\nAccept: text/html\r\nX-Two: 2\r\n"
                         "Proxy-Connection: Keep-Alive\r\n\r\n"));
}

TEST(KvIHTTP, MethodsAndNumericAddress) {
    for (const TKvIHTTPAction action : {haHead, haPost}) {
        ScriptedSession peer(ReplyAfterBlock("HTTP/1.0 200 OK\r\n\r\n"));
        TKvIHTTPClient http;
        http.SetAddress(QStringLiteral("127.0.0.1"));
        http.SetPort(peer.Port());
        http.SetAction(action);
        http.SetRequest(QStringLiteral("/form"));
        http.Execute();
        const QByteArray line = action == haHead ? "HEAD /form HTTP/1.0\r\n" : "POST /form HTTP/1.0\r\n";
        // No Host name to send: the address and port go on the Host line rather than nothing.
        EXPECT_EQ(peer.Received(), line + "Host: 127.0.0.1:" + QByteArray::number(peer.Port()) +
                                       "\r\nProxy-Connection: Keep-Alive\r\n\r\n");
    }
}

TEST(KvIHTTP, ProxyRequestForm) {
    ScriptedSession proxy(HttpReply("HTTP/1.0 200 OK\r\n\r\nvia proxy"));
    TKvIHTTPClient http;
    http.SetHost(QStringLiteral("origin.example"));
    http.SetPort(8080);
    http.SetAction(haGet);
    http.SetRequest(QStringLiteral("/p?q=1"));
    http.Headers()->Add(QStringLiteral("X-A: 1"));
    http.Proxy()->SetServer(QStringLiteral("127.0.0.1"));
    http.Proxy()->SetPort(proxy.Port());
    http.Proxy()->SetUseProxy(true);
    http.Proxy()->SetUser(QStringLiteral("u"));
    http.Proxy()->SetPassword(QStringLiteral("p"));
    http.SetLoginPrompt(false);
    EXPECT_EQ(http.Execute(), QStringLiteral("via proxy\r\n"));
    EXPECT_EQ(proxy.Received(), QByteArray("GET http://origin.example:8080/p?q=1 HTTP/1.0\r\nHost: origin.example:8080\r\n"
                                           "Proxy-Authorization: Basic dTpw\r\nX-A: 1\r\n\r\n"));
    // Credentials beyond Latin-1 go as their UTF-8 bytes, not as a low byte each ("Łukasz" was "Aukasz").
    ScriptedSession proxy2(HttpReply("HTTP/1.0 200 OK\r\n\r\n"));
    http.Proxy()->SetPort(proxy2.Port());
    http.Proxy()->SetUser(QString::fromUtf8("Łukasz"));
    http.Proxy()->SetPassword(QString::fromUtf8("pé"));
    http.Execute();
    EXPECT_TRUE(proxy2.Received().contains("Proxy-Authorization: Basic " +
                                           QByteArray("\xc5\x81ukasz:p\xc3\xa9").toBase64()));

    // A proxy that is configured but not in use changes nothing: the direct form goes to the origin.
    ScriptedSession origin(ReplyAfterBlock("HTTP/1.0 200 OK\r\n\r\n"));
    http.Proxy()->SetUseProxy(false);
    http.SetHost(QStringLiteral("localhost"));
    http.SetPort(origin.Port());
    http.Headers()->Clear();
    http.Execute();
    EXPECT_EQ(origin.Received(),
              "GET /p?q=1 HTTP/1.0\r\nHost: localhost:" + QByteArray::number(origin.Port()) +
                  "\r\nProxy-Connection: Keep-Alive\r\n\r\n");
}

TEST(KvIHTTP, LineBreaksInRequestOrHeadersAreRefused) {
    ScriptedSession peer(Steps({ReadAll()}));
    TKvIHTTPClient http;
    http.SetAddress(QStringLiteral("127.0.0.1"));
    http.SetPort(peer.Port());
    http.SetRequest(QStringLiteral("/ HTTP/1.0\r\nX-Injected: 1"));
    EXPECT_EQ(http.Execute(), QStringLiteral("Invalid Request: line breaks are not allowed"));
    http.SetRequest(QStringLiteral("/"));
    http.Headers()->Add(QStringLiteral("X-A: 1\nX-Injected: 1"));
    EXPECT_EQ(http.Execute(), QStringLiteral("Invalid Headers: line breaks are not allowed"));
    EXPECT_EQ(http.LastError(), QStringLiteral("Invalid Headers: line breaks are not allowed"));
    EXPECT_EQ(peer.Connections(), 0); // refused before anything is connected
}

TEST(KvIHTTP, ReplySplitting) {
    struct {
        QByteArray Reply;
        bool Remove;
        QString Text;
        QStringList Headers;
        QByteArray Body;
    } cases[] = {
        // LF-only line ends come back as CR LF, with a final line end.
        {"HTTP/1.0 200 OK\nA: 1\n\nline1\nline2",
         true,
         QStringLiteral("line1\r\nline2\r\n"),
         {QStringLiteral("HTTP/1.0 200 OK"), QStringLiteral("A: 1")},
         "line1\nline2"},
        {"HTTP/1.0 200 OK\nA: 1\n\nline1\nline2",
         false,
         QStringLiteral("HTTP/1.0 200 OK\nA: 1\n\nline1\nline2"),
         {QStringLiteral("HTTP/1.0 200 OK"), QStringLiteral("A: 1")},
         "line1\nline2"},
        // Mixed ends, a lone CR, an empty body line.
        {"HTTP/1.0 500 Oops\r\n\r\na\rb\r\n\nc\r\n",
         true,
         QStringLiteral("a\r\nb\r\n\r\nc\r\n"),
         {QStringLiteral("HTTP/1.0 500 Oops")},
         "a\rb\r\n\nc\r\n"},
        // No empty line: the last line is the separator and nothing is left of the body.
        {"HTTP/1.0 200 OK\r\nA: 1\r\nB: 2",
         true,
         QString(),
         {QStringLiteral("HTTP/1.0 200 OK"), QStringLiteral("A: 1")},
         ""},
        // Zero bytes and high bytes travel unchanged.
        {QByteArray("HTTP/1.0 200 OK\r\n\r\n\x00\xff\x01", 22),
         true,
         KvTest::Wire("\x00\xff\x01\r\n", 5),
         {QStringLiteral("HTTP/1.0 200 OK")},
         QByteArray("\x00\xff\x01", 3)},
        // The header lines end at a lone CR's empty line, before the CR LF CR LF that ends HTTP's header
        // section: the body is what follows the header lines.
        {"HTTP/1.0 200 OK\r\rX: 1\r\n\r\nbody\n",
         true,
         QStringLiteral("X: 1\r\n\r\nbody\r\n"),
         {QStringLiteral("HTTP/1.0 200 OK")},
         "X: 1\r\n\r\nbody\n"},
        {"HTTP/1.0 200 OK\r\n\r\r\nX\n\n",
         true,
         QStringLiteral("\r\nX\r\n\r\n"),
         {QStringLiteral("HTTP/1.0 200 OK")},
         "\r\nX\n\n"},
    };
    // Each reply as the lines are made while it arrives, and as they are made after an OnAfterExecute
    // handler (which may change the reply) has seen it.
    for (const auto& c : cases) {
        for (const bool handled : {false, true}) {
            ScriptedSession peer(ReplyAfterBlock(c.Reply));
            TKvIHTTPClient http;
            http.SetAddress(QStringLiteral("127.0.0.1"));
            http.SetPort(peer.Port());
            http.SetRemoveHeaders(c.Remove);
            if (handled)
                http.SetOnAfterExecute([](QObject*, QString&) {});
            EXPECT_EQ(http.Execute(), c.Text) << c.Reply.constData() << handled;
            EXPECT_EQ(http.ResponseHeaders()->ToStringList(), c.Headers) << c.Reply.constData() << handled;
            EXPECT_EQ(http.Body(), c.Body) << c.Reply.constData() << handled;
        }
    }
}

namespace {

/// What the returned text of a body must be, built the plain way: every line ended by CR LF.
QString CrLfLines(const QByteArray& Body) {
    QByteArray out;
    for (qsizetype i = 0; i < Body.size(); ++i) {
        const char c = Body[i];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < Body.size() && Body[i + 1] == '\n')
                ++i;
        } else {
            out += c;
        }
    }
    if (!Body.isEmpty() && !Body.endsWith('\r') && !Body.endsWith('\n'))
        out += "\r\n";
    return QString::fromLatin1(out);
}

/// Bytes of every value, with CR and LF each at the given rate (per 256).
QByteArray Noise(qsizetype Size, int BreaksPer256, unsigned Seed) {
    std::mt19937 random(Seed);
    QByteArray bytes(Size, Qt::Uninitialized);
    for (qsizetype i = 0; i < Size; ++i) {
        const int r = int(random() % 256);
        bytes[i] = r < BreaksPer256 ? '\r' : r < 2 * BreaksPer256 ? '\n' : char(random() % 256);
    }
    return bytes;
}

} // namespace

TEST(KvIHTTP, LargeBodiesInSeveralBlocks) {
    const QByteArray pad = "X-Pad: " + QByteArray(3000, 'p') + "\r\n";
    const QByteArray exact17 = QByteArray("ab\n").repeated(17) + "tail";
    struct {
        const char* What;
        QByteArray Head;
        QByteArray Body;
        bool Length; // announce the body's length
        qsizetype Announced = -1; // or this one instead
        int Piece = 0;            // sent in pieces of this many bytes, a moment apart (0: at once)
        // A longer body than announced ends at the announced length; a shorter one is kept as it came,
        // with LastError saying it is cut short.
    } cases[] = {
        // Many more added line ends than header characters, and the reverse: the body's text moves both ways.
        {"dense breaks", "HTTP/1.0 200 OK\r\n", Noise(200000, 40, 1), true},
        {"sparse breaks, long header", "HTTP/1.0 200 OK\r\n" + pad,
         Noise(100000, 0, 2) + "\n\r" + Noise(50000, 0, 3), true},
        {"as many lone breaks as header characters", "HTTP/1.0 200 OK\n", exact17, false},
        {"no length", "HTTP/1.0 200 OK\r\n", Noise(150000, 3, 4), false},
        {"length too small", "HTTP/1.0 200 OK\r\n", Noise(120000, 10, 5), true, 1000},
        {"length too large", "HTTP/1.0 200 OK\r\n", Noise(120000, 10, 6), true, 50000000},
        {"ends with CR", "HTTP/1.0 200 OK\r\n", Noise(70000, 20, 7) + "x\r", true},
        {"begins with LF", "HTTP/1.0 200 OK\r\n", "\nx\n" + Noise(70000, 20, 8), true},
        // Sent in pieces whose ends fall at every place of the pattern, a CR LF split between two among them.
        {"CR LF split between reads", "HTTP/1.0 200 OK\r\n", QByteArray("x\r\n").repeated(12000) + "\r", true,
         -1, 4099},
    };
    for (const auto& c : cases) {
        QByteArray head = c.Head;
        if (c.Length)
            head += "Content-Length: " + QByteArray::number(c.Announced >= 0 ? c.Announced : c.Body.size()) + "\r\n";
        const QByteArray reply = head + "\r\n" + c.Body;
        const bool cut = c.Announced > c.Body.size();
        const QByteArray body = c.Announced >= 0 && !cut ? c.Body.left(c.Announced) : c.Body;
        // With the header lines removed, as the lines are made while the body arrives and after an
        // OnAfterExecute handler has seen the reply; and with the header lines kept.
        for (const int mode : {0, 1, 2}) {
            const bool remove = mode != 2;
            QJsonArray steps{ReadUntil("Keep-Alive\r\n\r\n")};
            for (qsizetype at = 0; at < reply.size(); at += c.Piece ? c.Piece : reply.size()) {
                steps.append(Send(reply.mid(at, c.Piece ? c.Piece : reply.size())));
                if (c.Piece)
                    steps.append(Sleep(2));
            }
            ScriptedSession peer(Steps(steps));
            TKvIHTTPClient http;
            http.SetAddress(QStringLiteral("127.0.0.1"));
            http.SetPort(peer.Port());
            http.SetAction(haGet);
            http.SetRemoveHeaders(remove);
            if (mode == 1)
                http.SetOnAfterExecute([](QObject*, QString&) {});
            QString text = http.Execute();
            EXPECT_EQ(http.LastError().isEmpty(), !cut) << c.What << " " << http.LastError().toStdString();
            EXPECT_TRUE(text == (remove ? CrLfLines(body) : QString::fromLatin1(head + "\r\n" + body)))
                << c.What << " " << mode;
            EXPECT_EQ(http.ResponseHeaders()->Count(), head.count('\n')) << c.What;
            // The caller's copy of the text is its own: changing it leaves Body alone.
            if (!text.isEmpty())
                text[0] = QChar(0x141);
            EXPECT_TRUE(http.Body() == body) << c.What << " " << mode;
            EXPECT_TRUE(http.Body() == body) << c.What << " read twice";
        }
    }
}

TEST(KvIHTTP, BodyBelongsToTheLastReply) {
    const QJsonObject first = ReplyAfterBlock("HTTP/1.0 200 OK\r\n\r\nfirst\n");
    ScriptedSession peer(Connections({first, ReplyAfterBlock("no empty line"), first}));
    TKvIHTTPClient http;
    http.SetAddress(QStringLiteral("127.0.0.1"));
    http.SetPort(peer.Port());
    EXPECT_EQ(http.Execute(), QStringLiteral("first\r\n"));
    EXPECT_EQ(http.Execute(), QString());
    EXPECT_EQ(http.Body(), QByteArray()) << "the second reply has no body";
    // A reply handed to AfterExecute by other code is split as it is, not as the last one read was.
    EXPECT_EQ(http.Execute(), QStringLiteral("first\r\n"));
    QString other = QStringLiteral("HTTP/1.0 200 OK\r\n\r\nc\nd");
    http.AfterExecute(other);
    EXPECT_EQ(other, QStringLiteral("c\r\nd\r\n"));
    EXPECT_EQ(http.Body(), QByteArray("c\nd"));
}

TEST(KvIHTTP, OnAfterExecuteSeesTheRawReplyFirst) {
    ScriptedSession peer(ReplyAfterBlock("HTTP/1.0 200 OK\r\n\r\nbody"));
    TKvIHTTPClient http;
    http.SetAddress(QStringLiteral("127.0.0.1"));
    http.SetPort(peer.Port());
    http.SetOnAfterExecute([](QObject*, QString& Text) {
        EXPECT_EQ(Text, QStringLiteral("HTTP/1.0 200 OK\r\n\r\nbody"));
        Text = QStringLiteral("HTTP/1.0 200 OK\r\nX: changed\r\n\r\nother");
    });
    EXPECT_EQ(http.Execute(), QStringLiteral("other\r\n"));
    EXPECT_EQ(http.ResponseHeaders()->Count(), 2);
}

TEST(KvIHTTP, LocationLineAndRedirectEvent) {
    ScriptedSession peer(ReplyAfterBlock("HTTP/1.0 302 Found\r\nLocation-Extra: /x\r\n\r\nmoved"));
    TKvIHTTPClient http;
    http.SetAddress(QStringLiteral("127.0.0.1"));
    http.SetPort(peer.Port());
    // Without a handler nothing happens: the redirecting reply's body is the result.
    EXPECT_EQ(http.Execute(), QStringLiteral("moved\r\n"));
    QString seen;
    http.SetOnRedirect([&](QObject* Sender, QString& URL, bool& Abort) {
        EXPECT_EQ(Sender, &http);
        EXPECT_TRUE(Abort);
        seen = URL;
    });
    EXPECT_EQ(http.Execute(), QStringLiteral("moved\r\n"));
    EXPECT_EQ(seen, QStringLiteral("Location-Extra: /x")); // eight characters compared
}

TEST(KvIHTTP, RedirectLoopStops) {
    ScriptedSession peer(ReplyAfterBlock("HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n"));
    TKvIHTTPClient http;
    http.SetAddress(QStringLiteral("127.0.0.1"));
    http.SetPort(peer.Port());
    http.SetRequest(QStringLiteral("/start"));
    http.SetOnRedirect([](QObject*, QString&, bool& Abort) { Abort = false; });
    EXPECT_EQ(http.Execute(), QStringLiteral("Too many redirects (more than 5)"));
    EXPECT_EQ(peer.Connections(), 6);
    EXPECT_EQ(http.Request(), QStringLiteral("/start")); // the application's settings stay
    EXPECT_EQ(http.Address(), QStringLiteral("127.0.0.1"));
}

// Hostile and broken servers: every exchange ends in bounded time and memory, and a reply that is not
// whole or not what was asked for never passes for a success.
TEST(KvIHTTP, HostilePeers) {
    const QByteArray ok = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    struct Case {
        const char* Name;
        QJsonObject Peer; // empty: no connection may be made
        std::function<void(TKvIHTTPClient&)> Setup;
        QString Text;  // what Execute returns ("" with Error set: not checked)
        QString Error; // LastError contains it ("" for none)
    } cases[] = {
        {"endless reply",
         // 25 MiB, far past the limit below.
         Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\n"), SendRepeated(QByteArray(1 << 16, 'x'), 400)}),
         [](TKvIHTTPClient& H) { H.SetMaxReplySize(1 << 20); }, QString(),
         "The reply is larger than 1048576 bytes"},
        {"dripping reply",
         Steps({ReadRequest(), Send(QByteArray(25, 'x'), 25, 100)}), // 2.5 s, a byte every 0.1 s
         [](TKvIHTTPClient& H) {
             H.SetTimeout(5); // never idle that long: only the whole-run limit can end it
             H.SetTotalTimeout(1);
         },
         QString(), "The operation took longer than 1 seconds"},
        {"cut short", HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n", QByteArray(30, 'z')),
         nullptr, QString(30, u'z') + "\r\n", "after 30 of the 100000 bytes"},
        // A length nobody could hold must not be taken at its word when room is made for the reply.
        {"lying Content-Length, no size limit",
         HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 1000000000000\r\n\r\nabc"),
         [](TKvIHTTPClient& H) { H.SetMaxReplySize(0); }, "abc\r\n", "after 3 of the 1000000000000 bytes"},
        {"status line in two pieces",
         Steps({ReadRequest(), Send("HTTP/1.0 40"), Sleep(200),
                Send("4 Not Found\r\nContent-Length: 3\r\n\r\nbad")}),
         nullptr, "File not found", "File not found"},
        // A server that answers at the first empty line and closes at once, unread bytes and all, resets the
        // connection: nothing may follow the request's empty line, and a reset after the whole reply is
        // its end, not a failure.
        {"answer at the empty line, then reset", Steps({ReadRequest(), Send(ok), Reset()}), nullptr,
         "hello\r\n", ""},
        {"Location-like header on a 200",
         HttpReply("HTTP/1.0 200 OK\r\nLocation-Extra: /elsewhere\r\nContent-Length: 5\r\n\r\nhello"),
         [](TKvIHTTPClient& H) { H.SetOnRedirect([](QObject*, QString&, bool& Abort) { Abort = false; }); },
         "hello\r\n", ""},
        {"Location on a 201 to a POST",
         HttpReply("HTTP/1.0 201 Created\r\nLocation: /item/1\r\nContent-Length: 7\r\n\r\ncreated"),
         [](TKvIHTTPClient& H) {
             H.SetAction(haPost);
             H.SetOnRedirect([](QObject*, QString&, bool& Abort) { Abort = false; });
         },
         "created\r\n", ""},
        {"line break in Host",
         {},
         [](TKvIHTTPClient& H) { H.SetHost("localhost\r\nX-Injected: 1"); },
         "Invalid Host: line breaks are not allowed",
         "Invalid Host"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedSession peer(c.Peer);
        TKvIHTTPClient http;
        http.SetAddress(QStringLiteral("127.0.0.1"));
        http.SetPort(peer.Port());
        http.SetAction(haGet);
        if (c.Setup)
            c.Setup(http);
        const QString text = http.Execute();
        if (!c.Text.isEmpty()) {
            EXPECT_EQ(text, c.Text);
        }
        if (c.Error.isEmpty()) {
            EXPECT_EQ(http.LastError(), QString());
        } else {
            EXPECT_TRUE(http.LastError().contains(c.Error)) << http.LastError().toStdString();
        }
        EXPECT_EQ(peer.Connections(),
                  c.Peer.isEmpty() ? 0 : 1); // nothing followed, nothing connected when refused
    }
}

// A followed redirect: 301-303 turn a POST into a GET, 307 and 308 keep it; the caller's Authorization and
// Cookie lines stay with the server they were meant for.
TEST(KvIHTTP, RedirectRules) {
    for (const int status : {302, 307}) {
        SCOPED_TRACE(status);
        ScriptedSession target(ReplyAfterBlock("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"));
        const QByteArray location = "http://127.0.0.1:" + QByteArray::number(target.Port()) + "/there";
        ScriptedSession origin(ReplyAfterBlock("HTTP/1.0 " + QByteArray::number(status) +
                                               " Moved\r\nLocation: " + location +
                                               "\r\nContent-Length: 0\r\n\r\n"));
        TKvIHTTPClient http;
        http.SetAddress(QStringLiteral("127.0.0.1"));
        http.SetPort(origin.Port());
        http.SetAction(haPost);
        http.SetRequest(QStringLiteral("/here"));
        http.Headers()->Add(QStringLiteral("Authorization: Basic c2VjcmV0"));
        http.Headers()->Add(QStringLiteral("Cookie: session=1"));
        http.Headers()->Add(QStringLiteral("Accept: */*"));
        http.SetOnRedirect([](QObject*, QString&, bool& Abort) { Abort = false; });
        EXPECT_EQ(http.Execute(), QStringLiteral("ok\r\n"));
        EXPECT_TRUE(origin.Received().contains("Authorization: Basic c2VjcmV0\r\nCookie: session=1\r\n"));
        const QByteArray moved = target.Received();
        EXPECT_TRUE(moved.startsWith(status == 302 ? "GET /there HTTP/1.0\r\n" : "POST /there HTTP/1.0\r\n"))
            << moved.constData();
        EXPECT_FALSE(moved.contains("Authorization")) << moved.constData();
        EXPECT_FALSE(moved.contains("Cookie")) << moved.constData();
        EXPECT_TRUE(moved.contains("Accept: */*"));
        EXPECT_EQ(http.Action(), haPost); // the application's settings stay
    }
}

// A body stream takes the body as it arrives: the size limit bounds only the header section kept in
// memory, a cut body still fails, and a followed redirect's own notice never reaches the stream.
TEST(KvIHTTP, BodyStream) {
    const QByteArray body = Noise(300000, 50, 9);
    const QByteArray head =
        "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    struct Case {
        const char* Name;
        QList<QByteArray> Replies; // one per connection
        QByteArray Streamed;
        bool Failed;
    } cases[] = {
        {"whole body, far past the size limit", {head + body}, body, false},
        {"cut short", {head + body.left(1000)}, body.left(1000), true},
        {"redirect followed",
         {"HTTP/1.0 302 Found\r\nLocation: /next\r\nContent-Length: 6\r\n\r\nmoved!", head + body},
         body,
         false},
        {"header section past the limit",
         {"HTTP/1.0 200 OK\r\nX-Pad: " + QByteArray(100000, 'p')},
         QByteArray(),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QJsonArray replies;
        for (const QByteArray& r : c.Replies)
            replies.append(HttpReply(r));
        ScriptedSession peer(Connections(replies));
        TKvIHTTPClient http;
        http.SetAddress(QStringLiteral("127.0.0.1"));
        http.SetPort(peer.Port());
        http.SetAction(haGet);
        http.SetMaxReplySize(4096);
        http.SetOnRedirect([](QObject*, QString&, bool& Abort) { Abort = false; });
        TMemoryStream stream;
        http.SetBodyStream(&stream);
        const QString text = http.Execute();
        if (!c.Failed) {
            EXPECT_EQ(text, QString()); // the body is the stream's, not the text's
        }
        EXPECT_EQ(http.LastError().isEmpty(), !c.Failed) << http.LastError().toStdString();
        EXPECT_TRUE(stream.Data() == c.Streamed) << stream.Data().size();
        if (!c.Streamed.isEmpty()) {
            EXPECT_EQ(http.ResponseHeaders()->Get(0), QStringLiteral("HTTP/1.0 200 OK"));
        }
        EXPECT_TRUE(http.Body().isEmpty());
    }
}

TEST(KvIHTTPNginx, HeadGetAndStatusScreening) {
    TKvIHTTPClient http;
    ToNginx(http, QStringLiteral("/index.html"));
    EXPECT_EQ(http.Execute(), QString());
    ASSERT_GT(http.ResponseHeaders()->Count(), 1);
    EXPECT_EQ(http.ResponseHeaders()->Get(0), QStringLiteral("HTTP/1.1 200 OK"));
    EXPECT_TRUE(http.ResponseHeaders()->ToStringList().contains(QStringLiteral("Connection: close")));

    http.SetAction(haGet);
    QString page = IndexPage();
    page.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    EXPECT_EQ(http.Execute(), page);
    EXPECT_EQ(http.Body(), KvTest::ReadFile(KvTest::ServerEnv("nginx", "KV_NGINX_ROOT") + "/index.html"));
    EXPECT_EQ(http.LastError(), QString());

    const QStringList before = http.ResponseHeaders()->ToStringList();
    http.SetRequest(QStringLiteral("/no-such-file.html"));
    EXPECT_EQ(http.Execute(), QStringLiteral("File not found"));
    EXPECT_EQ(http.LastError(), QStringLiteral("File not found"));
    EXPECT_EQ(http.ResponseHeaders()->ToStringList(), before); // a screened reply never reaches the split
    http.SetRequest(QStringLiteral("/private/secret.txt"));
    EXPECT_EQ(http.Execute(), QStringLiteral("HTTP Server authorization required"));

    http.SetRequest(QStringLiteral("/private/secret.txt"));
    http.Headers()->Add(QStringLiteral("Authorization: Basic ") +
                        QString::fromLatin1(QByteArray("kvuser:kvpass").toBase64()));
    EXPECT_EQ(http.Execute(), QStringLiteral("The secret word is kvsecret.\r\n"));
}

TEST(KvIHTTPNginx, NumericAddressIsAccepted) {
    TKvIHTTPClient http;
    http.SetAddress(QStringLiteral("127.0.0.1"));
    http.SetPort(NginxPort());
    http.SetAction(haGet);
    http.SetRequest(QStringLiteral("/index.html"));
    http.SetRemoveHeaders(false);
    EXPECT_TRUE(http.Execute().startsWith(QLatin1String("HTTP/1.1 200 OK\r\n")));
}

TEST(KvIHTTPNginx, IPv6LiteralGetsItsBrackets) {
    if (KvTest::ServerEnv(QStringLiteral("nginx"), QStringLiteral("KV_NGINX_IPV6")) != QLatin1String("1"))
        GTEST_SKIP() << "no IPv6 loopback here";
    TKvIHTTPClient http;
    http.SetHost(QStringLiteral("::1"));
    http.SetPort(NginxPort());
    http.SetAction(haGet);
    http.SetRequest(QStringLiteral("/index.html"));
    http.SetRemoveHeaders(false);
    const QString reply = http.Execute();
    EXPECT_TRUE(reply.startsWith(QLatin1String("HTTP/1.1 200 OK\r\n"))) << reply.left(80).toStdString();
    EXPECT_TRUE(http.LastError().isEmpty()) << http.LastError().toStdString();
}

TEST(KvIHTTPNginx, RedirectsRelativeAndAbsolute) {
    QString page = IndexPage();
    page.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    for (const char* path : {"/redirect", "/redirect-abs"}) {
        TKvIHTTPClient http;
        ToNginx(http, QString::fromLatin1(path));
        http.SetAction(haGet);
        QString url;
        http.SetOnRedirect([&](QObject*, QString& URL, bool& Abort) {
            url = URL;
            Abort = false;
        });
        EXPECT_EQ(http.Execute(), page) << path;
        EXPECT_TRUE(url.startsWith(QLatin1String("Location: "))) << url.toStdString();
        EXPECT_EQ(http.ResponseHeaders()->Get(0), QStringLiteral("HTTP/1.1 200 OK"));
        EXPECT_EQ(http.Request(), QString::fromLatin1(path));
    }
}

TEST(KvIHTTPNginx, BinaryBodyUnaltered) {
    QByteArray data;
    for (int i = 0; i < 300000; ++i)
        data += char((i * 7 + i / 256) & 0xFF); // every byte value, CR and LF in odd places
    const QString file = KvTest::ServerEnv("nginx", "KV_NGINX_ROOT") + "/binary.bin";
    KvTest::WriteFile(file, data);
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup);
    TKvIHTTPClient http;
    ToNginx(http, QStringLiteral("/binary.bin"));
    http.SetAction(haGet);
    http.Execute();
    EXPECT_EQ(http.LastError(), QString());
    EXPECT_EQ(http.Body().size(), data.size());
    EXPECT_TRUE(http.Body() == data);
}

TEST(KvIHTTPSquid, ProxyAuthentication) {
    const int squid = KvTest::ServerPort("squid", "KV_SQUID_PORT");
    TKvIHTTPClient http;
    ToNginx(http, QStringLiteral("/index.html"));
    http.SetHost(QStringLiteral("127.0.0.1"));
    http.SetAction(haGet);
    http.Proxy()->SetServer(QStringLiteral("127.0.0.1"));
    http.Proxy()->SetPort(squid);
    http.Proxy()->SetUseProxy(true);
    http.SetLoginPrompt(false);
    EXPECT_EQ(http.Execute(), QStringLiteral("Proxy Server authorization required"));

    // Credentials from the logon prompt, asked once per request.
    int asked = 0;
    const TKvLogonPrompt previous = SetLogonPrompt([&](const QString& Caption, QString& User, QString& Password) {
        ++asked;
        EXPECT_EQ(Caption, QStringLiteral("Proxy Server authorization"));
        User = KvTest::ServerEnv("squid", "KV_SQUID_USER");
        Password = KvTest::ServerEnv("squid", "KV_SQUID_PASSWORD");
        return true;
    });
    http.SetLoginPrompt(true);
    QString page = IndexPage();
    page.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    EXPECT_EQ(http.Execute(), page);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(http.Proxy()->User(), QStringLiteral("proxyuser"));

    // Wrong credentials are refused with 407 again.
    SetLogonPrompt(previous);
    http.SetLoginPrompt(false);
    http.Proxy()->SetPassword(QStringLiteral("wrong"));
    EXPECT_EQ(http.Execute(), QStringLiteral("Proxy Server authorization required"));
}
