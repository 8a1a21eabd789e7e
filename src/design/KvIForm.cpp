// KvIForm: the form writer and reader. The reader is a loop over tokens with an explicit stack of open
// objects (no recursion per nesting level), bounded in every dimension, and applies an object's values
// only once the object's text is complete, in an order that keeps what was stored (see ApplyFirst).
#include "design/KvIForm.h"

#include "design/KvInetR.h"
#include "socket/KvIHTTP.h"
#include "socket/KvISMTP.h"
#include "socket/KvIWeath.h"
#include "socket/KvInBase.h"
#include "socket/KvWhoIs.h"
#include "web/kvidir.h"
#include "web/kvidirect.h"
#include "web/kviupdate.h"
#include "xml/KvIUPS.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QMetaProperty>
#include <QPixmap>
#include <QSaveFile>

#include <algorithm>
#include <vector>

namespace KvInet {

namespace {

// ---- what is stored ----------------------------------------------------------------------------------

// Stored defaults: a property holding its class's stored default is not written. Properties without a
// line here are written always, strings and pictures when they are not empty. The limits we added
// (Timeout, TotalTimeout, MaxReplySize, Security) default to their initial values.
struct TDefaultRow {
    const QMetaObject* Class;
    const char* Property;
    const char* Default;
};

const TDefaultRow DefaultTable[] = {
    {&TKvInetBase::staticMetaObject, "LoginPrompt", "True"},
    {&TKvInetBase::staticMetaObject, "Timeout", "30"},
    {&TKvInetBase::staticMetaObject, "TotalTimeout", "0"},
    {&TKvInetBase::staticMetaObject, "MaxReplySize", "268435456"},
    {&TKvInetProxy::staticMetaObject, "Port", "0"},
    {&TKvIHTTPClient::staticMetaObject, "Action", "haHead"},
    {&TKvIHTTPClient::staticMetaObject, "RemoveHeaders", "True"},
    {&TKvISMTP::staticMetaObject, "Priority", "spNormal"},
    {&TKvISMTP::staticMetaObject, "Security", "ssNone"},
    {&TKvWeatherInfo::staticMetaObject, "TrackingType", "wttZip"},
    // The tracker starts on HTTPS: with isHTTP as its default, a tracker set to HTTP would load as HTTPS.
    // More particular classes come first: the first row whose class the object inherits wins.
    {&TKvUPSTracker::staticMetaObject, "Service", "isHTTPS"},
    {&TKvCustomWebComponent::staticMetaObject, "Service", "isHTTP"},
    {&TKvCustomWebComponent::staticMetaObject, "LoginPrompt", "True"},
    {&TKvCustomWebComponent::staticMetaObject, "Timeout", "60"},
    {&TKvCustomWebComponent::staticMetaObject, "TotalTimeout", "0"},
    {&TKvCustomWebComponent::staticMetaObject, "MaxReplySize", "268435456"},
    {&TKvInetStatusDialog::staticMetaObject, "Enabled", "False"},
    {&TKvInetStatusDialog::staticMetaObject, "HelpContext", "0"},
    {&TKvRemoteFiles::staticMetaObject, "SubFolders", "False"},
    {&TKvWebDirect::staticMetaObject, "ShowMode", "omAlways"},
};

// String lists written even when empty (their initial content is not empty, or the class says so).
struct TListRow {
    const QMetaObject* Class;
    const char* Property;
};
const TListRow AlwaysStoredLists[] = {
    {&TKvWhoIs::staticMetaObject, "ServerList"},
    {&TKvIHTTPClient::staticMetaObject, "Headers"},
};

// Properties applied before the others when an object is loaded, because their setters change other
// stored properties: Service sets Port, and Domain (chosen with AutoSelectServer) sets Host. Applied in
// file order, the stored Port or Host would be replaced on every load.
const TListRow ApplyFirst[] = {
    {&TKvCustomWebComponent::staticMetaObject, "Service"},
    {&TKvWhoIs::staticMetaObject, "AutoSelectServer"},
    {&TKvWhoIs::staticMetaObject, "Domain"},
};

bool Inherits(const QObject* Object, const QMetaObject* Class) {
    return Object->metaObject()->inherits(Class);
}

bool InList(const QObject* Object, const char* Property, const auto& List) {
    return std::any_of(std::begin(List), std::end(List), [&](const TListRow& Row) {
        return qstrcmp(Row.Property, Property) == 0 && Inherits(Object, Row.Class);
    });
}

bool IsPublished(const QMetaProperty& Property) {
    return Property.propertyIndex() >= QObject::staticMetaObject.propertyCount();
}

bool IsObject(const QMetaProperty& Property) {
    return Property.metaType().flags().testFlag(QMetaType::PointerToQObject);
}

// A component reference: an object-typed property whose class is a component (Image).
bool IsReference(const QMetaProperty& Property) {
    const QMetaObject* meta = Property.metaType().metaObject();
    return meta && meta->inherits(&TComponent::staticMetaObject);
}

// Widgets (ParentControl) belong to the running program, never to a form.
bool IsWidget(const QMetaProperty& Property) {
    const QMetaObject* meta = Property.metaType().metaObject();
    return IsObject(Property) && meta && !meta->inherits(&TPersistent::staticMetaObject);
}

// ---- writing -----------------------------------------------------------------------------------------

QString QuoteString(const QString& Value) {
    if (Value.isEmpty())
        return QStringLiteral("''");
    QString out;
    bool open = false;
    for (const QChar c : Value) {
        const ushort u = c.unicode();
        if (u < 32 || u == 127) {
            if (open)
                out += u'\'';
            open = false;
            out += u'#' + QString::number(u);
            continue;
        }
        if (!open)
            out += u'\'';
        open = true;
        out += c;
        if (c == u'\'')
            out += c;
    }
    if (open)
        out += u'\'';
    return out;
}

QString EnumText(const QMetaProperty& Property, const QVariant& Value) {
    const QMetaEnum e = Property.enumerator();
    const int v = Value.toInt();
    if (!e.isFlag())
        return QString::fromLatin1(e.valueToKey(v));
    QStringList names;
    for (int i = 0; i < e.keyCount(); ++i)
        if (e.value(i) != 0 && (v & e.value(i)) == e.value(i))
            names.append(QString::fromLatin1(e.key(i)));
    return u'[' + names.join(QStringLiteral(", ")) + u']';
}

QByteArray PngOf(const QImage& Image) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    Image.save(&buffer, "PNG");
    return data;
}

QImage IconImage(const QIcon& Icon) {
    const QList<QSize> sizes = Icon.availableSizes();
    if (Icon.isNull() || sizes.isEmpty())
        return QImage();
    return Icon.pixmap(sizes.last()).toImage();
}

// The text of a scalar value, or a null string when the value is not written.
QString ScalarText(const QObject* Object, const QMetaProperty& Property, const QString& Indent) {
    const QVariant value = Property.read(Object);
    QString text;
    if (Property.isEnumType()) {
        text = EnumText(Property, value);
    } else {
        switch (Property.metaType().id()) {
        case QMetaType::Bool:
            text = value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
            break;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
            text = value.toString();
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            text = QString::number(value.toDouble(), 'g', 17);
            break;
        case QMetaType::QString:
            if (value.toString().isEmpty() && StoredDefault(Object, Property.name()).isNull())
                return QString();
            text = QuoteString(value.toString());
            break;
        case QMetaType::QImage:
        case QMetaType::QIcon: {
            const QImage image = Property.metaType().id() == QMetaType::QImage
                                     ? value.value<QImage>()
                                     : IconImage(value.value<QIcon>());
            if (image.isNull())
                return QString();
            const QByteArray hex = PngOf(image).toHex().toUpper();
            QString lines = QStringLiteral("{");
            for (qsizetype i = 0; i < hex.size(); i += 64)
                lines += u'\n' + Indent + QStringLiteral("  ") + QString::fromLatin1(hex.mid(i, 64));
            return lines + QStringLiteral("}");
        }
        default:
            return QString();
        }
    }
    if (text == StoredDefault(Object, Property.name()))
        return QString();
    return text;
}

QString StringListText(const TStrings* List, const QString& Indent) {
    QString text = QStringLiteral("(");
    for (int i = 0; i < List->Count(); ++i)
        text += u'\n' + Indent + QStringLiteral("  ") + QuoteString(List->Get(i));
    return text + QStringLiteral(")");
}

void WriteProperties(const QObject* Object, const QString& Prefix, const QString& Indent, QString& Out);

void WriteCollection(const TCollection* Collection, const QString& Indent, QString& Out) {
    Out += u'<';
    for (int i = 0; i < Collection->Count(); ++i) {
        Out += u'\n' + Indent + QStringLiteral("  item\n");
        WriteProperties(Collection->Items(i), QString(), Indent + QStringLiteral("    "), Out);
        Out += Indent + QStringLiteral("  end");
    }
    Out += QStringLiteral(">\n");
}

// Sub-objects (Proxy, StatusDialog) are a fixed part of their class: this recursion follows the classes,
// never the text being read.
void WriteProperties(const QObject* Object, const QString& Prefix, const QString& Indent, QString& Out) {
    const QMetaObject* meta = Object->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (!IsPublished(property) || !property.isStored())
            continue;
        // A component's name is in its object line.
        if (qstrcmp(property.name(), "Name") == 0 && qobject_cast<const TComponent*>(Object))
            continue;
        const QString name = Prefix + QString::fromLatin1(property.name());
        if (IsObject(property)) {
            if (IsWidget(property))
                continue;
            const QObject* sub = property.read(Object).value<QObject*>();
            if (IsReference(property)) {
                if (const auto* ref = qobject_cast<const TComponent*>(sub); ref && !ref->Name().isEmpty())
                    Out += Indent + name + QStringLiteral(" = ") + ref->Name() + u'\n';
            } else if (const auto* list = qobject_cast<const TStrings*>(sub)) {
                if (list->Count() > 0 || InList(Object, property.name(), AlwaysStoredLists))
                    Out +=
                        Indent + name + QStringLiteral(".Strings = ") + StringListText(list, Indent) + u'\n';
            } else if (const auto* collection = qobject_cast<const TCollection*>(sub)) {
                if (collection->Count() > 0) {
                    Out += Indent + name + QStringLiteral(" = ");
                    WriteCollection(collection, Indent, Out);
                }
            } else if (sub) {
                WriteProperties(sub, name + u'.', Indent, Out);
            }
            continue;
        }
        if (!property.isWritable())
            continue;
        const QString text = ScalarText(Object, property, Indent);
        if (text.isNull())
            continue;
        const bool picture = text.startsWith(u'{');
        Out += Indent + name + (picture ? QStringLiteral(".Data = ") : QStringLiteral(" = ")) + text + u'\n';
    }
}

