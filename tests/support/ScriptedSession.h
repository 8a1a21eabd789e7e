// ScriptedSession: a private listener of the scripted test server (tests/servers/scripted.py) that follows
// one script; what each connection sent is read back from the server's recording, byte for byte.
#pragma once

#include "support/TestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThread>

namespace KvTest {

class ScriptedSession {
public:
    /// Script: the JSON object of scripted.py ({"steps": [...]} or {"connections": [...]}).
    explicit ScriptedSession(const QJsonObject& Script) {
        FControl.connectToHost(QStringLiteral("127.0.0.1"), quint16(ServerPort("scripted", "KV_SCRIPTED_CONTROL_PORT")));
        if (!FControl.waitForConnected(10000)) {
            ADD_FAILURE() << "scripted server control port does not answer";
            return;
        }
        FControl.write(QJsonDocument(Script).toJson(QJsonDocument::Compact) + '\n');
        while (!FControl.canReadLine() && FControl.waitForReadyRead(10000)) {
        }
        const QJsonObject reply = QJsonDocument::fromJson(FControl.readLine()).object();
        FPort = reply.value(QStringLiteral("port")).toInt();
        FDir = reply.value(QStringLiteral("dir")).toString();
        if (!FPort)
            ADD_FAILURE() << "scripted server refused the script";
    }
    /// The same script written as JSON text; a text that is not valid JSON fails the test.
    explicit ScriptedSession(const QString& ScriptJson) : ScriptedSession(Parse(ScriptJson)) {}
    ~ScriptedSession() { FControl.abort(); }

    int Port() const { return FPort; }
    /// What connection N (from 1) sent, once that connection is over (waits up to 10 s for the recording).
    QByteArray Received(int N = 1) const {
        const QString done = FDir + QStringLiteral("/conn-%1.json").arg(N);
        for (int i = 0; i < 1000 && !QFile::exists(done); ++i)
            QThread::msleep(10);
        return ReadFile(FDir + QStringLiteral("/received-%1.bin").arg(N));
    }
    /// How many connections have ended.
    int Connections() const {
        int n = 0;
        while (QFile::exists(FDir + QStringLiteral("/conn-%1.json").arg(n + 1)))
            ++n;
        return n;
    }

private:
    static QJsonObject Parse(const QString& Json) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(Json.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError)
            ADD_FAILURE() << "script is not JSON: " << error.errorString().toStdString();
        return document.object();
    }

    QTcpSocket FControl;
    int FPort = 0;
    QString FDir;
};

} // namespace KvTest
