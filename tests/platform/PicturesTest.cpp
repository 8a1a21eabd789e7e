// Encoded pictures in a program without a QGuiApplication: stored status settings keep their picture and
// icon byte for byte through a save and load, and without a decoder a picture is still told from a page.
#include "platform/Pictures.h"

#include "design/KvIForm.h"
#include "support/PropertyTable.h"
#include "web/kviupdate.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QGuiApplication>

#include <optional>

#include <gtest/gtest.h>

using namespace KvInet;

namespace {

QByteArray Encode(int Salt, const char* Format, int Quality = -1) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    KvTest::PropertyTableDetail::TestImage(Salt).save(&buffer, Format, Quality);
    return data;
}

// Without the Qt codec, as in a program that links only the core.
class NoCodec {
public:
    NoCodec() : FSaved(SetPictureCodec({})) {}
    ~NoCodec() { SetPictureCodec(FSaved); }

private:
    TPictureCodec FSaved;
};

} // namespace

TEST(Pictures, StatusSettingsKeepPictureAndIconBytesThroughAForm) {
    ASSERT_EQ(qobject_cast<QGuiApplication*>(QCoreApplication::instance()), nullptr);
    // Not the encoder's default compression, so a writer that re-encodes shows.
    const QByteArray picture = Encode(1, "PNG", 100);
    const QByteArray icon = Encode(2, "PNG", 0);
    TKvWebUpdater updater;
    updater.SetName("Updater1");
    updater.StatusDialog()->SetPicture(picture);
    updater.StatusDialog()->SetIcon(icon);
    const QString text = WriteComponentForm(&updater);
    EXPECT_TRUE(text.contains("  StatusDialog.Picture.Data = {")) << qPrintable(text);
    EXPECT_TRUE(text.contains("  StatusDialog.Icon.Data = {")) << qPrintable(text);
    for (const bool codec : {true, false}) {
        std::optional<NoCodec> without;
        if (!codec)
            without.emplace();
        const auto loaded = ReadComponentForm(text);
        const auto* settings = qobject_cast<TKvWebUpdater*>(loaded.get())->StatusDialog();
        EXPECT_EQ(settings->Picture(), picture) << "codec " << codec;
        EXPECT_EQ(settings->Icon(), icon) << "codec " << codec;
        EXPECT_EQ(WriteComponentForm(loaded.get()), text) << "codec " << codec;
    }
}

TEST(Pictures, WithoutADecoderSignaturesTellPicturesFromPages) {
    const QByteArray png = Encode(3, "PNG");
    struct {
        const char* Name;
        QByteArray Data;
        bool Picture;
        bool Png;
    } const cases[] = {
        {"png", png, true, true},
        {"png cut short", png.left(png.size() - 5), false, false},
        {"png with bytes after IEND", png + "x", false, false},
        {"png chunk longer than the data", png.left(8) + QByteArray("\x7F\xFF\xFF\xF0IHDR", 8), false, false},
        {"png without IHDR first", png.left(12) + "IDAT" + png.mid(16), false, false},
        {"jpeg", Encode(3, "JPG"), true, false},
        {"bmp", Encode(3, "BMP"), true, false},
        {"gif signature", "GIF89a\x01\x00\x01\x00", true, false},
        {"page", "<html><body>gone</body></html>", false, false},
        {"empty", QByteArray(), false, false},
    };
    NoCodec without;
    for (const auto& c : cases) {
        EXPECT_EQ(IsPicture(c.Data), c.Picture) << c.Name;
        EXPECT_EQ(IsPicture(c.Data, "PNG"), c.Png) << c.Name;
        // Without a decoder only PNG can be stored in a form.
        EXPECT_EQ(PictureToPng(c.Data), c.Png ? c.Data : QByteArray()) << c.Name;
    }
}
