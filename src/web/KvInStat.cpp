// KvInStat: the status window (Qt widgets) and its console stand-in, with the artwork drawn here.
#include "web/KvInStat.h"

#include "platform/Forms.h"
#include "platform/QtPictures.h"
#include "socket/KvInCnst.h"

#include <QApplication>
#include <QDateTime>
#include <QFrame>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QRadialGradient>
#include <QScreen>

#include <climits>
#include <cstdio>
#include <unistd.h>

namespace KvInet {

QString StatusActionText(TKvIAction Action) {
    switch (Action) {
    case iaIdle:
        return {};
    case iaConnecting:
        return strKvInConnecting;
    case iaConnected:
        return strKvInConnected;
    case iaDisconnecting:
        return strKvInDisconnecting;
    case iaDisconnected:
        return strKvInDisconnected;
    case iaFileSearch:
        return strKvInFileSearch;
    case iaFileFound:
        return strKvInFileFound;
    case iaComparing:
        return strKvInFileComparing;
    case iaCompared:
        return strKvInFileCompared;
    case iaDownloading:
        return strKvInDownloading;
    case iaDownloaded:
        return strKvInDownloaded;
    }
    return {};
}

bool StatusActionStep(TKvIAction Action, int& Step, int& Glyph) {
    switch (Action) {
    case iaIdle:
        return false;
    case iaConnecting:
        Step = 1, Glyph = 0;
        break;
    case iaConnected:
        Step = 1, Glyph = 2;
        break;
    case iaDisconnecting:
        Step = 4, Glyph = 0;
        break;
    case iaDisconnected:
        Step = 4, Glyph = 5;
        break;
    case iaFileSearch:
    case iaFileFound:
    case iaComparing:
        Step = 2, Glyph = 0;
        break;
    case iaCompared:
        Step = 2, Glyph = 3;
        break;
    case iaDownloading:
        Step = 3, Glyph = 0;
        break;
    case iaDownloaded:
        Step = 3, Glyph = 4;
        break;
    }
    return true;
}

QString StatusProgressText(int64_t CurValue, int64_t MaxValue) {
    // A total of 0 means the size was not reported: there is no percentage to compute.
    const int64_t percent = MaxValue > 0 ? int64_t((__int128(CurValue) * 100) / MaxValue) : 0;
    return Format(strKvInProgress, {CurValue, MaxValue, percent});
}

std::unique_ptr<TKvInetStatusView> CreateStatusView() {
    switch (UserInterface()) {
    case TUserInterface::uiWidgets:
        return std::make_unique<TfrmKvInetUpdate>();
    case TUserInterface::uiConsole:
        return std::make_unique<TKvInetStatusLine>();
    case TUserInterface::uiNone:
        break;
    }
    return nullptr;
}

// ---- artwork ---------------------------------------------------------------------------------------------

namespace {

const QColor Navy(0, 0, 128);

QPixmap Canvas(int W, int H) {
    QPixmap pixmap(W, H);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void DrawGlobe(QPainter& p, const QRectF& r) {
    QRadialGradient sea(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() * 0.7);
    sea.setColorAt(0, QColor(140, 200, 255));
    sea.setColorAt(1, QColor(20, 80, 180));
    p.setBrush(sea);
    p.setPen(QPen(QColor(10, 50, 120), std::max(1.0, r.width() / 16)));
    p.drawEllipse(r);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(220, 240, 255, 180), std::max(0.8, r.width() / 24)));
    p.drawEllipse(r.adjusted(r.width() * 0.3, 0, -r.width() * 0.3, 0));
    p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
    p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
    p.drawArc(r.adjusted(0, r.height() * 0.2, 0, -r.height() * 0.55), 200 * 16, 140 * 16);
    p.drawArc(r.adjusted(0, r.height() * 0.55, 0, -r.height() * 0.2), 20 * 16, 140 * 16);
}

void DrawArrow(QPainter& p, const QPointF& From, const QPointF& To, const QColor& Color, double Width) {
    const QLineF line(From, To);
    const QPointF tip = To;
    const QLineF back(To, From);
    QLineF left = back, right = back;
    left.setAngle(back.angle() + 35);
    right.setAngle(back.angle() - 35);
    left.setLength(Width * 2.2);
    right.setLength(Width * 2.2);
    p.setPen(QPen(Color, Width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(From, To - (To - From) * (Width / line.length()));
    QPainterPath arrow;
    arrow.moveTo(tip);
    arrow.lineTo(left.p2());
    arrow.lineTo(right.p2());
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Color);
    p.drawPath(arrow);
}

// A cable with a plug (pins pointing right) from the left edge, or with a socket from the right edge.
void DrawCableEnd(QPainter& p, double Edge, double Face, bool Plug, const QColor& Color) {
    const double body = Plug ? Face - 5 : Face;
    p.setPen(QPen(QColor(60, 60, 60), 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(Edge, 8), QPointF(Plug ? body : body + 5, 8));
    p.setPen(QPen(Color.darker(160), 1));
    p.setBrush(Color);
    p.drawRoundedRect(QRectF(body, 4.5, 5, 7), 1.2, 1.2);
    if (Plug) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(210, 170, 40));
        p.drawRect(QRectF(Face, 5.8, 2.5, 1.3));
        p.drawRect(QRectF(Face, 8.9, 2.5, 1.3));
    }
}

QPixmap DrawGlyph(int Index) {
    QPixmap pixmap = Canvas(16, 16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (Index) {
    case 0: { // running: a right-pointing arrow
        QPainterPath arrow;
        arrow.moveTo(2, 5.5);
        arrow.lineTo(8, 5.5);
        arrow.lineTo(8, 2);
        arrow.lineTo(14.5, 8);
        arrow.lineTo(8, 14);
        arrow.lineTo(8, 10.5);
        arrow.lineTo(2, 10.5);
        arrow.closeSubpath();
        QLinearGradient fill(0, 2, 0, 14);
        fill.setColorAt(0, QColor(90, 200, 90));
        fill.setColorAt(1, QColor(20, 120, 30));
        p.setPen(QPen(QColor(10, 80, 20), 1));
        p.setBrush(fill);
        p.drawPath(arrow);
        break;
    }
    case 1: { // warning: a yellow triangle with an exclamation mark
        QPainterPath triangle;
        triangle.moveTo(8, 1.5);
        triangle.lineTo(15, 14.5);
        triangle.lineTo(1, 14.5);
        triangle.closeSubpath();
        p.setPen(QPen(QColor(120, 90, 0), 1));
        p.setBrush(QColor(255, 210, 40));
        p.drawPath(triangle);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawRect(QRectF(7.2, 5.5, 1.6, 5));
        p.drawEllipse(QRectF(7.1, 11.5, 1.8, 1.8));
        break;
    }
    case 2: // connected: plug pushed into its socket
        DrawCableEnd(p, 0, 8, true, QColor(70, 180, 80));
        DrawCableEnd(p, 16, 8, false, QColor(40, 130, 50)); // drawn last: the pins disappear inside
        break;
    case 3: { // compared: a globe under a magnifying glass
        DrawGlobe(p, QRectF(0.5, 0.5, 11, 11));
        p.setBrush(QColor(255, 255, 255, 90));
        p.setPen(QPen(QColor(40, 40, 40), 1.4));
        p.drawEllipse(QRectF(6.5, 6.5, 6, 6));
        p.setPen(QPen(QColor(110, 60, 20), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12, 12), QPointF(15, 15));
        break;
    }
    case 4: // downloaded: a globe with arrows coming down from it
        DrawGlobe(p, QRectF(0.5, 0.5, 10, 10));
        DrawArrow(p, QPointF(12.5, 2), QPointF(12.5, 15), QColor(230, 120, 0), 1.8);
        DrawArrow(p, QPointF(6, 9), QPointF(6, 15.5), QColor(230, 120, 0), 1.6);
        break;
    case 5: // disconnected: plug pulled out of its socket, a red stroke across the gap
        DrawCableEnd(p, 0, 6, true, QColor(160, 160, 160));
        DrawCableEnd(p, 16, 10.5, false, QColor(160, 160, 160));
        p.setPen(QPen(QColor(210, 30, 30), 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(7.5, 2), QPointF(10.5, 14));
        break;
    default:
        break;
    }
    return pixmap;
}

QPixmap DrawLogo() {
    QPixmap pixmap(95, 206);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 206);
    sky.setColorAt(0, QColor(10, 40, 110));
    sky.setColorAt(1, QColor(70, 140, 220));
    p.fillRect(pixmap.rect(), sky);
    p.setPen(QPen(QColor(255, 255, 255, 40), 1));
    for (int y = 12; y < 206; y += 14)
        p.drawLine(0, y, 95, y - 30);
    DrawGlobe(p, QRectF(12, 22, 70, 70));
    DrawArrow(p, QPointF(47, 104), QPointF(47, 168), QColor(255, 170, 30), 9);
    p.setPen(QPen(QColor(230, 230, 230), 2));
    p.setBrush(QColor(245, 245, 245));
    p.drawRoundedRect(QRectF(20, 172, 55, 22), 3, 3);
    p.setPen(QPen(QColor(120, 120, 120), 1));
    p.drawLine(26, 180, 69, 180);
    p.drawLine(26, 186, 60, 186);
    return pixmap;
}

QPixmap DrawBanner() {
    QPixmap pixmap(138, 59);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fade(0, 0, 138, 0);
    fade.setColorAt(0, Qt::white);
    fade.setColorAt(1, QColor(180, 205, 240));
    p.fillRect(pixmap.rect(), fade);
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 6; ++i) {
        p.setPen(QPen(QColor(90, 130, 210, 40 + i * 20), 1.2));
        p.drawEllipse(QPointF(150, 30), 20.0 + i * 14, 14.0 + i * 9);
    }
    return pixmap;
}

QPixmap DrawDescriptionPicture() {
    QPixmap pixmap = Canvas(48, 48);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    DrawGlobe(p, QRectF(2, 2, 36, 36));
    DrawArrow(p, QPointF(38, 14), QPointF(38, 46), QColor(230, 120, 0), 5);
    return pixmap;
}

QIcon DrawWindowIcon() {
    QPixmap pixmap = Canvas(32, 32);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    DrawGlobe(p, QRectF(1, 1, 24, 24));
    DrawArrow(p, QPointF(26, 8), QPointF(26, 31), QColor(230, 120, 0), 3.5);
    p.end();
    return QIcon(pixmap);
}

QLabel* Label(QWidget* Parent, int X, int Y, int W, int H, const QString& Text = QString()) {
    auto* label = new QLabel(Text, Parent);
    label->setGeometry(X, Y, W, H);
    return label;
}

QLabel* Image(QWidget* Parent, int X, int Y, int W, int H) {
    auto* image = new QLabel(Parent);
    image->setGeometry(X, Y, W, H);
    image->setAttribute(Qt::WA_TranslucentBackground);
    return image;
}

} // namespace

