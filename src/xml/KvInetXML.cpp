// KvInetXML: the reader, its tree and its lookups.
//
// Storage: a parse keeps the decoded text in one TKvXMLText block (bytes when the text is ANSI, UTF-16
// otherwise) and cuts its items and their child lists from an arena owned by that block. An item refers to
// its name, value and attribute text by offset and length into the block; only text that had to be changed
// (decoded from UTF-8 or a code page, appended to, or set by the application) is held as a string of its own.
// Every arena item holds a reference on its block, so the block and the arena go away with the last item of
// that parse.
#include "xml/KvInetXML.h"

#include "platform/SysUtils.h"
#include "platform/System.h"
#include "platform/WireText.h"

#include <QStringDecoder>
#include <QtEndian>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace KvInet {

namespace {

// Large documents: their text and their items are blocks of many megabytes, and the page faults of their
// first writing are a good part of the time a large document takes to load. Such a block is backed by
// large pages where the system allows it, and its pages are made present in one go just before they are
// written (platform/System).

/// Readies a block about to be written whole (the text read from a stream): from a few megabytes on, large
/// pages behind it and its pages present.
void PrepareLargeBlock(void* Data, size_t Size) {
    if (Size < 2 * LargePageSize)
        return;
    AdviseLargePages(Data, Size);
    PrepareForWriting(Data, Size);
}

/// A block of at least Size bytes for the arena. From a large page's size on it is mapped straight from
/// the system where that can be done (MapLargeBlock; Size grows to what was mapped), so that it has large
/// pages throughout and goes back to the system as soon as it is freed instead of staying with the heap;
/// Mapped tells FreeBlock which it was. Raises std::bad_alloc.
void* AllocateBlock(size_t& Size, bool& Mapped) {
    Mapped = false;
    if (Size >= LargePageSize)
        if (void* block = MapLargeBlock(Size)) {
            Mapped = true;
            return block;
        }
    return ::operator new(Size);
}

void FreeBlock(void* Block, size_t Size, bool Mapped) {
    if (Mapped)
        UnmapLargeBlock(Block, Size);
    else
        ::operator delete(Block);
}

} // namespace

// ---- the parsed text and its arena -----------------------------------------------------------------------

struct TKvXMLText {
    TKvXMLText() = default;
    TKvXMLText(const TKvXMLText&) = delete;
    TKvXMLText& operator=(const TKvXMLText&) = delete;
    ~TKvXMLText() {
        while (Chunks) {
            Chunk* next = Chunks->Next;
            FreeBlock(Chunks, Chunks->Size, Chunks->Mapped);
            Chunks = next;
        }
    }

    static void Retain(TKvXMLText* Text) {
        if (Text)
            ++Text->Refs;
    }
    static void Release(TKvXMLText* Text) {
        if (Text && --Text->Refs == 0)
            delete Text;
    }

    /// Room for Bytes (rounded up to 8) from the arena: items and the child lists of a parse. Nothing is
    /// given back one by one; the arena goes with the block.
    void* Allocate(size_t Bytes) {
        Bytes = (Bytes + 7) & ~size_t(7);
        if (size_t(Limit - Free) < Bytes)
            return Grow(Bytes);
        void* room = Free;
        Free += Bytes;
        return room;
    }

    QString Text(uint32_t Offset, uint32_t Length) const {
        if (Wide)
            return QString(Utf16.constData() + Offset, Length);
        return QString::fromLatin1(Latin1.constData() + Offset, Length);
    }

    int64_t Refs = 0;
    bool Wide = false;
    QByteArray Latin1; // the text when it was read in the ANSI code page (one character per byte)
    QString Utf16;     // the text otherwise

private:
    struct alignas(std::max_align_t) Chunk {
        Chunk* Next;
        size_t Size; // of the whole block, this header included
        bool Mapped; // see AllocateBlock
    };
    static_assert(sizeof(Chunk) % 8 == 0);

    /// Allocate's slow step. The room of a chunk mapped from the system (see AllocateBlock) is made present
    /// a large page at a time, as the arena reaches it, so that no more than a large page of it is present
    /// before use. A new chunk is twice the last (header included) up to 16 MiB, or as large as the
    /// request (a long child list); what the last chunk had left is not used: untouched, its pages cost no
    /// memory.
    Q_NEVER_INLINE void* Grow(size_t Bytes) {
        if (size_t(End - Free) < Bytes)
            NewChunk(Bytes);
        if (size_t(Limit - Free) < Bytes) {
            char* ready = Limit;
            while (size_t(ready - Free) < Bytes)
                ready += std::min(size_t(End - ready), ReadyStep);
            PrepareForWriting(Limit, size_t(ready - Limit));
            Limit = ready;
        }
        void* room = Free;
        Free += Bytes;
        return room;
    }

    void NewChunk(size_t Bytes) {
        size_t size = std::max(NextChunkBytes, sizeof(Chunk) + Bytes);
        bool mapped = false;
        auto* chunk = static_cast<Chunk*>(AllocateBlock(size, mapped));
        chunk->Next = Chunks;
        chunk->Size = size;
        chunk->Mapped = mapped;
        Chunks = chunk;
        Free = reinterpret_cast<char*>(chunk + 1);
        End = reinterpret_cast<char*>(chunk) + size;
        Limit = mapped ? Free : End;
        NextChunkBytes = std::min<size_t>(NextChunkBytes * 2, size_t(16) << 20);
    }

    static constexpr size_t ReadyStep = size_t(2) << 20;
    Chunk* Chunks = nullptr;
    char* Free = nullptr;  // the arena's next free byte, in the newest chunk
    char* Limit = nullptr; // the end of the room ready for use
    char* End = nullptr;   // the end of the newest chunk
    size_t NextChunkBytes = 2048;
};

namespace {

/// Holds a reference on a block for as long as a parse runs.
class TTextRef {
public:
    explicit TTextRef(TKvXMLText* Text) : FText(Text) { TKvXMLText::Retain(FText); }
    ~TTextRef() { TKvXMLText::Release(FText); }
    TTextRef(const TTextRef&) = delete;
    TTextRef& operator=(const TTextRef&) = delete;

private:
    TKvXMLText* FText;
};

bool IsBlank(char16_t C) {
    return C == 9 || C == 10 || C == 13 || C == 32;
}

char16_t FoldAscii(char16_t C) {
    return (C >= u'A' && C <= u'Z') ? char16_t(C + 32) : C;
}

template <class A, class B>
bool SameUnits(const A* S1, const B* S2, qsizetype Length, bool CaseSensitive) {
    for (qsizetype i = 0; i < Length; ++i) {
        const char16_t a = char16_t(S1[i]);
        const char16_t b = char16_t(S2[i]);
        if (a != b && (CaseSensitive || FoldAscii(a) != FoldAscii(b)))
            return false;
    }
    return true;
}

/// Depth-first, pre-order search from Start (itself first) without recursion. MaxDepth bounds how far below
/// Start the search goes (-1: no bound).
template <class Match>
TKvXMLItem* FindPreOrder(TKvXMLItem* Start, int MaxDepth, Match IsMatch) {
    if (!Start)
        return nullptr;
    if (IsMatch(Start))
        return Start;
    if (MaxDepth == 0)
        return nullptr;
    std::vector<std::pair<TKvXMLItem*, int>> stack;
    stack.emplace_back(Start, 0);
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        const TKvXMLItems items = node->Items();
        if (next >= items.Count()) {
            stack.pop_back();
            continue;
        }
        TKvXMLItem* child = items.begin()[next++];
        if (IsMatch(child))
            return child;
        if (child->Items().Count() > 0 && (MaxDepth < 0 || int(stack.size()) < MaxDepth))
            stack.emplace_back(child, 0);
    }
    return nullptr;
}

