// kvinet update: brings a local file up to date from an HTTP, HTTPS or FTP URL or a file path, with the
// web updater. Prints the outcome as one word.
#include "Commands.h"

#include "platform/SysUtils.h"
#include "web/kviupdate.h"

#include <QMetaEnum>
#include <QUrl>

#include <unistd.h>

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE LOCALFILE";
const char* const description =
    "Downloads SOURCE into LOCALFILE unless LOCALFILE is already current (same size, not older).\n"
    "SOURCE is an http://, https:// or ftp:// URL, or a local or mounted network path. The local file gets\n"
    "the remote file's time. Prints the outcome on stdout: finished, skipped, notfound or failed.\n"
    "Exit status 0 for finished and skipped, 1 otherwise. A progress line goes to stderr on a terminal.\n"
    "The proxy (--proxy, or http_proxy in the environment) is used for HTTP and HTTPS.";

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

/// Service, host, port, credentials and remote name from SOURCE.
void ApplySource(KvInet::TKvWebUpdater& Updater, const QString& Source) {
    const qsizetype schemeEnd = Source.indexOf(QLatin1String("://"));
    const QString scheme = schemeEnd > 0 ? Source.left(schemeEnd).toLower() : QString();
    if (scheme.isEmpty() || scheme == QLatin1String("file")) {
        Updater.SetService(KvInet::isNetwork);
        Updater.SetRemoteFileName(scheme.isEmpty() ? Source : QUrl(Source).toLocalFile());
        return;
    }
    KvInet::TKvIService service;
    if (scheme == QLatin1String("http"))
        service = KvInet::isHTTP;
    else if (scheme == QLatin1String("https"))
        service = KvInet::isHTTPS;
    else if (scheme == QLatin1String("ftp"))
        service = KvInet::isFTP;
    else
        throw UsageError(QStringLiteral("unsupported scheme '%1' (http, https, ftp or a file path)").arg(scheme));
    const QUrl url(Source, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        throw UsageError(QStringLiteral("'%1' is not a valid URL").arg(Source));
    Updater.SetService(service);
    Updater.SetHost(url.host());
    if (url.port() > 0)
        Updater.SetPort(url.port());
    if (!url.userName().isEmpty()) {
        Updater.SetUser(url.userName());
        Updater.SetPassword(url.password());
    }
    // The path exactly as written (with its query) for HTTP; decoded for FTP, whose names are plain.
    const qsizetype pathStart = Source.indexOf(u'/', schemeEnd + 3);
    QString path = pathStart < 0 ? QStringLiteral("/") : Source.mid(pathStart);
    if (const qsizetype fragment = path.indexOf(u'#'); fragment >= 0)
        path.truncate(fragment);
    if (service == KvInet::isFTP)
        path = QUrl::fromPercentEncoding(path.toUtf8());
    Updater.SetRemoteFileName(path);
}

} // namespace

int CmdUpdate(const Invocation& Call) {
    Args args(QStringLiteral("update"), QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Flag(QStringLiteral("resume"), QStringLiteral("append to a partial local file, fetching only the rest"));
    args.Flag(QStringLiteral("force"), QStringLiteral("download even when the local file is current"));
    args.Option(QStringLiteral("user"), QStringLiteral("USER"), QStringLiteral("user name for the server"));
    args.Option(QStringLiteral("password"), QStringLiteral("PASSWORD"), QStringLiteral("password for the server"));
    args.Flag(QStringLiteral("status-window"), QStringLiteral("show the status window (needs a display)"));
    args.Option(QStringLiteral("proxy"), QStringLiteral("HOST:PORT"), QStringLiteral("use this HTTP proxy"));
    args.Option(QStringLiteral("proxy-user"), QStringLiteral("USER"), QStringLiteral("proxy user name"));
    args.Option(QStringLiteral("proxy-password"), QStringLiteral("PASSWORD"), QStringLiteral("proxy password"));
    args.Option(QStringLiteral("timeout"), QStringLiteral("SECONDS"),
                QStringLiteral("give up after this many seconds without progress (0: never; default 60)"));
    args.Option(QStringLiteral("cafile"), QStringLiteral("FILE"), QStringLiteral("extra trusted CA certificates (PEM)"));
    args.Flag(QStringLiteral("verbose"), QStringLiteral("report every step on stderr"));
    if (!args.Parse(Call.Arguments, 2, 2))
        return ExitOk;

    KvInet::TKvWebUpdater updater;
    ApplySource(updater, args.Positional()[0]);
    updater.SetLocalFileName(args.Positional()[1]);
    if (args.Has(QStringLiteral("user")))
        updater.SetUser(args.Value(QStringLiteral("user")));
    if (args.Has(QStringLiteral("password")))
        updater.SetPassword(args.Value(QStringLiteral("password")));
    // Credentials are asked for only when someone is there to answer; otherwise the given ones are
    // tried once.
    updater.SetLoginPrompt(::isatty(STDIN_FILENO) != 0);
    updater.SetResumeDownload(args.Has(QStringLiteral("resume")));
    updater.SetTimeout(args.IntValue(QStringLiteral("timeout"), 60, 0, 86400));
    updater.SetCACertFile(args.Value(QStringLiteral("cafile")));
    if (args.Has(QStringLiteral("proxy"))) {
        // The updater reads the proxy from the system setting at every run, which here is the
        // environment: that is where the option has to go to take effect.
        const QString proxy = args.Value(QStringLiteral("proxy"));
        if (proxy.isEmpty() || proxy.contains(u' '))
            throw UsageError(QStringLiteral("--proxy takes HOST:PORT"));
        qputenv("http_proxy", (proxy.contains(QLatin1String("://")) ? proxy : QStringLiteral("http://") + proxy).toUtf8());
    }
    updater.Proxy()->SetUser(args.Value(QStringLiteral("proxy-user")));
    updater.Proxy()->SetPassword(args.Value(QStringLiteral("proxy-password")));
    if (args.Has(QStringLiteral("force")))
        updater.SetOnFileCompare([](QObject*, bool& Equal) { Equal = false; });
    // Without a window the status window is a progress line on stderr: wanted on a terminal only.
    updater.StatusDialog()->SetEnabled(args.Has(QStringLiteral("status-window")) || ::isatty(STDERR_FILENO));
    if (args.Has(QStringLiteral("verbose"))) {
        updater.SetOnActionChange([&updater](QObject*) {
            WriteError(QStringLiteral("action: %1").arg(QString::fromLatin1(
                QMetaEnum::fromType<KvInet::TKvIAction>().valueToKey(int(updater.Action())))));
        });
        updater.SetOnStatusChange([&updater](QObject*) {
            WriteError(QStringLiteral("status: %1").arg(QString::fromLatin1(
                QMetaEnum::fromType<KvInet::TKvIStatus>().valueToKey(int(updater.Status())))));
        });
    }

    updater.Execute();
    const KvInet::TKvIStatus status = updater.Status();
    WriteText(QString::fromLatin1(StatusWord(status)));
    const bool ok = status == KvInet::isFinished || status == KvInet::isSkipped;
    if (!ok && !updater.LastError().isEmpty())
        WriteError(QStringLiteral("kvinet update: %1").arg(updater.LastError()));
    if (args.Has(QStringLiteral("verbose")))
        WriteError(QStringLiteral("remote size %1, time %2")
                       .arg(updater.RemoteFileSize())
                       .arg(updater.RemoteFileCreated().toString(Qt::ISODate)));
    return ok ? ExitOk : ExitFailed;
}

} // namespace KvCli
