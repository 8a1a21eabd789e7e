// KvISMTP: the e-mail model and the SMTP client.
#include "socket/KvISMTP.h"

#include "platform/SysUtils.h"
#include "platform/WireText.h"
#include "socket/kviutil.h"

#include <QSslSocket>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <chrono>
#include <random>

namespace KvInet {

// ---- TKvIEMailAddress ------------------------------------------------------------------------------------

void TKvIEMailAddress::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TKvIEMailAddress*>(Source)) {
        FAddress = other->FAddress;
        FName = other->FName;
        return;
    }
    TCollectionItem::Assign(Source);
}

QString TKvIEMailAddress::GetText() const {
    // A name that merely repeats the address in capitals adds nothing; the comparison is exact on purpose.
    if (FName.isEmpty() || FName == UpperCase(FAddress))
        return FAddress;
    return FName + QStringLiteral(" <") + FAddress + u'>';
}

void TKvIEMailAddress::SetText(const QString& Value) {
    FAddress.clear();
    FName.clear();
    const auto bracketed = [&](QChar open, QString& inside, QString& before) {
        const qsizetype p = Value.indexOf(open);
        if (p < 0)
            return;
        inside = Trim(Value.mid(p + 1, Value.size() - p - 2));
        before = Trim(Value.left(p));
    };
    if (Value.endsWith(u'>'))
        bracketed(u'<', FAddress, FName);
    else if (Value.endsWith(u')'))
        bracketed(u'(', FName, FAddress);
    else
        FAddress = Value;
    while (FName.size() > 1 && FName.front() == FName.back() &&
           (FName.front() == u'"' || FName.front() == u'\''))
        FName = FName.mid(1, FName.size() - 2);
}

// ---- TKvIEMailAddresses ----------------------------------------------------------------------------------

QString TKvIEMailAddresses::GetEMailAddresses() const {
    QStringList texts;
    for (int i = 0; i < Count(); ++i)
        texts << Items(i)->GetText();
    return texts.join(QStringLiteral(", "));
}

void TKvIEMailAddresses::SetEMailAddresses(const QString& Value) {
    Clear();
    const auto addPiece = [this](const QString& Piece) {
        const QString text = Trim(Piece);
        if (!text.isEmpty())
            Add()->SetText(text);
    };
    qsizetype start = 0;
    int quotes = 0;
    for (qsizetype i = 0; i < Value.size(); ++i) {
        if (Value[i] == u'"') {
            ++quotes;
        } else if (Value[i] == u',' && quotes != 1) {
            addPiece(Value.mid(start, i - start));
            start = i + 1;
            quotes = 0;
        }
    }
    addPiece(Value.mid(start));
}

void TKvIEMailAddresses::FillTStrings(TStrings* Strings) const {
    for (int i = 0; i < Count(); ++i)
        Strings->Add(Items(i)->GetText());
}

// ---- TKvIEMailAttachment ---------------------------------------------------------------------------------

void TKvIEMailAttachment::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TKvIEMailAttachment*>(Source)) {
        FAttachmentName = other->FAttachmentName;
        FContentType = other->FContentType;
        FEncoding = other->FEncoding;
        FFileName = other->FFileName;
        return;
    }
    TCollectionItem::Assign(Source);
}

QString TKvIEMailAttachment::GetAttachmentName() const {
    if (!FAttachmentName.isEmpty())
        return FAttachmentName;
    // Stored forms may carry paths written on another system, so every usual delimiter counts.
    qsizetype p = FFileName.size() - 1;
    while (p >= 0 && FFileName[p] != u'\\' && FFileName[p] != u'/' && FFileName[p] != u':')
        --p;
    return FFileName.mid(p + 1);
}

void TKvIEMailAttachment::DetectContentType() {
    FContentType = ContentTypeByFile(FFileName);
}

// ---- TKvILogin -------------------------------------------------------------------------------------------

void TKvILogin::Assign(const TPersistent* Source) {
    if (const auto* other = qobject_cast<const TKvILogin*>(Source)) {
        FUserID = other->FUserID;
        FPassword = other->FPassword;
        FUseLogin = other->FUseLogin;
        return;
    }
    TPersistent::Assign(Source);
}