// ---- entity decoding -------------------------------------------------------------------------------------

enum TRefKind { rkNamed, rkDecimal, rkHex };

struct TEntity {
    const char16_t* Name;
    char16_t Replacement; // 0: removed
    TRefKind Kind;
};

// Applied in this order, so that "&amp;lt;" ends up as "<".
const TEntity Entities[] = {
    {u"&brvbar", u'|', rkNamed}, {u"&deg", 0x00B0, rkNamed},  {u"&#176", 0x00B0, rkDecimal},
    {u"&plusmn", u'+', rkNamed}, {u"&para", 0x00B6, rkNamed}, {u"&amp", u'&', rkNamed},
    {u"&lt", u'<', rkNamed},     {u"&gt", u'>', rkNamed},     {u"&copy", u'c', rkNamed},
    {u"&quot", u'"', rkNamed},   {u"&apos", u'\'', rkNamed},  {u"&trade", u'T', rkNamed},
    {u"&nbsp", 0, rkNamed},      {u"&car", 10, rkNamed},      {u"&ret", 13, rkNamed},
    {u"&#009", 9, rkDecimal},    {u"&#x9", 9, rkHex},         {u"&#010", 10, rkDecimal},
    {u"&#xa", 10, rkHex},        {u"&#013", 13, rkDecimal},   {u"&#xd", 13, rkHex},
    {u"&#034", u'"', rkDecimal}, {u"&#34", u'"', rkDecimal},  {u"&#039", u'\'', rkDecimal},
    {u"&#39", u'\'', rkDecimal},
};

bool IsDecimalDigit(char16_t C) {
    return C >= u'0' && C <= u'9';
}
bool IsHexDigit(char16_t C) {
    return IsDecimalDigit(C) || (C >= u'a' && C <= u'f') || (C >= u'A' && C <= u'F');
}

/// Replaces every occurrence of one entity, always the leftmost first, so that a replacement that forms
/// the entity again with the text around it ("&amp;amp;") is replaced as well. A ";" right after the
/// entity goes with it. A numeric reference followed by another digit is the start of a longer number
/// ("&#34" in "&#345;") and is left alone.
void ReplaceEntity(QString& S, const TEntity& E) {
    const QStringView name(E.Name);
    const qsizetype first = S.indexOf(name);
    if (first < 0)
        return;
    const qsizetype n = name.size();
    const char16_t last = name.back().unicode();
    QString out;
    out.reserve(S.size());
    out.append(S.constData(), first);
    const QChar* in = S.constData();
    const qsizetype size = S.size();
    for (qsizetype i = first; i < size;) {
        out.append(in[i++]);
        // The out text never holds a whole entity before its last character was added, and a
        // replacement never ends in the entity's last character, so one check per added character suffices.
        if (out.back().unicode() != last || out.size() < n || QStringView(out).right(n) != name)
            continue;
        const char16_t next = i < size ? in[i].unicode() : 0;
        if ((E.Kind == rkDecimal && IsDecimalDigit(next)) || (E.Kind == rkHex && IsHexDigit(next)))
            continue;
        out.chop(n);
        if (E.Replacement)
            out.append(QChar(E.Replacement));
        if (next == u';')
            ++i;
    }
    S = std::move(out);
}

void DecodeEntities(QString& S) {
    if (!S.contains(u'&'))
        return;
    for (const TEntity& e : Entities)
        ReplaceEntity(S, e);
}

} // namespace

// ---- TKvXMLItem ------------------------------------------------------------------------------------------

// An item is a few pointers and three spans: on a large document the items are most of the memory beyond
// the text itself.
static_assert(sizeof(void*) != 8 || sizeof(TKvXMLItem) == 56);

/// The child array: a count, a capacity and the pointers, in one allocation made when the first child
/// comes.
struct TKvXMLItem::TChildren {
    uint32_t Count;
    uint32_t Capacity;
    TKvXMLItem** Items() { return reinterpret_cast<TKvXMLItem**>(this + 1); }
};

// Inline: the parser makes one for every element.
inline TKvXMLItem::TKvXMLItem(TKvXMLItem* AOwner, TKvXMLText* Text) : FText(Text) {
    if (Text) {
        TKvXMLText::Retain(Text);
        FFlags |= fInArena;
    }
    if (AOwner) {
        FLevel = AOwner->FLevel + 1;
        AOwner->AttachChild(this);
        FParentItem = AOwner;
    }
}

TKvXMLItem::TKvXMLItem(TKvXMLItem* AOwner) : TKvXMLItem(AOwner, nullptr) {}

TKvXMLItem::~TKvXMLItem() {
    DestroyChildren();
    if (FParentItem)
        FParentItem->DetachChild(this);
    for (const TField f : {fdTagName, fdValue, fdAttributes})
        if (FFlags & (fOwnedTagName << f))
            delete FSlots[f].Owned;
}

void TKvXMLItem::operator delete(TKvXMLItem* Item, std::destroying_delete_t) {
    TKvXMLText* text = Item->FText;
    const bool inArena = (Item->FFlags & fInArena) != 0;
    Item->~TKvXMLItem();
    // An arena item's memory belongs to its block: releasing the block's last reference frees it.
    if (inArena)
        TKvXMLText::Release(text);
    else
        ::operator delete(Item);
}

void TKvXMLItem::ReserveChildren(uint32_t Count) {
    const uint32_t capacity = FChildren ? FChildren->Capacity : 0;
    if (Count <= capacity)
        return;
    const uint32_t grown = std::max({Count, capacity * 2, uint32_t(4)});
    const size_t bytes = sizeof(TChildren) + size_t(grown) * sizeof(TKvXMLItem*);
    // A list cut from the arena cannot grow in place: it moves to the heap and its room stays with the
    // arena.
    const bool inArena = (FFlags & fChildrenInArena) != 0;
    void* room = inArena ? std::malloc(bytes) : std::realloc(FChildren, bytes);
    if (!room)
        throw std::bad_alloc();
    if (inArena)
        std::memcpy(room, FChildren, sizeof(TChildren) + FChildren->Count * sizeof(TKvXMLItem*));
    else if (!FChildren)
        static_cast<TChildren*>(room)->Count = 0;
    FChildren = static_cast<TChildren*>(room);
    FChildren->Capacity = grown;
    FFlags &= uint8_t(~fChildrenInArena);
}

