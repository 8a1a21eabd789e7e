// kvidirect: the web direct component. An application's makers publish news as a small text file of
// sections and "link=caption" lines on a web, FTP or network location; the component keeps a local copy
// up to date with the updater cycle (keeping the copy from before the update aside) and shows the news as
// a tree: one branch per section, one leaf per item, items added since the previous copy drawn bold with
// the blue glyph. A click on an item opens its link (web and mail links only, unless widened). With a
// QApplication the tree is a Qt window or fills a widget of the application (on the GUI thread only: on
// any other thread nothing is shown); without one it is printed on standard output.
#pragma once

#include "web/kviupdate.h"

#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <memory>

namespace KvInet {

/// The enumeration of the web direct component (a gadget, so that ShowMode streams by name).
struct TKvDirectTypes {
    Q_GADGET
public:
    /// When Execute opens the news window: always, never, or only after a download.
    enum TKvIShowMode { omAlways, omNever, omIfChanged };
    Q_ENUM(TKvIShowMode)
};
using TKvIShowMode = TKvDirectTypes::TKvIShowMode;
using enum TKvDirectTypes::TKvIShowMode;

/// One "link=caption" line of a news section, as read: Key is the link, Value the caption.
struct TKvNewsEntry {
    QString Key;
    QString Value;
};

/// One section of a news file: its name and its lines in file order.
struct TKvNewsSection {
    QString Name;
    QList<TKvNewsEntry> Entries;
};

/// A news file, read in file order. A line "[name]" starts a section; in a section every line with an "="
/// is an entry whose key ends at the first "=" (key and value trimmed); blank lines, lines without "=",
/// lines starting with ";" and lines before the first section are skipped. Sections and keys compare
/// without case. A section that occurs again is read at its first occurrence only (the later lines are
/// dropped). Each line is read as UTF-8, or as Latin-1 when it is not valid UTF-8. The reading is bounded:
/// the first MaxBytes of the file and at most MaxNodes sections and entries together.
class TKvNewsFile {
public:
    static constexpr qint64 MaxBytes = qint64(4) << 20;
    static constexpr int MaxNodes = 10000;

    /// Reads FileName; false (and empty) when it can't be opened.
    bool Load(const QString& FileName);
    /// Reads the bytes of a news file.
    void LoadFromData(const QByteArray& Data);

    const QList<TKvNewsSection>& Sections() const { return FSections; }
    /// The value of the first entry named Key in the section named Section (both without case); empty when
    /// there is none. A lookup walks the file: for every entry at once, NewsTree indexes it instead.
    QString ReadString(const QString& Section, const QString& Key) const;
    /// True when the file held more than the bounds let through.
    bool Truncated() const { return FCut != ctNone; }
    /// What a reader is told when the file was cut at a bound (which one, and what is left out); empty when
    /// it was read whole.
    QString TruncatedText() const;

private:
    enum TCut { ctNone, ctBytes, ctNodes };
    QList<TKvNewsSection> FSections;
    TCut FCut = ctNone;
};

/// One leaf of the news tree.
struct TKvNewsItem {
    QString Link;    ///< the entry's key, as read
    QString Caption; ///< the caption shown (the first caption of the key; control characters made visible)
    bool New = false;
};

/// One branch of the news tree.
struct TKvNewsGroup {
    QString Name;
    QList<TKvNewsItem> Items;
};

/// The tree of News: sections and entries in file order, each entry captioned with the first value of its
/// key in its section. An item is new when Previous is null (there was no previous copy) or holds no
/// non-empty value under the same section and key. Takes time linear in the size of both files.
QList<TKvNewsGroup> NewsTree(const TKvNewsFile& News, const TKvNewsFile* Previous);

/// Text from a news file as shown in the tree and printed: tabs become spaces, other control characters
/// (C0, DEL, C1, line and paragraph separators) and the bidirectional formatting characters (U+061C,
/// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) "?", so that no caption can steer a terminal, break
/// the columns or show its text in another order than it is stored.
QString NewsVisibleText(const QString& Text);

/// The tree as printed without widgets: each section's name on a line, then its items as
/// "  * caption<TAB>link" for new ones and "    caption<TAB>link" for the others, all through
/// NewsVisibleText.
QString NewsTreeText(const QList<TKvNewsGroup>& Groups);

/// The data attached to each item leaf of the tree: the item's link. Section nodes carry none.
class TKvINodeData {
public:
    QString Url;
};

/// The news tree: a tree view whose items are highlighted under the mouse (hot tracking: the item under
/// the mouse is underlined and the cursor becomes a hand over a link). A click is a press and a release on
/// the same item's caption; Enter clicks the current item. OnClick is fired for both; ClickedNode says
/// which item it was.
class TKvITreeView : public QTreeWidget {
    Q_OBJECT
public:
    explicit TKvITreeView(QWidget* Parent = nullptr);
    ~TKvITreeView() override;

