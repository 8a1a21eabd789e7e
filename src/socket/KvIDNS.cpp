// KvIDNS: DNS query building and answer decoding.
#include "socket/KvIDNS.h"

#include "platform/WireText.h"

#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QUrl>

#include <array>
#include <cerrno>

namespace KvInet {

namespace {

constexpr std::array<uint16_t, KvIDNSRequestCount> requestCodes = {255, 1,  2,  5,  6,  7,   8,   9,  10, 11,
                                                                   12,  13, 14, 15, 16, 252, 253, 28, 33};

constexpr int maxLabel = 63;
constexpr int maxName = 255;
constexpr int headerSize = 12;

// The labels of a domain, cut at each full stop from the left; a final full stop adds no empty label ("."
// alone is the root, no label at all). Two full stops in a row or a leading one would give an empty label,
// which a reader takes for the end of the name: refused. A domain beyond ASCII is asked for in its ASCII
// form (IDNA, as QUrl::toAce gives it), as other resolvers do, not as raw Latin-1 bytes.
QStringList CutLabels(const QString& Domain) {
    for (QChar c : Domain)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            throw EKvIDNSError(QStringLiteral("The domain holds a control character (U+%1)")
                                   .arg(QString::number(c.unicode(), 16).rightJustified(4, u'0').toUpper()));
    QString name = Domain;
    for (QChar c : Domain)
        if (c.unicode() > 0x7F) {
            name = QString::fromLatin1(QUrl::toAce(Domain));
            if (name.isEmpty())
                throw EKvIDNSError(
                    QStringLiteral("The domain \"%1\" has no ASCII form (IDNA refuses it)").arg(Domain));
            break;
        }
    if (name == u".")
        return QStringList();
    if (name.endsWith(u'.'))
        name.chop(1);
    QStringList labels = name.split(u'.');
    if (labels.contains(QString()))
        throw EKvIDNSError(QStringLiteral("The domain \"%1\" has an empty label").arg(Domain));
    return labels;
}

void AppendU16(QByteArray& Out, uint16_t Value) {
    Out.append(char(Value >> 8));
    Out.append(char(Value & 0xFF));
}

QByteArray EncodeName(const QStringList& Labels, const QString& Domain) {
    QByteArray name;
    for (const QString& label : Labels) {
        if (label.size() > maxLabel)
            throw EKvIDNSError(
                QStringLiteral("The label \"%1\" of \"%2\" is longer than 63 characters").arg(label, Domain));
        name.append(char(label.size()));
        name.append(WireToBytes(label));
    }
    name.append('\0');
    if (name.size() > maxName)
        throw EKvIDNSError(
            QStringLiteral("The domain \"%1\" is longer than 255 bytes once encoded").arg(Domain));
    return name;
}

// ---- decoding helpers ------------------------------------------------------------------------------------

uint16_t U16(const uchar* P) {
    return uint16_t((P[0] << 8) | P[1]);
}
uint32_t U32(const uchar* P) {
    return (uint32_t(P[0]) << 24) | (uint32_t(P[1]) << 16) | (uint32_t(P[2]) << 8) | P[3];
}

// A byte of a label or character-string as zone files write it: special characters behind a backslash,
// unprintable ones as \DDD.
void AppendEscaped(QString& Out, uchar C, const char* Special) {
    if (C < 0x21 || C > 0x7E) {
        Out += QStringLiteral("\\%1").arg(int(C), 3, 10, QLatin1Char('0'));
        return;
    }
    for (const char* s = Special; *s; ++s)
        if (C == uchar(*s)) {
            Out += u'\\';
            break;
        }
    Out += QChar(C);
}

// The bytes of one message, read with bounds checks. Every reader returns false when the data runs out.
class MessageReader {
public:
    explicit MessageReader(const QByteArray& Message)
        : FData(reinterpret_cast<const uchar*>(Message.constData())), FSize(int(Message.size())) {}