void WriteObject(const TComponent* Component, const QString& Indent, QString& Out) {
    Out += Indent + QStringLiteral("object ") + Component->Name() + QStringLiteral(": ") +
           Component->ClassName() + u'\n';
    WriteProperties(Component, QString(), Indent + QStringLiteral("  "), Out);
}

// ---- reading: tokens ---------------------------------------------------------------------------------

enum TTokenKind { tkEnd, tkIdent, tkNumber, tkString, tkSymbol, tkBinary };

struct TToken {
    TTokenKind Kind = tkEnd;
    QString Text; // identifier, number, decoded string, symbol
    QByteArray Data;
    int Line = 1;
};

class TLexer {
public:
    explicit TLexer(const QString& Text) : FText(Text) {}

    TToken Next() {
        SkipSpace();
        TToken t;
        t.Line = FLine;
        if (FPos >= FText.size())
            return t;
        const QChar c = FText[FPos];
        if (c.isLetter() || c == u'_') {
            t.Kind = tkIdent;
            const qsizetype start = FPos;
            while (FPos < FText.size() && (IsIdentChar(FText[FPos]) || FText[FPos] == u'.'))
                ++FPos;
            t.Text = FText.mid(start, FPos - start);
            return t;
        }
        if (c.isDigit() ||
            ((c == u'-' || c == u'+') && FPos + 1 < FText.size() && FText[FPos + 1].isDigit())) {
            t.Kind = tkNumber;
            const qsizetype start = FPos++;
            while (FPos < FText.size() && (FText[FPos].isDigit() || FText[FPos] == u'.' ||
                                           FText[FPos] == u'e' || FText[FPos] == u'E' ||
                                           ((FText[FPos] == u'-' || FText[FPos] == u'+') &&
                                            (FText[FPos - 1] == u'e' || FText[FPos - 1] == u'E'))))
                ++FPos;
            t.Text = FText.mid(start, FPos - start);
            return t;
        }
        if (c == u'\'' || c == u'#') {
            t.Kind = tkString;
            ReadString(t);
            return t;
        }
        if (c == u'{') {
            t.Kind = tkBinary;
            ++FPos;
            QByteArray hex;
            while (FPos < FText.size() && FText[FPos] != u'}') {
                const QChar h = FText[FPos];
                if (h == u'\n')
                    ++FLine;
                if (h.isSpace()) {
                    ++FPos;
                    continue;
                }
                if (!std::isxdigit(h.unicode() < 128 ? h.unicode() : 'x'))
                    throw Error(QStringLiteral("a picture's data holds a character that is not hexadecimal"));
                hex += char(h.unicode());
                ++FPos;
            }
            if (FPos >= FText.size())
                throw Error(QStringLiteral("a picture's data has no closing brace"));
            ++FPos;
            if (hex.size() % 2)
                throw Error(QStringLiteral("a picture's data has an odd number of digits"));
            t.Data = QByteArray::fromHex(hex);
            return t;
        }
        if (QStringLiteral("=:[](),<>").contains(c)) {
            t.Kind = tkSymbol;
            t.Text = c;
            ++FPos;
            return t;
        }
        throw Error(QStringLiteral("unexpected character '%1'").arg(c));
    }

