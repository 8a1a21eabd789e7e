// kvinet http: one HTTP/1.0 request over the socket client.
#include "Cli.h"
#include "SocketOptions.h"

#include "socket/KvIHTTP.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

namespace KvCli {

namespace {

int Run(const Invocation& Call) {
    Args args(Call, QStringLiteral("URL [options]"),
              QStringLiteral(
                  "Sends one HTTP/1.0 request for an http:// URL and prints the reply's body (the whole\n"
                  "reply with --keep-headers), its lines ended with CR LF. --output writes the body's\n"
                  "bytes unaltered to FILE instead. --verbose shows the response headers on stderr."));
    args.Flag(QStringLiteral("gui"), QStringLiteral("ask for proxy credentials in a dialog (needs a display)"));
    args.Option(QStringLiteral("method"), QStringLiteral("get|head|post"), QStringLiteral("request method (default get)"));
    args.Option(QStringLiteral("header"), QStringLiteral("'NAME: VALUE'"), QStringLiteral("extra request header line"),
                true, QStringLiteral("H"));
    args.Flag(QStringLiteral("keep-headers"), QStringLiteral("print the status and header lines too"));
    args.Flag(QStringLiteral("follow"), QStringLiteral("follow a Location answer (at most 5 times)"));
    args.Option(QStringLiteral("output"), QStringLiteral("FILE"), QStringLiteral("write the body's bytes to FILE"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;

    const QString text = args.Positional().at(0);
    if (text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        throw UsageError(QStringLiteral("https:// URLs are not spoken by this client; use 'kvinet update' for HTTPS"));
    const QUrl url(text, QUrl::StrictMode);
    if (!text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) || !url.isValid() || url.host().isEmpty())
        throw UsageError(QStringLiteral("the URL must be http://HOST[:PORT]/PATH"));

    KvInet::TKvIHTTPClient http;
    const QString method = args.Value(QStringLiteral("method"), QStringLiteral("get")).toLower();
    if (method == QLatin1String("get"))
        http.SetAction(KvInet::haGet);
    else if (method == QLatin1String("head"))
        http.SetAction(KvInet::haHead);
    else if (method == QLatin1String("post"))
        http.SetAction(KvInet::haPost);
    else
        throw UsageError(QStringLiteral("--method must be get, head or post"));
    http.SetHost(url.host());
    http.SetPort(url.port(80));
    QString request = url.path(QUrl::FullyEncoded);
    if (request.isEmpty())
        request = QStringLiteral("/");
    if (url.hasQuery())
        request += u'?' + url.query(QUrl::FullyEncoded);
    http.SetRequest(request);
    // Header values go out as the bytes given (one character per byte), whatever their encoding.
    bool authorization = false;
    for (const QByteArray& line : args.RawValues(QStringLiteral("header"), Call.Raw)) {
        http.Headers()->Add(QString::fromLatin1(line));
        authorization = authorization || line.toLower().startsWith("authorization:");
    }
    // Credentials in the URL are the server's: sent as Basic (UTF-8), never silently dropped.
    if (!url.userName().isEmpty() && !authorization) {
        const QByteArray credentials = (url.userName() + u':' + url.password()).toUtf8();
        http.Headers()->Add(QStringLiteral("Authorization: Basic ") + QString::fromLatin1(credentials.toBase64()));
    }
    http.SetRemoveHeaders(!args.Has(QStringLiteral("keep-headers")));
    if (args.Has(QStringLiteral("follow")))
        http.SetOnRedirect([](QObject*, QString&, bool& Abort) { Abort = false; });
    ApplySocketOptions(args, http);

    const QString reply = http.Execute();
    if (args.Has(QStringLiteral("verbose")))
        for (int i = 0; i < http.ResponseHeaders()->Count(); ++i)
            WriteError(http.ResponseHeaders()->Get(i));
    if (!args.Has(QStringLiteral("output")) || !http.LastError().isEmpty())
        return FinishExecute(QStringLiteral("http"), http, reply);
    const QString target = args.Value(QStringLiteral("output"));
    const QFileInfo info(target);
    if (info.exists() && !info.isFile()) {
        // A device or a pipe is written as it is. The flush catches what the write only buffered
        // (/dev/full).
        QFile file(target);
        if (!file.open(QIODevice::WriteOnly) || file.write(http.Body()) != http.Body().size() || !file.flush())
            throw KvInet::Exception(QStringLiteral("cannot write %1: %2").arg(target, file.errorString()));
        return ExitOk;
    }
    // A file is written beside its name and put in place whole: a failed write leaves no part of it there.
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(http.Body()) != http.Body().size() || !file.commit())
        throw KvInet::Exception(QStringLiteral("cannot write %1: %2").arg(target, file.errorString()));
    return ExitOk;
}

const Command reg{"http", "an HTTP/1.0 request (HEAD, GET, POST) over the socket client", Run,
                  SocketCommonOptions | coProxy, cgSocket};

} // namespace

} // namespace KvCli
