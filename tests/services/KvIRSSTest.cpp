// test-servers: nginx scripted
// The RSS parser: the scanner on feeds of our own (the layouts, names compared exactly, values as written,
// CDATA, comments, nesting, cut and hostile feeds), the decoding of the bytes, the model lists, and whole
// runs against nginx and the scripted server (feeds without a size, cut feeds, limits, the private copy),
// also through kvinet rss.
#include "services/KvIRSS.h"

#include "support/ScriptedPeer.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>

using namespace KvInet;
using namespace KvTest;

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& S, std::ostream* Out) {
    *Out << '"' << S.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

void Put(QString& Out, const char* Indent, const char* Name, const QString& Value) {
    if (!Value.isEmpty())
        Out += QString::fromLatin1(Indent) + QString::fromLatin1(Name) + u'=' + Value + u'\n';
}

/// The channels as lines: "channel", its non-empty fields indented one space, "item" and its fields two.
QString Dump(const TKvIRSSChannels& Channels) {
    QString out;
    for (const TKvIRSSChannel* c : Channels) {
        out += QStringLiteral("channel\n");
        Put(out, " ", "Title", c->Title);
        Put(out, " ", "Link", c->Link);
        Put(out, " ", "Description", c->Description);
        Put(out, " ", "Language", c->Language);
        Put(out, " ", "Copyright", c->Copyright);
        Put(out, " ", "Rating", c->Rating);
        Put(out, " ", "ManagingEditor", c->ManagingEditor);
        Put(out, " ", "WebMaster", c->WebMaster);
        Put(out, " ", "PubDate", c->PubDate);
        Put(out, " ", "LastBuildDate", c->LastBuildDate);
        Put(out, " ", "Category", c->Category);
        Put(out, " ", "Generator", c->Generator);
        Put(out, " ", "Docs", c->Docs);
        Put(out, " ", "Ttl", c->Ttl);
        for (const TKvIRSSItem* i : c->Items) {
            out += QStringLiteral(" item\n");
            Put(out, "  ", "Title", i->Title);
            Put(out, "  ", "Link", i->Link);
            Put(out, "  ", "Description", i->Description);
            Put(out, "  ", "Creator", i->Creator);
            Put(out, "  ", "Date", i->Date);
        }
    }
    return out;
}

QString Parse(const QString& Feed) {
    TKvIRSSChannels channels;
    EXPECT_TRUE(RSSTextToChannels(Feed, channels));
    return Dump(channels);
}

// ---- feeds of our own ------------------------------------------------------------------------------------

const char* const Rss20 = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0">
  <channel>
    <title>Harbour Notes</title>
    <link>http://harbour.example/</link>
    <description>  Tides &amp; boats  </description>
    <language>en-gb</language>
    <pubDate>Mon, 04 Mar 2024 06:00:00 GMT</pubDate>
    <ttl>30</ttl>
    <generator>hand</generator>
    <image>
      <title>Harbour logo</title>
      <url>http://harbour.example/logo.png</url>
      <link>http://harbour.example/about</link>
    </image>
    <item>
      <title>High tide at 06:12</title>
      <link>http://harbour.example/1</link>
      <description>Moorings &lt;full&gt;</description>
      <pubDate>Mon, 04 Mar 2024 05:00:00 GMT</pubDate>
      <guid>http://harbour.example/1</guid>
      <author>harbourmaster@harbour.example</author>
    </item>
    <item>
      <title>Ferry delayed</title>
      <link>http://harbour.example/2</link>
      <description>Fog.</description>
    </item>
    <textInput>
      <title>Search</title>
      <description>Search the notes</description>
      <name>q</name>
      <link>http://harbour.example/search</link>
    </textInput>
  </channel>
</rss>
)";

const char* const Rss20Dump = R"(channel
 Title=Harbour Notes
 Link=http://harbour.example/
 Description=Tides &amp; boats
 Language=en-gb
 PubDate=Mon, 04 Mar 2024 06:00:00 GMT
 Generator=hand
 Ttl=30
 item
  Title=High tide at 06:12
  Link=http://harbour.example/1
  Description=Moorings &lt;full&gt;
 item
  Title=Ferry delayed
  Link=http://harbour.example/2
  Description=Fog.
)";