    int Line() const { return FLine; }
    EKvFormError Error(const QString& Message) const {
        return EKvFormError(QStringLiteral("Line %1: %2").arg(FLine).arg(Message));
    }

private:
    static bool IsIdentChar(QChar C) { return C.isLetterOrNumber() || C == u'_'; }

    void SkipSpace() {
        while (FPos < FText.size()) {
            const QChar c = FText[FPos];
            if (c == u'\n')
                ++FLine;
            if (!c.isSpace())
                return;
            ++FPos;
        }
    }

    // 'text' pieces with '' for a quote, joined with #nnn characters: 'a'#13#10'b'.
    void ReadString(TToken& T) {
        while (FPos < FText.size()) {
            const QChar c = FText[FPos];
            if (c == u'\'') {
                ++FPos;
                for (;;) {
                    if (FPos >= FText.size() || FText[FPos] == u'\n')
                        throw Error(QStringLiteral("a string has no closing quote"));
                    if (FText[FPos] == u'\'') {
                        if (FPos + 1 < FText.size() && FText[FPos + 1] == u'\'') {
                            T.Text += u'\'';
                            FPos += 2;
                            continue;
                        }
                        ++FPos;
                        break;
                    }
                    T.Text += FText[FPos++];
                }
            } else if (c == u'#') {
                ++FPos;
                const qsizetype start = FPos;
                while (FPos < FText.size() && FText[FPos].isDigit() && FPos - start < 6)
                    ++FPos;
                bool ok = false;
                const uint code = FText.mid(start, FPos - start).toUInt(&ok);
                if (!ok || code > 0xFFFF)
                    throw Error(QStringLiteral("a character code after # is not a number up to 65535"));
                T.Text += QChar(char16_t(code));
            } else {
                return;
            }
        }
    }

