// Classes: persistent objects, components with owners, string lists, collections and streams.
#include "platform/Classes.h"

#include "platform/WireText.h"

#include <QSaveFile>
#include <QSet>

#include <cstring>
#include <utility>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace KvInet {

// ---- TPersistent -----------------------------------------------------------------------------------------

void TPersistent::Assign(const TPersistent* Source) {
    if (Source)
        Source->AssignTo(this);
    else
        AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* Dest) const {
    Dest->AssignError(this);
}

void TPersistent::AssignError(const TPersistent* Source) const {
    const QString sourceName = Source ? Source->ClassName() : QStringLiteral("nil");
    throw EConvertError(QStringLiteral("Cannot assign a %1 to a %2").arg(sourceName, ClassName()));
}

// ---- TComponent ------------------------------------------------------------------------------------------

TComponent::TComponent(TComponent* AOwner) : TPersistent(nullptr) {
    if (AOwner)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    FDestroying = true;
    // Tell everyone who asked; each of them drops us from its own list in Notification or below.
    while (!FFreeNotifies.isEmpty()) {
        TComponent* other = FFreeNotifies.takeLast();
        other->FFreeNotifies.removeAll(this);
        other->Notification(this, opRemove);
    }
    DestroyComponents();
    if (FOwner)
        FOwner->RemoveComponent(this);
}

QString TComponent::NameKey(const QString& Name) {
    return UpperCase(Name);
}

void TComponent::SetName(const QString& NewName) {
    if (NewName == FName)
        return;
    if (FOwner && !NewName.isEmpty()) {
        TComponent* existing = FOwner->FindComponent(NewName);
        if (existing && existing != this)
            throw EComponentError(QStringLiteral("A component named %1 already exists").arg(NewName));
    }
    if (FOwner) {
        if (!FName.isEmpty())
            FOwner->FNames.remove(NameKey(FName));
        if (!NewName.isEmpty())
            FOwner->FNames.insert(NameKey(NewName), this);
    }
    FName = NewName;
    setObjectName(NewName);
}

TComponent* TComponent::FindComponent(const QString& AName) const {
    if (AName.isEmpty())
        return nullptr;
    return FNames.value(NameKey(AName), nullptr);
}

void TComponent::SetDesigning(bool Value) {
    FDesigning = Value;
    for (TComponent* component : std::as_const(FComponents))
        component->SetDesigning(Value);
}

void TComponent::InsertComponent(TComponent* AComponent) {
    if (!AComponent || AComponent->FOwner == this)
        return;
    if (AComponent->FOwner)
        AComponent->FOwner->RemoveComponent(AComponent);
    if (!AComponent->FName.isEmpty() && FindComponent(AComponent->FName))
        throw EComponentError(QStringLiteral("A component named %1 already exists").arg(AComponent->FName));
    FComponents.append(AComponent);
    ++FChanges;
    if (!AComponent->FName.isEmpty())
        FNames.insert(NameKey(AComponent->FName), AComponent);
    AComponent->FOwner = this;
    // The Qt tree mirrors ownership, so Qt-side tools (findChild, the designer) see the same structure.
    AComponent->setParent(this);
    NotifyAll(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    if (!AComponent || AComponent->FOwner != this)
        return;
    NotifyAll(AComponent, opRemove);
    // From the end: an owner being freed removes its last component first.
    const qsizetype index = FComponents.lastIndexOf(AComponent);
    if (index >= 0) {
        FComponents.removeAt(index);
        ++FChanges;
    }
    if (!AComponent->FName.isEmpty())
        FNames.remove(NameKey(AComponent->FName));
    AComponent->FOwner = nullptr;
    AComponent->setParent(nullptr);
}

void TComponent::NotifyAll(TComponent* AComponent, TOperation Operation) {
    Notification(AComponent, Operation);
    // A handler may free or move components. The loop runs over a copy (shared until the list changes)
    // and asks no question per component while the list stays as it was; once a handler changed it, a
    // set of the present components tells which of the rest are still ours to tell.
    const QList<TComponent*> siblings = FComponents;
    const quint64 changes = FChanges;
    QSet<TComponent*> present;
    quint64 presentAt = changes;
    for (TComponent* c : siblings) {
        if (c == AComponent)
            continue;
        if (FChanges != changes) {
            if (presentAt != FChanges) {
                present = QSet<TComponent*>(FComponents.cbegin(), FComponents.cend());
                presentAt = FChanges;
            }
            if (!present.contains(c))
                continue;
        }
        c->Notification(AComponent, Operation);
    }
}

void TComponent::DestroyComponents() {
    // Last inserted first, like the framework; each destructor removes itself from the list.
    while (!FComponents.isEmpty()) {
        TComponent* c = FComponents.last();
        delete c;
        if (!FComponents.isEmpty() && FComponents.last() == c)
            FComponents.removeLast();
    }
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (!AComponent || AComponent == this)
        return;
    if (!FFreeNotifies.contains(AComponent))
        FFreeNotifies.append(AComponent);
    if (!AComponent->FFreeNotifies.contains(this))
        AComponent->FFreeNotifies.append(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (!AComponent)
        return;
    FFreeNotifies.removeAll(AComponent);
    AComponent->FFreeNotifies.removeAll(this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    (void)AComponent;
    (void)Operation;
}

// ---- TStrings --------------------------------------------------------------------------------------------

int TStrings::Add(const QString& S) {
    const int index = Count();
    Insert(index, S);
    return index;
}

void TStrings::AddStrings(const TStrings* Strings) {
    if (!Strings)
        return;
    BeginUpdate();
    for (int i = 0; i < Strings->Count(); ++i)
        Add(Strings->Get(i));
    EndUpdate();
}

int TStrings::IndexOf(const QString& S) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Get(i), S))
            return i;
    return -1;
}

