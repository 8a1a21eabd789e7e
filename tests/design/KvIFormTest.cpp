// Stored forms: every class of the library survives a save and load, values keep their stored text (enums
// by name, sets, string lists, collections, floats in the C locale, pictures), loading keeps what was
// stored, inspecting starts nothing, and hostile texts are refused with the line named.
// test-gui
#include "design/KvIForm.h"

#include "design/KvClassTable.h"
#include "platform/Forms.h"
#include "socket/KvIDNS.h"
#include "socket/KvIHTTP.h"
#include "socket/KvISMTP.h"
#include "socket/KvWhoIs.h"
#include "support/PropertyTable.h"
#include "web/kvidir.h"
#include "web/kviimage.h"
#include "web/kviupdate.h"
#include "xml/KvInetXML.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>

#include <gtest/gtest.h>

#include <clocale>

using namespace KvInet;
using namespace KvTest;

namespace {

// Fills every stored published property of a component with a value other than its initial one, as far
// as the setter takes it (About stays empty, a name written to Address lands in Host); sub-objects,
// lists and collections through FillProperties. A one-value enumeration keeps its value.
void FillComponent(QObject* Component, int Seed) {
    using namespace PropertyTableDetail;
    const QMetaObject* meta = Component->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (!IsPublished(property) || qstrcmp(property.name(), "Name") == 0)
            continue;
        if (IsObject(property)) {
            const QMetaObject* target = property.metaType().metaObject();
            if (target && target->inherits(&TPersistent::staticMetaObject) &&
                !target->inherits(&TComponent::staticMetaObject))
                if (QObject* sub = property.read(Component).value<QObject*>())
                    FillProperties(sub, Seed, QString::fromLatin1(property.name()));
            continue;
        }
        if (!property.isWritable() || !property.isStored())
            continue;
        if (property.isEnumType() && property.enumerator().keyCount() == 1)
            continue;
        const QVariant value = OtherValue(property, property.read(Component), Seed * 100 + i);
        ASSERT_TRUE(value.isValid()) << "no test value for " << property.name();
        property.write(Component, value);
    }
}

// Compares the stored published properties of two components (reading the others could start work: the
// time clients' DateTime asks the server), sub-objects and collections in full.
void ExpectSameStored(const QObject* A, const QObject* B) {
    using namespace PropertyTableDetail;
    const QMetaObject* meta = A->metaObject();
    ASSERT_EQ(meta, B->metaObject());
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (!IsPublished(property) || !property.isStored())
            continue;
        if (IsObject(property)) {
            const QObject* subA = property.read(A).value<QObject*>();
            const QObject* subB = property.read(B).value<QObject*>();
            if (subA && subB && !qobject_cast<const TComponent*>(subA))
                ExpectSameProperties(subA, subB, QString::fromLatin1(property.name()));
            continue;
        }
        EXPECT_TRUE(SameValue(property.read(A), property.read(B)))
            << property.name() << ": " << qPrintable(property.read(A).toString()) << " vs "
            << qPrintable(property.read(B).toString());
    }
}

std::unique_ptr<TComponent> RoundTrip(const TComponent* Root, TKvFormLoadMode Mode = lmRun) {
    const QString text = WriteComponentForm(Root);
    try {
        return ReadComponentForm(text, Mode);
    } catch (const Exception& e) {
        ADD_FAILURE() << qPrintable(e.Message()) << "\n" << qPrintable(text);
        return nullptr;
    }
}

// ---- every class: one table, counted from the library's class table ------------------------------------

class FormRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(FormRoundTrip, LoadsWhatWasSaved) {
    const TComponentClass& c = KvInetClasses()[GetParam()];
    SCOPED_TRACE(c.ClassName.toStdString());
    for (int seed : {1, 2}) {
        const std::unique_ptr<TComponent> saved(c.Create(nullptr));
        saved->SetName(QStringLiteral("Saved%1").arg(seed));
        FillComponent(saved.get(), seed);
        const std::unique_ptr<TComponent> loaded = RoundTrip(saved.get());
        ASSERT_NE(loaded, nullptr);
        ExpectSameStored(saved.get(), loaded.get());
        // Writing what was loaded gives the same text: nothing is lost or invented on the second pass.
        EXPECT_EQ(WriteComponentForm(loaded.get()), WriteComponentForm(saved.get()));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryClass, FormRoundTrip, ::testing::Range(0, int(KvInetClasses().size())),
                         [](const ::testing::TestParamInfo<int>& Info) {
                             return KvInetClasses()[Info.param].ClassName.toStdString();
                         });

// ---- the text ------------------------------------------------------------------------------------------

TEST(FormWriter, WritesStoredValuesInDeclarationOrderWithoutDefaults) {
    TKvWebUpdater updater;
    updater.SetName("Updater1");
    updater.SetService(isHTTPS);
    updater.SetPort(8443);
    updater.SetHost("downloads.example.com");
    updater.SetRemoteFileName("/tool/latest.zip");
    EXPECT_EQ(WriteComponentForm(&updater), "object Updater1: TKvWebUpdater\n"
                                            "  Agent = 'Norvalith WebUpdater'\n"
                                            "  Port = 8443\n"
                                            "  Service = isHTTPS\n"
                                            "  Host = 'downloads.example.com'\n"
                                            "  Proxy.UseProxy = False\n"
                                            "  RemoteFileName = '/tool/latest.zip'\n"
                                            "end\n");
}

TEST(FormWriter, ValueSyntax) {
    struct Case {
        const char* Name;
        std::function<std::unique_ptr<TComponent>()> Make;
        const char* Line; // a line the text holds
    };
    const Case cases[] = {
        {"set by names",
         [] {
             auto d = std::make_unique<TKvIDNSResolver>();
             d->SetRequests(TKvIDNSRequests{irA, irMX});
             return d;
         },
         "  Requests = [irA, irMX]\n"},
        {"empty set", [] { return std::make_unique<TKvIDNSResolver>(); }, "  Requests = []\n"},
        {"quote doubled, line breaks as codes",
         [] {
             auto w = std::make_unique<TKvWhoIs>();
             w->SetHost("it's\r\nx");
             return w;
         },
         "  Host = 'it''s'#13#10'x'\n"},
        {"always stored though default-looking", [] { return std::make_unique<TKvRemoteFiles>(); },
         "  WildCard = '*.*'\n"},
        {"string list",
         [] {
             auto w = std::make_unique<TKvWhoIs>();
             w->ServerList()->SetText("a=b\nc=d");
             return w;
         },
         "  ServerList.Strings = (\n    'a=b'\n    'c=d')\n"},
        {"collection",
         [] {
             auto s = std::make_unique<TKvISMTP>();
             s->Recipients()->Add()->SetAddress("a@example.com");
             return s;
         },
         "  Recipients = <\n    item\n      Address = 'a@example.com'\n    end>\n"},
        {"sub-object",
         [] {
             auto s = std::make_unique<TKvISMTP>();
             s->Proxy()->SetServer("proxy.example");
             return s;
         },
         "  Proxy.Server = 'proxy.example'\n"},
        {"non-default enum",
         [] {
             auto s = std::make_unique<TKvISMTP>();
             s->SetPriority(spLowest);
             return s;
         },
         "  Priority = spLowest\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto component = c.Make();
        component->SetName("C1");
        EXPECT_TRUE(WriteComponentForm(component.get()).contains(QString::fromLatin1(c.Line)))
            << qPrintable(WriteComponentForm(component.get()));
    }
}

TEST(FormWriter, FloatsInTheCLocaleWhateverTheProgramsLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string keep = previous ? previous : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German));
    TKvISMTP smtp;
    smtp.SetName("Mail1");
    smtp.SetDate(45000.25);
    const QString text = WriteComponentForm(&smtp);
    QLocale::setDefault(QLocale::c());
    std::setlocale(LC_ALL, keep.c_str());
    EXPECT_TRUE(text.contains("  Date = 45000.25\n")) << qPrintable(text);
}

TEST(FormWriter, NeitherParentControlNorDefaultsAreWritten) {
    TKvIHTTPClient http;
    http.SetName("Http1");
    const QString text = WriteComponentForm(&http);
    for (const char* absent : {"LoginPrompt", "Action", "RemoveHeaders", "Timeout", "About", "Proxy.Port"})
        EXPECT_FALSE(text.contains(QString::fromLatin1(absent))) << absent;
    EXPECT_TRUE(text.contains("  Headers.Strings = ()\n")) << "Headers is always stored";
    EXPECT_TRUE(text.contains("  KeepConnection = False\n"));
}

// ---- loading keeps what was stored ---------------------------------------------------------------------

