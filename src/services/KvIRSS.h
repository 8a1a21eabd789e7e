// KvIRSS: the RSS parser. Downloads one feed with the web updater into a private temporary copy, reads it
// with a scanner of its own (not the XML engine) and fills a list of channels, each with its items. It knows
// the layouts of RSS 0.9x/2.0 (items inside the channel) and RSS 1.0 (channel and items side by side inside
// "rdf:RDF"); element names are compared exactly, values are the trimmed text, entity references kept.
#pragma once

#include "platform/Classes.h"
#include "web/kviupdate.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace KvInet {

/// One item of a channel: plain public fields.
class TKvIRSSItem {
public:
    QString Title;
    QString Link;
    QString Description;
    QString Creator; ///< from "dc:creator"
    QString Date;    ///< from "dc:date"

    /// Copies the five fields from Source; a null Source (or the item itself) changes nothing.
    void Assign(const TKvIRSSItem* Source);
};

/// A list that owns what it holds: DeleteItem and ClearItems free the entries, and so does destroying the
/// list. The plain TList operations (Add, Insert, Delete, Remove) move pointers only, as in any TList.
template <class T>
class TKvIRSSOwnedList : public TList<T> {
public:
    TKvIRSSOwnedList() = default;
    ~TKvIRSSOwnedList() override { ClearItems(); }

    /// The entry at Index, or null when Index is below 0 or not below Count.
    T* GetItem(int Index) const { return Index >= 0 && Index < this->Count() ? this->Items(Index) : nullptr; }
    /// Frees the entry at Index and removes it; an Index out of range raises EListError.
    void DeleteItem(int Index) {
        T* item = this->Items(Index);
        this->Delete(Index);
        delete item;
    }
    /// Frees every entry, from the last to the first, and empties the list.
    void ClearItems() {
        for (int i = this->Count() - 1; i >= 0; --i)
            DeleteItem(i);
        TList<T>::Clear();
    }
    /// The same as ClearItems: an owning list never drops its entries without freeing them.
    void Clear() override { ClearItems(); }
};

/// The items of a channel (owned).
class TKvIRSSItems : public TKvIRSSOwnedList<TKvIRSSItem> {
public:
    /// Replaces the items with copies of Source's, in order; a null Source (or the list itself) changes
    /// nothing.
    void AssignItems(const TKvIRSSItems* Source);
};

/// One channel of a feed with its items: plain public fields.
class TKvIRSSChannel {
public:
    QString Title;
    QString Link;
    QString Description;
    QString Language;
    QString Copyright;
    QString Rating;
    QString ManagingEditor;
    QString WebMaster;
    QString PubDate;
    QString LastBuildDate;
    QString Category;
    QString Generator;
    QString Docs;
    QString Ttl;
    /// The channel's items, in document order.
    TKvIRSSItems Items;

    /// Copies the fourteen fields and gives this channel copies of Source's items; a null Source (or the
    /// channel itself) changes nothing.
    void Assign(const TKvIRSSChannel* Source);
};

/// The channels of a feed (owned).
class TKvIRSSChannels : public TKvIRSSOwnedList<TKvIRSSChannel> {};

/// Decodes the bytes of a feed: by byte-order mark (UTF-8, UTF-16, UTF-32), else by the encoding its XML
/// declaration names (any the platform knows: ISO-8859-n, windows-NNNN...), else as UTF-8 in which each byte
/// that starts no well-formed sequence stands for itself (ISO-8859-1). A feed declared US-ASCII is read the
/// latter way too: its bytes above 127 are not ASCII, whatever it declares.
QString RSSBytesToText(const QByteArray& Bytes);

/// Reads the text of a feed into Channels (which it does not clear first). MaxMemory bounds the bytes the
/// channels, items and values take (0: no bound): the scan stops when they would pass it, keeps what it
/// built, and returns false. True otherwise.
bool RSSTextToChannels(const QString& Text, TKvIRSSChannels& Channels, int64_t MaxMemory = 0);

/// Downloads an RSS feed (RemoteFileName on Host, as the web updater does) and reads it into Channels.
class TKvIRSSParser : public TKvCustomCopyUpdater {
    Q_OBJECT
public:
    explicit TKvIRSSParser(TComponent* AOwner = nullptr);
    ~TKvIRSSParser() override;

    /// Downloads the feed into a private temporary copy (always a fresh download), parses it when the
    /// download finished (inside the run, so OnAfterExecute sees the new Channels) and deletes the copy on
    /// every way out. True unless Status is isFailed. A feed past MaxReplySize (downloaded, or as channels
    /// and items in memory) fails the run. A call while this parser's Execute runs is refused: false.
    /// Raises what the web updater raises (a temporary copy that can't be written).
    bool Execute() override;
    /// Clears Channels and reads the local copy into them. Raises EFOpenError when the copy can't be
    /// opened. Malformed feeds never raise: stray tags only shift the element path.
    virtual void ParseRSS();

    /// The result of the last parse; a failed or skipped Execute leaves it in place.
    TKvIRSSChannels* Channels() const { return FChannels.get(); }

protected:
    void InternalExecute() override;
    QString CopyBaseName() const override { return QStringLiteral("feed"); }

private:
    /// Removes the local copy and what a broken download leaves beside it.
    void RemoveCopy() const;

    std::unique_ptr<TKvIRSSChannels> FChannels;
    /// Why the last ParseRSS stopped short (a limit), "" when it read the whole feed.
    QString FParseLimit;
    bool FRunning = false;
};

} // namespace KvInet