    const QString& FText;
    qsizetype FPos = 0;
    int FLine = 1;
};

// ---- reading: values ---------------------------------------------------------------------------------

enum TValueKind { vkIdent, vkNumber, vkString, vkSet, vkList, vkCollection, vkBinary };

struct TAssignment;
using TItem = std::vector<TAssignment>;

struct TValue {
    TValueKind Kind = vkIdent;
    QString Text;
    QStringList Items;
    QByteArray Data;
    std::vector<TItem> Collection;
};

struct TAssignment {
    QString Path;
    int Line = 0;
    TValue Value;
};

struct TReference {
    QObject* Object;
    QMetaProperty Property;
    QString Name;
    int Line;
};

class TFormReader {
public:
    TFormReader(const QString& Text, TKvFormLoadMode Mode, const TKvFormLimits& Limits)
        : FLexer(Text), FMode(Mode), FLimits(Limits) {}

    std::unique_ptr<TComponent> Read();

private:
    struct TFrame {
        TComponent* Component;
        std::vector<TAssignment> Pending;
    };

    [[noreturn]] void Fail(int Line, const QString& Message) const {
        throw EKvFormError(QStringLiteral("Line %1: %2").arg(Line).arg(Message));
    }
    TToken Expect(TTokenKind Kind, const QString& Symbol, const QString& What) {
        TToken t = FLexer.Next();
        if (t.Kind != Kind || (!Symbol.isEmpty() && t.Text != Symbol))
            Fail(t.Line, QStringLiteral("%1 expected").arg(What));
        return t;
    }
    TValue ReadValue(bool AllowCollection);
    TItem ReadItem();
    void BeginObject(int Line);
    void Apply(TComponent* Component, std::vector<TAssignment>& Pending);
    void ApplyOne(QObject* Object, const TAssignment& A);
    void WriteScalar(QObject* Object, const QMetaProperty& Property, const TAssignment& A);

