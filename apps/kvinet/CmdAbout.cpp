// kvinet about: the About message, listing every component.
#include "Commands.h"

#include "socket/KvInCnst.h"

namespace KvCli {

int CmdAbout(const Invocation& Call) {
    Args args(QStringLiteral("about"), QString(),
              QStringLiteral("Shows the About message: one line per component."));
    if (!args.Parse(Call.Arguments, 0, 0))
        return ExitOk;
    KvInet::AboutKvInet();
    return ExitOk;
}

} // namespace KvCli
