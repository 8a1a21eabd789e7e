// kvinet ls: lists an FTP directory or a directory of the file system with the remote directory lister,
// one entry a line.
#include "Cli.h"
#include "WebOptions.h"

#include "web/kvidir.h"

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE [--wildcard W] [--recursive]";
const char* const description =
    "Lists the directory SOURCE, one entry a line: an ftp:// URL or a local or mounted path (lines "
    "DIR/name).\n"
    "An ftp:// path is taken from the login folder (ftp://host/pub is pub there; its entries are pub/name;\n"
    "ftp://host/ lists the login folder itself, bare names); %2F at its start makes it absolute\n"
    "(ftp://host/%2Fpub is /pub). With --recursive the matching subdirectories too: on FTP after the whole\n"
    "level, on a path right after the subdirectory's own line. W filters files and directories (* any run,\n"
    "? one character, case-sensitive; *.* and * match every name; default *.*). Backslash, CR, LF, tab and\n"
    "other control characters in names are written as \\\\, \\r, \\n, \\t and \\xHH, and so is each byte of\n"
    "a name that is not UTF-8 (\\xHH): such a line shows the name, it is no name a program can open.\n"
    "--max-size bounds each FTP listing's bytes. Exit status 1 when nothing was listed (HTTP lists nothing)\n"
    "or the listing is incomplete (a directory that can't be entered or read, a listing that broke off or\n"
    "grew past --max-size, more than 32 levels or 100,000 lines): the lines found are printed, the reason\n"
    "goes to stderr.";

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
    // An escaped line comes escaped as this tool escapes: written as it is.
    const QList<int>& escaped = lister.EscapedLines();
    QString text;
    for (int i = 0, next = 0; i < lister.FileList()->Count(); ++i) {
        const bool shown = next < escaped.size() && escaped[next] == i;
        next += shown;
        text += (shown ? lister.FileList()->Get(i) : EscapeLine(lister.FileList()->Get(i))) + u'\n';
    }
    WriteText(text, false);
    if (lister.Status() == KvInet::isFinished)
        return ExitOk;
    WriteError(
        QStringLiteral("kvinet ls: %1")
            .arg(lister.LastError().isEmpty() ? QStringLiteral("nothing listed") : lister.LastError()));
    return ExitFailed;
}

// A listing is kept in memory line by line, bounded by the walk's own limits; --max-size bounds each FTP
// listing read.
const Command reg{"ls", "list an FTP directory or a local one (remote files)", Run, WebCommonOptions, cgWeb};

} // namespace

} // namespace KvCli