    int Size() const { return FSize; }
    const uchar* Data() const { return FData; }

    // A possibly compressed name starting at Pos; on success Pos is just after the name as it stands at
    // Pos. Bytes read in sequence must lie below Limit; compression pointers may lead anywhere before the
    // end of the message. Loops end at the jump limit, long chains at the 255-byte name limit.
    bool ReadName(int& Pos, int Limit, QString& Name, QString& Problem) const {
        int p = Pos;
        int end = Limit;
        int jumps = 0;
        int wireLength = 0;
        bool jumped = false;
        QString out;
        for (;;) {
            if (p >= end) {
                Problem = QStringLiteral("a name runs past the end of its data");
                return false;
            }
            const uchar length = FData[p];
            if ((length & 0xC0) == 0xC0) {
                if (p + 1 >= end) {
                    Problem = QStringLiteral("a compression pointer is cut off");
                    return false;
                }
                const int target = ((length & 0x3F) << 8) | FData[p + 1];
                if (!jumped)
                    Pos = p + 2;
                jumped = true;
                if (++jumps > 128) {
                    Problem = QStringLiteral("compression pointers form a loop");
                    return false;
                }
                if (target >= FSize) {
                    Problem = QStringLiteral("a compression pointer points past the end of the message");
                    return false;
                }
                p = target;
                end = FSize;
                continue;
            }
            if (length & 0xC0) {
                Problem = QStringLiteral("a label has an unknown type (0x%1)")
                              .arg(int(length), 2, 16, QLatin1Char('0'));
                return false;
            }
            wireLength += 1 + length;
            if (wireLength > maxName) {
                Problem = QStringLiteral("a name is longer than 255 bytes");
                return false;
            }
            if (length == 0) {
                if (!jumped)
                    Pos = p + 1;
                break;
            }
            if (p + 1 + length > end) {
                Problem = QStringLiteral("a label runs past the end of its data");
                return false;
            }
            for (int i = 1; i <= length; ++i)
                AppendEscaped(out, FData[p + i], ".\\\"();@$");
            out += u'.';
            p += 1 + length;
        }
        Name = out.isEmpty() ? QStringLiteral(".") : out;
        return true;
    }

private:
    const uchar* FData;
    int FSize;
};

QString QuoteString(const QByteArray& S) {
    QString out = QStringLiteral("\"");
    for (char c : S) {
        if (c == ' ')
            out += u' '; // inside quotes a space needs no escape
        else
            AppendEscaped(out, uchar(c), "\"\\");
    }
    out += u'"';
    return out;
}

QString GenericData(const QByteArray& RData) {
    QString out = QStringLiteral("\\# %1").arg(RData.size());
    if (!RData.isEmpty())
        out += u' ' + QString::fromLatin1(RData.toHex().toUpper());
    return out;
}

// Decodes the record data of the types we know into the typed fields and Data. Returns false when the data
// does not fit the type's layout exactly.
bool DecodeRData(const MessageReader& Reader, int Start, int End, TKvIDNSRecord& Record, QString& Problem) {
    const uchar* d = Reader.Data();
    const int length = End - Start;
    int pos = Start;
    const auto name = [&](QString& Out) { return Reader.ReadName(pos, End, Out, Problem); };
    const auto strings = [&](QList<QByteArray>& Out) {
        while (pos < End) {
            const int n = d[pos];
            if (pos + 1 + n > End) {
                Problem = QStringLiteral("a character-string runs past the end of its record");
                return false;
            }
            Out << QByteArray(reinterpret_cast<const char*>(d + pos + 1), n);
            pos += 1 + n;
        }
        return true;
    };
    switch (Record.RType) {
    case 1: // A
        if (length != 4)
            break;
        Record.Address = QHostAddress(U32(d + Start));
        Record.Data = Record.Address.toString();
        return true;
    case 28: { // AAAA
        if (length != 16)
            break;
        Q_IPV6ADDR a;
        for (int i = 0; i < 16; ++i)
            a[i] = d[Start + i];
        Record.Address = QHostAddress(a);
        Record.Data = Record.Address.toString();
        return true;
    }
    case 2:
    case 5:
    case 7:
    case 8:
    case 9:
    case 12: // NS CNAME MB MG MR PTR
        if (!name(Record.Target) || pos != End)
            break;
        Record.Data = Record.Target;
        return true;
    case 15: // MX
        if (length < 3)
            break;
        Record.Preference = U16(d + pos);
        pos += 2;
        if (!name(Record.Target) || pos != End)
            break;
        Record.Data = QStringLiteral("%1 %2").arg(Record.Preference).arg(Record.Target);
        return true;
    case 6: // SOA
        if (!name(Record.Target) || !name(Record.Mailbox) || End - pos != 20)
            break;
        Record.Serial = U32(d + pos);
        Record.Refresh = U32(d + pos + 4);
        Record.Retry = U32(d + pos + 8);
        Record.Expire = U32(d + pos + 12);
        Record.Minimum = U32(d + pos + 16);
        Record.Data = QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                          .arg(Record.Target, Record.Mailbox)
                          .arg(Record.Serial)
                          .arg(Record.Refresh)
                          .arg(Record.Retry)
                          .arg(Record.Expire)
                          .arg(Record.Minimum);
        return true;
    case 16:   // TXT
    case 13: { // HINFO
        if (length == 0 || !strings(Record.Strings) || (Record.RType == 13 && Record.Strings.size() != 2))
            break;
        QStringList quoted;
        for (const QByteArray& s : Record.Strings)
            quoted << QuoteString(s);
        Record.Data = quoted.join(u' ');
        return true;
    }
    case 33: // SRV
        if (length < 7)
            break;
        Record.Priority = U16(d + pos);
        Record.Weight = U16(d + pos + 2);
        Record.Port = U16(d + pos + 4);
        pos += 6;
        if (!name(Record.Target) || pos != End)
            break;
        Record.Data = QStringLiteral("%1 %2 %3 %4")
                          .arg(Record.Priority)
                          .arg(Record.Weight)
                          .arg(Record.Port)
                          .arg(Record.Target);
        return true;
    default:
        Record.Data = GenericData(Record.RData);
        return false;
    }
    if (Problem.isEmpty())
        Problem = QStringLiteral("the data of a %1 record does not fit its type")
                      .arg(TKvIDNSAnswer::TypeName(Record.RType));
    Record.Target.clear();
    Record.Mailbox.clear();
    Record.Strings.clear();
    Record.Address.clear();
    Record.Data = GenericData(Record.RData);
    return false;
}

bool IsDecodedType(uint16_t RType) {
    switch (RType) {
    case 1:
    case 2:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 12:
    case 13:
    case 15:
    case 16:
    case 28:
    case 33:
        return true;
    default:
        return false;
    }
}

// Whether two flag bytes look like those of a response: QR set, a defined opcode, the reserved Z bit clear.
bool PlausibleResponseFlags(const uchar* Flags) {
    const int opcode = (Flags[0] >> 3) & 0x0F;
    return (Flags[0] & 0x80) && (opcode <= 2 || opcode == 4 || opcode == 5) && !(Flags[1] & 0x40);
}

// Whether the length prefixes of DNS over TCP describe the input exactly.
bool TilesAsTCP(const QByteArray& Bytes) {
    const auto* d = reinterpret_cast<const uchar*>(Bytes.constData());
    qsizetype pos = 0;
    while (pos < Bytes.size()) {
        if (pos + 2 > Bytes.size())
            return false;
        const int length = U16(d + pos);
        if (length < headerSize)
            return false;
        pos += 2 + length;
    }
    return pos == Bytes.size() && pos > 0;
}

} // namespace

// ---- requests and the query ------------------------------------------------------------------------------

uint16_t DNSRequestTypeCode(TKvIDNSRequest Request) {
    return requestCodes.at(size_t(Request));
}

TKvIDNSRequests::TKvIDNSRequests(std::initializer_list<TKvIDNSRequest> Members) {
    for (TKvIDNSRequest r : Members)
        Include(r);
}

int TKvIDNSRequests::Count() const {
    return int(Members().size());
}

QList<TKvIDNSRequest> TKvIDNSRequests::Members() const {
    QList<TKvIDNSRequest> members;
    for (int i = 0; i < KvIDNSRequestCount; ++i)
        if (Contains(TKvIDNSRequest(i)))
            members << TKvIDNSRequest(i);
    return members;
}

QString BuildDNSQuery(const TKvIDNSRequests& Requests, const QString& Domain) {
    if (Requests.Empty() || Domain.isEmpty())
        return QString();
    const QStringList labels = CutLabels(Domain);
    const QByteArray forward = EncodeName(labels, Domain);
    QStringList reversed(labels.rbegin(), labels.rend());
    reversed << QStringLiteral("in-addr") << QStringLiteral("arpa");
    const QByteArray reverse = Requests.Contains(irPTR) ? EncodeName(reversed, Domain) : QByteArray();

    QByteArray query;
    uint16_t id = 0x12A2;
    for (TKvIDNSRequest request : Requests.Members()) {
        const QByteArray& name = request == irPTR ? reverse : forward;
        AppendU16(query, uint16_t(headerSize + name.size() + 4));
        AppendU16(query, id++);
        AppendU16(query, 0x0100); // standard query, recursion desired
        AppendU16(query, 1);      // one question
        AppendU16(query, 0);
        AppendU16(query, 0);
        AppendU16(query, 0);
        query.append(name);
        AppendU16(query, DNSRequestTypeCode(request));
        AppendU16(query, 1); // class IN
    }
    return BytesToWire(query);
}

// ---- records ---------------------------------------------------------------------------------------------

QString TKvIDNSRecord::Text() const {
    const bool known = Decoded && IsDecodedType(RType);
    const QString type = known ? TKvIDNSAnswer::TypeName(RType) : QStringLiteral("TYPE%1").arg(RType);
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(Name)
        .arg(TTL)
        .arg(TKvIDNSAnswer::ClassName(RClass), type, Data);
}

// ---- TKvIDNSAnswer ---------------------------------------------------------------------------------------

void TKvIDNSAnswer::NoteProblem(const QString& Problem) {
    FMalformed = true;
    if (FProblem.isEmpty())
        FProblem = Problem;
}

void TKvIDNSAnswer::DecodeWire(const QString& WireText, TKvIDNSFraming Framing) {
    Decode(WireToBytes(WireText), Framing);
}

void TKvIDNSAnswer::Decode(const QByteArray& Reply, TKvIDNSFraming Framing) {
    FMessages.clear();
    FMalformed = false;
    FProblem.clear();
    if (Reply.isEmpty()) {
        NoteProblem(QStringLiteral("the reply is empty"));
        return;
    }
    if (Framing == dfAuto) {
        // A reply cut short does not tile; then the flags decide: behind a length prefix they stand at byte
        // 4, in a bare message at byte 2 (where a prefixed reply has its identifier's high byte).
        const auto* d = reinterpret_cast<const uchar*>(Reply.constData());
        const bool cutTCP = Reply.size() >= 6 && U16(d) >= headerSize && U16(d) > Reply.size() - 2 &&
                            PlausibleResponseFlags(d + 4) && !PlausibleResponseFlags(d + 2);
        Framing = TilesAsTCP(Reply) || cutTCP ? dfTCP : dfMessage;
    }
    if (Framing == dfMessage) {
        AddMessage(Reply, false);
        return;
    }
    const auto* d = reinterpret_cast<const uchar*>(Reply.constData());
    qsizetype pos = 0;
    while (pos < Reply.size()) {
        if (pos + 2 > Reply.size()) {
            NoteProblem(QStringLiteral("a length prefix is cut off"));
            return;
        }
        const int length = U16(d + pos);
        pos += 2;
        const qsizetype available = qMin<qsizetype>(length, Reply.size() - pos);
        AddMessage(Reply.mid(pos, available), available < length);
        pos += available;
    }
}

void TKvIDNSAnswer::AddMessage(const QByteArray& Message, bool Truncated) {
    FMessages.append(TKvIDNSMessage());
    TKvIDNSMessage& m = FMessages.last();
    const auto fail = [&](const QString& Problem) {
        m.Malformed = true;
        if (m.Problem.isEmpty())
            m.Problem = Problem;
        NoteProblem(Problem);
    };
    const MessageReader reader(Message);
    const uchar* d = reader.Data();
    const int size = reader.Size();
    if (size < headerSize) {
        if (size >= 2)
            m.ID = U16(d);
        fail(QStringLiteral("the message is shorter than its 12-byte header"));
        return;
    }
    m.ID = U16(d);
    m.QR = d[2] & 0x80;
    m.Opcode = (d[2] >> 3) & 0x0F;
    m.AA = d[2] & 0x04;
    m.TC = d[2] & 0x02;
    m.RD = d[2] & 0x01;
    m.RA = d[3] & 0x80;
    m.AD = d[3] & 0x20;
    m.CD = d[3] & 0x10;
    m.RCode = d[3] & 0x0F;
    m.QDCount = U16(d + 4);
    m.ANCount = U16(d + 6);
    m.NSCount = U16(d + 8);
    m.ARCount = U16(d + 10);

    int pos = headerSize;
    QString problem;
    // Every question or record needs at least five bytes, so the counts cannot make these loops run
    // longer than the input allows.
    for (int i = 0; i < m.QDCount; ++i) {
        TKvIDNSQuestion q;
        if (!reader.ReadName(pos, size, q.Name, problem))
            return fail(problem);
        if (pos + 4 > size)
            return fail(QStringLiteral("a question is cut off"));
        q.QType = U16(d + pos);
        q.QClass = U16(d + pos + 2);
        pos += 4;
        m.Questions << q;
    }
    QList<TKvIDNSRecord>* sections[] = {&m.Answers, &m.Authority, &m.Additional};
    const int counts[] = {m.ANCount, m.NSCount, m.ARCount};
    for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < counts[s]; ++i) {
            TKvIDNSRecord r;
            if (!reader.ReadName(pos, size, r.Name, problem))
                return fail(problem);
            if (pos + 10 > size)
                return fail(QStringLiteral("a record header is cut off"));
            r.RType = U16(d + pos);
            r.RClass = U16(d + pos + 2);
            r.TTL = U32(d + pos + 4);
            const int length = U16(d + pos + 8);
            pos += 10;
            if (pos + length > size)
                return fail(QStringLiteral("the data of a record runs past the end of the message"));
            r.RData = Message.mid(pos, length);
            problem.clear();
            r.Decoded = DecodeRData(reader, pos, pos + length, r, problem);
            if (!r.Decoded && !problem.isEmpty())
                fail(problem);
            pos += length;
            sections[s]->append(r);
        }
    }
    if (Truncated)
        fail(QStringLiteral("the message is shorter than its length prefix"));
}

