// WireText: bytes <-> one character per byte, and the ANSI code page (ISO-8859-1 here).
#include "platform/WireText.h"

namespace KvInet {

QString BytesToWire(const QByteArray& Bytes) {
    return QString::fromLatin1(Bytes);
}

QString BytesToWire(const char* Data, qsizetype Size) {
    return QString::fromLatin1(Data, Size);
}

void AppendWire(QString& Text, const char* Data, qsizetype Size) {
    // Latin-1 is exactly byte n to character U+00n; Qt widens it with SIMD and grows the string
    // geometrically.
    Text.append(QLatin1StringView(Data, Size));
}

QByteArray WireToBytes(const QString& Text) { return WireToBytes(QStringView(Text)); }

QByteArray WireToBytes(QStringView Text) {
    if (QtPrivate::isLatin1(Text))
        return Text.toLatin1(); // the usual case, done with SIMD
    QByteArray bytes(Text.size(), Qt::Uninitialized);
    const char16_t* in = Text.utf16();
    char* out = bytes.data();
    for (qsizetype i = 0; i < Text.size(); ++i)
        out[i] = char(in[i] & 0xFF);
    return bytes;
}

QString AnsiToString(const QByteArray& Bytes) {
    return QString::fromLatin1(Bytes);
}

QByteArray StringToAnsi(const QString& Text) {
    QByteArray bytes(Text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const char16_t c = Text[i].unicode();
        bytes[i] = c <= 0xFF ? char(c) : '?';
    }
    return bytes;
}

const char* AnsiCodePageName() {
    return "ISO-8859-1";
}

} // namespace KvInet
