// Pictures: the codec hook and the checks that need no decoder.
#include "platform/Pictures.h"

#include <QtEndian>

#include <cstring>
#include <utility>

namespace KvInet {

namespace {

TPictureCodec& Codec() {
    static TPictureCodec codec;
    return codec;
}

bool StartsWith(const QByteArray& Data, const char* Prefix, qsizetype Offset = 0) {
    const auto n = qsizetype(std::strlen(Prefix));
    return Data.size() >= Offset + n && std::memcmp(Data.constData() + Offset, Prefix, size_t(n)) == 0;
}

// Without a decoder only the signature can tell: enough to refuse a page saved under a picture's name.
bool HasPictureSignature(const QByteArray& Data) {
    return IsPngStructure(Data) || StartsWith(Data, "\xFF\xD8\xFF") || StartsWith(Data, "GIF87a") ||
           StartsWith(Data, "GIF89a") || (StartsWith(Data, "BM") && Data.size() > 26) ||
           (StartsWith(Data, "RIFF") && StartsWith(Data, "WEBP", 8));
}

} // namespace

TPictureCodec SetPictureCodec(TPictureCodec Value) {
    return std::exchange(Codec(), std::move(Value));
}

bool IsPngStructure(const QByteArray& Data) {
    static const char signature[] = "\x89PNG\r\n\x1A\n";
    if (!StartsWith(Data, signature))
        return false;
    // Each chunk: 4-byte length, 4-byte type, data, 4-byte CRC; IHDR first, IEND last and nothing after.
    qsizetype pos = 8;
    bool first = true;
    while (Data.size() - pos >= 12) {
        const quint32 length = qFromBigEndian<quint32>(Data.constData() + pos);
        const QByteArray type = Data.mid(pos + 4, 4);
        if (length > quint32(Data.size() - pos - 12))
            return false;
        if (first && type != "IHDR")
            return false;
        first = false;
        pos += 12 + qsizetype(length);
        if (type == "IEND")
            return pos == Data.size();
    }
    return false;
}

bool IsPicture(const QByteArray& Data, const char* Format) {
    if (Codec().IsPicture)
        return Codec().IsPicture(Data, Format);
    if (Format && qstricmp(Format, "PNG") == 0)
        return IsPngStructure(Data);
    return !Format && HasPictureSignature(Data);
}

QByteArray PictureToPng(const QByteArray& Data) {
    if (IsPngStructure(Data) && IsPicture(Data, "PNG"))
        return Data;
    return Codec().ToPng ? Codec().ToPng(Data) : QByteArray();
}

} // namespace KvInet