void TKvXMLItem::AttachChild(TKvXMLItem* Child) {
    ReserveChildren((FChildren ? FChildren->Count : 0) + 1);
    FChildren->Items()[FChildren->Count++] = Child;
}

void TKvXMLItem::AppendChildren(TKvXMLItem* const* Children, uint32_t Count, TKvXMLText* Arena) {
    if (Count == 0)
        return;
    if (!FChildren && Arena && FText == Arena && (FFlags & fInArena)) {
        // An item of this arena with no list yet: the list is cut at its final size, next to the items.
        FChildren = static_cast<TChildren*>(Arena->Allocate(sizeof(TChildren) + Count * sizeof(TKvXMLItem*)));
        FChildren->Count = 0;
        FChildren->Capacity = Count;
        FFlags |= fChildrenInArena;
    } else {
        ReserveChildren((FChildren ? FChildren->Count : 0) + Count);
    }
    std::memcpy(FChildren->Items() + FChildren->Count, Children, Count * sizeof(TKvXMLItem*));
    FChildren->Count += Count;
}

void TKvXMLItem::DetachChild(TKvXMLItem* Child) {
    if (!FChildren)
        return;
    TKvXMLItem** items = FChildren->Items();
    for (uint32_t i = FChildren->Count; i-- > 0;) {
        if (items[i] == Child) {
            std::memmove(items + i, items + i + 1, (FChildren->Count - i - 1) * sizeof(TKvXMLItem*));
            --FChildren->Count;
            return;
        }
    }
}

void TKvXMLItem::DestroyChildren() {
    if (!FChildren)
        return;
    // Post-order without recursion: an item's children are moved onto the work list above it and
    // destroyed (last first) before it; a deeply nested tree costs list entries, not stack frames.
    std::vector<TKvXMLItem*> work;
    const auto takeChildren = [&work](TKvXMLItem* Item) {
        TChildren* children = Item->FChildren;
        Item->FChildren = nullptr;
        work.insert(work.end(), children->Items(), children->Items() + children->Count);
        if (!(Item->FFlags & fChildrenInArena))
            std::free(children);
        Item->FFlags &= uint8_t(~fChildrenInArena);
    };
    takeChildren(this);
    while (!work.empty()) {
        TKvXMLItem* item = work.back();
        if (item->FChildren) {
            takeChildren(item);
            continue;
        }
        work.pop_back();
        item->FParentItem = nullptr; // already taken out of its parent's list
        delete item;
    }
}

QString TKvXMLItem::Field(TField F) const {
    if (F == fdTagName && (FFlags & fCommentName))
        return QStringLiteral("Comment");
    if (FFlags & (fOwnedTagName << F))
        return *FSlots[F].Owned;
    const TSpan& span = FSlots[F].Span;
    if (!FText || span.Length == 0)
        return QString();
    return FText->Text(span.Offset, span.Length);
}

void TKvXMLItem::SetOwned(TField F, QString Value) {
    if (FFlags & (fOwnedTagName << F)) {
        *FSlots[F].Owned = std::move(Value);
    } else {
        FSlots[F].Owned = new QString(std::move(Value));
        FFlags |= uint8_t(fOwnedTagName << F);
    }
    if (F == fdTagName)
        FFlags &= uint8_t(~fCommentName);
}

void TKvXMLItem::SetSpan(TField F, TKvXMLText* Text, TSpan Span) {
    if (Text != FText) {
        SetOwned(F, Text->Text(Span.Offset, Span.Length));
        return;
    }
    ClearField(F);
    FSlots[F].Span = Span;
}

void TKvXMLItem::ClearField(TField F) {
    if (FFlags & (fOwnedTagName << F)) {
        delete FSlots[F].Owned;
        FFlags &= uint8_t(~(fOwnedTagName << F));
    }
    FSlots[F].Span = TSpan();
    if (F == fdTagName)
        FFlags &= uint8_t(~fCommentName);
}

void TKvXMLItem::AppendValue(const QString& Value) {
    if (!ValueAssigned()) {
        SetOwned(fdValue, Value);
    } else if (FFlags & fOwnedValue) {
        *FSlots[fdValue].Owned += Value; // amortised: a root reused by many top-level elements grows in place
    } else {
        SetOwned(fdValue, Field(fdValue) + Value);
    }
    FFlags |= fValueAssigned;
}

QString TKvXMLItem::TagName() const {
    return Field(fdTagName);
}

void TKvXMLItem::SetTagName(const QString& Value) {
    SetOwned(fdTagName, Value);
}

bool TKvXMLItem::TagNameIs(QStringView Name, bool CaseSensitive) const {
    if (FFlags & fCommentName)
        return Name.size() == 7 && SameUnits(Name.utf16(), u"Comment", 7, CaseSensitive);
    if (FFlags & fOwnedTagName) {
        const QString& own = *FSlots[fdTagName].Owned;
        return own.size() == Name.size() && SameUnits(own.utf16(), Name.utf16(), Name.size(), CaseSensitive);
    }
    const TSpan& span = FSlots[fdTagName].Span;
    if (qsizetype(span.Length) != Name.size())
        return false;
    if (span.Length == 0)
        return true;
    if (FText->Wide)
        return SameUnits(FText->Utf16.utf16() + span.Offset, Name.utf16(), Name.size(), CaseSensitive);
    return SameUnits(reinterpret_cast<const unsigned char*>(FText->Latin1.constData()) + span.Offset,
                     Name.utf16(), Name.size(), CaseSensitive);
}

QVariant TKvXMLItem::Value() const {
    return ValueAssigned() ? QVariant(Field(fdValue)) : QVariant();
}

void TKvXMLItem::SetValue(const QVariant& Value) {
    if (!Value.isValid() || Value.isNull()) {
        ClearField(fdValue);
        FFlags &= uint8_t(~fValueAssigned);
        return;
    }
    SetOwned(fdValue, Value.toString());
    FFlags |= fValueAssigned;
}

QString TKvXMLItem::Attributes() const {
    return Field(fdAttributes);
}

void TKvXMLItem::SetAttributes(const QString& Value) {
    SetOwned(fdAttributes, Value);
}

TKvXMLItem* TKvXMLItem::GetChild(const QString& XMLTag, bool ExpandAllLevels) {
    return FindPreOrder(this, ExpandAllLevels ? -1 : 1,
                        [&XMLTag](const TKvXMLItem* Item) { return Item->TagNameIs(XMLTag, true); });
}

