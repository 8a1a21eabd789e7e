// kvinet news: brings a news file up to date from an HTTP, HTTPS or FTP URL or a file path with the web
// direct component and shows its tree: printed on stdout, or the news window with --gui.
#include "Cli.h"
#include "WebOptions.h"

#include "web/kvidirect.h"

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE";
const char* const description =
    "Updates the news file from SOURCE (an http://, https:// or ftp:// URL, or a local or mounted path) and\n"
    "shows its sections and items: one line per section, then its items as \"  * caption<TAB>link\" for an\n"
    "item that is new since the previous update and \"    caption<TAB>link\" for the others. With --gui the\n"
    "news window opens instead (a display is needed); a click opens an http, https, ftp or mailto link.\n"
    "--show-mode: always (the default), never, or ifchanged (only after a download).\n"
    "The news file is FILE (--local), else <user data directory>/kvinet.sin; the copy from before the "
    "update\n"
    "is kept beside it with the extension .~sin. Exit status 0 when the file was downloaded or is current,\n"
    "1 otherwise (the tree of the file already there is still shown with --show-mode always).\n"
    "A news file that a broken download left is not shown (nor kept as the previous copy) until a download\n"
    "completes; one cut at the reading bounds (4 MiB, 10,000 sections and items) is shown in part. Both\n"
    "are told in a warning on stderr.";

KvInet::TKvIShowMode ShowModeOption(const Args& A) {
    const QString mode = A.Value(QStringLiteral("show-mode"), QStringLiteral("always"));
    if (mode == QLatin1String("always"))
        return KvInet::omAlways;
    if (mode == QLatin1String("never"))
        return KvInet::omNever;
    if (mode == QLatin1String("ifchanged"))
        return KvInet::omIfChanged;
    throw UsageError(QStringLiteral("--show-mode must be always, never or ifchanged, not '%1'").arg(mode));
}

int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Option(QStringLiteral("local"), QStringLiteral("FILE"), QStringLiteral("the local news file"));
    args.Option(QStringLiteral("show-mode"), QStringLiteral("always|never|ifchanged"),
                QStringLiteral("always, never or ifchanged (default always)"));
    args.Flag(QStringLiteral("gui"), QStringLiteral("show the news window (needs a display)"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;

    KvInet::TKvWebDirect direct;
    direct.SetShowMode(ShowModeOption(args));
    direct.SetRemoteFileName(ApplyWebSource(args.Positional()[0], direct));
    if (args.Has(QStringLiteral("local")))
        direct.SetLocalFileName(args.Value(QStringLiteral("local")));
    ApplyWebOptions(args, direct);

    direct.Execute();
    const KvInet::TKvIStatus status = direct.Status();
    const bool ok = status == KvInet::isFinished || status == KvInet::isSkipped;
    if (!ok && !direct.LastError().isEmpty())
        WriteError(QStringLiteral("kvinet news: %1").arg(EscapeLine(direct.LastError())));
    if (!direct.NewsWarning().isEmpty())
        WriteError(QStringLiteral("kvinet news: warning: %1").arg(EscapeLine(direct.NewsWarning())));
    if (args.Has(QStringLiteral("verbose")))
        WriteError(QStringLiteral("kvinet news: %1 (%2)")
                       .arg(status == KvInet::isFinished  ? QStringLiteral("downloaded")
                            : status == KvInet::isSkipped ? QStringLiteral("current")
                                                          : QStringLiteral("not updated"),
                            direct.LocalFileName()));
    return ok ? ExitOk : ExitFailed;
}

// The news file is written to a file, which --max-size does not bound (its reading has bounds of its own).
const Command reg{"news", "update a news file and show its sections and items (web direct)", Run,
                  WebCommonOptions & ~coMaxSize, cgWeb};

} // namespace

} // namespace KvCli
