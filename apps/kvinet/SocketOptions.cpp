// SocketOptions: the common options of the socket commands.
#include "SocketOptions.h"

#include "socket/KvInBase.h"

#include <limits>

namespace KvCli {

using namespace KvInet;

void ApplySocketOptions(const Args& A, TKvInetBase& Component) {
    if (A.Has(QStringLiteral("host")))
        Component.SetHost(A.Value(QStringLiteral("host")));
    if (A.Has(QStringLiteral("port")))
        Component.SetPort(A.IntValue(QStringLiteral("port"), Component.Port(), 1, 65535));
    Component.SetTimeout(A.IntValue(QStringLiteral("timeout"), Component.Timeout(), 0, 86400));
    if (A.Common() & coMaxTime)
        Component.SetTotalTimeout(
            A.IntValue(QStringLiteral("max-time"), Component.TotalTimeout(), 0, 86400 * 7));
    if (A.Common() & coMaxSize)
        Component.SetMaxReplySize(A.Int64Value(QStringLiteral("max-size"), Component.MaxReplySize(), 0,
                                               std::numeric_limits<qint64>::max()));
    QString proxyHost;
    int proxyPort = 0;
    if (ProxyOption(A, proxyHost, proxyPort)) {
        Component.Proxy()->SetServer(proxyHost);
        Component.Proxy()->SetPort(proxyPort);
        Component.Proxy()->SetUseProxy(true);
    }
    if ((A.Has(QStringLiteral("proxy-user")) || A.Has(QStringLiteral("proxy-password"))) &&
        !A.Has(QStringLiteral("proxy")))
        throw UsageError(QStringLiteral("--proxy-user and --proxy-password go with --proxy"));
    if (A.Has(QStringLiteral("proxy-user")) || A.Has(QStringLiteral("proxy-password"))) {
        Component.Proxy()->SetUser(A.Value(QStringLiteral("proxy-user")));
        Component.Proxy()->SetPassword(A.Value(QStringLiteral("proxy-password")));
        Component.SetLoginPrompt(false);
    }
    if (A.Has(QStringLiteral("verbose"))) {
        auto report = [](const char* What) {
            return [What](QObject*, TCustomWinSocket* Socket) {
                QString line = QStringLiteral("* ") + QString::fromLatin1(What);
                if (Socket && Socket->Connected())
                    line += QStringLiteral(" %1 port %2").arg(Socket->RemoteAddress()).arg(Socket->RemotePort());
                WriteError(line);
            };
        };
        Component.SetOnLookup(report("lookup"));
        Component.SetOnConnecting(report("connecting"));
        Component.SetOnConnect(report("connected"));
        Component.SetOnDisconnect(report("disconnected"));
        Component.SetOnError([](QObject*, TCustomWinSocket*, TErrorEvent, int& Code) {
            WriteError(QStringLiteral("* socket error %1").arg(Code));
        });
    }
}

int FinishExecute(const QString& Command, const TKvInetBase& Component, const QString& Text) {
    WriteWire(Text);
    if (Component.LastError().isEmpty())
        return ExitOk;
    WriteError(QStringLiteral("kvinet %1: %2").arg(Command, Component.LastError()));
    return ExitFailed;
}

} // namespace KvCli