// ---- composing the message -------------------------------------------------------------------------------

namespace {

// The boundary is fixed; the delimiter lines carry two more hyphens in front.
const QByteArray Boundary = "----------NorvalithSMTP";
const QByteArray Delimiter = "--" + Boundary;
const QByteArray CRLF = "\r\n";
const QByteArray Mailer = "Norvalith mailer (https://www.norvalith.example/)";
// RFC 5321/5322 limit on a line, CR LF not counted.
constexpr qsizetype MaxLineLength = 998;

// Seeded once per process from the clock; the Message-Id letters are drawn from it.
std::minstd_rand& RandomGenerator() {
    static std::minstd_rand generator(
        unsigned(std::chrono::system_clock::now().time_since_epoch().count() & 0x7FFFFFFF));
    return generator;
}
[[maybe_unused]] const bool RandomSeeded = (RandomGenerator(), true);

[[noreturn]] void Refuse(const QString& Msg) {
    throw EKvISMTPError(Msg);
}

bool IsAscii(const QString& S) {
    for (QChar c : S)
        if (c.unicode() > 0x7F)
            return false;
    return true;
}

// The address as it goes into the envelope and the header: trimmed, plain ASCII, no control characters and no
// angle brackets (which would end the "<...>" of MAIL FROM and RCPT TO early).
QByteArray WireAddress(const TKvIEMailAddress& Item, const char* Property) {
    const QString address = Trim(Item.Address());
    for (QChar c : address)
        if (c.unicode() < 0x20 || c.unicode() >= 0x7F || c == u'<' || c == u'>')
            Refuse(
                QStringLiteral("Invalid address in %1: \"%2\"").arg(QString::fromLatin1(Property), address));
    return address.toLatin1();
}

// RFC 2047 encoded words, UTF-8 in base64, at most 75 characters each and never splitting a character;
// consecutive words are folded onto lines of their own.
QByteArray EncodedWords(const QString& Text) {
    QList<QByteArray> words;
    QByteArray chunk;
    const auto flush = [&] { words << "=?utf-8?B?" + chunk.toBase64() + "?="; };
    for (qsizetype i = 0; i < Text.size();) {
        const qsizetype n =
            Text[i].isHighSurrogate() && i + 1 < Text.size() && Text[i + 1].isLowSurrogate() ? 2 : 1;
        const QByteArray character = Text.mid(i, n).toUtf8();
        i += n;
        // 39 bytes give 52 base64 characters, 64 with the "=?utf-8?B?" and "?=" around them: short enough
        // for a header name in front on the first line.
        if (chunk.size() + character.size() > 39) {
            flush();
            chunk.clear();
        }
        chunk += character;
    }
    flush();
    return words.join(CRLF + ' ');
}

bool IsAtomText(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           QStringView(u"!#$%&'*+-/=?^_`{|}~").contains(c);
}

// A display name as an RFC 5322 phrase: words of atom characters as they are, anything else ASCII as a quoted
// string, anything beyond ASCII as encoded words.
QByteArray Phrase(const QString& Name) {
    if (!IsAscii(Name))
        return EncodedWords(Name);
    bool plain = !Name.startsWith(u' ') && !Name.endsWith(u' ') && !Name.contains(QStringLiteral("  "));
    for (QChar c : Name)
        plain = plain && (c == u' ' || IsAtomText(c));
    if (plain)
        return Name.toLatin1();
    QByteArray quoted = "\"";
    for (QChar c : Name) {
        if (c == u'"' || c == u'\\')
            quoted += '\\';
        quoted += char(c.unicode());
    }
    return quoted + '"';
}

// One mailbox of a header, decided as GetText decides: the address alone, or the name and the bracketed
// address.
QByteArray Mailbox(const TKvIEMailAddress& Item, const char* Property) {
    const QByteArray address = WireAddress(Item, Property);
    if (Item.GetText() == Item.Address())
        return address;
    return Phrase(Item.Name()) + " <" + address + '>';
}

// "Field: a, b, c", folded after a comma before a line grows past 78 characters.
QByteArray AddressHeader(const char* Field, const TKvIEMailAddresses& List, const char* Property) {
    QByteArray header = QByteArray(Field) + ": ";
    for (int i = 0; i < List.Count(); ++i) {
        const QByteArray mailbox = Mailbox(*List.Items(i), Property);
        const qsizetype lineLength = header.size() - (header.lastIndexOf('\n') + 1);
        if (i > 0)
            header += lineLength + 2 + mailbox.size() > 78 ? "," + CRLF + ' ' : QByteArray(", ");
        header += mailbox;
    }
    return header + CRLF;
}

// An unstructured header value: ASCII that fits a line as it is, anything else as encoded words.
QByteArray Unstructured(const QString& Value) {
    if (IsAscii(Value) && Value.size() <= MaxLineLength - 20)
        return Value.toLatin1();
    return EncodedWords(Value);
}

// Base64 in lines of 76 characters (57 bytes each), encoded a thousand lines at a time so that no second
// copy of a large file's encoding is needed.
void AppendBase64Lines(QByteArray& Out, const QByteArray& Data) {
    constexpr qsizetype lineBytes = 57, chunkBytes = lineBytes * 1000;
    Out.reserve(Out.size() + Data.size() / lineBytes * 78 + 80);
    for (qsizetype at = 0; at < Data.size(); at += chunkBytes) {
        const QByteArray encoded =
            QByteArray::fromRawData(Data.constData() + at, std::min(chunkBytes, Data.size() - at)).toBase64();
        for (qsizetype i = 0; i < encoded.size(); i += 76) {
            if (at > 0 || i > 0)
                Out += CRLF;
            Out.append(encoded.constData() + i, std::min<qsizetype>(76, encoded.size() - i));
        }
    }
}

// Quoted-printable (RFC 2045) in lines of at most 76 characters. Text keeps its CR LF line breaks as hard
// breaks; binary data encodes CR and LF too, so that every byte comes back as it was.
QByteArray QuotedPrintable(const QByteArray& Data, bool Binary) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    qsizetype lineLength = 0;
    const auto put = [&](QByteArrayView Token) {
        if (lineLength + Token.size() > 75) {
            out += "=" + CRLF;
            lineLength = 0;
        }
        out += Token;
        lineLength += Token.size();
    };
    for (qsizetype i = 0; i < Data.size(); ++i) {
        const uchar b = uchar(Data[i]);
        if (!Binary && b == '\r' && i + 1 < Data.size() && Data[i + 1] == '\n') {
            out += CRLF;
            lineLength = 0;
            ++i;
            continue;
        }
        const bool lineEnd = i + 1 == Data.size() ||
                             (!Binary && Data[i + 1] == '\r' && i + 2 < Data.size() && Data[i + 2] == '\n');
        const bool literal = (b >= 33 && b <= 126 && b != '=') || ((b == ' ' || b == '\t') && !lineEnd);
        if (literal) {
            const char c = char(b);
            put(QByteArrayView(&c, 1));
        } else {
            const char escaped[3] = {'=', hex[b >> 4], hex[b & 15]};
            put(QByteArrayView(escaped, 3));
        }
    }
    return out;
}

