// KvInBase: the proxy settings shared by both component families, and the base of the socket family.
#pragma once

#include "platform/ClientSocket.h"
#include "platform/Classes.h"

namespace KvInet {

/// "Invalid PROPERTY: line breaks are not allowed" when Value holds CR or LF, "" otherwise: the refusal of
/// caller input that would add protocol lines to a request, in both families.
QString LineBreakRefusal(const QString& Value, const char* Property);

/// Proxy settings published as the Proxy property of every component. Assigning one copies the settings.
class TKvLogonChallenge;

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
    /// Answers the proxy's demand for credentials through Challenge under the caption strKvInProxyLogon;
    /// User and Password take what the user confirmed. True: send again with them.
    bool AnswerLogon(TKvLogonChallenge& Challenge);

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

/// The reply of a step, by reference: the handler may replace it.
using TKvIReceivedEvent = std::function<void(QObject* Sender, QString& Text)>;

/// The base of the socket components: one blocking TCP connection (through the proxy when it is in use), one
/// query per step, the reply read until the server closes the connection.
///
/// Execute: OnBeforeExecute; raises Exception(strKvInEHost) when Host and Address are both empty; refuses
/// input that must not reach the wire (CheckInput: the message is returned, nothing is connected); Connect
/// (a failed lookup or connect leaves Execute as ESocketError); then for each step InternalExecute and
/// AfterExecute (OnAfterExecute); Disconnect unless KeepConnection. Any Exception raised inside the steps
/// (the 401/404/407 screening, a socket failure, a limit passed, a descendant's parsing) becomes the
/// returned text and LastError; so does any other exception (memory exhausted): none but ESocketError and
/// the missing-host Exception leaves Execute. TotalTimeout bounds the whole Execute, MaxReplySize what it
/// receives. Wire text throughout: one byte per character, zero bytes included.
class TKvInetBase : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString About READ About WRITE SetAbout)
    Q_PROPERTY(int Port READ Port WRITE SetPort STORED true)
    Q_PROPERTY(QString Host READ Host WRITE SetHost)
    Q_PROPERTY(QString Address READ Address WRITE SetAddress)
    Q_PROPERTY(bool KeepConnection READ KeepConnection WRITE SetKeepConnection STORED true)
    Q_PROPERTY(KvInet::TKvInetProxy* Proxy READ Proxy WRITE SetProxy)
    Q_PROPERTY(bool LoginPrompt READ LoginPrompt WRITE SetLoginPrompt)
    Q_PROPERTY(int Timeout READ Timeout WRITE SetTimeout)
    Q_PROPERTY(int TotalTimeout READ TotalTimeout WRITE SetTotalTimeout)
    Q_PROPERTY(qint64 MaxReplySize READ MaxReplySize WRITE SetMaxReplySize)
