// KvIForm: the form writer and reader. The reader is a loop over tokens with an explicit stack of open
// objects (no recursion per nesting level), bounded in every dimension, and applies each value as it is
// read, keeping what was stored where one setter changes another (see ChangesOthers). The writer refuses
// what the reader would refuse, so every form it writes reads back.
#include "design/KvIForm.h"

#include "design/KvClassTable.h"
#include "platform/Pictures.h"
#include "services/KvIUPS.h"
#include "socket/KvIHTTP.h"
#include "socket/KvISMTP.h"
#include "socket/KvIWeath.h"
#include "socket/KvInBase.h"
#include "socket/KvWhoIs.h"
#include "web/kvidir.h"
#include "web/kvidirect.h"
#include "web/kviupdate.h"

#include <QFile>
#include <QHash>
#include <QMetaProperty>
#include <QPointer>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
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
// Strings written even when empty: a setter read before them would fill them otherwise (Domain, with
// AutoSelectServer, chooses Host), and an empty one would not read back empty.
const TListRow AlwaysStoredStrings[] = {
    {&TKvWhoIs::staticMetaObject, "Host"},
};

// Properties whose setters change other stored properties: Service sets Port, and Domain (chosen with
// AutoSelectServer) sets Host. Read after the stored Port or Host, they would replace it on every load, so
// the reader puts back what the object was given before them (the writer puts Port before Service).
const TListRow ChangesOthers[] = {
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

// ---- shared by writer and reader ---------------------------------------------------------------------

// Characters that must not reach a terminal from a message: C0 and C1 controls, format characters (bidi
// overrides among them) and halves of surrogate pairs standing alone; each becomes #code, as in a form.
QString Printable(const QString& Text) {
    QString out;
    out.reserve(Text.size());
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const QChar c = Text[i];
        if (c.isHighSurrogate() && i + 1 < Text.size() && Text[i + 1].isLowSurrogate()) {
            out += c;
            out += Text[++i];
            continue;
        }
        const QChar::Category category = c.category();
        if (c.isSurrogate() || category == QChar::Other_Control || category == QChar::Other_Format)
            out += u'#' + QString::number(c.unicode());
        else
            out += c;
    }
    return out;
}

[[noreturn]] void FormError(int Line, const QString& Message) {
    throw EKvFormError(QStringLiteral("Line %1: %2").arg(Line).arg(Printable(Message)));
}

bool IsIdentStart(QChar C) {
    return C.isLetter() || C == u'_';
}

bool IsIdentChar(QChar C) {
    return C.isLetterOrNumber() || C == u'_';
}

// A name the reader reads back as one component name.
bool IsComponentName(const QString& Name) {
    return !Name.isEmpty() && IsIdentStart(Name[0]) && std::all_of(Name.begin(), Name.end(), IsIdentChar);
}

// The class row a component is stored as: its own class must be in the table (a descendant the table
// does not know would load as something else).
const TComponentClass* StoredClass(const TComponent* Component) {
    const TComponentClass* c = FindKvInetClass(Component->ClassName());
    return c && c->Meta == Component->metaObject() ? c : nullptr;
}

// Components of a form by name, for references: of several with one name, the one nearest the root is
// meant; two at the same nearest level make the name ambiguous.
class TNameIndex {
public:
    void Add(TComponent* Component, int Depth) {
        if (Component->Name().isEmpty())
            return;
        const QString key = UpperCase(Component->Name());
        const auto it = FNames.find(key);
        if (it == FNames.end() || Depth < it->Depth)
            FNames.insert(key, {Component, Depth, false});
        else if (Depth == it->Depth)
            it->Ambiguous = true;
    }
    // The component Name means, or null; Ambiguous tells why there is none when the name exists.
    TComponent* Find(const QString& Name, bool& Ambiguous) const {
        const auto it = FNames.constFind(UpperCase(Name));
        Ambiguous = it != FNames.cend() && it->Ambiguous;
        return it == FNames.cend() || it->Ambiguous ? nullptr : it->Component;
    }

private:
    struct TEntry {
        TComponent* Component;
        int Depth;
        bool Ambiguous;
    };
    QHash<QString, TEntry> FNames;
};

// ---- writing -----------------------------------------------------------------------------------------

