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

/// One step of reading UTF-8 held as wire text: when Lead (the unit before In[I]) starts a valid four-byte
/// sequence whose three continuation units follow, writes its code point to Out at Count (a surrogate pair
/// above U+FFFF), moves I and Count past it and returns true; otherwise changes nothing and returns false.
inline bool ReadUtf8FourByteWire(const char16_t* In, qsizetype& I, qsizetype N, unsigned Lead, char16_t* Out,
                                 qsizetype& Count) {
    const auto continuation = [](char16_t C) { return (C & 0xC0) == 0x80; };
    if (Lead < 0xF0 || Lead > 0xF4 || I + 2 >= N || !continuation(In[I]) || !continuation(In[I + 1]) ||
        !continuation(In[I + 2]))
        return false;
    const char32_t cp = char32_t((Lead & 0x07) << 18) | char32_t((In[I] & 0x3F) << 12) |
                        char32_t((In[I + 1] & 0x3F) << 6) | char32_t(In[I + 2] & 0x3F);
    if (cp > 0x10FFFF)
        return false;
    I += 3;
    if (cp >= 0x10000) {
        Out[Count++] = char16_t(0xD800 + ((cp - 0x10000) >> 10));
        Out[Count++] = char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
        Out[Count++] = char16_t(cp);
    }
    return true;
}

/// One step of reading strict UTF-8 (no overlong form, no surrogate, nothing past U+10FFFF).
struct TUtf8Step {
    qsizetype Length; ///< units read: the whole sequence, or its maximal ill-formed subpart (at least 1)
    char32_t Code;    ///< the code point, when Valid
    bool Valid;
};

/// Reads the sequence at In[I] (I < N) from units that hold a byte each. When it is ill-formed, Length is
/// its maximal ill-formed subpart: a unit that starts no sequence, or the longest valid start of one before a
/// unit out of range or the end (E0 A0, F0 90 80...), the stretch one U+FFFD stands for. A unit above 0xFF
/// is out of range wherever it stands.
template <class Unit>
inline TUtf8Step ReadUtf8Step(const Unit* In, qsizetype I, qsizetype N) {
    const char32_t lead = char32_t(In[I]);
    if (lead < 0x80)
        return {1, lead, true};
    int need;
    char32_t code;
    char32_t low = 0x80, high = 0xBF; // the range of the next unit
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        code = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; // shorter forms are overlong
        else if (lead == 0xED)
            high = 0x9F; // the surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        code = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90; // overlong
        else if (lead == 0xF4)
            high = 0x8F; // past U+10FFFF
    } else {
        return {1, 0, false};
    }
    qsizetype k = I + 1;
    for (; need > 0 && k < N; --need, ++k) {
        const char32_t c = char32_t(In[k]);
        if (c < low || c > high)
            break;
        code = (code << 6) | (c & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {k - I, code, need == 0};
}

/// Decodes 8-bit text in the system's ANSI code page.
QString AnsiToString(const QByteArray& Bytes);
/// Encodes text in the system's ANSI code page; characters it lacks become "?".
QByteArray StringToAnsi(const QString& Text);
/// The name of the ANSI code page, for decoders that take one.
const char* AnsiCodePageName();

} // namespace KvInet
