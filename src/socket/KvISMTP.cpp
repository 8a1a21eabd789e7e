// KvISMTP: the e-mail model and the SMTP client.
#include "socket/KvISMTP.h"

#include "platform/SysUtils.h"
#include "platform/WireText.h"
#include "socket/kviutil.h"

#include <QHostInfo>
#include <QStringDecoder>
#include <QStringEncoder>

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
    while (FName.size() > 1 && FName.front() == FName.back() && (FName.front() == u'"' || FName.front() == u'\''))
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

void TKvIEMailAttachment::DetectContentType() { FContentType = ContentTypeByFile(FFileName); }

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

[[noreturn]] void Refuse(const QString& Msg) { throw EKvISMTPError(Msg); }

bool IsAscii(const QString& S) {
    for (QChar c : S)
        if (c.unicode() > 0x7F)
            return false;
    return true;
}

// A header value with a line break would let the text start header lines or commands of its own.
void CheckOneLine(const QString& Value, const QString& What) {
    if (Value.contains(u'\r') || Value.contains(u'\n'))
        Refuse(QStringLiteral("Line break in %1: \"%2\"").arg(What, Value.simplified()));
}

// The address as it goes into the envelope and the header: trimmed, plain ASCII, no control characters and no
// angle brackets (which would end the "<...>" of MAIL FROM and RCPT TO early).
QByteArray WireAddress(const TKvIEMailAddress& Item, const QString& What) {
    const QString address = Trim(Item.Address());
    CheckOneLine(address, What);
    for (QChar c : address)
        if (c.unicode() < 0x20 || c.unicode() >= 0x7F || c == u'<' || c == u'>')
            Refuse(QStringLiteral("Invalid character in %1: \"%2\"").arg(What, address));
    return address.toLatin1();
}