TEST(FormReader, KeepsAStoredPortWhateverTheService) {
    struct Case {
        const char* Class;
        const char* Service;
        int Port;
    };
    const Case cases[] = {
        {"TKvWebUpdater", "isHTTPS", 8443},
        {"TKvRemoteFiles", "isFTP", 2121},
        {"TKvWebUpdater", "isHTTPS", 443},
        {"TKvRemoteImage", "isFTP", 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Class) + " " + c.Service);
        // Port comes before Service, as the writer puts them.
        const QString text = QStringLiteral("object X1: %1\n  Port = %2\n  Service = %3\nend\n")
                                 .arg(QString::fromLatin1(c.Class))
                                 .arg(c.Port)
                                 .arg(QString::fromLatin1(c.Service));
        const auto loaded = ReadComponentForm(text);
        const auto* web = qobject_cast<TKvCustomWebComponent*>(loaded.get());
        ASSERT_NE(web, nullptr);
        EXPECT_EQ(web->Port(), c.Port);
        EXPECT_EQ(QMetaEnum::fromType<TKvIService>().valueToKey(web->Service()), std::string(c.Service));
    }
}

TEST(FormReader, KeepsAStoredWhoisHostBesideItsDomain) {
    const auto loaded = ReadComponentForm("object W1: TKvWhoIs\n  Host = 'whois.example.net'\n"
                                          "  AutoSelectServer = True\n  Domain = 'example.com'\nend\n");
    const auto* whois = qobject_cast<TKvWhoIs*>(loaded.get());
    ASSERT_NE(whois, nullptr);
    EXPECT_EQ(whois->Host(), "whois.example.net");
    EXPECT_EQ(whois->Domain(), "example.com");
}

TEST(FormReader, ResolvesReferencesAfterTheWholeForm) {
    const auto form = ReadComponentForm("object Form1: TKvXMLEngine\n"
                                        "  object Camera1: TKvRemoteImage\n    Image = Picture1\n  end\n"
                                        "  object Picture1: TImage\n  end\nend\n");
    auto* camera = qobject_cast<TKvRemoteImage*>(form->FindComponent("Camera1"));
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->Image(), form->FindComponent("Picture1"));
    EXPECT_EQ(camera->Owner(), form.get());
    // And back: the reference is written by name.
    EXPECT_TRUE(WriteComponentForm(form.get()).contains("    Image = Picture1\n"));
}

TEST(FormReader, InspectingStartsNoTimerRunningDoes) {
    const QString text = "object Camera1: TKvRemoteImage\n  Active = True\n  Interval = 500\n"
                         "  RemoteFileName = 'http://192.0.2.1/cam.jpg'\nend\n";
    for (TKvFormLoadMode mode : {lmInspect, lmRun}) {
        SCOPED_TRACE(mode == lmInspect ? "inspect" : "run");
        const auto loaded = ReadComponentForm(text, mode);
        auto* camera = qobject_cast<TKvRemoteImage*>(loaded.get());
        ASSERT_NE(camera, nullptr);
        EXPECT_TRUE(camera->Active()) << "the stored value is kept either way";
        const TTimer* timer = camera->findChild<TTimer*>();
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(timer->Running(), mode == lmRun);
        EXPECT_EQ(camera->Designing(), mode == lmInspect);
    }
}

TEST(FormReader, PicturesTravelAsPngData) {
    TImage picture;
    picture.SetName("Picture1");
    // A BMP is stored as PNG; the PNG read back is kept byte for byte.
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(PropertyTableDetail::TestImage(5).save(&buffer, "BMP"));
    picture.SetPicture(bmp);
    const QString text = WriteComponentForm(&picture);
    EXPECT_TRUE(text.contains("  Picture.Data = {\n    89504E47")) << qPrintable(text);
    const auto loaded = ReadComponentForm(text);
    const QByteArray png = qobject_cast<TImage*>(loaded.get())->Picture();
    EXPECT_EQ(QImage::fromData(png, "PNG").convertToFormat(QImage::Format_ARGB32),
              PropertyTableDetail::TestImage(5));
    EXPECT_EQ(WriteComponentForm(loaded.get()), text);
    // Bytes that are no picture cannot be stored: the reader would refuse them.
    picture.SetPicture("<html>");
    EXPECT_THROW(WriteComponentForm(&picture), EKvFormError);
}

// ---- hostile input --------------------------------------------------------------------------------------

