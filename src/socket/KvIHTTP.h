// KvIHTTP: an HTTP/1.0 client over the socket base: one request (HEAD, GET or POST), the reply read until
// the server closes, split into its header lines and its body.
#pragma once

#include "platform/System.h"
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
/// port is not 80, when the component holds one), the Headers lines, "Proxy-Connection: Keep-Alive" and
/// one empty line that ends the request. Through the proxy (UseProxy and a Server): "METHOD
/// http://host[:port]/path HTTP/1.0", "Host: " the target, "Proxy-Authorization: Basic ..." (UTF-8) when
/// the proxy has a User, the Headers lines and the empty line. Host, Request or Headers holding CR or LF
/// are refused before anything is connected (Execute returns the message). Replies with 401, 404 and 407
/// become the base's messages; every other status is a reply. A reply shorter than its Content-Length is
/// returned as it came, with LastError set.
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
    /// Where the body goes as it arrives (none by default; the caller's, never stored with a form). With a
    /// stream, Execute's text and ResponseHeaders hold the header section only and nothing of the body is
    /// kept in memory (MaxReplySize then bounds the header section); a body shorter than its
    /// Content-Length sets LastError as in text mode; a redirect's own body (a 3xx with a Location line)
    /// is not written. Writing errors of the stream end the Execute with their message.
    TStream* BodyStream() const { return FBodyStream; }
    void SetBodyStream(TStream* Value) { FBodyStream = Value; }
    /// The bytes after the header section of the last reply, exactly as received (Execute's text re-joins
    /// the body's lines with CR LF, which a binary body does not survive).
    const QByteArray& Body() const {
        if (!FBodyText.isNull())
            MakeBody();
        return FBody;
    }

    /// Fires OnAfterExecute, splits the reply into ResponseHeaders, Body and (RemoveHeaders) the body text,
    /// then handles a line beginning with "Location": OnRedirect, and when the handler cleared Abort and the
    /// reply is a 3xx with a "Location:" header, the new URL (absolute or relative, http only) is requested
    /// over a new connection, at most MaxRedirects times; Text becomes the final reply's. 301, 302 and 303
    /// turn a POST into a GET; 307 and 308 keep it. Once a redirect leads to another host or port, the
    /// Authorization and Cookie lines of Headers are no longer sent.
    void AfterExecute(QString& Text) override;

    static constexpr int MaxRedirects = 5;

protected:
    QString GetQuery() override;
    /// Empty: the request carries the base's line itself, before its one empty line (HttpRequestEnd).
    QString GetRawHeaders() override;
    /// The base's checks, then Request and Headers lines holding CR or LF.
    void CheckInput() override;
    /// Reads as the base does; a reply whose body is shorter than its Content-Length announced is kept as
    /// it came, with LastError saying so.
    QString InternalExecute() override;
    /// True once the body announced by Content-Length has arrived (never for HEAD, 1xx, 204 and 304, whose
    /// Content-Length describes another answer: those are read until the close).
    bool ReplyComplete(const QString& Text) const override;
    /// The header section plus the announced body, once both are known (text mode only).
    qsizetype ExpectedReplySize() const override {
        return !FBodyStream && FHeaderEnd >= 0 && FExpectedBody > 0 ? FHeaderEnd + FExpectedBody : 0;
    }
    /// Once the header section is whole (and nobody handles OnAfterExecute), the body is taken with its
    /// lines ended by CR LF as it arrives, up to its announced length.
    void AppendBlock(QString& Text, const char* Data, qsizetype Count) override;

private:
    QString GetResponse(const QString& Name) const;
    qint64 ExpectedBodyLength(const QString& Head) const;
    /// Streaming: the part of Text after the header section goes to BodyStream, then the rest of the body
    /// as it arrives; Text keeps the header section.
    void StreamBody(QString& Text);
    void FollowRedirect(const QString& URL, int Status, QString& Text);
    void MakeBody() const;
    /// Sets FHeaderEnd and FExpectedBody once the header section in Text is whole.
    void FindHeaderEnd(const QString& Text) const;
    /// The body's bytes read so far in this step.
    qint64 BodyReceived(const QString& Text) const;
    /// Makes Text's part from From on body lines (see AppendBlock), unless the lines were made as it was
    /// read; FBodyReceived and FLinesAdded then describe it.
    void BodyLinesFrom(QString& Text, qsizetype From);

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
    // A followed redirect left the server the caller named: its Authorization and Cookie lines stay home.
    bool FOtherOrigin = false;
    // What ReplyComplete learned of the reply being read: where its header section ends (-1: not yet), how
    // far it looked, and the body length announced (-1: none).
    mutable qsizetype FHeaderEnd = -1;
    mutable qsizetype FScanned = 0;
    mutable qint64 FExpectedBody = -1;
    TStream* FBodyStream = nullptr;
    // The body's lines as they arrive: whether this step makes them, where they begin in the text (-1: not
    // yet), the characters added (counted from there), whether the last byte was a CR, the bytes taken, the
    // text's memory prepared ahead.
    bool FLinesAsTheyCome = false;
    qsizetype FLinesFrom = -1;
    const QChar* FLinesEnd = nullptr; // where the text ended after the last block (it is that text)
    std::vector<qsizetype> FLinesAdded;
    bool FAfterCR = false;
    qint64 FBodyReceived = 0;
    TWriteAhead FMemory;
};

} // namespace KvInet