public:
    explicit TKvInetBase(TComponent* AOwner = nullptr);
    ~TKvInetBase() override;

    /// Runs the execute cycle (see the class comment) and returns the text of all steps, or the message of
    /// the failure that ended them.
    QString Execute();

    /// Opens the connection unless connected: raises Exception(strKvInEHost) without Host and Address;
    /// with the proxy in use (UseProxy and a Server) the socket's endpoint becomes the proxy's, so Host,
    /// Address and Port read the proxy's from then on. OnLookup, OnConnecting, OnConnect fire inside.
    virtual void Connect();
    /// Closes the connection when connected (OnDisconnect fires).
    virtual void Disconnect();
    /// The text to send for the current step; the base sends nothing and only reads.
    virtual QString GetQuery();
    /// The header block appended to every non-empty text query: without the proxy
    /// "Proxy-Connection: Keep-Alive" CR LF CR LF; with it (UseProxy and a Server) "Username: " and
    /// "Password: " lines for the proxy's non-empty User and Password, then CR LF. With the proxy in use and
    /// LoginPrompt set, the logon prompt (strKvInProxyLogon) is shown first and a confirmed answer stored in
    /// the proxy. The proxy's credentials never go to a server that is not the proxy.
    virtual QString GetRawHeaders();

    QString About() const { return FAbout; }
    /// The About text stays empty whatever is assigned.
    void SetAbout(const QString&) {}
    int Port() const;
    /// 0 (not set) to 65535; raises EConvertError for anything else. Execute refuses 0.
    void SetPort(int Value);
    /// The socket's host name (empty when a numeric address is set).
    QString Host() const;
    /// A dotted IPv4 address goes to Address (Host emptied); anything else is a host name. An IPv6 literal
    /// may be given in brackets ("[::1]", as in URLs); it is kept without them.
    void SetHost(const QString& Value);
    QString Address() const;
    void SetAddress(const QString& Value);
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool Value) { FKeepConnection = Value; }
    TKvInetProxy* Proxy() const { return FProxy; }
    /// Copies the settings (Assign); the object passed stays the caller's.
    void SetProxy(TKvInetProxy* Value);
    bool LoginPrompt() const { return FLoginPrompt; }
    void SetLoginPrompt(bool Value) { FLoginPrompt = Value; }
    /// Seconds that name lookup, connect and every wait for data may take (default 30; 0 waits for ever).
    /// An expired wait is a socket failure like any other (error code ETIMEDOUT).
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value);
    /// Seconds for a whole Execute: lookup, connect, every send and read (0, the default: no limit). Passing
    /// it ends the step with "The operation took longer than N seconds".
    int TotalTimeout() const { return FTotalTimeout; }
    void SetTotalTimeout(int Value);
    /// Bytes one Execute may receive (default 256 MiB; 0: no limit). Passing it ends the step with "The reply
    /// is larger than N bytes"; the text read so far is dropped.
    qint64 MaxReplySize() const { return FMaxReplySize; }
    void SetMaxReplySize(qint64 Value) { FMaxReplySize = Value < 0 ? 0 : Value; }

    TClientType ClientType() const { return FClientSocket->ClientType(); }
    void SetClientType(TClientType Value) { FClientSocket->SetClientType(Value); }
    bool Connected() const { return FConnected; }
    /// Empty when the last Execute succeeded; otherwise the message of the failure that ended it, also when
    /// Execute returned it as text ("No answer from server" included).
    const QString& LastError() const { return FLastError; }

    void SetOnConnect(TSocketNotifyEvent Handler) { FOnConnect = std::move(Handler); }
    void SetOnDisconnect(TSocketNotifyEvent Handler) { FOnDisconnect = std::move(Handler); }
    void SetOnError(TSocketErrorEvent Handler) { FOnError = std::move(Handler); }
    void SetOnLookup(TSocketNotifyEvent Handler) { FOnLookup = std::move(Handler); }
    void SetOnConnecting(TSocketNotifyEvent Handler) { FOnConnecting = std::move(Handler); }
    /// Also installed as the socket's write notification (which this socket never raises).
    void SetOnSendTextToSocket(TSocketNotifyEvent Handler);
    /// Also installed as the socket's read notification (which this socket never raises).
    void SetOnReceiveTextFromSocket(TSocketNotifyEvent Handler);
    void SetOnBeforeExecute(TNotifyEvent Handler) { FOnBeforeExecute = std::move(Handler); }
    void SetOnAfterExecute(TKvIReceivedEvent Handler) { FOnAfterExecute = std::move(Handler); }

    /// Whether the text is a dotted IPv4 address (four parts 0..255; see Host).
    static bool AddrIsIP(const QString& S);

    /// Size of one read of the execute cycle.
    static constexpr int BlockSize = 16386;

