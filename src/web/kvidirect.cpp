// kvidirect: the news file reader, the news tree (printed or as Qt widgets) and the web direct component.
#include "web/kvidirect.h"

#include "platform/Forms.h"
#include "platform/SysUtils.h"

#include <QBitmap>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>

namespace KvInet {

// ---- the news file ---------------------------------------------------------------------------------------

namespace {

QString DecodeLine(QByteArrayView Line) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(Line);
    if (utf8.hasError())
        return QString::fromLatin1(Line.data(), Line.size());
    return text;
}

// Sections and keys compare without case, as the profile functions do.
QString Fold(const QString& Name) {
    return Name.toCaseFolded();
}

} // namespace

bool TKvNewsFile::Load(const QString& FileName) {
    FSections.clear();
    FTruncated = false;
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // One byte past the bound tells a file that is larger from one that is exactly as large.
    QByteArray data = file.read(MaxBytes + 1);
    const bool larger = data.size() > MaxBytes;
    if (larger) {
        data.truncate(MaxBytes);
        data.truncate(data.lastIndexOf('\n') + 1); // no half line
    }
    LoadFromData(data);
    FTruncated = FTruncated || larger;
    return true;
}

void TKvNewsFile::LoadFromData(const QByteArray& Data) {
    FSections.clear();
    FTruncated = false;
    QByteArrayView rest(Data);
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);
    QHash<QString, qsizetype> known; // folded name -> index in FSections
    TKvNewsSection* current = nullptr;
    int nodes = 0;
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf('\n');
        QByteArrayView raw = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        const QString line = DecodeLine(raw).trimmed(); // also drops the "\r" of a CRLF line
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            const QString folded = Fold(name);
            if (known.contains(folded)) {
                current = nullptr; // a section again: its first occurrence is the one read
                continue;
            }
            if (++nodes > MaxNodes) {
                FTruncated = true;
                break;
            }
            known.insert(folded, FSections.size());
            FSections.append({name, {}});
            current = &FSections.last();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!current || equals < 0)
            continue;
        if (++nodes > MaxNodes) {
            FTruncated = true;
            break;
        }
        current->Entries.append({line.left(equals).trimmed(), line.mid(equals + 1).trimmed()});
    }
}

QString TKvNewsFile::ReadString(const QString& Section, const QString& Key) const {
    const QString section = Fold(Section);
    const QString key = Fold(Key);
    for (const TKvNewsSection& s : FSections) {
        if (Fold(s.Name) != section)
            continue;
        for (const TKvNewsEntry& e : s.Entries)
            if (Fold(e.Key) == key)
                return e.Value;
        return {};
    }
    return {};
}

namespace {

// Server text shown on a terminal or in a cell: tabs become spaces, other control characters "?".
QString Visible(const QString& Text) {
    QString out = Text;
    for (QChar& c : out) {
        if (c == u'\t')
            c = u' ';
        else if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0) || c == QChar(0x2028) ||
                 c == QChar(0x2029))
            c = u'?';
    }
    return out;
}

} // namespace

QList<TKvNewsGroup> NewsTree(const TKvNewsFile& News, const TKvNewsFile* Previous) {
    QList<TKvNewsGroup> groups;
    for (const TKvNewsSection& section : News.Sections()) {
        TKvNewsGroup group{Visible(section.Name), {}};
        for (const TKvNewsEntry& entry : section.Entries) {
            TKvNewsItem item;
            item.Link = entry.Key;
            // A key that occurs twice shows its first caption both times, as a lookup by key gives.
            item.Caption = Visible(News.ReadString(section.Name, entry.Key));
            item.New = !Previous || Previous->ReadString(section.Name, entry.Key).isEmpty();
            group.Items.append(item);
        }
        groups.append(group);
    }
    return groups;
}

QString NewsTreeText(const QList<TKvNewsGroup>& Groups) {
    QString text;
    for (const TKvNewsGroup& group : Groups) {
        text += Visible(group.Name) + u'\n';
        for (const TKvNewsItem& item : group.Items)
            text += (item.New ? QStringLiteral("  * ") : QStringLiteral("    ")) + Visible(item.Caption) +
                    u'\t' + Visible(item.Link) + u'\n';
    }
    return text;
}

// ---- TKvITreeView ----------------------------------------------------------------------------------------

namespace {

const int NodeType = QTreeWidgetItem::UserType + 0x5D;

class TKvITreeNode : public QTreeWidgetItem {
public:
    TKvITreeNode(std::unique_ptr<TKvINodeData> AData) : QTreeWidgetItem(NodeType), Data(std::move(AData)) {}
    std::unique_ptr<TKvINodeData> Data;
};

// The hot item (under the mouse) underlined, as a tracking tree draws it.
class TTrackDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* Option, const QModelIndex& Index) const override {
        QStyledItemDelegate::initStyleOption(Option, Index);
        if (Option->state & QStyle::State_MouseOver)
            Option->font.setUnderline(true);
    }
};

} // namespace

