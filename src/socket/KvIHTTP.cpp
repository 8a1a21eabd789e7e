// KvIHTTP: request building, reply splitting, redirects.
#include "socket/KvIHTTP.h"

#include "platform/WireText.h"
#include "socket/kviutil.h"

#include <algorithm>
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

// Makes Text its part from From on, each line ended by CR LF (a lone CR or LF becomes CR LF, an unended
// last line gets one), in place. Inserted receives the positions, in the new text, of the characters that
// were added, in ascending order, so that the part as it was can be recovered.
//
// The breaks are found eight characters at a time; the text between them then moves in whole runs, each by
// its own distance: the runs that move towards the front are moved first to last, the runs that move towards
// the back last to first, so no character is overwritten before it moved. One pass over the text drops the
// header section and fixes the line ends together.
void BodyLines(QString& Text, qsizetype From, std::vector<qsizetype>& Inserted) {
    Inserted.clear();
    const qsizetype size = Text.size();
    if (From >= size) {
        Text.clear();
        return;
    }
    // The breaks that are not CR LF yet, as position * 2 + 1 for a lone CR, position * 2 for a lone LF.
    std::vector<qsizetype>& lone = Inserted;
    const char16_t* d = reinterpret_cast<const char16_t*>(Text.constData());
    auto note = [&](qsizetype i) {
        if (d[i] == u'\r') {
            if (i + 1 >= size || d[i + 1] != u'\n')
                lone.push_back(i * 2 + 1);
        } else if (i == From || d[i - 1] != u'\r') {
            lone.push_back(i * 2);
        }
    };
    qsizetype i = From;
    if (d[i] == u'\r' || d[i] == u'\n')
        note(i++);
    else
        ++i;
#if defined(__SSE2__)
    // Eight characters at a time, each compared with its neighbours, so that CR LF pairs (the usual line
    // end) and plain characters cost no branch; only the lone breaks are looked at one by one.
    const __m128i cr = _mm_set1_epi16(0x0D), lf = _mm_set1_epi16(0x0A);
    for (; i + 9 <= size; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i - 1));
        const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i + 1));
        const __m128i loneCR = _mm_andnot_si128(_mm_cmpeq_epi16(after, lf), _mm_cmpeq_epi16(v, cr));
        const __m128i loneLF = _mm_andnot_si128(_mm_cmpeq_epi16(before, cr), _mm_cmpeq_epi16(v, lf));
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_or_si128(loneCR, loneLF)));
        if (mask == 0)
            continue;
        const unsigned crMask = unsigned(_mm_movemask_epi8(loneCR));
        do {
            const int bit = __builtin_ctz(mask);
            lone.push_back((i + bit / 2) * 2 + ((crMask >> bit) & 1));
            mask &= ~(3u << bit);
        } while (mask);
    }
#endif
    for (; i < size; ++i)
        if (d[i] == u'\r' || d[i] == u'\n')
            note(i);
    const bool openLast = d[size - 1] != u'\r' && d[size - 1] != u'\n';

    // Run k is the text between lone breaks k - 1 and k; it moves by k - From (each break before it grew
    // by one character, the header section went).
    const qsizetype count = qsizetype(lone.size());
    const qsizetype newSize = size - From + count + (openLast ? 2 : 0);
    if (newSize > size) {
        Text.reserve(newSize);
        Text.resize(newSize);
    }
    char16_t* w = reinterpret_cast<char16_t*>(Text.data());
    auto moveRun = [&](qsizetype k) {
        const qsizetype begin = k == 0 ? From : lone[size_t(k - 1)] / 2 + 1;
        const qsizetype end = k == count ? size : lone[size_t(k)] / 2;
        if (end > begin && k != From)
            std::memmove(w + begin + k - From, w + begin, size_t(end - begin) * sizeof(char16_t));
    };
    auto putBreak = [&](qsizetype k) {
        const qsizetype at = lone[size_t(k)] / 2 + k - From;
        w[at] = u'\r';
        w[at + 1] = u'\n';
    };
    const qsizetype forward = std::min(count, From);
    for (qsizetype k = 0; k <= forward; ++k) {
        moveRun(k);
        if (k < forward)
            putBreak(k);
    }
    for (qsizetype k = count; k > forward; --k) {
        moveRun(k);
        putBreak(k - 1);
    }
    if (openLast) {
        w[newSize - 2] = u'\r';
        w[newSize - 1] = u'\n';
    }
    if (newSize < size)
        Text.truncate(newSize);
    // What was added: the LF after a lone CR, the CR before a lone LF.
    for (qsizetype k = 0; k < count; ++k) {
        const qsizetype at = lone[size_t(k)] / 2 + k - From;
        lone[size_t(k)] = (lone[size_t(k)] & 1) ? at + 1 : at;
    }
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

