// ScriptedPeer: the scripted test server's sessions and the builders of its scripts.
#include "support/ScriptedPeer.h"

#include <QFile>
#include <QJsonDocument>
#include <QThread>

namespace KvTest {

ScriptedSession::ScriptedSession(const QJsonObject& Script, const QString& Address) {
    FControl.connectToHost(QStringLiteral("127.0.0.1"),
                           quint16(ServerPort("scripted", "KV_SCRIPTED_CONTROL_PORT")));
    if (!FControl.waitForConnected(10000)) {
        ADD_FAILURE() << "scripted server control port does not answer";
        return;
    }
    QJsonObject line = Script;
    if (Address != QLatin1String("127.0.0.1"))
        line.insert(QStringLiteral("address"), Address);
    FControl.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    while (!FControl.canReadLine() && FControl.waitForReadyRead(10000)) {
    }
    const QJsonObject reply = QJsonDocument::fromJson(FControl.readLine()).object();
    FPort = reply.value(QStringLiteral("port")).toInt();
    FDir = reply.value(QStringLiteral("dir")).toString();
    if (!FPort)
        ADD_FAILURE() << "scripted server refused the script: "
                      << reply.value(QStringLiteral("error")).toString().toStdString();
}

namespace {

QJsonObject Parse(const QString& Json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(Json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        ADD_FAILURE() << "script is not JSON: " << error.errorString().toStdString();
    return document.object();
}

} // namespace

ScriptedSession::ScriptedSession(const QString& ScriptJson) : ScriptedSession(Parse(ScriptJson)) {}

ScriptedSession::~ScriptedSession() {
    FControl.abort();
}

QByteArray ScriptedSession::Received(int N) const {
    const QString done = FDir + QStringLiteral("/conn-%1.json").arg(N);
    for (int i = 0; i < 1000 && !QFile::exists(done); ++i)
        QThread::msleep(10);
    return ReadFile(FDir + QStringLiteral("/received-%1.bin").arg(N));
}

int ScriptedSession::Connections() const {
    // The recording is opened as the connection is accepted, before its first step.
    int n = 0;
    while (QFile::exists(FDir + QStringLiteral("/received-%1.bin").arg(n + 1)))
        ++n;
    return n;
}

namespace Script {

namespace {

// Key for text that survives the trip through JSON as the same bytes, Key_b64 otherwise.
QJsonObject Field(const QString& Key, const QByteArray& Value) {
    const QString text = QString::fromUtf8(Value);
    if (text.toUtf8() == Value)
        return QJsonObject{{Key, text}};
    return QJsonObject{{Key + QStringLiteral("_b64"), QString::fromLatin1(Value.toBase64())}};
}

} // namespace

QJsonObject Steps(const QJsonArray& Steps) {
    return QJsonObject{{QStringLiteral("steps"), Steps}};
}

QJsonObject Connections(const QJsonArray& Scripts) {
    return QJsonObject{{QStringLiteral("connections"), Scripts}};
}

QJsonObject ReadUntil(const QByteArray& Delimiter) {
    return Field(QStringLiteral("read_until"), Delimiter);
}

QJsonObject ReadRequest() {
    return ReadUntil("\r\n\r\n");
}

QJsonObject ReadLine() {
    return ReadUntil("\n");
}

QJsonObject ReadBytes(int Count) {
    return QJsonObject{{QStringLiteral("read_bytes"), Count}};
}

QJsonObject ReadAll(int TimeoutMs) {
    QJsonObject step{{QStringLiteral("read_all"), true}};
    if (TimeoutMs > 0)
        step.insert(QStringLiteral("timeout_ms"), TimeoutMs);
    return step;
}

QJsonObject Send(const QByteArray& Bytes, int Blocks, int DelayMs) {
    QJsonObject step = Field(QStringLiteral("send"), Bytes);
    if (Blocks > 1)
        step.insert(QStringLiteral("blocks"), Blocks);
    if (DelayMs > 0)
        step.insert(QStringLiteral("delay_ms"), DelayMs);
    return step;
}

QJsonObject SendRepeated(const QByteArray& Bytes, int Times) {
    QJsonObject step = Send(Bytes);
    step.insert(QStringLiteral("repeat"), Times);
    return step;
}

QJsonObject Sleep(int Ms) {
    return QJsonObject{{QStringLiteral("sleep_ms"), Ms}};
}

QJsonObject Close() {
    return QJsonObject{{QStringLiteral("close"), true}};
}

QJsonObject Reset() {
    return QJsonObject{{QStringLiteral("reset"), true}};
}

QJsonObject Hang() {
    return QJsonObject{{QStringLiteral("hang"), true}};
}

QJsonObject HttpReply(const QByteArray& Head, const QByteArray& Body) {
    return Steps({ReadRequest(), Send(Head + Body), Close()});
}

} // namespace Script

} // namespace KvTest