// A string as quoted pieces and #codes. Control characters and halves of surrogate pairs standing alone
// are written as codes: UTF-8 has no bytes for the latter, and the reader puts each code back as it was.
QString QuoteString(const QString& Value) {
    if (Value.isEmpty())
        return QStringLiteral("''");
    QString out;
    out.reserve(Value.size() + 2);
    bool open = false;
    for (qsizetype i = 0; i < Value.size(); ++i) {
        // A run of characters that need nothing, in one piece.
        qsizetype end = i;
        while (end < Value.size() && Value[end].unicode() >= 32 && Value[end].unicode() != 127 &&
               Value[end] != u'\'' && !Value[end].isSurrogate())
            ++end;
        if (end > i) {
            if (!open)
                out += u'\'';
            open = true;
            out += QStringView(Value).mid(i, end - i);
            i = end - 1;
            continue;
        }
        const QChar c = Value[i];
        const ushort u = c.unicode();
        const bool pair = c.isHighSurrogate() && i + 1 < Value.size() && Value[i + 1].isLowSurrogate();
        if (u < 32 || u == 127 || (c.isSurrogate() && !pair)) {
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
        if (pair)
            out += Value[++i];
    }
    if (open)
        out += u'\'';
    return out;
}

// The enumeration's text, or a null string when the value has no name.
QString EnumText(const QMetaProperty& Property, const QVariant& Value) {
    const QMetaEnum e = Property.enumerator();
    const int v = Value.toInt();
    if (!e.isFlag()) {
        const char* key = e.valueToKey(v);
        return key ? QString::fromLatin1(key) : QString();
    }
    QStringList names;
    for (int i = 0; i < e.keyCount(); ++i)
        if (e.value(i) != 0 && (v & e.value(i)) == e.value(i))
            names.append(QString::fromLatin1(e.key(i)));
    return u'[' + names.join(QStringLiteral(", ")) + u']';
}

// Writes a form: the root, its properties, then the components it owns, each nested in its owner. The
// walk over the ownership tree keeps its own stack, so a tree of any depth is refused by the limit, not
// by the machine's stack. Whatever the reader would refuse is refused here, before anything is written.
class TFormWriter {
public:
    explicit TFormWriter(const TKvFormLimits& Limits) : FLimits(Limits) {}

    QString Write(const TComponent* Root);

private:
    [[noreturn]] void Refuse(const QString& Message) const {
        throw EKvFormError(QStringLiteral("Cannot write the form: %1").arg(Printable(Message)));
    }
    static QString Label(const QObject* Object) {
        const auto* component = qobject_cast<const TComponent*>(Object);
        if (component && !component->Name().isEmpty())
            return component->Name();
        return QStringLiteral("a ") +
               QString::fromLatin1(Object->metaObject()->className()).section(u':', -1);
    }
    // The components of Owner that the form holds; an unnamed component of a class the form cannot hold is
    // a helper its owner made for itself (a socket, a timer) and no part of the form.
    std::vector<const TComponent*> Stored(const TComponent* Owner) const;
    void Index(const TComponent* Root);
    QString ScalarText(const QObject* Object, const QMetaProperty& Property, const QString& Path,
                       const QString& Indent) const;
    QString StringListText(const TStrings* List, const QString& Path, const QString& Indent) const;
    void WriteCollection(const TCollection* Collection, const QString& Path, const QString& Indent);
    void WriteProperties(const QObject* Owner, const QObject* Object, const QString& Prefix,
                         const QString& Indent);
    void WriteReference(const QObject* Owner, const QString& Path, const TComponent* Target,
                        const QString& Indent);

    TKvFormLimits FLimits;
    TNameIndex FNames;
    QString FOut;
};

std::vector<const TComponent*> TFormWriter::Stored(const TComponent* Owner) const {
    std::vector<const TComponent*> stored;
    for (int i = 0; i < Owner->ComponentCount(); ++i) {
        const TComponent* component = Owner->Components(i);
        if (StoredClass(component))
            stored.push_back(component);
        else if (!component->Name().isEmpty())
            Refuse(QStringLiteral("%1 is a %2, a class a form cannot hold")
                       .arg(component->Name(), component->ClassName()));
    }
    return stored;
}

// Names, classes and the limits of depth and count, checked for the whole tree before writing, so that
// references can be checked against every component of the form.
void TFormWriter::Index(const TComponent* Root) {
    if (!StoredClass(Root))
        Refuse(QStringLiteral("its root is a %1; a form's root is a TComponent or a class of the library")
                   .arg(Root->ClassName()));
    std::vector<std::pair<const TComponent*, int>> pending{{Root, 0}};
    int objects = 0;
    while (!pending.empty()) {
        const auto [component, depth] = pending.back();
        pending.pop_back();
        if (!component->Name().isEmpty() && !IsComponentName(component->Name()))
            Refuse(QStringLiteral("'%1' is not a name a form can hold (letters, digits and _)")
                       .arg(component->Name()));
        if (depth >= FLimits.MaxDepth)
            Refuse(
                QStringLiteral("%1 is nested more than %2 deep").arg(Label(component)).arg(FLimits.MaxDepth));
        if (++objects > FLimits.MaxObjects)
            Refuse(QStringLiteral("more than %1 objects").arg(FLimits.MaxObjects));
        FNames.Add(const_cast<TComponent*>(component), depth);
        for (const TComponent* child : Stored(component))
            pending.push_back({child, depth + 1});
    }
}

// The text of a scalar value, or a null string when the value is not written.
QString TFormWriter::ScalarText(const QObject* Object, const QMetaProperty& Property, const QString& Path,
                                const QString& Indent) const {
    const QVariant value = Property.read(Object);
    QString text;
    if (Property.isEnumType()) {
        text = EnumText(Property, value);
        if (text.isNull())
            Refuse(QStringLiteral("%1.%2 holds %3, which has no name")
                       .arg(Label(Object), Path)
                       .arg(value.toInt()));
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
            if (!std::isfinite(value.toDouble()))
                Refuse(QStringLiteral("%1.%2 is not a finite number").arg(Label(Object), Path));
            text = QString::number(value.toDouble(), 'g', 17);
            break;
        case QMetaType::QString:
            if (value.toString().isEmpty() && StoredDefault(Object, Property.name()).isNull() &&
                !InList(Object, Property.name(), AlwaysStoredStrings))
                return QString();
            text = QuoteString(value.toString());
            break;
        case QMetaType::QByteArray: {
            // Byte properties are encoded pictures, stored as PNG: PNG bytes as they are, others converted.
            const QByteArray data = value.toByteArray();
            if (data.isEmpty())
                return QString();
            const QByteArray png = PictureToPng(data);
            if (png.isEmpty())
                Refuse(QStringLiteral("%1.%2 holds no picture this program can store as PNG")
                           .arg(Label(Object), Path));
            const QByteArray hex = png.toHex().toUpper();
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

QString TFormWriter::StringListText(const TStrings* List, const QString& Path, const QString& Indent) const {
    if (List->Count() > FLimits.MaxItems)
        Refuse(QStringLiteral("%1 has more than %2 lines").arg(Path).arg(FLimits.MaxItems));
    QString text = QStringLiteral("(");
    for (int i = 0; i < List->Count(); ++i)
        text += u'\n' + Indent + QStringLiteral("  ") + QuoteString(List->Get(i));
    return text + QStringLiteral(")");
}

void TFormWriter::WriteCollection(const TCollection* Collection, const QString& Path, const QString& Indent) {
    if (Collection->Count() > FLimits.MaxItems)
        Refuse(QStringLiteral("%1 has more than %2 items").arg(Path).arg(FLimits.MaxItems));
    FOut += u'<';
    for (int i = 0; i < Collection->Count(); ++i) {
        FOut += u'\n' + Indent + QStringLiteral("  item\n");
        // Items hold no collections (the reader refuses them), so this goes one level down at most.
        WriteProperties(Collection->Items(i), Collection->Items(i), QString(),
                        Indent + QStringLiteral("    "));
        FOut += Indent + QStringLiteral("  end");
    }
    FOut += QStringLiteral(">\n");
}

// A reference is written by name when the reader will find the same component by that name.
void TFormWriter::WriteReference(const QObject* Owner, const QString& Path, const TComponent* Target,
                                 const QString& Indent) {
    if (!Target)
        return;
    if (Target->Name().isEmpty())
        Refuse(QStringLiteral("%1.%2 refers to a component without a name").arg(Label(Owner), Path));
    bool ambiguous = false;
    const TComponent* found = FNames.Find(Target->Name(), ambiguous);
    if (found != Target)
        Refuse(
            ambiguous || found
                ? QStringLiteral("%1.%2 refers to %3, a name that stands for another component of the form")
                      .arg(Label(Owner), Path, Target->Name())
                : QStringLiteral("%1.%2 refers to %3, which is not in the form")
                      .arg(Label(Owner), Path, Target->Name()));
    FOut += Indent + Path + QStringLiteral(" = ") + Target->Name() + u'\n';
}

// Sub-objects (Proxy, StatusDialog) are a fixed part of their class: this recursion follows the classes,
// never the text being read. Owner is the component or item whose line the properties belong to.
void TFormWriter::WriteProperties(const QObject* Owner, const QObject* Object, const QString& Prefix,
                                  const QString& Indent) {
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
                WriteReference(Owner, name, qobject_cast<const TComponent*>(sub), Indent);
            } else if (const auto* list = qobject_cast<const TStrings*>(sub)) {
                if (list->Count() > 0 || InList(Object, property.name(), AlwaysStoredLists))
                    FOut += Indent + name + QStringLiteral(".Strings = ") +
                            StringListText(list, name, Indent) + u'\n';
            } else if (const auto* collection = qobject_cast<const TCollection*>(sub)) {
                if (collection->Count() > 0) {
                    FOut += Indent + name + QStringLiteral(" = ");
                    WriteCollection(collection, name, Indent);
                }
            } else if (sub) {
                WriteProperties(Owner, sub, name + u'.', Indent);
            }
            continue;
        }
        if (!property.isWritable())
            continue;
        const QString text = ScalarText(Object, property, name, Indent);
        if (text.isNull())
            continue;
        const bool picture = text.startsWith(u'{');
        FOut += Indent + name + (picture ? QStringLiteral(".Data = ") : QStringLiteral(" = ")) + text + u'\n';
    }
}

QString TFormWriter::Write(const TComponent* Root) {
    Index(Root);
    // Each open object keeps the components still to be written inside it.
    struct TOpen {
        std::vector<const TComponent*> Children;
        size_t Next;
    };
    std::vector<TOpen> open;
    const auto begin = [&](const TComponent* Component) {
        const QString indent(2 * int(open.size()), u' ');
        FOut += indent + QStringLiteral("object ") + Component->Name() + QStringLiteral(": ") +
                Component->ClassName() + u'\n';
        WriteProperties(Component, Component, QString(), indent + QStringLiteral("  "));
        open.push_back({Stored(Component), 0});
    };
    begin(Root);
    while (!open.empty()) {
        TOpen& top = open.back();
        if (top.Next < top.Children.size()) {
            begin(top.Children[top.Next++]);
            continue;
        }
        open.pop_back();
        FOut += QString(2 * int(open.size()), u' ') + QStringLiteral("end\n");
    }
    if (FOut.size() > FLimits.MaxTextSize)
        Refuse(QStringLiteral("the form is larger than %1 characters").arg(FLimits.MaxTextSize));
    return std::move(FOut);
}

// ---- reading: tokens ---------------------------------------------------------------------------------

enum TTokenKind { tkEnd, tkIdent, tkNumber, tkString, tkSymbol, tkBinary };

struct TToken {
    TTokenKind Kind = tkEnd;
    QString Text; // identifier, number, decoded string, symbol
    QByteArray Data;
    int Line = 1;

    bool Is(char16_t Symbol) const { return Kind == tkSymbol && Text.size() == 1 && Text[0] == Symbol; }
    // object, end and item are read without case.
    bool IsKeyword(const char16_t* Keyword) const {
        return Kind == tkIdent && Text.compare(QStringView(Keyword), Qt::CaseInsensitive) == 0;
    }
};

// Lines end at CR LF, LF or a CR alone; each counts once.
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
        if (IsIdentStart(c)) {
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
                if (h.isSpace()) {
                    SkipLineEnd();
                    continue;
                }
                if (!std::isxdigit(h.unicode() < 128 ? h.unicode() : 'x'))
                    FormError(FLine,
                              QStringLiteral("a picture's data holds a character that is not hexadecimal"));
                hex += char(h.unicode());
                ++FPos;
            }
            if (FPos >= FText.size())
                FormError(FLine, QStringLiteral("a picture's data has no closing brace"));
            ++FPos;
            if (hex.size() % 2)
                FormError(FLine, QStringLiteral("a picture's data has an odd number of digits"));
            t.Data = QByteArray::fromHex(hex);
            return t;
        }
        if (QStringLiteral("=:[](),<>").contains(c)) {
            t.Kind = tkSymbol;
            t.Text = c;
            ++FPos;
            return t;
        }
        FormError(FLine, QStringLiteral("unexpected character '%1'").arg(c));
    }

