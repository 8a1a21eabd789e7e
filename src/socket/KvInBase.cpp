// KvInBase: proxy settings and the socket component base.
#include "socket/KvInBase.h"

#include "platform/WireText.h"
#include "socket/KvILogOn.h"
#include "socket/KvInCnst.h"
#include "socket/kviutil.h"

#include <QHostAddress>

#include <algorithm>
#include <limits>
#include <new>

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

bool TKvInetProxy::AnswerLogon(TKvLogonChallenge& Challenge) {
    return Challenge.Answer(strKvInProxyLogon, FProxyUser, FProxyPassword);
}

void TKvInetProxy::FillProxyInfo() {
    ReadProxyInfo(FProxyServer, FUseProxyServer, FProxyPort);
}

// ---- TKvInetBase -----------------------------------------------------------------------------------------

TKvInetBase::TKvInetBase(TComponent* AOwner) : TComponent(AOwner) {
    StepCount = 1;
    FProxy = new TKvInetProxy(this);
    FLoginPrompt = true;
    FClientSocket = new TClientSocket(this);
    FClientSocket->SetOnLookup([this](QObject* s, TCustomWinSocket* c) { DoLookup(s, c); });
    FClientSocket->SetOnConnecting([this](QObject* s, TCustomWinSocket* c) { DoConnecting(s, c); });
    FClientSocket->SetOnConnect([this](QObject* s, TCustomWinSocket* c) { DoConnect(s, c); });
    FClientSocket->SetOnDisconnect([this](QObject* s, TCustomWinSocket* c) { DoDisconnect(s, c); });
    FClientSocket->SetOnError(
        [this](QObject* s, TCustomWinSocket* c, TErrorEvent e, int& code) { DoError(s, c, e, code); });
    FClientSocket->SetClientType(ctBlocking);
    FClientSocket->SetTimeoutMSecs(FTimeout * 1000);
    FKeepConnection = false;
}

TKvInetBase::~TKvInetBase() {
    // The socket is freed with the owned components after this destructor: no notification may reach us.
    FClientSocket->SetOnLookup(nullptr);
    FClientSocket->SetOnConnecting(nullptr);
    FClientSocket->SetOnConnect(nullptr);
    FClientSocket->SetOnDisconnect(nullptr);
    FClientSocket->SetOnError(nullptr);
}

bool TKvInetBase::AddrIsIP(const QString& S) {
    int parts[5] = {-1, -1, -1, -1, -1};
    int next = 0;
    QString part;
    for (qsizetype i = 0; i < S.size() && next < 5; ++i) {
        const bool last = i == S.size() - 1;
        if (S[i] == u'.' || last) {
            // The last character closes the part after joining it, so a final full stop spoils the last part.
            if (last)
                part += S[i];
            int value = -1;
            if (!TryStrToInt(part, value))
                value = -1;
            parts[next++] = value;
            part.clear();
        } else {
            part += S[i];
        }
    }
    if (parts[4] != -1)
        return false;
    for (int i = 0; i < 4; ++i)
        if (parts[i] < 0 || parts[i] > 255)
            return false;
    return true;
}

int TKvInetBase::Port() const { return FClientSocket->Port(); }

void TKvInetBase::SetPort(int Value) {
    // Taken modulo 65536 by the socket, a wrong number would reach another service.
    if (Value < 0 || Value > 65535)
        throw EConvertError(QStringLiteral("%1 is not a valid port (0 to 65535)").arg(Value));
    FPort = Value;
    FClientSocket->SetPort(Value);
}

QString TKvInetBase::Host() const { return FClientSocket->Host(); }

QString TKvInetBase::Address() const { return FClientSocket->Address(); }

QString TKvInetBase::BareHost(const QString& Value) {
    if (Value.size() > 2 && Value.startsWith(u'[') && Value.endsWith(u']')) {
        const QString inner = Value.mid(1, Value.size() - 2);
        if (QHostAddress address;
            address.setAddress(inner) && address.protocol() == QAbstractSocket::IPv6Protocol)
            return inner;
    }
    return Value;
}

