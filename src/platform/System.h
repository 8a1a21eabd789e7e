// System: the operating-system services the components need beyond Qt's basics: content types by file
// extension, the temporary directory, the running executable, and starting a detached process.
#pragma once

#include <QString>
#include <QStringList>

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

} // namespace KvInet