TEST(FormReader, RefusesBadFormsNamingTheLine) {
    struct Case {
        const char* Name;
        QString Text;
        const char* Message;
    };
    const Case cases[] = {
        {"unknown class", "object A1: TForm\nend\n", "Line 1: unknown class TForm"},
        {"unknown property", "object W1: TKvWhoIs\n  Port = 43\n  Hots = 'x'\nend\n",
         "Line 3: unknown property Hots of TKvWhoIs"},
        {"unknown sub-property", "object W1: TKvWhoIs\n\n  Proxy.Serv = 'x'\nend\n",
         "Line 3: unknown property Serv of TKvInetProxy"},
        {"enum by unknown name", "object H1: TKvIHTTPClient\n  Action = haDelete\nend\n",
         "Line 2: haDelete is no value of Action"},
        {"enum as number", "object H1: TKvIHTTPClient\n  Action = 2\nend\n",
         "Line 2: Action needs a value's name"},
        {"set member unknown", "object D1: TKvIDNSResolver\n  Requests = [irA, irB]\nend\n",
         "Line 2: irB is no member of Requests"},
        {"string for a number", "object W1: TKvWhoIs\n  Port = '43'\nend\n",
         "Line 2: Port cannot take this value"},
        {"setter refuses", "object W1: TKvWhoIs\n  Port = 70000\nend\n", "Line 2: Port: "},
        {"number too large", "object W1: TKvWhoIs\n  Port = 99999999999999999999\nend\n",
         "Line 2: Port cannot take this value"},
        {"boolean spelled otherwise", "object W1: TKvWhoIs\n  KeepConnection = yes\nend\n",
         "Line 2: KeepConnection cannot take this value"},
        {"missing end", "object W1: TKvWhoIs\n  Port = 43\n", "Line 3: end expected"},
        {"end without object", "end\n", "Line 1: end without an object"},
        {"second root", "object W1: TKvWhoIs\nend\nobject W2: TKvWhoIs\nend\n", "Line 3: a second object"},
        {"open string", "object W1: TKvWhoIs\n  Host = 'abc\nend\n", "Line 2: a string has no closing quote"},
        {"odd picture digits", "object P1: TImage\n  Picture.Data = {ABC}\nend\n",
         "Line 2: a picture's data"},
        {"not a PNG", "object P1: TImage\n  Picture.Data = {00112233}\nend\n",
         "Line 2: Picture.Data holds no PNG"},
        {"read-only property", "object T1: TKvInetSNTP\n  DateTime = 1\nend\n",
         "Line 2: DateTime is not stored"},
        {"widget", "object D1: TKvWebDirect\n  ParentControl = Form1\nend\n",
         "Line 2: unknown property ParentControl"},
        {"name as property", "object W1: TKvWhoIs\n  Name = 'X'\nend\n", "Line 2: unknown property Name"},
        {"unknown reference", "object C1: TKvRemoteImage\n  Image = Nowhere\nend\n",
         "Line 2: no component named Nowhere"},
        {"reference of wrong class", "object C1: TKvRemoteImage\n  Image = C1\nend\n",
         "Line 2: C1 is a TKvRemoteImage, not a TImage"},
        {"duplicate name",
         "object F1: TKvXMLEngine\n  object A: TImage\n  end\n  object A: TImage\n  end\nend\n",
         "Line 4: A component named A already exists"},
        {"nested collection", "object M1: TKvISMTP\n  CC = <\n    item\n      Address = <\n",
         "Line 4: a collection inside a collection item"},
        {"stray character", "object W1: TKvWhoIs\n  Port = 43;\nend\n", "Line 2: unexpected character ';'"},
        {"empty text", "", "Line 1: no object in the form"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            ReadComponentForm(c.Text);
            ADD_FAILURE() << "accepted";
        } catch (const EKvFormError& e) {
            EXPECT_TRUE(e.Message().startsWith(QString::fromLatin1(c.Message))) << qPrintable(e.Message());
        }
    }
}

TEST(FormReader, BoundsNestingObjectsListsAndSize) {
    TKvFormLimits small;
    small.MaxDepth = 3;
    small.MaxObjects = 4;
    small.MaxItems = 2;
    small.MaxTextSize = 200;
    struct Case {
        const char* Name;
        QString Text;
        const char* Message;
    };
    const Case cases[] = {
        {"deep", "object A: TKvXMLEngine\n object B: TImage\n  object C: TImage\n   object D: TImage\n",
         "Line 4: objects nested more than 3 deep"},
        {"many",
         "object A: TKvXMLEngine\n object B: TImage\n end\n object C: TImage\n end\n object D: TImage\n"
         " end\n object E: TImage\n",
         "Line 8: more than 4 objects"},
        {"long list", "object W: TKvWhoIs\n ServerList.Strings = ('a' 'b' 'c')\nend\n",
         "Line 2: more than 2 lines in a list"},
        {"large", "object W: TKvWhoIs\n Host = '" + QString(300, u'x') + "'\nend\n",
         "Line 1: the form is larger than 200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            ReadComponentForm(c.Text, lmInspect, small);
            ADD_FAILURE() << "accepted";
        } catch (const EKvFormError& e) {
            EXPECT_TRUE(e.Message().startsWith(QString::fromLatin1(c.Message))) << qPrintable(e.Message());
        }
    }
}