int TKvIDNSAnswer::RCode() const {
    for (const TKvIDNSMessage& m : FMessages)
        if (m.RCode != 0)
            return m.RCode;
    return 0;
}

QList<TKvIDNSRecord> TKvIDNSAnswer::Answers() const {
    QList<TKvIDNSRecord> all;
    for (const TKvIDNSMessage& m : FMessages)
        all += m.Answers;
    return all;
}

QString TKvIDNSAnswer::RCodeName(int RCode) {
    static const char* const names[] = {"NOERROR",  "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
                                        "YXDOMAIN", "YXRRSET", "NXRRSET",  "NOTAUTH",  "NOTZONE"};
    if (RCode >= 0 && RCode < int(std::size(names)))
        return QString::fromLatin1(names[RCode]);
    return QStringLiteral("RCODE%1").arg(RCode);
}

QString TKvIDNSAnswer::TypeName(uint16_t RType) {
    static const char* const low[] = {nullptr, "A",    "NS",  "MD",  "MF",    "CNAME", "SOA", "MB", "MG",
                                      "MR",    "NULL", "WKS", "PTR", "HINFO", "MINFO", "MX",  "TXT"};
    if (RType < std::size(low) && low[RType])
        return QString::fromLatin1(low[RType]);
    switch (RType) {
    case 28:
        return QStringLiteral("AAAA");
    case 33:
        return QStringLiteral("SRV");
    case 41:
        return QStringLiteral("OPT");
    case 252:
        return QStringLiteral("AXFR");
    case 253:
        return QStringLiteral("MAILB");
    case 254:
        return QStringLiteral("MAILA");
    case 255:
        return QStringLiteral("ANY");
    default:
        return QStringLiteral("TYPE%1").arg(RType);
    }
}