// RFC 2047 encoded words, UTF-8 in base64, at most 75 characters each and never splitting a character;
// consecutive words are folded onto lines of their own.
QByteArray EncodedWords(const QString& Text) {
    QList<QByteArray> words;
    QByteArray chunk;
    const auto flush = [&] { words << "=?utf-8?B?" + chunk.toBase64() + "?="; };
    for (qsizetype i = 0; i < Text.size();) {
        const qsizetype n = Text[i].isHighSurrogate() && i + 1 < Text.size() && Text[i + 1].isLowSurrogate() ? 2 : 1;
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

// One mailbox of a header, decided as GetText decides: the address alone, or the name and the bracketed address.
QByteArray Mailbox(const TKvIEMailAddress& Item, const QString& What) {
    const QByteArray address = WireAddress(Item, What);
    CheckOneLine(Item.Name(), What);
    if (Item.GetText() == Item.Address())
        return address;
    return Phrase(Item.Name()) + " <" + address + '>';
}

// "Field: a, b, c", folded after a comma before a line grows past 78 characters.
QByteArray AddressHeader(const char* Field, const TKvIEMailAddresses& List, const QString& What) {
    QByteArray header = QByteArray(Field) + ": ";
    for (int i = 0; i < List.Count(); ++i) {
        const QByteArray mailbox = Mailbox(*List.Items(i), What);
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

QByteArray Base64Lines(const QByteArray& Data) {
    const QByteArray encoded = Data.toBase64();
    QByteArray lines;
    lines.reserve(encoded.size() + encoded.size() / 76 * 2 + 2);
    for (qsizetype i = 0; i < encoded.size(); i += 76) {
        if (i > 0)
            lines += CRLF;
        lines.append(encoded.constData() + i, std::min<qsizetype>(76, encoded.size() - i));
    }
    return lines;
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
        const bool lineEnd =
            i + 1 == Data.size() || (!Binary && Data[i + 1] == '\r' && i + 2 < Data.size() && Data[i + 2] == '\n');
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

// Why Data cannot go out as 7bit or 8bit text, or an empty text when it can: lines end in CR LF, are at most 998
// bytes long and hold no NUL (and, for 7bit, only ASCII).
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

QString Quoted(const QString& S) { return u'"' + S + u'"'; }

} // namespace

// ---- TKvISMTP --------------------------------------------------------------------------------------------

TKvISMTP::TKvISMTP(TComponent* AOwner)
    : TComponent(AOwner), FBody(new TStringList(this)), FFrom(new TKvIEMailAddress(nullptr)),
      FRecipients(new TKvIEMailAddresses(this)), FCC(new TKvIEMailAddresses(this)),
      FBCC(new TKvIEMailAddresses(this)), FReplyTo(new TKvIEMailAddresses(this)),
      FCharSet(QStringLiteral("us-ascii")), FEncoding(QStringLiteral("7bit")), FDate(Now()),
      FLogin(new TKvILogin(this)), FAttachments(new TKvIEMailAttachments(this)) {
    FFrom->setParent(this);
    for (QObject* child : {static_cast<QObject*>(FRecipients), static_cast<QObject*>(FCC),
                           static_cast<QObject*>(FBCC), static_cast<QObject*>(FReplyTo),
                           static_cast<QObject*>(FAttachments)})
        child->setParent(this);
}

TKvISMTP::~TKvISMTP() = default;

void TKvISMTP::SetBody(TStrings* Value) { FBody->Assign(Value); }

QString TKvISMTP::LocalHostName() const { return QHostInfo::localHostName(); }

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
    return QString::fromLatin1(days[DayOfWeek(ADate) - 1]) + QStringLiteral(", ") + QString::number(day) + u' ' +
           QString::fromLatin1(months[month - 1]) + u' ' + QString::number(year) + u' ' + LeadZero(hour, 2) +
           u':' + LeadZero(minute, 2) + u':' + LeadZero(second, 2) + u' ' + GetTimeZoneString(ADate);
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

QByteArray TKvISMTP::ComposeMessage() {
    CheckOneLine(FSubject, QStringLiteral("the subject"));
    QString host = LocalHostName();
    bool hostUsable = !host.isEmpty();
    for (QChar c : host)
        hostUsable = hostUsable && (IsAtomText(c) || c == u'.');
    if (!hostUsable)
        host = QStringLiteral("localhost");

    QByteArray m;
    const auto header = [&m](const char* Field, const QByteArray& Value) { m += Field + (": " + Value) + CRLF; };
    header("Message-Id", UniqueMessageID(host).toLatin1());
    if (!Trim(FFrom->Address()).isEmpty())
        header("From", Mailbox(*FFrom, QStringLiteral("the sender")));
    if (FRecipients->Count() > 0)
        m += AddressHeader("To", *FRecipients, QStringLiteral("a recipient"));
    if (FCC->Count() > 0)
        m += AddressHeader("Cc", *FCC, QStringLiteral("a copy recipient"));
    if (FReplyTo->Count() > 0)
        m += AddressHeader("Reply-To", *FReplyTo, QStringLiteral("a reply-to address"));
    header("Date", EMailFormatDate(FDate).toLatin1());
    header("X-Priority", QByteArray::number(int(FPriority) + 1));
    header("X-Mailer", Mailer);
    if (!FSubject.isEmpty())
        header("Subject", Unstructured(FSubject));
    header("MIME-Version", "1.0");
    const bool multipart = FAttachments->Count() > 0;
    if (multipart) {
        header("Content-Type", "multipart/mixed; boundary=\"" + Boundary + '"');
        m += CRLF + Delimiter + CRLF;
    }

    // The text: lines end in CR LF whatever line breaks the entries of Body hold.
    QString text;
    for (const QString& line : FBody->Lines()) {
        QString canonical = line;
        canonical.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
        text += canonical.replace(u'\n', QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    }
    CheckOneLine(FCharSet, QStringLiteral("the character set"));
    CheckOneLine(FEncoding, QStringLiteral("the transfer encoding"));
    QString charSet = Trim(FCharSet).isEmpty() ? QStringLiteral("us-ascii") : Trim(FCharSet);
    QString encoding = Trim(FEncoding).isEmpty() ? QStringLiteral("7bit") : Trim(FEncoding);
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
    const QString lowerEncoding = LowerCase(encoding);
    QByteArray content;
    if (lowerEncoding == u"7bit" || lowerEncoding == u"8bit" || lowerEncoding == u"binary") {
        if (UnfitForText(bytes, lowerEncoding == u"7bit").isEmpty()) {
            content = bytes;
        } else {
            encoding = QStringLiteral("quoted-printable");
            content = QuotedPrintable(bytes, false);
        }
    } else if (lowerEncoding == u"quoted-printable") {
        content = QuotedPrintable(bytes, false);
    } else if (lowerEncoding == u"base64") {
        content = Base64Lines(bytes);
    } else {
        Refuse(QStringLiteral("Transfer encoding \"%1\" of the text is not supported").arg(encoding));
    }
    header("Content-Type", "Text/Plain; charset=" + charSet.toLatin1());
    header("Content-Transfer-Encoding", encoding.toLatin1());
    m += CRLF + content;
    if (!multipart)
        return m;

    for (int i = 0; i < FAttachments->Count(); ++i) {
        const TKvIEMailAttachment& attachment = *FAttachments->Items(i);
        const QString name = attachment.GetAttachmentName();
        CheckOneLine(name, QStringLiteral("the name of an attachment"));
        QString type = Trim(attachment.ContentType());
        if (type.isEmpty())
            type = ContentTypeByFile(attachment.FileName());
        CheckOneLine(type, QStringLiteral("the content type of attachment %1").arg(Quoted(name)));
        if (!IsAscii(type))
            Refuse(QStringLiteral("Invalid content type of attachment %1: %2").arg(Quoted(name), Quoted(type)));

        QByteArray data;
        {
            TFileStream file(attachment.FileName(), fmOpenRead | fmShareDenyWrite);
            data.resize(file.Size());
            file.ReadBuffer(data.data(), data.size());
        }
        QString partEncoding = Trim(attachment.Encoding());
        const QString lowerPart = LowerCase(partEncoding);
        QByteArray partContent;
        if (lowerPart.isEmpty() || lowerPart == u"base64") {
            partEncoding = QStringLiteral("base64");
            partContent = Base64Lines(data);
        } else if (lowerPart == u"quoted-printable") {
            partContent = QuotedPrintable(data, true);
        } else if (lowerPart == u"7bit" || lowerPart == u"8bit") {
            const QString why = UnfitForText(data, lowerPart == u"7bit");
            if (!why.isEmpty())
                Refuse(QStringLiteral("Attachment %1 cannot be sent as %2: %3").arg(Quoted(name), partEncoding, why));
            partContent = data;
        } else {
            Refuse(QStringLiteral("Transfer encoding %1 of attachment %2 is not supported")
                       .arg(Quoted(partEncoding), Quoted(name)));
        }
        CheckOneLine(partEncoding, QStringLiteral("the transfer encoding of attachment %1").arg(Quoted(name)));
        m += CRLF + Delimiter + CRLF;
        header("Content-Type", type.toLatin1() + "; " + Parameter("name", name));
        header("Content-Transfer-Encoding", partEncoding.toLatin1());
        header("Content-Disposition", "attachment; " + Parameter("filename", name));
        m += CRLF + partContent;
    }
    m += CRLF + Delimiter + "--" + CRLF;
    return m;
}

} // namespace KvInet