void TKvInetBase::PlaceEndpoint(const QString& Value) {
    const QString value = BareHost(Value);
    if (AddrIsIP(value)) {
        FHost.clear();
        FAddress = value;
        FClientSocket->SetHost(QString());
        FClientSocket->SetAddress(value);
    } else {
        FHost = value;
        FAddress.clear();
        FClientSocket->SetHost(value);
        FClientSocket->SetAddress(QString());
    }
}

void TKvInetBase::SetHost(const QString& Value) { PlaceEndpoint(Value); }

void TKvInetBase::SetAddress(const QString& Value) { PlaceEndpoint(Value); }

void TKvInetBase::SetProxy(TKvInetProxy* Value) { FProxy->Assign(Value); }

void TKvInetBase::SetTotalTimeout(int Value) {
    FTotalTimeout = std::clamp(Value, 0, std::numeric_limits<int>::max() / 1000);
}

void TKvInetBase::SetTimeout(int Value) {
    // Capped so that the milliseconds fit: an overflow would turn a long wait into no limit at all.
    FTimeout = std::clamp(Value, 0, std::numeric_limits<int>::max() / 1000);
    FClientSocket->SetTimeoutMSecs(FTimeout * 1000);
}

void TKvInetBase::SetOnSendTextToSocket(TSocketNotifyEvent Handler) {
    FOnSendTextToSocket = Handler;
    FClientSocket->SetOnWrite(std::move(Handler));
}

void TKvInetBase::SetOnReceiveTextFromSocket(TSocketNotifyEvent Handler) {
    FOnReceiveTextFromSocket = Handler;
    FClientSocket->SetOnRead(std::move(Handler));
}

void TKvInetBase::DoLookup(QObject* Sender, TCustomWinSocket* Socket) {
    if (FOnLookup)
        FOnLookup(Sender, Socket);
}

void TKvInetBase::DoConnecting(QObject* Sender, TCustomWinSocket* Socket) {
    if (FOnConnecting)
        FOnConnecting(Sender, Socket);
}

void TKvInetBase::DoConnect(QObject* Sender, TCustomWinSocket* Socket) {
    FConnected = true;
    if (FOnConnect)
        FOnConnect(Sender, Socket);
}

void TKvInetBase::DoDisconnect(QObject* Sender, TCustomWinSocket* Socket) {
    FConnected = false;
    if (FOnDisconnect)
        FOnDisconnect(Sender, Socket);
}

void TKvInetBase::DoError(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode) {
    FConnected = false;
    if (FOnError)
        FOnError(Sender, Socket, ErrorEvent, ErrorCode);
}

void TKvInetBase::Connect() {
    if (FConnected) {
        // A server that closed a kept connection must not be written to: reconnect instead.
        FClientSocket->Socket()->CheckConnection();
        if (FConnected)
            return;
    }
    if (Host().isEmpty() && Address().isEmpty())
        throw Exception(strKvInEHost);
    if (ThroughProxy()) {
        const QString server = BareHost(FProxy->Server());
        if (AddrIsIP(server)) {
            FClientSocket->SetAddress(server);
            FClientSocket->SetHost(QString());
        } else {
            FClientSocket->SetHost(server);
            FClientSocket->SetAddress(QString());
        }
        FClientSocket->SetPort(FProxy->Port());
    }
    FClientSocket->Open();
}

void TKvInetBase::Disconnect() {
    if (FConnected)
        FClientSocket->Close();
}

QString TKvInetBase::GetQuery() { return QString(); }

bool TKvInetBase::ThroughProxy() const {
    return FProxy->UseProxy() && !FProxy->Server().isEmpty();
}

void TKvInetBase::CheckInput() {
    RefuseLineBreaks(FHost, "Host");
    RefuseLineBreaks(FAddress, "Address");
    if (FPort == 0)
        throw Exception(QStringLiteral("Invalid Port: no port is set"));
}

QString TKvInetBase::HttpAuthority(bool WithDefaultPort, int DefaultPort) const {
    QString host = FHost.isEmpty() ? FAddress : FHost;
    // Only an IPv6 literal takes brackets; any other text with a colon is a host name as given.
    if (QHostAddress address; address.setAddress(host) && address.protocol() == QAbstractSocket::IPv6Protocol)
        host = u'[' + host + u']';
    if (WithDefaultPort || FPort != DefaultPort)
        host += u':' + QString::number(FPort);
    return host;
}

