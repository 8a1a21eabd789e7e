// KvInBase: the proxy settings shared by both component families, and the base of the socket family.
#pragma once

#include "platform/Classes.h"

namespace KvInet {

/// Proxy settings published as the Proxy property of every component. Assigning one copies the settings.
class TKvInetProxy : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(QString Server READ Server WRITE SetServer)
    Q_PROPERTY(QString User READ User WRITE SetUser)
    Q_PROPERTY(QString Password READ Password WRITE SetPassword)
    Q_PROPERTY(bool UseProxy READ UseProxy WRITE SetUseProxy STORED true)
    Q_PROPERTY(int Port READ Port WRITE SetPort)
public:
    explicit TKvInetProxy(QObject* Parent = nullptr) : TPersistent(Parent) {}

    /// Copies the five settings of another TKvInetProxy; any other source raises EConvertError.
    void Assign(const TPersistent* Source) override;
    /// Refreshes Server, UseProxy and Port from the system's proxy setting (ReadProxyInfo); User and
    /// Password are not touched.
    void FillProxyInfo();

    const QString& Server() const { return FProxyServer; }
    void SetServer(const QString& Value) { FProxyServer = Value; }
    const QString& User() const { return FProxyUser; }
    void SetUser(const QString& Value) { FProxyUser = Value; }
    const QString& Password() const { return FProxyPassword; }
    void SetPassword(const QString& Value) { FProxyPassword = Value; }
    bool UseProxy() const { return FUseProxyServer; }
    void SetUseProxy(bool Value) { FUseProxyServer = Value; }
    int Port() const { return FProxyPort; }
    void SetPort(int Value) { FProxyPort = Value; }
    /// Port is stored with a form only when it is not 0.
    bool IsPortStored() const { return FProxyPort != 0; }

private:
    bool FUseProxyServer = false;
    QString FProxyServer;
    QString FProxyUser;
    QString FProxyPassword;
    int FProxyPort = 0;
};

} // namespace KvInet
