// WebOptions: the common options and the source parser of the web commands.
#include "WebOptions.h"

#include "platform/System.h"

#include <QMetaEnum>
#include <QUrl>

#include <limits>

#include <unistd.h>

namespace KvCli {

using namespace KvInet;

TWebSource ParseWebSource(const QString& Source) {
    TWebSource source;
    const qsizetype schemeEnd = Source.indexOf(QLatin1String("://"));
    const QString scheme = schemeEnd > 0 ? Source.left(schemeEnd).toLower() : QString();
    if (scheme.isEmpty() || scheme == QLatin1String("file")) {
        source.RemoteName = scheme.isEmpty() ? Source : QUrl(Source).toLocalFile();
        return source;
    }
    if (scheme == QLatin1String("http"))
        source.Service = isHTTP;
    else if (scheme == QLatin1String("https"))
        source.Service = isHTTPS;
    else if (scheme == QLatin1String("ftp"))
        source.Service = isFTP;
    else
        throw UsageError(
            QStringLiteral("unsupported scheme '%1' (http, https, ftp or a file path)").arg(scheme));
    const QUrl url(Source, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        throw UsageError(QStringLiteral("'%1' is not a valid URL").arg(Source));
    source.Host = url.host();
    source.Port = url.port() > 0 ? url.port() : 0;
    if (!url.userName().isEmpty()) {
        source.HasCredentials = true;
        source.User = url.userName();
        source.Password = url.password();
    }
    // The path exactly as written (with its query) for HTTP; decoded for FTP, whose names are plain. The
    // host part ends at the first "/", "?" or "#", as QUrl reads it.
    qsizetype pathStart = schemeEnd + 3;
    while (pathStart < Source.size() && !QStringView(u"/?#").contains(Source[pathStart]))
        ++pathStart;
    QString path = Source.mid(pathStart);
    if (const qsizetype fragment = path.indexOf(u'#'); fragment >= 0)
        path.truncate(fragment);
    if (source.Service == isFTP) {
        // The path of an FTP URL is taken from the login folder: the "/" after the host only separates it,
        // and an encoded "/" at its start ("%2F") makes it absolute.
        path = QUrl::fromPercentEncoding((path.startsWith(u'/') ? path.mid(1) : path).toUtf8());
        source.RemoteName = path.isEmpty() ? QStringLiteral(".") : path;
        return source;
    }
    if (!path.startsWith(u'/'))
        path.prepend(u'/');
    source.RemoteName = path;
    return source;
}

QString ApplyWebSource(const QString& Source, TKvCustomWebComponent& Component) {
    const TWebSource source = ParseWebSource(Source);
    // The service first: it sets the service's default port.
    Component.SetService(source.Service);
    if (source.Service == isNetwork)
        return source.RemoteName;
    Component.SetHost(source.Host);
    if (source.Port > 0)
        Component.SetPort(source.Port);
    if (source.HasCredentials) {
        Component.SetUser(source.User);
        Component.SetPassword(source.Password);
    }
    return source.RemoteName;
}

void ApplyWebOptions(const Args& A, TKvCustomWebComponent& Component) {
    const bool credentials = A.Has(QStringLiteral("user")) || A.Has(QStringLiteral("password")) ||
                             A.Has(QStringLiteral("proxy-user")) || A.Has(QStringLiteral("proxy-password")) ||
                             !Component.User().isEmpty() || !Component.Password().isEmpty();
    if (A.Has(QStringLiteral("user")))
        Component.SetUser(A.Value(QStringLiteral("user")));
    if (A.Has(QStringLiteral("password")))
        Component.SetPassword(A.Value(QStringLiteral("password")));
    // Credentials are asked for only when none were given and someone is there to answer; otherwise the
    // given ones are tried once.
    Component.SetLoginPrompt(!credentials && ::isatty(STDIN_FILENO) != 0);
    Component.SetTimeout(A.IntValue(QStringLiteral("timeout"), 60, 0, 86400));
    Component.SetTotalTimeout(A.IntValue(QStringLiteral("max-time"), Component.TotalTimeout(), 0, 86400 * 7));
    Component.SetMaxReplySize(A.Int64Value(QStringLiteral("max-size"), Component.MaxReplySize(), 0,
                                           std::numeric_limits<qint64>::max()));
    if (A.Has(QStringLiteral("cafile")))
        Component.SetCACertFile(A.Value(QStringLiteral("cafile")));
    QString proxyHost;
    int proxyPort = 0;
    if (ProxyOption(A, proxyHost, proxyPort)) {
        // The system setting is split at its first ":", which an IPv6 address would not survive.
        if (proxyHost.contains(u':'))
            throw UsageError(QStringLiteral("--proxy: give an IPv6 proxy by a host name"));
        // The component refreshes its proxy from the system setting at every run: the option takes effect
        // as that setting, for this process only.
        const QString setting = proxyHost + u':' + QString::number(proxyPort);
        SetSystemProxyReader([setting] { return setting; });
    }
    Component.Proxy()->SetUser(A.Value(QStringLiteral("proxy-user")));
    Component.Proxy()->SetPassword(A.Value(QStringLiteral("proxy-password")));
    // Without a window the status window is a progress line on stderr: wanted on a terminal only.
    Component.StatusDialog()->SetEnabled(::isatty(STDERR_FILENO) != 0);
    if (A.Has(QStringLiteral("verbose"))) {
        Component.SetOnActionChange([&Component](QObject*) {
            WriteError(QStringLiteral("action: %1")
                           .arg(QString::fromLatin1(
                               QMetaEnum::fromType<TKvIAction>().valueToKey(int(Component.Action())))));
        });
        Component.SetOnStatusChange([&Component](QObject*) {
            WriteError(QStringLiteral("status: %1")
                           .arg(QString::fromLatin1(
                               QMetaEnum::fromType<TKvIStatus>().valueToKey(int(Component.Status())))));
        });
    }
}

const char* StatusWord(KvInet::TKvIStatus Status) {
    switch (Status) {
    case KvInet::isFinished:
        return "finished";
    case KvInet::isSkipped:
        return "skipped";
    case KvInet::isNotFound:
        return "notfound";
    case KvInet::isInProgress:
    case KvInet::isFailed:
        break;
    }
    return "failed";
}

} // namespace KvCli
