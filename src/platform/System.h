// System: the operating-system services the components need beyond Qt's basics: content types by file
// extension, the temporary directory, the running executable, starting a detached process, and the user's
// proxy setting.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace KvInet {

/// The MIME content type registered for a file extension (with its dot, ".html"), or "" when the system
/// knows none.
QString ContentTypeForExtension(const QString& Extension);

/// The directory for temporary files, with a trailing delimiter.
QString TempPath();

/// The full path of the running program's executable (the host application, not this library).
QString ExeName();

/// Starts Program with Args, detached from this process (its own session, no window, lowest priority, no
/// handles inherited but the ones below, standard output and error discarded). With WaitInput set, the new
/// process's standard input is a pipe whose other end stays open in this process until this process ends,
/// so the child sees end-of-file exactly when we are gone. Returns false when the process could not start.
bool StartDetachedProcess(const QString& Program, const QStringList& Args, bool WaitInput);

/// Reads the user's proxy setting: the proxy text when a proxy is enabled ("host:port", "host", or a
/// per-protocol list "ftp=f:21;http=h:3128"), empty when none is.
using TSystemProxyReader = std::function<QString()>;

/// The user's proxy setting through the installed reader (SetSystemProxyReader), by default the system's:
/// on Windows the current user's Internet settings (ProxyServer when ProxyEnable is set), elsewhere
/// ProxyFromEnvironment.
QString SystemProxySetting();

/// Installs Reader as the source of SystemProxySetting for the whole process and returns the one it
/// replaces; an empty Reader puts the system's back. For programs that take the proxy from somewhere else
/// (a command line) and for tests.
TSystemProxyReader SetSystemProxyReader(TSystemProxyReader Reader);

/// The environment's proxy URL reduced to "host:port" (or "host"): the first set of http_proxy, HTTP_PROXY,
/// all_proxy, ALL_PROXY with its scheme, credentials and path dropped; empty when none is set.
QString ProxyFromEnvironment();

} // namespace KvInet
