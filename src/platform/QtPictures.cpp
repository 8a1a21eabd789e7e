// QtPictures: the Qt codec.
#include "platform/QtPictures.h"

#include "platform/Pictures.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>

namespace KvInet {

namespace {

QImage Decode(const QByteArray& Data, const char* Format) {
    QBuffer buffer;
    buffer.setData(Data);
    buffer.open(QIODevice::ReadOnly);
    // The content decides: a page saved under a picture's name is no picture, whatever it is called.
    QImageReader reader(&buffer, Format ? QByteArray(Format) : QByteArray());
    reader.setDecideFormatFromContent(!Format);
    reader.setAutoTransform(true);
    return reader.read();
}

// Loading the library installs the codec, so every program that links the widgets side decodes.
[[maybe_unused]] const bool Installed = [] {
    InstallQtPictureCodec();
    return true;
}();

} // namespace

QImage DecodePicture(const QByteArray& Data) {
    return Decode(Data, nullptr);
}

void InstallQtPictureCodec() {
    SetPictureCodec(
        {[](const QByteArray& Data, const char* Format) { return !Decode(Data, Format).isNull(); },
         [](const QByteArray& Data) {
             const QImage image = Decode(Data, nullptr);
             QByteArray png;
             if (image.isNull())
                 return png;
             QBuffer buffer(&png);
             buffer.open(QIODevice::WriteOnly);
             image.save(&buffer, "PNG");
             return png;
         }});
}

} // namespace KvInet
