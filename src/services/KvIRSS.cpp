// KvIRSS: the RSS parser: the model lists, the feed's decoding, the scanner and the download cycle.
#include "services/KvIRSS.h"

#include "platform/System.h"
#include "platform/WireText.h"

#include <QFile>
#include <QStringConverter>
#include <QStringDecoder>

#include <vector>

namespace KvInet {

// ---- the model -------------------------------------------------------------------------------------------

void TKvIRSSItem::Assign(const TKvIRSSItem* Source) {
    if (!Source || Source == this)
        return;
    Title = Source->Title;
    Link = Source->Link;
    Description = Source->Description;
    Creator = Source->Creator;
    Date = Source->Date;
}

void TKvIRSSItems::AssignItems(const TKvIRSSItems* Source) {
    // Assigning the list to itself would clear it before the copy.
    if (!Source || Source == this)
        return;
    ClearItems();
    for (const TKvIRSSItem* from : *Source) {
        auto item = std::make_unique<TKvIRSSItem>();
        item->Assign(from);
        Add(item.release());
    }
}

void TKvIRSSChannel::Assign(const TKvIRSSChannel* Source) {
    if (!Source || Source == this)
        return;
    Title = Source->Title;
    Link = Source->Link;
    Description = Source->Description;
    Language = Source->Language;
    Copyright = Source->Copyright;
    Rating = Source->Rating;
    ManagingEditor = Source->ManagingEditor;
    WebMaster = Source->WebMaster;
    PubDate = Source->PubDate;
    LastBuildDate = Source->LastBuildDate;
    Category = Source->Category;
    Generator = Source->Generator;
    Docs = Source->Docs;
    Ttl = Source->Ttl;
    Items.AssignItems(&Source->Items);
}

// ---- decoding --------------------------------------------------------------------------------------------

namespace {

/// UTF-8, where a byte that starts no well-formed sequence (a Latin-1 feed, or a stray byte in a UTF-8 one)
/// stands for the character of its value instead of being lost.
QString LenientUtf8(const QByteArray& Bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(Bytes.constData());
    const qsizetype n = Bytes.size();
    QString out;
    out.reserve(n);
    qsizetype i = 0;
    while (i < n) {
        qsizetype ascii = i;
        while (ascii < n && s[ascii] < 0x80)
            ++ascii;
        if (ascii > i) {
            out.append(QLatin1StringView(Bytes.constData() + i, ascii - i));
            i = ascii;
            continue;
        }
        const TUtf8Step step = ReadUtf8Step(s, i, n);
        if (!step.Valid) {
            out.append(QChar(s[i]));
            ++i;
            continue;
        }
        if (step.Code > 0xFFFF) {
            out.append(QChar(QChar::highSurrogate(step.Code)));
            out.append(QChar(QChar::lowSurrogate(step.Code)));
        } else {
            out.append(QChar(char16_t(step.Code)));
        }
        i += step.Length;
    }
    return out;
}

/// The encoding named by an XML declaration at the start of the bytes, lower case; "" when there is none.
QByteArray DeclaredEncoding(const QByteArray& Bytes) {
    const QByteArray head = Bytes.left(1024);
    qsizetype at = 0;
    while (at < head.size() && uchar(head[at]) <= 0x20)
        ++at;
    if (!head.mid(at).startsWith("<?xml"))
        return QByteArray();
    const qsizetype end = head.indexOf("?>", at);
    const QByteArray declaration = head.mid(at, end < 0 ? -1 : end - at);
    qsizetype i = declaration.indexOf("encoding");
    if (i < 0)
        return QByteArray();
    i += 8;
    while (i < declaration.size() && (uchar(declaration[i]) <= 0x20 || declaration[i] == '='))
        ++i;
    if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\''))
        return QByteArray();
    const qsizetype close = declaration.indexOf(declaration[i], i + 1);
    if (close < 0)
        return QByteArray();
    return declaration.mid(i + 1, close - i - 1).trimmed().toLower();
}

} // namespace