    TLexer FLexer;
    TKvFormLoadMode FMode;
    TKvFormLimits FLimits;
    std::unique_ptr<TComponent> FRoot;
    std::vector<TFrame> FStack;
    std::vector<TReference> FReferences;
    int FObjects = 0;
};

TValue TFormReader::ReadValue(bool AllowCollection) {
    const TToken t = FLexer.Next();
    TValue v;
    switch (t.Kind) {
    case tkIdent:
        v.Kind = vkIdent;
        v.Text = t.Text;
        return v;
    case tkNumber:
        v.Kind = vkNumber;
        v.Text = t.Text;
        return v;
    case tkString:
        v.Kind = vkString;
        v.Text = t.Text;
        return v;
    case tkBinary:
        v.Kind = vkBinary;
        v.Data = t.Data;
        return v;
    case tkSymbol:
        break;
    case tkEnd:
        Fail(t.Line, QStringLiteral("a value expected"));
    }
    if (t.Text == u"[") {
        v.Kind = vkSet;
        TToken n = FLexer.Next();
        while (!(n.Kind == tkSymbol && n.Text == u"]")) {
            if (n.Kind != tkIdent)
                Fail(n.Line, QStringLiteral("a name or ] expected in a set"));
            if (v.Items.size() >= FLimits.MaxItems)
                Fail(n.Line, QStringLiteral("too many members in a set"));
            v.Items.append(n.Text);
            n = FLexer.Next();
            if (n.Kind == tkSymbol && n.Text == u",")
                n = FLexer.Next();
        }
        return v;
    }
    if (t.Text == u"(") {
        v.Kind = vkList;
        TToken n = FLexer.Next();
        while (!(n.Kind == tkSymbol && n.Text == u")")) {
            if (n.Kind != tkString)
                Fail(n.Line, QStringLiteral("a string or ) expected in a list"));
            if (v.Items.size() >= FLimits.MaxItems)
                Fail(n.Line, QStringLiteral("more than %1 lines in a list").arg(FLimits.MaxItems));
            v.Items.append(n.Text);
            n = FLexer.Next();
        }
        return v;
    }
    if (t.Text == u"<") {
        if (!AllowCollection)
            Fail(t.Line, QStringLiteral("a collection inside a collection item"));
        v.Kind = vkCollection;
        TToken n = FLexer.Next();
        while (!(n.Kind == tkSymbol && n.Text == u">")) {
            if (n.Kind != tkIdent || n.Text.compare(u"item", Qt::CaseInsensitive) != 0)
                Fail(n.Line, QStringLiteral("item or > expected in a collection"));
            if (qsizetype(v.Collection.size()) >= FLimits.MaxItems)
                Fail(n.Line, QStringLiteral("more than %1 items in a collection").arg(FLimits.MaxItems));
            v.Collection.push_back(ReadItem());
            n = FLexer.Next();
        }
        return v;
    }
    Fail(t.Line, QStringLiteral("a value expected, not '%1'").arg(t.Text));
}

TItem TFormReader::ReadItem() {
    TItem item;
    for (;;) {
        const TToken n = FLexer.Next();
        if (n.Kind == tkIdent && n.Text.compare(u"end", Qt::CaseInsensitive) == 0)
            return item;
        if (n.Kind != tkIdent)
            Fail(n.Line, QStringLiteral("a property name or end expected in a collection item"));
        Expect(tkSymbol, QStringLiteral("="), QStringLiteral("="));
        if (qsizetype(item.size()) >= FLimits.MaxItems)
            Fail(n.Line, QStringLiteral("too many values in a collection item"));
        item.push_back({n.Text, n.Line, ReadValue(false)});
    }
}

