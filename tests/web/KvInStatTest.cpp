// test-gui
// test-servers: nginx
// test-timeout: 300
// The status window: its layout against the form's table, the step glyphs and lines, the progress line,
// and a real (slowed) download cancelled with a click, with screenshots of each stage under
// build/tests/screenshots/.
#include "web/KvInStat.h"

#include "socket/KvInCnst.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace KvInet;
using namespace KvTest;

namespace {

TEST(StatusWindow, LayoutAsTheForm) {
    const QString saved = strKvInSoftwareUpdate;
    strKvInSoftwareUpdate = QStringLiteral("Mise à jour"); // read when the window is created
    TfrmKvInetUpdate f;
    strKvInSoftwareUpdate = saved;
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Mise à jour"));
    EXPECT_EQ(f.size(), QSize(491, 286));
    const struct {
        QWidget* W;
        QRect R;
    } table[] = {
        {f.pnlDescription, {0, 0, 491, 59}},      {f.lblCaption, {16, 5, 300, 13}},
        {f.imgBackground, {353, 0, 138, 59}},     {f.imgDescription, {440, 6, 48, 48}},
        {f.lblDescription, {32, 20, 360, 38}},    {f.imgLogo, {5, 65, 95, 206}},
        {f.lblRemote, {105, 80, 70, 13}},         {f.lblLocal, {105, 96, 70, 13}},
        {f.lblRemoteFileName, {185, 80, 300, 13}}, {f.lblLocalFileName, {185, 96, 300, 13}},
        {f.imgStep[0], {179, 120, 16, 16}},       {f.imgStep[3], {179, 174, 16, 16}},
        {f.lblStep[0], {200, 122, 150, 13}},      {f.lblStep[3], {200, 176, 150, 13}},
        {f.lblStatus, {128, 200, 339, 13}},       {f.pbStatus, {130, 214, 337, 10}},
        {f.btnCancel, {408, 256, 75, 25}},
    };
    for (const auto& row : table)
        EXPECT_EQ(row.W->geometry(), row.R) << row.W->metaObject()->className();
    EXPECT_EQ(f.lblRemote->text(), "Remote file:");
    EXPECT_EQ(f.lblLocal->text(), "Local file:");
    EXPECT_EQ(f.lblStep[0]->text(), "Step 1: Connection/Logon");
    EXPECT_EQ(f.lblStep[1]->text(), "Step 2: File search");
    EXPECT_EQ(f.lblStep[2]->text(), "Step 3: Download");
    EXPECT_EQ(f.lblStep[3]->text(), "Step 4: Diconnect/Logoff");
    EXPECT_EQ(f.btnCancel->text(), "&Cancel");
    EXPECT_EQ(f.pbStatus->minimum(), 0);
    EXPECT_EQ(f.pbStatus->maximum(), 100);
    EXPECT_TRUE(f.lblStatus->text().isEmpty());
    for (QLabel* step : f.imgStep)
        EXPECT_TRUE(step->pixmap().isNull());
    // Six distinct glyphs of 16 x 16.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(TfrmKvInetUpdate::Glyph(i).size(), QSize(16, 16));
        for (int j = 0; j < i; ++j)
            EXPECT_NE(TfrmKvInetUpdate::Glyph(i).toImage(), TfrmKvInetUpdate::Glyph(j).toImage());
    }
    QTest::mouseClick(f.btnCancel, Qt::LeftButton);
    EXPECT_TRUE(f.IsCanceled);

    // The glyphs enlarged, to look at.
    QImage sheet(6 * 72, 72, QImage::Format_ARGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    for (int i = 0; i < 6; ++i)
        p.drawPixmap(i * 72 + 4, 4, TfrmKvInetUpdate::Glyph(i).scaled(64, 64));
    p.end();
    KvTest::SaveScreenshot(sheet, QStringLiteral("0-glyphs"));
}

TEST(StatusWindow, ActionsAndProgressLine) {
    TfrmKvInetUpdate f;
    f.ShowAction(iaFileFound);
    EXPECT_EQ(f.lblStatus->text(), strKvInFileFound);
    EXPECT_EQ(f.imgStep[1]->pixmap().toImage(), TfrmKvInetUpdate::Glyph(0).toImage()); // still the arrow
    f.ShowAction(iaCompared);
    EXPECT_EQ(f.imgStep[1]->pixmap().toImage(), TfrmKvInetUpdate::Glyph(3).toImage());
    f.ShowAction(iaDisconnected);
    EXPECT_EQ(f.lblStatus->text(), "Disconnected.");
    EXPECT_EQ(f.imgStep[3]->pixmap().toImage(), TfrmKvInetUpdate::Glyph(5).toImage());
    f.ShowAction(iaIdle);
    EXPECT_EQ(f.lblStatus->text(), "Disconnected.");

    f.ShowProgress(512, 1024);
    EXPECT_EQ(f.lblStatus->text(), "Downloaded 512 of 1024 bytes (50%)");
    EXPECT_EQ(f.pbStatus->maximum(), 1024);
    EXPECT_EQ(f.pbStatus->value(), 512);
    EXPECT_EQ(StatusProgressText(50000000, 100000000), "Downloaded 50000000 of 100000000 bytes (50%)");
    EXPECT_EQ(StatusProgressText(300, 0), "Downloaded 300 of 0 bytes (0%)");
    // Sizes beyond 32 bits keep their proportion on the bar.
    f.ShowProgress(6LL << 30, 8LL << 30);
    EXPECT_EQ(f.lblStatus->text(), "Downloaded 6442450944 of 8589934592 bytes (75%)");
    EXPECT_EQ(int64_t(f.pbStatus->value()) * 4, int64_t(f.pbStatus->maximum()) * 3);
}

class WindowedDownload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Root = ServerEnv("nginx", "KV_NGINX_ROOT");
        Port = ServerPort("nginx", "KV_NGINX_PORT");
    }
    void TearDown() override { QFile::remove(Served); }
    QString Serve(const QString& Path, qint64 Size) {
        Served = Root + Path;
        WriteFile(Served, QByteArray(Size, 'w'));
        QFile::setPermissions(Served, QFile::permissions(Served) | QFileDevice::ReadOther);
        return Path;
    }
    QTemporaryDir Dir;
    QString Root, Served;
    int Port = 0;
};

