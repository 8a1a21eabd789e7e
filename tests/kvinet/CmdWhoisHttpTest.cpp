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
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("out.bin"));
    KvTest::RunCommandCases({
        {.What = "endless whois reply",
         .Args = {"whois", "example.com", "--host", "127.0.0.1", "--port", "PORT", "--max-size", "100000"},
         .Script = Steps({ReadRequest(), Send(QByteArray(2 << 20, 'x'), 64)}),
         .Exit = 1,
         .Out = Exactly("The reply is larger than 100000 bytes"),
         .Err = Contains("The reply is larger than 100000 bytes")},
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
    });
}
