// SocketOptions: what every command built on a socket component shares: the common options applied to the
// component, events reported with --verbose, and the exit status from LastError.
#pragma once

#include "Cli.h"

namespace KvInet {
class TKvInetBase;
}

namespace KvCli {

/// The common options every socket command honours; a command adds coProxy, coCAFile... where its
/// component can use them.
constexpr TCommonOptions SocketCommonOptions =
    coHost | coPort | coTimeout | coMaxTime | coMaxSize | coVerbose;

/// Applies the common options the command declared (--host, --port, --proxy HOST:PORT, --proxy-user,
/// --proxy-password, --timeout, --max-time, --max-size) to the component; proxy credentials given on the
/// command line turn the logon prompt off, and without --proxy they are a usage error. With --verbose the
/// socket events are reported on standard error.
void ApplySocketOptions(const Args& A, KvInet::TKvInetBase& Component);

/// Writes Execute's text byte for byte to standard output and returns the exit status: ExitFailed (with
/// the message on standard error) when the component's LastError is set.
int FinishExecute(const QString& Command, const KvInet::TKvInetBase& Component, const QString& Text);

} // namespace KvCli