// Why Data cannot go out as 7bit or 8bit text, or an empty text when it can: lines end in CR LF, are at most
// 998 bytes long and hold no NUL (and, for 7bit, only ASCII).
QString UnfitForText(const QByteArray& Data, bool SevenBit) {
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < Data.size(); ++i) {
        const uchar b = uchar(Data[i]);
        if (b == 0)
            return QStringLiteral("it holds a NUL byte");
        if (SevenBit && b >= 0x80)
            return QStringLiteral("it holds bytes beyond ASCII");
        if (b == '\n' || (b == '\r' && (i + 1 == Data.size() || Data[i + 1] != '\n')))
            return QStringLiteral("it has a line break other than CR LF");
        if (b == '\r') {
            ++i;
            lineStart = i + 1;
        } else if (i - lineStart >= MaxLineLength) {
            return QStringLiteral("it has a line longer than 998 bytes");
        }
    }
    return QString();
}

// A parameter value: a quoted string for ASCII, the RFC 2231 form (key*=utf-8''...) for anything else.
QByteArray Parameter(const char* Key, const QString& Value) {
    if (IsAscii(Value)) {
        QByteArray quoted;
        for (QChar c : Value) {
            if (c == u'"' || c == u'\\')
                quoted += '\\';
            quoted += char(c.unicode());
        }
        return QByteArray(Key) + "=\"" + quoted + '"';
    }
    return QByteArray(Key) + "*=utf-8''" + Value.toUtf8().toPercentEncoding("!#$&+^`|~");
}

