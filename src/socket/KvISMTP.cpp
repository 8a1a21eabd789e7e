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
    // The list reader (SetEMailAddresses) splits at a comma unless exactly one double quote stands before it
    // in the piece, and has no escape: a name with a comma goes in double quotes, and a double quote of its
    // own (which would throw that count off and split the name, or join it to the next item) becomes a single
    // quote. SetText strips the surrounding quotes again.
    if (FName.contains(u',') || FName.contains(u'"')) {
        QString name = FName;
        name.replace(u'"', u'\'');
        return u'"' + name + QStringLiteral("\" <") + FAddress + u'>';
    }
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

// The boundary of every ordinary message; the delimiter lines carry two more hyphens in front. Only a part
// holding a line that starts with the delimiter gets a longer one (ChooseBoundary).
const QByteArray Boundary = "----------NorvalithSMTP";
const QByteArray CRLF = "\r\n";
const QByteArray Mailer = "Norvalith mailer (https://www.norvalith.example/)";
// RFC 5321/5322 limit on a line, CR LF not counted, and the length that lines are folded to where they can.
constexpr qsizetype MaxLineLength = 998;
constexpr qsizetype FoldLength = 78;
// RFC 5321: a path is at most 256 octets, the angle brackets included.
constexpr qsizetype MaxAddressLength = 254;

// Seeded once per process from the clock; the Message-Id letters and the extra boundary characters are
// drawn from it.
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

bool IsControl(QChar C) {
    return C.unicode() < 0x20 || (C.unicode() >= 0x7F && C.unicode() <= 0x9F);
}

// Text that a reader would not show as it is: characters beyond ASCII, control characters, or "=?", which
// readers take for the start of an encoded word ("=?utf-8?B?SGFja2Vk?=" shows as "Hacked").
bool NeedsEncodedWords(const QString& S) {
    for (QChar c : S)
        if (c.unicode() > 0x7E || IsControl(c))
            return true;
    return S.contains(QStringLiteral("=?"));
}

// Control characters as \xHH, so that a message or a reply printed on a terminal cannot move its cursor or
// end its line.
QString Visible(const QString& S) {
    QString out;
    out.reserve(S.size());
    for (QChar c : S) {
        if (IsControl(c))
            out += QStringLiteral("\\x") + QString::number(c.unicode(), 16).rightJustified(2, u'0').toUpper();
        else
            out += c;
    }
    return out;
}

// Why an address cannot go into MAIL FROM, RCPT TO or a header, or an empty text when it can.
QString AddressProblem(const QString& Address) {
    if (Address.isEmpty())
        return QStringLiteral("the address is empty");
    int quotes = 0, depth = 0;
    bool unbalanced = false;
    for (QChar c : Address) {
        if (IsControl(c))
            return QStringLiteral("the address holds a control character");
        if (c.unicode() > 0x7F)
            return QStringLiteral("the address holds a character beyond ASCII");
        if (c == u' ')
            return QStringLiteral("the address holds a space");
        // An angle bracket would end the "<...>" of MAIL FROM and RCPT TO early.
        if (c == u'<' || c == u'>')
            return QStringLiteral("the address holds an angle bracket");
        if (c == u'"')
            ++quotes;
        else if (c == u'(')
            ++depth;
        else if (c == u')')
            unbalanced = unbalanced || --depth < 0;
    }
    if (unbalanced || depth != 0)
        return QStringLiteral("the address has an unbalanced \"(\"");
    if (quotes % 2 != 0)
        return QStringLiteral("the address has an unbalanced '\"'");
    const qsizetype at = Address.lastIndexOf(u'@');
    if (at < 0)
        return QStringLiteral("the address has no \"@\"");
    if (at == 0)
        return QStringLiteral("the address has nothing before its \"@\"");
    if (at == Address.size() - 1)
        return QStringLiteral("the address has nothing after its \"@\"");
    if (Address.size() > MaxAddressLength)
        return QStringLiteral("the address is longer than %1 characters").arg(MaxAddressLength);
    return QString();
}