QString TKvXMLItem::GetTagXMLValue() const {
    QString s = ValueAssigned() ? Field(fdValue) : QString();
    // Quotes belong to attribute values only: an element's text that happens to start with a quote is text.
    if (FKind != ikAttribute || s.isEmpty())
        return s;
    const QChar quote = s.front();
    if (quote != u'"' && quote != u'\'')
        return s;
    while (!s.isEmpty() && (IsBlank(s.back().unicode()) || s.back() == quote))
        s.chop(1);
    if (!s.isEmpty())
        s.remove(0, 1);
    return s;
}

QString TKvXMLItem::GetTagValue() const {
    QString s = GetTagXMLValue();
    DecodeEntities(s);
    return s;
}

void TKvXMLItem::ProcessAttributes() {
    const QString text = Attributes();
    if (text.isEmpty())
        return;
    QString name;
    QString value;
    bool inValue = false;
    QChar quote; // the quote that opened the quoted part being read, or none
    const qsizetype last = text.size() - 1;
    for (qsizetype i = 0; i <= last; ++i) {
        const QChar c = text[i];
        if (c == u'"' || c == u'\'') {
            if (quote.isNull())
                quote = c;
            else if (quote == c)
                quote = QChar();
        }
        if (c == u'=' && quote.isNull())
            inValue = true;
        else
            (inValue ? value : name).append(c);
        if (quote.isNull() && (IsBlank(c.unicode()) || i == last)) {
            if (!name.isEmpty() && !value.isEmpty()) {
                TKvXMLItem* item = Items().AddItem(this);
                item->FKind = ikAttribute;
                item->SetTagName(name);
                item->SetValue(value);
            }
            name.clear();
            value.clear();
            inValue = false;
        }
    }
    ClearField(fdAttributes);
}

// ---- TKvXMLItems -----------------------------------------------------------------------------------------

int TKvXMLItems::Count() const {
    return FOwner->FChildren ? int(FOwner->FChildren->Count) : 0;
}

TKvXMLItem* TKvXMLItems::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(Index));
    return FOwner->FChildren->Items()[Index];
}

int TKvXMLItems::IndexOf(const TKvXMLItem* Item) const {
    const int n = Count();
    for (int i = 0; i < n; ++i)
        if (FOwner->FChildren->Items()[i] == Item)
            return i;
    return -1;
}

TKvXMLItem* TKvXMLItems::AddItem(TKvXMLItem* ParentItem) {
    (void)ParentItem; // always the list's owner: an item belongs to the list of its parent
    return new TKvXMLItem(FOwner);
}

void TKvXMLItems::Clear() {
    FOwner->DestroyChildren();
}

TKvXMLItem* const* TKvXMLItems::begin() const {
    return FOwner->FChildren ? FOwner->FChildren->Items() : nullptr;
}

// ---- the parser ------------------------------------------------------------------------------------------

namespace {

enum TCharClass : uint8_t { ccName = 1, ccBlank = 2 };

constexpr std::array<uint8_t, 256> MakeClasses() {
    std::array<uint8_t, 256> t{};
    for (int c = '0'; c <= '9'; ++c)
        t[c] |= ccName;
    for (int c = 'A'; c <= 'Z'; ++c)
        t[c] |= ccName;
    for (int c = 'a'; c <= 'z'; ++c)
        t[c] |= ccName;
    for (char c : {'!', '-', ':', '?', '_'})
        t[uint8_t(c)] |= ccName;
    for (char c : {'\t', '\n', '\r', ' '})
        t[uint8_t(c)] |= ccBlank;
    return t;
}
constexpr std::array<uint8_t, 256> Classes = MakeClasses();

/// How a parse reads the text of a declared encoding: not at all (none declared, or one that can't apply),
/// as UTF-8, with a code page's decoder, or as it is (declared ISO-8859-1: the text's characters are final).
enum TDeclaredEncoding { deNone, deUtf8, deCodePage, deLatin1 };

/// The first unit from P on (before End) that is one of Stops, or End. ORs the units passed over into Seen:
/// of a byte only bit 7 is sure to be kept, of a wider unit every bit.
template <char... Stops, class Char>
const Char* FindStop(const Char* P, const Char* End, unsigned& Seen) {
#if defined(__SSE2__)
    if constexpr (sizeof(Char) == 1) {
        // Sixteen bytes at a time: plain text runs (values, attribute text) pass without a look at each byte.
        unsigned high = 0;
        for (; End - P >= 16; P += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
            __m128i hit = _mm_setzero_si128();
            ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(Stops)))), ...);
            const unsigned hits = unsigned(_mm_movemask_epi8(hit));
            const unsigned bits7 = unsigned(_mm_movemask_epi8(v));
            if (hits) {
                const int at = std::countr_zero(hits);
                if ((high | (bits7 & ((1u << at) - 1))) != 0)
                    Seen |= 0x80;
                return P + at;
            }
            high |= bits7;
        }
        if (high)
            Seen |= 0x80;
    }
#endif
    for (; P < End; ++P) {
        const Char c = *P;
        if (((c == Char(Stops)) || ...))
            return P;
        Seen |= c;
    }
    return End;
}

/// Declared UTF-8, read leniently: each well-formed sequence gives its character (a pair above U+FFFF);
/// each maximal ill-formed subpart gives one U+FFFD, and reading goes on at the unit that broke it. A maximal
/// subpart is a byte that starts no sequence (80-C1, F5-FF), or the longest start of a sequence that is
/// still a valid start (E0 A0, F0 90 80...) before a byte out of range or the end. So an overlong form, a
/// surrogate or a code point past U+10FFFF never becomes a character. A unit above 0xFF is a character
/// already (text the application passed as a string), not a byte: it passes unchanged. Writes at most N
/// units to Out and returns how many.
template <class Unit>
qsizetype DecodeUtf8Lenient(const Unit* In, qsizetype N, char16_t* Out) {
    qsizetype count = 0;
    qsizetype i = 0;
    while (i < N) {
        const char16_t u = char16_t(In[i]);
        if (u < 0x80 || u > 0xFF) {
            Out[count++] = u;
            ++i;
            continue;
        }
        const TUtf8Step step = ReadUtf8Step(In, i, N);
        i += step.Length;
        if (!step.Valid) {
            Out[count++] = 0xFFFD;
        } else if (step.Code >= 0x10000) {
            Out[count++] = QChar::highSurrogate(step.Code);
            Out[count++] = QChar::lowSurrogate(step.Code);
        } else {
            Out[count++] = char16_t(step.Code);
        }
    }
    return count;
}