QString Quoted(const QString& S) {
    return u'"' + S + u'"';
}

QByteArray Header(const char* Field, const QByteArray& Value) {
    return Field + (": " + Value) + CRLF;
}

// A plain domain name (letters, digits, hyphens and dots), fit for EHLO and the Message-Id as it is.
bool IsDomainName(const QString& Name) {
    bool plain = !Name.isEmpty();
    for (QChar c : Name)
        plain = plain && ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                          c == u'-' || c == u'.');
    return plain;
}

// The text part's two header lines, the empty line and the encoded text. Lines end in CR LF whatever line
// breaks the entries hold.
void AppendTextPart(QByteArray& Out, const QStringList& Lines, const QString& CharSet,
                    const QString& Encoding) {
    QString text;
    for (const QString& line : Lines) {
        QString canonical = line;
        canonical.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
        text += canonical.replace(u'\n', QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    }
    QString charSet = Trim(CharSet).isEmpty() ? QStringLiteral("us-ascii") : Trim(CharSet);
    QString encoding = Trim(Encoding).isEmpty() ? QStringLiteral("7bit") : Trim(Encoding);
    if (!IsAscii(charSet))
        Refuse(QStringLiteral("Invalid character set %1").arg(Quoted(charSet)));
    QByteArray bytes;
    if (IsAscii(text)) {
        bytes = text.toLatin1();
    } else {
        QStringEncoder encoder(charSet.toLatin1().constData());
        QStringDecoder decoder(charSet.toLatin1().constData());
        if (encoder.isValid() && decoder.isValid()) {
            bytes = encoder.encode(text);
            if (encoder.hasError() || QString(decoder.decode(bytes)) != text)
                bytes.clear();
        }
        // A character set that cannot carry the text would garble it: UTF-8 carries everything.
        if (bytes.isEmpty()) {
            bytes = text.toUtf8();
            charSet = QStringLiteral("utf-8");
            if (!SameText(encoding, QStringLiteral("base64")))
                encoding = QStringLiteral("quoted-printable");
        }
    }
    const QString lower = LowerCase(encoding);
    QByteArray content;
    if (lower == u"7bit" || lower == u"8bit" || lower == u"binary") {
        if (UnfitForText(bytes, lower == u"7bit").isEmpty()) {
            content = bytes;
        } else {
            encoding = QStringLiteral("quoted-printable");
            content = QuotedPrintable(bytes, false);
        }
    } else if (lower == u"quoted-printable") {
        content = QuotedPrintable(bytes, false);
    } else if (lower == u"base64") {
        AppendBase64Lines(content, bytes);
    } else {
        Refuse(QStringLiteral("Transfer encoding %1 of the text is not supported").arg(Quoted(encoding)));
    }
    Out += Header("Content-Type", "Text/Plain; charset=" + charSet.toLatin1()) +
           Header("Content-Transfer-Encoding", encoding.toLatin1()) + CRLF + content;
}

// One attachment's part: its three header lines together, the empty line, and the file's content encoded.
void AppendAttachmentPart(QByteArray& Out, const TKvIEMailAttachment& Attachment) {
    const QString name = Attachment.GetAttachmentName();
    QString type = Trim(Attachment.ContentType());
    if (type.isEmpty())
        type = ContentTypeByFile(Attachment.FileName());
    if (!IsAscii(type))
        Refuse(QStringLiteral("Invalid content type of attachment %1: %2").arg(Quoted(name), Quoted(type)));

    QByteArray data;
    {
        TFileStream file(Attachment.FileName(), fmOpenRead | fmShareDenyWrite);
        data.resize(file.Size());
        file.ReadBuffer(data.data(), data.size());
    }
    QString encoding = Trim(Attachment.Encoding());
    const QString lower = LowerCase(encoding);
    if (lower.isEmpty() || lower == u"base64") {
        encoding = QStringLiteral("base64");
    } else if (lower == u"7bit" || lower == u"8bit") {
        const QString why = UnfitForText(data, lower == u"7bit");
        if (!why.isEmpty())
            Refuse(QStringLiteral("Attachment %1 cannot be sent as %2: %3").arg(Quoted(name), encoding, why));
    } else if (lower != u"quoted-printable") {
        Refuse(QStringLiteral("Transfer encoding %1 of attachment %2 is not supported")
                   .arg(Quoted(encoding), Quoted(name)));
    }
    Out += Header("Content-Type", type.toLatin1() + "; " + Parameter("name", name)) +
           Header("Content-Transfer-Encoding", encoding.toLatin1()) +
           Header("Content-Disposition", "attachment; " + Parameter("filename", name)) + CRLF;
    if (encoding == u"base64")
        AppendBase64Lines(Out, data);
    else if (lower == u"quoted-printable")
        Out += QuotedPrintable(data, true);
    else
        Out += data;
}

} // namespace