void TFormReader::BeginObject(int Line) {
    const TToken name = Expect(tkIdent, QString(), QStringLiteral("a component name"));
    if (name.Text.contains(u'.'))
        Fail(name.Line, QStringLiteral("'%1' is not a component name").arg(name.Text));
    Expect(tkSymbol, QStringLiteral(":"), QStringLiteral(": and a class name"));
    const TToken cls = Expect(tkIdent, QString(), QStringLiteral("a class name"));
    const TComponentClass* c = FindKvInetClass(cls.Text);
    if (!c)
        Fail(cls.Line, QStringLiteral("unknown class %1").arg(cls.Text));
    if (FRoot && FStack.empty())
        Fail(Line, QStringLiteral("a second object after the form's end"));
    if (int(FStack.size()) >= FLimits.MaxDepth)
        Fail(Line, QStringLiteral("objects nested more than %1 deep").arg(FLimits.MaxDepth));
    if (++FObjects > FLimits.MaxObjects)
        Fail(Line, QStringLiteral("more than %1 objects").arg(FLimits.MaxObjects));
    TComponent* component = c->Create(FRoot.get());
    if (!FRoot)
        FRoot.reset(component);
    if (FMode == lmInspect)
        component->SetDesigning(true);
    try {
        component->SetName(name.Text);
    } catch (const Exception& e) {
        Fail(name.Line, e.Message());
    }
    FStack.push_back({component, {}});
}

std::unique_ptr<TComponent> TFormReader::Read() {
    for (;;) {
        const TToken t = FLexer.Next();
        if (t.Kind == tkEnd) {
            if (!FStack.empty())
                Fail(t.Line, QStringLiteral("end expected before the end of the text"));
            if (!FRoot)
                Fail(t.Line, QStringLiteral("no object in the form"));
            break;
        }
        if (t.Kind != tkIdent)
            Fail(t.Line, QStringLiteral("object, end or a property name expected, not '%1'").arg(t.Text));
        if (t.Text.compare(u"object", Qt::CaseInsensitive) == 0) {
            BeginObject(t.Line);
        } else if (t.Text.compare(u"end", Qt::CaseInsensitive) == 0) {
            if (FStack.empty())
                Fail(t.Line, QStringLiteral("end without an object"));
            Apply(FStack.back().Component, FStack.back().Pending);
            FStack.pop_back();
        } else {
            if (FStack.empty())
                Fail(t.Line, QStringLiteral("object expected"));
            Expect(tkSymbol, QStringLiteral("="), QStringLiteral("="));
            FStack.back().Pending.push_back({t.Text, t.Line, ReadValue(true)});
        }
    }
    for (const TReference& r : FReferences) {
        TComponent* found = FRoot->Name().compare(r.Name, Qt::CaseInsensitive) == 0
                                ? FRoot.get()
                                : FRoot->FindComponent(r.Name);
        if (!found)
            Fail(r.Line, QStringLiteral("no component named %1 in the form").arg(r.Name));
        if (!found->metaObject()->inherits(r.Property.metaType().metaObject()))
            Fail(r.Line, QStringLiteral("%1 is a %2, not a %3")
                             .arg(r.Name, found->ClassName(),
                                  QString::fromLatin1(r.Property.metaType().metaObject()->className())
                                      .section(u':', -1)));
        QObject* pointer = found;
        if (!r.Property.write(r.Object, QVariant(r.Property.metaType(), &pointer)))
            Fail(r.Line, QStringLiteral("%1 cannot be set").arg(QString::fromLatin1(r.Property.name())));
    }
    return std::move(FRoot);
}

void TFormReader::Apply(TComponent* Component, std::vector<TAssignment>& Pending) {
    std::stable_partition(Pending.begin(), Pending.end(), [&](const TAssignment& A) {
        return InList(Component, A.Path.toLatin1().constData(), ApplyFirst);
    });
    for (const TAssignment& a : Pending)
        ApplyOne(Component, a);
    Pending.clear();
}