void TKvIHTTPClient::CheckInput() {
    TKvInetBase::CheckInput();
    RefuseLineBreaks(FRequest, "Request");
    for (int i = 0; i < FHeaders->Count(); ++i)
        RefuseLineBreaks(FHeaders->Get(i), "Headers");
}

QString TKvIHTTPClient::GetQuery() {
    // Checked again here: a redirect changes the request after Execute's check.
    CheckInput();
    QString query = HttpRequestHead(QString::fromLatin1(MethodNames[FAction]), FRequest);
    for (int i = 0; i < FHeaders->Count(); ++i) {
        const QString& line = FHeaders->Get(i);
        // The caller's credentials and cookies are for the server they asked, not for where it sends us.
        if (FOtherOrigin && (line.startsWith(QLatin1String("Authorization:"), Qt::CaseInsensitive) ||
                             line.startsWith(QLatin1String("Cookie:"), Qt::CaseInsensitive)))
            continue;
        query += line + CRLF;
    }
    return query + HttpRequestEnd();
}

QString TKvIHTTPClient::GetRawHeaders() {
    // The request ends itself (HttpRequestEnd): bytes after its empty line would reach a server that has
    // already answered and closed, which then resets the connection and the reply is lost.
    return QString();
}

bool TKvIHTTPClient::ReplyComplete(const QString& Text) const {
    if (FHeaderEnd < 0) {
        // The header section's end, looked for only in what arrived since the last look.
        const qsizetype next = HttpBodyStart(Text, std::max<qsizetype>(0, FScanned - 3));
        FScanned = Text.size();
        // Streaming keeps only the header section in memory: that is what the size limit bounds.
        if (next < 0 && FBodyStream && MaxReplySize() > 0 && Text.size() > MaxReplySize())
            throw Exception(QStringLiteral("The header section is larger than %1 bytes").arg(MaxReplySize()));
        if (next < 0)
            return false;
        FHeaderEnd = next;
        FExpectedBody = ExpectedBodyLength(Text.left(next));
    }
    // A streamed body is read by StreamBody, block by block, never into the text.
    if (FBodyStream)
        return true;
    // Once the announced body is here the reply is complete: a close or reset after it changes nothing.
    return FExpectedBody >= 0 && Text.size() - FHeaderEnd >= FExpectedBody;
}

qint64 TKvIHTTPClient::ExpectedBodyLength(const QString& Head) const {
    const QString status = Head.left(Head.indexOf(u'\n')).section(u' ', 1, 1);
    // These answers have no body, whatever Content-Length says (it describes what a GET would bring): they
    // are read until the server closes, as a reply without a length is.
    if (FAction == haHead || status.startsWith(u'1') || status == QLatin1String("204") ||
        status == QLatin1String("304"))
        return -1;
    return HttpContentLength(Head);
}

QString TKvIHTTPClient::InternalExecute() {
    FHeaderEnd = -1;
    FScanned = 0;
    FExpectedBody = -1;
    if (FBodyStream)
        ClientSocket()->SetReceiveLimit(
            0); // the header section is bounded by ReplyComplete, the body by the stream
    QString text = TKvInetBase::InternalExecute();
    if (FBodyStream) {
        if (FHeaderEnd >= 0)
            StreamBody(text);
        return text;
    }
    const bool complete = !text.isEmpty() && ReplyComplete(text);
    // What follows the announced body is not part of this reply.
    if (complete && text.size() > FHeaderEnd + FExpectedBody)
        text.truncate(FHeaderEnd + FExpectedBody);
    if (!text.isEmpty() && !complete && FExpectedBody > 0 && FHeaderEnd >= 0) {
        // The text stays as it came; the caller learns that it is not the whole reply.
        SetLastError(QStringLiteral("The reply ended after %1 of the %2 bytes its body announced")
                         .arg(text.size() - FHeaderEnd)
                         .arg(FExpectedBody));
    }
    return text;
}

