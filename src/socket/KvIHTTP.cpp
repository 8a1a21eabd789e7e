// KvIHTTP: request building, reply splitting, redirects.
#include "socket/KvIHTTP.h"

#include "platform/System.h"
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

// Appends Size bytes of a body to Text as wire text, each line ended with CR LF: a lone CR gets an LF after
// it, a lone LF a CR before it. AfterCR carries over calls whether the last byte taken was a CR, since a
// CR LF may be split between two blocks. Added receives the positions, counted from Base, of the
// characters that were added, in ascending order, so that the bytes as they came can be recovered.
//
// A CR is written as CR LF at once, its LF noted as added; an LF that follows it takes that LF's place
// (the note is dropped), so no byte waits for the next one. Memory prepares the text's fresh memory ahead.
void AppendBodyLines(QString& Text, const char* Data, qsizetype Size, bool& AfterCR,
                     std::vector<qsizetype>& Added, qsizetype Base, TWriteAhead& Memory) {
    if (Size <= 0)
        return;
    const qsizetype old = Text.size();
    Text.resize(old + 2 * Size); // room for the worst case, every byte a lone line end
    char16_t* const start = reinterpret_cast<char16_t*>(Text.data());
    Memory.Before(start, size_t(old) * sizeof(char16_t), size_t(Text.capacity()) * sizeof(char16_t));
    char16_t* out = start + old;
    const auto* in = reinterpret_cast<const unsigned char*>(Data);
    qsizetype i = 0;
    auto lineEnd = [&](unsigned char c) {
        if (c == '\n' && AfterCR) {
            Added.pop_back();
            AfterCR = false;
            return;
        }
        if (c == '\n')
            Added.push_back(out - start - Base);
        *out++ = u'\r';
        if (c == '\r')
            Added.push_back(out - start - Base);
        *out++ = u'\n';
        AfterCR = c == '\r';
    };
#if defined(__SSE2__)
    // Sixteen bytes at a time: widened and stored whole, then kept up to the first line end among them.
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    while (i + 16 <= Size) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
        const unsigned breaks =
            unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))));
        const int plain = breaks ? __builtin_ctz(breaks) : 16;
        out += plain;
        i += plain;
        if (plain > 0)
            AfterCR = false;
        if (breaks)
            lineEnd(in[i++]);
    }
#endif
    for (; i < Size; ++i) {
        if (in[i] == '\r' || in[i] == '\n') {
            lineEnd(in[i]);
        } else {
            *out++ = in[i];
            AfterCR = false;
        }
    }
    Text.resize(out - start);
}

