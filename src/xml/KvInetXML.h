// KvInetXML: the library's own small XML reader. TKvXMLEngine turns XML text (a string, a stream or a file)
// into a tree of TKvXMLItem nodes in one forward pass, lets the application veto or stop the building of the
// tree through two events, and offers lookups by tag name. The reader is lenient and positional: it does not
// validate, does not match end-tag names against start tags and raises nothing on malformed text. Values
// are kept as they stand in the text; entity references are decoded only when a value is asked for.
//
// Items are plain C++ objects, not components: an item owns its children, the engine owns the root. Items
// built by a parse refer into the one decoded text of that parse instead of holding copies of their names
// and values, so a large document costs little more than its own text.
#pragma once

#include "platform/Classes.h"

#include <QString>
#include <QStringView>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <new>

namespace KvInet {

/// The enumerations of the XML reader (a gadget so that values of these types stream by name).
struct TKvXMLTypes {
    Q_GADGET
public:
    /// What an item stands for. One byte, so that it packs with the item's flags.
    enum TKvXMLItemKind : uint8_t {
        ikProperty,  ///< an element (the default)
        ikAttribute, ///< an attribute split off by ProcessAttributes
        ikComment,   ///< a comment; its TagName is "Comment"
        ikCDATA      ///< declared for applications; the engine never assigns it
    };
    Q_ENUM(TKvXMLItemKind)
};
using TKvXMLItemKind = TKvXMLTypes::TKvXMLItemKind;
using enum TKvXMLTypes::TKvXMLItemKind;

class TKvXMLItem;
struct TKvXMLText;

/// The children of one item, in document order (attribute items and elements mixed, in the order they were
/// added). A light view on its owner's child list, obtained with TKvXMLItem::Items(); the owner owns the
/// children, so Clear and destroying the owner destroy them.
class TKvXMLItems {
public:
    int Count() const;
    /// Child Index (from 0); raises EListError when Index is out of range.
    TKvXMLItem* Items(int Index) const;
    TKvXMLItem* operator[](int Index) const { return Items(Index); }
    TKvXMLItem* First() const { return Items(0); }
    TKvXMLItem* Last() const { return Items(Count() - 1); }
    /// The position of Item among the children, or -1.
    int IndexOf(const TKvXMLItem* Item) const;
    /// Creates an item, appends it to this list and returns it. The new item is a child of the list's owner
    /// (its ParentItem, Level = owner's Level + 1); ParentItem is that owner as callers pass it (null means
    /// the same).
    TKvXMLItem* AddItem(TKvXMLItem* ParentItem = nullptr);
    /// Destroys every child, from the last to the first, and empties the list.
    void Clear();
    /// The item whose children these are.
    TKvXMLItem* Owner() const { return FOwner; }

    TKvXMLItem* const* begin() const;
    TKvXMLItem* const* end() const { return begin() + Count(); }

private:
    friend class TKvXMLItem;
    explicit TKvXMLItems(TKvXMLItem* Owner) : FOwner(Owner) {}
    TKvXMLItem* FOwner;
};

/// One node of the tree: an element, an attribute item or a comment.
class TKvXMLItem {
public:
    /// Creates an item of kind ikProperty with no value. With an owner the item becomes one of the owner's
    /// children (appended to its Items, Level = owner's Level + 1); without one it stands alone at Level 0.
    explicit TKvXMLItem(TKvXMLItem* AOwner = nullptr);
    /// Destroys the children first (from the last to the first), then removes the item from its parent's
    /// Items. Works without recursion, so any depth of nesting is fine.
    ~TKvXMLItem();
    TKvXMLItem(const TKvXMLItem&) = delete;
    TKvXMLItem& operator=(const TKvXMLItem&) = delete;
    /// Items are freed with delete whether the application or a parse created them.
    static void operator delete(TKvXMLItem* Item, std::destroying_delete_t);

    TKvXMLItemKind Kind() const { return FKind; }
    void SetKind(TKvXMLItemKind Value) { FKind = Value; }
    /// The element's name as written (prefixes such as "dc:" included), "Comment" for a comment, the
    /// attribute name for an attribute item.
    QString TagName() const;
    void SetTagName(const QString& Value);
    /// Compares TagName with Name, exactly or ignoring the case of ASCII letters, without copying it.
    bool TagNameIs(QStringView Name, bool CaseSensitive) const;
    /// The raw value: an invalid QVariant until text is stored, else a string (the element's text exactly as
    /// read, white space and entity references included, or the attribute value with its quotes).
    QVariant Value() const;
    /// Stores Value's text; an invalid (or null) variant makes the value unassigned again.
    void SetValue(const QVariant& Value);
    /// True once text has been stored in Value.
    bool ValueAssigned() const { return (FFlags & fValueAssigned) != 0; }
    /// The raw attribute text of the start tag (everything between the name and the closing ">", leading
    /// blanks included) until ProcessAttributes consumes it.
    QString Attributes() const;
    void SetAttributes(const QString& Value);
    /// Depth in the tree: 0 for a root, parent's Level + 1 for every other item.
    int Level() const { return FLevel; }
    void SetLevel(int Value) { FLevel = Value; }
    /// The parent, or null for a root.
    TKvXMLItem* ParentItem() const { return FParentItem; }
    /// The children.
    TKvXMLItems Items() const { return TKvXMLItems(const_cast<TKvXMLItem*>(this)); }

