// TestSupport: what the test programs share: the real test servers' parameters, temporary directories,
// running the kvinet tool, screenshots, and small file and port helpers.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

class QImage;
class QWidget;

namespace KvTest {

/// A parameter of a running test server (from tests/servers/kvservers.py), e.g.
/// ServerEnv("nginx", "KV_NGINX_PORT"). Fails the test when the server is not running.
QString ServerEnv(const QString& Server, const QString& Key);
int ServerPort(const QString& Server, const QString& Key);

/// The directory of the built programs (kvinet, helper programs).
QString BinDir();
/// The source tree's root.
QString SourceDir();

struct ProcessResult {
    int ExitCode = -1;
    QByteArray Out;
    QByteArray Err;
    bool TimedOut = false;
};

/// Runs a program with arguments, optional stdin bytes and extra environment, waiting at most
/// TimeoutSeconds.
ProcessResult Run(const QString& Program, const QStringList& Args, const QByteArray& Input = QByteArray(),
                  const QStringList& Env = QStringList(), int TimeoutSeconds = 60);
/// Runs the kvinet tool.
ProcessResult Kvinet(const QStringList& Args, const QByteArray& Input = QByteArray(),
                     const QStringList& Env = QStringList(), int TimeoutSeconds = 60);

QByteArray ReadFile(const QString& Path);
void WriteFile(const QString& Path, const QByteArray& Data);

/// Saves what Widget shows (or Picture) as <build>/tests/screenshots/NAME.png; a failure to save fails the
/// test.
void SaveScreenshot(QWidget* Widget, const QString& Name);
void SaveScreenshot(const QImage& Picture, const QString& Name);

/// A loopback TCP port nobody listens on (free a moment ago): a connection to it is refused.
int UnusedPort();

/// Wire text (one character per byte) from a byte literal with embedded zeros: Wire("a\0b", 3).
QString Wire(const char* Data, qsizetype Size);

} // namespace KvTest