// The address as it goes into the envelope and the header: trimmed, and refused (naming the property, the
// item from 1 when Index is not 0, and its text) when AddressProblem finds a fault.
QByteArray WireAddress(const TKvIEMailAddress& Item, const char* Property, int Index) {
    const QString address = Trim(Item.Address());
    const QString problem = AddressProblem(address);
    if (problem.isEmpty())
        return address.toLatin1();
    QString where = QString::fromLatin1(Property);
    if (Index > 0)
        where += QStringLiteral(" item %1").arg(Index);
    const QString text = Trim(Item.GetText());
    if (!text.isEmpty())
        where += QStringLiteral(" (\"%1\")").arg(Visible(text));
    Refuse(QStringLiteral("Invalid address in %1: %2").arg(where, problem));
}

// RFC 2047 encoded words, UTF-8 in base64, never splitting a character, each carrying at most ChunkBytes
// bytes of the text. 39 bytes give 52 base64 characters, 64 with the "=?utf-8?B?" and "?=" around them:
// short enough for a header name in front on the first line.
QList<QByteArray> EncodedWordList(const QString& Text, qsizetype ChunkBytes = 39) {
    QList<QByteArray> words;
    QByteArray chunk;
    const auto flush = [&] { words << "=?utf-8?B?" + chunk.toBase64() + "?="; };
    for (qsizetype i = 0; i < Text.size();) {
        const qsizetype n =
            Text[i].isHighSurrogate() && i + 1 < Text.size() && Text[i + 1].isLowSurrogate() ? 2 : 1;
        const QByteArray character = Text.mid(i, n).toUtf8();
        i += n;
        if (chunk.size() + character.size() > ChunkBytes) {
            flush();
            chunk.clear();
        }
        chunk += character;
    }
    flush();
    return words;
}

// Encoded words of at most 75 characters, folded onto lines of their own.
QByteArray EncodedWords(const QString& Text) {
    return EncodedWordList(Text).join(CRLF + ' ');
}

qsizetype LastLineLength(const QByteArray& Text) {
    return Text.size() - (Text.lastIndexOf('\n') + 1);
}

qsizetype FirstLineLength(const QByteArray& Text) {
    const qsizetype end = Text.indexOf('\r');
    return end < 0 ? Text.size() : end;
}

// Plain ASCII text folded before spaces so that lines stay within 78 characters where its words allow
// (unfolding gives the text back unchanged); empty when a word would leave a line over 998 characters.
// Used is what the line holds already ("Subject: ").
QByteArray FoldAtSpaces(qsizetype Used, const QByteArray& Text) {
    QByteArray out;
    qsizetype line = Used;
    qsizetype start = 0;
    while (start <= Text.size()) {
        qsizetype end = Text.indexOf(' ', start + 1);
        if (end < 0)
            end = Text.size();
        const QByteArrayView token(Text.constData() + start, end - start);
        // Only before a space that a word follows: a folded line must not be blank.
        if (start > 0 && token.size() > 1 && line + token.size() > FoldLength) {
            out += CRLF;
            line = 0;
        }
        out += token;
        line += token.size();
        if (line > MaxLineLength)
            return QByteArray();
        if (end == Text.size())
            break;
        start = end;
    }
    return out;
}

bool IsAtomText(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           QStringView(u"!#$%&'*+-/=?^_`{|}~").contains(c);
}

bool IsAtom(const QString& Word) {
    return !Word.isEmpty() && std::all_of(Word.begin(), Word.end(), IsAtomText) &&
           !Word.contains(QStringLiteral("=?"));
}

// RFC 2045 token characters: printable ASCII but the space and the tspecials.
bool IsTokenChar(QChar c) {
    return c.unicode() > 0x20 && c.unicode() < 0x7F && !QStringView(u"()<>@,;:\\\"/[]?=").contains(c);
}

// Why Value cannot stand as a MIME token (a charset), or an empty text when it can.
QString TokenProblem(const QString& Value) {
    for (QChar c : Value) {
        if (IsControl(c))
            return QStringLiteral("a MIME token cannot hold a control character");
        if (c.unicode() > 0x7E)
            return QStringLiteral("a MIME token cannot hold a character beyond ASCII");
        if (!IsTokenChar(c))
            return c == u' ' ? QStringLiteral("a MIME token cannot hold a space")
                             : QStringLiteral("a MIME token cannot hold '%1'").arg(c);
    }
    return QString();
}

