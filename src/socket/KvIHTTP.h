// KvIHTTP: an HTTP/1.0 client over the socket base: one request (HEAD, GET or POST), the reply read until
// the server closes, split into its header lines and its body.
#pragma once

#include "platform/System.h"
#include "socket/KvInBase.h"

#include <QByteArray>

#include <functional>
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

/// How the line ends of a body taken as CR LF lines came, two bits each: as CR LF, a lone CR or a lone LF.
/// Enough to give back the bytes as they came, at a quarter byte a line end.
class TKvLineEnds {
public:
    enum TKind : uint8_t { leCrLf = 0, leLoneCr = 1, leLoneLf = 2 };
    void Push(TKind Kind) {
        if ((FCount & 3) == 0)
            FBits.push_back(0);
        FBits.back() |= uint8_t(Kind << ((FCount & 3) * 2));
        ++FCount;
    }
    /// The last line end, taken for a lone CR, is a CR LF after all (its LF came with the next block).
    void LastIsCrLf() { FBits.back() &= uint8_t(~(3u << (((FCount - 1) & 3) * 2))); }
    TKind At(size_t I) const { return TKind((FBits[I >> 2] >> ((I & 3) * 2)) & 3); }
    size_t Count() const { return FCount; }
    void Clear() {
        FBits = std::vector<uint8_t>();
        FCount = 0;
    }

private:
    std::vector<uint8_t> FBits;
    size_t FCount = 0;
};

/// Takes the framing off a chunked body (sizes in hex, extensions, the last chunk, trailer lines) as it
/// arrives, in pieces of any size.
class TKvChunkedBody {
public:
    using TSink = std::function<void(const char* Data, qsizetype Count)>;
    /// Hands the body's bytes in Data to Sink and returns how many bytes of Data the body took (the rest
    /// follows its end). Raises Exception "The reply's chunked body is malformed: ..." for anything else.
    qsizetype Feed(const char* Data, qsizetype Count, const TSink& Sink);
    /// The last chunk and the trailer's empty line have arrived.
    bool Done() const { return FState == csDone; }

private:
    enum TState { csSize, csData, csDataEnd, csTrailer, csDone };
    TState FState = csSize;
    qint64 FLeft = 0;
    QByteArray FLine;
    qsizetype FTrailer = 0;
};

/// HTTP/1.0 requests over the socket base.
///
/// Direct request: "METHOD Request HTTP/1.0", "Host: " Host (with ":port" when the port is not 80; the
/// numeric address when the component holds one), the Headers lines, "Proxy-Connection: Keep-Alive" and
/// one empty line that ends the request. Through the proxy (UseProxy and a Server): "METHOD
/// http://host[:port]/path HTTP/1.0", "Host: " the target, "Proxy-Authorization: Basic ..." (UTF-8) when
/// the proxy has a User, the Headers lines and the empty line. A "Proxy-Authorization" line of Headers goes
/// only to a proxy, and only when the proxy has no User of its own. Host, Request or Headers holding CR or LF
/// are refused before anything is connected (Execute returns the message).
///
/// The reply: interim 1xx answers are skipped; the header section may hold at most MaxHeaderSize bytes and
/// MaxHeaderLines lines; a chunked body (Transfer-Encoding: chunked) is decoded; the body ends at its
/// Content-Length (differing or non-numeric values fail the reply), at the last chunk, or at the close.
/// Replies with 401, 404 and 407 become the base's messages; every other status is a reply. A reply that
/// ends inside its header section, inside its chunked body or before its Content-Length is returned as
/// it came, with LastError saying so.
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
    /// kept in memory (MaxReplySize then bounds the header section too); a cut reply sets LastError as in
    /// text mode. A redirect that OnRedirect may follow keeps its own body in memory (at most MaxReplySize
    /// bytes) until the handler has decided: it is written only when the redirect is not followed, so the
    /// stream receives what the text would. Writing errors of the stream end the Execute with their
    /// message.
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
    /// reply is a 3xx other than 304 with a header named exactly "Location", the new URL (absolute or
    /// relative, http only, a port from 1 to 65535, checked before connecting) is requested over a new
    /// connection, at most MaxRedirects times; Text becomes the final reply's. 301, 302 and 303 turn a POST
    /// into a GET; 307 and 308 keep it. Once a redirect leads to another host or port, the Authorization and
    /// Cookie lines of Headers are no longer sent; the other lines go along.
    void AfterExecute(QString& Text) override;

    static constexpr int MaxRedirects = 5;
    /// The most a reply's header section may hold (the interim 1xx answers before it included): 256 KiB and
    /// 1,000 lines. Past either, the Execute fails ("The reply's header section is larger than ...").
    static constexpr qsizetype MaxHeaderSize = 256 * 1024;
    static constexpr int MaxHeaderLines = 1000;

