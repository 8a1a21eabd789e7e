// test-gui
// test-servers: nginx scripted
// test-timeout: 300
// The web direct component: the news file's reading rules and new-item marks, which links a click may
// open, the news window (layout, marks, clicks, parent control, several windows, lifetime, what it says of
// a cut or broken news file) with screenshots under build/tests/screenshots/, whole updates from nginx
// through the component and through kvinet news, and kvinet news against scripted peers that break off,
// send too much or disguise captions.
#include "web/kvidirect.h"

#include "platform/Forms.h"
#include "support/CommandCases.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMetaEnum>
#include <QPainter>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace KvInet;
using namespace KvTest;

namespace {

// "section: [*]caption=link" per item, the marks as the printed tree gives them.
QStringList Flatten(const QList<TKvNewsGroup>& Groups) {
    QStringList out;
    for (const TKvNewsGroup& g : Groups) {
        out << g.Name;
        for (const TKvNewsItem& i : g.Items)
            out << QStringLiteral("%1%2=%3").arg(i.New ? "*" : "", i.Caption, i.Link);
    }
    return out;
}

QStringList Tree(const QByteArray& News, const QByteArray* Previous = nullptr) {
    TKvNewsFile news, previous;
    news.LoadFromData(News);
    if (Previous)
        previous.LoadFromData(*Previous);
    return Flatten(NewsTree(news, Previous ? &previous : nullptr));
}

const QByteArray TwoSections = "[Releases]\n"
                               "https://example.org/2.0=Version 2.0 is out\n"
                               "https://example.org/tips=Tips and tricks\n"
                               "mailto:news@example.org=Write to us\n"
                               "[Events]\n"
                               "ftp://example.org/fair.txt=Meet us at the fair\n";

// ---- the news file ---------------------------------------------------------------------------------------

TEST(NewsFile, ReadingRules) {
    const struct {
        const char* Name;
        QByteArray Data;
        QStringList Expected; // no previous copy: every item new
    } table[] = {
        {"order, trimming, first '=' ends the key",
         "[B]\n z=last  \n a = first = still caption \n[A]\nm=mid\n",
         {"B", "*last=z", "*first = still caption=a", "A", "*mid=m"}},
        {"blank, comment, no '=' and lines before a section skipped",
         "x=outside\n\n[S]\n; a=comment\n   \njust text\nk=v\n",
         {"S", "*v=k"}},
        {"a key twice (any case) shows the first caption twice, each with its own link",
         "[S]\nhttp://a/=One\nother=Two\nHTTP://A/=Three\n",
         {"S", "*One=http://a/", "*Two=other", "*One=HTTP://A/"}},
        {"a section again is read at its first occurrence",
         "[S]\na=1\n[T]\nb=2\n[s]\nc=3\n",
         {"S", "*1=a", "T", "*2=b"}},
        {"CRLF, a byte order mark, an unclosed section name",
         "\xEF\xBB\xBF[Head\r\nk=v\r\n",
         {"Head", "*v=k"}},
        {"UTF-8, and Latin-1 for a line that is not UTF-8",
         "[Caf\xC3\xA9]\nu=na\xC3\xAFve\nl=na\xEFve\n",
         {QStringLiteral("Café"), QStringLiteral("*naïve=u"), QStringLiteral("*naïve=l")}},
        {"an empty caption and control characters", "[S]\nk=\nt=a\tb\x1b[31m\n", {"S", "*=k", "*a b?[31m=t"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(Tree(row.Data), row.Expected);
    }
}

TEST(NewsFile, NewItemsAgainstThePreviousCopy) {
    const QByteArray previous = "[Releases]\nhttps://example.org/2.0=Version 2.0 is out\n"
                                "HTTPS://EXAMPLE.ORG/TIPS=Tips\nmailto:news@example.org=\n"
                                "[Other]\nftp://example.org/fair.txt=Meet us\n";
    // Same key in another case: not new; an empty value: new; the same key in another section: new.
    EXPECT_EQ(Tree(TwoSections, &previous),
              QStringList({"Releases", "Version 2.0 is out=https://example.org/2.0",
                           "Tips and tricks=https://example.org/tips", "*Write to us=mailto:news@example.org",
                           "Events", "*Meet us at the fair=ftp://example.org/fair.txt"}));
    const QByteArray empty;
    EXPECT_EQ(Tree("[S]\na=1\n", &empty), QStringList({"S", "*1=a"}));
}

TEST(NewsFile, PrintedTree) {
    TKvNewsFile news;
    news.LoadFromData(TwoSections + "x\ty\x07=a\tb\n");
    const QByteArray previous = "[Releases]\nhttps://example.org/tips=Tips\n";
    TKvNewsFile old;
    old.LoadFromData(previous);
    EXPECT_EQ(NewsTreeText(NewsTree(news, &old)), "Releases\n"
                                                  "  * Version 2.0 is out\thttps://example.org/2.0\n"
                                                  "    Tips and tricks\thttps://example.org/tips\n"
                                                  "  * Write to us\tmailto:news@example.org\n"
                                                  "Events\n"
                                                  "  * Meet us at the fair\tftp://example.org/fair.txt\n"
                                                  "  * a b\tx y?\n");
}

TEST(NewsFile, HostileFilesAreBounded) {
    QTemporaryDir dir;
    // Many sections and items: cut at the node bound.
    QByteArray many;
    for (int i = 0; i < TKvNewsFile::MaxNodes; ++i)
        many += "[s" + QByteArray::number(i) + "]\nk=v\n";
    TKvNewsFile news;
    news.LoadFromData(many);
    int nodes = 0;
    for (const TKvNewsSection& s : news.Sections())
        nodes += 1 + int(s.Entries.size());
    EXPECT_EQ(nodes, TKvNewsFile::MaxNodes);
    EXPECT_EQ(news.TruncatedText(),
              "The news file holds more than 10,000 sections and items: only the first 10,000 are shown.");
    // A file past the byte bound: read up to it, whole lines only.
    const QString big = dir.filePath("big.sin");
    WriteFile(big, "[S]\n" + QByteArray(TKvNewsFile::MaxBytes, 'x') + "\nk=v\n");
    ASSERT_TRUE(news.Load(big));
    EXPECT_EQ(news.TruncatedText(), "The news file is larger than 4 MiB: only its first 4 MiB are shown.");
    ASSERT_EQ(news.Sections().size(), 1);
    EXPECT_TRUE(news.Sections()[0].Entries.isEmpty());
    // Binary garbage reads without harm; a missing file is empty.
    QByteArray noise(70000, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 131 + 7) % 256);
    news.LoadFromData(QByteArray("[\0]\n", 4) + noise);
    ASSERT_FALSE(news.Sections().isEmpty());
    EXPECT_EQ(news.Sections()[0].Name, QString(QChar(0)));
    const QString printed = NewsTreeText(NewsTree(news, nullptr));
    EXPECT_TRUE(printed.startsWith(u"?\n"));
    for (const QChar c : printed)
        ASSERT_FALSE(c != u'\n' && c != u'\t' &&
                     (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0)))
            << "control character " << int(c.unicode()) << " printed";
    EXPECT_FALSE(news.Truncated());
    EXPECT_FALSE(news.Load(dir.filePath("missing.sin")));
    EXPECT_TRUE(news.Sections().isEmpty());
}

// ---- links -----------------------------------------------------------------------------------------------

TEST(WebDirectLinks, OnlyWebAndMailLinksOpen) {
    TKvWebDirect d;
    const struct {
        const char* Link;
        bool Allowed;
    } table[] = {
        {"http://example.org/news?id=1", true},
        {"HTTPS://Example.org/", true},
        {"ftp://example.org/f.txt", true},
        {"mailto:news@example.org", true},
        {"file:///etc/passwd", false},
        {"/usr/bin/xterm", false},
        {"calc.exe", false},
        {"javascript:alert(1)", false},
        {"smb://host/share", false},
        {"http:no-host", false},
        {"http://a/b c", false},
        {"http://a/\n$(rm -rf ~)", false},
        {"mailto:", false},
        {"", false},
        {"x-scheme-handler://run", false},
        {"news:comp.lang", false},
    };
    for (const auto& row : table)
        EXPECT_EQ(d.LinkAllowed(QString::fromLatin1(row.Link)), row.Allowed) << row.Link;
    d.SetLinkSchemes({QStringLiteral("http"), QStringLiteral("news")});
    EXPECT_TRUE(d.LinkAllowed(QStringLiteral("news:comp.lang")));
    EXPECT_FALSE(d.LinkAllowed(QStringLiteral("mailto:news@example.org")));
}

// ---- the component's setup -------------------------------------------------------------------------------

TEST(WebDirect, DefaultsAndFileNames) {
    TKvWebDirect d;
    EXPECT_EQ(d.ShowMode(), omAlways);
    EXPECT_EQ(d.Title(), "Norvalith WebDirect");
    EXPECT_EQ(d.ParentControl(), nullptr);
    const QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    EXPECT_EQ(d.LocalFileName(),
              QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + u'/' + base + ".sin");
    d.SetLocalFileName(QStringLiteral("/d.x/news.v2.sin"));
    EXPECT_EQ(d.PreviousFileName(), "/d.x/news.v2.~sin");
    d.SetLocalFileName(QStringLiteral("/d.x/news"));
    EXPECT_EQ(d.PreviousFileName(), "/d.x/news.~sin");
    d.SetLocalFileName(QStringLiteral("/d/n.~sin"));
    EXPECT_EQ(d.PreviousFileName(), "/d/n.~sin.~sin");
    // Published in this order, the show mode by name; the local file is not published.
    const QMetaObject* meta = d.metaObject();
    const int first = meta->indexOfProperty("ShowMode");
    EXPECT_EQ(meta->indexOfProperty("Title"), first + 1);
    EXPECT_EQ(meta->indexOfProperty("ParentControl"), first + 2);
    EXPECT_EQ(meta->indexOfProperty("LocalFileName"), -1);
    EXPECT_TRUE(meta->property(first).isEnumType());
    EXPECT_TRUE(d.setProperty("ShowMode", QStringLiteral("omIfChanged")));
    EXPECT_EQ(d.ShowMode(), omIfChanged);
    EXPECT_EQ(QMetaEnum::fromType<TKvIShowMode>().valueToKey(2), QByteArray("omIfChanged"));
}

// ---- the window ------------------------------------------------------------------------------------------

class NewsWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Direct = std::make_unique<TKvWebDirect>();
        Direct->SetLocalFileName(Dir.filePath("news.sin"));
        WriteFile(Dir.filePath("news.sin"), TwoSections);
        OldOpener = SetOpenURLHandler([this](const QUrl& Url) {
            Opened << Url.toString();
            return true;
        });
        OldMessage = SetMessageDlgHandler([this](TMsgDlgType, const QString& Text, unsigned) {
            Messages << Text;
            return int(mrOk);
        });
    }
    void TearDown() override {
        SetOpenURLHandler(OldOpener);
        SetMessageDlgHandler(OldMessage);
    }
    // Clicks the caption of Node (the middle of its text).
    void ClickNode(QTreeWidgetItem* Node) {
        TKvITreeView* t = Direct->Tree();
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(Node).center());
    }
    QTemporaryDir Dir;
    std::unique_ptr<TKvWebDirect> Direct;
    QStringList Opened, Messages;
    TOpenURLHandler OldOpener;
    TMessageDlgHandler OldMessage;
};