QString TStrings::Text() const {
    qsizetype length = 0;
    const int n = Count();
    for (int i = 0; i < n; ++i)
        length += Get(i).size() + 2;
    QString result;
    result.reserve(length);
    for (int i = 0; i < n; ++i) {
        result += Get(i);
        result += QLatin1String("\r\n");
    }
    return result;
}

namespace {
// Lines of a text split at CR, LF or CR LF; a final line break gives no empty line.
QStringList SplitLines(const QString& Value) {
    QStringList lines;
    const qsizetype n = Value.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = Value[i];
        if (c == u'\r' || c == u'\n') {
            lines << Value.mid(start, i - start);
            if (c == u'\r' && i + 1 < n && Value[i + 1] == u'\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines << Value.mid(start);
    return lines;
}
} // namespace

void TStrings::SetText(const QString& Value) { SetStringList(SplitLines(Value)); }

QString TStrings::Names(int Index) const {
    const QString line = Get(Index);
    const qsizetype eq = line.indexOf(u'=');
    return eq < 0 ? QString() : line.left(eq);
}

int TStrings::IndexOfName(const QString& Name) const {
    const int n = Count();
    for (int i = 0; i < n; ++i) {
        const QString line = Get(i);
        const qsizetype eq = line.indexOf(u'=');
        if (eq >= 0 && eq == Name.size() && CompareText(line.left(eq), Name) == 0)
            return i;
    }
    return -1;
}

QString TStrings::Values(const QString& Name) const {
    const int i = IndexOfName(Name);
    return i < 0 ? QString() : ValueFromIndex(i);
}

QString TStrings::ValueFromIndex(int Index) const {
    const QString line = Get(Index);
    const qsizetype eq = line.indexOf(u'=');
    return eq < 0 ? QString() : line.mid(eq + 1);
}

void TStrings::SetValues(const QString& Name, const QString& Value) {
    const int i = IndexOfName(Name);
    if (Value.isEmpty()) {
        if (i >= 0)
            Delete(i);
    } else if (i >= 0) {
        Put(i, Name + u'=' + Value);
    } else {
        Add(Name + u'=' + Value);
    }
}

QString TStrings::CommaText() const {
    QStringList parts;
    for (int i = 0; i < Count(); ++i) {
        QString s = Get(i);
        bool quote = s.isEmpty();
        for (QChar c : s)
            if (c.unicode() <= 0x20 || c == u',' || c == u'"')
                quote = true;
        if (quote) {
            s.replace(QLatin1String("\""), QLatin1String("\"\""));
            s = u'"' + s + u'"';
        }
        parts << s;
    }
    return parts.join(u',');
}

void TStrings::SetCommaText(const QString& Value) {
    BeginUpdate();
    Clear();
    const qsizetype n = Value.size();
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < n && Value[i].unicode() <= 0x20)
            ++i;
    };
    skipBlanks();
    while (i < n) {
        QString item;
        if (Value[i] == u'"') {
            ++i;
            while (i < n) {
                if (Value[i] == u'"') {
                    if (i + 1 < n && Value[i + 1] == u'"') {
                        item += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += Value[i++];
            }
        } else {
            while (i < n && Value[i] != u',' && Value[i].unicode() > 0x20)
                item += Value[i++];
        }
        Add(item);
        skipBlanks();
        if (i < n && Value[i] == u',') {
            ++i;
            skipBlanks();
            if (i >= n)
                Add(QString());
        }
    }
    EndUpdate();
}

QStringList TStrings::ToStringList() const {
    QStringList result;
    result.reserve(Count());
    for (int i = 0; i < Count(); ++i)
        result << Get(i);
    return result;
}

void TStrings::SetStringList(const QStringList& Lines) {
    BeginUpdate();
    Clear();
    for (const QString& s : Lines)
        Add(s);
    EndUpdate();
}

void TStrings::BeginUpdate() {
    if (FUpdateCount++ == 0)
        SetUpdateState(true);
}

void TStrings::EndUpdate() {
    if (FUpdateCount > 0 && --FUpdateCount == 0)
        SetUpdateState(false);
}

void TStrings::Assign(const TPersistent* Source) {
    if (const auto* strings = qobject_cast<const TStrings*>(Source)) {
        if (strings == this)
            return;
        BeginUpdate();
        Clear();
        AddStrings(strings);
        EndUpdate();
        return;
    }
    TPersistent::Assign(Source);
}

// ---- TStringList -----------------------------------------------------------------------------------------

void TStringList::CheckIndex(int Index, int Limit) const {
    if (Index < 0 || Index > Limit)
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(Index));
}

QString TStringList::Get(int Index) const {
    CheckIndex(Index, Count() - 1);
    return FList.at(Index);
}

void TStringList::Put(int Index, const QString& S) {
    CheckIndex(Index, Count() - 1);
    FList[Index] = S;
    Changed();
}

void TStringList::Insert(int Index, const QString& S) {
    CheckIndex(Index, Count());
    FList.insert(Index, S);
    Changed();
}

void TStringList::Delete(int Index) {
    CheckIndex(Index, Count() - 1);
    FList.removeAt(Index);
    Changed();
}

void TStringList::Clear() {
    if (FList.isEmpty())
        return;
    FList.clear();
    Changed();
}

void TStringList::SetText(const QString& Value) {
    // Straight into the list, one change notification: large texts are common here.
    FList = SplitLines(Value);
    Changed();
}

void TStringList::SetUpdateState(bool Updating) {
    FUpdating = Updating;
    if (!Updating)
        Changed();
}

void TStringList::Changed() {
    if (!FUpdating && FOnChange)
        FOnChange(this);
}

// ---- TCollection -----------------------------------------------------------------------------------------

TCollectionItem::TCollectionItem(TCollection* ACollection) : TPersistent(ACollection) {
    if (ACollection)
        ACollection->InsertItem(this);
}

TCollectionItem::~TCollectionItem() {
    if (FCollection)
        FCollection->RemoveItem(this);
}

int TCollectionItem::Index() const {
    return FCollection ? int(FCollection->FItems.indexOf(this)) : -1;
}

// The owner is also the QObject parent: a component's published collections go with it.
TCollection::TCollection(TItemFactory ItemFactory, QObject* AOwner)
    : TPersistent(AOwner), FItemFactory(std::move(ItemFactory)), FOwner(AOwner) {}

TCollection::~TCollection() {
    Clear();
}

TCollectionItem* TCollection::Add() {
    return FItemFactory(this);
}

TCollectionItem* TCollection::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(Index));
    return FItems.at(Index);
}

