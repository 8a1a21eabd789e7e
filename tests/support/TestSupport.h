// TestSupport: what the test programs share: the real test servers' parameters, temporary directories,
// running the kvinet tool, and small file helpers.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

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

/// Wire text (one character per byte) from a byte literal with embedded zeros: Wire("a\0b", 3).
QString Wire(const char* Data, qsizetype Size);

} // namespace KvTest