/// How text declared as Name is read, and for a code page its decoder. "utf-8" is read leniently, and so
/// is "windows-NNNN" the code page NNNN as always (the ANSI code page when NNNN is no number, or one this
/// system lacks). Any other encoding the platform knows (ISO-8859-2, KOI8-R...) is read with its decoder,
/// except: an encoding that maps every byte to the character of its value (ISO-8859-1 and its aliases)
/// leaves the text as it is, already final (deLatin1); one that knows no byte above 127 (US-ASCII), a
/// 16- or 32-bit one (which a text read a byte per character cannot be in) and an unknown name leave the
/// text undecoded (deNone), to be read as UTF-8, the default of XML, when an application asks.
TDeclaredEncoding ReadDeclaredEncoding(const QString& Name, QStringDecoder& Decoder) {
    if (Name.isEmpty())
        return deNone;
    if (SameStrings(false, Name, QStringLiteral("utf-8")) || SameStrings(false, Name, QStringLiteral("utf8")))
        return deUtf8;
    if (SameStrings(false, Name.left(8), QStringLiteral("windows-"))) {
        int codePage = 0;
        const QByteArray decoderName = TryStrToInt(Name.mid(8), codePage)
                                           ? "windows-" + QByteArray::number(codePage)
                                           : QByteArray(AnsiCodePageName());
        Decoder = QStringDecoder(decoderName.constData());
        if (!Decoder.isValid()) // a code page this system does not know: read as ANSI
            Decoder = QStringDecoder(AnsiCodePageName());
        return deCodePage;
    }
    const QByteArray latin = Name.toLatin1();
    if (const std::optional<QStringConverter::Encoding> builtIn = QStringConverter::encodingForName(latin)) {
        if (*builtIn == QStringConverter::Latin1)
            return deLatin1;
        if (*builtIn == QStringConverter::Utf8)
            return deUtf8;
        if (*builtIn != QStringConverter::System)
            return deNone; // UTF-16 and UTF-32
    }
    QStringDecoder decoder(latin.constData());
    if (!decoder.isValid())
        return deNone;
    // What the decoder makes of the bytes above 127 says which of the three it is.
    char high[128];
    for (int b = 0; b < 128; ++b)
        high[b] = char(128 + b);
    const QString probe = decoder.decode(QByteArrayView(high, 128));
    decoder.resetState();
    bool identity = probe.size() == 128, none = true;
    for (qsizetype k = 0; k < probe.size(); ++k) {
        identity = identity && probe[k].unicode() == 128 + k;
        none = none && probe[k] == QChar::ReplacementCharacter;
    }
    if (identity)
        return deLatin1;
    if (none || probe.isEmpty())
        return deNone;
    Decoder = std::move(decoder);
    return deCodePage;
}

template <class Unit>
QString Utf8DecodeLenient(const Unit* In, qsizetype N) {
    QString result(N, Qt::Uninitialized); // never longer than the input: a pair stands for four bytes
    result.truncate(DecodeUtf8Lenient(In, N, reinterpret_cast<char16_t*>(result.data())));
    return result;
}

QString Utf8DecodeLenient(const QString& S) {
    return Utf8DecodeLenient(reinterpret_cast<const char16_t*>(S.constData()), S.size());
}

} // namespace

/// One run of the scanning steps over one block. Positions are 0-based; "the end" is the length or the
/// first NUL, whichever comes first, and no scan reads past it. Hidden from the library's exports, so that
/// its steps are called directly and can be inlined.
template <class Char>
class Q_DECL_HIDDEN TKvXMLParser {
public:
    TKvXMLParser(TKvXMLEngine& Engine, TKvXMLText* Text, const Char* S, qsizetype Len)
        : FEngine(Engine), FText(Text), S(S), Len(Len) {}

    /// Reads the whole text. Every item made is in its parent's list when Run returns, also when it
    /// raises.
    void Run();

private:
    /// A piece of the text: a span into the block, or the converted text when a conversion changed it.
    struct TPiece {
        TKvXMLItem::TSpan Span{};
        unsigned Seen = 0; // the span's units ORed (FindStop): whether any is beyond ASCII
        QString Converted;
        bool IsConverted = false;
        bool Empty() const { return IsConverted ? Converted.isEmpty() : Span.Length == 0; }
        QString Text(const TKvXMLText* Block) const {
            return IsConverted ? Converted : Block->Text(Span.Offset, Span.Length);
        }
    };

    static uint8_t Class(Char C) { return C < 256 ? Classes[C] : 0; }
    bool AtEnd(qsizetype Q) const { return Q >= Len || S[Q] == 0; }
    TKvXMLItem::TSpan SpanOf(qsizetype From, qsizetype To) const {
        return {uint32_t(From), uint32_t(To - From)};
    }

    void TextScan(TPiece& Piece);
    void AttributeScan(TPiece& Piece);
    void SkipToTag();
    void SkipElement(qsizetype StartTagEnd);
    void Convert(TPiece& Piece) {
        // Text already decoded from a Unicode form is final whatever the document declares: converting it
        // again would garble (UTF-8) or destroy (a code page) every character beyond ASCII. Utf8Decode
        // passes every character without bit 7 unchanged; a code page keeps ASCII as it is.
        if (FEncoding != deNone && Piece.Seen >= 0x80 && !FEngine.FUTF8Processed)
            ConvertBeyondAscii(Piece);
    }
    void ConvertBeyondAscii(TPiece& Piece);
    void Store(TKvXMLItem* Item, TKvXMLItem::TField F, TPiece& Piece, bool Fresh);
    void DeclareEncoding(TKvXMLItem* Declaration);
    bool IsXmlDeclaration(qsizetype NameStart, qsizetype NameLength) const;
    void ReadTags();
    TKvXMLItem* NewChild(TKvXMLItem* Parent);
    TKvXMLItem* Enter(TKvXMLItem* Item);
    TKvXMLItem* Leave();
    void LeaveAll() noexcept;

    TKvXMLEngine& FEngine;
    TKvXMLText* FText;
    const Char* S;
    const qsizetype Len;
    qsizetype P = 0;
    TDeclaredEncoding FEncoding = deNone;
    QStringDecoder FDecoder;
    // Without handlers nothing can look at the tree while it grows, so the children of the open items
    // wait here (each open item's after its own, deepest last) and go into their parent's list in one
    // piece, at its final size, when the parent is left. With handlers each child goes into its parent's
    // list at once, as the handlers may look there.
    const bool FDefer = !FEngine.FOnTag && !FEngine.FOnAfterTag;
    std::vector<TKvXMLItem*> FWaiting;
    struct TOpen {
        TKvXMLItem* Item;
        size_t FirstChild; // in FWaiting
    };
    std::vector<TOpen> FOpen; // the open items, from the root to the current one
};

template <class Char>
inline void TKvXMLParser<Char>::TextScan(TPiece& Piece) {
    while (!AtEnd(P) && S[P] == '>')
        ++P;
    const Char* const end = S + Len;
    const Char* p = S + P;
    // The text ends at a NUL, a "<" or a "/>"; a "/" on its own is text.
    for (;; ++p) {
        p = FindStop<'<', '/', '\0'>(p, end, Piece.Seen);
        if (p == end || *p != '/' || (end - p > 1 && p[1] == '>'))
            break;
    }
    Piece.Span = SpanOf(P, p - S);
    P = p - S;
    if (!AtEnd(P) && S[P] == '<')
        ++P;
}

