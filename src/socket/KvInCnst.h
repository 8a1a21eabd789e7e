// KvInCnst: the user-visible texts shared by the components: captions of the logon prompts and the status
// window, step and progress lines, exception messages. Each is a writable global read at the moment it is
// shown, so an application can translate them before (or while) it uses the components. Also the About
// message that lists the components.
#pragma once

#include "platform/SysUtils.h"

#include <QString>

namespace KvInet {

extern KVINET_EXPORT QString strKvInSoftwareUpdate;
extern KVINET_EXPORT QString strKvInConnecting;
extern KVINET_EXPORT QString strKvInConnected;
extern KVINET_EXPORT QString strKvInFileSearch;
extern KVINET_EXPORT QString strKvInFileFound;
extern KVINET_EXPORT QString strKvInFileComparing;
extern KVINET_EXPORT QString strKvInFileCompared;
extern KVINET_EXPORT QString strKvInDownloading;
extern KVINET_EXPORT QString strKvInDownloaded;
extern KVINET_EXPORT QString strKvInDisconnecting;
extern KVINET_EXPORT QString strKvInDisconnected;
/// Three integer placeholders in this order: bytes so far, total bytes, whole percent.
extern KVINET_EXPORT QString strKvInProgress;
extern KVINET_EXPORT QString strKvInProxyLogon;
extern KVINET_EXPORT QString strKvInLogon;
extern KVINET_EXPORT QString strKvInEHost;
extern KVINET_EXPORT QString strKvInEAuthRequired;
extern KVINET_EXPORT QString strKvInEProxyAuth;
extern KVINET_EXPORT QString strKvInEFileNotFound;

/// The About message's text: the library and one line per component.
QString AboutKvInetText();

/// Shows the About message (MessageDlg): a modal information box with an OK button on the GUI thread of a
/// widget application, nothing on its other threads, the text on standard output without a QApplication (or
/// through the installed message dialog handler).
void AboutKvInet();

} // namespace KvInet
