// KvISNTP: the SNTP client: one 48-byte request, one reply, its transmit time converted to local time.
#pragma once

#include "socket/KvInBase.h"

#include "platform/SysUtils.h"

#include <QByteArray>

#include <cstdint>

namespace KvInet {

/// Reads the date and time from an NTP server (UDP port 123). Every read of DateTime runs one complete
/// exchange: a 48-byte client request goes out as one datagram and the first reply that comes from the
/// server's address and port, in server mode, echoing our transmit time, is taken (anything else is ignored
/// while waiting, up to the time-out).
class TKvInetSNTP : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(double DateTime READ GetDateTime STORED false)
public:
    /// Port 123 and the default public NTP pool.
    explicit TKvInetSNTP(TComponent* AOwner = nullptr);

    /// The 48 bytes of the request for the current time, one character per byte.
    QString GetQuery() override;

    /// Runs the exchange and returns the reply's transmit time in local time, or 0 when there was no
    /// acceptable reply: none within the time-out (LastError "No reply from the NTP server within N
    /// seconds"), or one that ReplyProblem rejects (LastError stays empty). Raises only when the server's
    /// name cannot be resolved.
    TDateTime GetDateTime();

    /// The local time's offset from UTC in days, with the sign UTC = local time + bias, from the system's
    /// time-zone rules for the current moment (daylight saving time included).
    static double TimeZoneBias();
    /// The value with its four bytes in reverse order.
    static uint32_t SwapBytes(uint32_t Value);
    /// An NTP timestamp (seconds since 1900 and fraction in units of 1/2^32, host order) as a local
    /// TDateTime with millisecond resolution. Seconds with the top bit clear belong to the era that starts on
    /// 7 February 2036 06:28:16 UTC, so the timestamp 0 converts to that moment.
    static TDateTime NTPTimestamp2DateTime(uint32_t Seconds, uint32_t Fraction);

    /// The 48-byte request for a given UTC time: byte 0 is 0x1B (no warning, version 3, client mode), the
    /// transmit timestamp at offset 40, everything else 0.
    static QByteArray RequestPacket(TDateTime UTC);
    /// The local time a reply packet carries, or 0 when ReplyProblem rejects it.
    static TDateTime ReplyToDateTime(const QByteArray& Packet);
    /// Why a reply packet is rejected, or empty when it is not: shorter than 48 bytes, leap indicator 3,
    /// stratum 0 or above 15, a zero transmit timestamp (RFC 4330), a converted time of exactly 0.
    static QString ReplyProblem(const QByteArray& Packet);
    /// Whether a datagram answers Request: at least 48 bytes, server mode (4), and its originate timestamp
    /// equal to the request's transmit timestamp.
    static bool IsReplyTo(const QByteArray& Reply, const QByteArray& Request);

    /// Resolves the server and binds the datagram socket to it. The proxy settings are not used: NTP
    /// datagrams cannot pass an HTTP proxy.
    void Connect() override;

protected:
    /// Sends the request as one datagram (no header block) and returns the first datagram that answers it
    /// (IsReplyTo), one character per byte. Others are ignored while waiting; the time-out bounds the whole
    /// wait, and a silent server ends it with "No reply from the NTP server within N seconds".
    QString InternalExecute() override;
    bool QueryIsBinary() const override { return true; }
};

} // namespace KvInet
