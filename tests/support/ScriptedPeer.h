// ScriptedPeer: the one scripted TCP peer of the tests. A ScriptedSession is a private listener of the
// scripted test server (tests/servers/scripted.py) that follows one script; what each connection sent is read
// back from the server's recording, byte for byte. The builders in KvTest::Script write the scripts.
#pragma once

#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>

namespace KvTest {

class ScriptedSession {
public:
    /// Script: the JSON object of scripted.py ({"steps": [...]} or {"connections": [...]}), as the builders
    /// below make it. Address: where the listener is bound ("::1" for IPv6; a test checks first that the
    /// machine has it). Fails the test when the server cannot be reached or refuses the script.
    explicit ScriptedSession(const QJsonObject& Script, const QString& Address = QStringLiteral("127.0.0.1"));
    /// The same script written as JSON text; a text that is not valid JSON fails the test.
    explicit ScriptedSession(const QString& ScriptJson);
    ~ScriptedSession();
    ScriptedSession(const ScriptedSession&) = delete;
    ScriptedSession& operator=(const ScriptedSession&) = delete;

    int Port() const { return FPort; }
    /// What connection N (from 1) sent, once that connection is over (waits up to 10 s for its end).
    QByteArray Received(int N = 1) const;
    /// How many connections have been accepted so far (over or not).
    int Connections() const;

private:
    QTcpSocket FControl;
    int FPort = 0;
    QString FDir;
};

/// Builders of scripts and their steps (the steps are described at the top of scripted.py). Bytes go as text
/// when they are valid UTF-8, else in base64: either way the peer sends and expects exactly these bytes.
namespace Script {

/// The same steps for every connection.
QJsonObject Steps(const QJsonArray& Steps);
/// The Nth connection follows the Nth script (Steps(...) or HttpReply(...)), the last one all further ones.
QJsonObject Connections(const QJsonArray& Scripts);

/// Reads until Delimiter has come (it is consumed).
QJsonObject ReadUntil(const QByteArray& Delimiter);
/// Reads an HTTP request's header section (up to CR LF CR LF).
QJsonObject ReadRequest();
/// Reads one line (up to LF, so CR LF lines too).
QJsonObject ReadLine();
QJsonObject ReadBytes(int Count);
/// Reads until the client closes its sending side; with TimeoutMs, at most that long (then the peer ends the
/// connection). 0: the server's own limit of 30 s.
QJsonObject ReadAll(int TimeoutMs = 0);
/// Sends Bytes in Blocks nearly equal pieces with DelayMs between them.
QJsonObject Send(const QByteArray& Bytes, int Blocks = 1, int DelayMs = 0);
/// Sends Bytes Times times over: a reply too large to write out.
QJsonObject SendRepeated(const QByteArray& Bytes, int Times);
QJsonObject Sleep(int Ms);
/// Closes cleanly: FIN, then reads on for a moment so the client sees an end, not a reset.
QJsonObject Close();
/// Closes with RST.
QJsonObject Reset();
/// Never answers: reads until the client gives up.
QJsonObject Hang();

/// A whole HTTP exchange: reads the request, sends Head and Body, closes.
QJsonObject HttpReply(const QByteArray& Head, const QByteArray& Body = QByteArray());

} // namespace Script

} // namespace KvTest