TEST(FormReader, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    // A hundred thousand levels: a reader that recursed per level would overflow before refusing.
    QString text;
    for (int i = 0; i < 100000; ++i)
        text += QStringLiteral("object A%1: TImage\n").arg(i);
    try {
        ReadComponentForm(text, lmInspect);
        ADD_FAILURE() << "accepted";
    } catch (const EKvFormError& e) {
        EXPECT_TRUE(e.Message().startsWith("Line 33: objects nested more than 32 deep"))
            << qPrintable(e.Message());
    }
}

TEST(FormFile, SaveAndLoadOneCall) {
    const QString name =
        QDir::temp().filePath(QStringLiteral("kvform-%1.kvf").arg(QCoreApplication::applicationPid()));
    TKvXMLEngine root;
    root.SetName("Form1");
    auto* dns = new TKvIDNSResolver(&root);
    dns->SetName("Dns1");
    dns->SetRequests(TKvIDNSRequests{irMX, irNS});
    SaveComponentFormFile(&root, name);
    const auto loaded = LoadComponentFormFile(name);
    QFile::remove(name);
    auto* back = qobject_cast<TKvIDNSResolver*>(loaded->FindComponent("Dns1"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Requests(), (TKvIDNSRequests{irMX, irNS}));
    EXPECT_THROW(LoadComponentFormFile(name), EFOpenError);
}

// ---- every form written reads back; what cannot be is refused ----------------------------------------

// Who owns whom, by name and class: "F:TComponent(G:TKvXMLEngine(:TKvWhoIs) P:TImage)".
QString Shape(const TComponent* C) {
    QString s = C->Name() + u':' + C->ClassName();
    QStringList inner;
    for (int i = 0; i < C->ComponentCount(); ++i)
        if (FindKvInetClass(C->Components(i)->ClassName()))
            inner << Shape(C->Components(i));
    return inner.isEmpty() ? s : s + u'(' + inner.join(u' ') + u')';
}

TEST(FormText, WhatIsWrittenReadsBackWithTheSameOwners) {
    struct Case {
        const char* Name;
        std::function<std::unique_ptr<TComponent>()> Build;
        const char* Line; // a line the text holds
    };
    const Case cases[] = {
        {"root without a name",
         [] {
             auto u = std::make_unique<TKvWebUpdater>();
             u->SetHost("h.example");
             return std::unique_ptr<TComponent>(std::move(u));
         },
         "object : TKvWebUpdater\n"},
        {"plain owner as root",
         [] {
             auto app = std::make_unique<TComponent>();
             app->SetName("App");
             (new TKvWhoIs(app.get()))->SetName("Whois1");
             return app;
         },
         "object App: TComponent\n  object Whois1: TKvWhoIs\n"},
        {"three levels, nameless inside, reference to a deeper component",
         [] {
             auto f = std::make_unique<TComponent>();
             f->SetName("F");
             auto* group = new TKvXMLEngine(f.get());
             group->SetName("Group");
             new TKvWhoIs(group);
             auto* picture = new TImage(group);
             picture->SetName("Pic");
             auto* camera = new TKvRemoteImage(f.get());
             camera->SetName("Cam");
             camera->SetImage(picture);
             return std::unique_ptr<TComponent>(std::move(f));
         },
         "    object Pic: TImage\n"},
        {"halves of surrogate pairs standing alone",
         [] {
             auto w = std::make_unique<TKvWhoIs>();
             w->SetName("W1");
             w->SetHost(QChar(0xD83D) + QString::fromUtf8("x\U0001F600") + QChar(0xDE00));
             return std::unique_ptr<TComponent>(std::move(w));
         },
         "  Host = #55357'x\U0001F600'#56832\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto built = c.Build();
        const QString text = WriteComponentForm(built.get());
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.Line))) << qPrintable(text);
        const auto loaded = ReadComponentForm(text);
        EXPECT_EQ(Shape(loaded.get()), Shape(built.get()));
        EXPECT_EQ(WriteComponentForm(loaded.get()), text);
        if (auto* w = qobject_cast<TKvWhoIs*>(loaded.get())) {
            EXPECT_EQ(w->Host(), qobject_cast<TKvWhoIs*>(built.get())->Host());
        }
        if (auto* cam = qobject_cast<TKvRemoteImage*>(loaded->FindComponent("Cam"))) {
            EXPECT_EQ(cam->Image(), loaded->FindComponent("Group")->FindComponent("Pic"));
            EXPECT_EQ(FindFormComponent(loaded.get(), "pic"), cam->Image());
        }
    }
}

