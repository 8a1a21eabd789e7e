// kvinet about: the About message, listing every component.
#include "Cli.h"

#include "socket/KvInCnst.h"

namespace KvCli {

namespace {

int Run(const Invocation& Call) {
    Args args(Call, QString(), QStringLiteral("Shows the About message: one line per component."));
    if (!args.Parse(Call.Arguments, 0, 0))
        return ExitOk;
    KvInet::AboutKvInet();
    return ExitOk;
}

const Command reg{"about", "show the list of components", Run};

} // namespace

} // namespace KvCli