void TKvIHTTPClient::StreamBody(QString& Text) {
    const QStringList head = Text.left(FHeaderEnd).split(u'\n');
    const int status = StrToIntDef(head.value(0).section(u' ', 1, 1), 0);
    bool redirect = false;
    for (const QString& line : head)
        redirect =
            redirect ||
            line.section(u':', 0, 0).trimmed().compare(QLatin1String("Location"), Qt::CaseInsensitive) == 0;
    // A redirect's notice is not the body the caller asked for: read past it, keep nothing of it.
    const bool write = !(redirect && status >= 300 && status <= 399);
    qint64 written = 0;
    auto take = [&](const char* Data, qint64 Count) {
        if (FExpectedBody >= 0)
            Count = std::min(Count, FExpectedBody - written);
        if (Count > 0 && write)
            FBodyStream->WriteBuffer(Data, Count);
        written += std::max<qint64>(Count, 0);
    };
    const QByteArray first = WireToBytes(QStringView(Text).mid(FHeaderEnd));
    take(first.constData(), first.size());
    Text.truncate(FHeaderEnd);
    char block[BlockSize];
    while (FExpectedBody < 0 || written < FExpectedBody) {
        const int n = ReceiveFromSocket(block, BlockSize);
        if (n <= 0)
            break;
        take(block, n);
    }
    if (FExpectedBody > 0 && written < FExpectedBody)
        SetLastError(QStringLiteral("The reply ended after %1 of the %2 bytes its body announced")
                         .arg(written)
                         .arg(FExpectedBody));
}

void TKvIHTTPClient::MakeBody() const {
    // The text without the characters that were added, each character back to its byte.
    FBody.resize(FBodySize);
    const QStringView text(FBodyText);
    char* out = FBody.data();
    qsizetype from = FBodyFrom;
    for (const qsizetype added : FBodyAdded) {
        WireToBytes(text.mid(from, added - from), out);
        out += added - from;
        from = added + 1;
    }
    WireToBytes(text.mid(from, FBody.size() - (out - FBody.data())), out);
    FBodyText.clear();
    FBodyAdded = std::vector<qsizetype>();
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

    // The body's bytes are made when Body is first read (most callers never do): until then the text and
    // the places where line ends were added are kept, the text shared with the one returned.
    FBody.clear();
    FBodyText.clear();
    FBodyAdded.clear();
    FBodyFrom = 0;
    FBodySize = 0;
    if (bodyStart < 0) {
        if (FRemoveHeaders)
            Text.clear();
    } else {
        FBodySize = Text.size() - bodyStart;
        if (FRemoveHeaders) {
            BodyLines(Text, bodyStart, FBodyAdded);
        } else {
            FBodyFrom = bodyStart;
        }
        FBodyText = Text;
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
    // Followed only when the reply really is a redirect: a 3xx status with a "Location:" line (a header
    // that merely begins with the same letters, or a Location on a 201, is no request to go elsewhere).
    const QString statusLine = FResponseHeaders->Count() > 0 ? FResponseHeaders->Get(0) : QString();
    const int status = StrToIntDef(statusLine.section(u' ', 1, 1), 0);
    bool exact = false;
    for (int i = 0; i < FResponseHeaders->Count() && !exact; ++i)
        exact = FResponseHeaders->Get(i)
                    .section(u':', 0, 0)
                    .trimmed()
                    .compare(QLatin1String("Location"), Qt::CaseInsensitive) == 0;
    if (status < 300 || status > 399 || !exact)
        return;
    FollowRedirect(url, status, Text);
}

void TKvIHTTPClient::FollowRedirect(const QString& URL, int Status, QString& Text) {
    if (FRedirects >= MaxRedirects)
        throw Exception(QStringLiteral("Too many redirects (more than %1)").arg(MaxRedirects));
    QString value = URL;
    if (value.left(9).compare(QLatin1String("Location:"), Qt::CaseInsensitive) == 0)
        value = value.mid(9);
    value = value.trimmed();
    const QUrl base(QStringLiteral("http://") + HttpAuthority(true) +
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
        TKvIHTTPAction Action;
        bool OtherOrigin;
        ~Restore() {
            Self->SetHost(Host);
            Self->SetPort(Port);
            Self->FRequest = Request;
            Self->FAction = Action;
            Self->FOtherOrigin = OtherOrigin;
            --Self->FRedirects;
        }
    } restore{this, savedHost, savedPort, savedRequest, FAction, FOtherOrigin};
    ++FRedirects;

    // 301, 302 and 303 ask again with GET (a HEAD stays a HEAD); 307 and 308 keep the method.
    if (Status != 307 && Status != 308 && FAction == haPost)
        FAction = haGet;
    const QString host = target.host();
    const int port = target.port(80);
    FOtherOrigin = FOtherOrigin || host.compare(savedHost, Qt::CaseInsensitive) != 0 || port != savedPort;
    Disconnect();
    SetHost(host);
    SetPort(port);
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
