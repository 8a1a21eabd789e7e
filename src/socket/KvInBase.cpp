// KvInBase: proxy settings and the socket component base.
#include "socket/KvInBase.h"

#include "socket/kviutil.h"

namespace KvInet {

void TKvInetProxy::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TKvInetProxy*>(Source)) {
        FUseProxyServer = other->FUseProxyServer;
        FProxyServer = other->FProxyServer;
        FProxyUser = other->FProxyUser;
        FProxyPassword = other->FProxyPassword;
        FProxyPort = other->FProxyPort;
        return;
    }
    TPersistent::Assign(Source);
}

void TKvInetProxy::FillProxyInfo() {
    ReadProxyInfo(FProxyServer, FUseProxyServer, FProxyPort);
}

} // namespace KvInet