const char* const Rss10 = R"(<?xml version="1.0"?>
<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#" xmlns="http://purl.org/rss/1.0/"
         xmlns:dc="http://purl.org/dc/elements/1.1/">
  <channel rdf:about="http://orchard.example/rss">
    <title>Orchard Log</title>
    <link>http://orchard.example/</link>
    <description>Apples and pears</description>
    <items>
      <rdf:Seq>
        <rdf:li resource="http://orchard.example/a" />
        <rdf:li resource="http://orchard.example/b" />
      </rdf:Seq>
    </items>
  </channel>
  <item rdf:about="http://orchard.example/a">
    <title>Blossom</title>
    <link>http://orchard.example/a</link>
    <dc:creator>Ada Pomme</dc:creator>
    <dc:date>2024-04-01T08:00:00Z</dc:date>
  </item>
  <item rdf:about="http://orchard.example/b">
    <title>Harvest</title>
    <link>http://orchard.example/b</link>
    <description>Late this year</description>
    <dc:creator>Bo Birne</dc:creator>
    <dc:date>2024-09-20</dc:date>
  </item>
</rdf:RDF>
)";

const char* const Rss10Dump = R"(channel
 Title=Orchard Log
 Link=http://orchard.example/
 Description=Apples and pears
 item
  Title=Blossom
  Link=http://orchard.example/a
  Creator=Ada Pomme
  Date=2024-04-01T08:00:00Z
 item
  Title=Harvest
  Link=http://orchard.example/b
  Description=Late this year
  Creator=Bo Birne
  Date=2024-09-20
)";

const char* const Rss091 = R"(<?xml version="1.0" encoding="ISO-8859-1"?>
<!DOCTYPE rss PUBLIC "-//Example//DTD RSS 0.91//EN" "http://dtd.example/rss-0.91.dtd">
<rss version="0.91">
<channel>
<title>Weather Desk</title>
<link>http://weather.example/</link>
<description>Forecasts</description>
<language>en-us</language>
<copyright>Copyright 2001 Weather Desk</copyright>
<managingEditor>desk@weather.example</managingEditor>
<webMaster>web@weather.example</webMaster>
<rating>(PICS-1.1 "http://ratings.example/" l r (n 0))</rating>
<lastBuildDate>Sat, 07 Jul 2001 10:00:00 GMT</lastBuildDate>
<docs>http://docs.example/rss</docs>
<category>Weather</category>
<item>
<title>Rain later</title>
<link>http://weather.example/rain</link>
</item>
</channel>
</rss>
)";

const char* const Rss091Dump = R"(channel
 Title=Weather Desk
 Link=http://weather.example/
 Description=Forecasts
 Language=en-us
 Copyright=Copyright 2001 Weather Desk
 Rating=(PICS-1.1 "http://ratings.example/" l r (n 0))
 ManagingEditor=desk@weather.example
 WebMaster=web@weather.example
 LastBuildDate=Sat, 07 Jul 2001 10:00:00 GMT
 Category=Weather
 Docs=http://docs.example/rss
 item
  Title=Rain later
  Link=http://weather.example/rain
)";

/// Minified, with stylesheet, comments and CDATA descriptions holding HTML.
const char* const Minified =
    R"(<?xml version="1.0"?><?xml-stylesheet type="text/xsl" href="/feed.xsl"?><rss version="2.0"><channel>)"
    R"(<title>Kiosk</title><!-- built by hand, don't > edit --><link>http://kiosk.example/</link>)"
    R"(<item><title>First</title><description><![CDATA[<p>First <b>news</b></p>]]></description></item>)"
    R"(<item><title>Second</title><description>
        <![CDATA[<p>Second</p><br/>]]>
      </description><link>http://kiosk.example/2</link></item></channel></rss>)";

const char* const MinifiedDump = R"(channel
 Title=Kiosk
 Link=http://kiosk.example/
 item
  Title=First
  Description=<p>First <b>news</b></p>
 item
  Title=Second
  Link=http://kiosk.example/2
  Description=<p>Second</p><br/>
)";

