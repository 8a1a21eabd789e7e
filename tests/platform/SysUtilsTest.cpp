// Strings, numbers, formatting, date-times and file names as the components rely on them.
#include "platform/SysUtils.h"
#include "platform/WireText.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace KvInet;

TEST(SysUtilsTest, TrimRemovesControlCharactersAndSpacesOnly) {
    EXPECT_EQ(Trim(QStringLiteral("\t\r\n  a b \x01\x1F ")), QStringLiteral("a b"));
    EXPECT_EQ(Trim(QStringLiteral("\u00A0x\u00A0")), QStringLiteral("\u00A0x\u00A0"))
        << "only codes up to U+0020";
    EXPECT_EQ(Trim(QStringLiteral("   ")), QString());
    EXPECT_EQ(TrimLeft(QStringLiteral(" a ")), QStringLiteral("a "));
    EXPECT_EQ(TrimRight(QStringLiteral(" a ")), QStringLiteral(" a"));
}

TEST(SysUtilsTest, CaseRoutinesTouchAsciiLettersOnly) {
    EXPECT_EQ(UpperCase(QStringLiteral("abc\u00E9z")), QStringLiteral("ABC\u00E9Z"));
    EXPECT_EQ(LowerCase(QStringLiteral("ABC\u00C9Z")), QStringLiteral("abc\u00C9z"));
    EXPECT_TRUE(SameText(QStringLiteral("Content-Length"), QStringLiteral("CONTENT-length")));
    EXPECT_FALSE(SameText(QStringLiteral("\u00E9"), QStringLiteral("\u00C9")));
    EXPECT_FALSE(SameText(QStringLiteral("abc"), QStringLiteral("abcd")));
}

TEST(SysUtilsTest, IntegerParsing) {
    struct Case {
        const char* Text;
        bool Valid;
        int Value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {"-17", true, -17},
        {"+5", true, 5},
        {"$FF", true, 255},
        {"0x1f", true, 31},
        {"-$10", true, -16},
        {"  12", true, 12},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"", false, 0},
        {"12a", false, 0},
        {"1 2", false, 0},
        {"-", false, 0},
        {"$", false, 0},
        {"12 ", false, 0},
        {"3.5", false, 0},
    };
    for (const Case& c : cases) {
        int v = -999;
        EXPECT_EQ(TryStrToInt(QString::fromLatin1(c.Text), v), c.Valid) << c.Text;
        if (c.Valid) {
            EXPECT_EQ(v, c.Value) << c.Text;
        }
        EXPECT_EQ(StrToIntDef(QString::fromLatin1(c.Text), -1), c.Valid ? c.Value : -1) << c.Text;
    }
    try {
        StrToInt(QStringLiteral("abc"));
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("'abc' is not a valid integer value"));
    }
    EXPECT_EQ(StrToInt64(QStringLiteral("5000000000")), int64_t(5000000000));
    EXPECT_EQ(IntToStr(-12), QStringLiteral("-12"));
}

TEST(SysUtilsTest, FormatDirectives) {
    EXPECT_EQ(Format(QStringLiteral("Downloaded %d of %d bytes (%d%%)"), {512, 1024, 50}),
              QStringLiteral("Downloaded 512 of 1024 bytes (50%)"));
    EXPECT_EQ(Format(QStringLiteral("%s=%s"), {QStringLiteral("a"), QStringLiteral("b")}),
              QStringLiteral("a=b"));
    EXPECT_EQ(Format(QStringLiteral("[%5d|%-4s|%.3d|%x]"), {42, QStringLiteral("ab"), 7, 255}),
              QStringLiteral("[   42|ab  |007|FF]"));
    EXPECT_EQ(Format(QStringLiteral("%1:s %0:s"), {QStringLiteral("world"), QStringLiteral("hello")}),
              QStringLiteral("hello world"));
    EXPECT_EQ(Format(QStringLiteral("%d"), {int64_t(5000000000)}), QStringLiteral("5000000000"));
    EXPECT_THROW(Format(QStringLiteral("%d"), {QStringLiteral("x")}), EConvertError);
    EXPECT_THROW(Format(QStringLiteral("%d %d"), {1}), EConvertError);
    EXPECT_THROW(Format(QStringLiteral("50%"), {}), EConvertError);
    EXPECT_THROW(Format(QStringLiteral("%q"), {1}), EConvertError);
}

TEST(SysUtilsTest, DatesCountDaysFrom30December1899) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
    EXPECT_EQ(EncodeDate(1970, 1, 1), double(UnixDateDelta));
    EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
    EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    EXPECT_DOUBLE_EQ(EncodeTime(6, 0, 0, 0), 0.25);

    for (const char* bad :
         {"2001-02-29", "2026-13-01", "2026-00-10", "2026-04-31", "0-01-01", "10000-01-01"}) {
        const QStringList p = QString::fromLatin1(bad).split(u'-');
        EXPECT_THROW(EncodeDate(p[0].toInt(), p[1].toInt(), p[2].toInt()), EConvertError) << bad;
    }
    EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
    EXPECT_NO_THROW(EncodeDate(9999, 12, 31));
    try {
        EncodeTime(24, 0, 0, 0);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid argument to time encode"));
    }
    EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
}

