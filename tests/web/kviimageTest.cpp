// test-gui
// test-servers: nginx scripted
// test-timeout: 180
// The remote image: refreshes on the timer against nginx (a time change and a size change download, an
// unchanged picture is reloaded from the copy), an answer without Content-Length, a page served under a
// picture's name, a freed picture holder, exceptions and Stop inside a refresh, the interval's bounds, the
// label binding (with a screenshot), and kvinet image.
#include "web/kviimage.h"
#include "platform/QtPictures.h"

#include "support/ScriptedPeer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QThread>

using namespace KvInet;
using namespace KvTest;

namespace {

QByteArray Picture(int W, int H, Qt::GlobalColor Colour, const char* Format = "PNG") {
    QImage image(W, H, QImage::Format_RGB32);
    image.fill(Colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, Format);
    return bytes;
}

void SetMTime(const QString& Path, const QDateTime& When) {
    QFile f(Path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(When, QFileDevice::FileModificationTime));
}

/// What one refresh ended with.
struct TRefresh {
    TKvIStatus Status;
    bool Result;
    QSize Shown;
    QString Error;
};

/// The remote image with every refresh recorded (TimerHandler calls Execute through the virtual slot) and
/// a hook run after each.
class TRecorded : public TKvRemoteImage {
public:
    using TKvRemoteImage::TKvRemoteImage;
    std::vector<TRefresh> Refreshes;
    std::function<void(int)> After;
    bool Execute() override {
        const bool result = TKvRemoteImage::Execute();
        Refreshes.push_back(
            {Status(), result, Image() ? DecodePicture(Image()->Picture()).size() : QSize(), LastError()});
        if (After)
            After(int(Refreshes.size()));
        return result;
    }
};

/// Runs the event queue until Done or 20 seconds have passed.
bool Spin(const std::function<bool()>& Done) {
    QDeadlineTimer deadline(20000);
    while (!Done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return Done();
}

class RemoteImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qunsetenv("http_proxy");
        qunsetenv("HTTP_PROXY");
        Root = ServerEnv("nginx", "KV_NGINX_ROOT");
        Port = ServerPort("nginx", "KV_NGINX_PORT");
    }
    void TearDown() override {
        SetMessageDlgHandler(nullptr);
        for (const QString& f : Served)
            QFile::remove(f);
    }
    /// Serves Data under Name (unique to this test program) and returns the path on the server.
    QString Serve(const QString& Name, const QByteArray& Data, const QDateTime& When) {
        const QString name =
            QStringLiteral("i%1-%2").arg(qint64(QCoreApplication::applicationPid())).arg(Name);
        const QString path = Root + u'/' + name;
        WriteFile(path, Data);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther);
        SetMTime(path, When);
        if (!Served.contains(path))
            Served << path;
        return u'/' + name;
    }
    void Http(TKvRemoteImage& R, const QString& Remote) {
        R.SetHost(QStringLiteral("127.0.0.1"));
        R.SetPort(Port);
        R.SetRemoteFileName(Remote);
    }
    QTemporaryDir Dir;
    QString Root;
    int Port = 0;
    QStringList Served;
    const QDateTime T1 = QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30), Qt::UTC);
    const QDateTime T2 = T1.addSecs(3600);
};