private:
    static bool IsLineEnd(QChar C) { return C == u'\n' || C == u'\r'; }

    // Steps over one white-space character, counting a line end once (CR LF is one).
    void SkipLineEnd() {
        const QChar c = FText[FPos++];
        if (c == u'\r' && FPos < FText.size() && FText[FPos] == u'\n')
            ++FPos;
        if (IsLineEnd(c))
            ++FLine;
    }

    void SkipSpace() {
        while (FPos < FText.size() && FText[FPos].isSpace())
            SkipLineEnd();
    }

    // 'text' pieces with '' for a quote, joined with #nnn characters: 'a'#13#10'b'.
    void ReadString(TToken& T) {
        while (FPos < FText.size()) {
            const QChar c = FText[FPos];
            if (c == u'\'') {
                ++FPos;
                for (;;) {
                    // The run up to the next quote or line end in one piece.
                    qsizetype end = FPos;
                    while (end < FText.size() && FText[end] != u'\'' && !IsLineEnd(FText[end]))
                        ++end;
                    T.Text += QStringView(FText).mid(FPos, end - FPos);
                    FPos = end;
                    if (FPos >= FText.size() || IsLineEnd(FText[FPos]))
                        FormError(FLine, QStringLiteral("a string has no closing quote"));
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
                    FormError(FLine, QStringLiteral("a character code after # is not a number up to 65535"));
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

// ---- reading: objects and values ---------------------------------------------------------------------

// Reads a form in one pass and applies every value as soon as it is read, so that memory follows the
// objects made, not the text: a value repeated a million times costs no more than once. Component
// references wait until the whole form is read (they may name a component further down); of a reference
// given twice the last counts.
class TFormReader {
public:
    TFormReader(const QString& Text, TKvFormLoadMode Mode, const TKvFormLimits& Limits)
        : FLexer(Text), FMode(Mode), FLimits(Limits) {}

    std::unique_ptr<TComponent> Read();

private:
    struct TFrame {
        TComponent* Component;
        // Indexes of the properties of this object assigned so far (see Assign).
        std::vector<int> Assigned;
    };
    struct TReference {
        QPointer<QObject> Object; // an item may go with its collection when the collection is given again
        QMetaProperty Property;
        QString Name;
        int Line;
    };

    TToken Expect(TTokenKind Kind, char16_t Symbol, const QString& What) {
        TToken t = FLexer.Next();
        if (t.Kind != Kind || (Symbol && !t.Is(Symbol)))
            FormError(t.Line, QStringLiteral("%1 expected").arg(What));
        return t;
    }
    TToken Value() {
        TToken t = FLexer.Next();
        if (t.Kind == tkEnd)
            FormError(t.Line, QStringLiteral("a value expected"));
        if (FInItem && t.Is(u'<'))
            FormError(t.Line, QStringLiteral("a collection inside a collection item"));
        return t;
    }
    void BeginObject(int Line);
    void Assign(QObject* Object, const TToken& Name, TFrame* Frame);
    void ReadCollection(TCollection* Collection);
    void ReadScalar(QObject* Object, const QMetaProperty& Property, const QString& Path, int Line);
    void Write(QObject* Object, const QMetaProperty& Property, const QVariant& Value, const QString& Path,
               int Line);
    void ResolveReferences();

    TLexer FLexer;
    TKvFormLoadMode FMode;
    TKvFormLimits FLimits;
    std::unique_ptr<TComponent> FRoot;
    std::vector<TFrame> FStack;
    TNameIndex FNames;
    std::vector<TReference> FReferences;
    QHash<QPair<QObject*, int>, size_t> FReferenceIndex;
    int FObjects = 0;
    bool FInItem = false;
};

void TFormReader::BeginObject(int Line) {
    // object Name: TClass, or object : TClass for a component without a name.
    TToken t = FLexer.Next();
    QString name;
    int nameLine = t.Line;
    if (!t.Is(u':')) {
        if (t.Kind != tkIdent)
            FormError(t.Line, QStringLiteral("a component name expected"));
        if (t.Text.contains(u'.'))
            FormError(t.Line, QStringLiteral("'%1' is not a component name").arg(t.Text));
        name = t.Text;
        Expect(tkSymbol, u':', QStringLiteral(": and a class name"));
    }
    const TToken cls = Expect(tkIdent, 0, QStringLiteral("a class name"));
    const TComponentClass* c = FindKvInetClass(cls.Text);
    if (!c)
        FormError(cls.Line, QStringLiteral("unknown class %1").arg(cls.Text));
    if (FRoot && FStack.empty())
        FormError(Line, QStringLiteral("a second object after the form's end"));
    if (int(FStack.size()) >= FLimits.MaxDepth)
        FormError(Line, QStringLiteral("objects nested more than %1 deep").arg(FLimits.MaxDepth));
    if (++FObjects > FLimits.MaxObjects)
        FormError(Line, QStringLiteral("more than %1 objects").arg(FLimits.MaxObjects));
    // An object nested in another is owned by it.
    TComponent* component = c->Create(FStack.empty() ? nullptr : FStack.back().Component);
    if (!FRoot)
        FRoot.reset(component);
    if (FMode == lmInspect)
        component->SetDesigning(true);
    try {
        component->SetName(name);
    } catch (const Exception& e) {
        FormError(nameLine, e.Message());
    }
    FNames.Add(component, int(FStack.size()));
    FStack.push_back({component, {}});
}

std::unique_ptr<TComponent> TFormReader::Read() {
    for (;;) {
        const TToken t = FLexer.Next();
        if (t.Kind == tkEnd) {
            if (!FStack.empty())
                FormError(t.Line, QStringLiteral("end expected before the end of the text"));
            if (!FRoot)
                FormError(t.Line, QStringLiteral("no object in the form"));
            break;
        }
        if (t.Kind != tkIdent)
            FormError(t.Line,
                      QStringLiteral("object, end or a property name expected, not '%1'").arg(t.Text));
        if (t.IsKeyword(u"object")) {
            BeginObject(t.Line);
        } else if (t.IsKeyword(u"end")) {
            if (FStack.empty())
                FormError(t.Line, QStringLiteral("end without an object"));
            FStack.pop_back();
        } else {
            if (FStack.empty())
                FormError(t.Line, QStringLiteral("object expected"));
            Assign(FStack.back().Component, t, &FStack.back());
        }
    }
    ResolveReferences();
    return std::move(FRoot);
}

// One "Path = value": the path is followed to its property first, so that the value is read straight
// into it. Frame is the component's frame, null inside a collection item.
void TFormReader::Assign(QObject* Object, const TToken& Name, TFrame* Frame) {
    Expect(tkSymbol, u'=', QStringLiteral("="));
    const QString& path = Name.Text;
    const int line = Name.Line;
    const QStringList parts = path.split(u'.');
    if (parts.size() > FLimits.MaxPathParts || parts.contains(QString()))
        FormError(line, QStringLiteral("'%1' is not a property name").arg(path));
    QObject* target = Object;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        const bool last = i + 1 == parts.size();
        const QMetaObject* meta = target->metaObject();
        const QString className = QString::fromLatin1(meta->className()).section(u':', -1);
        // A string list's lines.
        if (last && part == u"Strings" && qobject_cast<TStrings*>(target)) {
            if (!Value().Is(u'('))
                FormError(line, QStringLiteral("%1 needs a list of strings in ( )").arg(path));
            QStringList lines;
            for (TToken n = FLexer.Next(); !n.Is(u')'); n = FLexer.Next()) {
                if (n.Kind != tkString)
                    FormError(n.Line, QStringLiteral("a string or ) expected in a list"));
                if (lines.size() >= FLimits.MaxItems)
                    FormError(n.Line, QStringLiteral("more than %1 lines in a list").arg(FLimits.MaxItems));
                lines.append(n.Text);
            }
            static_cast<TStrings*>(target)->SetStringList(lines);
            return;
        }
        const int index = meta->indexOfProperty(part.toLatin1().constData());
        const QMetaProperty property = index >= 0 ? meta->property(index) : QMetaProperty();
        if (index < 0 || !IsPublished(property) || IsWidget(property) ||
            (part == u"Name" && qobject_cast<TComponent*>(target)))
            FormError(line, QStringLiteral("unknown property %1 of %2").arg(part, className));
        const int type = property.metaType().id();
        // A picture's data.
        if (type == QMetaType::QByteArray && i + 2 == parts.size() && parts[i + 1] == u"Data") {
            const TToken data = Value();
            if (data.Kind != tkBinary)
                FormError(line, QStringLiteral("%1 needs picture data in { }").arg(path));
            // Kept byte for byte: the next save writes what was read.
            if (!data.Data.isEmpty() && !IsPicture(data.Data, "PNG"))
                FormError(line, QStringLiteral("%1 holds no PNG picture").arg(path));
            if (!property.write(target, QVariant::fromValue(data.Data)))
                FormError(line, QStringLiteral("%1 cannot be set").arg(path));
            return;
        }
        if (!last) {
            QObject* sub = IsObject(property) && !IsReference(property)
                               ? property.read(target).value<QObject*>()
                               : nullptr;
            if (!sub)
                FormError(line, QStringLiteral("%1 of %2 has no properties").arg(part, className));
            target = sub;
            continue;
        }
        if (IsReference(property)) {
            const TToken ref = Value();
            if (ref.Kind != tkIdent || ref.Text.contains(u'.'))
                FormError(line, QStringLiteral("%1 needs a component name").arg(path));
            const auto key = qMakePair(target, index);
            const auto it = FReferenceIndex.constFind(key);
            if (it != FReferenceIndex.cend() && FReferences[*it].Object == target)
                FReferences[*it] = {target, property, ref.Text, line};
            else {
                FReferenceIndex.insert(key, FReferences.size());
                FReferences.push_back({target, property, ref.Text, line});
            }
            return;
        }
        if (IsObject(property)) {
            auto* collection = qobject_cast<TCollection*>(property.read(target).value<QObject*>());
            if (!collection || !Value().Is(u'<'))
                FormError(line, QStringLiteral("%1 cannot be set as a whole").arg(path));
            ReadCollection(collection);
            return;
        }
        // Service sets Port, Domain sets Host: a value whose setter changes others must not undo what the
        // form gave them before it, so what this object was given so far is put back after it.
        std::vector<std::pair<QMetaProperty, QVariant>> keep;
        if (Frame && target == Object && InList(Object, property.name(), ChangesOthers))
            for (const int assigned : Frame->Assigned)
                if (assigned != index)
                    keep.emplace_back(meta->property(assigned), meta->property(assigned).read(Object));
        ReadScalar(target, property, path, line);
        for (const auto& [kept, value] : keep)
            if (kept.read(Object) != value)
                Write(Object, kept, value, QString::fromLatin1(kept.name()), line);
        if (Frame && target == Object &&
            std::find(Frame->Assigned.begin(), Frame->Assigned.end(), index) == Frame->Assigned.end())
            Frame->Assigned.push_back(index);
        return;
    }
}

void TFormReader::ReadCollection(TCollection* Collection) {
    Collection->Clear();
    FInItem = true;
    int count = 0;
    for (TToken n = FLexer.Next(); !n.Is(u'>'); n = FLexer.Next()) {
        if (!n.IsKeyword(u"item"))
            FormError(n.Line, QStringLiteral("item or > expected in a collection"));
        if (count++ >= FLimits.MaxItems)
            FormError(n.Line, QStringLiteral("more than %1 items in a collection").arg(FLimits.MaxItems));
        TCollectionItem* item = Collection->Add();
        int values = 0;
        for (TToken v = FLexer.Next(); !v.IsKeyword(u"end"); v = FLexer.Next()) {
            if (v.Kind != tkIdent)
                FormError(v.Line, QStringLiteral("a property name or end expected in a collection item"));
            if (values++ >= FLimits.MaxItems)
                FormError(v.Line, QStringLiteral("too many values in a collection item"));
            Assign(item, v, nullptr);
        }
    }
    FInItem = false;
}

void TFormReader::ReadScalar(QObject* Object, const QMetaProperty& Property, const QString& Path, int Line) {
    if (!Property.isWritable() || !Property.isStored())
        FormError(Line, QStringLiteral("%1 is not stored").arg(Path));
    const TToken t = Value();
    QVariant value;
    bool ok = false;
    if (Property.isEnumType()) {
        const QMetaEnum e = Property.enumerator();
        if (e.isFlag() && t.Is(u'[')) {
            // Members are taken as they come: a set is never held as a list of names.
            int bits = 0;
            int members = 0;
            for (TToken n = FLexer.Next(); !n.Is(u']');) {
                if (n.Kind != tkIdent)
                    FormError(n.Line, QStringLiteral("a name or ] expected in a set"));
                if (members++ >= FLimits.MaxItems)
                    FormError(n.Line, QStringLiteral("too many members in a set"));
                const int bit = e.keyToValue(n.Text.toLatin1().constData(), &ok);
                if (!ok)
                    FormError(n.Line, QStringLiteral("%1 is no member of %2").arg(n.Text, Path));
                bits |= bit;
                n = FLexer.Next();
                if (n.Is(u','))
                    n = FLexer.Next();
            }
            value = bits;
        } else if (!e.isFlag() && t.Kind == tkIdent) {
            value = e.keyToValue(t.Text.toLatin1().constData(), &ok);
            if (!ok)
                FormError(Line, QStringLiteral("%1 is no value of %2").arg(t.Text, Path));
        } else {
            FormError(Line, QStringLiteral("%1 needs %2")
                                .arg(Path, e.isFlag() ? QStringLiteral("a set in [ ]")
                                                      : QStringLiteral("a value's name")));
        }
    } else {
        switch (Property.metaType().id()) {
        case QMetaType::Bool:
            if (t.Kind == tkIdent && (t.Text == u"True" || t.Text == u"False")) {
                value = t.Text == u"True";
                ok = true;
            }
            break;
        case QMetaType::Int:
            if (t.Kind == tkNumber)
                value = t.Text.toInt(&ok);
            break;
        case QMetaType::UInt:
            if (t.Kind == tkNumber)
                value = t.Text.toUInt(&ok);
            break;
        case QMetaType::LongLong:
            if (t.Kind == tkNumber)
                value = t.Text.toLongLong(&ok);
            break;
        case QMetaType::ULongLong:
            if (t.Kind == tkNumber)
                value = t.Text.toULongLong(&ok);
            break;
        case QMetaType::Double:
            if (t.Kind == tkNumber) {
                // QString::toDouble reads the C locale whatever the program's.
                const double d = t.Text.toDouble(&ok);
                ok = ok && std::isfinite(d);
                value = d;
            }
            break;
        case QMetaType::QString:
            if (t.Kind == tkString) {
                value = t.Text;
                ok = true;
            }
            break;
        default:
            break;
        }
        if (!ok)
            FormError(Line, QStringLiteral("%1 cannot take this value").arg(Path));
    }
    Write(Object, Property, value, Path, Line);
}

void TFormReader::Write(QObject* Object, const QMetaProperty& Property, const QVariant& Value,
                        const QString& Path, int Line) {
    try {
        if (!Property.write(Object, Value))
            FormError(Line, QStringLiteral("%1 cannot be set").arg(Path));
    } catch (const EKvFormError&) {
        throw;
    } catch (const Exception& e) {
        FormError(Line, QStringLiteral("%1: %2").arg(Path, e.Message()));
    }
}

void TFormReader::ResolveReferences() {
    for (const TReference& r : FReferences) {
        if (!r.Object)
            continue;
        bool ambiguous = false;
        TComponent* found = FNames.Find(r.Name, ambiguous);
        if (ambiguous)
            FormError(
                r.Line,
                QStringLiteral("more than one component named %1 at the same depth of the form").arg(r.Name));
        if (!found)
            FormError(r.Line, QStringLiteral("no component named %1 in the form").arg(r.Name));
        if (!found->metaObject()->inherits(r.Property.metaType().metaObject()))
            FormError(r.Line, QStringLiteral("%1 is a %2, not a %3")
                                  .arg(r.Name, found->ClassName(),
                                       QString::fromLatin1(r.Property.metaType().metaObject()->className())
                                           .section(u':', -1)));
        QObject* pointer = found;
        Write(r.Object, r.Property, QVariant(r.Property.metaType(), &pointer),
              QString::fromLatin1(r.Property.name()), r.Line);
    }
}

// ---- file text ---------------------------------------------------------------------------------------

// The offset of the first byte of Data that does not belong to UTF-8 text (overlong forms, encoded
// surrogates and code points past U+10FFFF included), or -1.
qsizetype FirstNonUtf8(const QByteArray& Data) {
    const auto* p = reinterpret_cast<const unsigned char*>(Data.constData());
    const qsizetype n = Data.size();
    for (qsizetype i = 0; i < n;) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF)
            length = 2;
        else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0)
                low = 0xA0;
            else if (b == 0xED)
                high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0)
                low = 0x90;
            else if (b == 0xF4)
                high = 0x8F;
        } else {
            return i;
        }
        if (i + length > n || p[i + 1] < low || p[i + 1] > high)
            return i;
        for (int k = 2; k < length; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return i;
        i += length;
    }
    return -1;
}