// ---- TfrmKvInetUpdate ------------------------------------------------------------------------------------

QPixmap TfrmKvInetUpdate::Glyph(int Index) { return DrawGlyph(Index); }

TfrmKvInetUpdate::TfrmKvInetUpdate(QWidget* Parent) : QWidget(Parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
    QFont font = this->font();
    font.setPixelSize(11);
    setFont(font);
    setFixedSize(491, 286);
    setWindowIcon(DrawWindowIcon());

    pnlDescription = new QFrame(this);
    pnlDescription->setGeometry(0, 0, 491, 59);
    pnlDescription->setAutoFillBackground(true);
    QPalette white = pnlDescription->palette();
    white.setColor(QPalette::Window, Qt::white);
    pnlDescription->setPalette(white);
    imgBackground = Image(pnlDescription, 491 - 138, 0, 138, 59);
    imgBackground->setPixmap(DrawBanner());
    imgDescription = Image(pnlDescription, 440, 6, 48, 48);
    imgDescription->setPixmap(DrawDescriptionPicture());
    lblCaption = Label(pnlDescription, 16, 5, 300, 13);
    QFont bold = font;
    bold.setBold(true);
    lblCaption->setFont(bold);
    lblDescription = Label(pnlDescription, 32, 20, 360, 38);
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (QLabel* navy : {lblCaption, lblDescription}) {
        QPalette palette = navy->palette();
        palette.setColor(QPalette::WindowText, Navy);
        navy->setPalette(palette);
    }

    imgLogo = Image(this, 5, 65, 95, 206);
    imgLogo->setPixmap(DrawLogo());
    lblRemote = Label(this, 105, 80, 70, 13, QStringLiteral("Remote file:"));
    lblLocal = Label(this, 105, 96, 70, 13, QStringLiteral("Local file:"));
    lblRemote->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblLocal->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblRemoteFileName = Label(this, 185, 80, 300, 13);
    lblLocalFileName = Label(this, 185, 96, 300, 13);
    for (QLabel* name : {lblRemoteFileName, lblLocalFileName}) {
        QPalette palette = name->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::Highlight));
        name->setPalette(palette);
    }
    static const char* const steps[4] = {"Step 1: Connection/Logon", "Step 2: File search", "Step 3: Download",
                                         "Step 4: Diconnect/Logoff"};
    for (int i = 0; i < 4; ++i) {
        imgStep[i] = Image(this, 179, 120 + 18 * i, 16, 16);
        lblStep[i] = Label(this, 200, 122 + 18 * i, 150, 13, QString::fromLatin1(steps[i]));
    }
    lblStatus = Label(this, 128, 200, 339, 13);
    pbStatus = new QProgressBar(this);
    pbStatus->setGeometry(130, 214, 337, 10);
    pbStatus->setRange(0, 100);
    pbStatus->setValue(0);
    pbStatus->setTextVisible(false);
    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setGeometry(408, 256, 75, 25);
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });

    FormCreate();
    // First placed at the stored spot, then centred on the screen.
    move(252, 198);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TfrmKvInetUpdate::~TfrmKvInetUpdate() = default;