    /// A node with Caption that is in no tree yet (for addChildren and addTopLevelItems); a leaf's Data is
    /// kept by the node and freed with it.
    static QTreeWidgetItem* NewNode(const QString& Caption, std::unique_ptr<TKvINodeData> Data = nullptr);
    /// Adds a node under Parent (top level when null) with Caption; a leaf's Data is kept by the node and
    /// freed with it.
    QTreeWidgetItem* AddNode(QTreeWidgetItem* Parent, const QString& Caption,
                             std::unique_ptr<TKvINodeData> Data = nullptr);
    /// The data of a node made by AddNode; null for a section node or any other item.
    static TKvINodeData* NodeData(const QTreeWidgetItem* Node);

    /// Items are highlighted under the mouse (always on for this tree).
    bool TrackSelect() const { return true; }
    /// The item under the mouse, or null.
    QTreeWidgetItem* HotNode() const { return FHotNode; }
    /// The item of the last click (or the current item at Enter), or null for a click on empty space.
    QTreeWidgetItem* ClickedNode() const { return FClickedNode; }

    const TNotifyEvent& OnClick() const { return FOnClick; }
    void SetOnClick(TNotifyEvent Value) { FOnClick = std::move(Value); }

protected:
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void leaveEvent(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    /// The item whose caption (not its indentation or expander) is at Pos in the viewport.
    QTreeWidgetItem* NodeAt(const QPoint& Pos) const;
    void SetHotNode(QTreeWidgetItem* Node);
    void Click(QTreeWidgetItem* Node);

    QTreeWidgetItem* FPressedNode = nullptr;
    QTreeWidgetItem* FClickedNode = nullptr;
    QTreeWidgetItem* FHotNode = nullptr;
    TNotifyEvent FOnClick;
};

/// A window's glyphs, kept by the window (a child object), so that closing one window never frees
/// another's.
class TKvIImageList : public QObject {
    Q_OBJECT
public:
    explicit TKvIImageList(QObject* Parent = nullptr) : QObject(Parent) {}
    /// Adds Image with every pixel of MaskColor made transparent; returns its index.
    int AddMasked(const QImage& Image, QRgb MaskColor);
    const QList<QPixmap>& Images() const { return FImages; }

private:
    QList<QPixmap> FImages;
};

/// The news window: a plain form, a dialog of its own or a child filling a control of the application.
class TKvIDirectForm : public QWidget {
    Q_OBJECT
public:
    /// What closing does: nothing, hide, free the window, minimise it.
    enum TCloseAction { caNone, caHide, caFree, caMinimize };
    using TCloseEvent = std::function<void(QObject* Sender, TCloseAction& Action)>;

    /// A dialog of its own when Parent is null, else a borderless child that fills Parent and follows its
    /// size.
    explicit TKvIDirectForm(QWidget* Parent = nullptr);
    ~TKvIDirectForm() override;

    /// Fired when the window is asked to close, with caHide; the handler may change the action.
    void SetOnClose(TCloseEvent Value) { FOnClose = std::move(Value); }

signals:
    /// The window closed (hidden or about to be freed).
    void Closed();

protected:
    void closeEvent(QCloseEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    TCloseEvent FOnClose;
};

/// Keeps a news file up to date and shows it as a tree (see the unit's header). LocalFileName (public,
/// not published) is the news file; PreviousFileName the copy taken before the latest Execute.
class TKvWebDirect : public TKvCustomWebUpdater {
    Q_OBJECT
    Q_PROPERTY(KvInet::TKvDirectTypes::TKvIShowMode ShowMode READ ShowMode WRITE SetShowMode)
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(QObject* ParentControl READ ParentControl WRITE SetParentControl STORED true)
public:
    /// ShowMode omAlways, Title "Norvalith WebDirect", no ParentControl, LocalFileName
    /// DefaultLocalFileName().
    explicit TKvWebDirect(TComponent* AOwner = nullptr);
    /// Closes the windows this component built (their handlers are its methods); the files stay.
    ~TKvWebDirect() override;