// The line of byte Offset, line ends counted as the lexer counts them.
int LineAt(const QByteArray& Data, qsizetype Offset) {
    int line = 1;
    for (qsizetype i = 0; i < Offset; ++i)
        if (Data[i] == '\n' || (Data[i] == '\r' && (i + 1 >= Data.size() || Data[i + 1] != '\n')))
            ++line;
    return line;
}

} // namespace

QString StoredDefault(const QObject* Object, const char* Property) {
    for (const TDefaultRow& row : DefaultTable)
        if (qstrcmp(row.Property, Property) == 0 && Inherits(Object, row.Class))
            return QString::fromLatin1(row.Default);
    return QString();
}

TComponent* FindFormComponent(TComponent* Root, const QString& Name) {
    // Level by level from the root: the first level that has the name decides.
    std::vector<TComponent*> level{Root};
    while (!level.empty()) {
        TComponent* found = nullptr;
        std::vector<TComponent*> next;
        for (TComponent* c : level) {
            if (SameText(c->Name(), Name) && !Name.isEmpty()) {
                if (found)
                    return nullptr;
                found = c;
            }
            for (int i = 0; i < c->ComponentCount(); ++i)
                next.push_back(c->Components(i));
        }
        if (found)
            return found;
        level = std::move(next);
    }
    return nullptr;
}

