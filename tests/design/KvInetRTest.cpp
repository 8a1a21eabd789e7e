// Registration and the design-time editors: the palette page and its order, the pictures, the About command
// of every component of both families and the About property of the socket family.
// test-gui
#include "design/KvInetR.h"

#include "platform/Forms.h"
#include "socket/KvInBase.h"
#include "socket/KvInCnst.h"
#include "web/kviupdate.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace KvInet;

namespace KvInetRTestClasses {

// A component of neither family that publishes a string property named About.
class TOtherWithAbout : public TComponent {
    Q_OBJECT
    Q_PROPERTY(QString About READ About WRITE SetAbout)
public:
    using TComponent::TComponent;
    QString About() const { return FAbout; }
    void SetAbout(const QString& Value) { FAbout = Value; }

private:
    QString FAbout;
};

} // namespace KvInetRTestClasses

namespace {

// The palette's order.
const QStringList ExpectedPalette = {
    "TKvWhoIs",       "TKvInetDateTime", "TKvUPSTracker",  "TKvFedExTracker",  "TKvIHTTPClient",
    "TKvWebUpdater",  "TKvWebDirect",    "TKvRemoteImage", "TKvInfoExtractor", "TKvWeatherInfo",
    "TKvRemoteFiles", "TKvISMTP",        "TKvIRSSParser",  "TKvInetSNTP",      "TKvMSTranslator",
};

QStringList Names(const std::vector<TComponentClass>& Classes) {
    QStringList names;
    for (const TComponentClass& c : Classes)
        names.append(c.ClassName);
    return names;
}

// Captures the message boxes shown while it lives.
struct MessageCapture {
    struct Shown {
        TMsgDlgType Type;
        QString Text;
        unsigned Buttons;
    };
    std::vector<Shown> Messages;
    TMessageDlgHandler Previous;
    MessageCapture() {
        Previous = SetMessageDlgHandler([this](TMsgDlgType T, const QString& S, unsigned B) {
            Messages.push_back({T, S, B});
            return int(mrOk);
        });
    }
    ~MessageCapture() { SetMessageDlgHandler(Previous); }
    void ExpectOneAbout() const {
        ASSERT_EQ(Messages.size(), 1u);
        EXPECT_EQ(Messages[0].Type, mtInformation);
        EXPECT_EQ(Messages[0].Buttons, unsigned(mbOK));
        EXPECT_EQ(Messages[0].Text, AboutKvInetText());
    }
};

bool IsSuiteComponent(const TComponentClass& C) {
    return C.Meta->inherits(&TKvInetBase::staticMetaObject) ||
           C.Meta->inherits(&TKvCustomWebComponent::staticMetaObject);
}

TEST(KvInetRegister, PutsThePaletteClassesInOrderOnOnePage) {
    TDesignRegistry designer;
    Register(designer);
    EXPECT_EQ(designer.Pages(), QStringList{"Kv-Internet"});
    const std::vector<TComponentClass> page = designer.PageClasses("Kv-Internet");
    EXPECT_EQ(Names(page), ExpectedPalette);
    const QStringList names = Names(page);
    EXPECT_FALSE(names.contains("TKvIDNSResolver"));
    EXPECT_FALSE(names.contains("TKvXMLEngine"));
    // Every row of the class table with a page is on it.
    qsizetype onPalette = 0;
    for (const TComponentClass& c : KvInetClasses())
        onPalette += c.Page.isEmpty() ? 0 : 1;
    EXPECT_EQ(qsizetype(page.size()), onPalette);

    Register(designer);
    EXPECT_EQ(Names(designer.PageClasses("Kv-Internet")), ExpectedPalette) << "Register is not idempotent";
    EXPECT_EQ(designer.Pages().size(), 1);
}

TEST(KvInetRegister, EveryTableRowCreatesItsOwnClass) {
    QSet<QString> seen;
    for (const TComponentClass& c : KvInetClasses()) {
        SCOPED_TRACE(c.ClassName.toStdString());
        EXPECT_FALSE(seen.contains(c.ClassName)) << "listed twice";
        seen.insert(c.ClassName);
        TComponent owner;
        TComponent* made = c.Create(&owner);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made->ClassName(), c.ClassName);
        EXPECT_EQ(made->metaObject(), c.Meta);
        EXPECT_EQ(made->Owner(), &owner);
        EXPECT_EQ(FindKvInetClass(c.ClassName), &c);
    }
    EXPECT_EQ(FindKvInetClass("TKvNoSuchThing"), nullptr);
    EXPECT_EQ(FindKvInetClass("tkvwhois"), nullptr) << "class names in forms keep their case";
}

