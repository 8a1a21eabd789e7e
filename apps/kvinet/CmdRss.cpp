// kvinet rss: downloads an RSS feed with the RSS parser and prints its channels and items, one field a line.
#include "Cli.h"
#include "WebOptions.h"

#include "services/KvIRSS.h"

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE";
const char* const description =
    "Downloads the RSS feed at SOURCE (an http://, https:// or ftp:// URL, or a local or mounted path) and\n"
    "prints each channel's non-empty fields as \"Name: value\" lines (Title, Link, Description, Language,\n"
    "Copyright, Rating, ManagingEditor, WebMaster, PubDate, LastBuildDate, Category, Generator, Docs, Ttl),\n"
    "then each of its items after an \"item N:\" line (N from 1), the item's non-empty fields (Title, Link,\n"
    "Description, Creator, Date) indented two spaces. A blank line separates channels. Values are written\n"
    "as UTF-8 with their entity references as in the feed; backslash, CR, LF and tab are written as \\\\,\n"
    "\\r, \\n, \\t and other control characters as \\xHH.\n"
    "Exit status 1 when the feed was not downloaded or holds no RSS channel (an Atom feed, an HTML page).\n"
    "--max-size bounds the feed and what it takes in memory.";

/// The feed's lines, through the block-buffered output.
class TFeedOutput : public TLineOutput {
public:
    void Field(const char* Indent, const char* Name, const QString& Value) {
        if (Value.isEmpty())
            return;
        QString line = QString::fromLatin1(Indent) + QString::fromLatin1(Name) + QStringLiteral(": ");
        // One field, one line: nothing in a value can start a line of its own or drive the terminal.
        line += EscapeLine(Value);
        Line(line);
    }
};

void PrintChannel(TFeedOutput& Out, const KvInet::TKvIRSSChannel& C) {
    Out.Field("", "Title", C.Title);
    Out.Field("", "Link", C.Link);
    Out.Field("", "Description", C.Description);
    Out.Field("", "Language", C.Language);
    Out.Field("", "Copyright", C.Copyright);
    Out.Field("", "Rating", C.Rating);
    Out.Field("", "ManagingEditor", C.ManagingEditor);
    Out.Field("", "WebMaster", C.WebMaster);
    Out.Field("", "PubDate", C.PubDate);
    Out.Field("", "LastBuildDate", C.LastBuildDate);
    Out.Field("", "Category", C.Category);
    Out.Field("", "Generator", C.Generator);
    Out.Field("", "Docs", C.Docs);
    Out.Field("", "Ttl", C.Ttl);
    int n = 0;
    for (const KvInet::TKvIRSSItem* item : C.Items) {
        Out.Line(QStringLiteral("item %1:").arg(++n));
        Out.Field("  ", "Title", item->Title);
        Out.Field("  ", "Link", item->Link);
        Out.Field("  ", "Description", item->Description);
        Out.Field("  ", "Creator", item->Creator);
        Out.Field("  ", "Date", item->Date);
    }
}

int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;

    KvInet::TKvIRSSParser parser;
    parser.SetRemoteFileName(ApplyWebSource(args.Positional()[0], parser));
    ApplyWebOptions(args, parser);
    parser.Execute();
    if (parser.Status() != KvInet::isFinished) {
        const QString reason =
            parser.LastError().isEmpty() ? QStringLiteral("the feed was not downloaded") : parser.LastError();
        WriteError(QStringLiteral("kvinet rss: %1").arg(reason));
        return ExitFailed;
    }
    const KvInet::TKvIRSSChannels& channels = *parser.Channels();
    if (channels.Count() == 0) {
        WriteError(QStringLiteral("kvinet rss: no RSS channel in the feed"));
        return ExitFailed;
    }
    TFeedOutput out;
    for (int i = 0; i < channels.Count(); ++i) {
        if (i > 0)
            out.Line(QString());
        PrintChannel(out, *channels.Items(i));
    }
    return ExitOk;
}

const Command reg{"rss", "download an RSS feed and print its channels and items (RSS parser)", Run,
                  WebCommonOptions, cgXml};

} // namespace

} // namespace KvCli
