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

/// The body's way out: a file (written beside its name and put in place whole), a device or pipe, or
/// standard output ("-"), as a stream the HTTP client writes to as the body arrives.
class TOutputStream : public KvInet::TStream {
public:
    explicit TOutputStream(const QString& Target) {
        const QFileInfo info(Target);
        if (Target == QLatin1String("-")) {
            auto* out = new QFile;
            FOpen = out->open(stdout, QIODevice::WriteOnly);
            FDevice.reset(out);
        } else if (info.exists() && !info.isFile()) {
            FDevice = std::make_unique<QFile>(Target);
            FOpen = FDevice->open(QIODevice::WriteOnly);
        } else {
            auto* file = new QSaveFile(Target);
            FOpen = file->open(QIODevice::WriteOnly);
            FSave = file;
            FDevice.reset(file);
        }
        if (!FOpen)
            throw KvInet::Exception(
                QStringLiteral("cannot write %1: %2").arg(Target, FDevice->errorString()));
    }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* Buffer, int64_t Count) override {
        const qint64 n = FDevice->write(static_cast<const char*>(Buffer), Count);
        FSize += std::max<qint64>(n, 0);
        return n;
    }
    int64_t Seek(int64_t, KvInet::TSeekOrigin) override { return FSize; }
    int64_t Size() const override { return FSize; }
    void SetSize(int64_t) override {}
    /// Puts a file in place (false when that, or a last write, failed); devices and stdout are flushed.
    bool Finish(QString& Error) {
        bool ok = FSave ? FSave->commit() : (static_cast<QFile*>(FDevice.get())->flush());
        if (!ok)
            Error = FDevice->errorString();
        return ok;
    }
    /// A failed download leaves nothing under the target's name.
    void Discard() {
        if (FSave)
            FSave->cancelWriting();
    }

private:
    std::unique_ptr<QIODevice> FDevice;
    QSaveFile* FSave = nullptr;
    bool FOpen = false;
    int64_t FSize = 0;
};

int Run(const Invocation& Call) {
    Args args(Call, QStringLiteral("URL [options]"),
              QStringLiteral(
                  "Sends one HTTP/1.0 request for an http:// URL and prints the reply's body (the whole\n"
                  "reply with --keep-headers), its lines ended with CR LF. --output writes the body's\n"
                  "bytes unaltered to FILE instead. --verbose shows the response headers on stderr,\n"
                  "control characters escaped. Without --follow a redirect is a reply like any other:\n"
                  "its own body is printed or written, exit 0."));
    args.Flag(QStringLiteral("gui"), QStringLiteral("ask for proxy credentials in a dialog (needs a display)"));
    args.Option(QStringLiteral("method"), QStringLiteral("get|head|post"), QStringLiteral("request method (default get)"));
    args.Option(QStringLiteral("header"), QStringLiteral("'NAME: VALUE'"), QStringLiteral("extra request header line"),
                true, QStringLiteral("H"));
    args.Flag(QStringLiteral("keep-headers"), QStringLiteral("print the status and header lines too"));
    args.Flag(QStringLiteral("follow"), QStringLiteral("follow a Location answer (at most 5 times)"));
    args.Option(QStringLiteral("output"), QStringLiteral("FILE"),
                QStringLiteral("write the body's bytes to FILE (- for stdout) as they arrive"));
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
        http.Headers()->Add(QStringLiteral("Authorization: Basic ") +
                            QString::fromLatin1(credentials.toBase64()));
    }
    http.SetRemoveHeaders(!args.Has(QStringLiteral("keep-headers")));
    if (args.Has(QStringLiteral("follow")))
        http.SetOnRedirect([](QObject*, QString&, bool& Abort) { Abort = false; });
    ApplySocketOptions(args, http);

    // With --output the body streams to its target as it arrives: nothing of it is held in memory.
    std::unique_ptr<TOutputStream> output;
    if (args.Has(QStringLiteral("output"))) {
        output = std::make_unique<TOutputStream>(args.Value(QStringLiteral("output")));
        http.SetBodyStream(output.get());
    }
    const QString reply = http.Execute();
    if (args.Has(QStringLiteral("verbose")))
        for (int i = 0; i < http.ResponseHeaders()->Count(); ++i)
            WriteError(EscapeLine(http.ResponseHeaders()->Get(i)));
    if (!output)
        return FinishExecute(QStringLiteral("http"), http, reply);
    if (!http.LastError().isEmpty()) {
        output->Discard();
        WriteError(QStringLiteral("kvinet http: %1").arg(http.LastError()));
        return ExitFailed;
    }
    QString error;
    if (!output->Finish(error))
        throw KvInet::Exception(
            QStringLiteral("cannot write %1: %2").arg(args.Value(QStringLiteral("output")), error));
    return ExitOk;
}

const Command reg{"http", "an HTTP/1.0 request (HEAD, GET, POST) over the socket client", Run,
                  SocketCommonOptions | coProxy, cgSocket};

} // namespace

} // namespace KvCli
