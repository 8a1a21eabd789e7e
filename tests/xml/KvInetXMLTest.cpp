// Tests of the XML engine: the tree the scanning steps build, the events, values and entity decoding,
// lookups, stream decoding, and documents that must neither crash nor exhaust the stack.
#include "xml/KvInetXML.h"

#include "support/TestSupport.h"

#include <QTemporaryDir>

#include <memory>
#include <vector>

using namespace KvInet;

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& S, std::ostream* Out) {
    *Out << '"' << S.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

/// Wire text (one character per byte) from a literal, embedded NULs included.
template <size_t N>
QString W(const char (&Bytes)[N]) {
    return KvTest::Wire(Bytes, N - 1);
}

/// Bytes from a literal, embedded NULs included.
template <size_t N>
QByteArray B(const char (&Bytes)[N]) {
    return QByteArray(Bytes, N - 1);
}

/// The tree as lines: two spaces per Level, the name, "(a)" for attribute and "(c)" for comment items,
/// "=" and the raw value when one is assigned, "{attributes}" when attribute text is kept.
QString Tree(const TKvXMLItem* Item) {
    QString line = QString(2 * Item->Level(), u' ') + Item->TagName();
    if (Item->Kind() == ikAttribute)
        line += QStringLiteral("(a)");
    else if (Item->Kind() == ikComment)
        line += QStringLiteral("(c)");
    if (!Item->Attributes().isEmpty())
        line += u'{' + Item->Attributes() + u'}';
    if (Item->ValueAssigned())
        line += u'=' + Item->Value().toString();
    QString text = line + u'\n';
    for (const TKvXMLItem* child : Item->Items())
        text += Tree(child);
    return text;
}

QString Parse(TKvXMLEngine& Engine, const QString& Text) {
    Engine.ParseXMLFromString(Text, int(Text.size()));
    return Tree(Engine.RootItem());
}

QString Parse(const QString& Text) {
    TKvXMLEngine engine;
    return Parse(engine, Text);
}

QString Load(TKvXMLEngine& Engine, const QByteArray& Bytes) {
    TMemoryStream stream;
    stream.Write(Bytes.constData(), Bytes.size());
    stream.SetPosition(0);
    Engine.LoadFromStream(0, &stream);
    return Tree(Engine.RootItem());
}

struct TEventLog {
    QStringList Tags;   // "parent>name=value{attributes}"
    QStringList Closes; // names of closed items
};

void Record(TKvXMLEngine& Engine, TEventLog& Log) {
    Engine.SetOnTag([&Log](QObject*, TKvXMLItem* Parent, const QString& Name, const QString& Value,
                           const QString& Attributes, bool&) {
        Log.Tags << Parent->TagName() + u'>' + Name + u'=' + Value + u'{' + Attributes + u'}';
    });
    Engine.SetOnAfterTag([&Log](QObject*, TKvXMLItem*& Node, bool&) { Log.Closes << Node->TagName(); });
}

} // namespace

// ---- the tree ------------------------------------------------------------------------------------------

TEST(XmlTree, ElementsValuesLevelsAndEvents) {
    TKvXMLEngine engine;
    TEventLog log;
    Record(engine, log);
    EXPECT_EQ(Parse(engine, QStringLiteral("<r><a>1</a><b>2</b></r>")), QStringLiteral("r\n  a=1\n  b=2\n"));
    EXPECT_EQ(log.Tags, QStringList({QStringLiteral("r>a=1{}"), QStringLiteral("r>b=2{}")}));
    EXPECT_EQ(log.Closes, QStringList({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("r")}));
    const TKvXMLItem* a = engine.RootItem()->Items()[0];
    EXPECT_EQ(a->Level(), 1);
    EXPECT_EQ(a->ParentItem(), engine.RootItem());
    EXPECT_EQ(engine.RootItem()->ParentItem(), nullptr);
}

TEST(XmlTree, WhiteSpaceAttributeTextAndProcessAttributes) {
    TKvXMLEngine engine;
    EXPECT_EQ(Parse(engine, QStringLiteral("<r>\n <a x=\"1\"/>\n</r>")),
              QStringLiteral("r=\n \n  a{ x=\"1\"}\n"));
    TKvXMLItem* a = engine.RootItem()->Items()[0];
    EXPECT_FALSE(a->ValueAssigned());
    a->ProcessAttributes();
    EXPECT_EQ(Tree(a), QStringLiteral("  a\n    x(a)=\"1\"\n"));
    EXPECT_EQ(a->Items()[0]->GetTagValue(), QStringLiteral("1"));
    EXPECT_TRUE(a->Attributes().isEmpty());
}

