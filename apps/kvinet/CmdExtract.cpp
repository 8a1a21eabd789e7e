// kvinet extract: downloads a page with the info extractor and prints every text of one kind (e-mail links,
// URLs of one scheme) it holds.
#include "Cli.h"
#include "WebOptions.h"

#include "web/kvixtract.h"

#include <QMetaEnum>

#include <iterator>

namespace KvCli {

namespace {

const char* const synopsis = "SOURCE --kind mailto|http|https|ftp|file|telnet|news|gopher|wais";
const char* const description =
    "Downloads SOURCE (an http://, https:// or ftp:// URL, or a local or mounted path) and prints every\n"
    "text in it that begins with the prefix of KIND (mailto:, http://, https://, ftp://, file://, telnet:,\n"
    "news:, gopher://, wais:; case-sensitive), up to the first space, control character or one of\n"
    "\" # % < > [ \\ ] ^ ` { | } ~, one a line in document order, the bytes as found. A NUL byte ends the\n"
    "scan. --max-size bounds the page (nothing of a larger one is kept) and the memory the texts take (2\n"
    "bytes a character and 80 a text; those that fit are printed). Exit status 1 when the page could not\n"
    "be fetched (failed, notfound), is larger than --max-size or its texts pass it.";

int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Option(QStringLiteral("kind"), QStringLiteral("mailto|http|https|ftp|file|telnet|news|gopher|wais"),
                QStringLiteral("what to extract"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    if (!args.Has(QStringLiteral("kind")))
        throw UsageError(QStringLiteral("--kind is required"));
    // The kind is the prefix without its ":" and "//".
    const QString kind = args.Value(QStringLiteral("kind"));
    int extract = -1;
    for (size_t i = 0; i < std::size(KvInet::KvIExtractPrefix); ++i)
        if (kind == QString::fromLatin1(KvInet::KvIExtractPrefix[i]).section(u':', 0, 0))
            extract = int(i);
    if (extract < 0)
        throw UsageError(QStringLiteral("--kind: '%1' is none of "
                                        "mailto, http, https, ftp, file, telnet, news, gopher, wais")
                             .arg(kind));

    KvInet::TKvInfoExtractor extractor;
    extractor.SetRemoteFileName(ApplyWebSource(args.Positional()[0], extractor));
    ApplyWebOptions(args, extractor);
    extractor.SetExtract(KvInet::TKvIExtract(extract));

    const bool ok = extractor.Execute() && extractor.Status() != KvInet::isNotFound;
    // Sized once: the output is held once beside the texts, never in a buffer grown past it.
    const KvInet::TStrings* lines = extractor.ExtractedInfo();
    qsizetype length = 0;
    for (int i = 0; i < lines->Count(); ++i)
        length += lines->Get(i).size() + 1;
    QString text;
    text.reserve(length);
    for (int i = 0; i < lines->Count(); ++i)
        text.append(lines->Get(i)).append(u'\n');
    WriteWire(text);
    if (ok)
        return ExitOk;
    WriteError(QStringLiteral("kvinet extract: %1")
                   .arg(extractor.LastError().isEmpty() ? QStringLiteral("failed") : extractor.LastError()));
    return ExitFailed;
}

const Command reg{"extract", "print the e-mail links or URLs of a page (info extractor)", Run,
                  WebCommonOptions, cgWeb};

} // namespace

} // namespace KvCli