TEST(RemoteImage, NewComponentAndInterval) {
    TKvRemoteImage r;
    EXPECT_FALSE(r.Active());
    EXPECT_EQ(r.Interval(), 1000);
    EXPECT_EQ(r.Image(), nullptr);
    EXPECT_THROW(r.SetInterval(-1), EConvertError);
    EXPECT_EQ(r.Interval(), 1000);
    // 0 stops the timer: no refresh at all, not one without pause.
    int runs = 0;
    r.SetOnBeforeExecute([&runs](QObject*) { ++runs; });
    r.SetService(isNetwork);
    r.SetRemoteFileName(QStringLiteral("/nonexistent/pic.png"));
    r.SetInterval(0);
    r.Start();
    r.Start(); // twice: one timer
    EXPECT_TRUE(r.Active());
    QDeadlineTimer wait(200);
    while (!wait.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(runs, 0);
    // A positive interval starts it.
    r.SetInterval(10);
    EXPECT_TRUE(Spin([&runs] { return runs >= 2; }));
    r.Stop();
    EXPECT_FALSE(r.Active());
}

// One run of the timer: each refresh prepares the next one's server state.
TEST_F(RemoteImageTest, RefreshesOnTheTimer) {
    const QString remote = Serve("cam.png", Picture(8, 6, Qt::red), T1);
    TImage image;
    int changes = 0;
    image.SetOnChange([&changes](QObject*) { ++changes; });
    TRecorded r;
    Http(r, remote);
    r.SetImage(&image);
    r.SetInterval(20);
    r.After = [&](int N) {
        if (N == 2) // the same bytes, a later time
            Serve("cam.png", Picture(8, 6, Qt::red), T2);
        else if (N == 3) // another size, the same time
            Serve("cam.png", Picture(10, 12, Qt::blue), T2);
        else if (N == 4)
            r.Stop();
    };
    r.Start();
    ASSERT_TRUE(Spin([&r] { return r.Refreshes.size() >= 4; }));
    const TKvIStatus expected[] = {isFinished, isSkipped, isFinished, isFinished};
    const QSize shown[] = {{8, 6}, {8, 6}, {8, 6}, {10, 12}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(r.Refreshes[i].Status, expected[i]) << r.Refreshes[i].Error.toStdString();
        EXPECT_TRUE(r.Refreshes[i].Result);
        EXPECT_EQ(r.Refreshes[i].Shown, shown[i]);
    }
    EXPECT_EQ(changes, 4); // the skipped refresh reloaded the kept copy
    EXPECT_EQ(DecodePicture(image.Picture()).pixelColor(3, 3), QColor(Qt::blue));
    // Stopped from inside a refresh: no other follows.
    QDeadlineTimer wait(150);
    while (!wait.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(r.Refreshes.size(), 4u);
    EXPECT_FALSE(r.Active());
}

// A page served under a picture's name: the picture shown stays, the run fails, the timer goes on.
TEST_F(RemoteImageTest, PageNamedJpgKeepsThePicture) {
    const QString remote = Serve("cam.jpg", Picture(16, 16, Qt::green, "JPG"), T1);
    TImage image;
    TRecorded r;
    Http(r, remote);
    r.SetImage(&image);
    r.SetInterval(20);
    r.After = [&](int N) {
        if (N == 1)
            Serve("cam.jpg", "<html><body>404 Not Found</body></html>", T2);
        else if (N == 3)
            r.Stop();
    };
    r.Start();
    ASSERT_TRUE(Spin([&r] { return r.Refreshes.size() >= 3; }));
    EXPECT_EQ(r.Refreshes[0].Status, isFinished);
    for (int i : {1, 2}) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(r.Refreshes[i].Status, isFailed);
        EXPECT_FALSE(r.Refreshes[i].Result);
        EXPECT_EQ(r.Refreshes[i].Error, "not a picture");
        EXPECT_EQ(r.Refreshes[i].Shown, QSize(16, 16));
    }
}

// Without Content-Length the size is unknown: downloaded when there is no copy, then compared by time.
TEST_F(RemoteImageTest, AnswerWithoutContentLength) {
    const QByteArray head = "HTTP/1.0 200 OK\r\nContent-Type: image/png\r\n"
                            "Last-Modified: Tue, 05 Mar 2024 10:20:30 GMT\r\n\r\n";
    ScriptedSession peer(Script::HttpReply(head, Picture(7, 5, Qt::yellow)));
    TImage image;
    TKvRemoteImage r;
    r.SetHost(QStringLiteral("127.0.0.1"));
    r.SetPort(peer.Port());
    r.SetRemoteFileName(QStringLiteral("/still.png"));
    r.SetImage(&image);
    EXPECT_TRUE(r.Execute()) << r.LastError().toStdString();
    EXPECT_EQ(r.Status(), isFinished);
    EXPECT_EQ(r.RemoteFileSize(), 0);
    EXPECT_EQ(DecodePicture(image.Picture()).size(), QSize(7, 5));
    image.SetPicture(QByteArray());
    EXPECT_TRUE(r.Execute());
    EXPECT_EQ(r.Status(), isSkipped);
    EXPECT_EQ(DecodePicture(image.Picture()).size(), QSize(7, 5));
}

TEST_F(RemoteImageTest, FreedHolderExceptionsAndTheCopy) {
    const QString remote = Serve("free.png", Picture(4, 4, Qt::red), T1);
    TRecorded r;
    Http(r, remote);
    const QString copy = r.LocalFileName();
    EXPECT_TRUE(copy.endsWith(".png"));
    auto* image = new TImage;
    r.SetImage(image);
    delete image;
    EXPECT_EQ(r.Image(), nullptr);
    EXPECT_TRUE(r.Execute()); // downloads, loads nothing
    EXPECT_EQ(r.Status(), isFinished);
    EXPECT_TRUE(QFile::exists(copy));

    // An exception inside a timer refresh never reaches the event loop: reported, the timer stopped.
    QStringList errors;
    SetMessageDlgHandler([&errors](TMsgDlgType Type, const QString& Text, unsigned) {
        if (Type == mtError)
            errors << Text;
        return int(mrOk);
    });
    r.SetOnBeforeExecute([](QObject*) { throw Exception(QStringLiteral("handler failed")); });
    r.SetInterval(10);
    r.Start();
    ASSERT_TRUE(Spin([&errors] { return !errors.isEmpty(); }));
    EXPECT_TRUE(errors.first().contains("handler failed"));
    EXPECT_FALSE(r.Active());
    QDeadlineTimer wait(100);
    while (!wait.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(errors.size(), 1);

    // A new name deletes the copy at once.
    r.SetRemoteFileName(QStringLiteral("/other.gif"));
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_TRUE(r.LocalFileName().endsWith(".gif"));
}

TEST_F(RemoteImageTest, ShownInALabel) {
    TImage image;
    QLabel label;
    BindImageToLabel(&image, &label);
    TKvRemoteImage r;
    Http(r, Serve("label.png", Picture(40, 30, Qt::darkCyan), T1));
    r.SetImage(&image);
    EXPECT_TRUE(r.Execute());
    ASSERT_EQ(label.pixmap().size(), QSize(40, 30));
    EXPECT_EQ(label.pixmap().toImage().pixelColor(20, 15), QColor(Qt::darkCyan));
    label.show();
    KvTest::SaveScreenshot(&label, QStringLiteral("remote-image-label"));
}

TEST_F(RemoteImageTest, Command) {
    const QByteArray png = Picture(9, 7, Qt::magenta);
    const QString url = QStringLiteral("http://127.0.0.1:%1%2").arg(Port).arg(Serve("cmd.png", png, T1));
    const QString out = Dir.filePath("shown.png");
    ProcessResult r = Kvinet({"image", url, "--out", out, "--interval", "20", "--count", "2"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, "finished 9x7\nskipped 9x7\n");
    EXPECT_EQ(QImage(out).convertToFormat(QImage::Format_RGB32),
              QImage::fromData(png).convertToFormat(QImage::Format_RGB32));

    const QString page =
        QStringLiteral("http://127.0.0.1:%1%2").arg(Port).arg(Serve("page.jpg", "<html></html>", T1));
    r = Kvinet({"image", page, "--out", Dir.filePath("none.png")});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Out, "failed 0x0\n");
    EXPECT_TRUE(r.Err.contains("not a picture")) << r.Err.constData();
    EXPECT_FALSE(QFile::exists(Dir.filePath("none.png")));
    EXPECT_EQ(Kvinet({"image", url}).ExitCode, 2);
    EXPECT_EQ(Kvinet({"image", url, "--out", out, "--interval", "0"}).ExitCode, 2);
}

} // namespace
