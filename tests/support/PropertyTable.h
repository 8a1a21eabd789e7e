// PropertyTable: checks driven by a class's published properties (its QMetaObject), so that a property added
// later is covered without touching the test: fill every stored, writable property with a value other than
// its current one, compare two objects property by property, and the Assign check built from both.
#pragma once

#include "platform/Classes.h"

#include <QBuffer>
#include <QImage>
#include <QMetaProperty>
#include <QVariant>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

namespace KvTest {

namespace PropertyTableDetail {

/// The published properties of a class, without QObject's own (objectName).
inline bool IsPublished(const QMetaProperty& Property) {
    return Property.propertyIndex() >= QObject::staticMetaObject.propertyCount();
}

inline bool IsObject(const QMetaProperty& Property) {
    return Property.metaType().flags().testFlag(QMetaType::PointerToQObject);
}

inline QString Where(const QString& Path, const QMetaProperty& Property) {
    return Path + u'.' + QString::fromLatin1(Property.name());
}

inline bool SameValue(const QVariant& A, const QVariant& B) {
    return A == B;
}

/// A small image whose colour depends on Salt, so two fills give two different pictures.
inline QImage TestImage(int Salt) {
    QImage image(4, 3, QImage::Format_ARGB32);
    image.fill(QColor::fromHsv((Salt * 47) % 360, 200, 200));
    return image;
}

/// TestImage(Salt) encoded as PNG.
inline QByteArray TestPng(int Salt) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    TestImage(Salt).save(&buffer, "PNG");
    return png;
}

/// A value of Property's type other than Current, or an invalid QVariant for a type this helper cannot
/// fill. Salt differs per property and per object, so values copied to the wrong property show.
inline QVariant OtherValue(const QMetaProperty& Property, const QVariant& Current, int Salt) {
    if (Property.isEnumType()) {
        const QMetaEnum e = Property.enumerator();
        const int count = e.keyCount();
        const int current = Current.toInt();
        if (e.isFlag()) {
            // Toggle two members: the set changes whatever it held.
            const int value = current ^ e.value(Salt % count) ^ e.value((Salt + 1) % count);
            return QString::fromLatin1(e.valueToKeys(value));
        }
        for (int step = 0; step < count; ++step) {
            const int value = e.value((Salt + step) % count);
            if (value != current)
                return QString::fromLatin1(e.valueToKey(value));
        }
        return QVariant();
    }
    switch (Property.metaType().id()) {
    case QMetaType::Bool:
        return !Current.toBool();
    case QMetaType::Int:
        return Current.toInt() + 7 + Salt;
    case QMetaType::UInt:
        return Current.toUInt() + 7u + uint(Salt);
    case QMetaType::LongLong:
        return Current.toLongLong() + 7 + Salt;
    case QMetaType::ULongLong:
        return Current.toULongLong() + 7u + uint(Salt);
    case QMetaType::Double:
        return Current.toDouble() + 7.25 + Salt;
    case QMetaType::QString:
        return QStringLiteral("%1 %2").arg(QString::fromLatin1(Property.name())).arg(Salt);
    case QMetaType::QByteArray:
        // Byte properties hold encoded pictures.
        return TestPng(Salt);
    default:
        return QVariant();
    }
}

} // namespace PropertyTableDetail

/// Sets every stored, writable published property of Object to a value other than its current one (enums
/// and flags by name), fills the objects that object-typed properties hold the same way, and gives a
/// collection two filled items. Seed makes two fills of the same class differ. Fails the test for a
/// property of a type it cannot fill, and for one whose value did not change.
inline void FillProperties(QObject* Object, int Seed, const QString& Path = QString()) {
    using namespace PropertyTableDetail;
    const QString path = Path.isEmpty() ? QString::fromLatin1(Object->metaObject()->className()) : Path;
    const QMetaObject* meta = Object->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (!IsPublished(property))
            continue;
        if (IsObject(property)) {
            if (QObject* sub = property.read(Object).value<QObject*>())
                FillProperties(sub, Seed, Where(path, property));
            continue;
        }
        if (!property.isWritable() || !property.isStored())
            continue;
        const QVariant before = property.read(Object);
        const QVariant value = OtherValue(property, before, Seed * 100 + i);
        if (!value.isValid()) {
            ADD_FAILURE() << "no test value for " << qPrintable(Where(path, property)) << " of type "
                          << property.typeName() << ": teach PropertyTable.h this type";
            continue;
        }
        EXPECT_TRUE(property.write(Object, value)) << qPrintable(Where(path, property));
        EXPECT_FALSE(SameValue(property.read(Object), before))
            << qPrintable(Where(path, property)) << " kept its value";
    }
    if (auto* collection = qobject_cast<KvInet::TCollection*>(Object)) {
        collection->Clear();
        for (int i = 0; i < 2; ++i)
            FillProperties(collection->Add(), Seed * 10 + i, path + QStringLiteral("[%1]").arg(i));
    }
}