// Why Type is not "type/subtype" followed by "; name=value" parameters (tokens; the values tokens or quoted
// strings), or an empty text when it is. HasCharset tells whether a charset parameter is among them.
QString ContentTypeProblem(const QString& Type, bool& HasCharset) {
    HasCharset = false;
    for (QChar c : Type) {
        if (IsControl(c))
            return QStringLiteral("it holds a control character");
        if (c.unicode() > 0x7E)
            return QStringLiteral("it holds a character beyond ASCII");
    }
    qsizetype i = 0;
    const auto token = [&] {
        const qsizetype start = i;
        while (i < Type.size() && IsTokenChar(Type[i]))
            ++i;
        return Type.mid(start, i - start);
    };
    const auto spaces = [&] {
        while (i < Type.size() && (Type[i] == u' ' || Type[i] == u'\t'))
            ++i;
    };
    if (token().isEmpty() || i == Type.size() || Type[i] != u'/' || (++i, token().isEmpty()))
        return QStringLiteral("it does not start with type/subtype");
    spaces();
    while (i < Type.size()) {
        if (Type[i] != u';')
            return QStringLiteral("'%1' stands where \"; name=value\" or the end should").arg(Type[i]);
        ++i;
        spaces();
        const QString name = token();
        if (name.isEmpty() || i == Type.size() || Type[i] != u'=')
            return QStringLiteral("a parameter is not name=value");
        ++i;
        if (i < Type.size() && Type[i] == u'"') {
            bool closed = false;
            for (++i; i < Type.size() && !closed; ++i) {
                if (Type[i] == u'\\')
                    ++i;
                else
                    closed = Type[i] == u'"';
            }
            if (!closed)
                return QStringLiteral("it has an unbalanced quote");
        } else if (token().isEmpty()) {
            return QStringLiteral("the value of the parameter %1 is neither a token nor a quoted string")
                .arg(name);
        }
        HasCharset = HasCharset || SameText(name, QStringLiteral("charset"));
        spaces();
    }
    return QString();
}

// A display name as an RFC 5322 phrase, folded at its spaces onto lines of at most 78 characters where it
// can be (a header name and a quote may stand in front of the first line).
//  - Plain ASCII: words of atom characters as they are, anything else as a quoted string.
//  - A name beyond ASCII, or one a reader would reinterpret (control characters, "=?"), or plain text too
//    long for a line: encoded words for the words that need them, the atoms among them as they are. A run
//    of words that need encoding becomes one encoded word, spaces inside, and only a run too long for a
//    line is cut into several: readers disagree about the space between two encoded words (RFC 2047 drops
//    it, Python's email parser keeps one), so they are kept from meeting where possible. That one word may
//    pass RFC 2047's 75 characters; readers take it.
QByteArray Phrase(const QString& Name) {
    constexpr qsizetype used = 12;
    if (!NeedsEncodedWords(Name)) {
        bool plain = !Name.startsWith(u' ') && !Name.endsWith(u' ') && !Name.contains(QStringLiteral("  "));
        for (QChar c : Name)
            plain = plain && (c == u' ' || IsAtomText(c));
        QByteArray phrase;
        if (plain) {
            phrase = Name.toLatin1();
        } else {
            phrase = "\"";
            for (QChar c : Name) {
                if (c == u'"' || c == u'\\')
                    phrase += '\\';
                phrase += char(c.unicode());
            }
            phrase += '"';
        }
        // Folding inside a quoted string keeps its spaces: unfolding removes only the line break.
        if (const QByteArray folded = FoldAtSpaces(used, phrase); !folded.isEmpty())
            return folded;
    }
    QList<QByteArray> tokens;
    // Spaces at the ends or doubled would not survive as the gaps between words: all of it is one run then.
    const QStringList words =
        Name.startsWith(u' ') || Name.endsWith(u' ') || Name.contains(QStringLiteral("  "))
            ? QStringList{Name}
            : Name.split(u' ');
    QString run;
    bool inRun = false;
    const auto flush = [&] {
        if (inRun)
            tokens += EncodedWordList(run, 660); // 880 base64 characters: one line with a header name
        run.clear();
        inRun = false;
    };
    for (const QString& word : words) {
        if (IsAtom(word) && words.size() > 1) {
            flush();
            tokens << word.toLatin1();
        } else {
            run += (inRun ? QStringLiteral(" ") : QString()) + word;
            inRun = true;
        }
    }
    flush();
    if (const QByteArray folded = FoldAtSpaces(used, tokens.join(' ')); !folded.isEmpty())
        return folded;
    return EncodedWords(Name);
}