QString TKvInetBase::HttpRequestHead(const QString& Method, const QString& Path) {
    const QLatin1String crlf("\r\n");
    if (ThroughProxy()) {
        // The form a proxy understands; its credentials go inside the header section.
        AskProxyLogon();
        QString path = Path.isEmpty() ? QStringLiteral("/") : Path;
        if (!path.startsWith(u'/'))
            path.prepend(u'/');
        QString head = Method + QStringLiteral(" http://") + HttpAuthority(false) + path +
                       QStringLiteral(" HTTP/1.0") + crlf + QStringLiteral("Host: ") + HttpAuthority(false) +
                       crlf;
        if (!FProxy->User().isEmpty()) {
            // UTF-8, as proxies decode Basic credentials; wire text holds one byte per character.
            const QByteArray credentials = (FProxy->User() + u':' + FProxy->Password()).toUtf8();
            head += QStringLiteral("Proxy-Authorization: Basic ") +
                    QString::fromLatin1(credentials.toBase64()) + crlf;
        }
        return head;
    }
    // A numeric address has no host name to send (an empty Host line is refused by servers), and an IPv6
    // literal needs its brackets.
    const bool plainName = !FHost.isEmpty() && !HttpAuthority(true).startsWith(u'[');
    QString host = plainName ? Host() : HttpAuthority(false);
    // A server that serves several ports tells them apart by the port in the Host line.
    if (plainName && FPort != 80)
        host += u':' + QString::number(FPort);
    return Method + u' ' + Path + QStringLiteral(" HTTP/1.0") + crlf + QStringLiteral("Host: ") + host + crlf;
}

QString TKvInetBase::HttpRequestEnd() const {
    return ThroughProxy() ? QStringLiteral("\r\n") : QStringLiteral("Proxy-Connection: Keep-Alive\r\n\r\n");
}

QString TKvInetBase::HttpReplyFault(const QString& Reply) {
    const qsizetype lineEnd = Reply.indexOf(u'\n');
    QString status = lineEnd < 0 ? Reply : Reply.left(lineEnd);
    if (status.endsWith(u'\r'))
        status.chop(1);
    // "HTTP/1.0 200 OK": the three digits after the first space.
    const qsizetype space = status.indexOf(u' ');
    const QString code = space < 0 ? QString() : status.mid(space + 1, 3);
    const auto digit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    if (!status.startsWith(QLatin1String("HTTP/")) || code.size() != 3 ||
        !std::all_of(code.begin(), code.end(), digit))
        return QStringLiteral("The reply is not an HTTP response");
    if (code.at(0) != u'2') {
        // Quoted for the user, but never a whole page that happens to have no line break.
        if (status.size() > 80)
            status = status.left(80) + QStringLiteral("...");
        return QStringLiteral("The server answered \"%1\"").arg(status);
    }
    // A server that closed before the body it announced is complete: what came is not the whole page.
    const qsizetype bodyStart = HttpBodyStart(Reply);
    if (bodyStart < 0)
        return QStringLiteral("The reply ended inside its header section");
    const qint64 length = HttpContentLength(Reply.left(bodyStart));
    if (length == HttpInvalidLength)
        return QStringLiteral("The reply's Content-Length is not valid");
    if (length > Reply.size() - bodyStart)
        return QStringLiteral("The reply ended after %1 of the %2 bytes its body announced")
            .arg(Reply.size() - bodyStart)
            .arg(length);
    return QString();
}

qsizetype TKvInetBase::HttpBodyStart(const QString& Reply, qsizetype From) {
    // A line ends with LF or CR LF, so the empty line is an LF followed by LF or CR LF, whichever form
    // each of the two line ends takes ("\r\n\r\n", "\n\n", "\n\r\n", "\r\n\n").
    const qsizetype bare = Reply.indexOf(QLatin1String("\n\n"), From);
    const qsizetype crlf = Reply.indexOf(QLatin1String("\n\r\n"), From);
    if (bare >= 0 && (crlf < 0 || bare < crlf))
        return bare + 2;
    return crlf < 0 ? -1 : crlf + 3;
}

