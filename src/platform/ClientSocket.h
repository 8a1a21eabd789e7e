// ClientSocket: the blocking client socket the socket components are built on. One TClientSocket component
// owns one connection (TCustomWinSocket). In blocking mode opening, sending and receiving complete before
// they return; the lookup, connecting, connect, disconnect and error notifications are raised on the
// caller's thread inside those calls. Streams run over QTcpSocket (QSslSocket when TLS is wanted),
// datagrams over QUdpSocket; IPv6 names and literals work as well as IPv4.
#pragma once

#include "platform/Classes.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QString>

#include <functional>
#include <memory>



namespace KvInet {

class TClientSocket;
class TCustomWinSocket;

/// The kind of failure an error notification reports.
enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

/// Blocking is the only mode the library uses; non-blocking is accepted and behaves the same.
enum TClientType { ctNonBlocking, ctBlocking };

/// Byte stream (TCP) or datagrams (UDP). A datagram socket "connects" to one peer: sends go to it and only
/// its datagrams are received, one per ReceiveBuf.
enum TSocketTransport { stStream, stDatagram };

/// A socket notification: Sender is the TClientSocket component, Socket its connection.
using TSocketNotifyEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket)>;
/// A socket failure. ErrorCode is the system's error number (errno); a handler that sets it to 0 stops the
/// socket from raising ESocketError, and the failed call then returns a failure value instead.
using TSocketErrorEvent =
    std::function<void(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode)>;

/// Raised after an error notification whose code was left non-zero:
/// "Socket error: TEXT (CODE), on API 'API'" where TEXT is the system's message for CODE.
class ESocketError : public Exception {
public:
    ESocketError(const QString& Msg, int ErrorCode) : Exception(Msg), FErrorCode(ErrorCode) {}
    int ErrorCode() const { return FErrorCode; }

private:
    int FErrorCode;
};

/// The connection of a TClientSocket: sends and receives bytes in blocking mode.
class TCustomWinSocket {
public:
    explicit TCustomWinSocket(TClientSocket* Owner) : FOwner(Owner) {}
    TCustomWinSocket(const TCustomWinSocket&) = delete;
    TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;
    ~TCustomWinSocket();

    /// Sends Count bytes and returns the number sent: 0 when not connected, -1 on a failure whose error
    /// code the handler cleared (otherwise ESocketError is raised). A datagram socket sends one datagram.
    int SendBuf(const void* Buf, int Count);
    /// Waits (at most the time-out) for data and returns up to Count bytes; 0 once the peer has closed the
    /// connection (the disconnect notification fires then) or when not connected; -1 on a failure whose
    /// error code the handler cleared. A datagram socket returns one datagram, cut to Count bytes.
    int ReceiveBuf(void* Buf, int Count);
    /// Bytes that can be read at once without waiting.
    int ReceiveLength() const;
    /// Sends wire text (one byte per character; the low byte of each); returns as SendBuf.
    int SendText(const QString& Text);
    /// Reads one line up to and including LF (wire text) into Line, waiting as ReceiveBuf does. Returns
    /// false when the peer closed before a whole line arrived (Line then holds what came) or on a cleared
    /// failure. A line longer than MaxLength bytes (its CR LF included) is a receive failure: EMSGSIZE and
    /// "The peer sent a line longer than MAXLENGTH bytes"; the connection is dropped.
    bool ReceiveLine(QString& Line, qint64 MaxLength = MaxLineLength);
    static constexpr qint64 MaxLineLength = 1 << 20;

    bool Connected() const;
    /// Notices a close by the peer that no read has seen yet (the disconnect notification fires then).
    /// Does not wait and does not consume data.
    void CheckConnection();
    /// The local machine's host name.
    QString LocalHost() const;
    QString LocalAddress() const;
    int LocalPort() const;
    QString RemoteAddress() const;
    int RemotePort() const;

