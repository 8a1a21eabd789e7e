// Classes: the component model the library is built on. Persistent objects that copy each other with
// Assign, components owned and freed by their owner, string lists with name=value lines, collections of
// items, plain pointer lists and byte streams.
#pragma once

#include "platform/SysUtils.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

namespace KvInet {

/// The plain event: the object that fired it.
using TNotifyEvent = std::function<void(QObject* Sender)>;

// ---- TPersistent -----------------------------------------------------------------------------------------

/// An object whose content can be copied into another with Assign. Published properties are Qt properties,
/// so that forms can stream them and a designer can show them.
class TPersistent : public QObject {
    Q_OBJECT
public:
    explicit TPersistent(QObject* Parent = nullptr) : QObject(Parent) {}
    ~TPersistent() override = default;

    /// Copies Source's content into this object. The default asks Source to copy itself here
    /// (AssignTo); when neither side knows the other it raises EConvertError
    /// "Cannot assign a SOURCECLASS to a THISCLASS" ("nil" for a null Source).
    virtual void Assign(const TPersistent* Source);
    /// The class name as the framework reports it ("TStringList").
    QString ClassName() const { return QString::fromLatin1(metaObject()->className()).section(u':', -1); }

protected:
    /// Copies this object's content into Dest; the default refuses.
    virtual void AssignTo(TPersistent* Dest) const;
    [[noreturn]] void AssignError(const TPersistent* Source) const;
};

// ---- TComponent ------------------------------------------------------------------------------------------

enum TOperation { opInsert, opRemove };

/// A named object owned by another component. The owner frees the components it owns when it is freed
/// (last inserted first); every component is told (Notification) when a component of the same owner, or one
/// it asked to be told about with FreeNotification, is inserted or removed. The owner is told first, then its
/// other components in the order they were inserted. Names are found by hash; inserting or removing one
/// component costs one notification per component of its owner and no more.
class TComponent : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(QString Name READ Name WRITE SetName)
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    const QString& Name() const { return FName; }
    /// Raises EComponentError "A component named NAME already exists" when the owner has one of that name
    /// (names compare without case).
    void SetName(const QString& NewName);

    int ComponentCount() const { return int(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(Index); }
    TComponent* FindComponent(const QString& AName) const;
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);
    /// Frees every owned component.
    void DestroyComponents();

    /// Asks to be told with Notification(AComponent, opRemove) when AComponent is freed. Mutual: AComponent
    /// is told when this one is freed.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    /// True while the destructor runs.
    bool Destroying() const { return FDestroying; }
    /// True for a component opened to be looked at or edited (a form inspected, not run): it keeps its
    /// properties but starts no timer or transfer of its own. Set on the components it owns as well.
    bool Designing() const { return FDesigning; }
    void SetDesigning(bool Value);

protected:
    /// Called when AComponent is inserted into or removed from the owner, or freed after FreeNotification.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void NotifyAll(TComponent* AComponent, TOperation Operation);
    static QString NameKey(const QString& Name);

    TComponent* FOwner = nullptr;
    QString FName;
    QList<TComponent*> FComponents;
    // Owned components by name (ASCII letters folded, as names compare), and a count of changes to
    // FComponents that tells NotifyAll when a handler changed the list under it.
    QHash<QString, TComponent*> FNames;
    quint64 FChanges = 0;
    QList<TComponent*> FFreeNotifies;
    bool FDestroying = false;
    bool FDesigning = false;
};

// ---- TStrings / TStringList ------------------------------------------------------------------------------

