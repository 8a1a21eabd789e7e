// kvinet whois: a domain's registration record from the whois server chosen by its suffix.
#include "Cli.h"
#include "SocketOptions.h"

#include "socket/KvWhoIs.h"

namespace KvCli {

namespace {

int Run(const Invocation& Call) {
    Args args(Call, QStringLiteral("DOMAIN [options]"),
              QStringLiteral(
                  "Looks DOMAIN up on the whois server of its suffix (TCP port 43) and prints the reply\n"
                  "as received. --host wins over the automatic choice."));
    args.Flag(QStringLiteral("gui"), QStringLiteral("ask for proxy credentials in a dialog (needs a display)"));
    args.Flag(QStringLiteral("no-auto-select"), QStringLiteral("do not choose the server from the domain's suffix"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    KvInet::TKvWhoIs whois;
    whois.SetAutoSelectServer(!args.Has(QStringLiteral("no-auto-select")));
    // The domain goes out as the bytes given on the command line.
    whois.SetDomain(ArgWire(Call.Raw.at(args.PositionalIndex(0)).constData()));
    ApplySocketOptions(args, whois);
    const QString text = whois.Execute();
    return FinishExecute(QStringLiteral("whois"), whois, text);
}

const Command reg{"whois", "a domain's registration record from its whois server", Run,
                  SocketCommonOptions | coProxy, cgSocket};

} // namespace

} // namespace KvCli