TEST(XmlTree, DeclarationBecomesRootAndDeclaredUtf8IsDecoded) {
    const QString doc = W("<?xml version=\"1.0\" encoding=\"utf-8\"?><r a=\"\xC3\xA9\">caf\xC3\xA9</r>");
    TKvXMLEngine engine;
    EXPECT_EQ(Parse(engine, doc), QString::fromUtf8("?xml\n  version(a)=\"1.0\" \n  encoding(a)=\"utf-8\"\n"
                                                    "  r{ a=\"é\"}=café\n"));
    // Text already decoded from a Unicode form is left alone.
    TKvXMLEngine decoded;
    decoded.SetUTF8Processed(true);
    Parse(decoded, doc);
    EXPECT_EQ(decoded.RootItem()->Items()[2]->Value().toString(), W("caf\xC3\xA9"));
}

TEST(XmlTree, DeclarationWithSingleQuotes) {
    // Single-quoted declarations are as common as double-quoted ones.
    EXPECT_EQ(Parse(W("<?xml version='1.0' encoding='UTF-8'?><r>\xC3\xA9</r>")).section(u'\n', 3, 3),
              QString::fromUtf8("  r=é"));
}

// Each maximal ill-formed subpart of a sequence costs one U+FFFD and nothing else: never a wrong character,
// never the rest of the value. The same whether the text is read as bytes (a stream), given as a string, or
// left undeclared and decoded when asked (GetTagText).
TEST(XmlValue, MalformedUtf8GivesOneReplacementPerMaximalSubpart) {
    const struct {
        QByteArray Bytes;
        const char16_t* Text;
    } cases[] = {
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", u"caf\u00E9 \u20AC \U0001F600"},
        {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\uFFFF\U0010FFFF"}, // the last of each length
        {"a\xC3", u"a\uFFFD"},                                 // cut by the end
        {"\xF0\x9F\x98", u"\uFFFD"},                           // a 4-byte sequence cut short
        {"\xF0\x9F\x98x", u"\uFFFDx"},
        {"\xE2\x82x\xC3\xA9", u"\uFFFDx\u00E9"},
        {"\x80\xBF", u"\uFFFD\uFFFD"},                                 // lone continuation bytes
        {"bad \xFF \xFE \xF5\x80", u"bad \uFFFD \uFFFD \uFFFD\uFFFD"}, // bytes that start nothing
        {"\xC0\xBC\xC1\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},             // overlong forms of "<" and DEL
        {"\xE0\x80\xBC", u"\uFFFD\uFFFD\uFFFD"},
        {"\xF0\x80\x80\xBC", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xED\xA0\x80\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"}, // surrogates
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},                     // past U+10FFFF
        {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},           // 5-byte form
        {"a\xF1\x80\x80\xE1\x80\xC2"
         "b\x80"
         "c\x80\xBF"
         "d",
         u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Bytes.toHex(' ').toStdString());
        const QString expected = QString::fromUtf16(c.Text);
        const QByteArray declared = "<?xml encoding=\"utf-8\"?><r t=\"" + c.Bytes + "\">" + c.Bytes + "</r>";
        TKvXMLEngine bytes, string, undeclared;
        Load(bytes, declared);
        Parse(string, KvTest::Wire(declared.constData(), declared.size()));
        Load(undeclared, "<r>" + c.Bytes + "</r>");
        for (TKvXMLEngine* engine : {&bytes, &string}) {
            const TKvXMLItem* r = engine->GetItemByTag(nullptr, QStringLiteral("r"));
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(r->Value().toString(), expected);
            EXPECT_EQ(r->Attributes(), " t=\"" + expected + u'"');
        }
        EXPECT_EQ(undeclared.GetTagText(undeclared.RootItem()), expected);
    }
    // A character the application passed as a string is no byte of a sequence.
    TKvXMLEngine engine;
    Parse(engine, QStringLiteral("<?xml encoding=\"utf-8\"?><r>\u0100\u00C3\u0100</r>"));
    EXPECT_EQ(engine.RootItem()->Items()[1]->Value().toString(), QStringLiteral("\u0100\uFFFD\u0100"));
}

// Values come out as the declaration says: code pages and other encodings converted, ISO-8859-1 already
// final, and where nothing usable is declared the values stay bytes that GetTagText reads as UTF-8.
TEST(XmlTree, DeclaredEncodings) {
    const struct {
        const char* Encoding;
        QByteArray Value;
        const char* Text;  // the value as stored, UTF-8
        bool Decoded;      // TextDecoded
        const char* Asked; // GetTagText
    } cases[] = {
        {"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет", true, "Привет"},
        {"Windows-1252", "\x93x\x94 \x80", "“x” €", true, "“x” €"},
        {"windows-x", "\xE9", "é", true, "é"}, // no number: the ANSI code page
        {"iso-8859-2", "\xA9", "Š", true, "Š"},
        {"ISO-8859-1", "Z\xFCrich &amp; co", "Zürich &amp; co", true, "Zürich & co"},
        {"us-ascii", "Z\xC3\xBCrich", "ZÃ¼rich", false, "Zürich"},
        {"utf-16", "\xC3\xA9", "Ã©", false, "é"}, // a text read a byte per character is no UTF-16
        {"no-such-thing", "\xC3\xA9", "Ã©", false, "é"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Encoding);
        TKvXMLEngine engine;
        Load(engine, "<?xml encoding=\"" + QByteArray(c.Encoding) + "\"?><r>" + c.Value + "</r>");
        const TKvXMLItem* r = engine.GetItemByTag(nullptr, QStringLiteral("r"));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->Value().toString(), QString::fromUtf8(c.Text));
        EXPECT_EQ(engine.TextDecoded(), c.Decoded);
        EXPECT_EQ(engine.GetTagText(r), QString::fromUtf8(c.Asked));
    }
}

TEST(XmlTree, EventsVetoAndCancel) {
    TKvXMLEngine engine;
    engine.SetOnTag([](QObject*, TKvXMLItem*, const QString& Name, const QString&, const QString&,
                       bool& Accept) { Accept = Name != QLatin1String("a"); });
    EXPECT_EQ(Parse(engine, QStringLiteral("<r><a><c/></a><b/></r>")), QStringLiteral("r\n  b\n"));
    // After a rejected element the scan goes on at the next "<", as after an end tag: indentation behind a
    // rejected "<a/>" is not read as a tag.
    TKvXMLEngine indented;
    indented.SetOnTag(engine.OnTag());
    EXPECT_EQ(Parse(indented, QStringLiteral("<r>\n  <a/>\n  <b/>\n  <c>3</c>\n</r>")),
              QStringLiteral("r=\n  \n  b\n  c=3\n"));
    EXPECT_EQ(Parse(QStringLiteral("<r>\n  <a/>\n  <b/>\n</r>")), QStringLiteral("r=\n  \n  a\n  b\n"));

    // A rejected element holding a comment or a processing instruction still ends at its end tag.
    TKvXMLEngine commented;
    commented.SetOnTag(engine.OnTag());
    EXPECT_EQ(Parse(commented, QStringLiteral("<r><a><!-- <x> --><?p?><c>1</c></a><b/></r>")),
              QStringLiteral("r\n  b\n"));

    // Rejecting a comment drops the comment only.
    TKvXMLEngine noComments;
    noComments.SetOnTag([](QObject*, TKvXMLItem*, const QString& Name, const QString&, const QString&,
                           bool& Accept) { Accept = Name != QLatin1String("Comment"); });
    EXPECT_EQ(Parse(noComments, QStringLiteral("<r><!-- c --><b>1</b></r>")), QStringLiteral("r\n  b=1\n"));

    TKvXMLEngine cancelled;
    int closes = 0;
    cancelled.SetOnAfterTag([&closes](QObject*, TKvXMLItem*&, bool& Cancel) { Cancel = ++closes == 1; });
    EXPECT_EQ(Parse(cancelled, QStringLiteral("<r><a>1</a><b>2</b></r>")), QStringLiteral("r\n  a=1\n"));
    EXPECT_EQ(closes, 1);

    // A handler may not start another parse on the same engine; the engine stays usable.
    TKvXMLEngine nested;
    nested.SetOnTag([&nested](QObject*, TKvXMLItem*, const QString&, const QString&, const QString&, bool&) {
        TMemoryStream empty;
        nested.LoadFromStream(0, &empty);
    });
    EXPECT_THROW(Parse(nested, QStringLiteral("<r><a/></r>")), Exception);
    nested.SetOnTag(nullptr);
    EXPECT_EQ(Parse(nested, QStringLiteral("<s/>")), QStringLiteral("s\n"))
        << "a new parse starts again at the root";
}

TEST(XmlTree, PositionalReading) {
    TKvXMLEngine single;
    TEventLog log;
    Record(single, log);
    EXPECT_EQ(Parse(single, QStringLiteral("<a/>")), QStringLiteral("a\n"));
    EXPECT_TRUE(log.Closes.isEmpty()) << "a closing '/>' at the end of the text closes nothing";

    // End tags are not matched: any end tag closes the current element. Text after an end tag is dropped.
    EXPECT_EQ(Parse(QStringLiteral("<r><a>1</x>lost<b>2</b></r>")), QStringLiteral("r\n  a=1\n  b=2\n"));
    // A second top-level element reuses the root: its name replaces the root's, its text is appended.
    EXPECT_EQ(Parse(QStringLiteral("<a>1</a><b>2<c/></b>")), QStringLiteral("b=12\n  c\n"));
    // Anything before the first "<" is dropped; ">" characters before a value are skipped.
    EXPECT_EQ(Parse(QStringLiteral("junk<r>>>v</r>")), QStringLiteral("r=v\n"));
    // Prefixed names and names with "-" and "_"; "." ends a name.
    EXPECT_EQ(Parse(QStringLiteral("<dc:x-y_z>1</dc:x-y_z>")), QStringLiteral("dc:x-y_z=1\n"));
    // "/" inside a quoted attribute value does not end the start tag.
    EXPECT_EQ(Parse(QStringLiteral("<r><a href=\"http://x/y\" t='a/b'>v</a></r>")),
              QStringLiteral("r\n  a{ href=\"http://x/y\" t='a/b'}=v\n"));
    // Parsing again adds to the tree.
    TKvXMLEngine twice;
    Parse(twice, QStringLiteral("<r><a/></r>"));
    EXPECT_EQ(Parse(twice, QStringLiteral("<r><b/></r>")), QStringLiteral("r\n  a\n  b\n"));
}

TEST(XmlTree, TextEndsAtLengthOrNul) {
    TKvXMLEngine engine;
    engine.ParseXMLFromString(QStringLiteral("<r><a>1</a><b>2</b></r>"), 11);
    EXPECT_EQ(Tree(engine.RootItem()), QStringLiteral("r\n  a=1\n"));
    EXPECT_EQ(Parse(W("<r><a>1\0<b>2</b></a></r>")), QStringLiteral("r\n  a=1\n"));
}

TEST(XmlTree, SameTreeWhicheverWayTheTextIsRead) {
    // The same characters read as bytes (LoadFromStream), as a string, and as a string under handlers
    // (which see the children listed as they come; without handlers the lists are made when an element
    // is left) must give one tree, with every child's parent and level right.
    const auto linked = [](const TKvXMLItem* Root) {
        std::vector<const TKvXMLItem*> work{Root};
        while (!work.empty()) {
            const TKvXMLItem* item = work.back();
            work.pop_back();
            for (const TKvXMLItem* child : item->Items()) {
                if (child->ParentItem() != item || child->Level() != item->Level() + 1)
                    return false;
                work.push_back(child);
            }
        }
        return true;
    };
    QString many = QStringLiteral("<r>");
    for (int i = 0; i < 40; ++i)
        many += QStringLiteral("<i n=\"%1\">%1<x/><y>z</y></i>").arg(i);
    const QString texts[] = {
        QStringLiteral("<r><a>1</a><b x=\"1\"><c/><d>2</d></b><e/></r>"),
        // left open at the end, or closed by end tags that do not match
        QStringLiteral("<r><a><b>1<c/><d>"),
        QStringLiteral("<r><a>1</x></y></z><b/>"),
        // top-level elements taking the root over, stray marks between them
        QStringLiteral("<a><x/></a>/><b><y/><z/></b></c><d/>"),
        // a declaration as the root, and one inside an element: attribute items before element children
        QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?><r><a/><b>t</b></r>"),
        QStringLiteral("<r><a/><?xml version=\"1.0\"?><b/><c/></r>"),
        // comments in and between elements, a name-less tag, a NUL ending the text inside an element
        QStringLiteral("<r><!-- 1 --><a><!--2--></a><!-- 3 -->x< y<b/></r>"),
        W("<r><a><b>1</b>\0<c/></a></r>"),
        many,
    };
    for (const QString& text : texts) {
        TKvXMLEngine plain;
        const QString tree = Parse(plain, text);
        EXPECT_TRUE(linked(plain.RootItem())) << text.toStdString();
        TKvXMLEngine bytes;
        EXPECT_EQ(Load(bytes, text.toLatin1()), tree) << text.toStdString();
        EXPECT_TRUE(linked(bytes.RootItem())) << text.toStdString();
        TKvXMLEngine watched;
        TEventLog log;
        Record(watched, log);
        EXPECT_EQ(Parse(watched, text), tree) << text.toStdString();
        // A second parse adds to the root's list.
        EXPECT_EQ(Parse(plain, QStringLiteral("<s><t/></s>")), Parse(watched, QStringLiteral("<s><t/></s>")));
        EXPECT_TRUE(linked(plain.RootItem())) << text.toStdString();
    }
}

TEST(XmlTree, ParsedListsGrowAndShrink) {
    TKvXMLEngine engine;
    Parse(engine, QStringLiteral("<r><a><x/><y/></a><b/></r>"));
    TKvXMLItem* a = engine.RootItem()->Items()[0];
    a->Items().AddItem(a)->SetTagName(QStringLiteral("added"));
    delete a->Items()[0];
    for (int i = 0; i < 5; ++i)
        a->Items().AddItem(a)->SetTagName(QString::number(i));
    delete a->Items()[2];
    EXPECT_EQ(Tree(a), QStringLiteral("  a\n    y\n    added\n    1\n    2\n    3\n    4\n"));
    engine.RootItem()->Items().Clear();
    EXPECT_EQ(Tree(engine.RootItem()), QStringLiteral("r\n"));
}

TEST(XmlTree, Comments) {
    TKvXMLEngine engine;
    TEventLog log;
    Record(engine, log);
    // The value is the text between "<!--" and "-->", written with or without blanks; text right after a
    // comment is dropped like text after an end tag.
    EXPECT_EQ(Parse(engine, QStringLiteral("<r><!-- hi --><!--x-y-->text<a>1</a></r>")),
              QStringLiteral("r\n  Comment(c)= hi \n  Comment(c)=x-y\n  a=1\n"));
    EXPECT_EQ(log.Tags.first(), QStringLiteral("r>Comment= hi {}"));
    // A comment never receives children; an unterminated one consumes the rest of the text.
    EXPECT_EQ(Parse(QStringLiteral("<r><!-- c --><a><!-- open <b>x</b></a></r>")),
              QStringLiteral("r\n  Comment(c)= c \n  a\n    Comment(c)\n"));
}

TEST(XmlTree, CommentsOutsideTheDocumentElementAreLeftOut) {
    // Before the root or after it, a comment is in no element: it neither becomes the root (giving the
    // document element its text) nor renames a closed root, and no OnTag reports it.
    struct Case {
        const char* Text;
        const char* Tree;
    } cases[] = {
        {"<!-- licence --><r>x</r>", "r=x\n"},
        {"<r><a>1</a></r>\n<!-- generated list -->\n", "r\n  a=1\n"},
        {"<!-- a -->\n<r><!-- in --></r><!-- b --><!-- c -->", "r\n  Comment(c)= in \n"},
        {"<!-- open", "\n"},
        // Under a declaration the comment is inside the root the declaration became.
        {"<?xml version=\"1.0\"?>\n<!-- c -->\n<r/>",
         "?xml=\n\n  version(a)=\"1.0\"\n  Comment(c)= c \n  r\n"},
    };
    for (const Case& c : cases) {
        TKvXMLEngine engine;
        TEventLog log;
        Record(engine, log);
        const QString tree = QString::fromLatin1(c.Tree);
        EXPECT_EQ(Parse(engine, QString::fromLatin1(c.Text)), tree) << c.Text;
        EXPECT_EQ(engine.RootItem()->Kind(), ikProperty) << c.Text;
        EXPECT_EQ(log.Tags.filter(QStringLiteral(">Comment=")).size(),
                  tree.count(QStringLiteral("Comment(c)")))
            << c.Text;
    }
}

TEST(XmlTree, MalformedTextShapesTheTreeWithoutFailing) {
    // A "<" followed by a blank is no tag: the open element keeps its name and gets the text that follows
    // (here up to the end, as the name-less tag's attribute text stops at the "/" of the end tag).
    EXPECT_EQ(Parse(QStringLiteral("<r>a < b</r>")), QStringLiteral("r=a /r>\n"));
    // Nothing open: a stray "/>" or name-less tag is skipped.
    EXPECT_EQ(Parse(QStringLiteral("< x><r/>/></>/><a>1</a>/>")), QStringLiteral("a=1\n"));
    struct Case {
        const char* Text;
        const char* Tree;
    } cases[] = {
        // Too short to hold a tag once the "<" is passed, or nothing but stray marks: an empty root.
        {"<", "\n"},
        {"<<<<", "\n"},
        {"</", "\n"},
        {"/>", "\n"},
        {"<a", "\n"},
        {">>>", "\n"},
        {"<!--", "\n"},
        {"<!---->", "\n"},
        {"<?xml", "?xml\n"},
        // An unterminated attribute keeps its text; end tags close whatever is open; a later top-level
        // element takes the root over.
        {"<a b=\"", "a{ b=\"}\n"},
        {"<a></b></c></d>", "a\n"},
        {"<a/><b/></c>/>/>", "b\n"},
        {"<r><!-- -- --></r>", "r\n  Comment(c)= -- \n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Parse(QString::fromLatin1(c.Text)), QString::fromLatin1(c.Tree)) << c.Text;
}

TEST(XmlTree, DeepNestingParsesSearchesAndFrees) {
    constexpr int depth = 1000000;
    QString text;
    text.reserve(depth * 7 + 10);
    for (int i = 0; i < depth; ++i)
        text += QStringLiteral("<a>");
    text += QStringLiteral("<z/>");
    for (int i = 0; i < depth; ++i)
        text += QStringLiteral("</a>");
    auto engine = std::make_unique<TKvXMLEngine>();
    engine->ParseXMLFromString(text);
    const TKvXMLItem* z = engine->GetItemByTag(nullptr, QStringLiteral("Z"));
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z->Level(), depth);
    EXPECT_EQ(engine->RootItem()->GetChild(QStringLiteral("none"), true), nullptr);
    engine.reset();
}

TEST(XmlTree, LongChildListsParseGrowAndFree) {
    // Long enough for the list of r (an item of the parse, unlike the root) to need blocks from the system.
    constexpr int count = 300000;
    QString text = QStringLiteral("<d><r>");
    text.reserve(count * 4 + 20);
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("<a/>");
    text += QStringLiteral("<z>1</z></r></d>");
    auto engine = std::make_unique<TKvXMLEngine>();
    engine->ParseXMLFromString(text);
    TKvXMLItem* r = engine->RootItem()->Items()[0];
    ASSERT_EQ(r->Items().Count(), count + 1);
    EXPECT_EQ(r->Items().Last()->Value().toString(), QStringLiteral("1"));
    EXPECT_EQ(r->Items()[count / 2]->ParentItem(), r);
    r->Items().AddItem(r)->SetTagName(QStringLiteral("added"));
    delete r->Items()[0];
    EXPECT_EQ(r->Items().Count(), count + 1);
    EXPECT_EQ(r->Items().Last()->TagName(), QStringLiteral("added"));
    engine.reset();
}

// ---- values --------------------------------------------------------------------------------------------

TEST(XmlValue, EntityTable) {
    TKvXMLItem item;
    const auto decode = [&item](const QString& Raw) {
        item.SetValue(Raw);
        return item.GetTagValue();
    };
    const QString all = QStringLiteral(
        "&brvbar;&deg;&#176;&plusmn;&para;&amp;&lt;&gt;&copy;&quot;&apos;&trade;&nbsp;&car;&ret;"
        "&#009;&#x9;&#010;&#xa;&#013;&#xd;&#034;&#34;&#039;&#39;");
    EXPECT_EQ(decode(all), QString::fromUtf8("|°°+¶&<>c\"'T\n\r\t\t\n\n\r\r\"\"''"));
    // The ";" is optional, and "&amp;" is replaced before "&lt;".
    EXPECT_EQ(decode(QStringLiteral("x &amp;lt; y")), QStringLiteral("x < y"));
    EXPECT_EQ(decode(QStringLiteral("a&ltb&gt")), QStringLiteral("a<b>"));
    EXPECT_EQ(decode(QStringLiteral("a&nbsp;b")), QStringLiteral("ab"));
    EXPECT_EQ(decode(QStringLiteral("&amp;amp;amp;")), QStringLiteral("&"));
    EXPECT_EQ(decode(QStringLiteral("&nb&nbsp;sp;")), QString());
    // Matching is case-sensitive; other references stay as written.
    EXPECT_EQ(decode(QStringLiteral("&#xA; &AMP; &#233; &euro;")),
              QStringLiteral("&#xA; &AMP; &#233; &euro;"));
    // A numeric reference is never the prefix of a longer number.
    EXPECT_EQ(decode(QStringLiteral("&#345;&#xab;&#0090;&#x9f;&#39")),
              QStringLiteral("&#345;&#xab;&#0090;&#x9f;'"));
    EXPECT_EQ(decode(QStringLiteral("&#34;5")), QStringLiteral("\"5"));
}

TEST(XmlValue, QuotesBelongToAttributeValuesOnly) {
    TKvXMLItem element;
    element.SetValue(QStringLiteral("\"quoted\" text\""));
    EXPECT_EQ(element.GetTagXMLValue(), QStringLiteral("\"quoted\" text\""));
    TKvXMLItem attribute;
    attribute.SetKind(ikAttribute);
    const auto value = [&attribute](const QString& Raw) {
        attribute.SetValue(Raw);
        return attribute.GetTagValue();
    };
    EXPECT_EQ(value(QStringLiteral("\"5\" ")), QStringLiteral("5"));
    EXPECT_EQ(value(QStringLiteral("\"a &amp; b\"\r\n\t")), QStringLiteral("a & b"));
    EXPECT_EQ(value(QStringLiteral("'it\"s' ")), QStringLiteral("it\"s"));
    EXPECT_EQ(value(QStringLiteral("\"\"")), QString());
    EXPECT_EQ(value(QStringLiteral("x ")), QStringLiteral("x "));
    attribute.SetValue(QVariant());
    EXPECT_FALSE(attribute.ValueAssigned());
    EXPECT_EQ(attribute.GetTagValue(), QString());
}

TEST(XmlValue, ProcessAttributesSplitting) {
    TKvXMLItem item;
    const auto split = [&item](const QString& Text) {
        item.Items().Clear();
        item.SetAttributes(Text);
        item.ProcessAttributes();
        QStringList parts;
        for (const TKvXMLItem* a : item.Items())
            parts << a->TagName() + u'|' + a->Value().toString();
        return parts.join(u',');
    };
    EXPECT_EQ(split(QStringLiteral("a=\"1\" b=x")), QStringLiteral("a|\"1\" ,b|x"));
    EXPECT_EQ(split(QStringLiteral(" a=\"x y\"")), QStringLiteral("a|\"x y\""));
    EXPECT_EQ(split(QStringLiteral("t='a b' u=\"it's\"")), QStringLiteral("t|'a b' ,u|\"it's\""));
    EXPECT_EQ(split(QStringLiteral("flag a= b=\"\"")), QStringLiteral("a| ,b|\"\""));
    EXPECT_EQ(split(QStringLiteral("a=\"1=2\"")), QStringLiteral("a|\"1=2\""));
    EXPECT_EQ(item.Items()[0]->Kind(), ikAttribute);
    EXPECT_EQ(item.Items()[0]->Level(), 1);
}

// ---- lookups and free routines -------------------------------------------------------------------------

TEST(XmlLookup, ChildAndTagSearches) {
    TKvXMLEngine engine;
    Parse(engine, QStringLiteral("<b><x><y><B>deep</B></y></x><c>1</c></b>"));
    TKvXMLItem* root = engine.RootItem();
    EXPECT_EQ(root->GetChild(QStringLiteral("b"), true), root);
    EXPECT_EQ(root->GetChild(QStringLiteral("B"), true)->Value().toString(), QStringLiteral("deep"));
    EXPECT_EQ(root->GetChild(QStringLiteral("B"), false), nullptr) << "only the item and its children";
    EXPECT_EQ(root->GetChild(QStringLiteral("c"), false)->Value().toString(), QStringLiteral("1"));
    EXPECT_EQ(engine.GetItemByTag(nullptr, QStringLiteral("B")), root);
    EXPECT_EQ(engine.GetItemByTag(root->Items()[0], QStringLiteral("b"))->Value().toString(),
              QStringLiteral("deep"));
    EXPECT_EQ(engine.GetItemByTag(nullptr, QStringLiteral("missing")), nullptr);

    TKvXMLEngine single;
    Parse(single, QStringLiteral("<b/>"));
    EXPECT_EQ(single.RootItem()->GetChild(QStringLiteral("B"), true), nullptr);
    EXPECT_EQ(single.GetItemByTag(nullptr, QStringLiteral("B")), single.RootItem());
}

TEST(XmlLookup, PathNames) {
    TKvXMLEngine engine;
    QString path = QStringLiteral("a/b/c");
    EXPECT_EQ(engine.GetFirstTagName(path), QStringLiteral("a"));
    EXPECT_EQ(path, QStringLiteral("b/c"));
    path = QStringLiteral("a/b/c");
    EXPECT_EQ(engine.GetLastTagName(path), QStringLiteral("c"));
    EXPECT_EQ(path, QStringLiteral("a/b"));
    for (const auto take : {&TKvXMLEngine::GetFirstTagName, &TKvXMLEngine::GetLastTagName}) {
        path = QStringLiteral("a");
        EXPECT_EQ((engine.*take)(path), QStringLiteral("a"));
        EXPECT_EQ(path, QString());
    }
}

TEST(XmlLookup, SameStringsAndDates) {
    EXPECT_TRUE(SameStrings(false, QStringLiteral("Encoding"), QStringLiteral("eNCODING")));
    EXPECT_FALSE(SameStrings(true, QStringLiteral("Encoding"), QStringLiteral("encoding")));
    EXPECT_FALSE(SameStrings(false, QString::fromUtf8("É"), QString::fromUtf8("é"))) << "ASCII letters only";
    EXPECT_FALSE(SameStrings(false, QStringLiteral("ab"), QStringLiteral("abc")));

    EXPECT_DOUBLE_EQ(XMLStringToDateTime(QStringLiteral("2014-05-06T07:08:09Z")),
                     EncodeDate(2014, 5, 6) + EncodeTime(7, 8, 9, 0));
    EXPECT_DOUBLE_EQ(XMLStringToDateTime(QStringLiteral("2014-05-06 07:08:09.5+02:00")),
                     EncodeDate(2014, 5, 6) + EncodeTime(7, 8, 9, 0));
    for (const char* bad :
         {"", "2014-05-06", "2014-13-06T07:08:09", "2014-05-06T24:08:09", "abcd-05-06T07:08:09"})
        EXPECT_EQ(XMLStringToDateTime(QString::fromLatin1(bad)), 0.0) << bad;
}

// ---- streams and files ---------------------------------------------------------------------------------

TEST(XmlStream, ByteOrderMarks) {
    TKvXMLEngine engine;
    EXPECT_EQ(Load(engine, B("\xFE\xFF\x00<\x00"
                             "a\x00>")),
              QStringLiteral("a\n"));
    EXPECT_TRUE(engine.UTF8Processed());
    EXPECT_EQ(Load(engine, B("\xFF\xFE<\x00r\x00>\x00\xE9\x00\x3A\x04<\x00/\x00")),
              QString::fromUtf8("r=éк\n"));
    // UTF-8 with its mark: decoded once, even though the declaration says utf-8 again.
    EXPECT_EQ(Load(engine, QByteArray("\xEF\xBB\xBF<?xml encoding=\"utf-8\"?><r>\xC3\xA9</r>"))
                  .section(u'\n', 2, 2),
              QString::fromUtf8("  r=é"));
    EXPECT_TRUE(engine.UTF8Processed());
    // No mark: the bytes are ANSI text, and a utf-8 declaration decodes the values.
    EXPECT_EQ(Load(engine, QByteArray("<?xml encoding=\"utf-8\"?><r>\xC3\xA9</r>")).section(u'\n', 2, 2),
              QString::fromUtf8("  r=é"));
    EXPECT_FALSE(engine.UTF8Processed());
    EXPECT_EQ(Load(engine, QByteArray("<r>\xE9</r>")), QString::fromUtf8("r=é\n"));
    // A trailing ESC is dropped; an odd last byte of UTF-16 is ignored.
    EXPECT_EQ(Load(engine, QByteArray("<r>x\x1B")), QStringLiteral("r=x\n"));
    EXPECT_EQ(Load(engine, B("\xFF\xFE<\x00r\x00>\x00x\x00y")), QStringLiteral("r=x\n"));
}

TEST(XmlStream, SizeGivenPositionAndClearing) {
    TKvXMLEngine engine;
    Parse(engine, QStringLiteral("<old><kept/></old>"));
    // With a size the bytes run from the position to that size, and a UTF-16 mark is found among them.
    TMemoryStream stream;
    const QByteArray bytes("skip<r><a>1</a></r><tail/>");
    stream.Write(bytes.constData(), bytes.size());
    stream.SetPosition(4);
    engine.LoadFromStream(19, &stream);
    EXPECT_EQ(Tree(engine.RootItem()), QStringLiteral("r\n  a=1\n"));
    // Every load starts from an empty root, even one that reads nothing.
    engine.LoadFromStream(0, nullptr);
    EXPECT_EQ(Tree(engine.RootItem()), QStringLiteral("\n"));
    // A size far beyond the stream reads what is there.
    stream.SetPosition(4);
    engine.LoadFromStream(1 << 30, &stream);
    EXPECT_EQ(Tree(engine.RootItem()), QStringLiteral("tail\n  a=1\n"))
        << "r was closed: tail reuses the root";

    TMemoryStream wide;
    wide.Write("\xFE\xFF\x00<\x00"
               "b\x00/\x00>",
               10);
    wide.SetPosition(0);
    engine.LoadFromStream(10, &wide);
    EXPECT_EQ(Tree(engine.RootItem()), QStringLiteral("b\n"));
    EXPECT_TRUE(engine.UTF8Processed());
}

TEST(XmlStream, Files) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("doc.xml"));
    KvTest::WriteFile(path, QByteArray("\xEF\xBB\xBF<r><a>\xE2\x82\xAC</a></r>"));
    TKvXMLEngine engine;
    engine.LoadFromFile(path);
    EXPECT_EQ(Tree(engine.RootItem()), QString::fromUtf8("r\n  a=€\n"));
    EXPECT_THROW(engine.LoadFromFile(dir.filePath(QStringLiteral("missing.xml"))), EFOpenError);
}

