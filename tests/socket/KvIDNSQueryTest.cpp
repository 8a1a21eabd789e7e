// The DNS query bytes and the answer decoder, without a server.
#include "socket/KvIDNS.h"

#include "platform/WireText.h"

#include <gtest/gtest.h>

using namespace KvInet;

namespace {

QByteArray Hex(const char* Text) {
    return QByteArray::fromHex(QByteArray(Text).replace(' ', ""));
}

// Hex text, so that a failure shows the bytes readably.
std::string HexOf(const QByteArray& Bytes) {
    return Bytes.toHex(' ').toStdString();
}

QByteArray Query(const TKvIDNSRequests& Requests, const QString& Domain) {
    return WireToBytes(BuildDNSQuery(Requests, Domain));
}

// ---- the query -------------------------------------------------------------------------------------------

TEST(DNSQuery, OneTypeIsTheDocumentedMessage) {
    // Length 0x21, id 12 A2, flags 01 00, one question, labels www/example/com, type 1, class 1.
    const QByteArray expected = Hex("0021 12A2 0100 0001 0000 0000 0000"
                                    "03 777777 07 6578616d706c65 03 636f6d 00 0001 0001");
    EXPECT_EQ(HexOf(Query({irA}, QStringLiteral("www.example.com"))), HexOf(expected));
    // A final full stop gives the same labels.
    EXPECT_EQ(HexOf(Query({irA}, QStringLiteral("www.example.com."))), HexOf(expected));
}

TEST(DNSQuery, TypeCodesFollowTheTable) {
    const uint16_t codes[] = {255, 1, 2, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 252, 253, 28, 33};
    for (int i = 0; i < KvIDNSRequestCount; ++i) {
        EXPECT_EQ(DNSRequestTypeCode(TKvIDNSRequest(i)), codes[i]) << i;
        const QByteArray q = Query({TKvIDNSRequest(i)}, QStringLiteral("a"));
        if (TKvIDNSRequest(i) == irPTR)
            continue;
        ASSERT_EQ(q.size(), 2 + 12 + 3 + 4);
        EXPECT_EQ((uchar(q[17]) << 8) | uchar(q[18]), codes[i]) << i;
    }
}

TEST(DNSQuery, PointerQuestionReversesTheAddress) {
    const QByteArray expected = Hex("0027 12A2 0100 0001 0000 0000 0000"
                                    "01 33 01 32 01 31 02 3130 07 696e2d61646472 04 61727061 00 000C 0001");
    EXPECT_EQ(HexOf(Query({irPTR}, QStringLiteral("10.1.2.3"))), HexOf(expected));
}

TEST(DNSQuery, SeveralTypesGoAsOneMessageEach) {
    // irMX and irA in any order: type 1 first (id 12 A2), then type 15 (id 12 A3), each with its own length.
    const QByteArray expected = Hex("0014 12A2 0100 0001 0000 0000 0000 02 6d78 00 0001 0001"
                                    "0014 12A3 0100 0001 0000 0000 0000 02 6d78 00 000F 0001");
    EXPECT_EQ(HexOf(Query({irMX, irA}, QStringLiteral("mx"))), HexOf(expected));
    // PTR among others: only its question is reversed.
    const QByteArray mixed = Query({irA, irPTR}, QStringLiteral("1.2"));
    EXPECT_EQ(HexOf(mixed),
              HexOf(Hex("0015 12A2 0100 0001 0000 0000 0000 01 31 01 32 00 0001 0001"
                        "0022 12A3 0100 0001 0000 0000 0000 01 32 01 31 07 696e2d61646472 04 61727061 00"
                        "000C 0001")));
}

TEST(DNSQuery, NothingToAskGivesNoQuery) {
    EXPECT_TRUE(BuildDNSQuery({}, QStringLiteral("example.com")).isEmpty());
    EXPECT_TRUE(BuildDNSQuery({irA}, QString()).isEmpty());
}

TEST(DNSQuery, EmptyLabelsAreRefusedAndTheRootIsNoLabel) {
    // An empty label would end the name early for every reader of the message.
    for (const char* domain : {"a..b", ".a", "a.b..", ".."})
        EXPECT_THROW(BuildDNSQuery({irA}, QString::fromLatin1(domain)), EKvIDNSError) << domain;
    try {
        BuildDNSQuery({irA}, QStringLiteral("a..b"));
    } catch (const EKvIDNSError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("The domain \"a..b\" has an empty label"));
    }
    // "." alone is the root: the name is the zero byte.
    EXPECT_EQ(HexOf(Query({irNS}, QStringLiteral(".")).mid(14)), HexOf(Hex("00 0002 0001")));
}