QString RSSBytesToText(const QByteArray& Bytes) {
    // A byte-order mark, or the first "<" written in UTF-16 or UTF-32, says it all.
    if (const std::optional<QStringConverter::Encoding> encoding =
            QStringConverter::encodingForData(Bytes, u'<')) {
        QStringDecoder decoder(*encoding);
        return decoder(Bytes);
    }
    const QByteArray declared = DeclaredEncoding(Bytes);
    // A declaration readable one byte per character was not written in a 16- or 32-bit encoding,
    // whatever it claims.
    const bool wide = declared.startsWith("utf-16") || declared.startsWith("utf-32") ||
                      declared.startsWith("ucs-") || declared.startsWith("utf16") ||
                      declared.startsWith("utf32");
    // A feed declared US-ASCII that holds bytes above 127 was written in something else: read them as
    // UTF-8 where they form it, else as Latin-1, as feed readers do, instead of losing each one.
    static const QByteArrayList ascii = {"us-ascii", "ascii",           "ansi_x3.4-1968", "iso646-us",
                                         "us",       "cp367",           "ibm367",         "csascii",
                                         "iso-ir-6", "iso_646.irv:1991"};
    if (!declared.isEmpty() && !wide && declared != "utf-8" && declared != "utf8" &&
        !ascii.contains(declared)) {
        QStringDecoder decoder(declared.constData());
        if (decoder.isValid())
            return decoder(Bytes);
    }
    return LenientUtf8(Bytes);
}

// ---- the scanner -----------------------------------------------------------------------------------------

namespace {

template <class Model>
struct TField {
    QLatin1StringView Name;
    QString Model::*Member;
};

const TField<TKvIRSSChannel> ChannelFields[] = {
    {QLatin1StringView("title"), &TKvIRSSChannel::Title},
    {QLatin1StringView("link"), &TKvIRSSChannel::Link},
    {QLatin1StringView("description"), &TKvIRSSChannel::Description},
    {QLatin1StringView("language"), &TKvIRSSChannel::Language},
    {QLatin1StringView("copyright"), &TKvIRSSChannel::Copyright},
    {QLatin1StringView("managingEditor"), &TKvIRSSChannel::ManagingEditor},
    {QLatin1StringView("webMaster"), &TKvIRSSChannel::WebMaster},
    {QLatin1StringView("rating"), &TKvIRSSChannel::Rating},
    {QLatin1StringView("pubDate"), &TKvIRSSChannel::PubDate},
    {QLatin1StringView("lastBuildDate"), &TKvIRSSChannel::LastBuildDate},
    {QLatin1StringView("category"), &TKvIRSSChannel::Category},
    {QLatin1StringView("generator"), &TKvIRSSChannel::Generator},
    {QLatin1StringView("docs"), &TKvIRSSChannel::Docs},
    {QLatin1StringView("ttl"), &TKvIRSSChannel::Ttl},
};

const TField<TKvIRSSItem> ItemFields[] = {
    {QLatin1StringView("title"), &TKvIRSSItem::Title},
    {QLatin1StringView("link"), &TKvIRSSItem::Link},
    {QLatin1StringView("description"), &TKvIRSSItem::Description},
    {QLatin1StringView("dc:creator"), &TKvIRSSItem::Creator},
    {QLatin1StringView("dc:date"), &TKvIRSSItem::Date},
};

/// The field of Object named exactly Name, or null.
template <class Model, size_t N>
QString* FindField(const TField<Model> (&Table)[N], Model& Object, QStringView Name) {
    for (const TField<Model>& field : Table)
        if (Name == field.Name)
            return &(Object.*field.Member);
    return nullptr;
}

/// What an open element is, as far as the fields of its children are concerned.
enum class TFrame : unsigned char { Other, Channel, Item };

/// What the model costs beyond its text: the object, its list slot and the allocator's share.
constexpr int64_t ObjectOverhead = 32;

/// One pass over the text. The open elements are a stack of five bytes each (what the element is, where
/// its name is), a field is found from its parent alone and an end tag looks at a bounded number of open
/// elements, so every character is looked at a bounded number of times, whatever the nesting.
class TRSSScanner {
public:
    TRSSScanner(const QString& Text, TKvIRSSChannels& Channels, int64_t MaxMemory)
        : FText(Text), FChannels(Channels), FMaxMemory(MaxMemory) {}