// ---- ownership -----------------------------------------------------------------------------------------

TEST(XmlItems, OwnershipAndLifetime) {
    auto engine = std::make_unique<TKvXMLEngine>();
    Parse(*engine, QStringLiteral("<r><a><x/></a><b/><c/></r>"));
    TKvXMLItem* root = engine->RootItem();
    delete root->Items()[1];
    EXPECT_EQ(Tree(root), QStringLiteral("r\n  a\n    x\n  c\n"));
    TKvXMLItem* added = root->Items().AddItem(root);
    added->SetTagName(QStringLiteral("new"));
    EXPECT_EQ(added->Level(), 1);
    EXPECT_EQ(root->Items().IndexOf(added), 2);
    TKvXMLItem standalone;
    auto* child = new TKvXMLItem(&standalone);
    EXPECT_EQ(child->ParentItem(), &standalone);
    EXPECT_EQ(standalone.Items().Count(), 1);
    EXPECT_THROW(standalone.Items()[1], EListError);
    // Items of a parse stay valid after the text they were read from is gone from the caller.
    TKvXMLItem* a = root->Items()[0];
    {
        QString text = QStringLiteral("<r><late>v</late></r>");
        engine->ParseXMLFromString(text);
        text.fill(u'x');
    }
    EXPECT_EQ(engine->GetItemByTag(nullptr, QStringLiteral("late"))->Value().toString(), QStringLiteral("v"));
    EXPECT_EQ(a->TagName(), QStringLiteral("a"));
    root->Items().Clear();
    EXPECT_EQ(root->Items().Count(), 0);
    engine.reset();
}
