// The component model: ownership and notifications, Assign refusals, string lists, collections, streams.
#include "platform/Classes.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace KvInet;

namespace {

// A component that records the notifications it receives and can watch another component.
class Watcher : public TComponent {
public:
    using TComponent::TComponent;
    ~Watcher() override {
        if (Log)
            Log->push_back(Name() + QStringLiteral(" freed"));
    }
    TComponent* Watched = nullptr;
    std::vector<QString>* Log = nullptr;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        if (Operation == opRemove && AComponent == Watched)
            Watched = nullptr;
    }
};

} // namespace

TEST(TComponentTest, OwnerFreesItsComponentsLastInsertedFirst) {
    std::vector<QString> log;
    auto* owner = new TComponent;
    auto* a = new Watcher(owner);
    a->SetName(QStringLiteral("a"));
    a->Log = &log;
    auto* b = new Watcher(owner);
    b->SetName(QStringLiteral("b"));
    b->Log = &log;
    EXPECT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(owner->FindComponent(QStringLiteral("B")), b);
    delete owner;
    EXPECT_EQ(log, (std::vector<QString>{QStringLiteral("b freed"), QStringLiteral("a freed")}));
}

TEST(TComponentTest, DuplicateNamesAreRefusedIgnoringCase) {
    TComponent owner;
    auto* a = new TComponent(&owner);
    a->SetName(QStringLiteral("Http1"));
    auto* b = new TComponent(&owner);
    EXPECT_THROW(b->SetName(QStringLiteral("HTTP1")), EComponentError);
    EXPECT_NO_THROW(b->SetName(QStringLiteral("Http2")));
}

TEST(TComponentTest, FreeingAComponentClearsReferencesToIt) {
    TComponent owner;
    // A sibling learns about a removal through its owner.
    auto* sibling = new Watcher(&owner);
    auto* target = new TComponent(&owner);
    sibling->Watched = target;
    delete target;
    EXPECT_EQ(sibling->Watched, nullptr);
    EXPECT_EQ(owner.ComponentCount(), 1);

    // A component of another owner learns about it only after FreeNotification.
    TComponent otherOwner;
    auto* remote = new Watcher(&otherOwner);
    auto* target2 = new TComponent(&owner);
    remote->Watched = target2;
    remote->FreeNotification(target2);
    delete target2;
    EXPECT_EQ(remote->Watched, nullptr);

    // ... and the link is mutual, so freeing the watcher first is safe too.
    auto* target3 = new TComponent(&owner);
    auto* remote2 = new Watcher(&otherOwner);
    remote2->Watched = target3;
    remote2->FreeNotification(target3);
    delete remote2;
    delete target3;
}

// Names are found by hash: a rename, a move to another owner and a free must each leave the owner's
// lookup telling the truth, and the name free for reuse.
TEST(TComponentTest, NameLookupFollowsRenamesMovesAndFrees) {
    TComponent owner, other;
    auto* a = new TComponent(&owner);
    a->SetName(QStringLiteral("Http1"));
    a->SetName(QStringLiteral("Http2"));
    EXPECT_EQ(owner.FindComponent(QStringLiteral("http1")), nullptr);
    EXPECT_EQ(owner.FindComponent(QStringLiteral("HTTP2")), a);
    other.InsertComponent(a);
    EXPECT_EQ(owner.FindComponent(QStringLiteral("Http2")), nullptr);
    EXPECT_EQ(other.FindComponent(QStringLiteral("Http2")), a);
    EXPECT_THROW((new TComponent(&other))->SetName(QStringLiteral("http2")), EComponentError);
    delete a;
    EXPECT_EQ(other.FindComponent(QStringLiteral("Http2")), nullptr);
    EXPECT_NO_THROW((new TComponent(&other))->SetName(QStringLiteral("Http2")));
}

// A component that frees another when told of an insertion.
class Freer : public TComponent {
public:
    using TComponent::TComponent;
    TComponent* Victim = nullptr;
    std::vector<QString>* Told = nullptr;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        if (Operation != opInsert)
            return;
        if (Told)
            Told->push_back(Name());
        if (Victim && AComponent != Victim)
            delete std::exchange(Victim, nullptr);
    }
};

TEST(TComponentTest, SiblingsAreToldInOrderAndAFreedOneIsSkipped) {
    std::vector<QString> told;
    TComponent owner;
    Freer* made[4];
    for (int i = 0; i < 4; ++i) {
        made[i] = new Freer(&owner);
        made[i]->SetName(QStringLiteral("c%1").arg(i));
        made[i]->Told = &told;
    }
    made[1]->Victim = made[2]; // c1 frees c2 while the round for a new component is under way
    told.clear();
    new TComponent(&owner);
    EXPECT_EQ(told, (std::vector<QString>{"c0", "c1", "c3"}));
    EXPECT_EQ(owner.ComponentCount(), 4);
}