struct TFeedRow {
    const char* Name;
    QString Feed;
    QString Expected;
};

TEST(RSSScanner, Feeds) {
    const TFeedRow table[] = {
        {"RSS 2.0: the channel's own fields only; item pubDate, guid, author not kept", Rss20, Rss20Dump},
        {"RSS 1.0: channel and items side by side, dc:creator and dc:date", Rss10, Rss10Dump},
        {"RSS 0.91 with a DOCTYPE: every channel field", Rss091, Rss091Dump},
        {"minified, stylesheet, comment holding '>' and a quote, CDATA holding HTML", Minified, MinifiedDump},
        {"names compared exactly",
         "<rss><channel><Title>T</Title><title>t</title><ITEM><title>x</title></ITEM>"
         "<item><Link>L</Link><link>l</link><DC:creator>C</DC:creator></item></channel></rss>",
         "channel\n Title=t\n item\n  Link=l\n"},
        {"the first text run after the start tag; text after a nested element goes nowhere",
         "<rss><channel><title>A<b>x</b>B</title><description>D<!-- c -->E</description></channel></rss>",
         "channel\n Title=A\n Description=D\n"},
        {"a comment right after the start tag does not take the field's place",
         "<rss><channel><title><!-- c --> T </title></channel></rss>", "channel\n Title=T\n"},
        {"text and CDATA in one run, white space trimmed, entities kept",
         "<rss><channel><title>\n  Fish &amp; <![CDATA[<Chips>]]> &#233;\t</title></channel></rss>",
         "channel\n Title=Fish &amp; <Chips> &#233;\n"},
        {"a quoted '>' in an attribute stays in the tag",
         R"(<rss><channel><title a="x>y" b='>'>T</title><item><link rel="a>b">L</link></item></channel></rss>)",
         "channel\n Title=T\n item\n  Link=L\n"},
        {"a tab before an attribute ends the name",
         "<rss><channel><title\ttype=\"text\">T</title></channel></rss>", "channel\n Title=T\n"},
        {"empty elements open nothing",
         "<rss><channel><title/><atom:link href=\"http://a/\" rel=\"self\" /><link>L</link></channel></rss>",
         "channel\n Link=L\n"},
        {"a later field replaces an earlier one; an empty one leaves it",
         "<rss><channel><title>one</title><title>two</title><title></title></channel></rss>",
         "channel\n Title=two\n"},
        {"two channels",
         "<rss><channel><title>A</title></channel><channel><title>B</title><item/><item>"
         "<title>b1</title></item></channel></rss>",
         "channel\n Title=A\nchannel\n Title=B\n item\n  Title=b1\n"},
        {"an item before any channel is dropped, never crashes",
         "<rdf:RDF><item><title>Early</title></item><channel><title>C</title></channel>"
         "<item><title>Late</title></item></rdf:RDF>",
         "channel\n Title=C\n item\n  Title=Late\n"},
        {"an item left open: the next one is read all the same",
         "<rss><channel><item><title>A</title><item><title>B</title></item></channel></rss>",
         "channel\n item\n  Title=A\n item\n  Title=B\n"},
        {"an item's nested element does not fill the item",
         "<rss><channel><item><title>A</title><source><title>S</title></source></item></channel></rss>",
         "channel\n item\n  Title=A\n"},
        {"a cut tag at the end is not applied, text after the last tag goes nowhere",
         "<rss><channel><title>T</title><item><title>X", "channel\n Title=T\n item\n"},
        {"an unterminated CDATA at the end goes nowhere",
         "<rss><channel><title>T</title><item><title><![CDATA[X</title></item>",
         "channel\n Title=T\n item\n"},
        {"an empty CDATA counts as a run",
         "<rss><channel><title>A</title><title><![CDATA[]]></title></channel></rss>", "channel\n"},
        {"an end tag with a blank after '<'",
         "<rss><channel><image><title>I</title>< /image><title>T</title>"
         "</channel></rss>",
         "channel\n Title=T\n"},
        {"a '<' that starts no tag is text",
         "<rss><channel><item><title>a < b</title><link>L</link><description>1<2, x <= y</description>"
         "</item></channel></rss>",
         "channel\n item\n  Title=a < b\n  Link=L\n  Description=1<2, x <= y\n"},
        {"a '<' before the tag's '>' is text, a quote outside an attribute value is a character",
         "<rss><channel><item><title>a<b it's</title><link>L</link></item><item><title>c<d</title>"
         "</item></channel></rss>",
         "channel\n item\n  Title=a<b it's\n  Link=L\n item\n  Title=c<d\n"},
        {"an end tag closes what was left open inside its element",
         "<rss><channel><description>a <b>bold</description><title>T</title><item><description>Hello<br>"
         "world<p>x</description><link>L</link><title>I</title></item><item><title>J</title></item>"
         "</channel></rss>",
         "channel\n Title=T\n Description=a\n item\n  Title=I\n  Link=L\n  Description=Hello\n item\n"
         "  Title=J\n"},
        {"an end tag that closes nothing open is ignored; names matched ignoring case",
         "<rss><channel><title>T</TITLE><item><description>x</p></description><link>L</link></item>"
         "<link>CL</link></channel></rss>",
         "channel\n Title=T\n Link=CL\n item\n  Link=L\n  Description=x\n"},
        {"an Atom feed gives nothing",
         "<feed xmlns=\"http://www.w3.org/2005/Atom\"><title>A</title><entry><title>E</title></entry></feed>",
         ""},
        {"an empty text", "", ""},
    };
    for (const TFeedRow& row : table) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(Parse(row.Feed), row.Expected);
    }
}