TEST_F(NewsWindow, LayoutMarksAndGlyphs) {
    WriteFile(Dir.filePath("news.~sin"), "[Releases]\nhttps://example.org/tips=Tips\n");
    Direct->SetTitle(QStringLiteral("Product news"));
    Direct->Show();
    QWidget* form = Direct->Form();
    TKvITreeView* t = Direct->Tree();
    ASSERT_NE(form, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->isWindow());
    EXPECT_EQ(form->windowTitle(), "Product news");
    EXPECT_EQ(form->size(), QSize(460, 320));
    EXPECT_NE(form->minimumSize(), form->maximumSize()); // sizeable
    const QPoint offCentre =
        form->geometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 4); // within the frame's margins
    EXPECT_EQ(t->geometry(), form->rect());
    EXPECT_TRUE(t->TrackSelect());
    EXPECT_TRUE(t->hasMouseTracking());
    EXPECT_EQ(t->editTriggers(), QAbstractItemView::NoEditTriggers);

    ASSERT_EQ(t->topLevelItemCount(), 2);
    EXPECT_EQ(t->topLevelItem(0)->text(0), "Releases");
    EXPECT_EQ(t->topLevelItem(1)->text(0), "Events");
    EXPECT_EQ(t->topLevelItem(0)->childCount(), 3);
    EXPECT_EQ(t->topLevelItem(1)->childCount(), 1);
    EXPECT_TRUE(t->topLevelItem(0)->isExpanded());
    EXPECT_TRUE(t->topLevelItem(1)->isExpanded());
    EXPECT_EQ(t->currentItem(), t->topLevelItem(0));
    EXPECT_EQ(TKvITreeView::NodeData(t->topLevelItem(0)), nullptr);

    // Glyphs: 16 x 16, white masked out, yellow first, blue second.
    ASSERT_EQ(Direct->ImageList()->Images().size(), 2);
    const QImage yellow = Direct->ImageList()->Images()[0].toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage blue = Direct->ImageList()->Images()[1].toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(yellow.size(), QSize(16, 16));
    EXPECT_EQ(qAlpha(yellow.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(blue.pixel(0, 0)), 0);
    const QColor y = yellow.pixelColor(8, 8), b = blue.pixelColor(8, 8);
    EXPECT_GT(y.red(), y.blue());
    EXPECT_GT(b.blue(), b.red());

    // Only the items the previous copy lacks are bold with the blue glyph.
    const struct {
        int Section, Item;
        const char* Caption;
        const char* Url;
        bool New;
    } items[] = {
        {0, 0, "Version 2.0 is out", "https://example.org/2.0", true},
        {0, 1, "Tips and tricks", "https://example.org/tips", false},
        {0, 2, "Write to us", "mailto:news@example.org", true},
        {1, 0, "Meet us at the fair", "ftp://example.org/fair.txt", true},
    };
    const QImage blueIcon = QIcon(Direct->ImageList()->Images()[1]).pixmap(16, 16).toImage();
    const QImage yellowIcon = QIcon(Direct->ImageList()->Images()[0]).pixmap(16, 16).toImage();
    for (const auto& row : items) {
        SCOPED_TRACE(row.Caption);
        QTreeWidgetItem* node = t->topLevelItem(row.Section)->child(row.Item);
        EXPECT_EQ(node->text(0), row.Caption);
        ASSERT_NE(TKvITreeView::NodeData(node), nullptr);
        EXPECT_EQ(TKvITreeView::NodeData(node)->Url, row.Url);
        EXPECT_EQ(node->font(0).bold(), row.New);
        EXPECT_EQ(node->icon(0).pixmap(16, 16).toImage(), row.New ? blueIcon : yellowIcon);
    }
    // Hot tracking: the item under the mouse, a hand over a link.
    QTreeWidgetItem* tips = t->topLevelItem(0)->child(1);
    QTest::mouseMove(t->viewport(), t->visualItemRect(tips).center());
    EXPECT_EQ(t->HotNode(), tips);
    EXPECT_EQ(t->viewport()->cursor().shape(), Qt::PointingHandCursor);
    KvTest::SaveScreenshot(form, "direct-1-window");
}