TEST(TPersistentTest, AssignRefusalNamesBothClasses) {
    TStringList list;
    TCollection collection([](TCollection* c) { return new TCollectionItem(c); });
    try {
        list.Assign(&collection);
        FAIL() << "expected a conversion error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot assign a TCollection to a TStringList"));
    }
    try {
        list.Assign(nullptr);
        FAIL() << "expected a conversion error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot assign a nil to a TStringList"));
    }
}

TEST(TStringListTest, TextJoinsWithCrLfAndSplitsAtAnyLineBreak) {
    TStringList list;
    list.SetText(QStringLiteral("a\r\nb\rc\nd\r\n"));
    EXPECT_EQ(list.ToStringList(), (QStringList{"a", "b", "c", "d"}));
    EXPECT_EQ(list.Text(), QStringLiteral("a\r\nb\r\nc\r\nd\r\n"));

    list.SetText(QStringLiteral("x\r\n\r\ny"));
    EXPECT_EQ(list.ToStringList(), (QStringList{"x", "", "y"}));
    list.SetText(QStringLiteral("\n"));
    EXPECT_EQ(list.ToStringList(), (QStringList{""}));
    list.SetText(QString());
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Text(), QString());
}

TEST(TStringListTest, NameValueLinesIgnoreCaseOfNames) {
    TStringList list;
    list.Add(QStringLiteral("Content-Type=text/html"));
    list.Add(QStringLiteral("plain line"));
    list.Add(QStringLiteral("Empty="));
    list.Add(QStringLiteral("a=b=c"));
    EXPECT_EQ(list.Names(0), QStringLiteral("Content-Type"));
    EXPECT_EQ(list.Names(1), QString());
    EXPECT_EQ(list.Values(QStringLiteral("content-type")), QStringLiteral("text/html"));
    EXPECT_EQ(list.Values(QStringLiteral("a")), QStringLiteral("b=c"));
    EXPECT_EQ(list.IndexOfName(QStringLiteral("EMPTY")), 2);
    EXPECT_EQ(list.IndexOfName(QStringLiteral("Content")), -1);
    EXPECT_EQ(list.IndexOf(QStringLiteral("PLAIN LINE")), 1);

    list.SetValues(QStringLiteral("CONTENT-TYPE"), QStringLiteral("text/xml"));
    EXPECT_EQ(list.Strings(0), QStringLiteral("CONTENT-TYPE=text/xml"));
    list.SetValues(QStringLiteral("new"), QStringLiteral("1"));
    EXPECT_EQ(list.Strings(list.Count() - 1), QStringLiteral("new=1"));
    list.SetValues(QStringLiteral("content-type"), QString());
    EXPECT_EQ(list.IndexOfName(QStringLiteral("content-type")), -1);
}

TEST(TStringListTest, EditingAndAssign) {
    TStringList list;
    int changes = 0;
    list.SetOnChange([&](TStringList*) { ++changes; });
    list.Add(QStringLiteral("b"));
    list.Insert(0, QStringLiteral("a"));
    list.Add(QStringLiteral("c"));
    list.Delete(1);
    EXPECT_EQ(list.ToStringList(), (QStringList{"a", "c"}));
    EXPECT_EQ(changes, 4);
    EXPECT_THROW(list.Delete(2), EListError);
    EXPECT_THROW(list.Insert(5, QString()), EListError);

    TStringList copy;
    copy.Add(QStringLiteral("old"));
    copy.Assign(&list);
    EXPECT_EQ(copy.ToStringList(), list.ToStringList());
    list.Clear();
    EXPECT_EQ(copy.Count(), 2) << "Assign copies, it does not share";

    // A bulk change notifies once.
    changes = 0;
    list.SetText(QStringLiteral("1\r\n2\r\n3"));
    EXPECT_EQ(changes, 1);
}

TEST(TStringListTest, CommaTextQuotesWhatNeedsIt) {
    TStringList list;
    list.SetStringList({QStringLiteral("plain"), QStringLiteral("two words"), QStringLiteral("a,b"),
                        QStringLiteral("say \"hi\""), QString()});
    EXPECT_EQ(list.CommaText(), QStringLiteral("plain,\"two words\",\"a,b\",\"say \"\"hi\"\"\",\"\""));
    TStringList back;
    back.SetCommaText(list.CommaText());
    EXPECT_EQ(back.ToStringList(), list.ToStringList());
}

namespace {
class NamedItem : public TCollectionItem {
public:
    using TCollectionItem::TCollectionItem;
    QString Value;
    void Assign(const TPersistent* Source) override {
        if (const auto* other = dynamic_cast<const NamedItem*>(Source)) {
            Value = other->Value;
            return;
        }
        TCollectionItem::Assign(Source);
    }
};
} // namespace

