// kvinet update: brings a local file up to date from an HTTP, HTTPS or FTP URL or a file path, with the
// web updater. Prints the outcome as one word.
#include "Cli.h"
#include "WebOptions.h"

#include "web/kviupdate.h"

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE LOCALFILE";
const char* const description =
    "Downloads SOURCE into LOCALFILE unless LOCALFILE is already current (same size, not older).\n"
    "SOURCE is an http://, https:// or ftp:// URL, or a local or mounted network path. The local file gets\n"
    "the remote file's time. Prints the outcome on stdout: finished, skipped, notfound or failed.\n"
    "Exit status 0 for finished and skipped, 1 otherwise. A progress line goes to stderr on a terminal.\n"
    "The proxy (--proxy, or the system's setting: http_proxy in the environment) is used for HTTP and HTTPS.";

int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Flag(QStringLiteral("resume"), QStringLiteral("append to a partial local file, fetching only the rest"));
    args.Flag(QStringLiteral("force"), QStringLiteral("download even when the local file is current"));
    args.Flag(QStringLiteral("status-window"), QStringLiteral("show the status window (needs a display)"));
    if (!args.Parse(Call.Arguments, 2, 2))
        return ExitOk;

    KvInet::TKvWebUpdater updater;
    updater.SetRemoteFileName(ApplyWebSource(args.Positional()[0], updater));
    updater.SetLocalFileName(args.Positional()[1]);
    ApplyWebOptions(args, updater);
    updater.SetResumeDownload(args.Has(QStringLiteral("resume")));
    if (args.Has(QStringLiteral("force")))
        updater.SetOnFileCompare([](QObject*, bool& Equal) { Equal = false; });
    if (args.Has(QStringLiteral("status-window")))
        updater.StatusDialog()->SetEnabled(true);

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

// The download goes to a file, which --max-size does not bound: the updater does not honour it.
const Command reg{"update", "bring a local file up to date from a URL or path (web updater)", Run,
                  WebCommonOptions & ~coMaxSize, cgWeb};

} // namespace

} // namespace KvCli
