// WireText: the two ways bytes become text in this library, kept in one place.
//  - Wire text: network bytes carried in a QString one byte per character (byte n is character U+00n), and
//    back again from the low byte of each character.
//  - The system's ANSI code page, which on this platform is ISO-8859-1, so ANSI text and wire text agree;
//    characters outside it become "?" when converted to ANSI.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace KvInet {

/// Each byte becomes one character with the byte's value.
QString BytesToWire(const QByteArray& Bytes);
QString BytesToWire(const char* Data, qsizetype Size);
/// Appends bytes to a wire text without an intermediate copy.
void AppendWire(QString& Text, const char* Data, qsizetype Size);
/// Each character contributes its low byte (the higher bits are dropped).
QByteArray WireToBytes(const QString& Text);
QByteArray WireToBytes(QStringView Text);
/// The same into a buffer of Text.size() bytes, for callers that convert a large text piece by piece.
void WireToBytes(QStringView Text, char* Out);

/// Decodes 8-bit text in the system's ANSI code page.
QString AnsiToString(const QByteArray& Bytes);
/// Encodes text in the system's ANSI code page; characters it lacks become "?".
QByteArray StringToAnsi(const QString& Text);
/// The name of the ANSI code page, for decoders that take one.
const char* AnsiCodePageName();

} // namespace KvInet
