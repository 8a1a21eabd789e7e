// kvinet util: the shared text routines, one result line each.
#include "Cli.h"

#include "platform/SysUtils.h"
#include "platform/WireText.h"
#include "socket/kviutil.h"

namespace KvCli {

namespace {
const char* const synopsis = "SUBCOMMAND ARGS";
const char* const description =
    "Text utilities; each prints its result on one line.\n"
    "  base64 TEXT            Base64 of the argument's bytes\n"
    "  utf8-decode HEX        decodes UTF-8 given as hex pairs (\"C3A9\"), printed as UTF-8\n"
    "  html-decode TEXT       replaces the known HTML entities\n"
    "  content-type FILENAME  the MIME content type for the file name's extension\n"
    "  column LINE N SEP      column N (from 0) of LINE split at the character SEP";

QString HexToWire(const QString& Hex) {
    QString compact = Hex;
    compact.remove(u' ');
    if (compact.size() % 2 != 0)
        throw UsageError(QStringLiteral("utf8-decode needs pairs of hex digits"));
    QString result;
    for (qsizetype i = 0; i < compact.size(); i += 2) {
        bool ok = false;
        const uint v = compact.mid(i, 2).toUInt(&ok, 16);
        if (!ok)
            throw UsageError(QStringLiteral("'%1' is not a hex pair").arg(compact.mid(i, 2)));
        result += QChar(char16_t(v));
    }
    return result;
}
int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    if (!args.Parse(Call.Arguments, 1, 4))
        return ExitOk;
    const QStringList& p = args.Positional();
    const QString sub = p[0];
    const auto need = [&](int n) {
        if (p.size() != n + 1)
            throw UsageError(QStringLiteral("'%1' takes %2 argument(s)").arg(sub).arg(n));
    };
    if (sub == QLatin1String("base64")) {
        need(1);
        WriteText(KvInet::Encode64(KvInet::BytesToWire(Call.Raw[args.PositionalIndex(1)])));
    } else if (sub == QLatin1String("utf8-decode")) {
        need(1);
        WriteText(KvInet::Utf8Decode(HexToWire(p[1])));
    } else if (sub == QLatin1String("html-decode")) {
        need(1);
        QString text = p[1];
        KvInet::ReplaceHTMLChars(text);
        WriteText(text);
    } else if (sub == QLatin1String("content-type")) {
        need(1);
        WriteText(KvInet::ContentTypeByFile(p[1]));
    } else if (sub == QLatin1String("column")) {
        need(3);
        int column = 0;
        if (!KvInet::TryStrToInt(p[2], column))
            throw UsageError(QStringLiteral("column number '%1' is not a number").arg(p[2]));
        if (p[3].size() != 1)
            throw UsageError(QStringLiteral("the separator must be one character"));
        WriteText(KvInet::GetColumn(p[1], column, p[3][0]));
    } else {
        throw UsageError(QStringLiteral("unknown subcommand '%1'").arg(sub));
    }
    return ExitOk;
}

const Command reg{"util", "text utilities: base64, utf8-decode, html-decode, content-type, column", Run};

} // namespace

} // namespace KvCli
