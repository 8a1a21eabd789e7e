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
    const qsizetype old = Text.size();
    Text.resize(old + Size);
    char16_t* out = reinterpret_cast<char16_t*>(Text.data()) + old;
    const auto* in = reinterpret_cast<const unsigned char*>(Data);
    for (qsizetype i = 0; i < Size; ++i)
        out[i] = in[i];
}

QByteArray WireToBytes(const QString& Text) {
    QByteArray bytes(Text.size(), Qt::Uninitialized);
    const char16_t* in = reinterpret_cast<const char16_t*>(Text.constData());
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
