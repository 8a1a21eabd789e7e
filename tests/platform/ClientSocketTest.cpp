// test-servers: nginx scripted
// The blocking client socket: counts, lines, datagrams, TLS, the error notification and its exception.
#include "platform/ClientSocket.h"

#include "support/ScriptedPeer.h"

#include <QUdpSocket>

#include <thread>

using namespace KvInet;
using KvTest::ScriptedSession;
using namespace KvTest::Script;

TEST(ClientSocket, CountsLinesAndTheClose) {
    ScriptedSession peer(Steps({ReadUntil("ping\n"), Send(QByteArray("line one\r\nline two\npartial", 26))}));
    TClientSocket socket;
    socket.SetAddress(QStringLiteral("127.0.0.1"));
    socket.SetPort(peer.Port());
    int disconnects = 0;
    socket.SetOnDisconnect([&](QObject* Sender, TCustomWinSocket*) {
        EXPECT_EQ(Sender, &socket);
        ++disconnects;
    });
    socket.Open();
    ASSERT_TRUE(socket.Active());
    EXPECT_EQ(socket.Socket()->SendText(QStringLiteral("ping\n")), 5);
    QString line;
    EXPECT_TRUE(socket.Socket()->ReceiveLine(line));
    EXPECT_EQ(line, QStringLiteral("line one\r\n"));
    EXPECT_TRUE(socket.Socket()->ReceiveLine(line));
    EXPECT_EQ(line, QStringLiteral("line two\n"));
    EXPECT_FALSE(socket.Socket()->ReceiveLine(line));
    EXPECT_EQ(line, QStringLiteral("partial"));
    char buf[8];
    EXPECT_EQ(socket.Socket()->ReceiveBuf(buf, 8), 0);
    EXPECT_FALSE(socket.Active());
    EXPECT_EQ(disconnects, 1);
    socket.Close();
    EXPECT_EQ(disconnects, 1);
}

TEST(ClientSocket, AKeptConnectionServesOneThreadAfterAnother) {
    // Opened here, then used in turn on other threads and here again: each call takes the socket to its own
    // thread. Qt complains when a socket is used from a thread it does not belong to.
    static QStringList complaints;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& M) { complaints << M; });
    ScriptedSession peer(
        Steps({ReadLine(), Send("one\n"), ReadLine(), Send("two\n"), ReadLine(), Send("three\n")}));
    TClientSocket socket;
    socket.SetAddress(QStringLiteral("127.0.0.1"));
    socket.SetPort(peer.Port());
    socket.Open();
    QStringList lines;
    const auto exchange = [&] {
        QString line;
        socket.Socket()->SendText(QStringLiteral("next\n"));
        socket.Socket()->ReceiveLine(line);
        lines << line;
    };
    std::thread(exchange).join();
    exchange();
    std::thread(exchange).join();
    socket.Close();
    qInstallMessageHandler(previous);
    EXPECT_EQ(lines, QStringList({"one\n", "two\n", "three\n"}));
    EXPECT_TRUE(complaints.isEmpty()) << complaints.join(u'\n').toStdString();
}

TEST(ClientSocket, AnEndlessLineIsAFailureNotUnboundedMemory) {
    ScriptedSession peer(Steps({SendRepeated(QByteArray(64 * 1024, 'x'), 40)}));
    TClientSocket socket;
    socket.SetAddress(QStringLiteral("127.0.0.1"));
    socket.SetPort(peer.Port());
    socket.Open();
    QString line;
    try {
        socket.Socket()->ReceiveLine(line);
        FAIL() << "a line of 2.5 MB was accepted";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode(), EMSGSIZE);
    }
    EXPECT_LE(line.size(), TCustomWinSocket::MaxLineLength);
}