QString TKvIDNSAnswer::ClassName(uint16_t RClass) {
    return RClass == 1 ? QStringLiteral("IN") : QStringLiteral("CLASS%1").arg(RClass);
}

// ---- TKvIDNSResolver -------------------------------------------------------------------------------------

namespace {

// The size of the first complete length-prefixed message in Bytes (its prefix included), 0 when none is.
qsizetype FirstMessage(const QByteArray& Bytes) {
    if (Bytes.size() < 2)
        return 0;
    const qsizetype size = 2 + U16(reinterpret_cast<const uchar*>(Bytes.constData()));
    return size <= Bytes.size() ? size : 0;
}

// "www.example.com. A", for messages about a question.
QString QuestionText(const TKvIDNSMessage& Asked) {
    const TKvIDNSQuestion& q = Asked.Questions.first();
    return q.Name + u' ' + TKvIDNSAnswer::TypeName(q.QType);
}

// Whether Reply answers Asked: the same identifier, QR set, and the same question, the name compared without
// regard to ASCII case as DNS compares names. A server refusing a query may leave the question out; such an
// error reply counts as the answer too (it carries no records to be misled by).
bool Answers(const TKvIDNSMessage& Reply, const TKvIDNSMessage& Asked) {
    if (Reply.ID != Asked.ID || !Reply.QR)
        return false;
    if (Reply.QDCount == 0)
        return Reply.RCode != 0;
    if (Reply.QDCount != 1 || Reply.Questions.size() != 1)
        return false;
    const TKvIDNSQuestion& r = Reply.Questions.first();
    const TKvIDNSQuestion& a = Asked.Questions.first();
    return r.QType == a.QType && r.QClass == a.QClass && r.Name.compare(a.Name, Qt::CaseInsensitive) == 0;
}

} // namespace

