// kvinet ls: lists an FTP directory or a directory of the file system with the remote directory lister,
// one entry a line.
#include "Cli.h"
#include "WebOptions.h"

#include "web/kvidir.h"

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE [--wildcard W] [--recursive]";
const char* const description =
    "Lists the directory SOURCE, one entry a line: an ftp:// URL (lines DIR/name, or the bare name in the\n"
    "server's current directory) or a local or mounted path (lines DIR/name). With --recursive the matching\n"
    "subdirectories too: on FTP after the whole level, on a path right after the subdirectory's own line.\n"
    "W filters files and directories (* any run, ? one character, case-sensitive; *.* and * match every\n"
    "name; default *.*). Backslash, CR, LF, tab and other control characters in names are written as \\\\,\n"
    "\\r, \\n, \\t and \\xHH. Exit status 1 when nothing was listed (HTTP lists nothing) or the listing is\n"
    "incomplete (a directory that can't be entered, more than 32 levels or 100,000 lines): the lines found\n"
    "are printed, the reason goes to stderr.";


int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Option(QStringLiteral("wildcard"), QStringLiteral("W"),
                QStringLiteral("name pattern (default *.*)"));
    args.Flag(QStringLiteral("recursive"), QStringLiteral("list the subdirectories too"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;

    KvInet::TKvRemoteFiles lister;
    lister.SetDirectory(ApplyWebSource(args.Positional()[0], lister));
    ApplyWebOptions(args, lister);
    if (args.Has(QStringLiteral("wildcard")))
        lister.SetWildCard(args.Value(QStringLiteral("wildcard")));
    lister.SetSubFolders(args.Has(QStringLiteral("recursive")));

    lister.Execute();
    QString text;
    for (int i = 0; i < lister.FileList()->Count(); ++i)
        text += EscapeLine(lister.FileList()->Get(i)) + u'\n';
    WriteText(text, false);
    if (lister.Status() == KvInet::isFinished)
        return ExitOk;
    WriteError(
        QStringLiteral("kvinet ls: %1")
            .arg(lister.LastError().isEmpty() ? QStringLiteral("nothing listed") : lister.LastError()));
    return ExitFailed;
}

// A listing is kept in memory line by line, bounded by the walk's own limits, not by --max-size.
const Command reg{"ls", "list an FTP directory or a local one (remote files)", Run,
                  WebCommonOptions & ~coMaxSize, cgWeb};

} // namespace

} // namespace KvCli