    /// Copies the news file to PreviousFileName (replacing an older copy) unless it is the part of a broken
    /// download, runs the updater cycle (resuming, when ResumeDownload is set, only such a part, never a
    /// whole news file), then shows the tree modally when ShowMode is omAlways, or omIfChanged and the file
    /// was downloaded (isFinished). Returns the updater's result. Raises
    /// EFCreateError when the previous copy can't be written, and what the updater and the window raise.
    bool Execute() override;
    /// Builds the window and shows it without waiting (prints the tree without widgets). The part of a
    /// broken download is shown as no news file at all; NewsWarning says so.
    void Show();
    /// Builds the window and waits until it is closed, unless ParentControl is set (prints the tree without
    /// widgets).
    void ShowModal();
    /// Why the newest tree built (window or printed) does not show the whole news file: the file is the part
    /// of a broken download, or it was cut at a reading bound (TKvNewsFile::TruncatedText). Empty when the
    /// whole file is shown. The window shows it above the tree.
    const QString& NewsWarning() const { return FNewsWarning; }
    /// Whether the news file is there whole: it exists and is no part left by a broken download.
    bool NewsFileComplete() const;

    TKvIShowMode ShowMode() const { return FShowMode; }
    void SetShowMode(TKvIShowMode Value) { FShowMode = Value; }
    const QString& Title() const { return FTitle; }
    void SetTitle(const QString& Value) { FTitle = Value; }
    /// A widget the tree fills instead of opening a window of its own; forgotten when it is destroyed.
    /// Typed QObject so that the component needs no widget classes; raises EConvertError for an object
    /// that is not a widget (nothing changed).
    QObject* ParentControl() const { return FParentControl; }
    void SetParentControl(QObject* Value);

    using TKvCustomWebUpdater::LocalFileName;
    using TKvCustomWebUpdater::SetLocalFileName;
    /// LocalFileName with its extension replaced by ".~sin" (appended when it has none or is ".~sin").
    QString PreviousFileName() const;
    /// "<per-user data directory>/<executable base name>.sin".
    static QString DefaultLocalFileName();

    /// The link schemes a click opens (http, https, ftp, mailto at first; compared without case).
    const QStringList& LinkSchemes() const { return FLinkSchemes; }
    void SetLinkSchemes(const QStringList& Value) { FLinkSchemes = Value; }
    /// Whether Link would be opened: a valid URL without control characters, of a scheme in LinkSchemes,
    /// with a host for http, https and ftp.
    bool LinkAllowed(const QString& Link) const;
    /// Opens Link through OpenURL when LinkAllowed, else shows a warning and opens nothing. True when it
    /// was handed to the opener and the opener took it.
    bool OpenLink(const QString& Link);

    /// The newest window while it exists, its tree, and its glyphs.
    QWidget* Form() const { return frm; }
    TKvITreeView* Tree() const { return tree; }
    TKvIImageList* ImageList() const { return FImageList; }

protected:
    /// Builds the window (a new one at each call; earlier windows stay open) and shows it, modally when
    /// Modal is set and there is no ParentControl. Raises Exception when a glyph can't be loaded.
    void InternalShow(bool Modal);
    /// The tree's click handler: opens the link of the clicked item; sections and empty space do nothing.
    void TreeClick(QObject* Sender);
    /// The window's close handler: closing frees the window.
    void DialogClose(QObject* Sender, TKvIDirectForm::TCloseAction& Action);
    /// The window's destroy handler: forgets the window (its glyphs and item data go with it).
    void DialogDestroy(QObject* Sender);

private:
    /// The local news file copied to PreviousFileName through a temporary file put in place whole.
    void KeepPreviousCopy();

    QString FTitle;
    QPointer<TKvIDirectForm> frm;
    QPointer<TKvITreeView> tree;
    QPointer<TKvIImageList> FImageList;
    TKvIShowMode FShowMode = omAlways;
    QPointer<QObject> FParentControl;
    // As QObjects: a window is looked up here while it is being destroyed, when it is no longer a form.
    QList<QPointer<QObject>> FWindows;
    const QObject* FNewest = nullptr; // the window frm refers to, compared only (it may be gone)
    QStringList FLinkSchemes;
    QString FNewsWarning;
};

} // namespace KvInet
