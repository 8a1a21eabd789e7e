// KvWhoIs: the whois client. Assigning a domain picks the registry's whois server from the domain's last
// label; Execute sends the domain line to port 43 and returns the registration text as the server sent it.
#pragma once

#include "socket/KvInBase.h"

namespace KvInet {

/// Whois lookups over TCP port 43.
///
/// Server choice (on assigning a different, non-empty Domain while AutoSelectServer is set): a dotted IPv4
/// address selects the fallback server (whois.arin.net); otherwise the ServerList value of the domain's
/// last label (ignoring case), then the "*" line, then the fallback. The query is the domain and CR LF,
/// prefixed with "domain " when the host is the fallback server. The domain goes out one byte per
/// character; a domain holding any character above U+00FF goes out whole as UTF-8 (never part Latin-1,
/// part UTF-8). A Domain holding CR or LF is refused before anything is connected (Execute returns the
/// message).
class TKvWhoIs : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(bool AutoSelectServer READ AutoSelectServer WRITE SetAutoSelectServer STORED true)
    Q_PROPERTY(QString Domain READ Domain WRITE SetDomain)
    Q_PROPERTY(KvInet::TStrings* ServerList READ ServerList WRITE SetServerList STORED true)
public:
    explicit TKvWhoIs(TComponent* AOwner = nullptr);
    ~TKvWhoIs() override;

    bool AutoSelectServer() const { return FAutoSelectServer; }
    void SetAutoSelectServer(bool Value) { FAutoSelectServer = Value; }
    const QString& Domain() const { return FDomain; }
    /// Stores the domain and, when it changed and AutoSelectServer is set, chooses Host (see the class).
    void SetDomain(const QString& Value);
    /// Lines "suffix=server": "*" first, then one per registry suffix.
    TStrings* ServerList() const { return FServerList; }
    /// Copies the lines (Assign); the list passed stays the caller's.
    void SetServerList(TStrings* Value);

    /// The built-in fallback server, the only server name the code refers to.
    static QString FallbackServer();

protected:
    QString GetQuery() override;
    /// The base's checks, then a Domain holding CR or LF.
    void CheckInput() override;

private:
    static bool IsIPv4(const QString& S);

    QString FDomain;
    TStringList* FServerList = nullptr;
    bool FAutoSelectServer = true;
};

} // namespace KvInet