TEST(DNSQuery, NamesBeyondAsciiGoInTheirIDNAForm) {
    // As QUrl::toAce gives them (as dig does), not as raw Latin-1 bytes.
    EXPECT_EQ(HexOf(Query({irA}, QStringLiteral("b\u00fccher.example")).mid(14)),
              HexOf(Hex("0d 786e2d2d62636865722d6b7661 07 6578616d706c65 00 0001 0001")));
    EXPECT_EQ(HexOf(Query({irA}, QStringLiteral("\u0436.example.")).mid(14)),
              HexOf(Hex("07 786e2d2d663161 07 6578616d706c65 00 0001 0001")));
    // Plain ASCII keeps its case and bytes.
    EXPECT_EQ(HexOf(Query({irA}, QStringLiteral("WwW.Example")).mid(14)),
              HexOf(Hex("03 577757 07 4578616d706c65 00 0001 0001")));
    // Control characters never reach a label (nor an error text).
    try {
        BuildDNSQuery({irA}, QStringLiteral("a\rb.example"));
        ADD_FAILURE() << "a control character was written";
    } catch (const EKvIDNSError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("The domain holds a control character (U+000D)"));
    }
}

TEST(DNSQuery, NamesThatCannotBeEncodedAreRefused) {
    const QString label63(63, u'x');
    EXPECT_NO_THROW(BuildDNSQuery({irA}, label63 + QStringLiteral(".example")));
    EXPECT_THROW(BuildDNSQuery({irA}, label63 + QStringLiteral("x.example")), EKvIDNSError);
    // Four 63-byte labels: 4 * 64 + 1 = 257 bytes.
    const QString long4 = QStringList(4, label63).join(u'.');
    EXPECT_THROW(BuildDNSQuery({irA}, long4), EKvIDNSError);
    // 253 characters in labels of 1..63 still fit (255 bytes with the lengths and the root).
    const QString fits = QStringList(3, label63).join(u'.') + u'.' + QString(61, u'y');
    EXPECT_EQ(fits.size(), 253);
    EXPECT_NO_THROW(BuildDNSQuery({irA}, fits));
    // In-addr.arpa makes a reverse name 13 bytes longer.
    EXPECT_THROW(BuildDNSQuery({irPTR}, fits), EKvIDNSError);
    try {
        BuildDNSQuery({irA}, label63 + QStringLiteral("x.example"));
    } catch (const EKvIDNSError& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("63"))) << e.what();
    }
}

// ---- the decoder -----------------------------------------------------------------------------------------

// A response to "test.example" type ANY with one record of every decoded kind; names after the first are
// compressed against offset 12 (the question's name).
QByteArray FullResponse() {
    return Hex("abcd 8580 0000 000a 0000 0000"
               // the answers, all owned by c00c = test.example.
               "c00c 0001 0001 00000e10 0004 c0000201"                          // A 192.0.2.1
               "c00c 001c 0001 0000003c 0010 20010db8000000000000000000000010"  // AAAA 2001:db8::10
               "c00c 0002 0001 0000003c 0005 026e73 c00c"                       // NS ns.test.example.
               "c00c 0005 0001 0000003c 0002 c00c"                              // CNAME test.example.
               "c00c 000f 0001 0000003c 0009 000a 046d61696c c00c"              // MX 10 mail.test.example.
               "c00c 0010 0001 0000003c 000e 0261 22 0462 5c2063 05 632e20e90a" // TXT
               "c00c 000d 0001 0000003c 0008 03 783836 03 4f5321"               // HINFO "x86" "OS!"
               "c00c 0021 0001 0000003c 000c 0001 0002 13c4 03 736970 c00c" // SRV 1 2 5060 sip.test.example.
               "c00c 0006 0001 0000003c 0026 026e73 c00c 0a686f73746d6173746572 c00c"
               "78abcdef 00000e10 00000384 00093a80 00000258" // SOA
               "c00c 0063 0001 0000003c 0003 abcdef");        // TYPE99
}

QByteArray WithQuestion(QByteArray Message) {
    // Sets the question count to 1 and puts "test.example. ANY IN" after the header.
    Message[5] = 1;
    return Message.left(12) + Hex("04 74657374 07 6578616d706c65 00 00ff 0001") + Message.mid(12);
}