// Deep nesting and many unclosed tags neither exhaust the stack nor lose the structure around them.
TEST(RSSScanner, DeepNestingKeepsTheStructure) {
    const QString feed = QStringLiteral("<rss><channel><title>Deep</title>") +
                         QStringLiteral("<a>").repeated(200000) + QStringLiteral("</a>").repeated(200000) +
                         QStringLiteral("<item><title>I</title></item>") +
                         QStringLiteral("<x>").repeated(100000) + QStringLiteral("</channel></rss>");
    EXPECT_EQ(Parse(feed), QStringLiteral("channel\n Title=Deep\n item\n  Title=I\n"));
}

TEST(RSSScanner, MemoryBoundStopsTheScan) {
    const QString feed = QStringLiteral("<rss><channel><title>T</title>") +
                         QStringLiteral("<item><title>x</title></item>").repeated(1000);
    TKvIRSSChannels all;
    EXPECT_TRUE(RSSTextToChannels(feed, all, 0));
    ASSERT_EQ(all.Count(), 1);
    EXPECT_EQ(all.First()->Items.Count(), 1000);
    TKvIRSSChannels cut;
    EXPECT_FALSE(RSSTextToChannels(feed, cut, 10000));
    ASSERT_EQ(cut.Count(), 1);
    EXPECT_GT(cut.First()->Items.Count(), 0);
    EXPECT_LT(cut.First()->Items.Count(), 1000);
}

// ---- decoding --------------------------------------------------------------------------------------------