    bool Run() {
        const QChar* p = FText.constData();
        const qsizetype n = FText.size();
        qsizetype i = 0;
        while (i < n && !FStopped) {
            // A text run up to the next "<".
            const qsizetype start = i;
            while (i < n && p[i] != u'<')
                ++i;
            if (i > start)
                AddText(start, i);
            if (i >= n)
                break; // text after the last tag goes nowhere
            const QStringView rest(p + i, n - i);
            if (rest.startsWith(u"<![CDATA[")) {
                // One unit up to its "]]>", whatever it holds; its text belongs to the run it stands in.
                const qsizetype end = rest.indexOf(u"]]>", 9);
                if (end < 0)
                    break; // cut off: the step is not completed
                AddText(i + 9, i + end, true);
                i += end + 3;
                continue;
            }
            if (!StartsTag(i)) {
                // "a < b", "1<2": a "<" that can start no tag is text of the run it stands in.
                AddText(i, i + 1);
                ++i;
                continue;
            }
            if (rest.startsWith(u"<!--")) {
                EndText();
                // A comment is one unit too: a ">" or a quote inside it must not end or open anything.
                const qsizetype end = rest.indexOf(u"-->", 4);
                if (end < 0)
                    break;
                i += end + 3;
                continue;
            }
            // A tag up to the first ">" outside a quoted attribute value. A quote opens one only after "=":
            // elsewhere ("it's" after a stray "<") it is a character like any other. A "<" before the ">"
            // means the first one started no tag ("a<b</title>"): it and what follows it are text.
            qsizetype j = i + 1;
            char16_t quote = 0;
            char16_t last = 0; // the last character that is no blank, outside quotes
            bool stray = false;
            for (; j < n; ++j) {
                const char16_t c = p[j].unicode();
                if (quote) {
                    if (c == quote)
                        quote = 0;
                    continue;
                }
                if (c == u'>')
                    break;
                if (c == u'<') {
                    stray = true;
                    break;
                }
                if ((c == u'"' || c == u'\'') && last == u'=')
                    quote = c;
                if (c > 0x20)
                    last = c;
            }
            if (stray) {
                AddText(i, j);
                i = j;
                continue;
            }
            if (j >= n)
                break;
            EndText();
            Tag(i, j);
            i = j + 1;
        }
        return !FStopped;
    }

private:
    /// Whether the "<" at I can start a tag: followed by a name's first character, "/", "!" or "?", or by
    /// blanks and then "/" ("< /image>", an end tag written loosely).
    bool StartsTag(qsizetype I) const {
        const QChar* p = FText.constData();
        const qsizetype n = FText.size();
        qsizetype k = I + 1;
        if (k < n && IsNameStart(p[k].unicode()))
            return true;
        while (k < n && (p[k] == u' ' || p[k] == u'\t'))
            ++k;
        return k > I + 1 && k < n && p[k] == u'/';
    }
    static bool IsNameStart(char16_t C) {
        return (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z') || C == u'_' || C == u':' || C >= 0x80 ||
               C == u'/' || C == u'!' || C == u'?';
    }

    /// The name of an element at Start in the text: up to a blank, "/", ">" or the end.
    QStringView NameAt(qsizetype Start) const {
        const QChar* p = FText.constData();
        const qsizetype n = FText.size();
        qsizetype k = Start;
        while (k < n) {
            const char16_t c = p[k].unicode();
            if (c <= 0x20 || c == u'/' || c == u'>')
                break;
            ++k;
        }
        return QStringView(p + Start, k - Start);
    }

    /// An end tag named Name closes the innermost open element of that name (case ignored) and everything
    /// left open inside it (an unclosed <br> or <b> in a description), so that the next field is again a
    /// direct child of its item. Only the innermost few elements are looked at, so that a feed of many
    /// unclosed elements costs no more than a bounded look per end tag; an end tag that closes none of
    /// them (a stray </p>) is ignored.
    void Close(QStringView Name) {
        constexpr size_t Window = 64;
        const size_t depth = FStack.size();
        for (size_t k = depth; k > 0 && depth - k < Window; --k) {
            const uint32_t at = FNames[k - 1];
            if (at == NoName)
                continue;
            const QStringView open = NameAt(at);
            if (open.size() == Name.size() && open.compare(Name, Qt::CaseInsensitive) == 0) {
                FStack.resize(k - 1);
                FNames.resize(k - 1);
                return;
            }
        }
    }

    /// Text from Start to End joins the current run; it is kept only while a field waits for it.
    void AddText(qsizetype Start, qsizetype End, bool Section = false) {
        if (End > Start || Section)
            FRun = true;
        if (FPending)
            FValue.append(QStringView(FText.constData() + Start, End - Start));
    }

    /// The run ends at a tag: its trimmed text fills the field opened right before it, if any.
    void EndText() {
        if (!FRun)
            return;
        FRun = false;
        if (!FPending)
            return;
        QStringView value(FValue);
        while (!value.isEmpty() && value.front().unicode() <= 0x20)
            value = value.mid(1);
        while (!value.isEmpty() && value.back().unicode() <= 0x20)
            value.chop(1);
        if (Charge(2 * (value.size() - FPending->size())))
            *FPending = value.toString();
        FPending = nullptr;
        FValue.clear();
    }

    /// The tag from "<" at Start to ">" at End.
    void Tag(qsizetype Start, qsizetype End) {
        const QChar* p = FText.constData();
        qsizetype k = Start;
        while (k < End && (p[k] == u' ' || p[k] == u'\t' || p[k] == u'<'))
            ++k;
        const qsizetype nameStart = k;
        while (k < End) {
            const char16_t c = p[k].unicode();
            if (c == 0 || c == u'\n' || c == u'\r' || c == u' ' || c == u'\t')
                break;
            ++k;
        }
        const QStringView name(p + nameStart, k - nameStart);
        // Declarations and processing instructions (<?xml ...?>, <?xml-stylesheet ...?>, <!DOCTYPE ...>)
        // are no elements: they neither open one nor take the place of the tag a field waits under.
        if (name.startsWith(u'?') || name.startsWith(u'!'))
            return;
        FPending = nullptr;
        FValue.clear();
        if (name.startsWith(u'/')) {
            const qsizetype after = (name.data() - p) + 1;
            Close(NameAt(after));
            return;
        }
        if (End - Start >= 2 && p[End - 1] == u'/')
            return; // an empty element: opens nothing, fills nothing
        const TFrame parent = FStack.empty() ? TFrame::Other : FStack.back();
        TFrame frame = TFrame::Other;
        if (name == u"channel") {
            if (!Charge(int64_t(sizeof(TKvIRSSChannel)) + ObjectOverhead))
                return;
            FChannels.Add(new TKvIRSSChannel);
            frame = TFrame::Channel;
        } else if (name == u"item" && FChannels.Count() > 0) {
            if (!Charge(int64_t(sizeof(TKvIRSSItem)) + ObjectOverhead))
                return;
            FChannels.Last()->Items.Add(new TKvIRSSItem);
            frame = TFrame::Item;
        } else if (parent == TFrame::Channel && FChannels.Count() > 0) {
            // Only the channel's own children: the title of its image or text input is not the feed's.
            FPending = FindField(ChannelFields, *FChannels.Last(), name);
        } else if (parent == TFrame::Item && FChannels.Count() > 0 && FChannels.Last()->Items.Count() > 0) {
            FPending = FindField(ItemFields, *FChannels.Last()->Items.Last(), name);
        }
        FStack.push_back(frame);
        // Texts past 4 Gi characters: the element can't be named by its end tag, only closed by an outer one.
        FNames.push_back(nameStart < qsizetype(NoName) ? uint32_t(nameStart) : NoName);
    }

    /// Counts Bytes against the bound; false (and the scan stops) when they would pass it.
    bool Charge(int64_t Bytes) {
        FMemory += Bytes;
        if (FMaxMemory > 0 && FMemory > FMaxMemory)
            FStopped = true;
        return !FStopped;
    }

    const QString& FText;
    TKvIRSSChannels& FChannels;
    const int64_t FMaxMemory;
    int64_t FMemory = 0;
    bool FStopped = false;
    /// The open elements, innermost last: what each is, and where its name starts in the text.
    std::vector<TFrame> FStack;
    std::vector<uint32_t> FNames;
    static constexpr uint32_t NoName = 0xFFFFFFFF;
    /// The field that the text run right after its start tag fills, or null.
    QString* FPending = nullptr;
    /// Whether text (or a CDATA section) came since the last tag.
    bool FRun = false;
    QString FValue;
};

QString FeedTooLarge(int64_t Limit) {
    return QStringLiteral("The feed is larger than %1 bytes").arg(Limit);
}

QString ModelTooLarge(int64_t Limit) {
    return QStringLiteral("The feed's channels and items take more than %1 bytes").arg(Limit);
}

} // namespace

bool RSSTextToChannels(const QString& Text, TKvIRSSChannels& Channels, int64_t MaxMemory) {
    return TRSSScanner(Text, Channels, MaxMemory).Run();
}

// ---- TKvIRSSParser ---------------------------------------------------------------------------------------

TKvIRSSParser::TKvIRSSParser(TComponent* AOwner)
    : TKvCustomCopyUpdater(AOwner), FChannels(std::make_unique<TKvIRSSChannels>()) {}

TKvIRSSParser::~TKvIRSSParser() = default;

void TKvIRSSParser::RemoveCopy() const {
    const QString local = LocalFileName();
    if (local.isEmpty())
        return;
    QFile::remove(local);
    QFile::remove(local + QStringLiteral(".part"));
    QFile::remove(PartRecordName(local));
}

bool TKvIRSSParser::Execute() {
    if (FRunning)
        return false; // the running Execute's copy must stay where it is
    FRunning = true;
    // A copy left behind would count as current and the feed would not be read again.
    RemoveCopy();
    struct Done {
        TKvIRSSParser& Self;
        ~Done() {
            Self.RemoveCopy();
            Self.FRunning = false;
        }
    } done{*this};
    return TKvCustomCopyUpdater::Execute();
}

void TKvIRSSParser::InternalExecute() {
    // The copy is read into memory whole, so MaxReplySize bounds the download itself.
    SetDownloadLimit(MaxReplySize(), FeedTooLarge(MaxReplySize()));
    TKvCustomCopyUpdater::InternalExecute();
    if (Status() != isInProgress)
        return; // not found, failed or skipped: the previous channels stay
    ParseRSS();
    if (!FParseLimit.isEmpty()) {
        SetLastError(FParseLimit);
        SetStatus(isFailed);
    }
}

void TKvIRSSParser::ParseRSS() {
    FParseLimit.clear();
    FChannels->ClearItems();
    const int64_t limit = MaxReplySize();
    QByteArray bytes;
    {
        TFileStream file(LocalFileName(), fmOpenRead | fmShareDenyWrite);
        const int64_t size = file.Size();
        if (limit > 0 && size > limit) {
            FParseLimit = FeedTooLarge(limit);
            return;
        }
        bytes.resize(qsizetype(size));
        bytes.resize(qsizetype(file.Read(bytes.data(), size)));
    }
    const QString text = RSSBytesToText(bytes);
    bytes = QByteArray();
    if (text.isEmpty())
        return;
    if (!RSSTextToChannels(text, *FChannels, limit))
        FParseLimit = ModelTooLarge(limit);
}

} // namespace KvInet