TEST_F(NewsWindow, ClicksOpenTheItemUnderTheMouse) {
    Direct->Show();
    TKvITreeView* t = Direct->Tree();
    ASSERT_NE(t, nullptr);
    QTreeWidgetItem* tips = t->topLevelItem(0)->child(1);
    ClickNode(tips);
    EXPECT_EQ(Opened, QStringList{"https://example.org/tips"});
    EXPECT_EQ(t->currentItem(), tips);
    // A section, then empty space below the items: nothing, even with a link selected.
    ClickNode(t->topLevelItem(1));
    ClickNode(tips);
    Opened.clear();
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, QPoint(200, t->viewport()->height() - 5));
    EXPECT_TRUE(Opened.isEmpty());
    EXPECT_EQ(t->ClickedNode(), nullptr);
    // Left of a leaf's glyph (its indentation) is not the leaf.
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, QPoint(2, t->visualItemRect(tips).center().y()));
    EXPECT_TRUE(Opened.isEmpty());
    // Enter opens the current item.
    t->setCurrentItem(t->topLevelItem(1)->child(0));
    QTest::keyClick(t, Qt::Key_Return);
    EXPECT_EQ(Opened, QStringList{"ftp://example.org/fair.txt"});
    EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(NewsWindow, RefusedLinksAreNotOpened) {
    WriteFile(Dir.filePath("news.sin"), "[Tricks]\nfile:///etc/passwd=Your files\n/usr/bin/xterm=A terminal\n"
                                        "http://ok.example/=Fine\n");
    Direct->Show();
    TKvITreeView* t = Direct->Tree();
    ClickNode(t->topLevelItem(0)->child(0));
    ClickNode(t->topLevelItem(0)->child(1));
    EXPECT_TRUE(Opened.isEmpty());
    ASSERT_EQ(Messages.size(), 2);
    EXPECT_TRUE(Messages[0].startsWith(
        "This link was not opened: only http, https, ftp, mailto links are opened.\n"));
    EXPECT_TRUE(Messages[0].endsWith("file:///etc/passwd"));
    ClickNode(t->topLevelItem(0)->child(2));
    EXPECT_EQ(Opened, QStringList{"http://ok.example/"});
}