template <class Char>
inline void TKvXMLParser<Char>::AttributeScan(TPiece& Piece) {
    const qsizetype start = P;
    if (P < Len && S[P] == '>') { // most start tags have no attributes
        Piece.Span = SpanOf(start, P);
        return;
    }
    const Char* const end = S + Len;
    const Char* p = S + P;
    Char quote = 0;
    for (;; ++p) {
        // Within quotes only the closing quote, a ">" or a NUL can change anything.
        if (!quote)
            p = FindStop<'>', '/', '"', '\'', '\0'>(p, end, Piece.Seen);
        else if (quote == '"')
            p = FindStop<'>', '"', '\0'>(p, end, Piece.Seen);
        else
            p = FindStop<'>', '\'', '\0'>(p, end, Piece.Seen);
        if (p == end)
            break;
        const Char c = *p;
        if (c == 0 || c == '>' || (c == '/' && !quote))
            break;
        if (c == '"' || c == '\'') {
            // Either kind of quote protects a "/" (a URL in an attribute); the other kind inside is text.
            if (!quote)
                quote = c;
            else if (quote == c)
                quote = 0;
        }
    }
    P = p - S;
    Piece.Span = SpanOf(start, P);
}

template <class Char>
inline void TKvXMLParser<Char>::SkipToTag() {
    unsigned seen = 0;
    P = FindStop<'<', '\0'>(S + P, S + Len, seen) - S;
    if (!AtEnd(P))
        ++P;
}

template <class Char>
void TKvXMLParser<Char>::SkipElement(qsizetype StartTagEnd) {
    const auto pairAt = [this](qsizetype Q, Char A, Char B) {
        return Q + 1 < Len && S[Q] == A && S[Q + 1] == B;
    };
    if (!pairAt(P, '/', '>'))
        P = StartTagEnd;
    int64_t depth = 1;
    while (!AtEnd(P) && depth > 0) {
        if (pairAt(P, '/', '>')) {
            --depth;
            P += 2;
        } else if (pairAt(P, '<', '/')) {
            --depth;
            P += 2;
            while (!AtEnd(P) && S[P] != '<')
                ++P;
        } else if (pairAt(P, '<', '!') || pairAt(P, '<', '?')) {
            // Comments, declarations and processing instructions have no end tag: they must not deepen the
            // skip, or rejecting an element would swallow the rest of the document.
            const bool comment = P + 3 < Len && S[P + 2] == '-' && S[P + 3] == '-';
            P += 2;
            if (comment) {
                while (!AtEnd(P) && !(P + 2 < Len && S[P] == '-' && S[P + 1] == '-' && S[P + 2] == '>'))
                    ++P;
                if (!AtEnd(P))
                    P += 3;
            }
        } else if (S[P] == '<') {
            ++depth;
            ++P;
        } else {
            ++P;
        }
    }
    // Whatever follows the skipped element up to the next "<" is dropped, as after an end tag: the
    // indentation after a rejected "<a/>" must not be read as the next tag's name.
    SkipToTag();
}

template <class Char>
void TKvXMLParser<Char>::ConvertBeyondAscii(TPiece& Piece) {
    const Char* const from = S + Piece.Span.Offset;
    if (FEncoding == deUtf8 && (Piece.Seen & 0x80)) {
        Piece.Converted = Utf8DecodeLenient(from, Piece.Span.Length);
        Piece.IsConverted = true;
    } else if (FEncoding == deCodePage) {
        FDecoder.resetState();
        if constexpr (sizeof(Char) == 1)
            Piece.Converted = FDecoder.decode(QByteArrayView(from, Piece.Span.Length));
        else
            Piece.Converted =
                FDecoder.decode(StringToAnsi(FText->Text(Piece.Span.Offset, Piece.Span.Length)));
        Piece.IsConverted = true;
    }
}

template <class Char>
inline void TKvXMLParser<Char>::Store(TKvXMLItem* Item, TKvXMLItem::TField F, TPiece& Piece, bool Fresh) {
    if (Piece.IsConverted)
        Item->SetOwned(F, std::move(Piece.Converted));
    else if (Fresh) // an item made for this tag: nothing to clear, and its spans refer to this block
        Item->FSlots[F].Span = Piece.Span;
    else
        Item->SetSpan(F, FText, Piece.Span);
}

template <class Char>
bool TKvXMLParser<Char>::IsXmlDeclaration(qsizetype NameStart, qsizetype NameLength) const {
    return NameLength == 4 && S[NameStart] == '?' && SameUnits(S + NameStart + 1, u"xml", 3, false);
}

template <class Char>
void TKvXMLParser<Char>::DeclareEncoding(TKvXMLItem* Declaration) {
    const TKvXMLItem* item = FEngine.GetItemByTag(Declaration, QStringLiteral("encoding"));
    if (!item)
        return;
    const QString name = item->GetTagValue().trimmed();
    FEncoding = ReadDeclaredEncoding(name, FDecoder);
    FEngine.FTextDecoded = FEngine.FUTF8Processed || FEncoding != deNone;
}

template <class Char>
inline TKvXMLItem* TKvXMLParser<Char>::Enter(TKvXMLItem* Item) {
    FOpen.push_back({Item, FWaiting.size()});
    return Item;
}

template <class Char>
inline TKvXMLItem* TKvXMLParser<Char>::Leave() {
    const TOpen& open = FOpen.back();
    const size_t count = FWaiting.size() - open.FirstChild;
    if (count > 0) {
        open.Item->AppendChildren(FWaiting.data() + open.FirstChild, uint32_t(count), FText);
        FWaiting.resize(open.FirstChild);
    }
    TKvXMLItem* parent = open.Item->FParentItem;
    FOpen.pop_back();
    return parent;
}

template <class Char>
void TKvXMLParser<Char>::LeaveAll() noexcept {
    while (!FOpen.empty()) {
        try {
            Leave();
        } catch (...) {
            // No room for the list (the parse is failing for want of memory already): the children
            // that cannot be listed go, with everything below them.
            const size_t first = FOpen.back().FirstChild;
            for (size_t i = first; i < FWaiting.size(); ++i)
                delete FWaiting[i];
            FWaiting.resize(first);
            FOpen.pop_back();
        }
    }
}

