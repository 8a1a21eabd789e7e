// QtPictures: the picture codec of the widgets side (Qt's image readers and writers, from Qt Gui), installed
// when the library is loaded. It needs no QGuiApplication: console programs decode pictures too.
#pragma once

class QByteArray;
class QImage;

namespace KvInet {

/// Installs the Qt codec (SetPictureCodec); done once at load, again after an application replaced it.
void InstallQtPictureCodec();
/// Decodes an encoded picture of any format Qt reads, its orientation applied; a null image when Data holds
/// none.
QImage DecodePicture(const QByteArray& Data);

} // namespace KvInet