// ---- TKvISMTP --------------------------------------------------------------------------------------------

TKvISMTP::TKvISMTP(TComponent* AOwner)
    : TKvInetBase(AOwner), FBody(new TStringList(this)), FFrom(std::make_unique<TKvIEMailAddress>()),
      FRecipients(new TKvIEMailAddresses(this)), FCC(new TKvIEMailAddresses(this)),
      FBCC(new TKvIEMailAddresses(this)), FReplyTo(new TKvIEMailAddresses(this)),
      FCharSet(QStringLiteral("us-ascii")), FEncoding(QStringLiteral("7bit")), FDate(Now()),
      FLogin(new TKvILogin(this)), FAttachments(new TKvIEMailAttachments(this)) {
    SetPort(25);
}

TKvISMTP::~TKvISMTP() = default;

void TKvISMTP::SetBody(TStrings* Value) {
    FBody->Assign(Value);
}

QString TKvISMTP::LocalHostName() const {
    return GetLocalHost();
}

QString TKvISMTP::LeadZero(int Value, int Width) {
    QString text = QString::number(Value);
    while (text.size() < Width)
        text.prepend(u'0');
    return text;
}

QString TKvISMTP::GetTimeZoneString(TDateTime ADate) {
    // The offset in force at the message's own date, so that zones without daylight saving and dates on the
    // other side of a daylight-saving change are written right.
    const int minutes = DateTimeToQDateTime(ADate).offsetFromUtc() / 60;
    if (minutes == 0)
        return QStringLiteral("GMT");
    const int magnitude = minutes < 0 ? -minutes : minutes;
    return (minutes > 0 ? u'+' : u'-') + LeadZero(magnitude / 60, 2) + LeadZero(magnitude % 60, 2);
}

QString TKvISMTP::EMailFormatDate(TDateTime ADate) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
    DecodeDate(ADate, year, month, day);
    DecodeTime(ADate, hour, minute, second, msec);
    return QString::fromLatin1(days[DayOfWeek(ADate) - 1]) + QStringLiteral(", ") + QString::number(day) +
           u' ' + QString::fromLatin1(months[month - 1]) + u' ' + QString::number(year) + u' ' +
           LeadZero(hour, 2) + u':' + LeadZero(minute, 2) + u':' + LeadZero(second, 2) + u' ' +
           GetTimeZoneString(ADate);
}