void TfrmKvInetUpdate::FormCreate() { setWindowTitle(strKvInSoftwareUpdate); }

void TfrmKvInetUpdate::btnCancelClick() { IsCanceled = true; }

void TfrmKvInetUpdate::Prepare(const TKvInetStatusDialog& Settings, bool ShowFileNames, const QString& Remote,
                               const QString& Local) {
    lblRemoteFileName->setVisible(ShowFileNames);
    lblLocalFileName->setVisible(ShowFileNames);
    if (ShowFileNames) {
        lblRemoteFileName->setText(Remote);
        lblLocalFileName->setText(Local);
    }
    lblCaption->setText(Settings.Title().isEmpty() ? ApplicationTitle() : Settings.Title());
    if (!Settings.Description().isEmpty())
        lblDescription->setText(Settings.Description());
    // Settings hold encoded bytes: what does not decode leaves the built-in picture, as an empty one does.
    if (const QImage icon = DecodePicture(Settings.Icon()); !icon.isNull())
        setWindowIcon(QIcon(QPixmap::fromImage(icon)));
    if (const QImage picture = DecodePicture(Settings.Picture()); !picture.isNull())
        imgLogo->setPixmap(QPixmap::fromImage(picture));
}

void TfrmKvInetUpdate::ShowStatus() {
    IsCanceled = false;
    show();
}

