// Commands: the kvinet commands, one file each, listed in main.cpp.
#pragma once

#include "Cli.h"

namespace KvCli {

int CmdAbout(const Invocation& Call);
int CmdUtil(const Invocation& Call);
int CmdUpdate(const Invocation& Call);

} // namespace KvCli