TEST_F(NewsWindow, ParentControlIsFilledWithoutWaiting) {
    auto host = std::make_unique<QWidget>();
    host->resize(300, 200);
    host->show();
    QObject notAWidget;
    EXPECT_THROW(Direct->SetParentControl(&notAWidget), EConvertError);
    EXPECT_EQ(Direct->ParentControl(), nullptr);
    Direct->SetParentControl(host.get());
    Direct->ShowModal(); // returns at once with a parent control
    QWidget* form = Direct->Form();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->parentWidget(), host.get());
    EXPECT_FALSE(form->isWindow());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->geometry(), QRect(0, 0, 300, 200));
    host->resize(400, 250);
    EXPECT_EQ(form->geometry(), QRect(0, 0, 400, 250));
    EXPECT_EQ(Direct->Tree()->geometry(), form->rect());
    KvTest::SaveScreenshot(host.get(), "direct-2-parent");
    // The control goes: the component forgets it and its window.
    host.reset();
    EXPECT_EQ(Direct->ParentControl(), nullptr);
    EXPECT_EQ(Direct->Form(), nullptr);
    EXPECT_EQ(Direct->Tree(), nullptr);
}

TEST_F(NewsWindow, EachWindowKeepsItsOwnDataAndTheComponentClosesThem) {
    Direct->Show();
    QPointer<QWidget> first = Direct->Form();
    QPointer<TKvITreeView> firstTree = Direct->Tree();
    WriteFile(Dir.filePath("news.sin"), "[Second]\nhttp://two.example/=Two\n");
    Direct->Show();
    QPointer<QWidget> second = Direct->Form();
    QPointer<TKvIImageList> images = Direct->ImageList();
    ASSERT_NE(first, second);
    // Closing the earlier window frees its own things only.
    EXPECT_TRUE(first->close());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_TRUE(firstTree.isNull());
    ASSERT_EQ(Direct->Form(), second);
    ASSERT_FALSE(images.isNull());
    EXPECT_EQ(images->Images().size(), 2);
    QTreeWidgetItem* two = Direct->Tree()->topLevelItem(0)->child(0);
    EXPECT_EQ(TKvITreeView::NodeData(two)->Url, "http://two.example/");
    ClickNode(two);
    EXPECT_EQ(Opened, QStringList{"http://two.example/"});
    // A window left open goes with its component.
    Direct.reset();
    EXPECT_TRUE(second.isNull());
}