TEST(SysUtilsTest, DecodeRoundTripsEveryFewDaysAcrossCenturies) {
    for (int day = -693593; day <= 2958465; day += 997) {
        int y, m, d;
        DecodeDate(day, y, m, d);
        ASSERT_EQ(EncodeDate(y, m, d), double(day)) << day;
    }
    int h, n, s, ms;
    DecodeTime(EncodeDate(2026, 12, 7) + EncodeTime(23, 59, 59, 999), h, n, s, ms);
    EXPECT_EQ((std::array<int, 4>{h, n, s, ms}), (std::array<int, 4>{23, 59, 59, 999}));
    // Before 1899 the fraction still counts forward from midnight.
    const TDateTime before = EncodeDate(1899, 12, 29) - EncodeTime(6, 0, 0, 0);
    int y, m, d;
    DecodeDate(before, y, m, d);
    DecodeTime(before, h, n, s, ms);
    EXPECT_EQ((std::array<int, 4>{y, m, d, h}), (std::array<int, 4>{1899, 12, 29, 6}));
}

TEST(SysUtilsTest, DayOfWeekStartsOnSunday) {
    EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1); // a Sunday
    EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 7)), 2);
    EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7); // a Saturday
    EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);      // a Monday
}

TEST(SysUtilsTest, QDateTimeAndFileTimes) {
    const TDateTime when = EncodeDate(2024, 2, 29) + EncodeTime(13, 14, 15, 160);
    const QDateTime q = DateTimeToQDateTime(when);
    EXPECT_EQ(q.date(), QDate(2024, 2, 29));
    EXPECT_EQ(q.time(), QTime(13, 14, 15, 160));
    EXPECT_NEAR(QDateTimeToDateTime(q), when, 1e-9);
    EXPECT_EQ(UTCDateTimeToQDateTime(when).toUTC().time(), QTime(13, 14, 15, 160));
    EXPECT_NEAR(QDateTimeToUTCDateTime(QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC)), UnixDateDelta,
                1e-9);
    EXPECT_NEAR(Now(), QDateTimeToDateTime(QDateTime::currentDateTime()), 2.0 / SecsPerDay);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stamp.txt"));
    TDateTime age = 0;
    EXPECT_FALSE(FileAge(path, age));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const TDateTime stamp = EncodeDate(2020, 5, 17) + EncodeTime(8, 30, 0, 0);
    ASSERT_TRUE(FileSetDate(path, stamp));
    ASSERT_TRUE(FileAge(path, age));
    EXPECT_NEAR(age, stamp, 1.0 / SecsPerDay);
    EXPECT_FALSE(FileSetDate(dir.filePath(QStringLiteral("missing")), stamp));
}

TEST(SysUtilsTest, FileNameRoutines) {
    EXPECT_EQ(ExtractFileExt(QStringLiteral("/a.b/report.tar.gz")), QStringLiteral(".gz"));
    EXPECT_EQ(ExtractFileExt(QStringLiteral("/a.b/README")), QString());
    EXPECT_EQ(ExtractFileExt(QStringLiteral("name.")), QStringLiteral("."));
    EXPECT_EQ(ChangeFileExt(QStringLiteral("/opt/app/prog.exe"), QStringLiteral(".BAT")),
              QStringLiteral("/opt/app/prog.BAT"));
    EXPECT_EQ(ChangeFileExt(QStringLiteral("/opt/a.d/prog"), QStringLiteral(".sh")),
              QStringLiteral("/opt/a.d/prog.sh"));
    EXPECT_EQ(ExtractFileName(QStringLiteral("/x/y/z.txt")), QStringLiteral("z.txt"));
    EXPECT_EQ(ExtractFilePath(QStringLiteral("/x/y/z.txt")), QStringLiteral("/x/y/"));
    EXPECT_EQ(ExtractFileName(QStringLiteral("plain")), QStringLiteral("plain"));

    QTemporaryDir dir;
    EXPECT_FALSE(FileExists(dir.path())) << "a directory is not a file";
    EXPECT_TRUE(DirectoryExists(dir.path()));
    EXPECT_FALSE(FileExists(QString()));
    QFile f(dir.filePath(QStringLiteral("f")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    EXPECT_TRUE(FileExists(f.fileName()));
}

TEST(WireTextTest, LowBytesOfLongTexts) {
    // Long enough for the wide paths, with characters above U+00FF at odd places among plain ones.
    QString text;
    QByteArray expected;
    for (int i = 0; i < 1000; ++i) {
        const char16_t c = i % 7 == 3 ? char16_t(0x100 + i) : i % 11 == 5 ? u'\xff' : char16_t(i % 256);
        text += QChar(c);
        expected += char(c & 0xFF);
    }
    EXPECT_EQ(WireToBytes(text), expected);
    for (const qsizetype from : {0, 1, 15, 17}) {
        QByteArray out(text.size() - from + 1, 'z');
        WireToBytes(QStringView(text).mid(from), out.data());
        EXPECT_EQ(out, expected.mid(from) + 'z') << "from " << from << ", nothing written past the end";
    }
}

TEST(WireTextTest, OneCharacterPerByteBothWays) {
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    const QString wire = BytesToWire(all);
    ASSERT_EQ(wire.size(), 256);
    EXPECT_EQ(wire[0].unicode(), 0);
    EXPECT_EQ(wire[255].unicode(), 255);
    EXPECT_EQ(WireToBytes(wire), all);
    EXPECT_EQ(WireToBytes(QStringLiteral("\u0141A")), QByteArray("\x41\x41")) << "low byte only";

    QString appended = QStringLiteral("x");
    AppendWire(appended, all.constData() + 250, 6);
    EXPECT_EQ(appended, QStringLiteral("x") + wire.right(6));
    EXPECT_EQ(StringToAnsi(QStringLiteral("\u00E9\u20AC")), QByteArray("\xE9?"));
}
