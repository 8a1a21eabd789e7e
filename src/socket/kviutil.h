// kviutil: small text routines shared by the components and offered to applications: UTF-8 decoding of
// wire text, Base64, content types by file name, reversing, column extraction, HTML entity replacement, and
// removing the running executable after it ends. No routine keeps state between calls.
#pragma once

#include <QString>

namespace KvInet {

/// UTF-8 text carried one byte per character (each character holds a value 0..255), as received.
using UTF8String = QString;

/// Decodes UTF-8 carried one byte per character. Characters below 0x80 pass unchanged (all 16 bits).
/// Two- and three-byte sequences decode to one character; a four-byte sequence (lead F0..F4, three
/// continuation bytes) decodes to its surrogate pair. Any malformed sequence makes the whole result empty.
QString Utf8Decode(const UTF8String& S);

/// Base64 (RFC 4648) of the low byte of each character, without line breaks.
QString Encode64(const QString& S);

/// Arranges for the running executable to be deleted once the process has ended: writes a small script
/// beside it and starts it detached. Raises EFCreateError when the script cannot be written.
void DeleteExe();

/// The MIME content type of a file name by its extension; "application/octet-stream" when unknown.
/// At most 257 characters.
QString ContentTypeByFile(const QString& FileName);

/// The text with its characters (UTF-16 units) in reverse order.
QString Reverse(const QString& S);

/// Column Column (from 0) of a line split at Separator; "" for a missing column or a line that is a
/// single tab.
QString GetColumn(const QString& Line, int Column, QChar Separator);

/// Replaces the entities &brvbar; &deg; &plusmn; &para; &amp; &lt; &gt; &copy; &quot; &apos; &trade; &nbsp;
/// (the ";" optional at the end of the text), first to last, each pass starting at the first "&"; the
/// first unknown entity stops the replacement and leaves the rest as it is.
void ReplaceHTMLChars(QString& S);

/// Reads the user's system proxy setting (SystemProxySetting: on Windows the Internet settings in the
/// registry, elsewhere the environment's http_proxy, HTTP_PROXY or all_proxy/ALL_PROXY; a program may install
/// its own reader) into ProxyServer and UseProxy: an enabled setting sets ProxyServer and turns UseProxy on,
/// none leaves both as passed. Then an enabled setting is reduced to host and port (ParseProxySetting).
void ReadProxyInfo(QString& ProxyServer, bool& UseProxy, int& ProxyPort);

/// The reduction of a system proxy text when UseProxy is set and ProxyServer is not empty: a per-protocol
/// list ("ftp=f:21;http=h:3128;https=s:443") keeps its http entry; then "host:port" is split at its first
/// ":" into ProxyServer and ProxyPort (0 when the port is not a number).
void ParseProxySetting(QString& ProxyServer, bool UseProxy, int& ProxyPort);

} // namespace KvInet
