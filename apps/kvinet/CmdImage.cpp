// kvinet image: refreshes a picture from a URL or path with the remote image, on its timer, and saves the
// picture shown.
#include "Cli.h"
#include "WebOptions.h"

#include "platform/QtPictures.h"
#include "web/kviimage.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE --out FILE [--interval MS --count N]";
const char* const description =
    "Loads the picture at SOURCE (an http://, https:// or ftp:// URL, or a local or mounted path) with the\n"
    "remote image, N times (default 1), MS milliseconds apart (default 1000) counted from the end of one\n"
    "refresh. A picture whose size and time did not change is not downloaded again but shown from the kept\n"
    "copy. The format is read from the content. Prints one line per refresh: STATUS WIDTHxHEIGHT (finished,\n"
    "skipped, notfound or failed; the size of the picture shown, 0x0 when none). After each refresh that\n"
    "shows a picture it is saved to FILE, in the format of FILE's extension (PNG when it has none known).\n"
    "A picture larger than --max-size fails its refresh and nothing of it is kept. Exit status 1 when no\n"
    "picture was ever shown, or the last refresh failed or found nothing (the reason on stderr).";

/// The remote image that reports each refresh and ends the run after the last one.
class TCountedImage : public KvInet::TKvRemoteImage {
public:
    int Left = 1;
    QString Out;
    QByteArray Format;
    QEventLoop* Loop = nullptr;
    bool Shown = false;
    bool SaveFailed = false;
    bool LastOk = false;

    bool Execute() override {
        bool result = false;
        try {
            result = KvInet::TKvRemoteImage::Execute();
        } catch (...) {
            // The run ends here; the timer's handler reports the failure and stops the timer.
            Finish();
            throw;
        }
        const QImage picture = KvInet::DecodePicture(Image()->Picture());
        WriteText(QStringLiteral("%1 %2x%3")
                      .arg(QString::fromLatin1(StatusWord(Status())))
                      .arg(picture.width())
                      .arg(picture.height()));
        const bool ok = Status() != KvInet::isFailed && Status() != KvInet::isNotFound;
        if (!ok)
            WriteError(QStringLiteral("kvinet image: %1")
                           .arg(LastError().isEmpty() ? QStringLiteral("failed") : LastError()));
        if (!picture.isNull()) {
            Shown = true;
            // Written aside and renamed: a reader of FILE sees a whole picture, old or new.
            QSaveFile file(Out);
            if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, Format.constData()) ||
                !file.commit()) {
                WriteError(
                    QStringLiteral("kvinet image: cannot write \"%1\". %2").arg(Out, file.errorString()));
                SaveFailed = true;
            }
        }
        LastOk = ok;
        if (--Left <= 0 || SaveFailed)
            Finish();
        return result;
    }

private:
    void Finish() {
        Stop();
        if (Loop)
            Loop->quit();
    }
};

int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Option(QStringLiteral("out"), QStringLiteral("FILE"),
                QStringLiteral("where the picture shown is saved"));
    args.Option(QStringLiteral("interval"), QStringLiteral("MS"),
                QStringLiteral("milliseconds between refreshes (1 or more; default 1000)"));
    args.Option(QStringLiteral("count"), QStringLiteral("N"), QStringLiteral("refreshes (default 1)"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    if (!args.Has(QStringLiteral("out")))
        throw UsageError(QStringLiteral("--out is required"));

    KvInet::TImage image;
    TCountedImage remote;
    remote.SetRemoteFileName(ApplyWebSource(args.Positional()[0], remote));
    ApplyWebOptions(args, remote);
    remote.SetImage(&image);
    remote.SetInterval(args.IntValue(QStringLiteral("interval"), 1000, 1, 86400000));
    remote.Left = args.IntValue(QStringLiteral("count"), 1, 1, 1000000);
    remote.Out = args.Value(QStringLiteral("out"));
    const QByteArray suffix = QFileInfo(remote.Out).suffix().toLower().toLatin1();
    remote.Format = QImageWriter::supportedImageFormats().contains(suffix) ? suffix : QByteArray("png");

    // The first refresh at once, the others on the component's own timer.
    remote.Execute();
    if (remote.Left > 0 && !remote.SaveFailed) {
        QEventLoop loop;
        remote.Loop = &loop;
        remote.Start();
        loop.exec();
        remote.Loop = nullptr;
        // The timer stopped on an exception (reported on stderr by the message handler).
        if (remote.Left > 0)
            return ExitFailed;
    }
    if (!remote.Shown) {
        WriteError(QStringLiteral("kvinet image: no picture was shown"));
        return ExitFailed;
    }
    return remote.LastOk && !remote.SaveFailed ? ExitOk : ExitFailed;
}

const Command reg{"image", "refresh a picture from a URL or path and save it (remote image)", Run,
                  WebCommonOptions, cgWeb};

} // namespace

} // namespace KvCli
