// TestSupport: shared helpers of the test programs.
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QWidget>

namespace KvTest {

QString ServerEnv(const QString& Server, const QString& Key) {
    const QString dir = qEnvironmentVariable("KVINET_SERVERS_DIR");
    if (dir.isEmpty()) {
        ADD_FAILURE() << "KVINET_SERVERS_DIR is not set: run this test through ctest";
        return {};
    }
    QFile file(dir + u'/' + Server + QStringLiteral("/env"));
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "test server '" << Server.toStdString() << "' is not running ("
                      << file.fileName().toStdString() << ")";
        return {};
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(Key + u'='))
            return line.mid(Key.size() + 1);
    }
    ADD_FAILURE() << "test server '" << Server.toStdString() << "' has no " << Key.toStdString();
    return {};
}

int ServerPort(const QString& Server, const QString& Key) {
    return ServerEnv(Server, Key).toInt();
}

QString BinDir() {
    const QString dir = qEnvironmentVariable("KVINET_BIN_DIR");
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

QString SourceDir() {
    return QStringLiteral(KV_SOURCE_DIR);
}

ProcessResult Run(const QString& Program, const QStringList& Args, const QByteArray& Input,
                  const QStringList& Env, int TimeoutSeconds) {
    ProcessResult result;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& e : Env)
        env.insert(e.section(u'=', 0, 0), e.section(u'=', 1));
    process.setProcessEnvironment(env);
    process.start(Program, Args);
    if (!process.waitForStarted(10000))
        return result;
    if (!Input.isEmpty())
        process.write(Input);
    process.closeWriteChannel();
    if (!process.waitForFinished(TimeoutSeconds * 1000)) {
        result.TimedOut = true;
        process.kill();
        process.waitForFinished(5000);
    }
    result.Out = process.readAllStandardOutput();
    result.Err = process.readAllStandardError();
    result.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

ProcessResult Kvinet(const QStringList& Args, const QByteArray& Input, const QStringList& Env,
                     int TimeoutSeconds) {
    return Run(BinDir() + QStringLiteral("/kvinet"), Args, Input, Env, TimeoutSeconds);
}

QByteArray ReadFile(const QString& Path) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void WriteFile(const QString& Path, const QByteArray& Data) {
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile file(Path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << Path.toStdString();
    file.write(Data);
}

void SaveScreenshot(QWidget* Widget, const QString& Name) {
    ASSERT_NE(Widget, nullptr) << Name.toStdString();
    SaveScreenshot(Widget->grab().toImage(), Name);
}

void SaveScreenshot(const QImage& Picture, const QString& Name) {
    // The test library is built in the tests' build directory, so this is <build>/tests.
    const QString dir = QStringLiteral(QT_TESTCASE_BUILDDIR) + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    const QString path = dir + u'/' + Name + QStringLiteral(".png");
    EXPECT_TRUE(Picture.save(path)) << "cannot save " << path.toStdString();
}

int UnusedPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        ADD_FAILURE() << "cannot listen on loopback";
        return 0;
    }
    return server.serverPort();
}

QString Wire(const char* Data, qsizetype Size) {
    return QString::fromLatin1(Data, Size);
}

} // namespace KvTest