    /// Starts TLS on an open stream (the socket must have been opened with TLSCapable set). PeerName is the
    /// name the certificate must carry; CACertFile (PEM) adds trusted authorities to the system's. Raises
    /// ESocketError (after the error notification) when the handshake fails, and (EPROTO, "Plain text arrived
    /// before the TLS handshake; the connection was closed") when any byte is waiting to be read before the
    /// handshake starts: it came unprotected and would otherwise be read as if it had come over TLS. Either
    /// way the connection is closed.
    bool StartTLS(const QString& PeerName, const QString& CACertFile = QString());
    /// StartTLS that also says why a handshake failed: Reasons receives the certificate problems the
    /// handshake reported ("; "-joined, empty when none), before the failure is raised.
    bool StartTLS(const QString& PeerName, const QString& CACertFile, QString& Reasons);
    bool Encrypted() const;

    /// The underlying Qt socket while open (null otherwise), for descendants that need more than bytes.
    QAbstractSocket* Handle() const { return FSocket.get(); }

private:
    friend class TClientSocket;
    int WaitForData();
    /// Whether a byte can be read at once: in Qt's buffer, or in the system's (peeked, not consumed).
    bool WaitingBytes() const;
    int ReceiveDirect(void* Buf, int Count);
    /// Counts N received bytes against the owner's receive limit; false (the connection failed) past it.
    bool CountReceived(qint64 N);
    /// Fails a wait that ran out: the whole-operation deadline's message when that is what ended it.
    void TimedOut(const QString& Api);
    void PeerClosed();
    /// Drops the connection and raises the error notification (and ESocketError unless it was cleared).
    /// Text replaces the system's message for Code when given.
    void Fail(TErrorEvent Event, int Code, const QString& Api, const QString& Text = QString());

    TClientSocket* FOwner;
    std::unique_ptr<QAbstractSocket> FSocket;
    bool FOpen = false;
    int FUses = 0; ///< calls in progress: the socket belongs to their thread until the outermost returns
};

/// The client socket component (blocking). Host wins over Address when both are set.
class TClientSocket : public TComponent {
    Q_OBJECT
public:
    explicit TClientSocket(TComponent* AOwner = nullptr);
    ~TClientSocket() override;

    TClientType ClientType() const { return FClientType; }
    void SetClientType(TClientType Value) { FClientType = Value; }
    const QString& Host() const { return FHost; }
    void SetHost(const QString& Value) { FHost = Value; }
    const QString& Address() const { return FAddress; }
    void SetAddress(const QString& Value) { FAddress = Value; }
    int Port() const { return FPort; }
    void SetPort(int Value) { FPort = Value; }
    TSocketTransport Transport() const { return FTransport; }
    void SetTransport(TSocketTransport Value) { FTransport = Value; }
    /// Open a stream that can later switch to TLS (TCustomWinSocket::StartTLS).
    bool TLSCapable() const { return FTLSCapable; }
    void SetTLSCapable(bool Value) { FTLSCapable = Value; }
    /// Milliseconds that lookup, connect, each send and each wait for data may take; 0 waits for ever.
    int TimeoutMSecs() const { return FTimeoutMSecs; }
    void SetTimeoutMSecs(int Value) { FTimeoutMSecs = Value < 0 ? 0 : Value; }
    /// When a whole operation (several connects, sends and reads) must be over: every wait ends there at
    /// the latest, failing with ETIMEDOUT and "The operation took longer than SECONDS seconds". Forever by
    /// default.
    void SetDeadline(QDeadlineTimer Deadline, int Seconds) {
        FDeadline = Deadline;
        FDeadlineSeconds = Seconds;
    }
    /// Bounds one reply as a whole, for line-oriented protocols where a peer could otherwise keep a reply
    /// alive for ever by sending a little before each wait runs out: until EndReply, every wait ends Seconds
    /// from now at the latest, failing with ETIMEDOUT and "No complete reply within SECONDS seconds" (the
    /// connection is dropped). The time-out of each wait still applies, and its own message wins when it
    /// ends the wait at about the same time (a silent peer). Seconds <= 0: no bound.
    void BeginReply(int Seconds);
    /// Ends the bound that BeginReply started.
    void EndReply();
    /// Bytes that may be received (all reads counted since ResetReceived) before a read fails with EFBIG and
    /// "The reply is larger than LIMIT bytes"; 0: no limit.
    qint64 ReceiveLimit() const { return FReceiveLimit; }
    void SetReceiveLimit(qint64 Value) { FReceiveLimit = Value < 0 ? 0 : Value; }
    qint64 Received() const { return FReceived; }
    void ResetReceived() { FReceived = 0; }

