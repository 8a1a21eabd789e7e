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
// CR LF may be split between two blocks. Ends receives how each line end came, so that the bytes as they
// came can be recovered.
//
// A CR is written as CR LF at once and noted as a lone CR; an LF that follows it turns the note into a
// CR LF, so no byte waits for the next one. Memory prepares the text's fresh memory ahead.
void AppendBodyLines(QString& Text, const char* Data, qsizetype Size, bool& AfterCR, TKvLineEnds& Ends,
                     TWriteAhead& Memory) {
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
            Ends.LastIsCrLf();
            AfterCR = false;
            return;
        }
        *out++ = u'\r';
        *out++ = u'\n';
        Ends.Push(c == '\r' ? TKvLineEnds::leLoneCr : TKvLineEnds::leLoneLf);
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

// Undoes AppendBodyLines on Text from From on, in place: every CR LF there is a line end that came as Ends
// says (body lines hold no other CR), and gets back the one or two characters it came as.
void DropAdded(QString& Text, qsizetype From, const TKvLineEnds& Ends) {
    char16_t* const body = reinterpret_cast<char16_t*>(Text.data()) + From;
    const qsizetype size = Text.size() - From;
    qsizetype read = 0, write = 0;
    for (size_t k = 0; k < Ends.Count(); ++k) {
        const qsizetype cr = QStringView(body + read, size - read).indexOf(u'\r');
        if (cr < 0)
            break;
        std::memmove(body + write, body + read, size_t(cr) * sizeof(char16_t));
        write += cr;
        read += cr + 2;
        switch (Ends.At(k)) {
        case TKvLineEnds::leCrLf:
            body[write++] = u'\r';
            body[write++] = u'\n';
            break;
        case TKvLineEnds::leLoneCr:
            body[write++] = u'\r';
            break;
        case TKvLineEnds::leLoneLf:
            body[write++] = u'\n';
            break;
        }
    }
    std::memmove(body + write, body + read, size_t(size - read) * sizeof(char16_t));
    Text.truncate(From + write + (size - read));
}