void TFormReader::ApplyOne(QObject* Object, const TAssignment& A) {
    const QStringList parts = A.Path.split(u'.');
    if (parts.size() > FLimits.MaxPathParts || parts.contains(QString()))
        Fail(A.Line, QStringLiteral("'%1' is not a property name").arg(A.Path));
    QObject* target = Object;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        const bool last = i + 1 == parts.size();
        const QMetaObject* meta = target->metaObject();
        const QString className = QString::fromLatin1(meta->className()).section(u':', -1);
        // A string list's lines, a picture's data.
        if (last && part == u"Strings" && qobject_cast<TStrings*>(target)) {
            if (A.Value.Kind != vkList)
                Fail(A.Line, QStringLiteral("%1 needs a list of strings in ( )").arg(A.Path));
            static_cast<TStrings*>(target)->SetStringList(A.Value.Items);
            return;
        }
        const int index = meta->indexOfProperty(part.toLatin1().constData());
        const QMetaProperty property = index >= 0 ? meta->property(index) : QMetaProperty();
        if (index < 0 || !IsPublished(property) || IsWidget(property) ||
            (part == u"Name" && qobject_cast<TComponent*>(target)))
            Fail(A.Line, QStringLiteral("unknown property %1 of %2").arg(part, className));
        const int type = property.metaType().id();
        if ((type == QMetaType::QImage || type == QMetaType::QIcon) && i + 2 == parts.size() &&
            parts[i + 1] == u"Data") {
            if (A.Value.Kind != vkBinary)
                Fail(A.Line, QStringLiteral("%1 needs picture data in { }").arg(A.Path));
            QImage image;
            if (!A.Value.Data.isEmpty() && !image.loadFromData(A.Value.Data, "PNG"))
                Fail(A.Line, QStringLiteral("%1 holds no PNG picture").arg(A.Path));
            QVariant value = QVariant::fromValue(image);
            if (type == QMetaType::QIcon) {
                // An icon is pixmaps, which only a GUI application has; elsewhere it stays empty.
                if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
                    return;
                value = QVariant::fromValue(image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image)));
            }
            if (!property.write(target, value))
                Fail(A.Line, QStringLiteral("%1 cannot be set").arg(A.Path));
            return;
        }
        if (!last) {
            QObject* sub = IsObject(property) && !IsReference(property)
                               ? property.read(target).value<QObject*>()
                               : nullptr;
            if (!sub)
                Fail(A.Line, QStringLiteral("%1 of %2 has no properties").arg(part, className));
            target = sub;
            continue;
        }
        if (IsReference(property)) {
            if (A.Value.Kind != vkIdent || A.Value.Text.contains(u'.'))
                Fail(A.Line, QStringLiteral("%1 needs a component name").arg(A.Path));
            FReferences.push_back({target, property, A.Value.Text, A.Line});
            return;
        }
        if (IsObject(property)) {
            auto* collection = qobject_cast<TCollection*>(property.read(target).value<QObject*>());
            if (!collection || A.Value.Kind != vkCollection)
                Fail(A.Line, QStringLiteral("%1 cannot be set as a whole").arg(A.Path));
            collection->Clear();
            for (const TItem& item : A.Value.Collection) {
                TCollectionItem* added = collection->Add();
                for (const TAssignment& a : item)
                    ApplyOne(added, a); // items hold no collections: this depth is one
            }
            return;
        }
        WriteScalar(target, property, A);
    }
}