TEST(RSSDecoding, ByMarkDeclarationOrLenientUtf8) {
    const QString cafe = QStringLiteral("<t>caf\u00e9 \u20ac</t>");
    QStringEncoder utf16le(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
    QStringEncoder utf16be(QStringEncoder::Utf16BE);
    struct TRow {
        const char* Name;
        QByteArray Bytes;
        QString Text;
    } table[] = {
        {"UTF-8 without declaration", cafe.toUtf8(), cafe},
        {"UTF-8 with a mark", "\xEF\xBB\xBF" + cafe.toUtf8(), cafe},
        {"UTF-16LE with a mark", utf16le(cafe), cafe},
        {"UTF-16BE without a mark, found by its '<'", utf16be(cafe), cafe},
        {"declared ISO-8859-1", "<?xml version='1.0' encoding='ISO-8859-1'?><t>caf\xE9</t>",
         QStringLiteral("<?xml version='1.0' encoding='ISO-8859-1'?><t>caf\u00e9</t>")},
        {"declared windows-1251", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><t>\xCF\xF0\xE8</t>",
         QStringLiteral("<?xml version=\"1.0\" encoding=\"windows-1251\"?><t>\u041f\u0440\u0438</t>")},
        {"declared UTF-16 but written in bytes", "<?xml version=\"1.0\" encoding=\"UTF-16\"?><t>\xC3\xA9</t>",
         QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?><t>\u00e9</t>")},
        {"declared US-ASCII: UTF-8 where it forms it, else Latin-1",
         "<?xml version=\"1.0\" encoding=\"US-ASCII\"?><t>\xC3\xA9 \xE9</t>",
         QStringLiteral("<?xml version=\"1.0\" encoding=\"US-ASCII\"?><t>\u00e9 \u00e9</t>")},
        {"unknown declaration: UTF-8", "<?xml version=\"1.0\" encoding=\"x-nothing\"?><t>\xC3\xA9</t>",
         QStringLiteral("<?xml version=\"1.0\" encoding=\"x-nothing\"?><t>\u00e9</t>")},
        {"invalid bytes stand for themselves", "<t>\xC3\xA9 \xE9 \xC3 \xED\xA0\x80 \xF0\x9F\x98\x80</t>",
         QStringLiteral("<t>\u00e9 \u00e9 \u00c3 \u00ed\u00a0\u0080 \U0001F600</t>")},
    };
    for (const TRow& row : table) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(RSSBytesToText(row.Bytes), row.Text);
    }
}

// ---- the model -------------------------------------------------------------------------------------------

void FillChannel(TKvIRSSChannel& C, const QString& Salt) {
    QString* fields[] = {&C.Title,    &C.Link,           &C.Description, &C.Language, &C.Copyright,
                         &C.Rating,   &C.ManagingEditor, &C.WebMaster,   &C.PubDate,  &C.LastBuildDate,
                         &C.Category, &C.Generator,      &C.Docs,        &C.Ttl};
    int n = 0;
    for (QString* f : fields)
        *f = Salt + QString::number(++n);
    for (int i = 0; i < 3; ++i) {
        auto* item = new TKvIRSSItem;
        item->Title = Salt + QStringLiteral("t%1").arg(i);
        item->Link = Salt + QStringLiteral("l%1").arg(i);
        item->Description = Salt + QStringLiteral("d%1").arg(i);
        item->Creator = Salt + QStringLiteral("c%1").arg(i);
        item->Date = Salt + QStringLiteral("D%1").arg(i);
        C.Items.Add(item);
    }
}

TEST(RSSModel, AssignCopiesEveryFieldAndItem) {
    TKvIRSSChannels source, target;
    source.Add(new TKvIRSSChannel);
    target.Add(new TKvIRSSChannel);
    FillChannel(*source.First(), QStringLiteral("s"));
    target.First()->Items.Add(new TKvIRSSItem); // replaced, not kept
    target.First()->Assign(source.First());
    EXPECT_EQ(Dump(target), Dump(source));
    ASSERT_EQ(target.First()->Items.Count(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(target.First()->Items.Items(i), source.First()->Items.Items(i)); // copies, not shared

    // Itself and null: nothing changes (assigning a list to itself must not empty it).
    target.First()->Assign(target.First());
    target.First()->Items.AssignItems(&target.First()->Items);
    target.First()->Assign(nullptr);
    EXPECT_EQ(Dump(target), Dump(source));
}

TEST(RSSModel, ListsGetDeleteAndClear) {
    TKvIRSSChannels channels;
    channels.Add(new TKvIRSSChannel);
    FillChannel(*channels.First(), QStringLiteral("x"));
    TKvIRSSItems& items = channels.First()->Items;
    EXPECT_EQ(channels.GetItem(-1), nullptr);
    EXPECT_EQ(channels.GetItem(channels.Count()), nullptr);
    EXPECT_EQ(channels.GetItem(0), channels.First());
    EXPECT_EQ(items.GetItem(3), nullptr);
    items.DeleteItem(1);
    ASSERT_EQ(items.Count(), 2);
    EXPECT_EQ(items.GetItem(1)->Title, QStringLiteral("xt2"));
    EXPECT_THROW(items.DeleteItem(2), EListError);
    items.ClearItems();
    EXPECT_EQ(items.Count(), 0);
    channels.Clear(); // frees like ClearItems (the sanitizer build finds a leak otherwise)
    EXPECT_EQ(channels.Count(), 0);
}

// ---- whole runs ------------------------------------------------------------------------------------------

/// The parser with its local copy's name opened up.
class TProbeParser : public TKvIRSSParser {
public:
    using TKvIRSSParser::LocalFileName;
    using TKvIRSSParser::TKvIRSSParser;
};

class RSSRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        NginxPort = ServerPort("nginx", "KV_NGINX_PORT");
        NginxRoot = ServerEnv("nginx", "KV_NGINX_ROOT");
        qunsetenv("http_proxy");
        qunsetenv("HTTP_PROXY");
        qunsetenv("all_proxy");
        qunsetenv("ALL_PROXY");
    }
    void TearDown() override {
        for (const QString& f : Served)
            QFile::remove(f);
    }
    /// Puts a feed into nginx's document root under a name unique to this test; returns its path there.
    QString Serve(const QString& Name, const QByteArray& Data) {
        const QString name =
            QStringLiteral("rss%1-%2").arg(qint64(QCoreApplication::applicationPid())).arg(Name);
        const QString path = NginxRoot + u'/' + name;
        WriteFile(path, Data);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther);
        Served << path;
        return u'/' + name;
    }
    void Http(TKvIRSSParser& P, const QString& Remote, int Port) {
        P.SetService(isHTTP);
        P.SetHost(QStringLiteral("127.0.0.1"));
        P.SetPort(Port);
        P.SetRemoteFileName(Remote);
        P.SetLoginPrompt(false);
        P.SetTimeout(10);
    }
    QString Url(const QString& Remote) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(NginxPort).arg(Remote);
    }

    int NginxPort = 0;
    QString NginxRoot;
    QStringList Served;
};

