// kvinet dns: one DNS query over TCP, the answer records printed one a line.
#include "Cli.h"
#include "SocketOptions.h"

#include "platform/WireText.h"
#include "socket/KvIDNS.h"

namespace KvCli {

namespace {

const char* const description =
    "Asks a DNS server (over TCP) for the records of NAME and prints one line per answer record:\n"
    "NAME TTL IN TYPE DATA. TYPES is a comma-separated list of A, NS, CNAME, SOA, MB, MG, MR, NULL, WKS,\n"
    "PTR, HINFO, MINFO, MX, TXT, AXFR, MAILB, AAAA, SRV, or \"all\" (type 255); the default is A. For PTR, "
    "NAME is a\n"
    "dotted IPv4 address; a name beyond ASCII is asked for in its IDNA form (xn--...). Only a message with "
    "the\n"
    "question's ID and question counts as its answer; --timeout bounds each question's whole exchange.\n"
    "A non-zero response code is printed as \"status: NXDOMAIN\" (exit 1).";

struct TypeName {
    const char* Name;
    KvInet::TKvIDNSRequest Request;
};

const TypeName typeNames[] = {
    {"all", KvInet::irAll},
    {"any", KvInet::irAll},
    {"a", KvInet::irA},
    {"ns", KvInet::irNS},
    {"cname", KvInet::irName},
    {"soa", KvInet::irSOA},
    {"mb", KvInet::irMB},
    {"mg", KvInet::irMG},
    {"mr", KvInet::irMR},
    {"null", KvInet::irRR},
    {"wks", KvInet::irWKS},
    {"ptr", KvInet::irPTR},
    {"hinfo", KvInet::irHostInfo},
    {"minfo", KvInet::irMailInfo},
    {"mx", KvInet::irMX},
    {"txt", KvInet::irText},
    {"axfr", KvInet::irTransferRequest},
    {"mailb", KvInet::irMailB},
    {"aaaa", KvInet::irAAAA},
    {"srv", KvInet::irSRV},
};

KvInet::TKvIDNSRequests ParseTypes(const QString& List) {
    KvInet::TKvIDNSRequests requests;
    for (const QString& item : List.split(u',', Qt::SkipEmptyParts)) {
        bool found = false;
        for (const TypeName& t : typeNames)
            if (item.trimmed().compare(QLatin1String(t.Name), Qt::CaseInsensitive) == 0) {
                requests.Include(t.Request);
                found = true;
            }
        if (!found)
            throw UsageError(QStringLiteral("unknown record type '%1'").arg(item));
    }
    if (requests.Empty())
        throw UsageError(QStringLiteral("--type needs at least one record type"));
    return requests;
}

int Run(const Invocation& Call) {
    Args args(Call, QStringLiteral("NAME --host SERVER [--port N] [--type TYPES] [--raw]"),
              QString::fromLatin1(description));
    args.Option(QStringLiteral("type"), QStringLiteral("TYPES"),
                QStringLiteral("record types to ask for (default A)"));
    args.Flag(QStringLiteral("raw"), QStringLiteral("print the raw reply (with its length prefixes) as hex"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    if (!args.Has(QStringLiteral("host")))
        throw UsageError(QStringLiteral("--host SERVER is required"));
    const QString name = args.Positional().at(0);
    if (name.trimmed().isEmpty())
        throw UsageError(QStringLiteral("NAME is empty"));
    const KvInet::TKvIDNSRequests requests =
        ParseTypes(args.Value(QStringLiteral("type"), QStringLiteral("A")));
    // A name that cannot be put into a query (an empty or over-long label) is the caller's mistake.
    try {
        KvInet::BuildDNSQuery(requests, name);
    } catch (const KvInet::EKvIDNSError& e) {
        throw UsageError(e.Message());
    }
    KvInet::TKvIDNSResolver resolver;
    ApplySocketOptions(args, resolver);
    resolver.SetDomain(name);
    resolver.SetRequests(requests);

    const QString reply = resolver.Execute();
    if (!resolver.LastError().isEmpty()) {
        WriteError(QStringLiteral("kvinet dns: %1").arg(resolver.LastError()));
        return ExitFailed;
    }
    if (args.Has(QStringLiteral("raw"))) {
        WriteText(QString::fromLatin1(KvInet::WireToBytes(reply).toHex()));
        return ExitOk;
    }
    const KvInet::TKvIDNSAnswer answer(KvInet::WireToBytes(reply), KvInet::dfTCP);
    for (const KvInet::TKvIDNSRecord& record : answer.Answers())
        WriteText(record.Text());
    int exitCode = ExitOk;
    if (answer.RCode() != 0) {
        WriteText(QStringLiteral("status: %1").arg(KvInet::TKvIDNSAnswer::RCodeName(answer.RCode())));
        exitCode = ExitFailed;
    }
    if (answer.Malformed()) {
        WriteError(QStringLiteral("kvinet dns: malformed reply: %1").arg(answer.Problem()));
        exitCode = ExitFailed;
    }
    return exitCode;
}

// A binary query over TCP: no proxy speaks it, and there is no TLS.
const Command reg{"dns", "DNS query over TCP, answer records one a line", Run, SocketCommonOptions, cgSocket};

} // namespace

} // namespace KvCli
