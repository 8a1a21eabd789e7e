// SocketOptions: what every command built on a socket component shares: the common options applied to the
// component, events reported with --verbose, and the exit status from LastError.
#pragma once

#include "Cli.h"

namespace KvInet {
class TKvInetBase;
}

namespace KvCli {

/// Applies the common options the command declared (--host, --port, --proxy HOST:PORT, --proxy-user,
/// --proxy-password, --timeout) to the component; proxy credentials given on the command line turn the
/// logon prompt off. With --verbose the socket events are reported on standard error.
void ApplySocketOptions(const Args& A, KvInet::TKvInetBase& Component);

/// Writes Execute's text byte for byte to standard output and returns the exit status: ExitFailed (with
/// the message on standard error) when the component's LastError is set.
int FinishExecute(const QString& Command, const KvInet::TKvInetBase& Component, const QString& Text);

} // namespace KvCli