QList<QStringView> TKvInetBase::HttpHeaderValues(QStringView Head, QLatin1String Name) {
    QList<QStringView> values;
    for (const QStringView line : Head.split(u'\n'))
        if (line.size() > Name.size() && line[Name.size()] == u':' &&
            line.startsWith(Name, Qt::CaseInsensitive))
            values << line.mid(Name.size() + 1).trimmed();
    return values;
}

qint64 TKvInetBase::HttpContentLength(const QString& Head) {
    // Two lengths that differ, or one that is not plain digits ("+3", "3x"), leave the body's end unknown:
    // a reader that picked one would split the stream where the server did not.
    qint64 length = -1;
    for (const QStringView values : HttpHeaderValues(Head, QLatin1String("Content-Length"))) {
        for (const QStringView item : values.split(u',')) {
            const QStringView value = item.trimmed();
            bool ok = !value.isEmpty() && value.size() <= 18;
            for (const QChar c : value)
                ok = ok && c >= u'0' && c <= u'9';
            const qint64 number = ok ? value.toLongLong() : -1;
            if (!ok || (length >= 0 && number != length))
                return HttpInvalidLength;
            length = number;
        }
    }
    return length;
}

void TKvInetBase::AskProxyLogon() {
    if (!ThroughProxy() || !FLoginPrompt)
        return;
    // Asked before every query, whatever the proxy said last time: a fresh count each time.
    TKvLogonChallenge challenge(true);
    FProxy->AnswerLogon(challenge);
}

QString TKvInetBase::GetRawHeaders() {
    QString headers;
    if (ThroughProxy()) {
        AskProxyLogon();
        if (!FProxy->User().isEmpty())
            headers += QStringLiteral("Username: ") + FProxy->User() + QStringLiteral("\r\n");
        if (!FProxy->Password().isEmpty())
            headers += QStringLiteral("Password: ") + FProxy->Password() + QStringLiteral("\r\n");
    } else {
        headers += QStringLiteral("Proxy-Connection: Keep-Alive\r\n");
    }
    headers += QStringLiteral("\r\n");
    return headers;
}

int TKvInetBase::SendToSocket(const QString& Text) {
    // Characters above 255 cannot be one byte each; they go out as their UTF-8 bytes rather than a wrong
    // low byte (no query the library builds contains one).
    bool wide = false;
    for (const QChar c : Text)
        if (c.unicode() > 0xFF) {
            wide = true;
            break;
        }
    if (!wide)
        return FClientSocket->Socket()->SendText(Text);
    QByteArray bytes;
    bytes.reserve(Text.size());
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const char16_t c = Text[i].unicode();
        if (c <= 0xFF)
            bytes += char(c);
        else
            bytes += QString(Text[i]).toUtf8();
    }
    return FClientSocket->Socket()->SendBuf(bytes.constData(), int(bytes.size()));
}

int TKvInetBase::ReceiveFromSocket(void* Buf, int Count) { return FClientSocket->Socket()->ReceiveBuf(Buf, Count); }

int TKvInetBase::ReceiveBlock(QString& Text) {
    char buffer[BlockSize];
    const int n = ReceiveFromSocket(buffer, BlockSize);
    if (n > 0)
        AppendBlock(Text, buffer, n);
    return n;
}

void TKvInetBase::AppendBlock(QString& Text, const char* Data, qsizetype Count) {
    AppendWire(Text, Data, Count);
}

QString LineBreakRefusal(const QString& Value, const char* Property) {
    if (Value.contains(u'\r') || Value.contains(u'\n'))
        return QStringLiteral("Invalid %1: line breaks are not allowed").arg(QString::fromLatin1(Property));
    return QString();
}

void TKvInetBase::RefuseLineBreaks(const QString& Value, const char* Property) {
    if (QString refused = LineBreakRefusal(Value, Property); !refused.isEmpty())
        throw Exception(refused);
}

QString TKvInetBase::GetLocalHost() const { return TClientSocket::GetLocalHost(); }