TEST_F(NewsWindow, ShowModalWaitsUntilClosed) {
    bool seen = false;
    QTimer::singleShot(50, [&] {
        QWidget* form = Direct->Form();
        ASSERT_NE(form, nullptr);
        seen = form->isVisible() && form->isModal();
        KvTest::SaveScreenshot(form, "direct-3-modal");
        form->close();
    });
    Direct->ShowModal();
    EXPECT_TRUE(seen);
    EXPECT_EQ(Direct->Form(), nullptr); // closing freed it
}

// The part record the updater leaves beside a broken download.
struct PartProbe : TKvWebDirect {
    using TKvCustomWebComponent::PartRecordName;
};

TEST_F(NewsWindow, CutBrokenAndDisguisedFilesAreShownForWhatTheyAre) {
    QByteArray many = "[Many]\n";
    for (int i = 0; i <= TKvNewsFile::MaxNodes; ++i)
        many += "https://example.org/" + QByteArray::number(i) + "=Item " + QByteArray::number(i) + "\n";
    const struct {
        const char* Name;
        QByteArray News;
        bool Part;
        const char* Warning; // the start of the line above the tree, none when null
        int Items;
        const char* FirstCaption;
    } table[] = {
        {"cut", many, false, "The news file holds more than 10,000", TKvNewsFile::MaxNodes - 1, "Item 0"},
        {"part of a broken download", TwoSections, true, "The news file holds only part of a download", 0,
         ""},
        {"bidirectional controls",
         "[S]\nhttps://example.org/=\xE2\x80\xAE"
         "fdp.exe\xE2\x81\xA6x\n",
         false, nullptr, 1, "?fdp.exe?x"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.Name);
        WriteFile(Dir.filePath("news.sin"), row.News);
        QFile::remove(PartProbe::PartRecordName(Dir.filePath("news.sin")));
        if (row.Part)
            WriteFile(PartProbe::PartRecordName(Dir.filePath("news.sin")), "record");
        Direct->Show();
        QWidget* form = Direct->Form();
        TKvITreeView* t = Direct->Tree();
        ASSERT_NE(t, nullptr);
        auto* label = form->findChild<QLabel*>(QStringLiteral("NewsWarning"));
        EXPECT_EQ(label != nullptr, row.Warning != nullptr);
        if (row.Warning && label) {
            EXPECT_TRUE(label->isVisible());
            EXPECT_TRUE(label->text().startsWith(QLatin1String(row.Warning))) << label->text().toStdString();
            EXPECT_TRUE(Direct->NewsWarning().startsWith(QLatin1String(row.Warning)));
            EXPECT_LE(label->geometry().bottom(), t->geometry().top()); // above the tree, not over it
            KvTest::SaveScreenshot(form,
                                   QStringLiteral("direct-6-warning-%1").arg(row.Part ? "part" : "cut"));
        }
        const int items = t->topLevelItemCount() ? t->topLevelItem(0)->childCount() : 0;
        EXPECT_EQ(items, row.Items);
        if (items) {
            EXPECT_EQ(t->topLevelItem(0)->child(0)->text(0), QString::fromUtf8(row.FirstCaption));
        }
        form->close();
    }
}

