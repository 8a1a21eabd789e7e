// KvILogOn: the logon prompt.
#include "socket/KvILogOn.h"

namespace KvInet {

namespace {
TKvLogonPrompt& InstalledPrompt() {
    static TKvLogonPrompt prompt;
    return prompt;
}
} // namespace

bool KvInAskLogon(const QString& Caption, QString& User, QString& Password) {
    if (InstalledPrompt())
        return InstalledPrompt()(Caption, User, Password);
    return false;
}

TKvLogonPrompt SetLogonPrompt(TKvLogonPrompt Prompt) {
    TKvLogonPrompt old = std::move(InstalledPrompt());
    InstalledPrompt() = std::move(Prompt);
    return old;
}

} // namespace KvInet