// One mailbox of a header, decided as GetText decides: the address alone, or the name and the bracketed
// address, which goes on a folded line of its own when the name's last line has no room for it.
QByteArray Mailbox(const TKvIEMailAddress& Item, const char* Property, int Index) {
    const QByteArray address = WireAddress(Item, Property, Index);
    if (Item.GetText() == Item.Address())
        return address;
    const QByteArray phrase = Phrase(Item.Name());
    // A header name stands in front of a phrase of one line.
    const qsizetype used = phrase.contains('\n') ? 0 : 12;
    const bool fold = used + LastLineLength(phrase) + 3 + address.size() > FoldLength;
    return phrase + (fold ? CRLF + " <" : QByteArray(" <")) + address + '>';
}

// "Field: a, b, c", folded after a comma before a line grows past 78 characters.
QByteArray AddressHeader(const char* Field, const TKvIEMailAddresses& List, const char* Property) {
    QByteArray header = QByteArray(Field) + ": ";
    for (int i = 0; i < List.Count(); ++i) {
        const QByteArray mailbox = Mailbox(*List.Items(i), Property, i + 1);
        if (i > 0)
            header += LastLineLength(header) + 2 + FirstLineLength(mailbox) > FoldLength ? "," + CRLF + ' '
                                                                                         : QByteArray(", ");
        header += mailbox;
    }
    return header + CRLF;
}