TKvIDNSResolver::TKvIDNSResolver(TComponent* AOwner) : TKvInetBase(AOwner) {
    SetPort(53);
}

QString TKvIDNSResolver::GetQuery() {
    if (FRequests.Empty() || FDomain.isEmpty() || (Host().isEmpty() && Address().isEmpty()))
        return QString();
    return BuildDNSQuery(FRequests, FDomain);
}

QString TKvIDNSResolver::InternalExecute() {
    const QString query = GetQuery();
    if (query.isEmpty())
        return TKvInetBase::InternalExecute(); // sends nothing and reads until the server closes
    const QByteArray bytes = WireToBytes(query);
    // Our own messages, decoded as the answers will be, so that their questions compare alike.
    const TKvIDNSAnswer asked(bytes, dfTCP);
    QByteArray result;
    FPending.clear();
    qsizetype pos = 0;
    // One message at a time: dnsmasq, for one, may close the connection after any answer, and then the
    // queries already sent behind it are lost.
    for (const TKvIDNSMessage& question : asked.Messages()) {
        const qsizetype size = 2 + U16(reinterpret_cast<const uchar*>(bytes.constData()) + pos);
        const QByteArray message = bytes.mid(pos, size);
        pos += size;
        // One deadline for the whole exchange of this question, retry included.
        const QDeadlineTimer deadline = Timeout() > 0 ? QDeadlineTimer(qint64(Timeout()) * 1000)
                                                      : QDeadlineTimer(QDeadlineTimer::Forever);
        QByteArray answer;
        TExchange outcome = Exchange(message, question, deadline, answer);
        // The connection was gone before the answer came: once more on a new one.
        if (outcome == exClosed)
            outcome = Exchange(message, question, deadline, answer);
        // Closed again without an answer: a failure, not a shorter result.
        if (outcome == exClosed)
            throw Exception(NoAnswerText());
        if (outcome != exAnswered)
            return BytesToWire(result);
        result += answer;
    }
    return BytesToWire(result);
}