void TCollection::Delete(int Index) {
    delete Items(Index);
}

void TCollection::Clear() {
    // All items leave the list at once and are freed first to last: freeing them one by one from the list
    // (or last first, where Qt looks for each among this object's children from the front) costs a search
    // per item, which a collection of many thousand items pays quadratically.
    const QList<TCollectionItem*> items = std::exchange(FItems, {});
    for (TCollectionItem* item : items)
        item->FCollection = nullptr;
    for (TCollectionItem* item : items)
        delete item;
}

void TCollection::InsertItem(TCollectionItem* Item) {
    FItems.append(Item);
    Item->FCollection = this;
    Item->setParent(this);
}

void TCollection::RemoveItem(TCollectionItem* Item) {
    const qsizetype index = FItems.lastIndexOf(Item);
    if (index >= 0)
        FItems.removeAt(index);
    Item->FCollection = nullptr;
}

void TCollection::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TCollection*>(Source)) {
        if (other == this)
            return;
        // The copies are made aside first: an item that refuses its source (a collection of another item
        // class) leaves this collection as it was instead of emptied.
        TCollection copies(FItemFactory);
        for (TCollectionItem* item : other->FItems)
            copies.Add()->Assign(item);
        Clear();
        // Moved first to last in one go: no search per item.
        for (TCollectionItem* item : std::exchange(copies.FItems, {}))
            InsertItem(item);
        return;
    }
    TPersistent::Assign(Source);
}

// ---- streams ---------------------------------------------------------------------------------------------

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count)
        throw EReadError(QStringLiteral("Stream read error"));
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count)
        throw EWriteError(QStringLiteral("Stream write error"));
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    const int64_t total = Count;
    QByteArray buffer(int(std::min<int64_t>(Count, 1 << 20)), Qt::Uninitialized);
    while (Count > 0) {
        const int64_t n = std::min<int64_t>(Count, buffer.size());
        Source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.constData(), n);
        Count -= n;
    }
    return total;
}