// Whether Head's status line is an interim answer ("HTTP/1.1 100 Continue"): a final answer follows it.
bool InterimStatus(QStringView StatusLine) {
    if (!StatusLine.startsWith(QLatin1String("HTTP/")))
        return false;
    const qsizetype space = StatusLine.indexOf(u' ');
    return space > 0 && space + 1 < StatusLine.size() && StatusLine[space + 1] == u'1';
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
        // Proxy credentials are the proxy's: never for an origin server, and not twice when the proxy's own
        // User is sent.
        if (line.startsWith(QLatin1String("Proxy-Authorization:"), Qt::CaseInsensitive) &&
            (!ThroughProxy() || !Proxy()->User().isEmpty()))
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

qsizetype TKvChunkedBody::Feed(const char* Data, qsizetype Count, const TSink& Sink) {
    // A line of the framing (a size with its extensions, the end of a chunk, a trailer line) is short; a
    // trailer as a whole is bounded like a header section.
    constexpr qsizetype MaxLine = 4096;
    const auto malformed = [](const char* Why) {
        throw Exception(QStringLiteral("The reply's chunked body is malformed: %1").arg(QLatin1String(Why)));
    };
    qsizetype i = 0;
    while (i < Count && FState != csDone) {
        if (FState == csData) {
            const qsizetype n = qsizetype(std::min<qint64>(FLeft, Count - i));
            Sink(Data + i, n);
            i += n;
            FLeft -= n;
            if (FLeft == 0)
                FState = csDataEnd;
            continue;
        }
        const auto* lf = static_cast<const char*>(std::memchr(Data + i, '\n', size_t(Count - i)));
        const qsizetype end = lf ? lf - Data : Count;
        FLine.append(Data + i, end - i);
        i = lf ? end + 1 : Count;
        if (FLine.size() > MaxLine)
            malformed("a line of its framing is too long");
        if (!lf)
            break;
        if (FLine.endsWith('\r'))
            FLine.chop(1);
        if (FState == csSize) {
            // Hexadecimal digits, then nothing or extensions after ";" (spaces allowed before it).
            qsizetype k = 0;
            while (k < FLine.size() && std::isxdigit(static_cast<unsigned char>(FLine[k])))
                ++k;
            if (k > 15)
                malformed("a chunk size is too large");
            const qint64 size = k > 0 ? FLine.left(k).toLongLong(nullptr, 16) : 0;
            qsizetype rest = k;
            while (rest < FLine.size() && (FLine[rest] == ' ' || FLine[rest] == '\t'))
                ++rest;
            if (k == 0 || (rest < FLine.size() && FLine[rest] != ';'))
                malformed("a chunk size is not a hexadecimal number");
            FLeft = size;
            FState = size > 0 ? csData : csTrailer;
        } else if (FState == csDataEnd) {
            if (!FLine.isEmpty())
                malformed("a chunk is longer than its size");
            FState = csSize;
        } else if (FLine.isEmpty()) {
            FState = csDone;
        } else if ((FTrailer += FLine.size()) > TKvIHTTPClient::MaxHeaderSize) {
            malformed("its trailer is too large");
        }
        FLine.clear();
    }
    return i;
}

void TKvIHTTPClient::ReadFraming(const QString& Head) const {
    FExpectedBody = -1;
    FChunked = false;
    const QString status = Head.left(Head.indexOf(u'\n')).section(u' ', 1, 1);
    // These answers have no body, whatever their framing says (it describes what a GET would bring): they
    // are read until the server closes, as a reply without a length is.
    if (FAction == haHead || status.startsWith(u'1') || status == QLatin1String("204") ||
        status == QLatin1String("304"))
        return;
    // A transfer coding replaces any length; the body is chunked when that is its last coding (a server that
    // ignores HTTP/1.0 may send it), and otherwise ends at the close.
    const QList<QStringView> codings = HttpHeaderValues(Head, QLatin1String("Transfer-Encoding"));
    if (!codings.isEmpty()) {
        FChunked = codings.last().split(u',').last().trimmed().compare(QLatin1String("chunked"),
                                                                       Qt::CaseInsensitive) == 0;
        return;
    }
    FExpectedBody = HttpContentLength(Head);
    if (FExpectedBody == HttpInvalidLength)
        throw Exception(QStringLiteral("The reply's Content-Length is not valid (not a number, or two "
                                       "different values)"));
}

void TKvIHTTPClient::FindHeaderEnd(const QString& Text) const {
    if (FHeaderEnd >= 0)
        return;
    // Looked for only in what arrived since the last look.
    const qsizetype next = HttpBodyStart(Text, std::max<qsizetype>(0, FScanned - 3));
    const qsizetype headSize = next < 0 ? Text.size() : next;
    if (headSize > FScanned)
        FHeadLines += int(QStringView(Text).mid(FScanned, headSize - FScanned).count(u'\n'));
    FScanned = Text.size();
    // Bounded as servers bound the header sections they accept, so that header lines, which are kept one
    // by one, cost memory in proportion to a small section; streaming keeps only the header section in
    // memory, which MaxReplySize bounds too.
    qsizetype limit = MaxHeaderSize;
    if (FBodyStream && MaxReplySize() > 0)
        limit = std::min<qsizetype>(limit, MaxReplySize());
    if (FInterimBytes + headSize > limit)
        throw Exception(QStringLiteral("The reply's header section is larger than %1 bytes").arg(limit));
    if (FHeadLines > MaxHeaderLines)
        throw Exception(
            QStringLiteral("The reply's header section has more than %1 lines").arg(MaxHeaderLines));
    if (next < 0)
        return;
    FHeaderEnd = next;
    ReadFraming(Text.left(next));
}

void TKvIHTTPClient::DropInterimHeads(QString& Text) {
    while (!FFinalHead) {
        const qsizetype lineEnd = Text.indexOf(u'\n');
        if (lineEnd < 0)
            return;
        if (!InterimStatus(QStringView(Text).left(lineEnd))) {
            FFinalHead = true;
            return;
        }
        const qsizetype end = HttpBodyStart(Text);
        if (end < 0)
            return;
        // An interim answer (100 Continue, 103 Early Hints...) only says that the real one is coming.
        FInterimBytes += end;
        Text.remove(0, end);
        FScanned = 0;
        FHeadLines = 0;
    }
}

void TKvIHTTPClient::TakeBody(const char* Data, qsizetype Count, const TKvChunkedBody::TSink& Sink) {
    if (FChunked) {
        FChunks.Feed(Data, Count, [&](const char* D, qsizetype N) {
            Sink(D, N);
            FBodyReceived += N;
        });
        return;
    }
    // What follows the announced body is not part of this reply.
    if (FExpectedBody >= 0)
        Count = qsizetype(std::min<qint64>(Count, FExpectedBody - FBodyReceived));
    if (Count <= 0)
        return;
    Sink(Data, Count);
    FBodyReceived += Count;
}

bool TKvIHTTPClient::BodyDone() const {
    return FChunked ? FChunks.Done() : FExpectedBody >= 0 && FBodyReceived >= FExpectedBody;
}

void TKvIHTTPClient::AppendBlock(QString& Text, const char* Data, qsizetype Count) {
    if (FHeaderEnd < 0) {
        AppendWire(Text, Data, Count);
        DropInterimHeads(Text);
        FindHeaderEnd(Text);
        if (FHeaderEnd < 0)
            return;
        // The header section is whole: the rest of this block (the header section ended inside it) and
        // every block after it is body, taken as it comes so that it needs no pass of its own once read.
        const qsizetype tail = Text.size() - FHeaderEnd;
        Text.truncate(FHeaderEnd);
        Data += Count - tail;
        Count = tail;
        if (FLinesAsTheyCome)
            FLinesFrom = FHeaderEnd;
        if (FBodyStream) {
            FPending = QByteArray(Data, Count);
            return;
        }
    }
    if (FLinesAsTheyCome) {
        TakeBody(Data, Count, [&](const char* D, qsizetype N) {
            AppendBodyLines(Text, D, N, FAfterCR, FLineEnds, FMemory);
        });
        FLinesEnd = Text.constData() + Text.size();
    } else {
        TakeBody(Data, Count, [&](const char* D, qsizetype N) { AppendWire(Text, D, N); });
    }
}

bool TKvIHTTPClient::ReplyComplete(const QString& Text) const {
    (void)Text; // AppendBlock has followed the reply as it came
    if (FHeaderEnd < 0)
        return false;
    // A streamed body is read by StreamBody, block by block, never into the text.
    if (FBodyStream)
        return true;
    // Once the whole body is here the reply is complete: a close or reset after it changes nothing.
    return BodyDone();
}

void TKvIHTTPClient::BeginReply() {
    FHeaderEnd = -1;
    FScanned = 0;
    FHeadLines = 0;
    FInterimBytes = 0;
    FFinalHead = false;
    FExpectedBody = -1;
    FChunked = false;
    FChunks = TKvChunkedBody();
    FPending.clear();
    FHeld.clear();
    // The body's lines are made as it arrives unless the application may want the reply as it came.
    FLinesAsTheyCome = FRemoveHeaders && !FBodyStream && !HandlesAfterExecute();
    FLinesFrom = -1;
    FLinesEnd = nullptr;
    FLineEnds.Clear();
    FAfterCR = false;
    FBodyReceived = 0;
    FMemory = TWriteAhead();
}

QString TKvIHTTPClient::InternalExecute() {
    BeginReply();
    if (FBodyStream)
        ClientSocket()->SetReceiveLimit(
            0); // the header section is bounded by FindHeaderEnd, the body by the stream
    QString text = TKvInetBase::InternalExecute();
    if (!LastError().isEmpty())
        return text; // no answer at all
    if (FBodyStream && FHeaderEnd >= 0)
        StreamBody(text);
    // A cut reply stays as it came; the caller learns that it is not the whole reply.
    if (!text.isEmpty() && FHeaderEnd < 0)
        SetLastError(QStringLiteral("The reply ended inside its header section"));
    else if (FChunked && !FChunks.Done())
        SetLastError(
            QStringLiteral("The reply ended inside its chunked body, after %1 bytes").arg(FBodyReceived));
    else if (FExpectedBody > 0 && FBodyReceived < FExpectedBody)
        SetLastError(QStringLiteral("The reply ended after %1 of the %2 bytes its body announced")
                         .arg(FBodyReceived)
                         .arg(FExpectedBody));
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
        DropAdded(Text, linesFrom, FLineEnds);
    FLineEnds.Clear();
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
        AppendBodyLines(lines, buffer, slice.size(), FAfterCR, FLineEnds, memory);
    }
    FBodyReceived = body.size();
    Text = std::move(lines);
}