protected:
    /// One step: GetQuery (plus GetRawHeaders when not empty and not binary), send it, read blocks until the
    /// server closes (or ReplyComplete says so), screening the first block of a text reply for 401, 404 and
    /// 407. A failed send gives "No answer from server".
    virtual QString InternalExecute();
    /// Fires OnBeforeExecute (Sender: this component).
    virtual void BeforeExecute();
    /// Fires OnAfterExecute (Sender: this component) with the step's text by reference.
    virtual void AfterExecute(QString& Text);
    /// True for a descendant whose query and reply are binary: no header block is appended to the query
    /// and the reply is not screened for status codes.
    virtual bool QueryIsBinary() const { return false; }
    /// The whole reply's length in characters once the reply has said it (after ReplyComplete has seen the
    /// text), else 0; the text is then given room for all of it at once.
    virtual qsizetype ExpectedReplySize() const { return 0; }
    /// Asked after every block with the text read so far in this step: true ends the reading without
    /// waiting for the server to close (a length-prefixed reply that is complete).
    virtual bool ReplyComplete(const QString& Text) const {
        (void)Text;
        return false;
    }

    /// Sends each character as one byte; returns the bytes accepted, 0 when not connected, negative on a
    /// failure whose error the OnError handler cleared.
    int SendToSocket(const QString& Text);
    /// Reads at most Count bytes; 0 when the peer closed or not connected, negative on a cleared failure.
    int ReceiveFromSocket(void* Buf, int Count);
    /// Reads one block of at most BlockSize bytes and hands it to AppendBlock; returns as ReceiveFromSocket.
    int ReceiveBlock(QString& Text);
    /// Adds a block the execute cycle received to the step's text: as wire text (one character per byte).
    /// A descendant may shape the text as it arrives instead of in a pass over the whole reply afterwards.
    virtual void AppendBlock(QString& Text, const char* Data, qsizetype Count);
    /// Whether the application handles OnAfterExecute (and so may read or change a step's text as received).
    bool HandlesAfterExecute() const { return bool(FOnAfterExecute); }
    /// The local machine's host name.
    QString GetLocalHost() const;
    /// The socket, for descendants that run their own exchange (command/reply sequences, datagrams, TLS).
    TClientSocket* ClientSocket() const { return FClientSocket; }
    /// With the proxy in use and LoginPrompt set, shows the logon prompt (strKvInProxyLogon) with the proxy's
    /// user and password and stores a confirmed answer in the proxy. GetRawHeaders calls it.
    void AskProxyLogon();
    /// The endpoint as last assigned, which Host, Address and Port no longer show after a connection
    /// through the proxy.
    const QString& AssignedHost() const { return FHost; }
    const QString& AssignedAddress() const { return FAddress; }
    int AssignedPort() const { return FPort; }
    /// Raises Exception "Invalid PROPERTY: line breaks are not allowed" when Value holds CR or LF, so that
    /// caller input can never add protocol lines to a query.
    static void RefuseLineBreaks(const QString& Value, const char* Property);
    /// The text a step returns when the server could not be reached with the query or sent nothing back.
    static QString NoAnswerText() { return QStringLiteral("No answer from server"); }
    /// Raises Exception for input that must not reach the wire, before anything is connected: the base
    /// refuses a Host or Address holding CR or LF and a Port of 0. Descendants add their own properties.
    virtual void CheckInput();
    /// The proxy is in use: UseProxy set and a Server given.
    bool ThroughProxy() const;

    // HTTP-shaped requests over the socket (the HTTP client, the page scrapers) are built with these, so
    // that every one has the same form and ends once.
    /// The endpoint as a URL authority: the assigned host or address (an IPv6 literal in brackets), with
    /// ":port" when the port is not DefaultPort or WithDefaultPort is set.
    QString HttpAuthority(bool WithDefaultPort, int DefaultPort = 80) const;
    /// The request line and the Host line. Direct: "METHOD Path HTTP/1.0" and "Host: " the host name, with
    /// ":port" when the port is not 80 (the authority for a numeric address or an IPv6 literal). Through the
    /// proxy (the logon prompt first, as GetRawHeaders does): "METHOD http://AUTHORITY/Path HTTP/1.0", "Host:
    /// " the authority, and "Proxy-Authorization: Basic" with the proxy's user and password as UTF-8 when it
    /// has a user.
    QString HttpRequestHead(const QString& Method, const QString& Path);
    /// The end of the header section: "Proxy-Connection: Keep-Alive" when direct, then the empty line. The
    /// request then ends once: such a query has nothing after it (see GetRawHeaders of the HTTP client).
    QString HttpRequestEnd() const;
    /// Where the body of an HTTP reply starts: after the first empty line (lines end with CR LF or LF),
    /// looked for from From on; -1 while the header section is not complete.
    static qsizetype HttpBodyStart(const QString& Reply, qsizetype From = 0);
    /// The body length a header section announces in its Content-Length lines; -1 when there is none, and
    /// HttpInvalidLength when a value is anything but digits or two values differ (a list of one value
    /// repeated is that value).
    static qint64 HttpContentLength(const QString& Head);
    /// The values of every header line named Name (ignoring case) in Head, a header section whose lines end
    /// with LF or CR LF: what follows the colon, trimmed.
    static QList<QStringView> HttpHeaderValues(QStringView Head, QLatin1String Name);
    static constexpr qint64 HttpInvalidLength = -2;
    /// What keeps a reply read until the server closed from being a page to parse, as a message (empty when
    /// nothing): no HTTP status line, a status outside 2xx (the message quotes the status line), a header
    /// section that never ended, a Content-Length that is not valid, or a body shorter than it announced.
    static QString HttpReplyFault(const QString& Reply);
    /// Raises the messages of 401, 404 and 407 for a reply whose first line has that status after its first
    /// space (whatever the protocol).
    static void ScreenStatus(const QString& Text);
    /// Records a failure that a step turned into text; Execute clears it first thing.
    void SetLastError(const QString& Message) { FLastError = Message; }

    int CurrentStep = 0;
    int StepCount = 1;

private:
    void DoLookup(QObject* Sender, TCustomWinSocket* Socket);
    void DoConnecting(QObject* Sender, TCustomWinSocket* Socket);
    void DoConnect(QObject* Sender, TCustomWinSocket* Socket);
    void DoDisconnect(QObject* Sender, TCustomWinSocket* Socket);
    void DoError(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);
    void PlaceEndpoint(const QString& Value);
    /// An IPv6 literal without the brackets it may be written in; any other text as it is.
    static QString BareHost(const QString& Value);

    TClientSocket* FClientSocket = nullptr;
    QString FAbout;
    bool FConnected = false;
    int FPort = 0;
    QString FHost;
    QString FAddress;
    bool FKeepConnection = false;
    TKvInetProxy* FProxy = nullptr;
    bool FLoginPrompt = true;
    TSocketNotifyEvent FOnConnect, FOnDisconnect, FOnLookup, FOnConnecting, FOnSendTextToSocket,
        FOnReceiveTextFromSocket;
    TSocketErrorEvent FOnError;
    TNotifyEvent FOnBeforeExecute;
    TKvIReceivedEvent FOnAfterExecute;
    int FTimeout = 30;
    int FTotalTimeout = 0;
    qint64 FMaxReplySize = qint64(256) << 20;
    QString FLastError;
};

} // namespace KvInet
