// test-servers: nginx
// The test-server mechanism itself, over real HTTP and HTTPS: nginx runs, serves what the tests drop into
// its docroot with Content-Length, Last-Modified and Range, guards /private/ with basic auth, and speaks
// TLS with the generated test CA.
#include "support/TestSupport.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

using namespace KvTest;

namespace {

// One HTTP/1.0 exchange over a connected socket; returns everything the server sent.
QByteArray Exchange(QTcpSocket& socket, const QByteArray& request) {
    socket.write(request);
    socket.waitForBytesWritten(10000);
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        reply += socket.readAll();
    reply += socket.readAll();
    return reply;
}

QByteArray Get(const QByteArray& path, const QByteArray& extraHeaders = QByteArray()) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"),
                         quint16(ServerPort(QStringLiteral("nginx"), QStringLiteral("KV_NGINX_PORT"))));
    EXPECT_TRUE(socket.waitForConnected(10000));
    return Exchange(socket, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n");
}

QByteArray Body(const QByteArray& reply) {
    return reply.mid(reply.indexOf("\r\n\r\n") + 4);
}

} // namespace

TEST(NginxServerTest, ServesDroppedFilesWithLengthTimeAndRanges) {
    const QString root = ServerEnv(QStringLiteral("nginx"), QStringLiteral("KV_NGINX_ROOT"));
    QByteArray data;
    for (int i = 0; i < 1000; ++i)
        data += char(i % 251);
    WriteFile(root + QStringLiteral("/mechanism.bin"), data);
    QFile::setPermissions(root + QStringLiteral("/mechanism.bin"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup);

    QByteArray reply = Get("/mechanism.bin");
    EXPECT_TRUE(reply.startsWith("HTTP/1.1 200 OK\r\n")) << reply.left(200).constData();
    EXPECT_TRUE(reply.contains("\r\nContent-Length: 1000\r\n"));
    EXPECT_TRUE(reply.contains("\r\nLast-Modified: "));
    EXPECT_EQ(Body(reply), data);

    reply = Get("/mechanism.bin", "Range: bytes=990-\r\n");
    EXPECT_TRUE(reply.startsWith("HTTP/1.1 206 Partial Content\r\n"));
    EXPECT_EQ(Body(reply), data.mid(990));

    EXPECT_TRUE(Get("/missing.bin").startsWith("HTTP/1.1 404 "));
}

TEST(NginxServerTest, PrivateNeedsBasicCredentials) {
    EXPECT_TRUE(Get("/private/secret.txt").startsWith("HTTP/1.1 401 "));
    const QByteArray user = ServerEnv(QStringLiteral("nginx"), QStringLiteral("KV_NGINX_USER")).toUtf8();
    const QByteArray password =
        ServerEnv(QStringLiteral("nginx"), QStringLiteral("KV_NGINX_PASSWORD")).toUtf8();
    const QByteArray reply =
        Get("/private/secret.txt", "Authorization: Basic " + (user + ':' + password).toBase64() + "\r\n");
    EXPECT_TRUE(reply.startsWith("HTTP/1.1 200 "));
    EXPECT_EQ(Body(reply), QByteArray("The secret word is kvsecret.\n"));
}

TEST(NginxServerTest, HttpsWithTheTestCaOnly) {
    const quint16 port = quint16(ServerPort(QStringLiteral("nginx"), QStringLiteral("KV_NGINX_TLS_PORT")));
    const auto cas =
        QSslCertificate::fromPath(ServerEnv(QStringLiteral("nginx"), QStringLiteral("KV_CA_FILE")));
    ASSERT_EQ(cas.size(), 1);
    {
        QSslSocket socket;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(cas);
        socket.setSslConfiguration(config);
        socket.connectToHostEncrypted(QStringLiteral("localhost"), port);
        ASSERT_TRUE(socket.waitForEncrypted(10000)) << socket.errorString().toStdString();
        const QByteArray reply = Exchange(socket, "GET /index.html HTTP/1.0\r\nHost: localhost\r\n\r\n");
        EXPECT_TRUE(reply.startsWith("HTTP/1.1 200 OK\r\n"));
        EXPECT_TRUE(reply.contains("KvInet test page"));
    }
    {
        // Without the test CA the certificate is refused: checks stay on.
        QSslSocket socket;
        socket.connectToHostEncrypted(QStringLiteral("localhost"), port);
        EXPECT_FALSE(socket.waitForEncrypted(10000));
    }
}