QString TKvISMTP::UniqueMessageID(const QString& Host) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
    const TDateTime now = Now();
    DecodeDate(now, year, month, day);
    DecodeTime(now, hour, minute, second, msec);
    QString letters;
    std::uniform_int_distribution<int> letter(0, 19);
    for (int i = 0; i < 8; ++i)
        letters += QChar(u'a' + letter(RandomGenerator()));
    return u'<' + LeadZero(year, 4) + LeadZero(month, 2) + LeadZero(day, 2) + LeadZero(hour, 2) +
           LeadZero(minute, 2) + letters + u'@' + Host + u'>';
}

void TKvISMTP::RefuseHeaderLineBreaks() const {
    RefuseLineBreaks(FSubject, "Subject");
    RefuseLineBreaks(FCharSet, "CharSet");
    RefuseLineBreaks(FFrom->Address(), "From");
    RefuseLineBreaks(FFrom->Name(), "From");
    for (const auto& [list, property] :
         {std::pair{FRecipients, "Recipients"}, {FCC, "CC"}, {FBCC, "BCC"}, {FReplyTo, "ReplyTo"}})
        for (int i = 0; i < list->Count(); ++i) {
            RefuseLineBreaks(list->Items(i)->Address(), property);
            RefuseLineBreaks(list->Items(i)->Name(), property);
        }
    for (int i = 0; i < FAttachments->Count(); ++i) {
        RefuseLineBreaks(FAttachments->Items(i)->GetAttachmentName(), "AttachmentName");
        RefuseLineBreaks(FAttachments->Items(i)->ContentType(), "ContentType");
    }
}

QByteArray TKvISMTP::ComposeMessage() {
    RefuseHeaderLineBreaks();
    const QString hostName = LocalHostName();
    QByteArray m =
        Header("Message-Id",
               UniqueMessageID(IsDomainName(hostName) ? hostName : QStringLiteral("localhost")).toLatin1());
    if (!Trim(FFrom->Address()).isEmpty())
        m += Header("From", Mailbox(*FFrom, "From"));
    if (FRecipients->Count() > 0)
        m += AddressHeader("To", *FRecipients, "Recipients");
    if (FCC->Count() > 0)
        m += AddressHeader("Cc", *FCC, "CC");
    if (FReplyTo->Count() > 0)
        m += AddressHeader("Reply-To", *FReplyTo, "ReplyTo");
    m += Header("Date", EMailFormatDate(FDate).toLatin1());
    m += Header("X-Priority", QByteArray::number(int(FPriority) + 1));
    m += Header("X-Mailer", Mailer);
    if (!FSubject.isEmpty())
        m += Header("Subject", Unstructured(FSubject));
    m += Header("MIME-Version", "1.0");
    const bool multipart = FAttachments->Count() > 0;
    if (multipart)
        m +=
            Header("Content-Type", "multipart/mixed; boundary=\"" + Boundary + '"') + CRLF + Delimiter + CRLF;
    AppendTextPart(m, FBody->Lines(), FCharSet, FEncoding);
    if (!multipart)
        return m;
    for (int i = 0; i < FAttachments->Count(); ++i) {
        m += CRLF + Delimiter + CRLF;
        AppendAttachmentPart(m, *FAttachments->Items(i));
    }
    m += CRLF + Delimiter + "--" + CRLF;
    return m;
}

// ---- the conversation ------------------------------------------------------------------------------------

namespace {

// Replies longer than this are not a mail server talking: stop reading instead of filling memory.
constexpr int MaxReplyLines = 512;
constexpr qsizetype SendSlice = 64 * 1024;

// The name to greet with: the host name when it is a plain domain name, the address literal otherwise.
QString GreetingName(const QString& HostName, const QString& LocalAddress) {
    if (IsDomainName(HostName))
        return HostName;
    if (LocalAddress.contains(u':'))
        return QStringLiteral("[IPv6:") + LocalAddress + u']';
    return u'[' + (LocalAddress.isEmpty() ? QStringLiteral("127.0.0.1") : LocalAddress) + u']';
}

} // namespace