    /// Depth-first, pre-order search for an item named exactly XMLTag (case-sensitive), starting with this
    /// item itself. With ExpandAllLevels every level below is searched; without it only this item and its
    /// direct children. Null when none matches.
    TKvXMLItem* GetChild(const QString& XMLTag, bool ExpandAllLevels);
    /// The value as text ("" when unassigned). For an attribute item whose value starts with a quote
    /// (double or single), trailing blanks, CR, LF, tabs and that quote are removed, then the opening
    /// quote: '"5" ' gives 5. Other items' text is returned unchanged.
    QString GetTagXMLValue() const;
    /// GetTagXMLValue with the entity references decoded (&amp; &lt; &gt; &quot; &apos; and a fixed set of
    /// others, each with or without its ";"; numeric references other than the listed ones stay as written).
    QString GetTagValue() const;
    /// Splits Attributes into attribute items (kind ikAttribute) appended to Items, then empties
    /// Attributes: 'a="1" b=x' gives a = '"1" ' and b = 'x'. A blank outside quotes ends an attribute;
    /// attributes without a name or a value give no item. Nothing happens when Attributes is empty.
    void ProcessAttributes();

private:
    friend class TKvXMLItems;
    friend class TKvXMLEngine;
    template <class Char>
    friend class TKvXMLParser;
    struct TChildren;
    struct TSpan {
        uint32_t Offset;
        uint32_t Length;
    };
    /// A field: a span of the parse's text, or a string of its own when the field's owned flag is set.
    union TSlot {
        TSpan Span;
        QString* Owned;
    };
    enum TField : uint8_t { fdTagName, fdValue, fdAttributes };
    enum TFlag : uint8_t {
        fOwnedTagName = 1,
        fOwnedValue = 2,
        fOwnedAttributes = 4,
        fValueAssigned = 8,
        fCommentName = 16,
        fInArena = 32,
        fChildrenInArena = 64 // the child list was cut from the arena at its final size
    };

    TKvXMLItem(TKvXMLItem* AOwner, TKvXMLText* Text);
    QString Field(TField F) const;
    void SetOwned(TField F, QString Value);
    void SetSpan(TField F, TKvXMLText* Text, TSpan Span);
    void ClearField(TField F);
    void AppendValue(const QString& Value);
    void AttachChild(TKvXMLItem* Child);
    void AppendChildren(TKvXMLItem* const* Children, uint32_t Count, TKvXMLText* Arena);
    void ReserveChildren(uint32_t Count);
    void DetachChild(TKvXMLItem* Child);
    void DestroyChildren();

    TKvXMLText* FText = nullptr; // the parsed text this item's spans refer to (counted reference)
    TKvXMLItem* FParentItem = nullptr;
    TChildren* FChildren = nullptr;
    TSlot FSlots[3] = {};
    int32_t FLevel = 0;
    TKvXMLItemKind FKind = ikProperty;
    uint8_t FFlags = 0;
};

/// Fired before an item is created for a start tag or a comment (not for the tag that becomes RootItem).
/// ParentNode will be the new item's parent; ATagValue is the text after the start tag (after encoding
/// conversion, before entity decoding); ATagAttributes the raw attribute text. Accept arrives true; false
/// skips the element with everything inside it.
using TKvIXMLOnTagEvent =
    std::function<void(QObject* Sender, TKvXMLItem* ParentNode, const QString& ATagName,
                       const QString& ATagValue, const QString& ATagAttributes, bool& Accept)>;
/// Fired when an element is closed. Cancel arrives false; true ends the parse at once, keeping what was
/// built.
using TKvIXMLOnAfterTagEvent = std::function<void(QObject* Sender, TKvXMLItem*& Node, bool& Cancel)>;

/// The reader. The tree hangs under RootItem, which is the first element of the document (or its XML
/// declaration, whose attributes and the document element then become its children). Each parse adds to
/// the tree; LoadFromStream and LoadFromFile first destroy the root's children. Handlers of OnTag and
/// OnAfterTag must not destroy items of the tree; starting another parse on the same engine from a handler
/// raises Exception.
class TKvXMLEngine : public TComponent {
    Q_OBJECT
public:
    explicit TKvXMLEngine(TComponent* AOwner = nullptr);
    ~TKvXMLEngine() override;