TEST_F(NewsWindow, AMissingFileGivesAnEmptyTree) {
    QFile::remove(Dir.filePath("news.sin"));
    Direct->Show();
    ASSERT_NE(Direct->Tree(), nullptr);
    EXPECT_EQ(Direct->Tree()->topLevelItemCount(), 0);
}

// ---- updates from nginx ----------------------------------------------------------------------------------

class NewsUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Root = ServerEnv("nginx", "KV_NGINX_ROOT");
        Port = ServerPort("nginx", "KV_NGINX_PORT");
        Path = QStringLiteral("/direct-%1.sin").arg(QCoreApplication::applicationPid());
    }
    void TearDown() override { QFile::remove(Root + Path); }
    void Serve(const QByteArray& Data) {
        WriteFile(Root + Path, Data);
        QFile::setPermissions(Root + Path, QFile::permissions(Root + Path) | QFileDevice::ReadOther);
    }
    QString Url() const { return QStringLiteral("http://127.0.0.1:%1%2").arg(Port).arg(Path); }
    QTemporaryDir Dir;
    QString Root, Path;
    int Port = 0;
};

TEST_F(NewsUpdate, MarksFollowTheUpdates) {
    TKvWebDirect d;
    d.SetHost(QStringLiteral("127.0.0.1"));
    d.SetPort(Port);
    d.SetRemoteFileName(Path);
    d.SetLocalFileName(Dir.filePath("sub/dir/news.sin")); // the directory is made
    d.SetShowMode(omIfChanged);
    QStringList shown;
    // The modal window each Execute opens is read and closed as soon as it shows.
    auto readAndClose = [&](const QString& ShotName) {
        QTimer::singleShot(50, [&, ShotName] {
            ASSERT_NE(d.Tree(), nullptr);
            shown.clear();
            for (int s = 0; s < d.Tree()->topLevelItemCount(); ++s)
                for (int i = 0; i < d.Tree()->topLevelItem(s)->childCount(); ++i) {
                    QTreeWidgetItem* node = d.Tree()->topLevelItem(s)->child(i);
                    shown << (node->font(0).bold() ? "*" : "") + node->text(0);
                }
            KvTest::SaveScreenshot(d.Form(), ShotName);
            d.Form()->close();
        });
    };

    Serve(TwoSections);
    readAndClose("direct-4-first-run");
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(d.Status(), isFinished);
    EXPECT_EQ(shown, QStringList({"*Version 2.0 is out", "*Tips and tricks", "*Write to us",
                                  "*Meet us at the fair"}));
    EXPECT_FALSE(QFileInfo::exists(d.PreviousFileName()));

    QByteArray added = TwoSections;
    added.insert(added.indexOf("[Events]"), "https://example.org/new=Added today\n");
    Serve(added);
    readAndClose("direct-5-one-added");
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(d.Status(), isFinished);
    EXPECT_EQ(shown, QStringList({"Version 2.0 is out", "Tips and tricks", "Write to us", "*Added today",
                                  "Meet us at the fair"}));
    EXPECT_EQ(ReadFile(d.PreviousFileName()), TwoSections);

    // Unchanged: skipped, no window; the previous copy now matches the news file.
    shown.clear();
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(d.Status(), isSkipped);
    EXPECT_EQ(d.Form(), nullptr);
    EXPECT_EQ(ReadFile(d.PreviousFileName()), added);

    // omNever only updates; Show displays later.
    d.SetShowMode(omNever);
    EXPECT_TRUE(d.Execute());
    EXPECT_EQ(d.Form(), nullptr);
    d.Show();
    ASSERT_NE(d.Tree(), nullptr);
    EXPECT_FALSE(d.Tree()->topLevelItem(0)->child(0)->font(0).bold());
}

