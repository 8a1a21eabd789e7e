// KvILogOn: the modal prompt for a user name and a password, used when a proxy or a web server asks for
// credentials. With a QApplication it is a dialog; in a console program it asks on the terminal (the
// password without echo) when standard input is one; otherwise it answers Cancel. An application can
// install its own prompt.
#pragma once

#include <QString>

#include <functional>

namespace KvInet {

/// A replacement prompt: same contract as KvInAskLogon.
using TKvLogonPrompt = std::function<bool(const QString& Caption, QString& User, QString& Password)>;

/// Asks for credentials under Caption ("Enter Password" when empty), showing User and Password as the
/// initial texts. Returns true when the user confirmed, and only then replaces User and Password.
bool KvInAskLogon(const QString& Caption, QString& User, QString& Password);

/// Installs a prompt used instead of the built-in one (null restores it); returns the previous one.
TKvLogonPrompt SetLogonPrompt(TKvLogonPrompt Prompt);

} // namespace KvInet
