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

TEST(KvinetToolTest, HelpListsEveryRegisteredCommandByGroup) {
    const auto r = Kvinet({QStringLiteral("--help")});
    ASSERT_EQ(r.ExitCode, 0);
    qsizetype last = -1;
    for (const char* name :
         {"about", "util", "daytime", "dns", "http", "smtp", "sntp", "whois", "xml", "update"}) {
        const qsizetype at = r.Out.indexOf(QByteArray("\n  ") + name + ' ');
        EXPECT_GT(at, last) << name << " missing or out of order:\n" << r.Out.constData();
        last = at;
    }
}

TEST(KvinetToolTest, CommonOptionsACommandCannotHonourAreUsageErrors) {
    struct Case {
        QStringList Args;
        bool Known;
    };
    // Every case stops before any network traffic: at the unknown option, or at --help after a known one.
    const Case cases[] = {
        {{"daytime", "--cafile", "x"}, false},
        {{"daytime", "--proxy", "h:1"}, false},
        {{"sntp", "--proxy-user", "u"}, false},
        {{"dns", "n", "--proxy", "h:1"}, false},
        {{"smtp", "--proxy", "h:1"}, false},
        {{"whois", "--cafile", "x"}, false},
        {{"http", "--cafile", "x"}, false},
        {{"update", "--max-size", "1"}, false},
        {{"update", "--host", "h"}, false},
        {{"xml", "--verbose"}, false},
        {{"whois", "--max-time", "1", "--max-size", "10", "--help"}, true},
        {{"smtp", "--cafile", "x", "--help"}, true},
        {{"whois", "--proxy", "h:1", "--proxy-user", "u", "--help"}, true},
        {{"update", "--max-time", "1", "--cafile", "x", "--user", "u", "--help"}, true},
        {{"daytime", "--timeout", "1", "--verbose", "--help"}, true},
    };
    for (const Case& c : cases) {
        const auto r = Kvinet(c.Args);
        EXPECT_EQ(r.ExitCode, c.Known ? 0 : 2) << c.Args.join(u' ').toStdString() << "\n"
                                               << r.Err.constData();
        if (!c.Known) {
            EXPECT_TRUE(r.Err.contains("unknown option")) << r.Err.constData();
        }
    }
}
