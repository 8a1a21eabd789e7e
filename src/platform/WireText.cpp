// WireText: bytes <-> one character per byte, and the ANSI code page (ISO-8859-1 here).
#include "platform/WireText.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    QByteArray bytes(Text.size(), Qt::Uninitialized);
    WireToBytes(Text, bytes.data());
    return bytes;
}

void WireToBytes(QStringView Text, char* Out) {
    const char16_t* in = Text.utf16();
    const qsizetype size = Text.size();
    qsizetype i = 0;
#if defined(__SSE2__)
    // Sixteen characters at a time, in one pass: the high byte is masked off before the saturating pack, so
    // a character above U+00FF gives its low byte like the loop below.
    const __m128i low = _mm_set1_epi16(0xFF);
    for (; i + 16 <= size; i += 16) {
        const __m128i a = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), low);
        const __m128i b = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8)), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + i), _mm_packus_epi16(a, b));
    }
#endif
    for (; i < size; ++i)
        Out[i] = char(in[i] & 0xFF);
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
