// Commands: the kvinet commands, one file each, listed in main.cpp.
#pragma once

#include "Cli.h"

namespace KvCli {

int CmdAbout(const Invocation& Call);
int CmdUtil(const Invocation& Call);
int CmdWhois(const Invocation& Call);
int CmdHttp(const Invocation& Call);
int CmdSmtp(const Invocation& Call);
int CmdDaytime(const Invocation& Call);
int CmdSntp(const Invocation& Call);
int CmdDns(const Invocation& Call);
int CmdXml(const Invocation& Call);
int CmdUpdate(const Invocation& Call);

} // namespace KvCli
