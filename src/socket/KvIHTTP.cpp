// KvIHTTP: request building, reply splitting, redirects.
#include "socket/KvIHTTP.h"

#include "platform/WireText.h"
#include "socket/kviutil.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>

#include <QUrl>

namespace KvInet {

namespace {

const char* const MethodNames[] = {"HEAD", "GET", "POST"};
const QLatin1String CRLF("\r\n");

// Where the line that starts at From ends, and where the next one starts (CR, LF or CR LF end a line).
qsizetype LineEnd(const QString& Text, qsizetype From, qsizetype& Next) {
    const char16_t* d = reinterpret_cast<const char16_t*>(Text.constData());
    const qsizetype size = Text.size();
    for (qsizetype i = From; i < size; ++i) {
        if (d[i] == u'\r') {
            Next = (i + 1 < size && d[i + 1] == u'\n') ? i + 2 : i + 1;
            return i;
        }
        if (d[i] == u'\n') {
            Next = i + 1;
            return i;
        }
    }
    Next = size;
    return size;
}

// Makes Text its lines each ended by CR LF, in place. The breaks are found with Qt's vectorised search and
// the text between them moved in whole runs, from the back, so nothing is overwritten before it moved; a
// body that already has CR LF ends costs one search.
void UniformLineEnds(QString& Text) {
    const qsizetype size = Text.size();
    if (size == 0)
        return;
    // Positions of the breaks that are not CR LF yet (a lone CR or a lone LF).
    std::vector<qsizetype> lone;
    const QStringView view(Text);
    const char16_t* d = view.utf16();
    auto note = [&](qsizetype i) {
        if (d[i] == u'\r') {
            if (i + 1 >= size || d[i + 1] != u'\n')
                lone.push_back(i);
        } else if (i == 0 || d[i - 1] != u'\r') {
            lone.push_back(i);
        }
    };
    qsizetype i = 0;
#if defined(__SSE2__)
    // Eight characters at a time: most of a body holds no line break at all.
    const __m128i cr = _mm_set1_epi16(0x0D), lf = _mm_set1_epi16(0x0A);
    for (; i + 8 <= size; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf))));
        while (mask) {
            const int bit = __builtin_ctz(mask);
            note(i + bit / 2);
            mask &= ~(3u << bit);
        }
    }
#endif
    for (; i < size; ++i)
        if (d[i] == u'\r' || d[i] == u'\n')
            note(i);
    const char16_t last = view.utf16()[size - 1];
    const bool openLast = last != u'\r' && last != u'\n';
    const qsizetype extra = qsizetype(lone.size()) + (openLast ? 2 : 0);
    if (extra == 0)
        return;
    Text.reserve(size + extra);
    Text.resize(size + extra);
    char16_t* w = reinterpret_cast<char16_t*>(Text.data());
    qsizetype out = size + extra;
    if (openLast) {
        w[--out] = u'\n';
        w[--out] = u'\r';
    }
    qsizetype end = size; // the run [after the break, end) moves as one piece
    for (auto it = lone.rbegin(); it != lone.rend(); ++it) {
        const qsizetype run = end - (*it + 1);
        out -= run;
        std::memmove(w + out, w + *it + 1, size_t(run) * sizeof(char16_t));
        w[--out] = u'\n';
        w[--out] = u'\r';
        end = *it;
    }
    // What precedes the first lone break is already in place (out == end here).
}

} // namespace

TKvIHTTPClient::TKvIHTTPClient(TComponent* AOwner) : TKvInetBase(AOwner) {
    SetPort(80);
    FAction = haHead;
    FRemoveHeaders = true;
    FHeaders = new TStringList(this);
    FResponseHeaders = new TStringList(this);
}

TKvIHTTPClient::~TKvIHTTPClient() = default;

void TKvIHTTPClient::SetHeaders(TStrings* Value) { FHeaders->Assign(Value); }

bool TKvIHTTPClient::ThroughProxy() const { return Proxy()->UseProxy() && !Proxy()->Server().isEmpty(); }

QString TKvIHTTPClient::TargetAuthority(bool WithDefaultPort) const {
    QString host = AssignedHost().isEmpty() ? AssignedAddress() : AssignedHost();
    if (host.contains(u':') && !host.startsWith(u'['))
        host = u'[' + host + u']';
    if (WithDefaultPort || AssignedPort() != 80)
        host += u':' + QString::number(AssignedPort());
    return host;
}

