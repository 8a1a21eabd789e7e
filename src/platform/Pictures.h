// Pictures: encoded pictures (the bytes of a PNG, JPEG, BMP... file) as the components hold them, without
// the image classes of Qt Gui. Decoding belongs to whoever shows a picture: the widgets side installs a
// codec that decodes with Qt's image readers; without one, a picture is recognised by its format's
// signature (and PNG by its chunk structure), so a headless program can still tell a picture from a page.
#pragma once

#include <QByteArray>

#include <functional>

namespace KvInet {

/// What the side that can decode pictures supplies.
struct TPictureCodec {
    /// Whether Data decodes as a picture (of Format, "PNG" for instance, or of any format when Format is
    /// null).
    std::function<bool(const QByteArray& Data, const char* Format)> IsPicture;
    /// Data re-encoded as PNG, or empty when it does not decode.
    std::function<QByteArray(const QByteArray& Data)> ToPng;
};

/// Installs Codec (members left empty fall back to the built-in checks); returns the previous one.
TPictureCodec SetPictureCodec(TPictureCodec Codec);

/// Whether Data is a picture: of Format ("PNG"), or of any format when Format is null. Without a codec:
/// PNG by signature and chunk structure, JPEG, GIF, BMP and WebP by signature.
bool IsPicture(const QByteArray& Data, const char* Format = nullptr);
/// Data as PNG: Data itself when it is one already, else what the codec makes of it; empty when it is no
/// picture (or no codec is installed to convert it).
QByteArray PictureToPng(const QByteArray& Data);
/// Whether Data has PNG's signature and a well-formed chunk sequence from IHDR to IEND.
bool IsPngStructure(const QByteArray& Data);

} // namespace KvInet
