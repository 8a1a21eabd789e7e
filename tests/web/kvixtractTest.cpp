// test-servers: nginx ftp
// The info extractor: the scan's rules as a table on local bytes, one fetch per service (HTTP, FTP, a
// path), the private copy's life, the limit on what is kept, and kvinet extract.
#include "web/kvixtract.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QTemporaryDir>

using namespace KvInet;
using namespace KvTest;

namespace {

QStringList Scan(const QByteArray& Data, const char* Prefix) {
    QStringList found;
    KvIExtractScan(Data, Prefix, [&found](QByteArrayView Stretch) {
        found << QString::fromLatin1(Stretch);
        return true;
    });
    return found;
}

TEST(InfoExtractor, PrefixesByKind) {
    const QMetaEnum kinds = QMetaEnum::fromType<TKvIExtract>();
    const char* const expected[][2] = {
        {"ieMailTo", "mailto:"}, {"ieHTTP", "http://"},     {"itHTTPS", "https://"},
        {"itFTP", "ftp://"},     {"itFile", "file://"},     {"itTelnet", "telnet:"},
        {"itNews", "news:"},     {"itGopher", "gopher://"}, {"itWais", "wais:"}};
    ASSERT_EQ(kinds.keyCount(), 9);
    for (int i = 0; i < 9; ++i) {
        EXPECT_STREQ(kinds.valueToKey(i), expected[i][0]);
        EXPECT_STREQ(KvIExtractPrefix[i], expected[i][1]);
    }
    TKvInfoExtractor x;
    EXPECT_EQ(x.Extract(), ieMailTo);
    x.SetExtract(TKvIExtract(42)); // a stored form's stray number changes nothing
    EXPECT_EQ(x.Extract(), ieMailTo);
}

TEST(InfoExtractor, ScanRules) {
    struct Case {
        const char* Name;
        QByteArray Data;
        const char* Prefix;
        QStringList Found;
    } cases[] = {
        {"href value up to the quote", "<a href=\"mailto:a@b.example\">", "mailto:", {"mailto:a@b.example"}},
        {"case-sensitive", "MAILTO:a@b mailto:c@d", "mailto:", {"mailto:c@d"}},
        {"duplicates kept, in order",
         "http://a http://b http://a",
         "http://",
         {"http://a", "http://b", "http://a"}},
        {"ends right after the prefix", "see http://", "http://", {"http://"}},
        {"ends inside the prefix", "see http:/", "http://", {}},
        {"apostrophes and parentheses stay", "http://x/(a)'b c", "http://", {"http://x/(a)'b"}},
        {"line break ends it", "http://x/a\r\nnext http://y\nz", "http://", {"http://x/a", "http://y"}},
        {"tab and DEL end it", "http://x\tq http://y\x7fq", "http://", {"http://x", "http://y"}},
        {"bytes above 127 are kept",
         "http://caf\xe9/\xff end",
         "http://",
         {QString::fromLatin1("http://caf\xe9/\xff")}},
        {"a NUL ends the scan", QByteArray("mailto:a\0mailto:b", 17), "mailto:", {"mailto:a"}},
        {"a NUL before ends it too", QByteArray("x\0mailto:b", 10), "mailto:", {}},
        {"a prefix right after a terminator", "<http://a>http://b", "http://", {"http://a", "http://b"}},
        {"overlapping start", "hhttp://a", "http://", {"http://a"}},
        {"other kinds", "news:comp.lang telnet:host gopher://g wais:w", "telnet:", {"telnet:host"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(Scan(c.Data, c.Prefix), c.Found);
    }
    // Every terminator, each alone after a prefix.
    for (const char t : QByteArray(" \"#%<>[\\]^`{|}~", 15) + QByteArray("\x01\x1f", 2)) {
        SCOPED_TRACE(int(t));
        EXPECT_EQ(Scan(QByteArray("ftp://h") + t + "x", "ftp://"), QStringList({"ftp://h"}));
    }
}

class ExtractorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qunsetenv("http_proxy");
        qunsetenv("HTTP_PROXY");
    }
    void TearDown() override {
        for (const QString& f : Served)
            QFile::remove(f);
    }
    /// Puts Data under Name in Root (world-readable) and returns the full path.
    QString Serve(const QString& Root, const QString& Name, const QByteArray& Data) {
        const QString path = Root + u'/' + Name;
        WriteFile(path, Data);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther);
        Served << path;
        return path;
    }
    QTemporaryDir Dir;
    QStringList Served;
};

const QByteArray Page = "<html><a href=\"mailto:one@example.org\">one</a>\n"
                        "<p>Write to mailto:two@example.org or MAILTO:no@example.org.</p>\n"
                        "<a href='http://www.example.org/a(b)'>x</a> http://end\n";