    /// Resolves (OnLookup first, when Host is set), connects (OnConnecting, then OnConnect once connected)
    /// and returns when connected. A failure raises the error notification (eeLookup or eeConnect) and then
    /// ESocketError unless the handler cleared the code. Opening an open socket closes it first.
    void Open();
    /// Closes the connection; the disconnect notification fires when it was open.
    void Close();
    bool Active() const { return FConnection.Connected(); }
    TCustomWinSocket* Socket() { return &FConnection; }

    /// The local machine's host name.
    static QString GetLocalHost();

    void SetOnLookup(TSocketNotifyEvent Handler) { FOnLookup = std::move(Handler); }
    void SetOnConnecting(TSocketNotifyEvent Handler) { FOnConnecting = std::move(Handler); }
    void SetOnConnect(TSocketNotifyEvent Handler) { FOnConnect = std::move(Handler); }
    void SetOnDisconnect(TSocketNotifyEvent Handler) { FOnDisconnect = std::move(Handler); }
    void SetOnError(TSocketErrorEvent Handler) { FOnError = std::move(Handler); }
    /// Installed only: this socket never raises the read and write notifications itself.
    void SetOnRead(TSocketNotifyEvent Handler) { FOnRead = std::move(Handler); }
    void SetOnWrite(TSocketNotifyEvent Handler) { FOnWrite = std::move(Handler); }
    const TSocketNotifyEvent& OnRead() const { return FOnRead; }
    const TSocketNotifyEvent& OnWrite() const { return FOnWrite; }

private:
    friend class TCustomWinSocket;
    void Notify(const TSocketNotifyEvent& Handler);
    /// Fires OnError; raises ESocketError when the handler left the code non-zero (Text, when given, in
    /// place of the system's message for Code).
    void Error(TErrorEvent Event, int Code, const QString& Api, const QString& Text = QString());
    /// The earliest of one wait's time-out, the reply's bound and the whole operation's deadline.
    QDeadlineTimer WaitDeadline() const;
    /// The whole operation's message once its deadline has passed, the reply's when its bound is what the
    /// last wait ran against, else "".
    QString DeadlineText() const;
    void Disconnected();

    TClientType FClientType = ctBlocking;
    QString FHost;
    QString FAddress;
    int FPort = 0;
    TSocketTransport FTransport = stStream;
    bool FTLSCapable = false;
    int FTimeoutMSecs = 0;
    QDeadlineTimer FDeadline{QDeadlineTimer::Forever};
    int FDeadlineSeconds = 0;
    QDeadlineTimer FReplyDeadline{QDeadlineTimer::Forever};
    int FReplySeconds = 0;
    /// The last wait was bounded by the reply's deadline rather than by its own time-out.
    mutable bool FWaitEndsWithReply = false;
    qint64 FReceiveLimit = 0;
    qint64 FReceived = 0;
    TCustomWinSocket FConnection{this};
    TSocketNotifyEvent FOnLookup, FOnConnecting, FOnConnect, FOnDisconnect, FOnRead, FOnWrite;
    TSocketErrorEvent FOnError;
};

/// The bound of one reply (TClientSocket::BeginReply) for the lifetime of this object.
class TReplyBound {
public:
    TReplyBound(TClientSocket* Socket, int Seconds) : FSocket(Socket) { FSocket->BeginReply(Seconds); }
    TReplyBound(const TReplyBound&) = delete;
    TReplyBound& operator=(const TReplyBound&) = delete;
    ~TReplyBound() { FSocket->EndReply(); }

private:
    TClientSocket* FSocket;
};

} // namespace KvInet
