// test-servers: nginx
// The transfer layer's own pieces: FTP listing lines, wildcards, URL paths, names shown escaped, and the
// handle tree (closing a parent closes what was opened under it).
#include "platform/Inet.h"

#include "platform/System.h"

#include "support/TestSupport.h"

using namespace KvInet;
using namespace KvTest;

namespace {

TEST(Inet, FtpListLines) {
    TInetFindData d;
    // pyftpdlib and vsftpd forms.
    ASSERT_TRUE(ParseFtpListLine("-rw-r--r--   1 root     root           47 Dec 07 08:16 hello.txt", d));
    EXPECT_EQ(d.FileName, "hello.txt");
    EXPECT_EQ(d.FileSize, 47);
    EXPECT_FALSE(d.IsDirectory);
    ASSERT_TRUE(ParseFtpListLine("drwxr-xr-x    2 0        0            4096 Mar 05  2024 my dir", d));
    EXPECT_EQ(d.FileName, "my dir");
    EXPECT_TRUE(d.IsDirectory);
    EXPECT_EQ(d.LastWriteTime, QDateTime(QDate(2024, 3, 5), QTime(0, 0), Qt::UTC));
    ASSERT_TRUE(ParseFtpListLine("lrwxrwxrwx 1 u g 7 Jan 01 2020 latest -> v1.2.3", d));
    EXPECT_EQ(d.FileName, "latest");
    ASSERT_TRUE(ParseFtpListLine("12-07-26  08:05PM       <DIR>          Folder", d));
    EXPECT_TRUE(d.IsDirectory);
    EXPECT_EQ(d.LastWriteTime, QDateTime(QDate(2026, 12, 7), QTime(20, 5), Qt::UTC));
    ASSERT_TRUE(ParseFtpListLine("03-05-24  10:20AM                 1234 file.zip", d));
    EXPECT_EQ(d.FileSize, 1234);
    EXPECT_EQ(d.FileName, "file.zip");
    // Read one byte per character: a name's last byte 0xA0 (of a UTF-8 letter) is no space to trim, and a
    // line break is part of the name.
    ASSERT_TRUE(ParseFtpListLine(QString::fromLatin1("-rw-r--r-- 1 u g 5 Jan 01 2020 voil\xC3\xA0\r\n"), d));
    EXPECT_EQ(d.FileName.toLatin1(), "voil\xC3\xA0");
    ASSERT_TRUE(ParseFtpListLine("-rw-r--r-- 1 u g 5 Jan 01 2020 a\nb", d));
    EXPECT_EQ(d.FileName, "a\nb");
    EXPECT_FALSE(ParseFtpListLine("total 12", d));
    EXPECT_FALSE(ParseFtpListLine("", d));
    EXPECT_FALSE(ParseFtpListLine("garbage line", d));
}

// Only what is not text, or would drive a terminal, is escaped; UTF-8 is checked strictly.
TEST(Inet, NamesShownEscaped) {
    const struct {
        QByteArray Bytes;
        bool Utf8;
        QString Shown;
    } cases[] = {
        {"caf\xC3\xA9 \xE2\x82\xAC", true, QString::fromUtf8("caf\xC3\xA9 \xE2\x82\xAC")},
        {"a\\b\r\n\t\x01\x7F", true, "a\\\\b\\r\\n\\t\\x01\\x7f"},
        {"\xC2\x85", true, "\\x85"},                               // C1 control
        {"\xFFx", false, "\\xffx"},                                // never a UTF-8 byte
        {"\xC0\x80", false, "\\xc0\\x80"},                         // overlong
        {"\xED\xA0\x80", false, "\\xed\\xa0\\x80"},                // a surrogate
        {"\xF4\x90\x80\x80", false, "\\xf4\\x90\\x80\\x80"},       // above U+10FFFF
        {"\xE2\x82", false, "\\xe2\\x82"},                         // cut short
        {"\xE2\x80\xAEtxt.exe\xFF", false, "\\u202etxt.exe\\xff"}, // a right-to-left override
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Bytes.toHex().toStdString());
        EXPECT_EQ(IsUtf8(c.Bytes), c.Utf8);
        EXPECT_EQ(EscapeBytes(c.Bytes), c.Shown);
    }
}

TEST(Inet, Wildcards) {
    EXPECT_TRUE(InetWildcardMatch("*", "anything"));
    EXPECT_TRUE(InetWildcardMatch("*.txt", "a.txt"));
    EXPECT_FALSE(InetWildcardMatch("*.txt", "sub"));
    EXPECT_FALSE(InetWildcardMatch("*.txt", "a.txt.bak"));
    EXPECT_TRUE(InetWildcardMatch("a?c*", "abcdef"));
    EXPECT_FALSE(InetWildcardMatch("a?c", "ac"));
    EXPECT_TRUE(InetWildcardMatch("*a*b*", "xxaxxbxx"));
    EXPECT_FALSE(InetWildcardMatch("*.TXT", "a.txt"));
    // "*.*" is every name, with or without a dot; "NAME.*" also the name without an extension.
    for (const char* name : {"README", "a.txt", ".hidden", "archive.tar.gz", "dir."})
        EXPECT_TRUE(InetWildcardMatch("*.*", name)) << name;
    EXPECT_TRUE(InetWildcardMatch("setup.*", "setup"));
    EXPECT_TRUE(InetWildcardMatch("setup.*", "setup.exe"));
    EXPECT_FALSE(InetWildcardMatch("setup.*", "setupx"));
}

TEST(Inet, UrlPaths) {
    EXPECT_EQ(InetEncodePath("/a b/c%20d?x=1", false), "/a%20b/c%20d?x=1");
    EXPECT_EQ(InetEncodePath("sp ace#1.txt", true), "sp%20ace%231.txt");
    EXPECT_EQ(InetEncodePath(QString::fromUtf8("é"), true), "%C3%A9");
    EXPECT_EQ(InetServerUrl("http", "::1", 80), "http://[::1]:80");
}

TEST(Inet, ClosingAParentClosesItsChildren) {
    TInetSessionSettings settings;
    settings.Agent = "test";
    QString error;
    std::unique_ptr<TInetSession> session = TInetSession::Open(settings, error);
    ASSERT_TRUE(session);
    std::unique_ptr<TInetConnection> connection =
        session->Connect("127.0.0.1", ServerPort("nginx", "KV_NGINX_PORT"), QString(), QString(),
                         INTERNET_SERVICE_HTTP, error);
    ASSERT_TRUE(connection);
    std::unique_ptr<TInetRequest> request = connection->OpenRequest("/index.html", false, error);
    ASSERT_TRUE(request);
    ASSERT_TRUE(request->Send());
    EXPECT_EQ(request->StatusCode(), 200);
    char block[16];
    EXPECT_EQ(request->Read(block, sizeof block), 16);

    session->Close();
    EXPECT_TRUE(connection->Closed());
    EXPECT_TRUE(request->Closed());
    EXPECT_EQ(request->Read(block, sizeof block), -1);
    EXPECT_FALSE(request->Send());
    session.reset(); // children outliving their parent are harmless
    request.reset();
    connection.reset();
}

} // namespace
