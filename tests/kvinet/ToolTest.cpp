// The kvinet tool: exit codes, help, and the util commands' exact output bytes.
#include "support/TestSupport.h"

using KvTest::Kvinet;

TEST(KvinetToolTest, HelpAndUsageErrors) {
    auto r = Kvinet({QStringLiteral("--help")});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.contains("about")) << r.Out.constData();
    EXPECT_EQ(Kvinet({}).ExitCode, 2);
    r = Kvinet({QStringLiteral("frobnicate")});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_TRUE(r.Err.contains("unknown command"));
    EXPECT_EQ(Kvinet({QStringLiteral("util"), QStringLiteral("--bogus")}).ExitCode, 2);
    EXPECT_EQ(Kvinet({QStringLiteral("util"), QStringLiteral("base64")}).ExitCode, 2);
    EXPECT_EQ(Kvinet({QStringLiteral("util"), QStringLiteral("column"), QStringLiteral("a"),
                      QStringLiteral("x"), QStringLiteral(",")})
                  .ExitCode,
              2);
    r = Kvinet({QStringLiteral("util"), QStringLiteral("--help")});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.contains("utf8-decode"));
}

TEST(KvinetToolTest, AboutPrintsOneLinePerComponent) {
    const auto r = Kvinet({QStringLiteral("about")});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.contains("TKvWhoIs - "));
    EXPECT_TRUE(r.Out.contains("TKvMSTranslator - "));
    EXPECT_TRUE(r.Err.isEmpty());
}

TEST(KvinetToolTest, UtilCommandsPrintExactBytes) {
    struct Case {
        QStringList Args;
        QByteArray Out;
    };
    const Case cases[] = {
        {{"base64", "\u00E9"}, "w6k=\n"},
        {{"base64", "user:secret"}, "dXNlcjpzZWNyZXQ=\n"},
        {{"utf8-decode", "C3A9"}, "\xC3\xA9\n"},
        {{"utf8-decode", "F09F9880"}, "\xF0\x9F\x98\x80\n"},
        {{"utf8-decode", "61C3"}, "\n"},
        {{"html-decode", "x &lt; y &amp;&amp;"}, "x < y &&amp;\n"},
        {{"content-type", "page.html"}, "text/html\n"},
        {{"content-type", "noext"}, "application/octet-stream\n"},
        {{"column", "a,b,,d", "3", ","}, "d\n"},
        {{"column", "a,b,,d", "2", ","}, "\n"},
    };
    for (const Case& c : cases) {
        const auto r = Kvinet(QStringList{QStringLiteral("util")} + c.Args);
        EXPECT_EQ(r.ExitCode, 0) << c.Args.join(u' ').toStdString() << r.Err.constData();
        EXPECT_EQ(r.Out, c.Out) << c.Args.join(u' ').toStdString();
    }
    EXPECT_EQ(Kvinet({QStringLiteral("util"), QStringLiteral("utf8-decode"), QStringLiteral("C3A")}).ExitCode,
              2);
}