TKvITreeView::TKvITreeView(QWidget* Parent) : QTreeWidget(Parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_Hover);
    setItemDelegate(new TTrackDelegate(this));
}

TKvITreeView::~TKvITreeView() = default;

QTreeWidgetItem* TKvITreeView::AddNode(QTreeWidgetItem* Parent, const QString& Caption,
                                       std::unique_ptr<TKvINodeData> Data) {
    auto* node = new TKvITreeNode(std::move(Data));
    node->setText(0, Caption);
    if (Parent)
        Parent->addChild(node);
    else
        addTopLevelItem(node);
    return node;
}

TKvINodeData* TKvITreeView::NodeData(const QTreeWidgetItem* Node) {
    if (!Node || Node->type() != NodeType)
        return nullptr;
    return static_cast<const TKvITreeNode*>(Node)->Data.get();
}

QTreeWidgetItem* TKvITreeView::NodeAt(const QPoint& Pos) const {
    QTreeWidgetItem* node = itemAt(Pos);
    // The row's indentation and expander are not the item: only its glyph and caption are.
    if (!node || !visualItemRect(node).contains(Pos))
        return nullptr;
    return node;
}

void TKvITreeView::SetHotNode(QTreeWidgetItem* Node) {
    FHotNode = Node;
    if (NodeData(Node))
        viewport()->setCursor(Qt::PointingHandCursor);
    else
        viewport()->unsetCursor();
}

void TKvITreeView::Click(QTreeWidgetItem* Node) {
    FClickedNode = Node;
    if (FOnClick)
        FOnClick(this);
    // The handler may have closed the window; this object is still alive until control returns to the loop.
}

void TKvITreeView::mousePressEvent(QMouseEvent* Event) {
    FPressedNode = Event->button() == Qt::LeftButton ? NodeAt(Event->position().toPoint()) : nullptr;
    QTreeWidget::mousePressEvent(Event);
}

void TKvITreeView::mouseReleaseEvent(QMouseEvent* Event) {
    QTreeWidgetItem* node = Event->button() == Qt::LeftButton ? NodeAt(Event->position().toPoint()) : nullptr;
    const bool click = Event->button() == Qt::LeftButton;
    const bool same = node && node == FPressedNode;
    FPressedNode = nullptr;
    QTreeWidget::mouseReleaseEvent(Event);
    // A click on empty space (or one that moved off the pressed item) clicks nothing, and says so.
    if (click)
        Click(same ? node : nullptr);
}

void TKvITreeView::mouseMoveEvent(QMouseEvent* Event) {
    SetHotNode(NodeAt(Event->position().toPoint()));
    QTreeWidget::mouseMoveEvent(Event);
}

void TKvITreeView::leaveEvent(QEvent* Event) {
    SetHotNode(nullptr);
    QTreeWidget::leaveEvent(Event);
}