void TfrmKvInetUpdate::ShowAction(TKvIAction Action) {
    int step = 0, glyph = 0;
    if (!StatusActionStep(Action, step, glyph))
        return;
    lblStatus->setText(StatusActionText(Action));
    imgStep[step - 1]->clear();
    imgStep[step - 1]->setPixmap(Glyph(glyph));
}

void TfrmKvInetUpdate::ShowProgress(int64_t CurValue, int64_t MaxValue) {
    // The bar counts in int: large sizes are scaled down to fit, keeping the proportion.
    int shift = 0;
    while ((MaxValue >> shift) > INT_MAX || (CurValue >> shift) > INT_MAX)
        ++shift;
    pbStatus->setMaximum(int(std::max<int64_t>(MaxValue, 0) >> shift));
    pbStatus->setValue(int(std::clamp<int64_t>(CurValue >> shift, 0, pbStatus->maximum())));
    lblStatus->setText(StatusProgressText(CurValue, MaxValue));
}

// ---- TKvInetStatusLine -----------------------------------------------------------------------------------

TKvInetStatusLine::TKvInetStatusLine() : FTerminal(::isatty(STDERR_FILENO) != 0) {}

TKvInetStatusLine::~TKvInetStatusLine() {
    if (FOpenLine)
        std::fputc('\n', stderr);
}

void TKvInetStatusLine::Prepare(const TKvInetStatusDialog& Settings, bool ShowFileNames, const QString& Remote,
                                const QString& Local) {
    FHeader = Settings.Title();
    if (ShowFileNames)
        FHeader += (FHeader.isEmpty() ? QString() : QStringLiteral(": ")) + Remote + QStringLiteral(" -> ") + Local;
}

void TKvInetStatusLine::ShowStatus() {
    IsCanceled = false;
    if (!FHeader.isEmpty())
        Draw(FHeader, true);
}

void TKvInetStatusLine::ShowAction(TKvIAction Action) {
    if (Action == iaIdle)
        return;
    FLastPercent = -1;
    Draw(StatusActionText(Action), !FTerminal);
}

void TKvInetStatusLine::ShowProgress(int64_t CurValue, int64_t MaxValue) {
    // Redrawn when the percentage moves or a quarter second has passed, not at every block.
    const int percent = MaxValue > 0 ? int((__int128(CurValue) * 100) / MaxValue) : -1;
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (percent == FLastPercent && now - FLastDrawMs < 250)
        return;
    if (!FTerminal && (percent < 0 ? now - FLastDrawMs < 1000 : percent / 10 == FLastPercent / 10))
        return; // a log gets a line per ten percent (or per second when the total is unknown)
    FLastPercent = percent;
    FLastDrawMs = now;
    QString text = StatusProgressText(CurValue, MaxValue);
    if (FTerminal && MaxValue > 0) {
        const int filled = std::clamp(percent, 0, 100) * 30 / 100;
        text = u'[' + QString(filled, u'#') + QString(30 - filled, u'.') + QStringLiteral("] ") + text;
    }
    Draw(text, !FTerminal);
}

void TKvInetStatusLine::Draw(const QString& Text, bool Final) {
    QByteArray line = Text.toUtf8();
    if (FTerminal) {
        line = "\r" + line + "\033[K";
        if (Final)
            line += '\n';
        FOpenLine = !Final;
    } else {
        line += '\n';
    }
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace KvInet
