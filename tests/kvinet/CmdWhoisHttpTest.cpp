// test-servers: nginx scripted
// kvinet whois and kvinet http: output byte for byte, exit statuses, --output, --follow, refusals.
#include "support/CommandCases.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

using KvTest::Kvinet;
using namespace KvTest::Script;

namespace {

QString NginxUrl(const char* Path) {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(KvTest::ServerPort("nginx", "KV_NGINX_PORT")).arg(QLatin1String(Path));
}

QByteArray IndexCrLf() {
    QByteArray page = KvTest::ReadFile(KvTest::ServerEnv("nginx", "KV_NGINX_ROOT") + "/index.html");
    return page.replace("\n", "\r\n");
}

} // namespace

TEST(KvinetWhois, ReplyAsReceived) {
    const QByteArray reply("Domain Name: EXAMPLE.COM\r\n\xe9t\xe9\r\n");
    KvTest::ScriptedSession server(Steps({ReadRequest(), Send(reply, 2)}));
    const auto r = Kvinet({QStringLiteral("whois"), QStringLiteral("example.com"), QStringLiteral("--host"),
                           QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(server.Port())});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, reply);
    EXPECT_EQ(server.Received(), QByteArray("example.com\r\nProxy-Connection: Keep-Alive\r\n\r\n"));
}