QString TKvInetBase::InternalExecute() {
    const bool binary = QueryIsBinary();
    QString query = GetQuery();
    if (!query.isEmpty() && !binary)
        query += GetRawHeaders();
    if (!query.isEmpty() && SendToSocket(query) <= 0) {
        SetLastError(NoAnswerText());
        return NoAnswerText();
    }
    QString text;
    int n = ReceiveBlock(text);
    // The status is screened once the first line is whole, however the network split it (or once the
    // reply ended, or its first line is longer than a block): the word after its first space.
    bool screened = binary;
    for (;;) {
        const bool complete = n > 0 && ReplyComplete(text);
        if (!screened && (n <= 0 || complete || text.contains(u'\n') || text.size() >= BlockSize)) {
            screened = true;
            ScreenStatus(text);
        }
        if (n <= 0 || complete)
            break;
        // Room for the whole reply at once when its size is known: no copy of it at every growth. Only as
        // much as the limit allows (a server may announce anything; without a limit, 256 MiB at most).
        const qsizetype expected = ExpectedReplySize();
        if (expected > text.capacity() && expected <= (FMaxReplySize > 0 ? FMaxReplySize : qsizetype(256) << 20))
            text.reserve(expected);
        n = ReceiveBlock(text);
    }
    // A query the server closed on without a byte of reply is a failure, though the text stays empty.
    if (!query.isEmpty() && text.isEmpty() && n == 0)
        SetLastError(NoAnswerText());
    return text;
}

void TKvInetBase::ScreenStatus(const QString& Text) {
    const qsizetype lineEnd = Text.indexOf(u'\n');
    const QStringView line = lineEnd < 0 ? QStringView(Text) : QStringView(Text).left(lineEnd);
    const qsizetype space = line.indexOf(u' ');
    if (space < 0)
        return;
    switch (StrToIntDef(line.mid(space + 1, 3).toString(), 200)) {
    case 401:
        throw Exception(strKvInEAuthRequired);
    case 404:
        throw Exception(strKvInEFileNotFound);
    case 407:
        throw Exception(strKvInEProxyAuth);
    default:
        break;
    }
}

void TKvInetBase::BeforeExecute() {
    if (FOnBeforeExecute)
        FOnBeforeExecute(this);
}

void TKvInetBase::AfterExecute(QString& Text) {
    if (FOnAfterExecute)
        FOnAfterExecute(this, Text);
}

QString TKvInetBase::Execute() {
    FLastError.clear();
    BeforeExecute();
    if (Host().isEmpty() && Address().isEmpty()) {
        FLastError = strKvInEHost;
        throw Exception(strKvInEHost);
    }
    try {
        CheckInput();
    } catch (const Exception& e) {
        FLastError = e.Message();
        return e.Message();
    }
    // The limits hold for this Execute only, from its first lookup to its last read.
    struct Limits {
        TClientSocket* Socket;
        ~Limits() { Socket->SetDeadline(QDeadlineTimer(QDeadlineTimer::Forever), 0); }
    } limits{FClientSocket};
    FClientSocket->SetDeadline(FTotalTimeout > 0 ? QDeadlineTimer(qint64(FTotalTimeout) * 1000)
                                                 : QDeadlineTimer(QDeadlineTimer::Forever),
                               FTotalTimeout);
    FClientSocket->SetReceiveLimit(FMaxReplySize);
    FClientSocket->ResetReceived();
    try {
        Connect();
    } catch (const Exception& e) {
        FLastError = e.Message();
        throw;
    }
    QString result;
    try {
        CurrentStep = 0;
        while (CurrentStep < StepCount) {
            QString text = InternalExecute();
            AfterExecute(text);
            result += text;
            ++CurrentStep;
        }
        if (!FKeepConnection)
            Disconnect();
    } catch (const Exception& e) {
        result = e.Message();
        FLastError = e.Message();
    } catch (const std::bad_alloc&) {
        // A reply too big for this machine's memory must not end the host application.
        result = FLastError = QStringLiteral("Out of memory while receiving the reply");
    } catch (const std::exception& e) {
        result = FLastError = QStringLiteral("Internal failure: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    // The rest of a refused reply would otherwise be read as the next Execute's answer.
    if (!FLastError.isEmpty() && !FKeepConnection && FConnected) {
        try {
            Disconnect();
        } catch (const Exception&) {
        }
    }
    return result;
}

} // namespace KvInet