TEST(FormText, RefusesWhatCannotBeWrittenOrReadNamingThePlace) {
    const QString name =
        QDir::temp().filePath(QStringLiteral("kvform-bytes-%1.kvf").arg(QCoreApplication::applicationPid()));
    // Reads a file of these bytes.
    const auto load = [&](const QByteArray& Bytes) {
        return [=] {
            QFile file(name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(Bytes);
            file.close();
            LoadComponentFormFile(name);
        };
    };
    TComponent elsewhere;
    auto* outside = new TImage(&elsewhere);
    outside->SetName("Outside");
    struct Case {
        const char* Name;
        std::function<void()> Run;
        const char* Message;
    };
    const Case cases[] = {
        {"root of a class the table lacks", [] { WriteComponentForm(std::make_unique<TTimer>().get()); },
         "Cannot write the form: its root is a TTimer"},
        {"named component of such a class",
         [] {
             TComponent root;
             (new TTimer(&root))->SetName("T1");
             WriteComponentForm(&root);
         },
         "Cannot write the form: T1 is a TTimer"},
        {"reference out of the form",
         [&] {
             TKvRemoteImage camera;
             camera.SetImage(outside);
             WriteComponentForm(&camera);
         },
         "Cannot write the form: a TKvRemoteImage.Image refers to Outside, which is not in the form"},
        {"name that is no identifier",
         [] {
             TComponent root;
             (new TKvWhoIs(&root))->SetName("my whois");
             WriteComponentForm(&root);
         },
         "Cannot write the form: 'my whois' is not a name"},
        {"byte that is not UTF-8, after CR-only line ends",
         load("object W1: TKvWhoIs\r  Port = 43\r  Host = 'a\xFF'\rend\r"), "Line 3: byte 44 of the file"},
        {"encoded surrogate", load("object W1: TKvWhoIs\n  Host = '\xED\xA0\xBD'\nend\n"), "Line 2: byte 31"},
        {"CR-only and mixed line ends", load("object W1: TKvWhoIs\r\n\r  Hots = 'x'\rend\r"),
         "Line 3: unknown property Hots"},
        {"control characters in a message", load("object W1: TKvWhoIs\n  Port = 43\x1B[2J\nend\n"),
         "Line 2: unexpected character '#27'"},
        {"ambiguous reference",
         load("object F: TComponent\n object A: TComponent\n  object X: TImage\n  end\n end\n"
              " object B: TComponent\n  object X: TImage\n  end\n end\n"
              " object Cam: TKvRemoteImage\n  Image = X\n end\nend\n"),
         "Line 11: more than one component named X"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            c.Run();
            ADD_FAILURE() << "accepted";
        } catch (const EKvFormError& e) {
            EXPECT_TRUE(e.Message().startsWith(QString::fromLatin1(c.Message))) << qPrintable(e.Message());
        }
    }
    QFile::remove(name);
}

// The stored defaults are the initial values: a fresh component writes none of them.
TEST(FormWriter, StoredDefaultsMatchInitialValues) {
    for (const TComponentClass& c : KvInetClasses()) {
        SCOPED_TRACE(c.ClassName.toStdString());
        const std::unique_ptr<TComponent> fresh(c.Create(nullptr));
        const QMetaObject* meta = fresh->metaObject();
        for (int i = 0; i < meta->propertyCount(); ++i) {
            const QMetaProperty p = meta->property(i);
            const QString def = StoredDefault(fresh.get(), p.name());
            if (def.isNull())
                continue;
            EXPECT_FALSE(WriteComponentForm(fresh.get()).contains(QStringLiteral("  %1 = ").arg(p.name())))
                << p.name() << " has its default " << qPrintable(def) << " but was written";
        }
    }
}

} // namespace