TEST_F(NewsUpdate, CommandPrintsTheTreeAcrossTwoRuns) {
    const QString local = Dir.filePath("cli.sin");
    Serve("[Releases]\nhttps://example.org/2.0=Version 2.0\n[Events]\nfile:///etc/passwd=Fair\n");
    ProcessResult first = Kvinet({"news", Url(), "--local", local});
    EXPECT_EQ(first.ExitCode, 0) << first.Err.constData();
    EXPECT_EQ(first.Out,
              "Releases\n  * Version 2.0\thttps://example.org/2.0\nEvents\n  * Fair\tfile:///etc/passwd\n");

    Serve("[Releases]\nhttps://example.org/2.0=Version 2.0\nhttps://example.org/2.1=Version 2.1\n"
          "[Events]\nfile:///etc/passwd=Fair\n");
    ProcessResult second = Kvinet({"news", Url(), "--local", local, "--show-mode", "ifchanged"});
    EXPECT_EQ(second.ExitCode, 0) << second.Err.constData();
    EXPECT_EQ(second.Out,
              "Releases\n    Version 2.0\thttps://example.org/2.0\n  * Version 2.1\thttps://example.org/2.1\n"
              "Events\n    Fair\tfile:///etc/passwd\n");

    ProcessResult unchanged = Kvinet({"news", Url(), "--local", local, "--show-mode", "ifchanged"});
    EXPECT_EQ(unchanged.ExitCode, 0);
    EXPECT_TRUE(unchanged.Out.isEmpty());

    // A missing file: exit 1 with the reason, the tree already there still shown.
    ProcessResult missing = Kvinet({"news", Url() + "-missing", "--local", local});
    EXPECT_EQ(missing.ExitCode, 1);
    EXPECT_TRUE(missing.Out.startsWith("Releases\n"));
    EXPECT_TRUE(missing.Err.contains("kvinet news: "));

    EXPECT_EQ(Kvinet({"news", Url(), "--show-mode", "sometimes"}).ExitCode, 2);
    EXPECT_EQ(Kvinet({"news", Url(), "--max-size", "10"}).ExitCode, 2);
}

// ---- kvinet news against scripted peers ------------------------------------------------------------------

QByteArray Head(qint64 Length) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(Length) + "\r\n\r\n";
}

TEST(WebDirectResume, AWholeNewsFileIsNeverResumed) {
    QTemporaryDir dir;
    const QByteArray news = TwoSections + "[More]\nhttps://example.org/3=Three\n";
    ScriptedSession peer(Script::HttpReply(Head(news.size()), news));
    TKvWebDirect d;
    d.SetHost(QStringLiteral("127.0.0.1"));
    d.SetPort(peer.Port());
    d.SetRemoteFileName(QStringLiteral("/news.sin"));
    d.SetLocalFileName(dir.filePath("news.sin"));
    d.SetShowMode(omNever);
    d.SetResumeDownload(true);
    WriteFile(dir.filePath("news.sin"), TwoSections); // whole, shorter than the new one, no time to compare
    EXPECT_TRUE(d.Execute());
    for (int i = 1; i <= peer.Connections(); ++i)
        EXPECT_FALSE(peer.Received(i).contains("Range:")) << peer.Received(i).constData();
    EXPECT_EQ(ReadFile(dir.filePath("news.sin")), news);
    EXPECT_TRUE(d.ResumeDownload());
}