QString WriteComponentForm(const TComponent* Root, const TKvFormLimits& Limits) {
    return TFormWriter(Limits).Write(Root);
}

void SaveComponentFormFile(const TComponent* Root, const QString& FileName, const TKvFormLimits& Limits) {
    // Written in full before the file is touched: a refused form leaves the file as it was.
    const QByteArray text = WriteComponentForm(Root, Limits).toUtf8();
    if (text.size() > Limits.MaxTextSize)
        throw EKvFormError(QStringLiteral("Cannot write the form: the form is larger than %1 bytes")
                               .arg(Limits.MaxTextSize));
    QSaveFile file(FileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) < 0 || !file.commit())
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
    QString text;
    {
        QFile file(FileName);
        if (!file.open(QIODevice::ReadOnly))
            throw EFOpenError(
                QStringLiteral("Cannot open file \"%1\". %2").arg(FileName, file.errorString()));
        // One byte more than allowed tells a form that is too large without reading all of it.
        QByteArray data = file.read(Limits.MaxTextSize + 1);
        if (data.size() > Limits.MaxTextSize)
            throw EKvFormError(
                QStringLiteral("Line 1: the form is larger than %1 bytes").arg(Limits.MaxTextSize));
        // A byte that is not UTF-8 would be replaced in silence by the decoder, and the value read back
        // would not be the value stored.
        if (const qsizetype bad = FirstNonUtf8(data); bad >= 0)
            throw EKvFormError(QStringLiteral("Line %1: byte %2 of the file is not UTF-8 text")
                                   .arg(LineAt(data, bad))
                                   .arg(bad + 1));
        const qsizetype bom = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
        text = QString::fromUtf8(data.constData() + bom, data.size() - bom);
    } // the bytes go before the reading starts
    return ReadComponentForm(text, Mode, Limits);
}

} // namespace KvInet