QString TKvIHTTPClient::GetQuery() {
    RefuseLineBreaks(FRequest, "Request");
    for (int i = 0; i < FHeaders->Count(); ++i)
        RefuseLineBreaks(FHeaders->Get(i), "Headers");
    const QString method = QString::fromLatin1(MethodNames[FAction]);
    QString query;
    if (ThroughProxy()) {
        // The form a proxy understands; its credentials go inside the header section.
        AskProxyLogon();
        QString path = FRequest.isEmpty() ? QStringLiteral("/") : FRequest;
        if (!path.startsWith(u'/'))
            path.prepend(u'/');
        query = method + QStringLiteral(" http://") + TargetAuthority(false) + path + QStringLiteral(" HTTP/1.0") +
                CRLF + QStringLiteral("Host: ") + TargetAuthority(false) + CRLF;
        if (!Proxy()->User().isEmpty())
            query += QStringLiteral("Proxy-Authorization: Basic ") +
                     Encode64(Proxy()->User() + u':' + Proxy()->Password()) + CRLF;
    } else {
        // A numeric address has no host name to send; an empty Host line is refused by servers.
        const QString host = Host().isEmpty() && !Address().isEmpty() ? TargetAuthority(false) : Host();
        query = method + u' ' + FRequest + QStringLiteral(" HTTP/1.0") + CRLF + QStringLiteral("Host: ") + host + CRLF;
    }
    for (int i = 0; i < FHeaders->Count(); ++i)
        query += FHeaders->Get(i) + CRLF;
    query += CRLF;
    return query;
}

QString TKvIHTTPClient::GetRawHeaders() {
    // A proxied request carries its credentials itself; anything after its empty line would be garbage.
    if (ThroughProxy())
        return QString();
    return TKvInetBase::GetRawHeaders();
}

QString TKvIHTTPClient::GetResponse(const QString& Name) const {
    // Deliberately the first eight characters only (so "Location-Extra" matches too), and the whole line is
    // returned: OnRedirect handlers receive "Location: ..." and rely on it.
    for (int i = 0; i < FResponseHeaders->Count(); ++i) {
        const QString line = FResponseHeaders->Get(i);
        if (line.left(8).compare(Name.left(8), Qt::CaseInsensitive) == 0)
            return line;
    }
    return QString();
}

void TKvIHTTPClient::AfterExecute(QString& Text) {
    TKvInetBase::AfterExecute(Text);

    // The header lines up to the first empty line; the body is never split into a list.
    QStringList headers;
    qsizetype pos = 0;
    qsizetype bodyStart = -1;
    while (pos < Text.size()) {
        qsizetype next = 0;
        const qsizetype end = LineEnd(Text, pos, next);
        if (end == pos) {
            bodyStart = next;
            break;
        }
        headers << Text.mid(pos, end - pos);
        pos = next;
    }
    if (bodyStart < 0 && !headers.isEmpty())
        headers.removeLast(); // no empty line: the last line stands for it
    FResponseHeaders->SetStringList(headers);

    if (bodyStart < 0) {
        FBody.clear();
        if (FRemoveHeaders)
            Text.clear();
    } else {
        FBody = WireToBytes(QStringView(Text).mid(bodyStart));
        if (FRemoveHeaders) {
            Text.remove(0, bodyStart);
            UniformLineEnds(Text);
        }
    }

    const QString location = GetResponse(QStringLiteral("Location"));
    if (location.isEmpty())
        return;
    QString url = location;
    bool abort = true;
    if (FOnRedirect)
        FOnRedirect(this, url, abort);
    if (abort || url.isEmpty())
        return;
    FollowRedirect(url, Text);
}

void TKvIHTTPClient::FollowRedirect(const QString& URL, QString& Text) {
    if (FRedirects >= MaxRedirects)
        throw Exception(QStringLiteral("Too many redirects (more than %1)").arg(MaxRedirects));
    QString value = URL;
    if (value.left(9).compare(QLatin1String("Location:"), Qt::CaseInsensitive) == 0)
        value = value.mid(9);
    value = value.trimmed();
    const QUrl base(QStringLiteral("http://") + TargetAuthority(true) +
                    (FRequest.startsWith(u'/') ? FRequest : u'/' + FRequest));
    const QUrl target = base.resolved(QUrl(value, QUrl::TolerantMode));
    if (!target.isValid() || target.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0 ||
        target.host().isEmpty())
        throw Exception(QStringLiteral("Cannot follow the redirect to %1: only http:// addresses").arg(value));

    // The component's own settings stay as the application made them.
    const QString savedHost = AssignedHost().isEmpty() ? AssignedAddress() : AssignedHost();
    const int savedPort = AssignedPort();
    const QString savedRequest = FRequest;
    struct Restore {
        TKvIHTTPClient* Self;
        QString Host;
        int Port;
        QString Request;
        ~Restore() {
            Self->SetHost(Host);
            Self->SetPort(Port);
            Self->FRequest = Request;
            --Self->FRedirects;
        }
    } restore{this, savedHost, savedPort, savedRequest};
    ++FRedirects;

    Disconnect();
    SetHost(target.host());
    SetPort(target.port(80));
    FRequest = target.path(QUrl::FullyEncoded);
    if (FRequest.isEmpty())
        FRequest = QStringLiteral("/");
    if (target.hasQuery())
        FRequest += u'?' + target.query(QUrl::FullyEncoded);
    Connect();
    QString next = InternalExecute();
    AfterExecute(next);
    Text = std::move(next);
}

} // namespace KvInet