TEST(ClientSocket, ErrorNotificationThenException) {
    TClientSocket socket;
    socket.SetHost(QStringLiteral("127.0.0.1"));
    socket.SetPort(KvTest::UnusedPort());
    int seen = -1;
    socket.SetOnError([&](QObject*, TCustomWinSocket*, TErrorEvent Event, int& Code) {
        EXPECT_EQ(Event, eeConnect);
        seen = Code;
    });
    try {
        socket.Open();
        ADD_FAILURE() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Socket error: Connection refused (111), on API 'connect'"));
        EXPECT_EQ(e.ErrorCode(), 111);
    }
    EXPECT_EQ(seen, 111);
    // A handler that clears the code keeps the exception away; the socket stays closed.
    socket.SetOnError([](QObject*, TCustomWinSocket*, TErrorEvent, int& Code) { Code = 0; });
    EXPECT_NO_THROW(socket.Open());
    EXPECT_FALSE(socket.Active());
}

TEST(ClientSocket, DatagramsComeOnlyFromThePeer) {
    QUdpSocket server, stranger;
    ASSERT_TRUE(server.bind(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(stranger.bind(QHostAddress::LocalHost, 0));
    TClientSocket socket;
    socket.SetTransport(stDatagram);
    socket.SetAddress(QStringLiteral("127.0.0.1"));
    socket.SetPort(server.localPort());
    socket.SetTimeoutMSecs(2000);
    socket.Open();
    ASSERT_TRUE(socket.Active());
    EXPECT_EQ(socket.Socket()->SendBuf("\x1b\0\0\0", 4), 4);
    ASSERT_TRUE(server.waitForReadyRead(2000));
    QHostAddress from;
    quint16 fromPort = 0;
    char request[8];
    EXPECT_EQ(server.readDatagram(request, 8, &from, &fromPort), 4);
    stranger.writeDatagram("forged", QHostAddress::LocalHost, quint16(socket.Socket()->LocalPort()));
    server.writeDatagram("genuine", from, fromPort);
    char reply[16];
    EXPECT_EQ(socket.Socket()->ReceiveBuf(reply, 16), 7);
    EXPECT_EQ(QByteArray(reply, 7), QByteArray("genuine"));
    // Nothing more comes: the wait ends with the time-out as a receive failure.
    socket.SetTimeoutMSecs(300);
    int event = -1;
    socket.SetOnError([&](QObject*, TCustomWinSocket*, TErrorEvent Event, int& Code) {
        event = Event;
        EXPECT_EQ(Code, 110);
    });
    EXPECT_THROW(socket.Socket()->ReceiveBuf(reply, 16), ESocketError);
    EXPECT_EQ(event, eeReceive);
}

TEST(ClientSocket, StartTLSChecksTheCertificate) {
    const QString ca = KvTest::ServerEnv("nginx", "KV_CA_FILE");
    TClientSocket socket;
    socket.SetTLSCapable(true);
    socket.SetHost(QStringLiteral("127.0.0.1"));
    socket.SetPort(KvTest::ServerPort("nginx", "KV_NGINX_TLS_PORT"));
    socket.SetTimeoutMSecs(10000);
    socket.Open();
    ASSERT_TRUE(socket.Socket()->StartTLS(QStringLiteral("localhost"), ca));
    EXPECT_TRUE(socket.Socket()->Encrypted());
    socket.Socket()->SendText(QStringLiteral("GET /index.html HTTP/1.0\r\nHost: localhost\r\n\r\n"));
    QString line;
    EXPECT_TRUE(socket.Socket()->ReceiveLine(line));
    EXPECT_EQ(line, QStringLiteral("HTTP/1.1 200 OK\r\n"));
    char buf[64];
    while (socket.Socket()->ReceiveBuf(buf, sizeof buf) > 0) {
    }
    EXPECT_FALSE(socket.Active());

    // Without the test authority the handshake fails like any other socket failure.
    socket.Open();
    EXPECT_THROW(socket.Socket()->StartTLS(QStringLiteral("localhost")), ESocketError);
    EXPECT_FALSE(socket.Active());
}