    TKvXMLItem* RootItem() const { return FRootItem.get(); }

    const TKvIXMLOnTagEvent& OnTag() const { return FOnTag; }
    void SetOnTag(TKvIXMLOnTagEvent Handler) { FOnTag = std::move(Handler); }
    const TKvIXMLOnAfterTagEvent& OnAfterTag() const { return FOnAfterTag; }
    void SetOnAfterTag(TKvIXMLOnAfterTagEvent Handler) { FOnAfterTag = std::move(Handler); }

    /// True when LoadFromStream already decoded the text from a Unicode form (a byte-order mark); a parse
    /// then leaves names and values as they are whatever encoding the document declares.
    bool UTF8Processed() const { return FUTF8Processed; }
    void SetUTF8Processed(bool Value) { FUTF8Processed = Value; }
    /// True when the values of the last parse are final text: decoded from a Unicode form (UTF8Processed)
    /// or by the encoding the XML declaration names ("utf-8", "windows-NNNN", any other the platform knows),
    /// or declared ISO-8859-1, whose bytes are their characters. False when nothing (or nothing usable,
    /// such as US-ASCII) was declared: the values are the bytes read, one character each, still to be
    /// decoded.
    bool TextDecoded() const { return FTextDecoded; }
    /// An item's value as text for an application: decoded from UTF-8, the default of XML, when the parse
    /// left the text undecoded (leniently, as declared UTF-8 is: each broken sequence becomes one U+FFFD),
    /// then its entity references decoded (GetTagValue's table). In this order a character written as a
    /// reference is never read again as a UTF-8 byte.
    QString GetTagText(const TKvXMLItem* Item) const;

    /// Parses the first Len characters of S into the tree (all of S when Len is larger; texts beyond
    /// 4 Gi characters are read up to that length). A NUL character ends the text. Unless UTF8Processed,
    /// values and attribute text are decoded by the encoding an XML declaration names: "utf-8" leniently
    /// (each maximal ill-formed subpart of a sequence becomes one U+FFFD), "windows-NNNN" from that code
    /// page, other encodings the platform knows with their decoders; names are never converted. Frees
    /// nothing; raises nothing on malformed text.
    /// OnTag and OnAfterTag fire during the parse.
    void ParseXMLFromString(const QString& S, int Len);
    void ParseXMLFromString(const QString& S);
    /// Destroys the root's children and empties the root (name, value, attributes, kind), then
    /// reads the bytes from the stream's position up to its end (AStreamSize = 0) or up to AStreamSize,
    /// decodes them and parses them. A byte-order mark selects UTF-16 (either order) or UTF-8 and sets
    /// UTF8Processed; without one the bytes are read in the system's ANSI code page. A final ESC character
    /// is dropped. Stream errors reach the caller.
    void LoadFromStream(int64_t AStreamSize, TStream* AStream);
    /// LoadFromStream(0, ...) on the file; raises EFOpenError when it cannot be opened.
    void LoadFromFile(const QString& AFileName);

    /// The first item named XMLTag ignoring case, depth-first, pre-order, starting with ARoot itself
    /// (RootItem when ARoot is null), through all levels; null when none.
    TKvXMLItem* GetItemByTag(TKvXMLItem* ARoot, const QString& XMLTag) const;
    /// For a path of names separated by "/": returns the text before the first "/" and removes it and the
    /// "/" from AXMLPath; without a "/" returns the whole path and empties it.
    QString GetFirstTagName(QString& AXMLPath) const;
    /// Returns the text after the last "/" and removes it and that "/" from AXMLPath ("a/b/c" gives "c"
    /// and leaves "a/b"); without a "/" returns the whole path and empties it.
    QString GetLastTagName(QString& AXMLPath) const;

private:
    template <class Char>
    friend class TKvXMLParser;
    void Parse(TKvXMLText* Text);
    void CheckNotParsing() const;

    std::unique_ptr<TKvXMLItem> FRootItem;
    TKvIXMLOnTagEvent FOnTag;
    TKvIXMLOnAfterTagEvent FOnAfterTag;
    bool FUTF8Processed = false;
    bool FTextDecoded = false;
    bool FParsing = false;
};

/// True when S1 and S2 are equal: character for character when CaseSensitive, else ignoring the case of
/// the ASCII letters only.
bool SameStrings(bool CaseSensitive, const QString& S1, const QString& S2);

/// Reads an XML date-time such as 2014-05-06T07:08:09 at fixed positions (year 1-4, month 6-7, day 9-10,
/// hour 12-13, minute 15-16, second 18-19; separators and anything after the seconds, a time zone or a
/// fraction, are not looked at). 0 for an empty text or when a number or the date or time is invalid.
TDateTime XMLStringToDateTime(const QString& S);

} // namespace KvInet