TEST_F(ExtractorTest, OneFetchPerService) {
    const QString name = QStringLiteral("x%1.html").arg(qint64(QCoreApplication::applicationPid()));
    Serve(ServerEnv("nginx", "KV_NGINX_ROOT"), name, Page);
    Serve(ServerEnv("ftp", "KV_FTP_ROOT"), name, Page);
    const QString local = Serve(Dir.path(), name, Page);
    struct Case {
        const char* Name;
        TKvIService Service;
        int Port;
        QString Remote;
    } cases[] = {{"HTTP", isHTTP, ServerPort("nginx", "KV_NGINX_PORT"), u'/' + name},
                 {"FTP", isFTP, ServerPort("ftp", "KV_FTP_PORT"), u'/' + name},
                 {"path", isNetwork, 0, local}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TKvInfoExtractor x;
        x.SetService(c.Service);
        x.SetHost(QStringLiteral("127.0.0.1"));
        if (c.Port)
            x.SetPort(c.Port);
        x.SetRemoteFileName(c.Remote);
        EXPECT_TRUE(QFileInfo(x.LocalFileName()).fileName().endsWith(".html"));
        EXPECT_TRUE(x.Execute()) << x.LastError().toStdString();
        EXPECT_EQ(x.Status(), isFinished);
        EXPECT_EQ(x.ExtractedInfo()->ToStringList(),
                  QStringList({"mailto:one@example.org", "mailto:two@example.org"}));
        // Unchanged: not downloaded again, the kept copy parsed again.
        x.SetExtract(ieHTTP);
        EXPECT_TRUE(x.Execute());
        EXPECT_EQ(x.Status(), isSkipped);
        EXPECT_EQ(x.ExtractedInfo()->ToStringList(),
                  QStringList({"http://www.example.org/a(b)'", "http://end"}));
    }
}

TEST_F(ExtractorTest, PrivateCopyLifeAndFailures) {
    const QString page = Serve(Dir.path(), "page.htm", Page);
    QString copy;
    {
        TKvInfoExtractor x;
        x.SetService(isNetwork);
        x.SetRemoteFileName(page);
        copy = x.LocalFileName();
        EXPECT_TRUE(copy.endsWith(".htm"));
        EXPECT_TRUE(x.Execute());
        EXPECT_TRUE(QFile::exists(copy));
        // A new name deletes the copy at once; a name without an extension gives a copy without one.
        x.SetRemoteFileName(Dir.filePath("plain"));
        EXPECT_FALSE(QFile::exists(copy));
        EXPECT_EQ(QFileInfo(x.LocalFileName()).suffix(), "");
        // Not found, no copy: nothing parsed, the last list kept.
        EXPECT_TRUE(x.Execute());
        EXPECT_EQ(x.Status(), isNotFound);
        EXPECT_EQ(x.ExtractedInfo()->Count(), 2);

        // A page within MaxReplySize whose texts take more memory than it allows (two lines of 22
        // characters count 124 bytes each): a failure, what fits kept.
        x.SetRemoteFileName(page);
        x.SetMaxReplySize(200);
        EXPECT_FALSE(x.Execute());
        EXPECT_EQ(x.Status(), isFailed);
        EXPECT_EQ(x.ExtractedInfo()->ToStringList(), QStringList({"mailto:one@example.org"}));
        EXPECT_TRUE(x.LastError().contains("200 bytes of memory")) << x.LastError().toStdString();
        copy = x.LocalFileName();
    }
    // Gone with the component, its directory too.
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(copy).path()));

    // No server: failed, nothing parsed.
    TKvInfoExtractor x;
    x.SetService(isFTP);
    x.SetHost(QStringLiteral("127.0.0.1"));
    x.SetPort(1);
    x.SetRemoteFileName(QStringLiteral("/page.html"));
    EXPECT_FALSE(x.Execute());
    EXPECT_EQ(x.Status(), isFailed);
}

TEST_F(ExtractorTest, Command) {
    const QString page = Serve(Dir.path(), "p.html", "a http://caf\xe9/x\nb http://b\"mailto:m\r\n");
    ProcessResult r = Kvinet({"extract", page, "--kind", "http"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.constData();
    EXPECT_EQ(r.Out, "http://caf\xe9/x\nhttp://b\n"); // the bytes as found
    r = Kvinet({"extract",
                QStringLiteral("http://127.0.0.1:%1/none.html").arg(ServerPort("nginx", "KV_NGINX_PORT")),
                "--kind", "mailto"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_TRUE(r.Err.contains("404")) << r.Err.constData();
    EXPECT_EQ(Kvinet({"extract", page, "--kind", "MAILTO"}).ExitCode, 2);
    EXPECT_EQ(Kvinet({"extract", page}).ExitCode, 2);
}

} // namespace
