// test-servers: nginx scripted
// kvinet whois and kvinet http: output byte for byte, exit statuses, --output, --follow, refusals.
#include "support/ScriptedSession.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

using KvTest::Kvinet;

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
    KvTest::ScriptedSession server(QJsonObject{
        {QStringLiteral("steps"),
         QJsonArray{QJsonObject{{QStringLiteral("read_until"), QStringLiteral("\r\n\r\n")}},
                    QJsonObject{{QStringLiteral("send_b64"), QString::fromLatin1(reply.toBase64())},
                                {QStringLiteral("blocks"), 2}}}}});
    const auto r = Kvinet({QStringLiteral("whois"), QStringLiteral("example.com"), QStringLiteral("--host"),
                           QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(server.Port())});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, reply);
    EXPECT_EQ(server.Received(), QByteArray("example.com\r\nProxy-Connection: Keep-Alive\r\n\r\n"));
}

TEST(KvinetWhois, FailuresExitOne) {
    KvTest::ScriptedSession server(QJsonObject{
        {QStringLiteral("steps"), QJsonArray{QJsonObject{{QStringLiteral("read_until"), QStringLiteral("\r\n\r\n")}},
                                             QJsonObject{{QStringLiteral("hang"), true}}}}});
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

namespace {

QJsonObject Steps(const QJsonArray& Steps) {
    return QJsonObject{{QStringLiteral("steps"), Steps}};
}
QJsonObject ReadRequest() {
    return QJsonObject{{QStringLiteral("read_until"), QStringLiteral("\r\n\r\n")}};
}
QJsonObject SendText(const QString& Text, int Blocks = 1, int DelayMs = 0) {
    return QJsonObject{{QStringLiteral("send"), Text},
                       {QStringLiteral("blocks"), Blocks},
                       {QStringLiteral("delay_ms"), DelayMs}};
}

} // namespace

// Hostile servers end in bounded time and memory with exit 1; what the caller gives reaches the wire as
// given; a cut reply leaves no file under the target's name.
TEST(KvinetHttp, HostilePeersAndWhatReachesTheWire) {
    QTemporaryDir dir;
    const QString output = dir.filePath(QStringLiteral("out.bin"));
    struct Case {
        const char* Name;
        QJsonObject Script;
        QStringList Args; // PORT stands for the scripted server's port
        int Exit;
        QByteArray Err;      // stderr contains it
        QByteArray Received; // the request contains it
    } cases[] = {
        {"endless whois reply",
         Steps({ReadRequest(), SendText(QString(2 << 20, u'x'), 64)}),
         {"whois", "example.com", "--host", "127.0.0.1", "--port", "PORT", "--max-size", "100000"},
         1,
         "The reply is larger than 100000 bytes",
         ""},
        {"dripping reply",
         Steps({ReadRequest(), SendText("HTTP/1.0 200 OK\r\n\r\n" + QString(30, u'x'), 30, 100)}),
         {"http", "http://127.0.0.1:PORT/", "--max-time", "1"},
         1,
         "The operation took longer than 1 seconds",
         ""},
        {"cut short, with --output",
         Steps({ReadRequest(), SendText("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\nshort")}),
         {"http", "http://127.0.0.1:PORT/file", "--output", output},
         1,
         "after 5 of the 100000 bytes",
         ""},
        {"URL credentials and raw header bytes",
         Steps({ReadRequest(), SendText("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")}),
         {"http", "-H", QString::fromUtf8("X-A: é€"), "--", QString::fromUtf8("http://u:pé@127.0.0.1:PORT/")},
         0,
         "",
         "X-A: \xc3\xa9\xe2\x82\xac\r\nAuthorization: Basic " + QByteArray("u:p\xc3\xa9").toBase64() +
             "\r\n"},
        {"proxy credentials without a proxy",
         QJsonObject(),
         {"http", "http://127.0.0.1:PORT/", "--proxy-user", "u"},
         2,
         "go with --proxy",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        KvTest::ScriptedSession server(c.Script.isEmpty() ? Steps({}) : c.Script);
        QStringList args;
        for (const QString& a : c.Args)
            args << QString(a).replace(QLatin1String("PORT"), QString::number(server.Port()));
        const auto r = Kvinet(args);
        EXPECT_EQ(r.ExitCode, c.Exit) << r.Err.constData();
        EXPECT_TRUE(r.Err.contains(c.Err)) << r.Err.constData();
        if (!c.Received.isEmpty()) {
            EXPECT_TRUE(server.Received().contains(c.Received)) << server.Received().constData();
        }
        EXPECT_FALSE(QFile::exists(output));
    }
}