int TKvIHTTPClient::RedirectStatus(const QStringList& HeadLines) {
    const int status = StrToIntDef(HeadLines.value(0).section(u' ', 1, 1), 0);
    // "Location : x" or "Location-Extra: x" is no request to go elsewhere, nor is a 304's Location.
    if (status < 300 || status > 399 || status == 304)
        return 0;
    for (qsizetype i = 1; i < HeadLines.size(); ++i)
        if (HeadLines[i].left(9).compare(QLatin1String("Location:"), Qt::CaseInsensitive) == 0)
            return status;
    return 0;
}

void TKvIHTTPClient::StreamBody(QString& Text) {
    QStringList head = Text.left(FHeaderEnd).split(u'\n');
    for (QString& line : head)
        if (line.endsWith(u'\r'))
            line.chop(1);
    // A redirect that OnRedirect may follow is not the body the caller asked for: held until the handler
    // has decided (AfterExecute writes it when the redirect stays where it is).
    const bool hold = FOnRedirect && RedirectStatus(head) != 0;
    const auto sink = [&](const char* Data, qsizetype Count) {
        if (!hold) {
            FBodyStream->WriteBuffer(Data, Count);
            return;
        }
        if (MaxReplySize() > 0 && FHeld.size() + Count > MaxReplySize())
            throw Exception(QStringLiteral("The reply is larger than %1 bytes").arg(MaxReplySize()));
        FHeld.append(Data, Count);
    };
    const QByteArray first = std::move(FPending);
    FPending = QByteArray();
    TakeBody(first.constData(), first.size(), sink);
    // Larger reads than the text's blocks: nothing here is kept, and fewer calls keep pace with the network.
    constexpr int StreamBlock = 128 * 1024;
    std::vector<char> block(StreamBlock);
    while (!BodyDone()) {
        const int n = ReceiveFromSocket(block.data(), StreamBlock);
        if (n <= 0)
            break;
        TakeBody(block.data(), n, sink);
    }
}