/// A list of text lines. Text joins the lines each followed by CR LF; assigning Text splits it at CR, LF or
/// CR LF. Lines of the form name=value are reached through Names, Values and IndexOfName, which ignore the
/// case of names; IndexOf ignores case as well.
class TStrings : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(QString Text READ Text WRITE SetText)
public:
    explicit TStrings(QObject* Parent = nullptr) : TPersistent(Parent) {}

    virtual int Count() const = 0;
    virtual QString Get(int Index) const = 0;
    virtual void Put(int Index, const QString& S) = 0;
    virtual void Insert(int Index, const QString& S) = 0;
    virtual void Delete(int Index) = 0;
    virtual void Clear() = 0;

    QString operator[](int Index) const { return Get(Index); }
    QString Strings(int Index) const { return Get(Index); }
    /// Appends a line and returns its index.
    virtual int Add(const QString& S);
    void AddStrings(const TStrings* Strings);
    /// The index of the first line equal to S ignoring case, or -1.
    virtual int IndexOf(const QString& S) const;

    /// Every line followed by CR LF.
    virtual QString Text() const;
    /// Replaces the lines by the text split at CR, LF or CR LF; a final line break gives no empty line.
    virtual void SetText(const QString& Value);

    /// The part before the first "=" of line Index ("" when the line has none).
    QString Names(int Index) const;
    /// The part after the first "=" of the first line whose name is Name (ignoring case), or "".
    QString Values(const QString& Name) const;
    /// Sets the value of Name: replaces its line, appends "Name=Value", or deletes the line when Value is "".
    void SetValues(const QString& Name, const QString& Value);
    /// The part after the first "=" of line Index.
    QString ValueFromIndex(int Index) const;
    /// The index of the first line whose name is Name (ignoring case), or -1.
    int IndexOfName(const QString& Name) const;

    /// Lines joined with commas; lines holding spaces, commas or quotes are double-quoted.
    QString CommaText() const;
    void SetCommaText(const QString& Value);

    QStringList ToStringList() const;
    void SetStringList(const QStringList& Lines);

    /// Groups changes: OnChange fires once when the outermost EndUpdate is reached (TStringList).
    void BeginUpdate();
    void EndUpdate();

    void Assign(const TPersistent* Source) override;

protected:
    virtual void SetUpdateState(bool Updating) { (void)Updating; }

private:
    int FUpdateCount = 0;
};

/// The ordinary string list: lines kept in order, OnChange fired after every change.
class TStringList : public TStrings {
    Q_OBJECT
public:
    explicit TStringList(QObject* Parent = nullptr) : TStrings(Parent) {}
    explicit TStringList(const QStringList& Lines) { FList = Lines; }

    int Count() const override { return int(FList.size()); }
    QString Get(int Index) const override;
    void Put(int Index, const QString& S) override;
    void Insert(int Index, const QString& S) override;
    void Delete(int Index) override;
    void Clear() override;
    void SetText(const QString& Value) override;

    const QStringList& Lines() const { return FList; }

    void SetOnChange(std::function<void(TStringList*)> Handler) { FOnChange = std::move(Handler); }

protected:
    void SetUpdateState(bool Updating) override;

private:
    void Changed();
    void CheckIndex(int Index, int Limit) const;

    QStringList FList;
    std::function<void(TStringList*)> FOnChange;
    bool FUpdating = false;
};

// ---- TCollection -----------------------------------------------------------------------------------------

class TCollection;

/// One item of a collection. Constructing an item with a collection appends it there; freeing it removes it.
class TCollectionItem : public TPersistent {
    Q_OBJECT
public:
    explicit TCollectionItem(TCollection* ACollection);
    ~TCollectionItem() override;

    TCollection* Collection() const { return FCollection; }
    /// Position in the collection, -1 when in none.
    int Index() const;

private:
    friend class TCollection;
    TCollection* FCollection = nullptr;
};

/// An ordered collection that owns its items. Items are created through the factory given at construction,
/// so Add returns an item of the collection's own item class. The owner given at construction is also the
/// collection's QObject parent: freeing the owner frees the collection.
class TCollection : public TPersistent {
    Q_OBJECT
public:
    using TItemFactory = std::function<TCollectionItem*(TCollection*)>;
    explicit TCollection(TItemFactory ItemFactory, QObject* AOwner = nullptr);
    ~TCollection() override;

    TCollectionItem* Add();
    int Count() const { return int(FItems.size()); }
    TCollectionItem* Items(int Index) const;
    void Delete(int Index);
    void Clear();
    /// The object the collection belongs to (the component that publishes it), or null.
    QObject* Owner() const { return FOwner; }

    void Assign(const TPersistent* Source) override;

private:
    friend class TCollectionItem;
    void InsertItem(TCollectionItem* Item);
    void RemoveItem(TCollectionItem* Item);

    TItemFactory FItemFactory;
    QPointer<QObject> FOwner;
    QList<TCollectionItem*> FItems;
};

/// A typed view of TCollection for an item class T(TCollection*).
template <class T>
class TOwnedCollection : public TCollection {
public:
    explicit TOwnedCollection(QObject* AOwner = nullptr)
        : TCollection([](TCollection* c) { return new T(c); }, AOwner) {}
    T* Add() { return static_cast<T*>(TCollection::Add()); }
    T* Items(int Index) const { return static_cast<T*>(TCollection::Items(Index)); }
};

