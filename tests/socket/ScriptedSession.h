// ScriptedSession: a private listener of the scripted test server (tests/servers/scripted.py) for one test:
// the script goes in as one line of JSON on the control port, the listener lives as long as this object.
#pragma once

#include "support/TestSupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThread>

namespace KvTest {

class ScriptedSession {
public:
    explicit ScriptedSession(const QByteArray& ScriptJson) {
        FControl.connectToHost(
            QStringLiteral("127.0.0.1"),
            quint16(ServerPort(QStringLiteral("scripted"), QStringLiteral("KV_SCRIPTED_CONTROL_PORT"))));
        if (!FControl.waitForConnected(10000))
            return;
        FControl.write(QJsonDocument::fromJson(ScriptJson).toJson(QJsonDocument::Compact) + '\n');
        while (!FControl.canReadLine() && FControl.waitForReadyRead(10000)) {
        }
        const QJsonObject answer = QJsonDocument::fromJson(FControl.readLine()).object();
        FPort = answer.value(QStringLiteral("port")).toInt();
        FDir = answer.value(QStringLiteral("dir")).toString();
    }
    int Port() const { return FPort; }
    /// The bytes the Nth connection (from 1) received, once it is over (waits up to ten seconds for it).
    QByteArray Received(int N = 1) const {
        const QString done = FDir + QStringLiteral("/conn-%1.json").arg(N);
        for (int i = 0; i < 200 && !QFile::exists(done); ++i)
            QThread::msleep(50);
        return ReadFile(FDir + QStringLiteral("/received-%1.bin").arg(N));
    }

private:
    QTcpSocket FControl;
    int FPort = 0;
    QString FDir;
};

} // namespace KvTest
