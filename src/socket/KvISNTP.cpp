// KvISNTP: the SNTP client.
#include "socket/KvISNTP.h"

#include "platform/WireText.h"
#include "socket/KvInCnst.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QScopeGuard>

#include <cerrno>
#include <cmath>

namespace KvInet {

namespace {

const char* const defaultNTPHost = "pool.ntp.org";

constexpr int packetSize = 48;
constexpr int originateOffset = 24;
constexpr int transmitOffset = 40;
// 2^32 + 1, not 2^32: the request and the fraction conversion use it as they always have; the error is
// below a nanosecond for the fraction and one second only after February 2036 for the request, whose
// timestamp we only need to see echoed back.
constexpr double twoPow32Plus1 = 4294967297.0;
constexpr double twoPow32 = 4294967296.0;

uint32_t ReadU32(const QByteArray& Packet, int Offset) {
    const auto* d = reinterpret_cast<const uchar*>(Packet.constData()) + Offset;
    return (uint32_t(d[0]) << 24) | (uint32_t(d[1]) << 16) | (uint32_t(d[2]) << 8) | d[3];
}

void WriteU32(QByteArray& Packet, int Offset, uint32_t Value) {
    for (int i = 0; i < 4; ++i)
        Packet[Offset + i] = char((Value >> (24 - 8 * i)) & 0xFF);
}

} // namespace

TKvInetSNTP::TKvInetSNTP(TComponent* AOwner) : TKvInetBase(AOwner) {
    SetPort(123);
    SetHost(QString::fromLatin1(defaultNTPHost));
    ClientSocket()->SetTransport(stDatagram);
}

double TKvInetSNTP::TimeZoneBias() {
    return -double(QDateTime::currentDateTime().offsetFromUtc()) / SecsPerDay;
}

uint32_t TKvInetSNTP::SwapBytes(uint32_t Value) {
    return ((Value & 0xFF) << 24) | ((Value & 0xFF00) << 8) | ((Value >> 8) & 0xFF00) | (Value >> 24);
}

TDateTime TKvInetSNTP::NTPTimestamp2DateTime(uint32_t Seconds, uint32_t Fraction) {
    double seconds = Seconds;
    if ((Seconds & 0x80000000u) == 0)
        seconds += twoPow32; // the era from 7 February 2036
    const double milliseconds = std::trunc(Fraction / twoPow32Plus1 * 1000);
    return (seconds + milliseconds / 1000) / SecsPerDay - TimeZoneBias() + 2;
}

QByteArray TKvInetSNTP::RequestPacket(TDateTime UTC) {
    QByteArray packet(packetSize, '\0');
    packet[0] = char(0x1B);
    const double seconds = (UTC - 2) * SecsPerDay;
    double whole = seconds;
    if (whole > twoPow32Plus1)
        whole -= twoPow32Plus1;
    double fraction = (seconds - std::trunc(seconds)) * 1000 / 1000 * twoPow32Plus1;
    if (fraction > twoPow32Plus1)
        fraction -= twoPow32Plus1;
    // Whole parts are kept modulo 2^32, as a 32-bit field holds them.
    WriteU32(packet, transmitOffset, uint32_t(int64_t(std::trunc(whole))));
    WriteU32(packet, transmitOffset + 4, uint32_t(int64_t(std::trunc(fraction))));
    return packet;
}

QString TKvInetSNTP::ReplyProblem(const QByteArray& Packet) {
    if (Packet.size() < packetSize)
        return QStringLiteral("the reply is shorter than 48 bytes");
    if (uchar(Packet[0]) >> 6 == 3)
        return QStringLiteral("the server is not synchronised (leap indicator 3)");
    const int stratum = uchar(Packet[1]);
    if (stratum == 0 || stratum > 15)
        return QStringLiteral("the stratum is %1, not 1 to 15").arg(stratum);
    // RFC 4330: a zero transmit timestamp carries no time. A check for a converted time of exactly 0 would
    // mean the same, but since the era rule zero converts to 7 February 2036 and such a check cannot fire.
    if (ReadU32(Packet, transmitOffset) == 0 && ReadU32(Packet, transmitOffset + 4) == 0)
        return QStringLiteral("the transmit timestamp is zero");
    if (NTPTimestamp2DateTime(ReadU32(Packet, transmitOffset), ReadU32(Packet, transmitOffset + 4)) == 0)
        return QStringLiteral("the time converts to 0");
    return QString();
}

TDateTime TKvInetSNTP::ReplyToDateTime(const QByteArray& Packet) {
    if (!ReplyProblem(Packet).isEmpty())
        return 0;
    return NTPTimestamp2DateTime(ReadU32(Packet, transmitOffset), ReadU32(Packet, transmitOffset + 4));
}

bool TKvInetSNTP::IsReplyTo(const QByteArray& Reply, const QByteArray& Request) {
    return Reply.size() >= packetSize && Request.size() >= packetSize && (uchar(Reply[0]) & 0x07) == 4 &&
           Reply.mid(originateOffset, 8) == Request.mid(transmitOffset, 8);
}

QString TKvInetSNTP::GetQuery() {
    return BytesToWire(RequestPacket(Now() + TimeZoneBias()));
}

TDateTime TKvInetSNTP::GetDateTime() {
    const QString reply = Execute();
    // A failure message is not a packet, however long it is.
    if (!LastError().isEmpty() || reply.size() < packetSize)
        return 0;
    return ReplyToDateTime(WireToBytes(reply.left(packetSize)));
}

void TKvInetSNTP::Connect() {
    if (Connected())
        return;
    if (Host().isEmpty() && Address().isEmpty())
        throw Exception(strKvInEHost);
    ClientSocket()->Open();
}

QString TKvInetSNTP::InternalExecute() {
    const QString query = GetQuery();
    const QByteArray request = WireToBytes(query);
    if (SendToSocket(query) <= 0) {
        SetLastError(NoAnswerText());
        return NoAnswerText();
    }
    // Each wait gets what is left of the time-out, so stray datagrams cannot stretch it; the socket's own
    // time-out is put back afterwards.
    TClientSocket* socket = ClientSocket();
    const int timeoutMSecs = socket->TimeoutMSecs();
    const auto restore = qScopeGuard([socket, timeoutMSecs] { socket->SetTimeoutMSecs(timeoutMSecs); });
    const QDeadlineTimer deadline =
        timeoutMSecs > 0 ? QDeadlineTimer(timeoutMSecs) : QDeadlineTimer(QDeadlineTimer::Forever);
    const auto silent = [this] {
        return Exception(QStringLiteral("No reply from the NTP server within %1 seconds").arg(Timeout()));
    };
    QByteArray datagram(BlockSize, Qt::Uninitialized);
    for (;;) {
        if (timeoutMSecs > 0) {
            if (deadline.hasExpired())
                throw silent();
            socket->SetTimeoutMSecs(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        int n = 0;
        try {
            n = ReceiveFromSocket(datagram.data(), int(datagram.size()));
        } catch (const ESocketError& e) {
            // The socket's own words for a wait that ran out ("Socket error: Connection timed out") would
            // hide what happened; the whole Execute's limit (TotalTimeout) keeps its own message.
            if (e.ErrorCode() == ETIMEDOUT && e.Message().startsWith(QStringLiteral("Socket error")))
                throw silent();
            throw;
        }
        if (n < 0 || (n == 0 && !socket->Active()))
            return QString();
        const QByteArray reply = datagram.left(n);
        if (IsReplyTo(reply, request))
            return BytesToWire(reply);
    }
}

} // namespace KvInet