TEST(NewsCommand, BrokenCutAndDisguisedNews) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    using namespace Script;
    QByteArray news = "[Releases]\n";
    for (int i = 0; i < 30; ++i)
        news += "https://example.org/" + QByteArray::number(i) + "=Release " + QByteArray::number(i) + "\n";
    QByteArray allNew;
    for (int i = 0; i < 30; ++i)
        allNew +=
            "  * Release " + QByteArray::number(i) + "\thttps://example.org/" + QByteArray::number(i) + "\n";
    const QByteArray half = news.left(news.size() / 2);
    const QString fresh = dir.filePath("fresh.sin"), kept = dir.filePath("kept.sin");
    const QByteArray good = "[Releases]\nhttps://example.org/0=Release 0\n";
    WriteFile(kept, good);
    // 4,400 lines of 1,000 bytes: past 4 MiB well within 10,000 entries; then 10,000 short entries.
    const QByteArray wide = "https://example.org/w=" + QByteArray(977, 'v') + "\n";
    QByteArray tall = "[Tall]\n";
    for (int i = 0; i < TKvNewsFile::MaxNodes; ++i)
        tall += "https://example.org/" + QByteArray::number(i) + "=" + QByteArray::number(i) + "\n";
    // U+202E in a section, U+2066 in a link, then every other one in a caption, and U+202F, which stays.
    const QByteArray bidi = "[S\xE2\x80\xAE]\nhttps://example.org/\xE2\x81\xA6x=a\xE2\x80\xAE"
                            "b\xE2\x80\x8F"
                            "c\xD8\x9C"
                            "d\xE2\x81\xA9\xE2\x80\xAA"
                            "e\xE2\x80\x8E"
                            "f\xE2\x80\xAF\xE2\x81\xA7\xE2\x81\xA8\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD"
                            "g\n";
    const QString url = QStringLiteral("http://127.0.0.1:PORT/news.sin");
    const QByteArray broken =
        "kvinet news: warning: The news file holds only part of a download that broke off";
    auto noPrevious = [&](const QString& Local) {
        return [Local](const ProcessResult&) { EXPECT_FALSE(QFileInfo::exists(Local.chopped(4) + ".~sin")); };
    };
    RunCommandCases({
        {.What = "cut by --max-time with no earlier copy: nothing shown, the part kept to resume",
         .Args = {"news", url, "--local", fresh, "--max-time", "1"},
         .Script = Steps({ReadRequest(), Send(Head(news.size()) + half), Hang()}),
         .Exit = 1,
         .Err = Contains(broken),
         .Then = noPrevious(fresh)},
        {.What = "cut again: the part is still not shown, nor kept as the previous copy",
         .Args = {"news", url, "--local", fresh},
         .Script = HttpReply(Head(news.size()), half),
         .Exit = 1,
         .Err = Contains(broken),
         .Then = noPrevious(fresh)},
        {.What = "whole at last: every item new",
         .Args = {"news", url, "--local", fresh},
         .Script = HttpReply(Head(news.size()), news),
         .Out = Exactly("Releases\n" + allNew),
         .Then = noPrevious(fresh)},
        {.What = "cut with an earlier copy: the earlier copy shown and kept",
         .Args = {"news", url, "--local", kept},
         .Script = HttpReply(Head(news.size()), half),
         .Exit = 1,
         .Out = Exactly("Releases\n    Release 0\thttps://example.org/0\n"),
         .Err = Matches("kvinet news: [^\n]+\n"), // the reason, and no warning
         .Then = [&](const ProcessResult&) { EXPECT_EQ(ReadFile(kept), good); }},
        {.What = "past 4 MiB: shown in part, and said",
         .Args = {"news", url, "--local", dir.filePath("wide.sin")},
         .Script = Steps({ReadRequest(), Send(Head(7 + 4400 * wide.size()) + "[Wide]\n"),
                          SendRepeated(wide, 4400), Close()}),
         .Out = Contains("Wide\n  * vvv"),
         .Err = Exactly("kvinet news: warning: The news file is larger than 4 MiB: only its first 4 MiB are "
                        "shown.\n")},
        {.What = "past 10,000 sections and items: the first 10,000 shown, and said",
         .Args = {"news", url, "--local", dir.filePath("tall.sin")},
         .Script = HttpReply(Head(tall.size()), tall),
         .Out = Contains("Tall\n  * 0\thttps://example.org/0\n"),
         .Err = Exactly("kvinet news: warning: The news file holds more than 10,000 sections and items: only "
                        "the first 10,000 are shown.\n"),
         .Then =
             [](const ProcessResult& R) {
                 EXPECT_EQ(R.Out.count('\n'), TKvNewsFile::MaxNodes);
                 EXPECT_TRUE(R.Out.endsWith("\n  * 9998\thttps://example.org/9998\n"));
             }},
        {.What = "bidirectional controls in a section, a caption and a link are shown as '?'",
         .Args = {"news", url, "--local", dir.filePath("bidi.sin")},
         .Script = HttpReply(Head(bidi.size()), bidi),
         .Out = Exactly("S?\n  * a?b?c?d??e?f\xE2\x80\xAF?????g\thttps://example.org/?x\n")},
    });
}

} // namespace