QByteArray Chunked(const QByteArray& Body, int Size) {
    QByteArray out;
    for (qsizetype i = 0; i < Body.size(); i += Size) {
        const QByteArray piece = Body.mid(i, Size);
        out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

TEST_F(RSSRunTest, FeedsServedByNginx) {
    const TFeedRow table[] = {{"2.0", Rss20, Rss20Dump},
                              {"1.0", Rss10, Rss10Dump},
                              {"0.91", Rss091, Rss091Dump},
                              {"minified", Minified, MinifiedDump}};
    for (const TFeedRow& row : table) {
        SCOPED_TRACE(row.Name);
        TProbeParser parser;
        Http(parser, Serve(QString::fromLatin1(row.Name) + QStringLiteral(".xml"), row.Feed.toUtf8()),
             NginxPort);
        int seenAfter = -1;
        parser.SetOnAfterExecute([&](QObject*) { seenAfter = parser.Channels()->Count(); });
        EXPECT_TRUE(parser.Execute());
        EXPECT_EQ(parser.Status(), isFinished) << parser.LastError().toStdString();
        EXPECT_TRUE(parser.LastError().isEmpty());
        EXPECT_EQ(Dump(*parser.Channels()), row.Expected);
        EXPECT_EQ(seenAfter, parser.Channels()->Count()); // parsed before the run ends
        // The copy is gone after the run, from a directory of this parser's own, readable by no one else.
        ASSERT_FALSE(parser.LocalFileName().isEmpty());
        EXPECT_FALSE(QFileInfo::exists(parser.LocalFileName()));
        const QFileInfo dir(QFileInfo(parser.LocalFileName()).path());
        EXPECT_EQ(dir.permissions() &
                      (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::ExeOther),
                  QFileDevice::Permissions());
        EXPECT_TRUE(parser.LocalFileName().endsWith(QStringLiteral(".xml")));
    }
}

TEST_F(RSSRunTest, TwoParsersNeverShareTheirCopy) {
    const QString remote = Serve(QStringLiteral("shared.rss"), Rss20);
    QString directory;
    {
        TProbeParser a, b;
        Http(a, remote, NginxPort);
        Http(b, remote, NginxPort);
        // b runs while a is inside its run: a's copy is untouched by b's.
        int inner = 0;
        a.SetOnProgress([&](QObject*, int64_t, int64_t, bool&) {
            ++inner;
            EXPECT_TRUE(b.Execute());
            EXPECT_EQ(Dump(*b.Channels()), QString::fromLatin1(Rss20Dump));
        });
        EXPECT_TRUE(a.Execute());
        EXPECT_GT(inner, 0);
        EXPECT_EQ(Dump(*a.Channels()), QString::fromLatin1(Rss20Dump));
        EXPECT_NE(QFileInfo(a.LocalFileName()).path(), QFileInfo(b.LocalFileName()).path());
        directory = QFileInfo(a.LocalFileName()).path();
        EXPECT_TRUE(QFileInfo::exists(directory));
    }
    EXPECT_FALSE(QFileInfo::exists(directory)); // removed with its parser
}

// Feeds made on demand have no size: chunked or ended by the close. Each run downloads and parses again.
TEST_F(RSSRunTest, FeedsWithoutASizeAreParsedEveryRun) {
    const QByteArray feed = QByteArray(Rss10);
    const struct {
        const char* Name;
        QJsonObject Script;
    } table[] = {
        {"ended by the close", Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Type: application/rss+xml\r\n"
                                                 "Last-Modified: Tue, 05 Mar 2024 10:20:30 GMT\r\n\r\n",
                                                 feed)},
        {"chunked",
         Script::HttpReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n",
                           Chunked(feed, 100))},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.Name);
        ScriptedSession server(row.Script);
        TKvIRSSParser parser;
        Http(parser, QStringLiteral("/feed.rdf?x=1"), server.Port());
        for (int run = 1; run <= 2; ++run) {
            parser.Channels()->ClearItems();
            EXPECT_TRUE(parser.Execute());
            EXPECT_EQ(parser.Status(), isFinished) << parser.LastError().toStdString();
            EXPECT_EQ(Dump(*parser.Channels()), QString::fromLatin1(Rss10Dump)) << "run " << run;
        }
        EXPECT_TRUE(server.Received(2).startsWith("GET /feed.rdf?x=1 HTTP/1.0\r\n"));
    }
}

