// ClientSocket: blocking client socket over Qt's sockets, used without an event loop (waitFor*).
#include "platform/ClientSocket.h"

#include "platform/WireText.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/socket.h>

namespace KvInet {

namespace {

int ErrnoOf(QAbstractSocket::SocketError Error) {
    switch (Error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
        return ECONNRESET;
    case QAbstractSocket::HostNotFoundError:
        return ENXIO;
    case QAbstractSocket::SocketAccessError:
        return EACCES;
    case QAbstractSocket::SocketResourceError:
        return ENOBUFS;
    case QAbstractSocket::SocketTimeoutError:
        return ETIMEDOUT;
    case QAbstractSocket::DatagramTooLargeError:
        return EMSGSIZE;
    case QAbstractSocket::NetworkError:
        return ENETUNREACH;
    case QAbstractSocket::AddressInUseError:
        return EADDRINUSE;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return EADDRNOTAVAIL;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return EAFNOSUPPORT;
    case QAbstractSocket::SslHandshakeFailedError:
        return EPROTO;
    default:
        return EIO;
    }
}

int Remaining(const QDeadlineTimer& Deadline) {
    if (Deadline.isForever())
        return -1;
    return int(qMax<qint64>(0, Deadline.remainingTime()));
}

// The resolver has no time-out of its own, so the lookup runs on a helper thread that we stop waiting for
// when the time is up; the thread finishes on its own and drops its result.
struct Lookup {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Finished = false;
    QHostInfo Info;
};

bool LookupHost(const QString& Name, const QDeadlineTimer& Deadline, QHostInfo& Info) {
    auto state = std::make_shared<Lookup>();
    std::thread([state, Name] {
        QHostInfo info = QHostInfo::fromName(Name);
        std::lock_guard<std::mutex> lock(state->Mutex);
        state->Info = info;
        state->Finished = true;
        state->Done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(state->Mutex);
    if (Deadline.isForever())
        state->Done.wait(lock, [&] { return state->Finished; });
    else if (!state->Done.wait_for(lock, std::chrono::milliseconds(Remaining(Deadline)),
                                   [&] { return state->Finished; }))
        return false;
    Info = state->Info;
    return true;
}

// Between calls a connection belongs to no thread; a call takes it to its own thread and the outermost call
// gives it back. A socket left on the thread that opened it would be watched by that thread's event loop
// while another thread reads it, and could not be taken from there. Each move leaves queued calls that
// switch the socket's notifiers back on: they run at once, so they never pile up.
class SocketUse {
public:
    SocketUse(const std::unique_ptr<QAbstractSocket>& Socket, int& Uses) : FSocket(Socket), FUses(Uses) {
        if (FUses++ > 0 || !FSocket || FSocket->thread() == QThread::currentThread())
            return;
        FSocket->moveToThread(QThread::currentThread());
        QCoreApplication::sendPostedEvents(FSocket.get(), QEvent::MetaCall);
        for (QObject* child : FSocket->findChildren<QObject*>())
            QCoreApplication::sendPostedEvents(child, QEvent::MetaCall);
    }
    ~SocketUse() {
        if (--FUses == 0 && FSocket && FSocket->thread() == QThread::currentThread())
            FSocket->moveToThread(nullptr);
    }
    SocketUse(const SocketUse&) = delete;
    SocketUse& operator=(const SocketUse&) = delete;

private:
    const std::unique_ptr<QAbstractSocket>& FSocket;
    int& FUses;
};

} // namespace

// ---- TCustomWinSocket ------------------------------------------------------------------------------------

TCustomWinSocket::~TCustomWinSocket() = default;

bool TCustomWinSocket::Connected() const { return FOpen && FSocket; }

void TCustomWinSocket::Fail(TErrorEvent Event, int Code, const QString& Api, const QString& Text) {
    // The connection is unusable after a failure; drop it before anyone hears about it.
    FOpen = false;
    if (FSocket)
        FSocket->abort();
    FOwner->Error(Event, Code, Api, Text);
}

void TCustomWinSocket::TimedOut(const QString& Api) {
    Fail(Api == QLatin1String("send") ? eeSend : eeReceive, ETIMEDOUT, Api, FOwner->DeadlineText());
}

bool TCustomWinSocket::CountReceived(qint64 N) {
    FOwner->FReceived += N;
    if (FOwner->FReceiveLimit > 0 && FOwner->FReceived > FOwner->FReceiveLimit) {
        Fail(eeReceive, EFBIG, QStringLiteral("recv"),
             QStringLiteral("The reply is larger than %1 bytes").arg(FOwner->FReceiveLimit));
        return false;
    }
    return true;
}

void TCustomWinSocket::PeerClosed() {
    if (!FOpen)
        return;
    FOpen = false;
    if (FSocket)
        FSocket->abort();
    FOwner->Disconnected();
}

int TCustomWinSocket::SendBuf(const void* Buf, int Count) {
    const SocketUse use(FSocket, FUses);
    if (!Connected())
        return 0;
    if (Count <= 0)
        return 0;
    const QDeadlineTimer deadline = FOwner->WaitDeadline();
    if (FSocket->write(static_cast<const char*>(Buf), Count) != Count) {
        Fail(eeSend, ErrnoOf(FSocket->error()), QStringLiteral("send"));
        return -1;
    }
    while (FSocket->bytesToWrite() > 0) {
        if (!FSocket->waitForBytesWritten(Remaining(deadline))) {
            const bool timedOut = FSocket->error() == QAbstractSocket::SocketTimeoutError ||
                                  (!deadline.isForever() && deadline.hasExpired());
            if (timedOut)
                TimedOut(QStringLiteral("send"));
            else
                Fail(eeSend, ErrnoOf(FSocket->error()), QStringLiteral("send"));
            return -1;
        }
    }
    return Count;
}

int TCustomWinSocket::SendText(const QString& Text) {
    const QByteArray bytes = WireToBytes(Text);
    return SendBuf(bytes.constData(), int(bytes.size()));
}

// 1: data can be read; 0: the peer closed (disconnect notification fired); -1: a cleared failure.
int TCustomWinSocket::WaitForData() {
    const QDeadlineTimer deadline = FOwner->WaitDeadline();
    while (FSocket->bytesAvailable() == 0 &&
           !(FOwner->FTransport == stDatagram && static_cast<QUdpSocket*>(FSocket.get())->hasPendingDatagrams())) {
        if (FSocket->state() != QAbstractSocket::ConnectedState) {
            PeerClosed();
            return 0;
        }
        if (FSocket->waitForReadyRead(Remaining(deadline)))
            continue;
        if (FSocket->bytesAvailable() > 0)
            break;
        const QAbstractSocket::SocketError error = FSocket->error();
        if (error == QAbstractSocket::SocketTimeoutError || (!deadline.isForever() && deadline.hasExpired())) {
            TimedOut(QStringLiteral("recv"));
            return -1;
        }
        if (error == QAbstractSocket::RemoteHostClosedError ||
            FSocket->state() != QAbstractSocket::ConnectedState) {
            PeerClosed();
            return 0;
        }
        Fail(eeReceive, ErrnoOf(error), QStringLiteral("recv"));
        return -1;
    }
    return 1;
}

int TCustomWinSocket::ReceiveDirect(void* Buf, int Count) {
    const int fd = int(FSocket->socketDescriptor());
    const QDeadlineTimer deadline = FOwner->WaitDeadline();
    for (;;) {
        const ssize_t n = ::recv(fd, Buf, size_t(Count), MSG_DONTWAIT);
        if (n > 0)
            return CountReceived(n) ? int(n) : -1;
        if (n == 0) {
            PeerClosed();
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(eeReceive, errno, QStringLiteral("recv"));
            return -1;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, Remaining(deadline));
        if (ready == 0) {
            TimedOut(QStringLiteral("recv"));
            return -1;
        }
        if (ready < 0 && errno != EINTR) {
            Fail(eeReceive, errno, QStringLiteral("poll"));
            return -1;
        }
    }
}

int TCustomWinSocket::ReceiveBuf(void* Buf, int Count) {
    const SocketUse use(FSocket, FUses);
    if (!Connected() || Count <= 0)
        return 0;
    // A plain stream is read straight from the descriptor once Qt's buffer is empty: no copy through that
    // buffer, and the peer's close or reset is seen as such.
    if (FOwner->FTransport == stStream && !qobject_cast<QSslSocket*>(FSocket.get()) && FSocket->bytesAvailable() == 0 &&
        FSocket->socketDescriptor() >= 0)
        return ReceiveDirect(Buf, Count);
    if (const int ready = WaitForData(); ready <= 0)
        return ready;
    if (FOwner->FTransport == stDatagram) {
        auto* udp = static_cast<QUdpSocket*>(FSocket.get());
        const qint64 n = udp->readDatagram(static_cast<char*>(Buf), Count);
        return n < 0 ? 0 : (CountReceived(n) ? int(n) : -1);
    }
    const qint64 n = FSocket->read(static_cast<char*>(Buf), Count);
    return n < 0 ? -1 : (CountReceived(n) ? int(n) : -1);
}

int TCustomWinSocket::ReceiveLength() const { return FSocket ? int(FSocket->bytesAvailable()) : 0; }

bool TCustomWinSocket::ReceiveLine(QString& Line, qint64 MaxLength) {
    const SocketUse use(FSocket, FUses);
    Line.clear();
    if (!Connected())
        return false;
    if (MaxLength <= 0)
        MaxLength = MaxLineLength;
    const auto tooLong = [&] {
        Fail(eeReceive, EMSGSIZE, QStringLiteral("recv"),
             QStringLiteral("The peer sent a line longer than %1 bytes").arg(MaxLength));
        return false;
    };
    const QDeadlineTimer deadline = FOwner->WaitDeadline();
    while (!FSocket->canReadLine()) {
        // A peer that never ends its line must not grow our memory without bound.
        if (FSocket->bytesAvailable() > MaxLength)
            return tooLong();
        if (FSocket->state() == QAbstractSocket::ConnectedState && FSocket->waitForReadyRead(Remaining(deadline)))
            continue;
        const QAbstractSocket::SocketError error = FSocket->error();
        if (FSocket->state() == QAbstractSocket::ConnectedState &&
            (error == QAbstractSocket::SocketTimeoutError || (!deadline.isForever() && deadline.hasExpired()))) {
            TimedOut(QStringLiteral("recv"));
            return false;
        }
        if (FSocket->state() == QAbstractSocket::ConnectedState && error != QAbstractSocket::RemoteHostClosedError) {
            Fail(eeReceive, ErrnoOf(error), QStringLiteral("recv"));
            return false;
        }
        // The peer closed before a whole line: hand over what came (within the same limit).
        if (FSocket->bytesAvailable() > MaxLength)
            return tooLong();
        const QByteArray rest = FSocket->readAll();
        if (!CountReceived(rest.size()))
            return false;
        AppendWire(Line, rest.constData(), rest.size());
        PeerClosed();
        return false;
    }
    // A whole line is buffered, but it may have come in one piece longer than the limit: read at most one
    // byte more than the limit allows (readLine stops after the LF and takes room for a terminating NUL).
    const qint64 room = qMin(MaxLength, FSocket->bytesAvailable()) + 1;
    QByteArray bytes(room + 1, Qt::Uninitialized);
    const qint64 n = FSocket->readLine(bytes.data(), room + 1);
    if (n > MaxLength)
        return tooLong();
    if (n < 0) {
        Fail(eeReceive, ErrnoOf(FSocket->error()), QStringLiteral("recv"));
        return false;
    }
    if (!CountReceived(n))
        return false;
    AppendWire(Line, bytes.constData(), n);
    return true;
}

void TCustomWinSocket::CheckConnection() {
    const SocketUse use(FSocket, FUses);
    if (!Connected() || FOwner->FTransport != stStream || FSocket->bytesAvailable() > 0)
        return;
    // Without an event loop nobody has noticed a close by the peer yet: peek at the descriptor.
    const qintptr fd = FSocket->socketDescriptor();
    if (fd < 0) {
        PeerClosed();
        return;
    }
    pollfd p{int(fd), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return;
    char byte = 0;
    const ssize_t n = ::recv(int(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
        PeerClosed();
}

QString TCustomWinSocket::LocalHost() const { return TClientSocket::GetLocalHost(); }

QString TCustomWinSocket::LocalAddress() const { return FSocket ? FSocket->localAddress().toString() : QString(); }

int TCustomWinSocket::LocalPort() const { return FSocket ? FSocket->localPort() : 0; }

QString TCustomWinSocket::RemoteAddress() const { return FSocket ? FSocket->peerAddress().toString() : QString(); }

int TCustomWinSocket::RemotePort() const { return FSocket ? FSocket->peerPort() : 0; }

bool TCustomWinSocket::StartTLS(const QString& PeerName, const QString& CACertFile) {
    QString reasons;
    return StartTLS(PeerName, CACertFile, reasons);
}

bool TCustomWinSocket::StartTLS(const QString& PeerName, const QString& CACertFile, QString& Reasons) {
    Reasons.clear();
    const SocketUse use(FSocket, FUses);
    auto* ssl = qobject_cast<QSslSocket*>(FSocket.get());
    if (!Connected() || !ssl) {
        Fail(eeConnect, ENOTCONN, QStringLiteral("starttls"));
        return false;
    }
    if (!CACertFile.isEmpty()) {
        QSslConfiguration config = ssl->sslConfiguration();
        QList<QSslCertificate> cas = config.caCertificates();
        cas += QSslCertificate::fromPath(CACertFile, QSsl::Pem);
        config.setCaCertificates(cas);
        ssl->setSslConfiguration(config);
    }
    // Bytes that came before the handshake were sent in plain text, by the server or by anyone on the path:
    // left in the buffer they would be read later as if they had come over TLS (a forged reply to the
    // first command after the switch). Nothing may be waiting, in our buffer or in the system's.
    if (WaitingBytes()) {
        Fail(eeConnect, EPROTO, QStringLiteral("starttls"),
             QStringLiteral("Plain text arrived before the TLS handshake; the connection was closed"));
        return false;
    }
    ssl->setPeerVerifyName(PeerName);
    // The socket reports a failed handshake as a bare protocol error; the certificate problems say why.
    // Direct: they are collected inside the handshake's wait, whichever thread runs it; queued, they would
    // come after the wait, into a list that is gone.
    QStringList problems;
    const QMetaObject::Connection watch = QObject::connect(
        ssl, &QSslSocket::sslErrors, ssl,
        [&problems](const QList<QSslError>& Errors) {
            for (const QSslError& e : Errors)
                problems << e.errorString();
        },
        Qt::DirectConnection);
    ssl->startClientEncryption();
    const bool encrypted = ssl->waitForEncrypted(Remaining(FOwner->WaitDeadline()));
    QObject::disconnect(watch);
    if (!encrypted) {
        Reasons = problems.join(QStringLiteral("; "));
        Fail(eeConnect, ssl->error() == QAbstractSocket::SocketTimeoutError ? ETIMEDOUT : EPROTO,
             QStringLiteral("starttls"));
        return false;
    }
    return true;
}

bool TCustomWinSocket::WaitingBytes() const {
    if (FSocket->bytesAvailable() > 0)
        return true;
    const qintptr fd = FSocket->socketDescriptor();
    if (fd < 0)
        return false;
    pollfd p{int(fd), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    char byte = 0;
    return ::recv(int(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool TCustomWinSocket::Encrypted() const {
    auto* ssl = qobject_cast<QSslSocket*>(FSocket.get());
    return ssl && ssl->isEncrypted();
}

// ---- TClientSocket ---------------------------------------------------------------------------------------

TClientSocket::TClientSocket(TComponent* AOwner) : TComponent(AOwner) {}

TClientSocket::~TClientSocket() = default;

QString TClientSocket::GetLocalHost() { return QHostInfo::localHostName(); }

void TClientSocket::Notify(const TSocketNotifyEvent& Handler) {
    if (Handler)
        Handler(this, &FConnection);
}

void TClientSocket::Error(TErrorEvent Event, int Code, const QString& Api, const QString& Text) {
    int code = Code;
    if (FOnError)
        FOnError(this, &FConnection, Event, code);
    if (code == 0)
        return;
    // Our own limits say what they are; the system's text would only say "timed out" or "too large".
    if (!Text.isEmpty() && code == Code)
        throw ESocketError(Text, code);
    const QString text = Event == eeLookup && code == ENXIO ? QStringLiteral("Host not found")
                                                             : QString::fromLocal8Bit(std::strerror(code));
    throw ESocketError(QStringLiteral("Socket error: %1 (%2), on API '%3'").arg(text).arg(code).arg(Api), code);
}

void TClientSocket::BeginReply(int Seconds) {
    FReplySeconds = Seconds > 0 ? Seconds : 0;
    FReplyDeadline = FReplySeconds > 0 ? QDeadlineTimer(qint64(FReplySeconds) * 1000)
                                       : QDeadlineTimer(QDeadlineTimer::Forever);
}

void TClientSocket::EndReply() {
    FReplySeconds = 0;
    FReplyDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    FWaitEndsWithReply = false;
}

QDeadlineTimer TClientSocket::WaitDeadline() const {
    QDeadlineTimer wait =
        FTimeoutMSecs > 0 ? QDeadlineTimer(FTimeoutMSecs) : QDeadlineTimer(QDeadlineTimer::Forever);
    // A reply bound that ends with (or just before) this wait's own time-out leaves the wait to it: a peer
    // that has sent nothing since the reply began is silent, not slow, and is reported as such.
    constexpr qint64 slackMSecs = 500;
    FWaitEndsWithReply = !FReplyDeadline.isForever() &&
                         (wait.isForever() || FReplyDeadline.deadline() + slackMSecs < wait.deadline());
    if (FWaitEndsWithReply)
        wait = FReplyDeadline;
    if (FDeadline.isForever() || (!wait.isForever() && wait < FDeadline))
        return wait;
    FWaitEndsWithReply = false;
    return FDeadline;
}

void TClientSocket::Disconnected() { Notify(FOnDisconnect); }

QString TClientSocket::DeadlineText() const {
    // A wait rounded to whole milliseconds may end a moment before the deadline itself.
    if (!FDeadline.isForever() && FDeadline.remainingTime() <= 100)
        return QStringLiteral("The operation took longer than %1 seconds").arg(FDeadlineSeconds);
    if (FWaitEndsWithReply)
        return QStringLiteral("No complete reply within %1 seconds").arg(FReplySeconds);
    return QString();
}

void TClientSocket::Open() {
    const SocketUse use(FConnection.FSocket, FConnection.FUses);
    if (FConnection.FOpen)
        Close();
    const QDeadlineTimer deadline = WaitDeadline();
    QList<QHostAddress> addresses;
    if (!FHost.isEmpty()) {
        Notify(FOnLookup);
        QHostAddress literal;
        if (literal.setAddress(FHost)) {
            addresses << literal;
        } else {
            QHostInfo info;
            if (!LookupHost(FHost, deadline, info)) {
                Error(eeLookup, ETIMEDOUT, QStringLiteral("lookup"), DeadlineText());
                return;
            }
            addresses = info.addresses();
            if (addresses.isEmpty()) {
                Error(eeLookup, ENXIO, QStringLiteral("lookup"));
                return;
            }
        }
    } else {
        QHostAddress address;
        if (!address.setAddress(FAddress)) {
            Error(eeLookup, FAddress.isEmpty() ? EDESTADDRREQ : EINVAL, QStringLiteral("connect"));
            return;
        }
        addresses << address;
    }
    Notify(FOnConnecting);
    int code = ECONNREFUSED;
    for (const QHostAddress& address : addresses) {
        std::unique_ptr<QAbstractSocket> socket;
        if (FTransport == stDatagram)
            socket = std::make_unique<QUdpSocket>();
        else if (FTLSCapable)
            socket = std::make_unique<QSslSocket>();
        else
            socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(address, quint16(FPort));
        if (socket->waitForConnected(Remaining(deadline))) {
            FConnection.FSocket = std::move(socket);
            FConnection.FOpen = true;
            Notify(FOnConnect);
            return;
        }
        code = (!deadline.isForever() && deadline.hasExpired()) ? ETIMEDOUT : ErrnoOf(socket->error());
        if (code == ETIMEDOUT)
            break;
    }
    Error(eeConnect, code, QStringLiteral("connect"), code == ETIMEDOUT ? DeadlineText() : QString());
}

void TClientSocket::Close() {
    const SocketUse use(FConnection.FSocket, FConnection.FUses);
    if (!FConnection.FOpen)
        return;
    FConnection.FOpen = false;
    FConnection.FSocket->abort();
    Disconnected();
}

} // namespace KvInet