protected:
    QString GetQuery() override;
    /// Empty: the request carries the base's line itself, before its one empty line (HttpRequestEnd).
    QString GetRawHeaders() override;
    /// The base's checks, then Request and Headers lines holding CR or LF.
    void CheckInput() override;
    /// Reads as the base does; a reply whose body is shorter than its Content-Length announced is kept as
    /// it came, with LastError saying so.
    QString InternalExecute() override;
    /// True once the body has arrived: its Content-Length, or its last chunk (never for HEAD, 204 and 304,
    /// whose framing describes another answer: those are read until the close). Streaming: once the header
    /// section is whole.
    bool ReplyComplete(const QString& Text) const override;
    /// The header section plus the announced body, once both are known (text mode only).
    qsizetype ExpectedReplySize() const override {
        return !FBodyStream && FHeaderEnd >= 0 && FExpectedBody > 0 ? FHeaderEnd + FExpectedBody : 0;
    }
    /// Forgets what the reading learned of the last reply: InternalExecute starts each reply with it (and a
    /// test or fuzzer that feeds AppendBlock itself).
    void BeginReply();
    /// Drops interim 1xx answers, bounds the header section, then takes the body as it arrives: without its
    /// chunked framing, up to its announced length, and (when nobody handles OnAfterExecute) with its lines
    /// ended by CR LF.
    void AppendBlock(QString& Text, const char* Data, qsizetype Count) override;

private:
    QString GetResponse(const QString& Name) const;
    /// Sets FExpectedBody and FChunked from the header section of the reply.
    void ReadFraming(const QString& Head) const;
    /// Removes whole interim (1xx) answers from the front of Text.
    void DropInterimHeads(QString& Text);
    /// Hands a piece of the body to Sink: without its chunked framing, and never past its Content-Length.
    void TakeBody(const char* Data, qsizetype Count, const TKvChunkedBody::TSink& Sink);
    /// The whole body has arrived (by its length or its last chunk).
    bool BodyDone() const;
    /// Streaming: what came with the header section goes to BodyStream, then the rest of the body as it
    /// arrives (a redirect that may be followed: to FHeld instead); Text keeps the header section.
    void StreamBody(QString& Text);
    void FollowRedirect(const QString& URL, int Status, QString& Text);
    /// The status of a reply that asks to be followed (3xx but 304, with a header named exactly "Location"),
    /// else 0. HeadLines: its status line and header lines.
    static int RedirectStatus(const QStringList& HeadLines);
    void MakeBody() const;
    /// Sets FHeaderEnd and the framing once the header section in Text is whole; raises Exception when the
    /// header section passes its limits.
    void FindHeaderEnd(const QString& Text) const;
    /// Makes Text's part from From on body lines (see AppendBlock), unless the lines were made as it was
    /// read; FBodyReceived and FLineEnds then describe it.
    void BodyLinesFrom(QString& Text, qsizetype From);

    TKvIHTTPAction FAction = haHead;
    QString FRequest;
    TStringList* FHeaders = nullptr;
    bool FRemoveHeaders = true;
    TStringList* FResponseHeaders = nullptr;
    TKvIHTTPRedirectEvent FOnRedirect;
    // Body: made from FBodyText (FBodySize bytes from FBodyFrom; when FBodyLines, CR LF lines whose ends
    // came as FBodyEnds says) on first use.
    mutable QByteArray FBody;
    mutable QString FBodyText;
    mutable TKvLineEnds FBodyEnds;
    bool FBodyLines = false;
    qsizetype FBodyFrom = 0;
    qsizetype FBodySize = 0;
    int FRedirects = 0;
    // A followed redirect left the server the caller named: its Authorization and Cookie lines stay home.
    bool FOtherOrigin = false;
    // What the reading learned of the reply: where its header section ends (-1: not yet), how far it
    // looked, the lines and bytes of header sections seen, whether its status line is the final one (not
    // 1xx), and its framing: the body length announced (-1: none) or a chunked body.
    mutable qsizetype FHeaderEnd = -1;
    mutable qsizetype FScanned = 0;
    mutable int FHeadLines = 0;
    qsizetype FInterimBytes = 0;
    bool FFinalHead = false;
    mutable qint64 FExpectedBody = -1;
    mutable bool FChunked = false;
    TKvChunkedBody FChunks;
    // Streaming: what came after the header section with it; a redirect's body held until OnRedirect decided.
    QByteArray FPending;
    QByteArray FHeld;
    TStream* FBodyStream = nullptr;
    // The body's lines as they arrive: whether this step makes them, where they begin in the text (-1: not
    // yet), how their ends came, whether the last byte was a CR, the body's bytes taken, the text's memory
    // prepared ahead.
    bool FLinesAsTheyCome = false;
    qsizetype FLinesFrom = -1;
    const QChar* FLinesEnd = nullptr; // where the text ended after the last block (it is that text)
    TKvLineEnds FLineEnds;
    bool FAfterCR = false;
    qint64 FBodyReceived = 0;
    TWriteAhead FMemory;
};

} // namespace KvInet