TEST_F(RSSRunTest, FailuresKeepThePreviousChannels) {
    TKvIRSSParser parser;
    Http(parser, Serve(QStringLiteral("good.xml"), Rss20), NginxPort);
    ASSERT_TRUE(parser.Execute());
    const QString before = Dump(*parser.Channels());
    ASSERT_EQ(before, QString::fromLatin1(Rss20Dump));

    // Cut short of its Content-Length: a failure, not a shorter feed.
    ScriptedSession cut(
        Script::HttpReply("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n", QByteArray(Rss10).left(300)));
    parser.SetPort(cut.Port());
    parser.SetRemoteFileName(QStringLiteral("/cut.xml"));
    EXPECT_FALSE(parser.Execute());
    EXPECT_EQ(parser.Status(), isFailed);
    EXPECT_FALSE(parser.LastError().isEmpty());
    EXPECT_EQ(Dump(*parser.Channels()), before);

    // Missing: not found, nothing parsed.
    parser.SetPort(NginxPort);
    parser.SetRemoteFileName(QStringLiteral("/no-such-feed.xml"));
    parser.Execute();
    EXPECT_EQ(parser.Status(), isNotFound);
    EXPECT_EQ(Dump(*parser.Channels()), before);

    // Larger than MaxReplySize: stopped during the download; the application's progress handler still runs
    // and stays installed.
    int reports = 0;
    parser.SetOnProgress([&reports](QObject*, int64_t, int64_t, bool&) { ++reports; });
    parser.SetMaxReplySize(1000);
    parser.SetRemoteFileName(Serve(QStringLiteral("big.xml"), QByteArray(Rss091) + QByteArray(20000, ' ')));
    EXPECT_FALSE(parser.Execute());
    EXPECT_EQ(parser.Status(), isFailed);
    EXPECT_EQ(parser.LastError(), QStringLiteral("The feed is larger than 1000 bytes"));
    EXPECT_EQ(Dump(*parser.Channels()), before);
    EXPECT_GT(reports, 0);
    ASSERT_TRUE(parser.OnProgress());
    bool abort = false;
    parser.OnProgress()(nullptr, 0, 0, abort);
    EXPECT_EQ(reports, 2);
}

