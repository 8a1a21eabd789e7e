// The published properties of the library's classes, checked through their QMetaObject: every class with
// Assign copies every property (a property added later and forgotten by Assign fails here), object-typed
// properties of components copy into the object the component owns, and published enumerations and sets
// read and write by name.
// test-gui
#include "support/PropertyTable.h"

#include "services/KvIRSS.h"
#include "services/KvIUPS.h"
#include "socket/KvIDNS.h"
#include "socket/KvIHTTP.h"
#include "socket/KvISMTP.h"
#include "socket/KvInBase.h"
#include "web/kviupdate.h"
#include "xml/KvInetXML.h"

#include <QMetaEnum>

#include <gtest/gtest.h>

using namespace KvInet;
using namespace KvTest;

namespace {

// ---- Assign ----------------------------------------------------------------------------------------------

// Every class of the library that overrides Assign.
// clang-format off
const TAssignRow AssignTable[] = {
    AssignRow<TStringList>(),
    AssignRow<TKvInetProxy>(),
    AssignRow<TKvInetStatusDialog>(),
    AssignRow<TKvIEMailAddress>(),
    AssignRow<TKvIEMailAddresses>(),
    AssignRow<TKvIEMailAttachment>(),
    AssignRow<TKvIEMailAttachments>(),
    AssignRow<TKvILogin>(),
    AssignRow<TKvInetActivityAddress>(), AssignRow<TKvInetActivity>(), AssignRow<TKvInetActivities>(),
};
// clang-format on

class AssignTableTest : public ::testing::TestWithParam<TAssignRow> {};

TEST_P(AssignTableTest, CopiesEveryPublishedPropertyAndRefusesOthers) {
    // The foreign source is a class unrelated to the row's.
    TKvILogin login;
    TKvInetProxy proxy;
    const std::unique_ptr<TPersistent> probe = GetParam().Make();
    const TPersistent& foreign = qobject_cast<TKvILogin*>(probe.get()) ? static_cast<TPersistent&>(proxy)
                                                                       : static_cast<TPersistent&>(login);
    CheckAssign(GetParam(), foreign);
}

INSTANTIATE_TEST_SUITE_P(Classes, AssignTableTest, ::testing::ValuesIn(AssignTable),
                         [](const ::testing::TestParamInfo<TAssignRow>& Info) {
                             return Info.param.Name.toStdString();
                         });

TEST(AssignTable, StatusDialogCopiesPictureAndIconByContent) {
    TKvInetStatusDialog a, b;
    FillProperties(&a, 1);
    b.Assign(&a);
    ASSERT_FALSE(a.Picture().isEmpty());
    EXPECT_EQ(b.Picture(), a.Picture());
    EXPECT_EQ(b.Icon(), a.Icon());
    a.SetPicture(QByteArray());
    a.SetIcon(QByteArray());
    EXPECT_FALSE(b.Picture().isEmpty());
    EXPECT_FALSE(b.Icon().isEmpty());
}

// ---- object-typed properties of components ---------------------------------------------------------------

// Writing an object-typed property copies the content into the object the component owns: the pointer
// written is not kept (it may be freed right after).
struct TObjectPropertyRow {
    const char* Name;
    std::function<std::unique_ptr<QObject>()> Make;
    const char* Property;
};

template <class T>
TObjectPropertyRow ObjectRow(const char* Property) {
    return {T::staticMetaObject.className(), [] { return std::unique_ptr<QObject>(new T(nullptr)); },
            Property};
}

TEST(ObjectPropertyTable, WritingCopiesIntoTheOwnedObject) {
    const TObjectPropertyRow table[] = {
        ObjectRow<TKvIHTTPClient>("Proxy"),
        ObjectRow<TKvIHTTPClient>("Headers"),
        ObjectRow<TKvISMTP>("Body"),
        ObjectRow<TKvWebUpdater>("Proxy"),
        ObjectRow<TKvWebUpdater>("StatusDialog"),
        ObjectRow<TKvIRSSParser>("Proxy"),
    };
    for (const TObjectPropertyRow& row : table) {
        SCOPED_TRACE(std::string(row.Name) + "." + row.Property);
        const std::unique_ptr<QObject> component = row.Make();
        const QMetaProperty property =
            component->metaObject()->property(component->metaObject()->indexOfProperty(row.Property));
        ASSERT_TRUE(property.isValid());
        QObject* owned = property.read(component.get()).value<QObject*>();
        ASSERT_NE(owned, nullptr);
        {
            const std::unique_ptr<QObject> other = row.Make();
            QObject* value = property.read(other.get()).value<QObject*>();
            FillProperties(value, 3);
            ASSERT_TRUE(property.write(component.get(), QVariant(property.metaType(), &value)));
            EXPECT_EQ(property.read(component.get()).value<QObject*>(), owned);
            ExpectSameProperties(value, owned);
        }
        // The source is gone; the component's object still holds the copy.
        EXPECT_EQ(property.read(component.get()).value<QObject*>(), owned);
    }
}

// ---- enumerations by name --------------------------------------------------------------------------------

// A published enumeration or set written by name through QMetaProperty, as a stored form does.
struct TEnumPropertyRow {
    const char* Name;
    std::function<std::unique_ptr<QObject>()> Make;
    const char* Property;
    const char* Written;                 // the text written
    bool Accepted;                       // whether the write succeeds
    const char* Read;                    // the name(s) read back
    std::function<bool(QObject*)> Holds; // what the C++ getter reports afterwards
};

template <class T>
std::function<std::unique_ptr<QObject>()> Maker() {
    return [] { return std::unique_ptr<QObject>(new T(nullptr)); };
}

template <class T, class F>
std::function<bool(QObject*)> Holds(F Check) {
    return [Check](QObject* Object) { return Check(*static_cast<T*>(Object)); };
}

QString ReadName(const QObject* Object, const QMetaProperty& Property) {
    const QMetaEnum e = Property.enumerator();
    const int value = Property.read(Object).toInt();
    return QString::fromLatin1(e.isFlag() ? e.valueToKeys(value) : QByteArray(e.valueToKey(value)));
}

TEST(EnumPropertyTable, ReadAndWriteByName) {
    const TEnumPropertyRow table[] = {
        {"HTTP action", Maker<TKvIHTTPClient>(), "Action", "haPost", true, "haPost",
         Holds<TKvIHTTPClient>([](const TKvIHTTPClient& c) { return c.Action() == haPost; })},
        {"HTTP action, unknown name", Maker<TKvIHTTPClient>(), "Action", "haDelete", false, "haHead",
         Holds<TKvIHTTPClient>([](const TKvIHTTPClient& c) { return c.Action() == haHead; })},
        {"DNS requests", Maker<TKvIDNSResolver>(), "Requests", "irA|irMX", true, "irA|irMX",
         Holds<TKvIDNSResolver>([](const TKvIDNSResolver& c) {
             return c.Requests() == TKvIDNSRequests{irA, irMX};
         })},
        {"DNS requests, read in ordinal order", Maker<TKvIDNSResolver>(), "Requests", "irSRV|irAll|irAAAA",
         true, "irAll|irAAAA|irSRV", Holds<TKvIDNSResolver>([](const TKvIDNSResolver& c) {
             return c.Requests() == TKvIDNSRequests{irAll, irAAAA, irSRV};
         })},
        {"DNS requests, unknown name", Maker<TKvIDNSResolver>(), "Requests", "irA|irB", false, "",
         Holds<TKvIDNSResolver>([](const TKvIDNSResolver& c) { return c.Requests().Empty(); })},
        {"SMTP priority", Maker<TKvISMTP>(), "Priority", "spLowest", true, "spLowest",
         Holds<TKvISMTP>([](const TKvISMTP& c) { return c.Priority() == spLowest; })},
        {"SMTP security", Maker<TKvISMTP>(), "Security", "ssImplicitTLS", true, "ssImplicitTLS",
         Holds<TKvISMTP>([](const TKvISMTP& c) { return c.Security() == TKvISMTP::ssImplicitTLS; })},
        {"web service", Maker<TKvWebUpdater>(), "Service", "isFTP", true, "isFTP",
         Holds<TKvWebUpdater>([](const TKvWebUpdater& c) { return c.Service() == isFTP && c.Port() == 21; })},
    };
    for (const TEnumPropertyRow& row : table) {
        SCOPED_TRACE(row.Name);
        const std::unique_ptr<QObject> object = row.Make();
        const QMetaProperty property =
            object->metaObject()->property(object->metaObject()->indexOfProperty(row.Property));
        ASSERT_TRUE(property.isValid());
        ASSERT_TRUE(property.isEnumType()) << "not registered by name";
        EXPECT_EQ(property.write(object.get(), QString::fromLatin1(row.Written)), row.Accepted);
        EXPECT_EQ(ReadName(object.get(), property), QString::fromLatin1(row.Read));
        EXPECT_TRUE(row.Holds(object.get()));
    }
}

// The set's flags carry every request under the request's own name, one bit at its ordinal.
TEST(EnumPropertyTable, DNSRequestFlagsMirrorTheRequests) {
    const QMetaEnum requests = QMetaEnum::fromType<TKvIDNSRequest>();
    const QMetaObject& meta = TKvDNSTypes::staticMetaObject;
    const QMetaEnum flags = meta.enumerator(meta.indexOfEnumerator("TKvIDNSRequestFlags"));
    ASSERT_TRUE(flags.isValid());
    EXPECT_TRUE(flags.isFlag());
    ASSERT_EQ(requests.keyCount(), KvIDNSRequestCount);
    ASSERT_EQ(flags.keyCount(), KvIDNSRequestCount);
    for (int i = 0; i < KvIDNSRequestCount; ++i) {
        EXPECT_EQ(requests.value(i), i);
        EXPECT_STREQ(flags.key(i), requests.key(i));
        EXPECT_EQ(flags.value(i), 1 << i) << requests.key(i);
    }
    const TKvIDNSRequests set{irNS, irText};
    EXPECT_EQ(TKvIDNSRequestFlags(set), TKvIDNSRequestFlag::irNS | TKvIDNSRequestFlag::irText);
    EXPECT_EQ(TKvIDNSRequests(TKvIDNSRequestFlag::irNS | TKvIDNSRequestFlag::irText), set);
}

// Enumerations that are not properties of a component are registered all the same.
TEST(EnumPropertyTable, XMLItemKindHasNames) {
    const QMetaEnum kinds = QMetaEnum::fromType<TKvXMLItemKind>();
    EXPECT_STREQ(kinds.valueToKey(ikProperty), "ikProperty");
    EXPECT_STREQ(kinds.valueToKey(ikComment), "ikComment");
    EXPECT_EQ(kinds.keyToValue("ikCDATA"), int(ikCDATA));
}

} // namespace