TEST(DNSAnswer, DecodesEveryKnownTypeWithCompression) {
    const TKvIDNSAnswer answer(WithQuestion(FullResponse()), dfMessage);
    ASSERT_EQ(answer.Messages().size(), 1);
    EXPECT_FALSE(answer.Malformed()) << answer.Problem().toStdString();
    const TKvIDNSMessage& m = answer.Messages()[0];
    EXPECT_EQ(m.ID, 0xabcd);
    EXPECT_TRUE(m.QR);
    EXPECT_TRUE(m.AA);
    EXPECT_TRUE(m.RD);
    EXPECT_TRUE(m.RA);
    EXPECT_FALSE(m.TC);
    EXPECT_EQ(m.RCode, 0);
    ASSERT_EQ(m.Questions.size(), 1);
    EXPECT_EQ(m.Questions[0].Name, QStringLiteral("test.example."));
    EXPECT_EQ(m.Questions[0].QType, 255);
    QStringList lines;
    for (const TKvIDNSRecord& r : m.Answers)
        lines << r.Text();
    const QStringList expected = {
        QStringLiteral("test.example. 3600 IN A 192.0.2.1"),
        QStringLiteral("test.example. 60 IN AAAA 2001:db8::10"),
        QStringLiteral("test.example. 60 IN NS ns.test.example."),
        QStringLiteral("test.example. 60 IN CNAME test.example."),
        QStringLiteral("test.example. 60 IN MX 10 mail.test.example."),
        QStringLiteral("test.example. 60 IN TXT \"a\\\"\" \"b\\\\ c\" \"c. \\233\\010\""),
        QStringLiteral("test.example. 60 IN HINFO \"x86\" \"OS!\""),
        QStringLiteral("test.example. 60 IN SRV 1 2 5060 sip.test.example."),
        QStringLiteral(
            "test.example. 60 IN SOA ns.test.example. hostmaster.test.example. 2024525295 3600 900 "
            "604800 600"),
        QStringLiteral("test.example. 60 IN TYPE99 \\# 3 ABCDEF"),
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(m.Answers[4].Preference, 10);
    EXPECT_EQ(m.Answers[5].Strings.size(), 3);
    EXPECT_EQ(m.Answers[7].Port, 5060);
    EXPECT_EQ(m.Answers[8].Serial, 0x78abcdefu);
}

TEST(DNSAnswer, FramingIsRecognised) {
    const QByteArray message = WithQuestion(FullResponse());
    QByteArray prefix(2, '\0');
    prefix[0] = char(message.size() >> 8);
    prefix[1] = char(message.size() & 0xFF);
    for (const QByteArray& input : {message, prefix + message}) {
        const TKvIDNSAnswer answer(input);
        ASSERT_EQ(answer.Messages().size(), 1);
        EXPECT_FALSE(answer.Malformed());
        EXPECT_EQ(answer.Messages()[0].Answers.size(), 10);
    }
    // Two length-prefixed replies in a row, as the resolver returns them for two types.
    const TKvIDNSAnswer two(prefix + message + prefix + message);
    ASSERT_EQ(two.Messages().size(), 2);
    EXPECT_EQ(two.Answers().size(), 20);
    EXPECT_FALSE(two.Malformed());
    // A TCP reply cut short is still read as one.
    const TKvIDNSAnswer cut((prefix + message).left(60));
    ASSERT_EQ(cut.Messages().size(), 1);
    EXPECT_TRUE(cut.Malformed());
    EXPECT_EQ(cut.Messages()[0].Answers.size(), 1);
    EXPECT_EQ(cut.Messages()[0].ID, 0xabcd);
}

TEST(DNSAnswer, ResponseCodesAndNames) {
    // NXDOMAIN with an SOA in the authority section, as a server answers a missing name.
    const QByteArray nx =
        Hex("0001 8183 0001 0000 0001 0000 03 6e6f70 00 0001 0001"
            "00 0006 0001 00000258 0016 00 00 00000001 00000002 00000003 00000004 00000005");
    const TKvIDNSAnswer answer(nx, dfMessage);
    EXPECT_FALSE(answer.Malformed()) << answer.Problem().toStdString();
    EXPECT_EQ(answer.RCode(), 3);
    EXPECT_EQ(TKvIDNSAnswer::RCodeName(answer.RCode()), QStringLiteral("NXDOMAIN"));
    EXPECT_EQ(TKvIDNSAnswer::RCodeName(5), QStringLiteral("REFUSED"));
    EXPECT_EQ(TKvIDNSAnswer::RCodeName(14), QStringLiteral("RCODE14"));
    ASSERT_EQ(answer.Messages()[0].Authority.size(), 1);
    EXPECT_EQ(answer.Messages()[0].Authority[0].Text(), QStringLiteral(". 600 IN SOA . . 1 2 3 4 5"));
}

TEST(DNSAnswer, LabelBytesAreEscaped) {
    // The owner name "a.b\ c" with a dot, a backslash, a space and a byte 0xff inside labels.
    const QByteArray m =
        Hex("0001 8180 0000 0001 0000 0000 04 612e625c 03 2063ff 00 0001 0001 00000000 0004 01020304");
    const TKvIDNSAnswer answer(m, dfMessage);
    ASSERT_EQ(answer.Answers().size(), 1);
    EXPECT_EQ(answer.Answers()[0].Name, QStringLiteral("a\\.b\\\\.\\032c\\255."));
}

// Malformed input: decoding stops at the first problem, keeps what came before, reports it, and never
// loops or reads past the end.
TEST(DNSAnswer, MalformedInputIsReportedNotTrusted) {
    const QByteArray header = Hex("0001 8180 0000 0002 0000 0000");
    const QByteArray goodA = Hex("00 0001 0001 00000000 0004 01020304");
    struct Case {
        const char* What;
        QByteArray Input;
        int Decoded;
    };
    const Case cases[] = {
        {"pointer to itself", header + goodA + Hex("c01b 0001 0001 00000000 0004 01020304"), 1},
        {"two pointers to each other", header + goodA + Hex("c01d c01b 0001 0001 00000000 0000"), 1},
        {"pointer past the end", header + goodA + Hex("c0ff 0001 0001 00000000 0000"), 1},
        {"pointer cut off", header + goodA + Hex("c0"), 1},
        {"label past the end", header + goodA + Hex("3f 6161"), 1},
        {"extended label type", header + goodA + Hex("41 00 0001 0001 00000000 0000"), 1},
        {"record header cut off", header + goodA + Hex("00 0001 0001 0000"), 1},
        {"data past the end", header + goodA + Hex("00 0001 0001 00000000 0010 0102"), 1},
        {"count beyond the data", Hex("0001 8180 0000 ffff 0000 0000") + goodA, 1},
        {"header cut off", Hex("0001 8180 00"), 0},
    };
    for (const Case& c : cases) {
        const TKvIDNSAnswer answer(c.Input, dfMessage);
        EXPECT_TRUE(answer.Malformed()) << c.What;
        EXPECT_FALSE(answer.Problem().isEmpty()) << c.What;
        ASSERT_EQ(answer.Messages().size(), 1) << c.What;
        EXPECT_EQ(answer.Messages()[0].Answers.size(), c.Decoded) << c.What;
    }
    // A chain of pointers, each adding one label, grows past 255 bytes: refused, not followed for ever.
    QByteArray chain = Hex("0001 8180 0000 0001 0000 0000");
    const int first = chain.size();
    for (int i = 0; i < 200; ++i) {
        const int next = chain.size() + 4;
        chain += Hex("01 61");
        chain += char(0xC0 | (next >> 8));
        chain += char(next & 0xFF);
    }
    chain += Hex("00");
    chain += Hex("c000").replace(1, 1, QByteArray(1, char(first)));
    chain += Hex("0001 0001 00000000 0000");
    const TKvIDNSAnswer longName(chain, dfMessage);
    EXPECT_TRUE(longName.Malformed());
    EXPECT_TRUE(longName.Problem().contains(QStringLiteral("255")));
}

TEST(DNSAnswer, DataThatDoesNotFitItsTypeFallsBackToRawForm) {
    // An A record with 3 bytes and an MX whose name runs past its data: kept raw, message marked malformed,
    // the following record still decoded.
    const QByteArray m = Hex("0001 8180 0000 0003 0000 0000"
                             "00 0001 0001 00000000 0003 010203"
                             "00 000f 0001 00000000 0003 000a 05"
                             "00 0001 0001 00000000 0004 01020304");
    const TKvIDNSAnswer answer(m, dfMessage);
    EXPECT_TRUE(answer.Malformed());
    ASSERT_EQ(answer.Answers().size(), 3);
    EXPECT_EQ(answer.Answers()[0].Text(), QStringLiteral(". 0 IN TYPE1 \\# 3 010203"));
    EXPECT_EQ(answer.Answers()[1].Text(), QStringLiteral(". 0 IN TYPE15 \\# 3 000A05"));
    EXPECT_EQ(answer.Answers()[2].Data, QStringLiteral("1.2.3.4"));
}

TEST(DNSAnswer, EmptyAndStrayInput) {
    EXPECT_TRUE(TKvIDNSAnswer(QByteArray()).Malformed());
    const TKvIDNSAnswer stray(Hex("000c 0001 8180 0000 0000 0000 0000 00"), dfTCP);
    EXPECT_TRUE(stray.Malformed());
    EXPECT_EQ(stray.Messages().size(), 1);
    EXPECT_FALSE(stray.Messages()[0].Malformed);
}

} // namespace