template <class Char>
inline TKvXMLItem* TKvXMLParser<Char>::NewChild(TKvXMLItem* Parent) {
    // Every step that can fail for want of memory comes before the item holds its reference on the block.
    void* room = FText->Allocate(sizeof(TKvXMLItem));
    if (FDefer)
        FWaiting.push_back(nullptr);
    else
        Parent->ReserveChildren(uint32_t(Parent->Items().Count()) + 1);
    auto* item = new (room) TKvXMLItem(nullptr, FText);
    item->FLevel = Parent->FLevel + 1;
    item->FParentItem = Parent;
    if (FDefer)
        FWaiting.back() = item;
    else
        Parent->AttachChild(item);
    return item;
}

template <class Char>
void TKvXMLParser<Char>::Run() {
    try {
        ReadTags();
    } catch (...) {
        LeaveAll();
        throw;
    }
    LeaveAll();
}

template <class Char>
void TKvXMLParser<Char>::ReadTags() {
    TKvXMLItem* current = nullptr;
    TPiece dropped;
    TextScan(dropped); // anything before the first "<" is dropped
    while (P + 1 < Len && S[P] != 0) {
        const qsizetype nameStart = P;
        while (P < Len && (Class(S[P]) & ccName))
            ++P;
        const qsizetype nameLength = P - nameStart;
        const bool comment =
            nameLength >= 3 && S[nameStart] == '!' && S[nameStart + 1] == '-' && S[nameStart + 2] == '-';
        TPiece attributes;
        TPiece value;
        qsizetype startTagEnd = P;
        bool declaration = false;
        if (comment) {
            // The comment's text runs from "<!--" to "-->", whatever characters it starts with.
            const qsizetype start = nameStart + 3;
            const Char* const end = S + Len;
            const Char* p = S + start;
            for (;; ++p) {
                p = FindStop<'-', '\0'>(p, end, value.Seen);
                if (p == end || *p == 0 || (end - p > 2 && p[1] == '-' && p[2] == '>'))
                    break;
            }
            P = p - S;
            if (!AtEnd(P)) {
                value.Span = SpanOf(start, P);
                P += 3;
                while (!AtEnd(P) && (Class(S[P]) & ccBlank))
                    ++P;
                // Text after a comment is dropped like text after an end tag, instead of being read as
                // the next tag's name.
                SkipToTag();
            }
        } else {
            AttributeScan(attributes);
            startTagEnd = P;
            declaration = IsXmlDeclaration(nameStart, nameLength);
            if (declaration && attributes.Span.Length > 0 &&
                S[attributes.Span.Offset + attributes.Span.Length - 1] == '?')
                --attributes.Span.Length;
            TextScan(value);
            Convert(attributes);
            Convert(value);
        }

        bool accept = true;
        bool fresh = false; // current was made for this tag
        if (comment && !current) {
            // A comment outside every element (a licence before the root, a note after it) is left out of
            // the tree: taking the root's place, it would give the document element its text or its name.
            accept = false;
        } else if (nameLength > 0) {
            if (!current) {
                current = Enter(FEngine.FRootItem.get());
            } else {
                if (FEngine.FOnTag) {
                    const QString name = comment ? QStringLiteral("Comment")
                                                 : FText->Text(uint32_t(nameStart), uint32_t(nameLength));
                    FEngine.FOnTag(&FEngine, current, name, value.Text(FText), attributes.Text(FText),
                                   accept);
                }
                if (accept) {
                    current = Enter(NewChild(current));
                    fresh = true;
                }
            }
        }

        if (accept && current) {
            if (nameLength > 0) {
                if (comment) {
                    current->ClearField(TKvXMLItem::fdTagName);
                    current->FFlags |= TKvXMLItem::fCommentName;
                } else {
                    TPiece name;
                    name.Span = SpanOf(nameStart, nameStart + nameLength);
                    Store(current, TKvXMLItem::fdTagName, name, fresh);
                }
            }
            // A name-less tag ("<" followed by a blank) only adds its text to the open element, keeping
            // its name and kind.
            if (!value.Empty()) {
                if (!current->ValueAssigned()) {
                    Store(current, TKvXMLItem::fdValue, value, fresh);
                    current->FFlags |= TKvXMLItem::fValueAssigned;
                } else {
                    current->AppendValue(value.Text(FText));
                }
            }
            if (comment) {
                current->FKind = ikComment;
                current = Leave(); // a comment never receives children
            } else if (nameLength > 0) {
                current->FKind = ikProperty;
                if (!attributes.Empty())
                    Store(current, TKvXMLItem::fdAttributes, attributes, fresh);
                if (declaration) {
                    current->ProcessAttributes();
                    DeclareEncoding(current);
                }
            }
        } else if (!accept && !comment) {
            SkipElement(startTagEnd); // a rejected comment has no content to skip
        }

        // End tags and "/>": whatever their names, each closes the current item.
        while (P + 1 < Len && S[P] == '/' && current) {
            if (S[P + 1] == '>' && P + 2 == Len) { // a "/>" that ends the text closes nothing
                ++P;
                break;
            }
            TKvXMLItem* closed = current;
            current = Leave();
            if (FEngine.FOnAfterTag) {
                bool cancel = false;
                FEngine.FOnAfterTag(&FEngine, closed, cancel);
                if (cancel)
                    return;
            }
            SkipToTag();
        }
        // A "/>" with no element open is neither a tag nor an end tag: without this the scan would stand
        // on it for ever.
        if (P == nameStart)
            SkipToTag();
    }
}

// ---- TKvXMLEngine ----------------------------------------------------------------------------------------

TKvXMLEngine::TKvXMLEngine(TComponent* AOwner)
    : TComponent(AOwner), FRootItem(std::make_unique<TKvXMLItem>()) {}

TKvXMLEngine::~TKvXMLEngine() = default;

void TKvXMLEngine::CheckNotParsing() const {
    // A handler that started another parse would free or reshape the tree under the running one.
    if (FParsing)
        throw Exception(QStringLiteral("The XML engine is already parsing"));
}

void TKvXMLEngine::Parse(TKvXMLText* Text) {
    const TTextRef ref(Text);
    CheckNotParsing();
    FParsing = true;
    FTextDecoded = FUTF8Processed;
    struct TParsingFlag {
        bool& Flag;
        ~TParsingFlag() { Flag = false; }
    } flag{FParsing};
    if (Text->Wide) {
        const qsizetype len = std::min<qsizetype>(Text->Utf16.size(), std::numeric_limits<uint32_t>::max());
        TKvXMLParser<char16_t>(*this, Text, reinterpret_cast<const char16_t*>(Text->Utf16.constData()), len)
            .Run();
    } else {
        const qsizetype len = std::min<qsizetype>(Text->Latin1.size(), std::numeric_limits<uint32_t>::max());
        TKvXMLParser<unsigned char>(*this, Text,
                                    reinterpret_cast<const unsigned char*>(Text->Latin1.constData()), len)
            .Run();
    }
}

void TKvXMLEngine::ParseXMLFromString(const QString& S, int Len) {
    if (Len <= 0 || S.isEmpty())
        return;
    auto* text = new TKvXMLText;
    const TTextRef ref(text);
    text->Wide = true;
    text->Utf16 = Len >= S.size() ? S : S.left(Len); // shares the caller's text when it is all of it
    Parse(text);
}