TEST_F(WindowedDownload, CancelClickStopsARealDownload) {
    const qint64 size = 4 << 20; // 20 s at the slow location's 200 KB/s
    TKvWebUpdater u;
    u.SetHost(QStringLiteral("127.0.0.1"));
    u.SetPort(Port);
    u.SetRemoteFileName(Serve(QStringLiteral("/slow/statuswindow-%1.bin").arg(QCoreApplication::applicationPid()), size));
    u.SetLocalFileName(Dir.filePath("download.bin"));
    u.StatusDialog()->SetEnabled(true);
    u.StatusDialog()->SetTitle(QStringLiteral("Updating the test file"));
    u.StatusDialog()->SetDescription(QStringLiteral("A slowed download that is cancelled with a click."));

    TfrmKvInetUpdate* form = nullptr;
    u.SetOnActionChange([&](QObject*) {
        form = dynamic_cast<TfrmKvInetUpdate*>(u.StatusView());
        ASSERT_NE(form, nullptr);
        EXPECT_TRUE(form->isVisible());
        if (u.Action() == iaConnected)
            KvTest::SaveScreenshot(form, "1-connected");
        if (u.Action() == iaCompared) {
            EXPECT_EQ(form->lblRemoteFileName->text(), "127.0.0.1/" + u.RemoteFileName());
            EXPECT_EQ(form->lblLocalFileName->text(), u.LocalFileName());
            EXPECT_EQ(form->lblCaption->text(), "Updating the test file");
            KvTest::SaveScreenshot(form, "2-compared");
        }
        if (u.Action() == iaDisconnected)
            KvTest::SaveScreenshot(form, "4-disconnected");
    });
    int reports = 0;
    bool aborted = false;
    u.SetOnProgress([&](QObject*, int64_t, int64_t, bool& Abort) {
        ++reports;
        aborted = Abort;
        if (reports == 100) {
            // The click goes through the window, as a user's would, and is noticed at the next report.
            KvTest::SaveScreenshot(form, "3-downloading");
            QTest::mouseClick(form->btnCancel, Qt::LeftButton);
            EXPECT_FALSE(Abort);
        }
    });
    EXPECT_FALSE(u.Execute());
    EXPECT_EQ(u.Status(), isFailed);
    EXPECT_TRUE(aborted);
    EXPECT_EQ(reports, 101);
    EXPECT_EQ(QFileInfo(Dir.filePath("download.bin")).size(), 101 * 2050);
    EXPECT_EQ(u.StatusView(), nullptr); // freed at the end of Execute
}

TEST_F(WindowedDownload, QueuePumpedOnlyWithTheWindow) {
    TKvWebUpdater u;
    u.SetHost(QStringLiteral("127.0.0.1"));
    u.SetPort(Port);
    u.SetRemoteFileName(Serve(QStringLiteral("/pump-%1.bin").arg(QCoreApplication::applicationPid()), 10000));
    u.SetLocalFileName(Dir.filePath("pump.bin"));
    u.SetOnFileCompare([](QObject*, bool& Equal) { Equal = false; });
    for (bool enabled : {false, true}) {
        u.StatusDialog()->SetEnabled(enabled);
        bool delivered = false;
        QTimer::singleShot(0, [&] { delivered = true; });
        bool window = false;
        u.SetOnActionChange([&](QObject*) { window = window || u.StatusView(); });
        EXPECT_TRUE(u.Execute());
        EXPECT_EQ(delivered, enabled);
        EXPECT_EQ(window, enabled);
        QCoreApplication::processEvents();
    }
}

} // namespace