void TKvIHTTPClient::MakeBody() const {
    // The text back to its bytes; in body lines every CR LF is a line end that came as FBodyEnds says.
    FBody.resize(FBodySize);
    char* out = FBody.data();
    char* const end = out + FBodySize;
    const QStringView text = QStringView(FBodyText).mid(FBodyFrom);
    qsizetype at = 0;
    for (size_t k = 0; out < end && FBodyLines && k < FBodyEnds.Count(); ++k) {
        qsizetype cr = text.indexOf(u'\r', at);
        if (cr < 0)
            break;
        const qsizetype plain = std::min<qsizetype>(cr - at, end - out);
        WireToBytes(text.mid(at, plain), out);
        out += plain;
        at = cr + 2;
        const TKvLineEnds::TKind kind = FBodyEnds.At(k);
        if (out < end && kind != TKvLineEnds::leLoneLf)
            *out++ = '\r';
        if (out < end && kind != TKvLineEnds::leLoneCr)
            *out++ = '\n';
    }
    if (out < end)
        WireToBytes(text.mid(at, end - out), out);
    FBodyText.clear();
    FBodyEnds.Clear();
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
    // A streamed redirect's own body, kept until it is known whether the redirect is followed.
    const QByteArray held = std::move(FHeld);
    FHeld = QByteArray();

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
    FBodyEnds.Clear();
    FBodyLines = false;
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
        FBodyEnds = std::move(FLineEnds);
        FLineEnds.Clear();
        FBodyLines = true;
        // An unended last line gets its CR LF; then the header section goes, from the front, which moves
        // nothing (appending after that could move the whole body to the front).
        if (Text.size() > bodyStart && !Text.endsWith(u'\n'))
            Text += CRLF;
        Text.remove(0, bodyStart);
        FBodyText = Text;
    }

    // A redirect that is not followed gives its own body, in the text and in the stream alike.
    const auto stay = [&] {
        if (!held.isEmpty() && FBodyStream)
            FBodyStream->WriteBuffer(held.constData(), held.size());
    };
    const QString location = GetResponse(QStringLiteral("Location"));
    if (location.isEmpty())
        return stay();
    QString url = location;
    bool abort = true;
    if (FOnRedirect)
        FOnRedirect(this, url, abort);
    // Followed only when the reply really is a redirect: a 3xx status other than 304 with a header named
    // exactly "Location" (a header that merely begins with the same letters, or a Location on a 201, is
    // no request to go elsewhere).
    const int status = RedirectStatus(FResponseHeaders->Lines());
    if (abort || url.isEmpty() || status == 0)
        return stay();
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
    if (port <= 0 || port > 65535)
        throw Exception(
            QStringLiteral("Cannot follow the redirect to %1: port %2 is not valid").arg(value).arg(port));
    FOtherOrigin = FOtherOrigin || host.compare(savedHost, Qt::CaseInsensitive) != 0 || port != savedPort;
    Disconnect();
    SetHost(host);
    SetPort(port);
    FRequest = target.path(QUrl::FullyEncoded);
    if (FRequest.isEmpty())
        FRequest = QStringLiteral("/");
    if (target.hasQuery())
        FRequest += u'?' + target.query(QUrl::FullyEncoded);
    // The new target is checked before anything reaches it.
    CheckInput();
    Connect();
    QString next = InternalExecute();
    AfterExecute(next);
    Text = std::move(next);
}

} // namespace KvInet