// An unstructured header value (the subject): plain ASCII folded at spaces, anything a reader would show
// otherwise, or that cannot be folded, as encoded words.
QByteArray Unstructured(const char* Field, const QString& Value) {
    if (!NeedsEncodedWords(Value))
        if (QByteArray folded = FoldAtSpaces(qsizetype(qstrlen(Field)) + 2, Value.toLatin1());
            !folded.isEmpty() || Value.isEmpty())
            return folded;
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

bool HasEightBit(const QByteArray& Data) {
    return std::any_of(Data.begin(), Data.end(), [](char c) { return uchar(c) >= 0x80; });
}

// Appends the parameter "; Key=Value" to the header line being built in Header. Plain ASCII goes as a quoted
// string; anything else (beyond ASCII, control characters, "=?") in the RFC 2231 form Key*=utf-8''%XX...,
// which readers never take for an encoded word. A parameter that does not fit the line goes on a folded line
// of its own; a value too long for any line is cut into RFC 2231 continuations (Key*0, Key*1, ...), one a
// line, never inside a character or an escape.
void AppendParameter(QByteArray& Header, const char* Key, const QString& Value) {
    const bool extended = NeedsEncodedWords(Value);
    QList<QByteArray> units; // the value's characters as written, each indivisible
    for (qsizetype i = 0; i < Value.size();) {
        const qsizetype n =
            Value[i].isHighSurrogate() && i + 1 < Value.size() && Value[i + 1].isLowSurrogate() ? 2 : 1;
        const QString character = Value.mid(i, n);
        i += n;
        if (extended)
            units << character.toUtf8().toPercentEncoding("!#$&+^`|~");
        else if (character == u"\"" || character == u"\\")
            units << '\\' + character.toLatin1();
        else
            units << character.toLatin1();
    }
    const QByteArray key(Key);
    const auto form = [&](const QByteArray& Name, const QByteArray& Text, bool First) {
        if (!extended)
            return Name + "=\"" + Text + '"';
        return Name + "*=" + (First ? "utf-8''" : "") + Text;
    };
    const QByteArray whole = form(key, units.join(), true);
    if (LastLineLength(Header) + 2 + whole.size() <= FoldLength) {
        Header += "; " + whole;
        return;
    }
    if (1 + whole.size() + 1 <= FoldLength) {
        Header += ";" + CRLF + ' ' + whole;
        return;
    }
    QByteArray segment;
    int index = 0;
    const auto flush = [&] {
        Header += ";" + CRLF + ' ' + form(key + '*' + QByteArray::number(index), segment, index == 0);
        ++index;
        segment.clear();
    };
    for (const QByteArray& unit : units) {
        if (!segment.isEmpty() && segment.size() + unit.size() > 56)
            flush();
        segment += unit;
    }
    flush();
}

QString Quoted(const QString& S) {
    return u'"' + Visible(S) + u'"';
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
// breaks the entries hold. Without EightBit, 8-bit text goes out in quoted-printable.
QByteArray TextPart(const QStringList& Lines, const QString& CharSet, const QString& Encoding,
                    bool EightBit) {
    QString text;
    for (const QString& line : Lines) {
        QString canonical = line;
        canonical.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
        text += canonical.replace(u'\n', QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    }
    QString charSet = Trim(CharSet).isEmpty() ? QStringLiteral("us-ascii") : Trim(CharSet);
    QString encoding = Trim(Encoding).isEmpty() ? QStringLiteral("7bit") : Trim(Encoding);
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
        if (UnfitForText(bytes, lower == u"7bit" || !EightBit).isEmpty()) {
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
    return Header("Content-Type", "Text/Plain; charset=" + charSet.toLatin1()) +
           Header("Content-Transfer-Encoding", encoding.toLatin1()) + CRLF + content;
}

// One attachment's part: its three header lines together, the empty line, and the file's content encoded.
// Without EightBit, an 8bit text file goes out in quoted-printable.
QByteArray AttachmentPart(const TKvIEMailAttachment& Attachment, bool EightBit) {
    const QString name = Attachment.GetAttachmentName();
    QString type = Trim(Attachment.ContentType());
    if (type.isEmpty())
        type = ContentTypeByFile(Attachment.FileName());
    // Checked by CheckMimeValues; a text type without a charset gets the one its bytes show, so that
    // readers do not take UTF-8 for their own default.
    bool hasCharset = false;
    ContentTypeProblem(type, hasCharset);

    QByteArray data;
    {
        TFileStream file(Attachment.FileName(), fmOpenRead | fmShareDenyWrite);
        data.resize(file.Size());
        file.ReadBuffer(data.data(), data.size());
    }
    QString encoding = Trim(Attachment.Encoding());
    QString lower = LowerCase(encoding);
    // Quoted-printable keeps the CR LF of text lines as line breaks; for anything else every byte is encoded.
    bool textLines = false;
    if (lower.isEmpty() || lower == u"base64") {
        encoding = QStringLiteral("base64");
    } else if (lower == u"7bit" || lower == u"8bit") {
        const QString why = UnfitForText(data, lower == u"7bit");
        if (!why.isEmpty())
            Refuse(QStringLiteral("Attachment %1 cannot be sent as %2: %3").arg(Quoted(name), encoding, why));
        if (!EightBit && HasEightBit(data)) {
            encoding = lower = QStringLiteral("quoted-printable");
            textLines = true;
        }
    } else if (lower != u"quoted-printable") {
        Refuse(QStringLiteral("Transfer encoding %1 of attachment %2 is not supported")
                   .arg(Quoted(encoding), Quoted(name)));
    }
    QByteArray contentType = "Content-Type: " + type.toLatin1();
    if (!hasCharset && type.startsWith(QStringLiteral("text/"), Qt::CaseInsensitive)) {
        if (!HasEightBit(data))
            contentType += "; charset=us-ascii";
        else if (QByteArrayView(data).isValidUtf8())
            contentType += "; charset=utf-8";
    }
    AppendParameter(contentType, "name", name);
    QByteArray disposition = "Content-Disposition: attachment";
    AppendParameter(disposition, "filename", name);
    QByteArray part = contentType + CRLF + Header("Content-Transfer-Encoding", encoding.toLatin1()) +
                      disposition + CRLF + CRLF;
    if (encoding == u"base64")
        AppendBase64Lines(part, data);
    else if (lower == u"quoted-printable")
        part += QuotedPrintable(data, !textLines);
    else
        part += data;
    return part;
}

// Whether Part holds a line that starts with Delimiter, which a reader would take for the end of the part.
bool HoldsDelimiterLine(const QByteArray& Part, const QByteArray& Delimiter) {
    for (qsizetype at = Part.indexOf(Delimiter); at >= 0; at = Part.indexOf(Delimiter, at + 1))
        if (at == 0 || Part[at - 1] == '\n')
            return true;
    return false;
}

// The fixed boundary, so that ordinary messages stay as they always were; when a part holds a line starting
// with its delimiter (a quoted message from this same mailer is enough), random characters are added and the
// parts are checked again.
QByteArray ChooseBoundary(const QList<QByteArray>& Parts) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<int> pick(0, int(sizeof alphabet) - 2);
    QByteArray boundary = Boundary;
    const auto clashes = [&Parts](const QByteArray& B) {
        return std::any_of(Parts.begin(), Parts.end(),
                           [&B](const QByteArray& Part) { return HoldsDelimiterLine(Part, "--" + B); });
    };
    while (clashes(boundary)) {
        boundary = Boundary + "=_";
        for (int i = 0; i < 16; ++i)
            boundary += alphabet[pick(RandomGenerator())];
    }
    return boundary;
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

void TKvISMTP::CheckMimeValues() const {
    // Both go into header lines as they are: a quote or a semicolon would add parameters of the caller's
    // making (another boundary, say), a control character would break the line.
    if (const QString charSet = Trim(FCharSet); !charSet.isEmpty())
        if (const QString problem = TokenProblem(charSet); !problem.isEmpty())
            Refuse(QStringLiteral("Invalid CharSet (%1): %2").arg(Quoted(charSet), problem));
    for (int i = 0; i < FAttachments->Count(); ++i) {
        const QString type = Trim(FAttachments->Items(i)->ContentType());
        bool hasCharset = false;
        if (const QString problem = ContentTypeProblem(type, hasCharset);
            !type.isEmpty() && !problem.isEmpty())
            Refuse(QStringLiteral("Invalid ContentType in Attachments item %1 (%2): %3")
                       .arg(QString::number(i + 1), Quoted(type), problem));
    }
}

QString TKvISMTP::ReplyText(const QString& Reply) {
    QString text = Reply;
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    return Visible(text);
}

QByteArray TKvISMTP::SenderAddress() const {
    // An entirely empty From is the null sender ("MAIL FROM:<>", as bounces use); a name without an address
    // is a mistake.
    if (Trim(FFrom->Address()).isEmpty() && Trim(FFrom->Name()).isEmpty())
        return QByteArray();
    return WireAddress(*FFrom, "From", 0);
}

void TKvISMTP::CheckEnvelope() const {
    SenderAddress();
    for (const auto& [list, property] :
         {std::pair{FRecipients, "Recipients"}, {FCC, "CC"}, {FBCC, "BCC"}, {FReplyTo, "ReplyTo"}})
        for (int i = 0; i < list->Count(); ++i)
            WireAddress(*list->Items(i), property, i + 1);
    if (FRecipients->Count() + FCC->Count() + FBCC->Count() == 0)
        Refuse(QStringLiteral("No recipients: Recipients, CC and BCC are all empty"));
}

void TKvISMTP::CheckInput() {
    TKvInetBase::CheckInput();
    RefuseHeaderLineBreaks();
    CheckMimeValues();
    CheckEnvelope();
}

void TKvISMTP::BeforeExecute() {
    FWarning.clear();
    TKvInetBase::BeforeExecute();
}

QByteArray TKvISMTP::Compose(bool EightBit) {
    RefuseHeaderLineBreaks();
    CheckMimeValues();
    const QString hostName = LocalHostName();
    QByteArray m =
        Header("Message-Id",
               UniqueMessageID(IsDomainName(hostName) ? hostName : QStringLiteral("localhost")).toLatin1());
    if (!SenderAddress().isEmpty())
        m += Header("From", Mailbox(*FFrom, "From", 0));
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
        m += Header("Subject", Unstructured("Subject", FSubject));
    m += Header("MIME-Version", "1.0");
    QByteArray text = TextPart(FBody->Lines(), FCharSet, FEncoding, EightBit);
    if (FAttachments->Count() == 0)
        return m + text;
    QList<QByteArray> parts{std::move(text)};
    qsizetype size = m.size() + 200;
    for (int i = 0; i < FAttachments->Count(); ++i) {
        parts << AttachmentPart(*FAttachments->Items(i), EightBit);
        size += parts.last().size() + 80;
    }
    const QByteArray delimiter = "--" + ChooseBoundary(parts);
    m.reserve(size);
    QByteArray contentType = "Content-Type: multipart/mixed";
    AppendParameter(contentType, "boundary", QString::fromLatin1(delimiter.mid(2)));
    m += contentType + CRLF + CRLF + delimiter + CRLF + parts[0];
    for (qsizetype i = 1; i < parts.size(); ++i) {
        m += CRLF + delimiter + CRLF + parts[i];
        parts[i].clear(); // a large file's encoding is not kept twice longer than needed
    }
    m += CRLF + delimiter + "--" + CRLF;
    return m;
}

// ---- the conversation ------------------------------------------------------------------------------------

namespace {

// Replies longer than this are not a mail server talking: stop reading instead of filling memory. A reply
// line is at most 512 octets, its CR LF included (RFC 5321 4.5.3.1.5), so a reply holds at most 256 KiB.
constexpr int MaxReplyLines = 512;
constexpr qint64 MaxReplyLineLength = 512;
constexpr qsizetype SendSlice = 64 * 1024;

// How long the server may take over a whole reply, in seconds (RFC 5321 4.5.3.2): the greeting, MAIL and
// RCPT 5 minutes, DATA 2, the end of the data 10. The RFC names no figure for EHLO, HELO, RSET, AUTH,
// STARTTLS and QUIT; they get the 5 minutes of the other short commands (SendData's default).
constexpr int GreetingSeconds = 5 * 60;
constexpr int DataSeconds = 2 * 60;
constexpr int DataEndSeconds = 10 * 60;

// The name to greet with: the host name when it is a plain domain name, the address literal otherwise.
QString GreetingName(const QString& HostName, const QString& LocalAddress) {
    if (IsDomainName(HostName))
        return HostName;
    if (LocalAddress.contains(u':'))
        return QStringLiteral("[IPv6:") + LocalAddress + u']';
    return u'[' + (LocalAddress.isEmpty() ? QStringLiteral("127.0.0.1") : LocalAddress) + u']';
}

// A reply line starts with its three-digit code, followed by a hyphen (more lines follow), a space or the
// end of the line (the last line).
bool IsReplyLine(const QString& Line) {
    if (Line.size() < 3)
        return false;
    for (int i = 0; i < 3; ++i)
        if (Line[i] < u'0' || Line[i] > u'9')
            return false;
    return Line.size() == 3 || Line[3] == u' ' || Line[3] == u'-';
}

} // namespace

bool TKvISMTP::ReadReply(int Seconds) {
    FLastReply.clear();
    TClientSocket* client = ClientSocket();
    // Timeout bounds each wait; the reply as a whole gets the RFC's time, or Timeout when that is shorter,
    // so that a server sending a line now and then cannot hold the conversation for ever.
    const TReplyBound bound(client, Timeout() > 0 && Timeout() < Seconds ? Timeout() : Seconds);
    // Whatever follows a broken reply would be read as the answers to the commands after it: the dialogue
    // is lost, and so is the connection.
    const auto lost = [this](const QString& Why) {
        TKvInetBase::Disconnect();
        FLastReply.clear();
        throw EKvISMTPError(Why + QStringLiteral("; the connection was closed"));
    };
    QString code;
    for (int n = 0; n < MaxReplyLines; ++n) {
        QString line;
        bool whole = false;
        try {
            whole = client->Socket()->ReceiveLine(line, MaxReplyLineLength);
        } catch (const ESocketError& e) {
            if (e.ErrorCode() != EMSGSIZE)
                throw;
            lost(
                QStringLiteral("The server's reply has a line longer than %1 bytes").arg(MaxReplyLineLength));
        }
        while (line.endsWith(u'\n') || line.endsWith(u'\r'))
            line.chop(1);
        if (!FLastReply.isEmpty() || !line.isEmpty())
            FLastReply += (FLastReply.isEmpty() ? QString() : QStringLiteral("\r\n")) + line;
        if (!whole)
            return false;
        // Every line carries the code of the first: "250-queued" followed by "554 rejected" is no
        // acceptance, and "2500" or "250x" is no 250.
        if (!IsReplyLine(line))
            lost(QStringLiteral(
                     "Malformed reply from the server: \"%1\" does not start with a three-digit code "
                     "followed by a space or a hyphen")
                     .arg(Visible(line)));
        if (code.isEmpty())
            code = line.left(3);
        else if (line.left(3) != code)
            lost(QStringLiteral("Malformed reply from the server: \"%1\" follows a line with the code %2")
                     .arg(Visible(line), code));
        if (line.size() == 3 || line[3] == u' ')
            return true;
    }
    lost(QStringLiteral("The server's reply has more than %1 lines").arg(MaxReplyLines));
    return false;
}

bool TKvISMTP::SendData(const QString& Line, const QString& Expected, int ReplySeconds) {
    if (SendToSocket(Line + QStringLiteral("\r\n")) <= 0) {
        FLastReply.clear();
        return false;
    }
    if (Expected.isEmpty())
        return true;
    return ReadReply(ReplySeconds) && ReplyCode() == Expected;
}

void TKvISMTP::Refused(const QString& Expected, const QString& Message) const {
    QString reply = ReplyText(FLastReply);
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
            // Direct: the problems are collected inside the handshake's wait, whichever thread this
            // component belongs to; queued to another thread they would come after the wait, too late.
            QObject::connect(
                ssl, &QSslSocket::sslErrors, this,
                [&problems](const QList<QSslError>& Errors) {
                    for (const QSslError& e : Errors)
                        problems << e.errorString();
                },
                Qt::DirectConnection);
    try {
        // Refuses to start when anything is waiting already: plain text injected after the "220" would
        // otherwise be read as the server's first answers over TLS.
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
    FAccepted = false;
    FWarning.clear();
    FLastReply.clear();
    try {
        if (FSecurity == ssImplicitTLS)
            StartTLS(peerName);
        if (!ReadReply(GreetingSeconds) || ReplyCode() != u"220")
            Refused(QStringLiteral("220"), QStringLiteral("Error 250"));
        Greet();
        if (FSecurity == ssStartTLS) {
            // Never carry on in plain text when protection was asked for.
            if (!FExtensions.contains(QStringLiteral("STARTTLS")))
                Refused(QString(), QStringLiteral("The server does not offer STARTTLS"));
            if (!SendData(QStringLiteral("STARTTLS"), QStringLiteral("220")))
                Refused(QStringLiteral("220"), QStringLiteral("Error 250"));
            StartTLS(peerName);
            // What the server announced in plain text may have been forged on the way: greet again.
            Greet();
        }
    } catch (...) {
        // A half-greeted connection is of no use to the next Send: drop it without QUIT.
        TKvInetBase::Disconnect();
        throw;
    }
}

void TKvISMTP::Disconnect() {
    if (!Connected()) {
        TKvInetBase::Disconnect();
        return;
    }
    try {
        // A server that closes at once instead of answering QUIT has still taken every message.
        if (!SendData(QStringLiteral("QUIT"), QStringLiteral("221")) && ReplyCode().size() == 3)
            Refused(QStringLiteral("221"), QStringLiteral("Error 250"));
    } catch (const Exception& e) {
        TKvInetBase::Disconnect();
        if (!FAccepted)
            throw;
        // The message is on its way: a bad goodbye changes nothing about that, and a caller that took it for
        // a failure would send the mail twice.
        const QString reply = ReplyText(FLastReply);
        FWarning = QStringLiteral("the message was accepted, but QUIT failed: %1")
                       .arg(e.Message() == u"Error 250" && !reply.isEmpty() ? reply : e.Message());
        return;
    } catch (...) {
        TKvInetBase::Disconnect();
        throw;
    }
    TKvInetBase::Disconnect();
}

void TKvISMTP::Send() {
    CheckEnvelope();
    if (!Connected())
        throw EKvISMTPError(QStringLiteral("Not connected to a mail server"));
    // Composed before the first command, so that refused content never leaves a transaction half done. A
    // server that does not announce 8BITMIME gets 7-bit data only (RFC 6152).
    const bool eightBitMime = FExtensions.contains(QStringLiteral("8BITMIME"));
    const QByteArray message = Compose(eightBitMime);
    QList<QByteArray> recipients;
    for (const auto& [list, property] : {std::pair{FRecipients, "Recipients"}, {FCC, "CC"}, {FBCC, "BCC"}})
        for (int i = 0; i < list->Count(); ++i)
            recipients << WireAddress(*list->Items(i), property, i + 1);
    const QByteArray sender = SenderAddress();

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
    command(QStringLiteral("MAIL FROM:<") + QString::fromLatin1(sender) + u'>' +
                (eightBitMime && HasEightBit(message) ? QStringLiteral(" BODY=8BITMIME") : QString()),
            "250");
    for (const QByteArray& recipient : recipients)
        if (!SendData(QStringLiteral("RCPT TO:<") + QString::fromLatin1(recipient) + u'>',
                      QStringLiteral("250")) &&
            ReplyCode() != u"251")
            Refused(QStringLiteral("250"));
    if (!SendData(QStringLiteral("DATA"), QStringLiteral("354"), DataSeconds))
        Refused(QStringLiteral("354"));
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
    if (!ReadReply(DataEndSeconds) || ReplyCode() != u"250")
        Refused(QStringLiteral("250"));
    FAccepted = true;
}

QString TKvISMTP::InternalExecute() {
    Send();
    return QString();
}

} // namespace KvInet