bool TKvISMTP::ReadReply() {
    FLastReply.clear();
    TCustomWinSocket* socket = ClientSocket()->Socket();
    for (int n = 0; n < MaxReplyLines; ++n) {
        QString line;
        const bool whole = socket->ReceiveLine(line);
        while (line.endsWith(u'\n') || line.endsWith(u'\r'))
            line.chop(1);
        if (!FLastReply.isEmpty() || !line.isEmpty())
            FLastReply += (FLastReply.isEmpty() ? QString() : QStringLiteral("\r\n")) + line;
        if (!whole)
            return false;
        // "250-..." continues the reply, "250 ..." (or a bare "250") ends it.
        if (line.size() < 4 || line[3] != u'-')
            return true;
    }
    return false;
}

bool TKvISMTP::SendData(const QString& Line, const QString& Expected) {
    if (SendToSocket(Line + QStringLiteral("\r\n")) <= 0) {
        FLastReply.clear();
        return false;
    }
    if (Expected.isEmpty())
        return true;
    return ReadReply() && ReplyCode() == Expected;
}

void TKvISMTP::Refused(const QString& Expected, const QString& Message) const {
    QString reply = FLastReply;
    reply.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    if (reply.isEmpty())
        reply = QStringLiteral("no reply, the connection was closed");
    throw EKvISMTPError(Message.isEmpty() ? QStringLiteral("Error %1: %2").arg(Expected, reply) : Message,
                        Expected, FLastReply);
}

void TKvISMTP::StartTLS(const QString& PeerName) {
    // The socket reports a failed handshake as a bare protocol error; the certificate problems say why.
    QStringList problems;
    QMetaObject::Connection watch;
    if (auto* ssl = qobject_cast<QSslSocket*>(ClientSocket()->Socket()->Handle()))
        watch =
            QObject::connect(ssl, &QSslSocket::sslErrors, this, [&problems](const QList<QSslError>& Errors) {
                for (const QSslError& e : Errors)
                    problems << e.errorString();
            });
    try {
        ClientSocket()->Socket()->StartTLS(PeerName, FCACertFile);
    } catch (const ESocketError& e) {
        QObject::disconnect(watch);
        if (problems.isEmpty())
            throw;
        throw ESocketError(e.Message() + QStringLiteral(": ") + problems.join(QStringLiteral("; ")),
                           e.ErrorCode());
    }
    QObject::disconnect(watch);
}

void TKvISMTP::Greet() {
    const QString name = GreetingName(GetLocalHost(), ClientSocket()->Socket()->LocalAddress());
    FExtensions.clear();
    if (SendData(QStringLiteral("EHLO ") + name, QStringLiteral("250"))) {
        const QStringList lines = FLastReply.split(QStringLiteral("\r\n"));
        for (qsizetype i = 1; i < lines.size(); ++i)
            FExtensions << lines[i].mid(4).section(u' ', 0, 0).toUpper();
        return;
    }
    // A server that predates EHLO (or refuses it) still speaks HELO. A closed connection has no second try.
    if (!Connected() || !SendData(QStringLiteral("HELO ") + name, QStringLiteral("250")))
        Refused(QStringLiteral("250"), QStringLiteral("Error 250"));
}

void TKvISMTP::Connect() {
    // A kept connection that the server has dropped meanwhile is opened anew instead of failing the next
    // Send.
    if (Connected())
        ClientSocket()->Socket()->CheckConnection();
    if (Connected())
        return;
    const QString peerName = Host().isEmpty() ? Address() : Host();
    ClientSocket()->SetTLSCapable(FSecurity != ssNone);
    TKvInetBase::Connect();
    FAuthenticated = false;
    FLastReply.clear();
    try {
        if (FSecurity == ssImplicitTLS)
            StartTLS(peerName);
        if (!ReadReply() || ReplyCode() != u"220")
            Refused(QStringLiteral("220"), QStringLiteral("Error 250"));
        Greet();
        if (FSecurity == ssStartTLS) {
            // Never carry on in plain text when protection was asked for.
            if (!FExtensions.contains(QStringLiteral("STARTTLS")))
                Refused(QString(), QStringLiteral("The server does not offer STARTTLS"));
            if (!SendData(QStringLiteral("STARTTLS"), QStringLiteral("220")))
                Refused(QStringLiteral("220"), QStringLiteral("Error 250"));
            StartTLS(peerName);
            Greet();
        }
    } catch (...) {
        // A half-greeted connection is of no use to the next Send: drop it without QUIT.
        TKvInetBase::Disconnect();
        throw;
    }
}