// ---- TList -----------------------------------------------------------------------------------------------

/// A plain list of pointers; it owns nothing unless a descendant's Clear frees the items.
template <class T>
class TList {
public:
    TList() = default;
    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;
    virtual ~TList() = default;

    int Add(T* Item) {
        FItems.append(Item);
        return int(FItems.size()) - 1;
    }
    void Insert(int Index, T* Item) {
        CheckIndex(Index, Count());
        FItems.insert(Index, Item);
    }
    void Delete(int Index) {
        CheckIndex(Index, Count() - 1);
        FItems.removeAt(Index);
    }
    int Remove(T* Item) {
        const int i = IndexOf(Item);
        if (i >= 0)
            FItems.removeAt(i);
        return i;
    }
    int IndexOf(const T* Item) const { return int(FItems.indexOf(const_cast<T*>(Item))); }
    int Count() const { return int(FItems.size()); }
    T* Items(int Index) const {
        CheckIndex(Index, Count() - 1);
        return FItems.at(Index);
    }
    T* First() const { return Items(0); }
    T* Last() const { return Items(Count() - 1); }
    virtual void Clear() { FItems.clear(); }

    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

protected:
    QList<T*>& List() { return FItems; }

private:
    static void CheckIndex(int Index, int Max) {
        if (Index < 0 || Index > Max)
            throw EListError(QStringLiteral("List index out of bounds (%1)").arg(Index));
    }
    QList<T*> FItems;
};

// ---- streams ---------------------------------------------------------------------------------------------

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

/// A byte stream with a size and a position. Read and Write return the number of bytes moved;
/// ReadBuffer and WriteBuffer raise EReadError/EWriteError when fewer were moved.
class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    virtual int64_t Read(void* Buffer, int64_t Count) = 0;
    virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
    virtual int64_t Size() const = 0;
    virtual void SetSize(int64_t NewSize) = 0;
    /// True for a stream whose bytes are held in this process's memory (what a reply-size bound limits).
    virtual bool InMemory() const { return false; }

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }
    void ReadBuffer(void* Buffer, int64_t Count);
    void WriteBuffer(const void* Buffer, int64_t Count);
    /// Copies Count bytes from Source (its whole content from the start when Count is 0); returns the count.
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

// File modes: one open mode combined with one share mode. Share modes are kept for callers that name them;
// this platform does not lock files.
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;
constexpr unsigned fmShareCompat = 0x0000;
constexpr unsigned fmShareExclusive = 0x0010;
constexpr unsigned fmShareDenyWrite = 0x0020;
constexpr unsigned fmShareDenyRead = 0x0030;
constexpr unsigned fmShareDenyNone = 0x0040;
constexpr unsigned fmCreate = 0xFF00;
/// With fmCreate: create a new file only; fails when the name exists (a file, or a link of any kind).
constexpr unsigned fmCreateNew = 0x10000;

/// A stream over a file. fmCreate creates or truncates it (EFCreateError on failure); the open modes open an
/// existing file (EFOpenError on failure).
class TFileStream : public TStream {
public:
    TFileStream(const QString& FileName, unsigned Mode);
    ~TFileStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() const override;
    void SetSize(int64_t NewSize) override;

    const QString& FileName() const { return FFileName; }
    unsigned Mode() const { return FMode; }
    /// Pushes buffered bytes to the operating system.
    bool Flush();

private:
    QString FFileName;
    unsigned FMode;
    QFile FFile;
};

/// A stream over a growable block of memory.
class TMemoryStream : public TStream {
public:
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() const override { return FData.size(); }
    void SetSize(int64_t NewSize) override;
    bool InMemory() const override { return true; }

    const QByteArray& Data() const { return FData; }
    QByteArray& Data() { return FData; }
    void Clear() {
        FData.clear();
        FPosition = 0;
    }
    void LoadFromFile(const QString& FileName);
    void SaveToFile(const QString& FileName) const;

protected:
    QByteArray FData;
    int64_t FPosition = 0;
};

/// A memory stream whose bytes are text in the ANSI code page: created from a string, read back with
/// DataString (one character per byte).
class TStringStream : public TMemoryStream {
public:
    explicit TStringStream(const QString& AString = QString());
    QString DataString() const;
    /// Reads Count bytes from the position as text.
    QString ReadString(int64_t Count);
    void WriteString(const QString& AString);
};

} // namespace KvInet