void TFormReader::WriteScalar(QObject* Object, const QMetaProperty& Property, const TAssignment& A) {
    if (!Property.isWritable() || !Property.isStored())
        Fail(A.Line, QStringLiteral("%1 is not stored").arg(A.Path));
    const TValue& v = A.Value;
    QVariant value;
    bool ok = false;
    if (Property.isEnumType()) {
        const QMetaEnum e = Property.enumerator();
        if (e.isFlag() && v.Kind == vkSet) {
            int bits = 0;
            ok = true;
            for (const QString& name : v.Items) {
                const int bit = e.keyToValue(name.toLatin1().constData(), &ok);
                if (!ok)
                    Fail(A.Line, QStringLiteral("%1 is no member of %2").arg(name, A.Path));
                bits |= bit;
            }
            value = bits;
        } else if (!e.isFlag() && v.Kind == vkIdent) {
            value = e.keyToValue(v.Text.toLatin1().constData(), &ok);
            if (!ok)
                Fail(A.Line, QStringLiteral("%1 is no value of %2").arg(v.Text, A.Path));
        } else {
            Fail(A.Line, QStringLiteral("%1 needs %2")
                             .arg(A.Path, e.isFlag() ? QStringLiteral("a set in [ ]")
                                                     : QStringLiteral("a value's name")));
        }
    } else {
        switch (Property.metaType().id()) {
        case QMetaType::Bool:
            if (v.Kind == vkIdent && (v.Text == u"True" || v.Text == u"False")) {
                value = v.Text == u"True";
                ok = true;
            }
            break;
        case QMetaType::Int:
            if (v.Kind == vkNumber)
                value = v.Text.toInt(&ok);
            break;
        case QMetaType::UInt:
            if (v.Kind == vkNumber)
                value = v.Text.toUInt(&ok);
            break;
        case QMetaType::LongLong:
            if (v.Kind == vkNumber)
                value = v.Text.toLongLong(&ok);
            break;
        case QMetaType::ULongLong:
            if (v.Kind == vkNumber)
                value = v.Text.toULongLong(&ok);
            break;
        case QMetaType::Double:
            if (v.Kind == vkNumber) {
                // QString::toDouble reads the C locale whatever the program's.
                const double d = v.Text.toDouble(&ok);
                ok = ok && std::isfinite(d);
                value = d;
            }
            break;
        case QMetaType::QString:
            if (v.Kind == vkString) {
                value = v.Text;
                ok = true;
            }
            break;
        default:
            break;
        }
        if (!ok)
            Fail(A.Line, QStringLiteral("%1 cannot take this value").arg(A.Path));
    }
    try {
        if (!Property.write(Object, value))
            Fail(A.Line, QStringLiteral("%1 cannot be set").arg(A.Path));
    } catch (const Exception& e) {
        Fail(A.Line, QStringLiteral("%1: %2").arg(A.Path, e.Message()));
    }
}

} // namespace

QString StoredDefault(const QObject* Object, const char* Property) {
    for (const TDefaultRow& row : DefaultTable)
        if (qstrcmp(row.Property, Property) == 0 && Inherits(Object, row.Class))
            return QString::fromLatin1(row.Default);
    return QString();
}

QString WriteComponentForm(const TComponent* Root) {
    // Objects nested in the root are the components it owns; each is written with its own lines, one
    // level down (the tree is the owner's flat list, so this is no recursion over the text).
    QString out;
    WriteObject(Root, QString(), out);
    for (int i = 0; i < Root->ComponentCount(); ++i) {
        // Helpers a component makes for itself (its socket, its timer) have no name and are no part of it.
        const TComponent* component = Root->Components(i);
        if (component->Name().isEmpty() || !FindKvInetClass(component->ClassName()))
            continue;
        WriteObject(component, QStringLiteral("  "), out);
        out += QStringLiteral("  end\n");
    }
    out += QStringLiteral("end\n");
    return out;
}

void SaveComponentFormFile(const TComponent* Root, const QString& FileName) {
    QSaveFile file(FileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(WriteComponentForm(Root).toUtf8()) < 0 ||
        !file.commit())
        throw EFCreateError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(FileName, file.errorString()));
}

std::unique_ptr<TComponent> ReadComponentForm(const QString& Text, TKvFormLoadMode Mode,
                                              const TKvFormLimits& Limits) {
    if (Text.size() > Limits.MaxTextSize)
        throw EKvFormError(
            QStringLiteral("Line 1: the form is larger than %1 characters").arg(Limits.MaxTextSize));
    TFormReader reader(Text, Mode, Limits);
    return reader.Read();
}

std::unique_ptr<TComponent> LoadComponentFormFile(const QString& FileName, TKvFormLoadMode Mode,
                                                  const TKvFormLimits& Limits) {
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(FileName, file.errorString()));
    // One byte more than allowed tells a form that is too large without reading all of it.
    const QByteArray data = file.read(Limits.MaxTextSize + 1);
    if (data.size() > Limits.MaxTextSize)
        throw EKvFormError(
            QStringLiteral("Line 1: the form is larger than %1 bytes").arg(Limits.MaxTextSize));
    return ReadComponentForm(QString::fromUtf8(data), Mode, Limits);
}

} // namespace KvInet