TKvIDNSResolver::TExchange TKvIDNSResolver::Exchange(const QByteArray& Message, const TKvIDNSMessage& Asked,
                                                     const QDeadlineTimer& Deadline, QByteArray& Answer) {
    TClientSocket* socket = ClientSocket();
    const int timeoutMSecs = socket->TimeoutMSecs();
    const auto restore = qScopeGuard([socket, timeoutMSecs] { socket->SetTimeoutMSecs(timeoutMSecs); });
    const auto timedOut = [&] {
        return Exception(QStringLiteral("No answer to the question %1 within %2 seconds")
                             .arg(QuestionText(Asked))
                             .arg(Timeout()));
    };
    // Each wait gets what is left of the question's time, so that a server dripping a byte now and then
    // cannot hold the exchange beyond it.
    const auto bound = [&] {
        if (Deadline.isForever())
            return;
        if (Deadline.hasExpired())
            throw timedOut();
        socket->SetTimeoutMSecs(int(qMax<qint64>(1, Deadline.remainingTime())));
    };
    try {
        if (Connected())
            socket->Socket()->CheckConnection();
        // What the last connection left unread belongs to it.
        if (!Connected())
            FPending.clear();
        bound();
        Connect();
        bound();
        if (SendToSocket(BytesToWire(Message)) <= 0)
            throw Exception(NoAnswerText());
        for (;;) {
            while (const qsizetype size = FirstMessage(FPending)) {
                const QByteArray candidate = FPending.left(size);
                FPending.remove(0, size);
                const TKvIDNSAnswer decoded(candidate, dfTCP);
                // A duplicate of an earlier answer, a message about another question, our own query sent
                // back: not the answer, whatever it holds.
                if (decoded.Messages().isEmpty() || !Answers(decoded.Messages().first(), Asked))
                    continue;
                // Over TCP an answer is cut only when it does not fit at all: what is left is not the answer.
                if (decoded.Messages().first().TC)
                    throw Exception(QStringLiteral("The answer to the question %1 is truncated (TC set)")
                                        .arg(QuestionText(Asked)));
                Answer = candidate;
                return exAnswered;
            }
            bound();
            char buffer[BlockSize];
            const int n = ReceiveFromSocket(buffer, BlockSize);
            // A failure whose error the OnError handler cleared ends the step with what was answered.
            if (n <= 0)
                return n < 0 ? exFailed : exClosed;
            FPending.append(buffer, n);
        }
    } catch (const ESocketError& e) {
        // A reset is a close in disguise (the server had closed before our query arrived).
        if (e.ErrorCode() == ECONNRESET || e.ErrorCode() == EPIPE)
            return exClosed;
        // The socket's own text for a wait that ran out says nothing of the question; the whole Execute's
        // limit (TotalTimeout) keeps its own message.
        if (e.ErrorCode() == ETIMEDOUT && Deadline.hasExpired() &&
            e.Message().startsWith(QStringLiteral("Socket error")))
            throw timedOut();
        throw;
    }
}

} // namespace KvInet