TEST(TCollectionTest, OwnsItemsAndKeepsThemInOrder) {
    TComponent owner;
    TOwnedCollection<NamedItem> items(&owner);
    EXPECT_EQ(items.Owner(), &owner);
    NamedItem* a = items.Add();
    a->Value = QStringLiteral("a");
    items.Add()->Value = QStringLiteral("b");
    items.Add()->Value = QStringLiteral("c");
    EXPECT_EQ(items.Count(), 3);
    EXPECT_EQ(a->Collection(), &items);
    EXPECT_EQ(items.Items(2)->Index(), 2);

    items.Delete(1);
    EXPECT_EQ(items.Count(), 2);
    EXPECT_EQ(items.Items(1)->Value, QStringLiteral("c"));
    delete items.Items(0); // freeing an item removes it
    EXPECT_EQ(items.Count(), 1);
    EXPECT_THROW(items.Items(1), EListError);

    TOwnedCollection<NamedItem> copy;
    copy.Assign(&items);
    ASSERT_EQ(copy.Count(), 1);
    EXPECT_EQ(copy.Items(0)->Value, QStringLiteral("c"));
    // A collection of another item class is refused, and the target keeps what it held.
    TCollection foreign([](TCollection* c) { return new TCollectionItem(c); });
    foreign.Add();
    EXPECT_THROW(copy.Assign(&foreign), EConvertError);
    ASSERT_EQ(copy.Count(), 1);
    EXPECT_EQ(copy.Items(0)->Value, QStringLiteral("c"));
    items.Clear();
    EXPECT_EQ(items.Count(), 0);
}

TEST(TCollectionTest, FreedWithItsOwner) {
    auto* owner = new TComponent;
    auto* items = new TOwnedCollection<NamedItem>(owner);
    QPointer<TCollection> collection = items;
    QPointer<TCollectionItem> item = items->Add();
    EXPECT_EQ(items->parent(), owner);
    delete owner;
    EXPECT_TRUE(collection.isNull());
    EXPECT_TRUE(item.isNull());
}

TEST(TListTest, PlainPointerList) {
    int a = 1, b = 2, c = 3;
    TList<int> list;
    list.Add(&a);
    list.Add(&c);
    list.Insert(1, &b);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(*list.Items(1), 2);
    EXPECT_EQ(list.IndexOf(&c), 2);
    EXPECT_EQ(list.Remove(&a), 0);
    EXPECT_EQ(list.First(), &b);
    EXPECT_THROW(list.Items(2), EListError);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST(StreamTest, FileStreamModesAndErrors) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.bin"));
    try {
        TFileStream missing(path, fmOpenRead | fmShareDenyWrite);
        FAIL() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Cannot open file \"%1\".").arg(path)));
    }
    {
        TFileStream out(path, fmCreate);
        out.WriteBuffer("hello\0world", 11);
        EXPECT_EQ(out.Size(), 11);
    }
    {
        TFileStream in(path, fmOpenReadWrite | fmShareDenyNone);
        in.Seek(-5, soEnd);
        char buf[8] = {};
        EXPECT_EQ(in.Read(buf, 8), 5);
        EXPECT_EQ(QByteArray(buf, 5), QByteArray("world"));
        EXPECT_THROW(in.ReadBuffer(buf, 1), EReadError);
        in.SetSize(5);
        EXPECT_EQ(in.Size(), 5);
    }
    {
        // Opening for writing keeps the content: only the bytes written change.
        TFileStream out(path, fmOpenWrite | fmShareDenyWrite);
        EXPECT_EQ(out.Size(), 5);
        out.WriteBuffer("J", 1);
    }
    {
        TFileStream in(path, fmOpenRead);
        char buf[5] = {};
        in.ReadBuffer(buf, 5);
        EXPECT_EQ(QByteArray(buf, 5), QByteArray("Jello"));
    }
    EXPECT_THROW(TFileStream(dir.filePath(QStringLiteral("missing")), fmOpenWrite), EFOpenError);
    EXPECT_THROW(TFileStream(dir.filePath(QStringLiteral("no/such/dir/x")), fmCreate), EFCreateError);
}

TEST(StreamTest, MemoryAndStringStreams) {
    TMemoryStream memory;
    memory.WriteBuffer("abc", 3);
    memory.SetPosition(10);
    memory.WriteBuffer("z", 1);
    EXPECT_EQ(memory.Size(), 11);
    EXPECT_EQ(memory.Data().at(5), '\0');

    TStringStream text(QStringLiteral("caf\u00E9 \u20AC"));
    EXPECT_EQ(text.Size(), 6) << "one byte per character in the ANSI code page";
    EXPECT_EQ(text.DataString(), QStringLiteral("caf\u00E9 ?"));

    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(text, 0), 6);
    EXPECT_EQ(copy.Data(), text.Data());
}