TEST(KvinetWhois, FailuresExitOne) {
    KvTest::ScriptedSession server(Steps({ReadRequest(), Hang()}));
    const auto r = Kvinet({QStringLiteral("whois"), QStringLiteral("example.com"), QStringLiteral("--host=127.0.0.1"),
                           QStringLiteral("--port"), QString::number(server.Port()), QStringLiteral("--timeout"),
                           QStringLiteral("1")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Out.startsWith("Socket error: ")) << r.Out.constData();
    EXPECT_TRUE(r.Err.contains("timed out")) << r.Err.constData();
    EXPECT_EQ(Kvinet({QStringLiteral("whois")}).ExitCode, 2);
}

TEST(KvinetHttp, GetHeadAndOutput) {
    auto r = Kvinet({QStringLiteral("http"), NginxUrl("/index.html")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, IndexCrLf());

    r = Kvinet({QStringLiteral("http"), NginxUrl("/index.html"), QStringLiteral("--method"), QStringLiteral("head"),
                QStringLiteral("--keep-headers"), QStringLiteral("-H"), QStringLiteral("X-Test: 1")});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.startsWith("HTTP/1.1 200 OK\r\n")) << r.Out.constData();
    EXPECT_TRUE(r.Out.endsWith("\r\n\r\n"));

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("page.html"));
    r = Kvinet({QStringLiteral("http"), NginxUrl("/redirect"), QStringLiteral("--follow"), QStringLiteral("--output"), file,
                QStringLiteral("--verbose")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, QByteArray());
    EXPECT_EQ(KvTest::ReadFile(file), KvTest::ReadFile(KvTest::ServerEnv("nginx", "KV_NGINX_ROOT") + "/index.html"));
    EXPECT_TRUE(r.Err.contains("\nHTTP/1.1 200 OK\n")) << r.Err.constData();
}

TEST(KvinetHttp, LargeBinaryBodyOnStdout) {
    // Several hundred kilobytes with every byte value and many line breaks of each kind.
    QByteArray body;
    quint32 state = 12345;
    for (int i = 0; i < 700000; ++i) {
        state = state * 1103515245u + 12345u;
        const quint32 r = state >> 16;
        body += (r % 16 == 0) ? '\r' : (r % 16 == 1) ? '\n' : char(r & 0xFF);
    }
    body += "end";
    const QString name = QStringLiteral("/tool-large-%1.bin").arg(QCoreApplication::applicationPid());
    const QString path = KvTest::ServerEnv("nginx", "KV_NGINX_ROOT") + name;
    KvTest::WriteFile(path, body);
    const QByteArray url = name.toLatin1();

    auto r = Kvinet({QStringLiteral("http"), NginxUrl(url.constData())});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    QByteArray lines = body;
    lines.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n");
    EXPECT_TRUE(r.Out == lines + "\r\n") << r.Out.size() << " bytes";

    r = Kvinet({QStringLiteral("http"), NginxUrl(url.constData()), QStringLiteral("--keep-headers")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_TRUE(r.Out.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(r.Out.endsWith("\r\n\r\n" + body)) << "the reply as received";

    // Streamed: the body's bytes unaltered, to stdout and to a file.
    r = Kvinet(
        {QStringLiteral("http"), NginxUrl(url.constData()), QStringLiteral("--output"), QStringLiteral("-")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_TRUE(r.Out == body) << r.Out.size() << " bytes";
    QTemporaryDir dir;
    r = Kvinet(
        {QStringLiteral("http"), NginxUrl(url.constData()), QStringLiteral("--output"), dir.filePath("b")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_TRUE(KvTest::ReadFile(dir.filePath("b")) == body);
    QFile::remove(path);
}

TEST(KvinetHttp, FailuresAndRefusals) {
    auto r = Kvinet({QStringLiteral("http"), NginxUrl("/missing")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Out, QByteArray("File not found"));
    EXPECT_EQ(r.Err, QByteArray("kvinet http: File not found\n"));

    r = Kvinet({QStringLiteral("http"), QStringLiteral("https://localhost/")});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_TRUE(r.Err.contains("kvinet update")) << r.Err.constData();
    EXPECT_EQ(Kvinet({QStringLiteral("http"), QStringLiteral("ftp://localhost/")}).ExitCode, 2);
    EXPECT_EQ(Kvinet({QStringLiteral("http"), NginxUrl("/"), QStringLiteral("--method"), QStringLiteral("put")}).ExitCode, 2);

    // A refused connection leaves Execute as an exception: message on stderr, nothing on stdout.
    r = Kvinet({QStringLiteral("http"), QStringLiteral("http://127.0.0.1:1/")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Out, QByteArray());
    EXPECT_TRUE(r.Err.contains("Connection refused")) << r.Err.constData();
}

TEST(KvinetHttp, OutputThatCannotBeWrittenIsAFailure) {
    auto r = Kvinet({QStringLiteral("http"), NginxUrl("/index.html"), QStringLiteral("--output"), QStringLiteral("/dev/full")});
    EXPECT_EQ(r.ExitCode, 1) << r.Err.constData();
    const QString kvinet = KvTest::BinDir() + QStringLiteral("/kvinet");
    r = KvTest::Run(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"), QStringLiteral("'%1' http '%2' > /dev/full").arg(kvinet, NginxUrl("/index.html"))});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("cannot write the output")) << r.Err.constData();
}

// Hostile servers end in bounded time and memory with exit 1; what the caller gives reaches the wire as
// given; a cut reply leaves no file under the target's name.
TEST(KvinetHttp, HostilePeersAndWhatReachesTheWire) {
    using KvTest::Contains;
    using KvTest::Exactly;
    using KvTest::Matches;
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("out.bin"));
    KvTest::RunCommandCases({
        {.What = "endless whois reply",
         .Args = {"whois", "example.com", "--host", "127.0.0.1", "--port", "PORT", "--max-size", "100000"},
         .Script = Steps({ReadRequest(), Send(QByteArray(2 << 20, 'x'), 64)}),
         .Exit = 1,
         .Out = Exactly("The reply is larger than 100000 bytes"),
         .Err = Contains("The reply is larger than 100000 bytes")},
        {.What = "a whois domain with a line break is refused before connecting",
         .Args = {"whois", "a.com\r\nX", "--host", "127.0.0.1", "--port", "PORT"},
         .Exit = 1,
         .Out = Exactly("Invalid Domain: line breaks are not allowed"),
         .Err = Contains("Invalid Domain: line breaks are not allowed"),
         .Refused = true},
        {.What = "dripping reply",
         .Args = {"http", "http://127.0.0.1:PORT/", "--max-time", "1"},
         .Script = Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\n" + QByteArray(30, 'x'), 30, 100)}),
         .Exit = 1,
         .Out = Exactly("The operation took longer than 1 seconds"),
         .Err = Contains("The operation took longer than 1 seconds")},
        {.What = "cut short, with --output",
         .Args = {"http", "http://127.0.0.1:PORT/file", "--output", output},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\nshort"),
         .Exit = 1,
         .Err = Contains("after 5 of the 100000 bytes"),
         .NoFile = output},
        {.What = "URL credentials and raw header bytes",
         .Args = {"http", "-H", QString::fromUtf8("X-A: é€"), "--",
                  QString::fromUtf8("http://u:pé@127.0.0.1:PORT/")},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"),
         .Out = Exactly("ok\r\n"),
         .Received = Contains("X-A: \xc3\xa9\xe2\x82\xac\r\nAuthorization: Basic " +
                              QByteArray("u:p\xc3\xa9").toBase64() + "\r\n")},
        {.What = "proxy credentials without a proxy",
         .Args = {"http", "http://127.0.0.1:PORT/", "--proxy-user", "u"},
         .Exit = 2,
         .Err = Contains("go with --proxy"),
         .Refused = true},

        // ---- the header section: bounded, and a reply cut inside it is no reply
        {.What = "a flood of header lines is stopped at the size limit",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n"),
                          SendRepeated("X-Pad: " + QByteArray(1017, 'p') + "\r\n", 80000)}),
         .Exit = 1,
         .Out = Exactly("The reply's header section is larger than 262144 bytes"),
         .Err = Contains("The reply's header section is larger than 262144 bytes")},
        {.What = "more header lines than the line limit",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\n" + QByteArray("X:\r\n").repeated(1001) + "\r\nok"),
         .Exit = 1,
         .Out = Exactly("The reply's header section has more than 1000 lines"),
         .Err = Contains("The reply's header section has more than 1000 lines")},
        {.What = "cut inside the header section",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n"),
         .Exit = 1,
         .Err = Contains("kvinet http: The reply ended inside its header section")},
        {.What = "cut inside the header section, with --output",
         .Args = {"http", "http://127.0.0.1:PORT/", "--output", output},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n"),
         .Exit = 1,
         .Err = Contains("The reply ended inside its header section"),
         .NoFile = output},

        // ---- framing
        {.What = "interim 100 and 103 answers are skipped",
         .Args = {"http", "http://127.0.0.1:PORT/", "--keep-headers"},
         .Script = HttpReply("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
                             "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"),
         .Out = Exactly("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")},
        {.What = "a 404 behind an interim answer is still a 404",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = HttpReply("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 404 Not Found\r\n\r\ngone"),
         .Exit = 1,
         .Out = Exactly("File not found"),
         .Err = Contains("File not found")},
        {.What = "a chunked body is decoded, with extensions and a trailer",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = Steps({ReadRequest(),
                          Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 99\r\n\r\n"
                               "3;x=1\r\nab\n\r\nA\r\ncdefghijkl\r\n0\r\nT: 1\r\n\r\n",
                               9, 20),
                          Hang()}),
         .Out = Exactly("ab\r\ncdefghijkl\r\n")},
        {.What = "a chunked body to --output, byte for byte",
         .Args = {"http", "http://127.0.0.1:PORT/", "--output", "-"},
         .Script = HttpReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n\r" +
                             QByteArray(1, '\0') + "\r\n1\r\n\n\r\n0\r\n\r\n"),
         .Out = Exactly(QByteArray("\r\0\n", 3))},
        {.What = "a chunked body cut before its last chunk",
         .Args = {"http", "http://127.0.0.1:PORT/", "--output", output},
         .Script = HttpReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"),
         .Exit = 1,
         .Err = Contains("The reply ended inside its chunked body, after 5 bytes"),
         .NoFile = output},
        {.What = "a chunk size that is not hexadecimal",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = HttpReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n"),
         .Exit = 1,
         .Out = Contains("The reply's chunked body is malformed"),
         .Err = Contains("The reply's chunked body is malformed")},
        {.What = "two different Content-Length values",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd"),
         .Exit = 1,
         .Out = Contains("The reply's Content-Length is not valid"),
         .Err = Contains("The reply's Content-Length is not valid")},
        {.What = "a Content-Length with a sign",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nContent-Length: +3\r\n\r\nabcd"),
         .Exit = 1,
         .Out = Contains("The reply's Content-Length is not valid"),
         .Err = Contains("The reply's Content-Length is not valid")},
        {.What = "one length repeated is that length",
         .Args = {"http", "http://127.0.0.1:PORT/"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 3, 3\r\nContent-Length: 3\r\n\r\nabcd"),
         .Out = Exactly("abc\r\n")},

        // ---- redirects
        {.What = "'Location :' is not a Location header: not followed",
         .Args = {"http", "http://127.0.0.1:PORT/", "--follow"},
         .Script =
             Connections({Steps({ReadRequest(), Send("HTTP/1.0 302 Found\r\nLocation : /next\r\n\r\nmoved")}),
                          Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\nwrong")})}),
         .Out = Exactly("moved\r\n")},
        {.What = "a 304 with a Location is not followed",
         .Args = {"http", "http://127.0.0.1:PORT/", "--follow", "--keep-headers"},
         .Script = Connections(
             {Steps({ReadRequest(), Send("HTTP/1.0 304 Not Modified\r\nLocation: /next\r\n\r\n")}),
              Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\nwrong")})}),
         .Out = Exactly("HTTP/1.0 304 Not Modified\r\nLocation: /next\r\n\r\n")},
        {.What = "a redirect not followed gives its body with --output as without",
         .Args = {"http", "http://127.0.0.1:PORT/", "--output", "-"},
         .Script = HttpReply("HTTP/1.0 302 Found\r\nLocation: /next\r\nContent-Length: 5\r\n\r\nmoved"),
         .Out = Exactly("moved")},
        {.What = "a followed redirect's own body is not written",
         .Args = {"http", "http://127.0.0.1:PORT/", "--follow", "--output", "-"},
         .Script =
             Connections({Steps({ReadRequest(), Send("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\nmoved")}),
                          Steps({ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\nthere")})}),
         .Out = Exactly("there")},
        {.What = "a redirect to port 0 is refused before connecting",
         .Args = {"http", "http://127.0.0.1:PORT/", "--follow"},
         .Script = HttpReply("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:0/x\r\n\r\n"),
         .Exit = 1,
         .Out = Exactly("Cannot follow the redirect to http://127.0.0.1:0/x: port 0 is not valid"),
         .Err = Exactly(
             "kvinet http: Cannot follow the redirect to http://127.0.0.1:0/x: port 0 is not valid\n")},

        // ---- what reaches the wire and the terminal
        {.What = "a host name on another port goes on the Host line with its port",
         .Args = {"http", "http://localhost:PORT/"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\n\r\n"),
         .Received = Matches("(?s)GET / HTTP/1.0\r\nHost: localhost:\\d+\r\n.*")},
        {.What = "a Proxy-Authorization line never reaches an origin server",
         .Args = {"http", "http://127.0.0.1:PORT/", "-H", "Proxy-Authorization: Basic c2VjcmV0", "-H",
                  "X-B: 2"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\n\r\n"),
         .Received = Matches("(?s)(?!.*Proxy-Authorization).*X-B: 2\r\n.*")},
        {.What = "--verbose escapes what the server sent",
         .Args = {"http", "http://127.0.0.1:PORT/", "--verbose"},
         .Script = HttpReply("HTTP/1.0 200 OK\r\nX-Evil: \x1b]0;pwned\x07\x1b[2J\x9b"
                             "1m\r\n\r\n"),
         .Err = Contains("X-Evil: \\x1b]0;pwned\\x07\\x1b[2J\\x9b1m\n")},
    });
}
