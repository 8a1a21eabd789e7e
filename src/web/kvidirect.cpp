// kvidirect: the news file reader, the news tree (printed or as Qt widgets) and the web direct component.
#include "web/kvidirect.h"

#include "platform/Forms.h"
#include "platform/SysUtils.h"
#include "platform/System.h"

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
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>
#include <optional>

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
    FCut = ctNone;
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
    if (larger && FCut == ctNone)
        FCut = ctBytes;
    return true;
}

void TKvNewsFile::LoadFromData(const QByteArray& Data) {
    FSections.clear();
    FCut = ctNone;
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
                FCut = ctNodes;
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
            FCut = ctNodes;
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

QString TKvNewsFile::TruncatedText() const {
    switch (FCut) {
    case ctBytes:
        return QStringLiteral("The news file is larger than %1 MiB: only its first %1 MiB are shown.")
            .arg(MaxBytes >> 20);
    case ctNodes:
        return QStringLiteral(
                   "The news file holds more than %1 sections and items: only the first %1 are shown.")
            .arg(QLocale(QLocale::English).toString(MaxNodes));
    case ctNone:
        break;
    }
    return {};
}

QString NewsVisibleText(const QString& Text) {
    QString out = Text;
    for (QChar& c : out) {
        const char16_t u = c.unicode();
        if (u == u'\t')
            c = u' ';
        // Bidirectional controls reorder the text around them on screen: a caption could show a link or a
        // name other than the one it holds.
        else if (u < 0x20 || (u >= 0x7F && u < 0xA0) || IsLayoutControl(u))
            c = u'?';
    }
    return out;
}

namespace {

// The first value of every key of every section, by folded names: each lookup of NewsTree is one hash
// lookup, where a walk over the file made a file of many entries take quadratic time.
class TNewsIndex {
public:
    explicit TNewsIndex(const TKvNewsFile& File) {
        FSections.reserve(File.Sections().size());
        for (const TKvNewsSection& section : File.Sections()) {
            // A section occurs once (a repeated one is dropped at reading).
            QHash<QString, QString>& keys = FSections[Fold(section.Name)];
            keys.reserve(section.Entries.size());
            for (const TKvNewsEntry& entry : section.Entries) {
                const QString key = Fold(entry.Key);
                if (!keys.contains(key)) // the first value of a key is the one it shows
                    keys.insert(key, entry.Value);
            }
        }
    }
    /// The keys of a section, or null.
    const QHash<QString, QString>* Section(const QString& FoldedName) const {
        const auto found = FSections.constFind(FoldedName);
        return found == FSections.cend() ? nullptr : &found.value();
    }

private:
    QHash<QString, QHash<QString, QString>> FSections;
};

} // namespace

QList<TKvNewsGroup> NewsTree(const TKvNewsFile& News, const TKvNewsFile* Previous) {
    const TNewsIndex news(News);
    std::optional<TNewsIndex> previous;
    if (Previous)
        previous.emplace(*Previous);
    QList<TKvNewsGroup> groups;
    groups.reserve(News.Sections().size());
    for (const TKvNewsSection& section : News.Sections()) {
        const QString name = Fold(section.Name);
        const QHash<QString, QString>* own = news.Section(name);
        const QHash<QString, QString>* old = previous ? previous->Section(name) : nullptr;
        TKvNewsGroup group{NewsVisibleText(section.Name), {}};
        group.Items.reserve(section.Entries.size());
        for (const TKvNewsEntry& entry : section.Entries) {
            const QString key = Fold(entry.Key);
            TKvNewsItem item;
            item.Link = entry.Key;
            // A key that occurs twice shows its first caption both times, as a lookup by key gives.
            item.Caption = NewsVisibleText(own ? own->value(key) : entry.Value);
            item.New = !old || old->value(key).isEmpty();
            group.Items.append(std::move(item));
        }
        groups.append(std::move(group));
    }
    return groups;
}

QString NewsTreeText(const QList<TKvNewsGroup>& Groups) {
    QString text;
    for (const TKvNewsGroup& group : Groups) {
        text += NewsVisibleText(group.Name) + u'\n';
        for (const TKvNewsItem& item : group.Items)
            text += (item.New ? QStringLiteral("  * ") : QStringLiteral("    ")) +
                    NewsVisibleText(item.Caption) + u'\t' + NewsVisibleText(item.Link) + u'\n';
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

QTreeWidgetItem* TKvITreeView::NewNode(const QString& Caption, std::unique_ptr<TKvINodeData> Data) {
    auto* node = new TKvITreeNode(std::move(Data));
    node->setText(0, Caption);
    return node;
}

QTreeWidgetItem* TKvITreeView::AddNode(QTreeWidgetItem* Parent, const QString& Caption,
                                       std::unique_ptr<TKvINodeData> Data) {
    QTreeWidgetItem* node = NewNode(Caption, std::move(Data));
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

void TKvWebDirect::SetParentControl(QObject* Value) {
    // The window is made a child of this object: anything but a widget would break it there.
    if (Value && !Value->isWidgetType())
        throw EConvertError(QStringLiteral("ParentControl must be a widget, not a %1")
                                .arg(QString::fromLatin1(Value->metaObject()->className())));
    FParentControl = Value;
}

QString TKvWebDirect::PreviousFileName() const {
    const QString local = LocalFileName();
    if (local.endsWith(QLatin1String(".~sin")))
        return local + QStringLiteral(".~sin");
    return ChangeFileExt(local, QStringLiteral(".~sin"));
}

bool TKvWebDirect::NewsFileComplete() const {
    return QFileInfo(LocalFileName()).isFile() &&
           !QFileInfo::exists(PartRecordName(ResolveLocalName(LocalFileName())));
}

void TKvWebDirect::KeepPreviousCopy() {
    const QString local = LocalFileName();
    // A part left by a broken download is no earlier copy, and must not replace the one there is.
    if (!NewsFileComplete())
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
    // A whole news file is no start of the next one: resuming would append another version's tail to it,
    // and a break would leave a mix of both in place of the good copy. Only a broken download's part is
    // resumed.
    bool result = false;
    {
        struct ResumeOnlyAPart {
            TKvWebDirect& Self;
            const bool Resume;
            ~ResumeOnlyAPart() { Self.SetResumeDownload(Resume); }
        } resume{*this, ResumeDownload()};
        if (resume.Resume && NewsFileComplete())
            SetResumeDownload(false);
        result = TKvCustomWebUpdater::Execute();
    }
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
                       .arg(FLinkSchemes.join(QStringLiteral(", ")), NewsVisibleText(Link.left(300))),
                   mtWarning, mbOK);
        return false;
    }
    return OpenURL(QUrl(Link, QUrl::StrictMode));
}

void TKvWebDirect::InternalShow(bool Modal) {
    const bool hadPrevious = QFileInfo(PreviousFileName()).isFile();
    TKvNewsFile news, previous;
    // What a broken download left is no news: some of its items, all of them new, would pass for the
    // whole file.
    if (NewsFileComplete()) {
        news.Load(LocalFileName());
        FNewsWarning = news.TruncatedText();
    } else if (QFileInfo(LocalFileName()).isFile()) {
        FNewsWarning = QStringLiteral("The news file holds only part of a download that broke off: it is "
                                      "not shown until a download completes.");
    } else {
        FNewsWarning.clear();
    }
    if (hadPrevious)
        previous.Load(PreviousFileName());
    const QList<TKvNewsGroup> groups = NewsTree(news, hadPrevious ? &previous : nullptr);
    switch (UserInterface()) {
    case TUserInterface::uiWidgets:
        break;
    case TUserInterface::uiConsole:
        WriteOut(NewsTreeText(groups));
        return;
    case TUserInterface::uiNone:
        return; // the news stays in the file, for a Show on the GUI thread
    }

    // SetParentControl lets only widgets in.
    auto* parent = static_cast<QWidget*>(FParentControl.data());
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

    auto* fill = new QVBoxLayout(form.get()); // the tree fills the window (under the warning, if any)
    fill->setContentsMargins(0, 0, 0, 0);
    fill->setSpacing(0);
    if (!FNewsWarning.isEmpty()) {
        auto* warning = new QLabel(NewsVisibleText(FNewsWarning), form.get());
        warning->setObjectName(QStringLiteral("NewsWarning"));
        warning->setTextFormat(Qt::PlainText);
        warning->setWordWrap(true);
        warning->setMargin(6);
        warning->setAutoFillBackground(true);
        QPalette tint = warning->palette();
        tint.setColor(QPalette::Window, QColor(0xFF, 0xF4, 0xC2));
        tint.setColor(QPalette::WindowText, Qt::black);
        warning->setPalette(tint);
        fill->addWidget(warning);
    }
    auto* view = new TKvITreeView(form.get());
    fill->addWidget(view);
    view->setIconSize(images->Images().at(0).size());
    view->SetOnClick([this](QObject* Sender) { TreeClick(Sender); });
    view->setUpdatesEnabled(false);
    // The nodes are made whole and then put into the tree at once: every node added to the tree, and every
    // change of a node in it, tells the view, which made a tree of many items slow to build.
    QFont bold = view->font();
    bold.setBold(true);
    QList<QTreeWidgetItem*> sections;
    sections.reserve(groups.size());
    for (const TKvNewsGroup& group : groups) {
        QTreeWidgetItem* section = TKvITreeView::NewNode(group.Name);
        section->setIcon(0, glyph[0]);
        QList<QTreeWidgetItem*> leaves;
        leaves.reserve(group.Items.size());
        for (const TKvNewsItem& item : group.Items) {
            auto data = std::make_unique<TKvINodeData>();
            data->Url = item.Link;
            QTreeWidgetItem* leaf = TKvITreeView::NewNode(item.Caption, std::move(data));
            leaf->setToolTip(0, NewsVisibleText(item.Link)); // where a click goes, before it goes there
            leaf->setIcon(0, glyph[item.New ? 1 : 0]);
            if (item.New)
                leaf->setFont(0, bold);
            leaves.append(leaf);
        }
        section->addChildren(leaves);
        sections.append(section);
    }
    view->addTopLevelItems(sections);
    if (view->topLevelItemCount() > 0) {
        view->expandAll();
        view->setCurrentItem(view->topLevelItem(0));
        view->scrollToItem(view->topLevelItem(0));
    }
    view->setUpdatesEnabled(true);

    TKvIDirectForm* shown = form.release();
    // Direct: this component may belong to a thread without an event loop, where a queued call would never
    // come and leave the fields pointing at a freed window.
    connect(
        shown, &QObject::destroyed, this, [this](QObject* Sender) { DialogDestroy(Sender); },
        Qt::DirectConnection);
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