/// Expects every readable published property of A and B to hold the same value, following object-typed
/// properties and collection items. Path names the place in failure messages.
inline void ExpectSameProperties(const QObject* A, const QObject* B, const QString& Path = QString()) {
    using namespace PropertyTableDetail;
    const QString path = Path.isEmpty() ? QString::fromLatin1(A->metaObject()->className()) : Path;
    ASSERT_EQ(A->metaObject(), B->metaObject()) << qPrintable(path);
    const QMetaObject* meta = A->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (!IsPublished(property) || !property.isReadable())
            continue;
        if (IsObject(property)) {
            const QObject* subA = property.read(A).value<QObject*>();
            const QObject* subB = property.read(B).value<QObject*>();
            ASSERT_EQ(subA == nullptr, subB == nullptr) << qPrintable(Where(path, property));
            if (subA) {
                EXPECT_NE(subA, subB) << qPrintable(Where(path, property)) << " is shared, not copied";
                ExpectSameProperties(subA, subB, Where(path, property));
            }
            continue;
        }
        const QVariant a = property.read(A);
        const QVariant b = property.read(B);
        EXPECT_TRUE(SameValue(a, b)) << qPrintable(Where(path, property)) << ": " << qPrintable(a.toString())
                                     << " vs " << qPrintable(b.toString());
    }
    const auto* collectionA = qobject_cast<const KvInet::TCollection*>(A);
    const auto* collectionB = qobject_cast<const KvInet::TCollection*>(B);
    if (collectionA && collectionB) {
        ASSERT_EQ(collectionA->Count(), collectionB->Count()) << qPrintable(path);
        for (int i = 0; i < collectionA->Count(); ++i) {
            EXPECT_NE(collectionA->Items(i), collectionB->Items(i)) << qPrintable(path) << " shares items";
            ExpectSameProperties(collectionA->Items(i), collectionB->Items(i),
                                 path + QStringLiteral("[%1]").arg(i));
        }
    }
}

/// One class with Assign: its name and how to make an instance.
struct TAssignRow {
    QString Name;
    std::function<std::unique_ptr<KvInet::TPersistent>()> Make;
};

/// Test names show the class alone.
inline void PrintTo(const TAssignRow& Row, std::ostream* Out) {
    *Out << Row.Name.toStdString();
}

/// A table line for a class constructible from a null parent.
template <class T>
TAssignRow AssignRow() {
    return {QString::fromLatin1(T::staticMetaObject.className()).section(u':', -1),
            [] { return std::unique_ptr<KvInet::TPersistent>(new T(nullptr)); }};
}

/// The Assign check: two instances filled with different values; after Assign every published property of
/// the target equals the source's (sub-objects and collection items too). Assigning Foreign, an instance of
/// an unrelated class, or nil raises EConvertError "Cannot assign a SOURCE to a TARGET".
inline void CheckAssign(const TAssignRow& Row, const KvInet::TPersistent& Foreign) {
    const std::unique_ptr<KvInet::TPersistent> source = Row.Make();
    const std::unique_ptr<KvInet::TPersistent> target = Row.Make();
    FillProperties(source.get(), 1);
    FillProperties(target.get(), 2);
    target->Assign(source.get());
    ExpectSameProperties(source.get(), target.get());

    for (const KvInet::TPersistent* other : {&Foreign, static_cast<const KvInet::TPersistent*>(nullptr)}) {
        const QString sourceName = other ? other->ClassName() : QStringLiteral("nil");
        try {
            target->Assign(other);
            ADD_FAILURE() << "assigning a " << qPrintable(sourceName) << " to a " << qPrintable(Row.Name)
                          << " was accepted";
        } catch (const KvInet::EConvertError& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("Cannot assign a %1 to a %2").arg(sourceName, Row.Name));
        }
    }
}

} // namespace KvTest