void TKvXMLEngine::ParseXMLFromString(const QString& S) {
    ParseXMLFromString(S, int(std::min<qsizetype>(S.size(), std::numeric_limits<int>::max())));
}

void TKvXMLEngine::LoadFromStream(int64_t AStreamSize, TStream* AStream) {
    CheckNotParsing();
    FRootItem->Items().Clear();
    // A new document starts from a blank root: the document element reuses the root and appends its text,
    // which would otherwise carry the previous document's root text and attributes into this one.
    for (const TKvXMLItem::TField f : {TKvXMLItem::fdTagName, TKvXMLItem::fdValue, TKvXMLItem::fdAttributes})
        FRootItem->ClearField(f);
    FRootItem->FFlags = 0;
    FRootItem->FKind = ikProperty;
    if (!AStream)
        return;
    const int64_t position = AStream->Position();
    const int64_t available = std::max<int64_t>(AStream->Size() - position, 0);
    // AStreamSize stands for the stream's size; never trust it beyond what the stream holds.
    const int64_t count =
        std::clamp<int64_t>(AStreamSize == 0 ? available : AStreamSize - position, 0, available);

    unsigned char markBytes[2] = {0, 0};
    int64_t markRead = 0;
    if (AStreamSize == 0)
        markRead = AStream->Read(markBytes, std::min<int64_t>(2, count));
    const uint16_t mark = uint16_t(markBytes[0] | (markBytes[1] << 8));
    FUTF8Processed = false;

    auto* text = new TKvXMLText;
    const TTextRef ref(text);
    text->Wide = true;
    if (mark == 0xFEFF || mark == 0xFFFE) {
        const int64_t rest = count - markRead;
        if (rest > 0) {
            QByteArray bytes(rest, Qt::Uninitialized);
            const int64_t got = AStream->Read(bytes.data(), rest);
            const qsizetype units = qsizetype(got / 2);
            text->Utf16.resize(units);
            if (mark == 0xFEFF)
                qFromLittleEndian<char16_t>(bytes.constData(), units, text->Utf16.data());
            else
                qFromBigEndian<char16_t>(bytes.constData(), units, text->Utf16.data());
        }
        FUTF8Processed = true;
    } else {
        if (markRead > 0)
            AStream->Seek(-markRead, soCurrent);
        QByteArray bytes(count, Qt::Uninitialized);
        PrepareLargeBlock(bytes.data(), size_t(count));
        bytes.truncate(qsizetype(AStream->Read(bytes.data(), count)));
        const auto startsWith = [&bytes](std::initializer_list<unsigned char> Mark) {
            return bytes.size() >= qsizetype(Mark.size()) &&
                   std::equal(Mark.begin(), Mark.end(),
                              reinterpret_cast<const unsigned char*>(bytes.constData()));
        };
        if (startsWith({0xEF, 0xBB, 0xBF})) {
            text->Utf16 = QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
            FUTF8Processed = true;
        } else if (startsWith({0xFF, 0xFE}) || startsWith({0xFE, 0xFF})) {
            const qsizetype units = (bytes.size() - 2) / 2;
            text->Utf16.resize(units);
            if (bytes[0] == char(0xFF))
                qFromLittleEndian<char16_t>(bytes.constData() + 2, units, text->Utf16.data());
            else
                qFromBigEndian<char16_t>(bytes.constData() + 2, units, text->Utf16.data());
            FUTF8Processed = true; // decoded from a Unicode form, like the same bytes read without a size
        } else {
            // The system's ANSI code page is ISO-8859-1: each byte is one character, so the bytes are the
            // text and are parsed as they are.
            text->Wide = false;
            text->Latin1 = std::move(bytes);
        }
    }
    if (text->Wide) {
        if (!text->Utf16.isEmpty() && text->Utf16.back() == QChar(27))
            text->Utf16.chop(1);
        if (!text->Utf16.isEmpty())
            Parse(text);
    } else {
        if (!text->Latin1.isEmpty() && text->Latin1.back() == 27)
            text->Latin1.chop(1);
        if (!text->Latin1.isEmpty())
            Parse(text);
    }
}

void TKvXMLEngine::LoadFromFile(const QString& AFileName) {
    TFileStream stream(AFileName, fmOpenRead | fmShareDenyWrite);
    stream.Seek(0, soBeginning);
    LoadFromStream(0, &stream);
}

QString TKvXMLEngine::GetTagText(const TKvXMLItem* Item) const {
    QString value = Item->GetTagXMLValue();
    if (!FTextDecoded)
        value = Utf8DecodeLenient(value);
    DecodeEntities(value);
    return value;
}

TKvXMLItem* TKvXMLEngine::GetItemByTag(TKvXMLItem* ARoot, const QString& XMLTag) const {
    return FindPreOrder(ARoot ? ARoot : FRootItem.get(), -1,
                        [&XMLTag](const TKvXMLItem* Item) { return Item->TagNameIs(XMLTag, false); });
}

namespace {
/// Cuts Path at the "/" at Slash (-1: none) and returns the first or the last part, leaving the other in
/// Path; without a "/" the whole path is returned and Path emptied.
QString TakePathPart(QString& Path, qsizetype Slash, bool First) {
    if (Slash < 0)
        return std::exchange(Path, QString());
    QString result = First ? Path.left(Slash) : Path.mid(Slash + 1);
    Path = First ? Path.mid(Slash + 1) : Path.left(Slash);
    return result;
}
} // namespace

QString TKvXMLEngine::GetFirstTagName(QString& AXMLPath) const {
    return TakePathPart(AXMLPath, AXMLPath.indexOf(u'/'), true);
}

QString TKvXMLEngine::GetLastTagName(QString& AXMLPath) const {
    return TakePathPart(AXMLPath, AXMLPath.lastIndexOf(u'/'), false);
}

// ---- free routines ---------------------------------------------------------------------------------------

bool SameStrings(bool CaseSensitive, const QString& S1, const QString& S2) {
    return S1.size() == S2.size() && SameUnits(S1.utf16(), S2.utf16(), S1.size(), CaseSensitive);
}

TDateTime XMLStringToDateTime(const QString& S) {
    if (S.isEmpty())
        return 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!TryStrToInt(S.mid(0, 4), year) || !TryStrToInt(S.mid(5, 2), month) ||
        !TryStrToInt(S.mid(8, 2), day) || !TryStrToInt(S.mid(11, 2), hour) ||
        !TryStrToInt(S.mid(14, 2), minute) || !TryStrToInt(S.mid(17, 2), second))
        return 0;
    TDateTime date = 0;
    TDateTime time = 0;
    if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, 0, time))
        return 0;
    return date + time;
}

} // namespace KvInet
