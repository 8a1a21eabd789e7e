// KvIFedEx: the tracking request and the flattening of the page's two sections.
#include "socket/KvIFedEx.h"

#include "socket/kviutil.h"

#include <QUrl>

namespace KvInet {

namespace {

const QLatin1String ShipmentMarker("<!-- shipment info -->");
const QLatin1String BeginMarker("<!-- BEGIN Scan Activity -->");
const QLatin1String EndMarker("<!-- END Scan Activity -->");

// The text between two markers; empty when either is missing or they come in the wrong order.
QString Section(const QString& Text, qsizetype Start, qsizetype StartLength, qsizetype End) {
    if (Start < 0 || End < 0)
        return QString();
    const qsizetype from = Start + StartLength;
    return End > from ? Text.mid(from, End - from) : QString();
}

} // namespace

TKvFedExTracker::TKvFedExTracker(TComponent* AOwner) : TKvInetBase(AOwner) {
    FShipmentInfo = new TStringList(this);
    FActivity = new TStringList(this);
    SetPort(80);
    SetHost(CarrierHost());
}

TKvFedExTracker::~TKvFedExTracker() = default;

void TKvFedExTracker::SetTrackingNumber(const QString& Value) {
    if (Value != FTrackingNumber)
        FTrackingNumber = Value;
}

QString TKvFedExTracker::FlattenTable(const QString& Fragment) {
    const qsizetype n = Fragment.size();
    const QChar* s = Fragment.constData();
    QString out;
    out.reserve(n);
    bool inTag = false;
    const auto lastIs = [&out](std::initializer_list<char16_t> Chars) {
        if (out.isEmpty())
            return false;
        const char16_t last = out.back().unicode();
        for (const char16_t c : Chars)
            if (last == c)
                return true;
        return false;
    };
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = s[i].unicode();
        if (c == u'\r' || c == u'\n')
            continue;
        if (c == u'<') {
            inTag = true;
            // An end-of-cell tag separates the cells; "</TD" does not count.
            if (!out.isEmpty() && i + 3 < n && s[i + 1] == u'/' && s[i + 2] == u't' && s[i + 3] == u'd' &&
                !lastIs({u'\r', u'\n', u'='}))
                out += u'=';
            continue;
        }
        if (c == u'>') {
            inTag = false;
            // The end of "<tr>" or "</tr>" ends the line, without the separator of its last cell.
            if (!out.isEmpty() && i >= 2 && s[i - 2] == u't' && s[i - 1] == u'r' && !lastIs({u'\r', u'\n'})) {
                if (out.back() == u'=')
                    out.chop(1);
                out += QLatin1String("\r\n");
            }
            continue;
        }
        if (inTag)
            continue;
        if ((c == u'\t' || c == u' ') && i + 1 < n) {
            const char16_t next = s[i + 1].unicode();
            if (next == u'\t' || next == u'\r' || next == u'\n' || next == u' ' || next == u'<')
                continue;
        }
        out += QChar(c);
    }
    ReplaceHTMLChars(out);
    // Repeatedly reducing "==" to "=" until none is left makes every run of "=" a single one.
    qsizetype w = 0;
    QChar* d = out.data();
    for (qsizetype r = 0; r < out.size(); ++r)
        if (d[r] != u'=' || w == 0 || d[w - 1] != u'=')
            d[w++] = d[r];
    out.truncate(w);
    return out;
}

QString TKvFedExTracker::GetQuery() {
    FShipmentInfo->Clear();
    FActivity->Clear();
    // Every byte that could end the line, start a fragment or another parameter is escaped; a blank is "%20".
    const QString target =
        QStringLiteral("/cgi-bin/tracking?template_type=plugin&action=track&language=english&cntry_code=us"
                       "&tracknumbers=") +
        QString::fromLatin1(QUrl::toPercentEncoding(FTrackingNumber));
    // A proxy needs the absolute form, and the Host line of where it is to go.
    if (ThroughProxy())
        return HttpRequestHead(QStringLiteral("GET"), target) + HttpRequestEnd();
    // Deliberately three blanks before the version and the carrier's name on the Host line, whatever Host
    // says: the tracking site has always been asked this way.
    return QStringLiteral("GET ") + target + QStringLiteral("   HTTP/1.0\r\nHost: ") + CarrierHost() +
           QStringLiteral("\r\n") + HttpRequestEnd();
}

QString TKvFedExTracker::GetRawHeaders() {
    // The request ends itself (HttpRequestEnd): bytes after its empty line would reach a server that may
    // already have answered and closed, which then resets the connection and the page is lost.
    return QString();
}

void TKvFedExTracker::BeforeExecute() {
    FShipmentInfo->Clear();
    FActivity->Clear();
    TKvInetBase::BeforeExecute();
}

void TKvFedExTracker::AfterExecute(QString& Text) {
    // The inherited AfterExecute is deliberately not called: OnAfterExecute has never fired for the
    // tracker, and handlers written for the other components do not expect its page.
    FShipmentInfo->Clear();
    FActivity->Clear();
    if (!LastError().isEmpty())
        return;
    if (const QString fault = HttpReplyFault(Text); !fault.isEmpty()) {
        SetLastError(fault);
        return;
    }
    const qsizetype shipment = Text.indexOf(ShipmentMarker);
    const qsizetype begin = Text.indexOf(BeginMarker);
    const qsizetype end = Text.indexOf(EndMarker);
    // A missing marker leaves its sections empty rather than cutting from the start of the reply.
    FShipmentInfo->SetText(FlattenTable(Section(Text, shipment, ShipmentMarker.size(), begin)));
    FActivity->SetText(FlattenTable(Section(Text, begin, BeginMarker.size(), end)));
    if (shipment < 0 || begin < 0)
        SetLastError(QStringLiteral("no shipment information in the page"));
    else if (end < 0)
        SetLastError(QStringLiteral("no scan activity in the page"));
}

} // namespace KvInet