void TKvISMTP::Disconnect() {
    if (Connected()) {
        try {
            // A server that closes at once instead of answering QUIT has still taken every message.
            if (!SendData(QStringLiteral("QUIT"), QStringLiteral("221")) && ReplyCode().size() == 3)
                Refused(QStringLiteral("221"), QStringLiteral("Error 250"));
        } catch (...) {
            TKvInetBase::Disconnect();
            throw;
        }
    }
    TKvInetBase::Disconnect();
}

void TKvISMTP::Send() {
    // Composed before the first command, so that refused content never leaves a transaction half done.
    const QByteArray message = ComposeMessage();
    QList<QByteArray> recipients;
    for (const auto& [list, property] : {std::pair{FRecipients, "Recipients"}, {FCC, "CC"}, {FBCC, "BCC"}})
        for (int i = 0; i < list->Count(); ++i)
            recipients << WireAddress(*list->Items(i), property);
    const QByteArray sender = WireAddress(*FFrom, "From");
    if (!Connected())
        throw EKvISMTPError(QStringLiteral("Not connected to a mail server"));

    const auto command = [this](const QString& Line, const char* Expected) {
        if (!SendData(Line, QString::fromLatin1(Expected)))
            Refused(QString::fromLatin1(Expected));
    };
    command(QStringLiteral("RSET"), "250");
    if (FLogin->UseLogin() && !FAuthenticated) {
        command(QStringLiteral("auth LOGIN"), "334");
        // UTF-8, so that names and passwords beyond Latin-1 reach the server as the user typed them.
        command(Encode64(BytesToWire(FLogin->UserID().toUtf8())), "334");
        command(Encode64(BytesToWire(FLogin->Password().toUtf8())), "235");
        FAuthenticated = true;
    }
    // Bytes beyond ASCII (an 8bit part) are announced where the server knows the extension (RFC 6152).
    const bool eightBit =
        std::any_of(message.begin(), message.end(), [](char c) { return uchar(c) >= 0x80; });
    command(QStringLiteral("MAIL FROM:<") + QString::fromLatin1(sender) + u'>' +
                (eightBit && FExtensions.contains(QStringLiteral("8BITMIME"))
                     ? QStringLiteral(" BODY=8BITMIME")
                     : QString()),
            "250");
    for (const QByteArray& recipient : recipients)
        if (!SendData(QStringLiteral("RCPT TO:<") + QString::fromLatin1(recipient) + u'>',
                      QStringLiteral("250")) &&
            ReplyCode() != u"251")
            Refused(QStringLiteral("250"));
    command(QStringLiteral("DATA"), "354");
    // Lines starting with "." get a second one so that none of them ends the data early, and the data ends
    // with exactly one line holding a single dot. Sent in slices: a large message's wire text would otherwise
    // take twice its size once more.
    QByteArray slice;
    slice.reserve(SendSlice + 8);
    const auto flush = [&] {
        if (SendToSocket(BytesToWire(slice)) < slice.size()) {
            FLastReply.clear();
            Refused(QStringLiteral("250"));
        }
        slice.truncate(0);
    };
    bool lineStart = true;
    for (const char c : message) {
        if (lineStart && c == '.')
            slice += '.';
        slice += c;
        lineStart = c == '\n';
        if (slice.size() >= SendSlice)
            flush();
    }
    if (!lineStart)
        slice += CRLF;
    slice += '.' + CRLF;
    flush();
    if (!ReadReply() || ReplyCode() != u"250")
        Refused(QStringLiteral("250"));
}

QString TKvISMTP::InternalExecute() {
    Send();
    return QString();
}

} // namespace KvInet
