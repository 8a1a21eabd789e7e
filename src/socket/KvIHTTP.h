// KvIHTTP: an HTTP/1.0 client over the socket base: one request (HEAD, GET or POST), the reply read until
// the server closes, split into its header lines and its body.
#pragma once

#include "socket/KvInBase.h"

#include <QByteArray>

#include <vector>

namespace KvInet {

/// The enumerations of the HTTP client (a gadget so that properties of these types stream by name).
struct TKvHTTPTypes {
    Q_GADGET
public:
    /// The request's method: HEAD, GET or POST.
    enum TKvIHTTPAction { haHead, haGet, haPost };
    Q_ENUM(TKvIHTTPAction)
};
using TKvIHTTPAction = TKvHTTPTypes::TKvIHTTPAction;
using enum TKvHTTPTypes::TKvIHTTPAction;

/// Fired for a reply with a Location line: URL holds the whole line ("Location: ..."); clearing Abort (it
/// starts true) with a non-empty URL makes the client follow it.
using TKvIHTTPRedirectEvent = std::function<void(QObject* Sender, QString& URL, bool& Abort)>;

/// HTTP/1.0 requests over the socket base.
///
/// Direct request: "METHOD Request HTTP/1.0", "Host: " Host (the numeric address, with ":port" when the
/// port is not 80, when the component holds one), the Headers lines, an empty line, then the base's header
/// block. Through the proxy (UseProxy and a Server): "METHOD http://host[:port]/path HTTP/1.0", "Host: "
/// the target, "Proxy-Authorization: Basic ..." when the proxy has a User, the Headers lines and the
/// empty line, nothing after it. Request or Headers holding CR or LF are refused (Execute returns the
/// message). Replies with 401, 404 and 407 become the base's messages; every other status is a reply.
class TKvIHTTPClient : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(KvInet::TKvHTTPTypes::TKvIHTTPAction Action READ Action WRITE SetAction)
    Q_PROPERTY(QString Request READ Request WRITE SetRequest)
    Q_PROPERTY(KvInet::TStrings* Headers READ Headers WRITE SetHeaders STORED true)
    Q_PROPERTY(bool RemoveHeaders READ RemoveHeaders WRITE SetRemoveHeaders)
public:
    explicit TKvIHTTPClient(TComponent* AOwner = nullptr);
    ~TKvIHTTPClient() override;

    TKvIHTTPAction Action() const { return FAction; }
    void SetAction(TKvIHTTPAction Value) { FAction = Value; }
    /// The path (and query) after the method on the request line, e.g. "/index.html".
    const QString& Request() const { return FRequest; }
    void SetRequest(const QString& Value) { FRequest = Value; }
    /// Extra request header lines, each sent as it is.
    TStrings* Headers() const { return FHeaders; }
    void SetHeaders(TStrings* Value);
    /// When true (the default) Execute returns the body alone, its lines ended with CR LF.
    bool RemoveHeaders() const { return FRemoveHeaders; }
    void SetRemoveHeaders(bool Value) { FRemoveHeaders = Value; }
    void SetOnRedirect(TKvIHTTPRedirectEvent Handler) { FOnRedirect = std::move(Handler); }

    /// The status line and header lines of the last reply, without the empty line that ends them.
    TStrings* ResponseHeaders() const { return FResponseHeaders; }
    /// The bytes after the header section of the last reply, exactly as received (Execute's text re-joins
    /// the body's lines with CR LF, which a binary body does not survive).
    const QByteArray& Body() const {
        if (!FBodyText.isNull())
            MakeBody();
        return FBody;
    }

    /// Fires OnAfterExecute, splits the reply into ResponseHeaders, Body and (RemoveHeaders) the body text,
    /// then handles a Location line: OnRedirect, and when the handler cleared Abort the new URL (absolute or
    /// relative, http only) is requested over a new connection, at most MaxRedirects times; Text becomes
    /// the final reply's.
    void AfterExecute(QString& Text) override;

    static constexpr int MaxRedirects = 5;

protected:
    QString GetQuery() override;
    QString GetRawHeaders() override;

private:
    QString GetResponse(const QString& Name) const;
    bool ThroughProxy() const;
    QString TargetAuthority(bool WithDefaultPort) const;
    void FollowRedirect(const QString& URL, QString& Text);
    void MakeBody() const;

    TKvIHTTPAction FAction = haHead;
    QString FRequest;
    TStringList* FHeaders = nullptr;
    bool FRemoveHeaders = true;
    TStringList* FResponseHeaders = nullptr;
    TKvIHTTPRedirectEvent FOnRedirect;
    // Body: made from FBodyText (FBodySize characters from FBodyFrom, skipping those at the FBodyAdded
    // positions) on first use.
    mutable QByteArray FBody;
    mutable QString FBodyText;
    mutable std::vector<qsizetype> FBodyAdded;
    qsizetype FBodyFrom = 0;
    qsizetype FBodySize = 0;
    int FRedirects = 0;
};

} // namespace KvInet
