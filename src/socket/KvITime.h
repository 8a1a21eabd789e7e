// KvITime: the daytime client (RFC 867): reads one line from a daytime server and picks the date and time
// out of it.
#pragma once

#include "socket/KvInBase.h"

#include "platform/SysUtils.h"

namespace KvInet {

/// Reads the date and time from a daytime server (TCP port 13). Every read of DateTime runs one complete
/// exchange: nothing is sent, the server's line is read until it closes the connection and parsed.
class TKvInetDateTime : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(double DateTime READ GetDateTime STORED false)
public:
    /// Port 13 and the default public daytime server.
    explicit TKvInetDateTime(TComponent* AOwner = nullptr);

    /// Runs Execute and parses the reply with DaytimeToDateTime. The result is the server's time as it wrote
    /// it (no time-zone conversion). Raises the failure (LastError's message) when the exchange failed, when
    /// the server sent nothing ("No answer from server") and when the reply holds no date ("The reply holds
    /// no date and time", see HasDate); the socket exception when the connection failed; EConvertError when
    /// the line gives an impossible date. At most the first 64 KiB of the reply are read and kept, and the
    /// whole reply must have come within Timeout ("No complete reply within N seconds").
    TDateTime GetDateTime();

    /// Whether Text holds a date: one of the named-month layouts, or a digit that the digit rules put into
    /// one of their six parts (see DaytimeToDateTime). "hello world" holds none.
    static bool HasDate(const QString& Text);

    /// Parses a daytime line. The two common layouts "07 DEC 2026 07:30:35 UTC" and
    /// "Mon Dec  7 07:30:35 2026" are recognised; every other text goes through the digit rules: the text
    /// up to its last but one character is scanned, a space, "-" or ":" moves to the next of six parts
    /// (year, month, day, hour, minute, second; at most seven separators count), digits go to the current
    /// part (none before the first separator), empty parts become 1, and a year of one to three digits is
    /// padded to "2" + three digits. "61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) *" gives
    /// 7 December 2026 07:30:35. Raises EConvertError for an impossible date or time, and for a text in which
    /// no digit reaches a part ("The reply holds no date and time"), which would otherwise read as
    /// 1 January 2001 01:01:01.
    static TDateTime DaytimeToDateTime(const QString& Text);

protected:
    /// Stops reading once 64 KiB have come.
    bool ReplyComplete(const QString& Text) const override;
    /// The base's exchange within Timeout as a whole (a reply still coming then fails with "No complete
    /// reply within N seconds"), the text cut to 64 KiB (the connection then closed).
    QString InternalExecute() override;
};

} // namespace KvInet