void TKvITreeView::keyPressEvent(QKeyEvent* Event) {
    if ((Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter) && currentItem()) {
        Click(currentItem());
        Event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(Event);
}

// ---- TKvIImageList, TKvIDirectForm -----------------------------------------------------------------------

int TKvIImageList::AddMasked(const QImage& Image, QRgb MaskColor) {
    QPixmap pixmap = QPixmap::fromImage(Image);
    pixmap.setMask(QBitmap::fromImage(Image.createMaskFromColor(MaskColor, Qt::MaskInColor)));
    FImages.append(pixmap);
    return int(FImages.size() - 1);
}

TKvIDirectForm::TKvIDirectForm(QWidget* Parent) : QWidget(Parent, Parent ? Qt::Widget : Qt::Window) {
    if (Parent) {
        setGeometry(Parent->rect());
        Parent->installEventFilter(this);
    }
}

TKvIDirectForm::~TKvIDirectForm() = default;

void TKvIDirectForm::closeEvent(QCloseEvent* Event) {
    TCloseAction action = caHide;
    if (FOnClose)
        FOnClose(this, action);
    switch (action) {
    case caNone:
        Event->ignore();
        return;
    case caMinimize:
        Event->ignore();
        showMinimized();
        return;
    case caFree:
        deleteLater();
        break;
    case caHide:
        break;
    }
    Event->accept();
    emit Closed();
}

bool TKvIDirectForm::eventFilter(QObject* Watched, QEvent* Event) {
    // Aligned to fill the parent control's client area, whatever size it takes.
    if (Watched == parentWidget() && Event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(Watched, Event);
}

// ---- TKvWebDirect ----------------------------------------------------------------------------------------

namespace {

QImage LoadGlyph(const char* Name) {
    QImage image(QStringLiteral(":/kvinet/") + QLatin1String(Name));
    if (image.isNull())
        throw Exception(QStringLiteral("Cannot load the resource \"%1\"").arg(QLatin1String(Name)));
    return image;
}

void WriteOut(const QString& Text) {
    const QByteArray bytes = Text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

TKvWebDirect::TKvWebDirect(TComponent* AOwner)
    : TKvCustomWebUpdater(AOwner),
      FTitle(QStringLiteral("Norvalith WebDirect")), FLinkSchemes{
                                                         QStringLiteral("http"), QStringLiteral("https"),
                                                         QStringLiteral("ftp"), QStringLiteral("mailto")} {
    SetLocalFileName(DefaultLocalFileName());
}

TKvWebDirect::~TKvWebDirect() {
    // The windows' handlers are this component's methods: none may outlive it.
    const QList<QPointer<QObject>> windows = FWindows;
    for (const QPointer<QObject>& window : windows)
        delete window.data();
}

QString TKvWebDirect::DefaultLocalFileName() {
    // The executable's folder is seldom writable (a system bin directory) and would be shared by every
    // user: the news file lives in the user's data directory instead.
    QString program = QCoreApplication::instance()
                          ? QCoreApplication::applicationFilePath()
                          : QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    QString base = ChangeFileExt(QFileInfo(program).fileName(), QStringLiteral(".sin"));
    if (base == QLatin1String(".sin"))
        base = QStringLiteral("news.sin");
    QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (dir.isEmpty())
        dir = QDir::homePath();
    return dir + u'/' + base;
}

QString TKvWebDirect::PreviousFileName() const {
    const QString local = LocalFileName();
    if (local.endsWith(QLatin1String(".~sin")))
        return local + QStringLiteral(".~sin");
    return ChangeFileExt(local, QStringLiteral(".~sin"));
}

void TKvWebDirect::KeepPreviousCopy() {
    const QString local = LocalFileName();
    if (!QFileInfo(local).isFile())
        return;
    // Written beside the target and renamed over it, so an older copy is always replaced (a plain copy
    // refuses an existing target, which would keep the first copy forever and every item new).
    QFile source(local);
    QSaveFile target(PreviousFileName());
    QString reason;
    if (!source.open(QIODevice::ReadOnly))
        reason = source.errorString();
    else if (!target.open(QIODevice::WriteOnly))
        reason = target.errorString();
    else {
        QByteArray block;
        while (reason.isEmpty() && !(block = source.read(1 << 20)).isEmpty())
            if (target.write(block) != block.size())
                reason = target.errorString();
        if (reason.isEmpty() && source.error() != QFileDevice::NoError)
            reason = source.errorString();
        if (reason.isEmpty() && !target.commit())
            reason = target.errorString();
    }
    if (!reason.isEmpty())
        throw EFCreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(PreviousFileName(), reason));
}

bool TKvWebDirect::Execute() {
    // The default news file's directory may not exist yet on a first run.
    const QFileInfo local(LocalFileName());
    if (!local.absoluteDir().exists())
        QDir().mkpath(local.absolutePath());
    KeepPreviousCopy();
    const bool result = TKvCustomWebUpdater::Execute();
    if (FShowMode == omAlways || (FShowMode == omIfChanged && result && Status() == isFinished))
        InternalShow(true);
    return result;
}

void TKvWebDirect::Show() {
    InternalShow(false);
}

void TKvWebDirect::ShowModal() {
    InternalShow(true);
}

bool TKvWebDirect::LinkAllowed(const QString& Link) const {
    if (Link.isEmpty())
        return false;
    for (QChar c : Link)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    const QUrl url(Link, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (!FLinkSchemes.contains(scheme, Qt::CaseInsensitive))
        return false;
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp"))
        return !url.host().isEmpty();
    if (scheme == QLatin1String("mailto"))
        return !url.path().isEmpty();
    return true;
}

bool TKvWebDirect::OpenLink(const QString& Link) {
    if (!LinkAllowed(Link)) {
        // The first line is ours, so a message box never reads the server's text as markup.
        MessageDlg(QStringLiteral("This link was not opened: only %1 links are opened.\n%2")
                       .arg(FLinkSchemes.join(QStringLiteral(", ")), Visible(Link.left(300))),
                   mtWarning, mbOK);
        return false;
    }
    return OpenURL(QUrl(Link, QUrl::StrictMode));
}

void TKvWebDirect::InternalShow(bool Modal) {
    const bool hadPrevious = QFileInfo(PreviousFileName()).isFile();
    TKvNewsFile news, previous;
    news.Load(LocalFileName());
    if (hadPrevious)
        previous.Load(PreviousFileName());
    const QList<TKvNewsGroup> groups = NewsTree(news, hadPrevious ? &previous : nullptr);
    if (!HasWidgets()) {
        WriteOut(NewsTreeText(groups));
        return;
    }

    QWidget* parent = FParentControl.data();
    auto form = std::make_unique<TKvIDirectForm>(parent);
    if (!parent) {
        form->setWindowTitle(FTitle);
        form->resize(460, 320);
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            form->move(screen->availableGeometry().center() - form->rect().center());
    }
    form->SetOnClose(
        [this](QObject* Sender, TKvIDirectForm::TCloseAction& Action) { DialogClose(Sender, Action); });

    auto* images = new TKvIImageList(form.get());
    images->AddMasked(LoadGlyph("DIRECT_OLD"), qRgb(255, 255, 255));
    images->AddMasked(LoadGlyph("DIRECT_NEW"), qRgb(255, 255, 255));
    const QIcon glyph[2] = {QIcon(images->Images().at(0)), QIcon(images->Images().at(1))};

    auto* view = new TKvITreeView(form.get());
    auto* fill = new QVBoxLayout(form.get()); // the tree fills the window
    fill->setContentsMargins(0, 0, 0, 0);
    fill->addWidget(view);
    view->setIconSize(images->Images().at(0).size());
    view->SetOnClick([this](QObject* Sender) { TreeClick(Sender); });
    view->setUpdatesEnabled(false);
    for (const TKvNewsGroup& group : groups) {
        QTreeWidgetItem* section = view->AddNode(nullptr, group.Name);
        section->setIcon(0, glyph[0]);
        for (const TKvNewsItem& item : group.Items) {
            auto data = std::make_unique<TKvINodeData>();
            data->Url = item.Link;
            QTreeWidgetItem* leaf = view->AddNode(section, item.Caption, std::move(data));
            leaf->setToolTip(0, Visible(item.Link)); // where a click goes, before it goes there
            leaf->setIcon(0, glyph[item.New ? 1 : 0]);
            if (item.New) {
                QFont bold = view->font();
                bold.setBold(true);
                leaf->setFont(0, bold);
            }
        }
    }
    if (view->topLevelItemCount() > 0) {
        view->expandAll();
        view->setCurrentItem(view->topLevelItem(0));
        view->scrollToItem(view->topLevelItem(0));
    }
    view->setUpdatesEnabled(true);

    TKvIDirectForm* shown = form.release();
    connect(shown, &QObject::destroyed, this, [this](QObject* Sender) { DialogDestroy(Sender); });
    FWindows.append(shown);
    frm = shown;
    tree = view;
    FImageList = images;
    FNewest = shown;

    if (!Modal || parent) {
        shown->show();
        return;
    }
    shown->setWindowModality(Qt::ApplicationModal);
    QEventLoop loop;
    connect(shown, &TKvIDirectForm::Closed, &loop, &QEventLoop::quit);
    connect(shown, &QObject::destroyed, &loop, &QEventLoop::quit);
    shown->show();
    const QPointer<TKvIDirectForm> guard(shown);
    loop.exec();
    // Closed and due to be freed: freed now, since no outer event loop may come to it (a console program
    // that only shows the news).
    if (guard && !guard->isVisible())
        delete guard.data();
}

void TKvWebDirect::TreeClick(QObject* Sender) {
    auto* view = qobject_cast<TKvITreeView*>(Sender);
    if (!view)
        return;
    // The item under the mouse (or the current one at Enter), never an earlier selection.
    if (const TKvINodeData* data = TKvITreeView::NodeData(view->ClickedNode()))
        OpenLink(data->Url);
}

void TKvWebDirect::DialogClose(QObject* /*Sender*/, TKvIDirectForm::TCloseAction& Action) {
    Action = TKvIDirectForm::caFree;
}

void TKvWebDirect::DialogDestroy(QObject* Sender) {
    // Each window keeps its own glyphs and item data, which go with it; only the fields that refer to this
    // window are forgotten, so closing an earlier window leaves the newest one alone.
    FWindows.removeIf([Sender](const QPointer<QObject>& W) { return W.isNull() || W.data() == Sender; });
    if (Sender == FNewest) {
        frm = nullptr;
        tree = nullptr;
        FImageList = nullptr;
        FNewest = nullptr;
    }
}

} // namespace KvInet