// Undoes AppendBodyLines on Text from From on: drops the characters at the Added positions (counted from
// From), leaving the body's bytes as they came, in place.
void DropAdded(QString& Text, qsizetype From, const std::vector<qsizetype>& Added) {
    char16_t* const body = reinterpret_cast<char16_t*>(Text.data()) + From;
    const qsizetype size = Text.size() - From;
    qsizetype write = Added.empty() ? size : Added.front();
    for (size_t k = 0; k < Added.size(); ++k) {
        const qsizetype begin = Added[k] + 1;
        const qsizetype end = k + 1 < Added.size() ? Added[k + 1] : size;
        std::memmove(body + write, body + begin, size_t(end - begin) * sizeof(char16_t));
        write += end - begin;
    }
    Text.truncate(From + write);
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

void TKvIHTTPClient::FindHeaderEnd(const QString& Text) const {
    if (FHeaderEnd >= 0)
        return;
    // Looked for only in what arrived since the last look.
    const qsizetype next = HttpBodyStart(Text, std::max<qsizetype>(0, FScanned - 3));
    FScanned = Text.size();
    // Streaming keeps only the header section in memory: that is what the size limit bounds.
    if (next < 0 && FBodyStream && MaxReplySize() > 0 && Text.size() > MaxReplySize())
        throw Exception(QStringLiteral("The header section is larger than %1 bytes").arg(MaxReplySize()));
    if (next < 0)
        return;
    FHeaderEnd = next;
    FExpectedBody = ExpectedBodyLength(Text.left(next));
}

qint64 TKvIHTTPClient::BodyReceived(const QString& Text) const {
    return FLinesFrom >= 0 ? FBodyReceived : Text.size() - FHeaderEnd;
}

void TKvIHTTPClient::AppendBlock(QString& Text, const char* Data, qsizetype Count) {
    if (FLinesFrom < 0) {
        AppendWire(Text, Data, Count);
        if (!FLinesAsTheyCome)
            return;
        FindHeaderEnd(Text);
        if (FHeaderEnd < 0)
            return;
        // The header section is whole: the rest of this block, and every block after it, is taken as body
        // lines as it comes, so that the body needs no pass of its own once read.
        const qsizetype tail = Text.size() - FHeaderEnd;
        Text.truncate(FHeaderEnd);
        FLinesFrom = FHeaderEnd;
        Data += Count - tail;
        Count = tail;
    }
    // What follows the announced body is not part of this reply.
    if (FExpectedBody >= 0)
        Count = std::min<qint64>(Count, FExpectedBody - FBodyReceived);
    AppendBodyLines(Text, Data, Count, FAfterCR, FLinesAdded, FLinesFrom, FMemory);
    FBodyReceived += Count;
    FLinesEnd = Text.constData() + Text.size();
}

bool TKvIHTTPClient::ReplyComplete(const QString& Text) const {
    FindHeaderEnd(Text);
    if (FHeaderEnd < 0)
        return false;
    // A streamed body is read by StreamBody, block by block, never into the text.
    if (FBodyStream)
        return true;
    // Once the announced body is here the reply is complete: a close or reset after it changes nothing.
    return FExpectedBody >= 0 && BodyReceived(Text) >= FExpectedBody;
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
    // The body's lines are made as it arrives unless the application may want the reply as it came.
    FLinesAsTheyCome = FRemoveHeaders && !FBodyStream && !HandlesAfterExecute();
    FLinesFrom = -1;
    FLinesEnd = nullptr;
    FLinesAdded.clear();
    FAfterCR = false;
    FBodyReceived = 0;
    FMemory = TWriteAhead();
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
    if (complete && FLinesFrom < 0 && text.size() > FHeaderEnd + FExpectedBody)
        text.truncate(FHeaderEnd + FExpectedBody);
    if (!text.isEmpty() && !complete && FExpectedBody > 0 && FHeaderEnd >= 0) {
        // The text stays as it came; the caller learns that it is not the whole reply.
        SetLastError(QStringLiteral("The reply ended after %1 of the %2 bytes its body announced")
                         .arg(BodyReceived(text))
                         .arg(FExpectedBody));
    }
    return text;
}

void TKvIHTTPClient::BodyLinesFrom(QString& Text, qsizetype From) {
    // The lines made while reading belong to the text as it was read: a text that is not that one (given
    // to AfterExecute by other code) is taken as it is.
    const qsizetype linesFrom = Text.constData() + Text.size() == FLinesEnd ? FLinesFrom : -1;
    FLinesFrom = -1;
    FLinesEnd = nullptr;
    if (linesFrom == From)
        return;
    // The lines were made from where the header section ends by HTTP's rule, and the header lines end
    // earlier (at a line ended by a lone CR): the bytes as they came are back, to be taken from From.
    if (linesFrom >= 0)
        DropAdded(Text, linesFrom, FLinesAdded);
    FLinesAdded.clear();
    FAfterCR = false;
    QString lines;
    lines.reserve(Text.size() + Text.size() / 32 + 2);
    lines.append(QStringView(Text).left(From));
    constexpr qsizetype Slice = 1 << 16;
    char buffer[Slice];
    TWriteAhead memory;
    const QStringView body = QStringView(Text).mid(From);
    for (qsizetype at = 0; at < body.size(); at += Slice) {
        const QStringView slice = body.mid(at, std::min(Slice, body.size() - at));
        WireToBytes(slice, buffer);
        AppendBodyLines(lines, buffer, slice.size(), FAfterCR, FLinesAdded, From, memory);
    }
    FBodyReceived = body.size();
    Text = std::move(lines);
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
    // Larger reads than the text's blocks: nothing here is kept, and fewer calls keep pace with the network.
    constexpr int StreamBlock = 128 * 1024;
    std::vector<char> block(StreamBlock);
    while (FExpectedBody < 0 || written < FExpectedBody) {
        const int n = ReceiveFromSocket(block.data(), StreamBlock);
        if (n <= 0)
            break;
        take(block.data(), n);
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
    } else if (!FRemoveHeaders) {
        FBodySize = Text.size() - bodyStart;
        FBodyFrom = bodyStart;
        FBodyText = Text;
    } else {
        BodyLinesFrom(Text, bodyStart);
        FBodySize = FBodyReceived;
        FBodyAdded = std::move(FLinesAdded);
        FLinesAdded.clear();
        // An unended last line gets its CR LF; then the header section goes, from the front, which moves
        // nothing (appending after that could move the whole body to the front).
        if (Text.size() > bodyStart && !Text.endsWith(u'\n'))
            Text += CRLF;
        Text.remove(0, bodyStart);
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