TFileStream::TFileStream(const QString& FileName, unsigned Mode) : FFileName(FileName), FMode(Mode) {
    FFile.setFileName(FileName);
    if ((Mode & fmCreate) == fmCreate) {
        const QIODevice::OpenMode create = (Mode & fmCreateNew) ? QIODevice::NewOnly : QIODevice::Truncate;
        if (!FFile.open(QIODevice::ReadWrite | create))
            throw EFCreateError(
                QStringLiteral("Cannot create file \"%1\". %2").arg(FileName, FFile.errorString()));
        return;
    }
    QIODevice::OpenMode openMode = QIODevice::ReadOnly;
    switch (Mode & 0x3) {
    case fmOpenWrite:
#if defined(Q_OS_UNIX)
    {
        // QFile's write-only mode truncates the file; opening for writing must keep its content, so the
        // descriptor is opened here and handed over.
        const int fd = ::open(QFile::encodeName(FileName).constData(), O_WRONLY | O_CLOEXEC);
        const QString reason = fd < 0 ? qt_error_string(errno) : QString();
        if (fd < 0 || !FFile.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
            if (fd >= 0)
                ::close(fd);
            throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2")
                                  .arg(FileName, reason.isEmpty() ? FFile.errorString() : reason));
        }
        return;
    }
#else
        openMode = QIODevice::ReadWrite | QIODevice::ExistingOnly;
        break;
#endif
    case fmOpenReadWrite:
        openMode = QIODevice::ReadWrite | QIODevice::ExistingOnly;
        break;
    default:
        break;
    }
    if (!FFile.open(openMode))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(FileName, FFile.errorString()));
}

TFileStream::~TFileStream() = default;

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
    const qint64 n = FFile.read(static_cast<char*>(Buffer), Count);
    return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
    const qint64 n = FFile.write(static_cast<const char*>(Buffer), Count);
    return n < 0 ? 0 : n;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t target = Offset;
    if (Origin == soCurrent)
        target += FFile.pos();
    else if (Origin == soEnd)
        target += FFile.size();
    if (target < 0)
        target = 0;
    if (target != FFile.pos())
        FFile.seek(target);
    return FFile.pos();
}

int64_t TFileStream::Size() const {
    return FFile.size();
}

void TFileStream::SetSize(int64_t NewSize) {
    if (!FFile.resize(NewSize))
        throw EWriteError(QStringLiteral("Stream write error"));
    if (FFile.pos() > NewSize)
        FFile.seek(NewSize);
}

bool TFileStream::Flush() {
    return FFile.flush();
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
    const int64_t n = std::max<int64_t>(0, std::min<int64_t>(Count, FData.size() - FPosition));
    if (n > 0)
        std::memcpy(Buffer, FData.constData() + FPosition, size_t(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0)
        return 0;
    // Writing past the end grows the block; a gap left by seeking beyond the end reads as zeros.
    if (FPosition + Count > FData.size())
        FData.resize(FPosition + Count, '\0');
    std::memcpy(FData.data() + FPosition, Buffer, size_t(Count));
    FPosition += Count;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t target = Offset;
    if (Origin == soCurrent)
        target += FPosition;
    else if (Origin == soEnd)
        target += FData.size();
    FPosition = std::max<int64_t>(0, target);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    FData.resize(NewSize, '\0');
    FPosition = std::min<int64_t>(FPosition, NewSize);
}

void TMemoryStream::LoadFromFile(const QString& FileName) {
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(QStringLiteral("Cannot open file \"%1\". %2").arg(FileName, file.errorString()));
    FData = file.readAll();
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const QString& FileName) const {
    QSaveFile file(FileName);
    if (!file.open(QIODevice::WriteOnly))
        throw EFCreateError(
            QStringLiteral("Cannot create file \"%1\". %2").arg(FileName, file.errorString()));
    file.write(FData);
    if (!file.commit())
        throw EWriteError(QStringLiteral("Stream write error"));
}

TStringStream::TStringStream(const QString& AString) {
    FData = StringToAnsi(AString);
}

QString TStringStream::DataString() const {
    return AnsiToString(FData);
}

QString TStringStream::ReadString(int64_t Count) {
    const int64_t n = std::max<int64_t>(0, std::min<int64_t>(Count, FData.size() - FPosition));
    const QString result = AnsiToString(FData.mid(FPosition, n));
    FPosition += n;
    return result;
}

void TStringStream::WriteString(const QString& AString) {
    const QByteArray bytes = StringToAnsi(AString);
    Write(bytes.constData(), bytes.size());
}

} // namespace KvInet