TEST(KvInetRegister, PalettePicturesAre24By24AndOnlyWhereListed) {
    // The library holds these pictures, the tracker's and the translator's included.
    const QStringList withPicture = {
        "TKvWhoIs",       "TKvInetDateTime", "TKvUPSTracker",   "TKvFedExTracker",  "TKvIHTTPClient",
        "TKvWebUpdater",  "TKvWebDirect",    "TKvRemoteImage",  "TKvInfoExtractor", "TKvWeatherInfo",
        "TKvRemoteFiles", "TKvISMTP",        "TKvMSTranslator", "TKvIDNSResolver"};
    for (const QString& name : withPicture) {
        SCOPED_TRACE(name.toStdString());
        const QImage image = PaletteImage(name);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(24, 24));
        QSet<QRgb> colours;
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 24; ++x)
                if (qAlpha(image.pixel(x, y)) != 0)
                    colours.insert(image.pixel(x, y));
        if (name == "TKvMSTranslator")
            EXPECT_GT(colours.size(), 16);
        else
            EXPECT_LE(colours.size(), 16);
    }
    EXPECT_TRUE(PaletteImage("TKvIRSSParser").isNull());
    EXPECT_TRUE(PaletteImage("TKvInetSNTP").isNull());
    for (const TComponentClass& c : KvInetClasses())
        EXPECT_EQ(c.Icon.isEmpty(), PaletteImage(c.ClassName).isNull()) << c.ClassName.toStdString();
}

TEST(KvInetComponentEditor, EveryComponentOfBothFamiliesHasOneAboutCommand) {
    TDesignRegistry designer;
    Register(designer);
    int checked = 0;
    for (const TComponentClass& c : KvInetClasses()) {
        SCOPED_TRACE(c.ClassName.toStdString());
        const std::unique_ptr<TComponent> component(c.Create(nullptr));
        const std::unique_ptr<TComponentEditor> editor = designer.GetComponentEditor(component.get());
        ASSERT_NE(editor, nullptr);
        if (!IsSuiteComponent(c)) {
            EXPECT_EQ(editor->GetVerbCount(), 0) << "only the suite's components get the About command";
            continue;
        }
        ++checked;
        EXPECT_NE(dynamic_cast<TKvInetComponentEditor*>(editor.get()), nullptr);
        EXPECT_EQ(editor->Component(), component.get());
        EXPECT_EQ(editor->GetVerbCount(), 1);
        EXPECT_EQ(editor->GetVerb(0), "About ZeZezozazi");
        EXPECT_EQ(editor->GetVerb(1), "");
        EXPECT_EQ(editor->GetVerb(-1), "");
        for (int index : {0, 3}) {
            MessageCapture capture;
            editor->ExecuteVerb(index);
            capture.ExpectOneAbout();
        }
    }
    EXPECT_GE(checked, 14); // the palette's classes and the DNS resolver
}

TEST(KvInetAboutProperty, SocketFamilyShowsFixedTextAndOpensAbout) {
    TDesignRegistry designer;
    Register(designer);
    for (const TComponentClass& c : KvInetClasses()) {
        SCOPED_TRACE(c.ClassName.toStdString());
        const std::unique_ptr<TComponent> component(c.Create(nullptr));
        const std::unique_ptr<TPropertyEditor> about = designer.GetPropertyEditor(component.get(), "About");
        if (!c.Meta->inherits(&TKvInetBase::staticMetaObject)) {
            EXPECT_EQ(about, nullptr) << "only the socket family publishes About";
            continue;
        }
        ASSERT_NE(about, nullptr);
        ASSERT_NE(dynamic_cast<TKvInetAboutProperty*>(about.get()), nullptr);
        EXPECT_EQ(about->GetAttributes(), TPropertyAttributes(paDialog | paReadOnly));
        EXPECT_EQ(about->GetValue(), "About ZeZezozazi...");
        MessageCapture capture;
        about->Edit();
        capture.ExpectOneAbout();
        // Another string property keeps the plain string editor.
        const std::unique_ptr<TPropertyEditor> host = designer.GetPropertyEditor(component.get(), "Host");
        ASSERT_NE(host, nullptr);
        EXPECT_EQ(dynamic_cast<TKvInetAboutProperty*>(host.get()), nullptr);
        EXPECT_FALSE(host->GetAttributes() & paReadOnly);
    }
}

TEST(KvInetAboutProperty, NotForAnAboutPropertyOutsideTheSocketFamily) {
    TDesignRegistry designer;
    Register(designer);
    // A string property named About of a class outside the family keeps the plain string editor: the
    // registration is for TKvInetBase and its descendants, not for every About.
    KvInetRTestClasses::TOtherWithAbout other;
    other.SetAbout("mine");
    const auto about = designer.GetPropertyEditor(&other, "About");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(dynamic_cast<TKvInetAboutProperty*>(about.get()), nullptr);
    EXPECT_EQ(about->GetValue(), "mine");
    EXPECT_FALSE(about->GetAttributes() & paReadOnly);
}

} // namespace

#include "KvInetRTest.moc"