// A second Execute from inside the running one (through the pumped message queue) is refused and leaves
// the running one's copy alone.
TEST_F(RSSRunTest, ExecuteInsideExecuteIsRefused) {
    TKvIRSSParser parser;
    Http(parser, Serve(QStringLiteral("again.xml"), Rss10), NginxPort);
    int inner = 0;
    parser.SetOnProgress([&](QObject*, int64_t, int64_t, bool&) {
        ++inner;
        EXPECT_FALSE(parser.Execute());
    });
    EXPECT_TRUE(parser.Execute());
    EXPECT_GT(inner, 0);
    EXPECT_EQ(parser.Status(), isFinished) << parser.LastError().toStdString();
    EXPECT_EQ(Dump(*parser.Channels()), QString::fromLatin1(Rss10Dump));
}

TEST_F(RSSRunTest, ParseWithoutACopyRaises) {
    TKvIRSSParser parser;
    EXPECT_THROW(parser.ParseRSS(), EFOpenError);
}

// ---- kvinet rss ------------------------------------------------------------------------------------------

TEST_F(RSSRunTest, CommandPrintsChannelsAndItems) {
    const QByteArray feed =
        "<rss><channel><title>A</title><link>http://a/</link>"
        "<item><title>a1</title><description>two\nlines \\ and \x1b[31m</description></item>"
        "<item><link>http://a/2</link></item></channel>"
        "<channel><title>B \xC3\xA9</title><ttl>5</ttl></channel></rss>";
    const auto r = Kvinet({QStringLiteral("rss"), Url(Serve(QStringLiteral("cmd.xml"), feed))});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_EQ(r.Out, "Title: A\n"
                     "Link: http://a/\n"
                     "item 1:\n"
                     "  Title: a1\n"
                     "  Description: two\\nlines \\\\ and \\x1b[31m\n"
                     "item 2:\n"
                     "  Link: http://a/2\n"
                     "\n"
                     "Title: B \xC3\xA9\n"
                     "Ttl: 5\n");
}

TEST_F(RSSRunTest, CommandFailsWithoutAFeed) {
    const struct {
        const char* Name;
        QStringList Args;
        int Exit;
        const char* Message;
    } table[] = {
        {"an Atom feed",
         {Url(Serve(QStringLiteral("atom.xml"), "<feed><title>A</title></feed>"))},
         1,
         "no RSS channel"},
        {"an HTML page", {Url(QStringLiteral("/index.html"))}, 1, "no RSS channel"},
        {"missing", {Url(QStringLiteral("/no-such.rss"))}, 1, "404"},
        {"past --max-size",
         {Url(Serve(QStringLiteral("max.xml"), Rss20)), QStringLiteral("--max-size"), QStringLiteral("100")},
         1,
         "larger than 100 bytes"},
        {"no source", {}, 2, "Try"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.Name);
        const auto r = Kvinet(QStringList{QStringLiteral("rss")} + row.Args);
        EXPECT_EQ(r.ExitCode, row.Exit);
        EXPECT_TRUE(r.Out.isEmpty()) << r.Out.toStdString();
        EXPECT_TRUE(r.Err.contains(row.Message)) << r.Err.toStdString();
    }
}

// A hostile feed (unclosed tags, quotes, CDATA and comments never closed, a million items) ends with a
// result; the test's time-out is the only bound applied.
TEST_F(RSSRunTest, CommandReadsAHostileFeed) {
    QByteArray feed = "<rss><channel><title>H</title>";
    feed += QByteArray("<item>").repeated(300000);
    feed += QByteArray("<a><b x='>'>").repeated(100000);
    feed += "<title>tail</title><![CDATA[ never closed";
    const auto r = Kvinet({QStringLiteral("rss"), Url(Serve(QStringLiteral("hostile.xml"), feed))});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_TRUE(r.Out.startsWith("Title: H\nitem 1:\nitem 2:\n"));
    EXPECT_TRUE(r.Out.endsWith("item 300000:\n"));
}

} // namespace
