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
    /// it (no time-zone conversion). Raises the failure (LastError's message) when the exchange failed, the
    /// socket exception when the connection failed, and EConvertError when the line gives an impossible date.
    TDateTime GetDateTime();

    /// Parses a daytime line. The two common layouts "07 DEC 2026 07:30:35 UTC" and
    /// "Mon Dec  7 07:30:35 2026" are recognised; every other text goes through the digit rules: the text
    /// up to its last but one character is scanned, a space, "-" or ":" moves to the next of six parts
    /// (year, month, day, hour, minute, second; at most seven separators count), digits go to the current
    /// part (none before the first separator), empty parts become 1, and a year of one to three digits is
    /// padded to "2" + three digits. "61381 26-12-07 07:30:35 00 0 0 50.0 UTC(NIST) *" gives
    /// 7 December 2026 07:30:35. Raises EConvertError for an impossible date or time.
    static TDateTime DaytimeToDateTime(const QString& Text);
};

} // namespace KvInet
