// KvISMTP: the e-mail model (addresses, address lists, attachments, login settings) and the SMTP client
// that sends one message built from it.
#pragma once

#include "platform/Classes.h"
#include "socket/KvInBase.h"

namespace KvInet {

// ---- e-mail model ----------------------------------------------------------------------------------------

/// One mailbox: the address proper and an optional display name. Text combines both
/// ("Name <address>"); assigning Text parses "Name <address>", "address (Name)" or a bare address.
class TKvIEMailAddress : public TCollectionItem {
    Q_OBJECT
    Q_PROPERTY(QString Address READ Address WRITE SetAddress)
    Q_PROPERTY(QString Name READ Name WRITE SetName)
    Q_PROPERTY(QString Text READ GetText WRITE SetText STORED false)
public:
    /// An address in ACollection (appended there), or a free-standing one when ACollection is null.
    explicit TKvIEMailAddress(TCollection* ACollection = nullptr) : TCollectionItem(ACollection) {}

    /// Copies Address and Name of another TKvIEMailAddress; any other source raises EConvertError.
    void Assign(const TPersistent* Source) override;

    /// The address alone when Name is empty or is the address in capitals (ASCII letters only),
    /// otherwise "Name <Address>". A name holding a comma or a double quote is put in double quotes, its own
    /// double quotes written as single ones, so that the list text (EMailAddresses) reads back into the same
    /// items: that reader splits at commas outside the first pair of double quotes and has no escape.
    QString GetText() const;
    /// Parses "Name <Address>" or "Address (Name)" (both parts trimmed, a text ending in ">" or ")" without
    /// its opening bracket leaves both empty), or takes the whole value as the address. Surrounding double or
    /// single quotes of the name are stripped, nested ones too.
    void SetText(const QString& Value);

    const QString& Address() const { return FAddress; }
    void SetAddress(const QString& Value) { FAddress = Value; }
    const QString& Name() const { return FName; }
    void SetName(const QString& Value) { FName = Value; }

private:
    QString FAddress;
    QString FName;
};

/// A list of addresses belonging to a component (KvIControl). EMailAddresses reads and writes the whole list
/// as one comma-separated text.
class TKvIEMailAddresses : public TOwnedCollection<TKvIEMailAddress> {
    Q_OBJECT
    Q_PROPERTY(QString EMailAddresses READ GetEMailAddresses WRITE SetEMailAddresses STORED false)
public:
    explicit TKvIEMailAddresses(TPersistent* AControl) : TOwnedCollection<TKvIEMailAddress>(AControl) {}

    /// The object the list belongs to (also what GetOwner reports).
    QObject* KvIControl() const { return Owner(); }
    QObject* GetOwner() const { return Owner(); }

    TKvIEMailAddress* GetItem(int Index) const { return Items(Index); }
    /// Copies Value into the item at Index (the item's Assign).
    void SetItem(int Index, const TKvIEMailAddress* Value) { Items(Index)->Assign(Value); }

    /// The items' texts (GetText) joined by ", "; empty for an empty list.
    QString GetEMailAddresses() const;
    /// Replaces the items by the pieces of Value split at commas; a comma between the first and second double
    /// quote of a piece belongs to the piece. Pieces are trimmed; empty ones are skipped. Semicolons are
    /// ordinary characters.
    void SetEMailAddresses(const QString& Value);
    /// Appends each item's text to Strings as a new line (Strings is not cleared first).
    void FillTStrings(TStrings* Strings) const;
};

/// One attached file: where it is (FileName), the name it is announced under, its MIME type and the transfer
/// encoding of its content.
class TKvIEMailAttachment : public TCollectionItem {
    Q_OBJECT
    Q_PROPERTY(QString AttachmentName READ AttachmentName WRITE SetAttachmentName)
    Q_PROPERTY(QString ContentType READ ContentType WRITE SetContentType)
    Q_PROPERTY(QString Encoding READ Encoding WRITE SetEncoding)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
public:
    explicit TKvIEMailAttachment(TCollection* ACollection = nullptr) : TCollectionItem(ACollection) {}

    /// Copies the four properties of another TKvIEMailAttachment; any other source raises EConvertError.
    void Assign(const TPersistent* Source) override;

    /// AttachmentName when set, otherwise the name part of FileName (after its last "\", "/" or ":").
    QString GetAttachmentName() const;
    /// Sets ContentType from FileName's extension ("application/octet-stream" when unknown).
    void DetectContentType();

    const QString& AttachmentName() const { return FAttachmentName; }
    void SetAttachmentName(const QString& Value) { FAttachmentName = Value; }
    const QString& ContentType() const { return FContentType; }
    void SetContentType(const QString& Value) { FContentType = Value; }
    /// Empty or "base64": Base64 in lines of 76 characters; "quoted-printable"; "7bit" or "8bit" for text
    /// files whose lines fit those encodings. Anything else is refused when the message is sent.
    const QString& Encoding() const { return FEncoding; }
    void SetEncoding(const QString& Value) { FEncoding = Value; }
    const QString& FileName() const { return FFileName; }
    void SetFileName(const QString& Value) { FFileName = Value; }

private:
    QString FAttachmentName;
    QString FContentType;
    QString FEncoding;
    QString FFileName;
};

/// The attachments of a message, belonging to a component (KvIControl).
class TKvIEMailAttachments : public TOwnedCollection<TKvIEMailAttachment> {
    Q_OBJECT
public:
    explicit TKvIEMailAttachments(TPersistent* AControl) : TOwnedCollection<TKvIEMailAttachment>(AControl) {}

    QObject* KvIControl() const { return Owner(); }
    QObject* GetOwner() const { return Owner(); }

    TKvIEMailAttachment* GetItem(int Index) const { return Items(Index); }
    void SetItem(int Index, const TKvIEMailAttachment* Value) { Items(Index)->Assign(Value); }
};

/// The server login: user, password and whether to log in at all.
class TKvILogin : public TPersistent {
    Q_OBJECT
    Q_PROPERTY(QString UserID READ UserID WRITE SetUserID)
    Q_PROPERTY(QString Password READ Password WRITE SetPassword)
    Q_PROPERTY(bool UseLogin READ UseLogin WRITE SetUseLogin STORED true)
public:
    explicit TKvILogin(QObject* Parent = nullptr) : TPersistent(Parent) {}

    /// Copies UserID, Password and UseLogin of another TKvILogin; any other source raises EConvertError.
    void Assign(const TPersistent* Source) override;

    const QString& UserID() const { return FUserID; }
    void SetUserID(const QString& Value) { FUserID = Value; }
    const QString& Password() const { return FPassword; }
    void SetPassword(const QString& Value) { FPassword = Value; }
    bool UseLogin() const { return FUseLogin; }
    void SetUseLogin(bool Value) { FUseLogin = Value; }

private:
    QString FUserID;
    QString FPassword;
    bool FUseLogin = false;
};

// ---- SMTP client -----------------------------------------------------------------------------------------

/// The enumerations of the SMTP client (a gadget so that properties of these types stream by name).
struct TKvSMTPTypes {
    Q_GADGET
public:
    /// The X-Priority header: spHighest gives 1, spLowest 5.
    enum TKvISMTPPriority { spHighest, spHigh, spNormal, spLow, spLowest };
    Q_ENUM(TKvISMTPPriority)
    /// How the connection is protected: plain text, STARTTLS after the greeting (refused when the server
    /// does not offer it; never falls back to plain text), or TLS from the start (port 465).
    enum TKvISMTPSecurity { ssNone, ssStartTLS, ssImplicitTLS };
    Q_ENUM(TKvISMTPSecurity)
};
using TKvISMTPPriority = TKvSMTPTypes::TKvISMTPPriority;
using TKvISMTPSecurity = TKvSMTPTypes::TKvISMTPSecurity;
using enum TKvSMTPTypes::TKvISMTPPriority;
using enum TKvSMTPTypes::TKvISMTPSecurity;

/// A refusal by the mail server (the command's expected reply code and the reply that came instead), or
/// message content that cannot be sent safely (an address that is not plain ASCII, an encoding that cannot
/// carry an attachment).
class EKvISMTPError : public Exception {
public:
    explicit EKvISMTPError(const QString& Msg, QString ExpectedCode = QString(), QString Reply = QString())
        : Exception(Msg), FExpectedCode(std::move(ExpectedCode)), FReply(std::move(Reply)) {}
    /// The reply code the command needed ("250"); empty for refused content.
    const QString& ExpectedCode() const { return FExpectedCode; }
    /// The server's whole reply (lines joined by CR LF); empty for refused content.
    const QString& Reply() const { return FReply; }

private:
    QString FExpectedCode;
    QString FReply;
};

/// Sends one e-mail message through an SMTP server: greets it (EHLO, HELO when refused), optionally switches
/// to TLS and logs in with AUTH LOGIN, gives the envelope (the sender, then every To, Cc and Bcc recipient)
/// and the MIME message: header, text body and one base64 part per attachment. Every reply is checked; a
/// refusal raises EKvISMTPError (which Execute turns into its result and LastError).
///
/// Use it through Execute, or call Connect, Send (as often as needed) and Disconnect.
class TKvISMTP : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(QString Subject READ Subject WRITE SetSubject)
    Q_PROPERTY(KvInet::TStrings* Body READ Body WRITE SetBody)
    Q_PROPERTY(KvInet::TKvIEMailAddress* From READ From)
    Q_PROPERTY(KvInet::TKvIEMailAddresses* Recipients READ Recipients)
    Q_PROPERTY(KvInet::TKvIEMailAddresses* CC READ CC)
    Q_PROPERTY(KvInet::TKvIEMailAddresses* BCC READ BCC)
    Q_PROPERTY(KvInet::TKvIEMailAddresses* ReplyTo READ ReplyTo)
    Q_PROPERTY(QString CharSet READ CharSet WRITE SetCharSet)
    Q_PROPERTY(QString Encoding READ Encoding WRITE SetEncoding)
    Q_PROPERTY(KvInet::TKvSMTPTypes::TKvISMTPPriority Priority READ Priority WRITE SetPriority)
    Q_PROPERTY(double Date READ Date WRITE SetDate)
    Q_PROPERTY(KvInet::TKvILogin* Login READ Login)
    Q_PROPERTY(KvInet::TKvIEMailAttachments* Attachments READ Attachments)
    Q_PROPERTY(KvInet::TKvSMTPTypes::TKvISMTPSecurity Security READ Security WRITE SetSecurity)
    Q_PROPERTY(QString CACertFile READ CACertFile WRITE SetCACertFile)
public:
    // The enumerations keep their old names inside the class as well (TKvISMTP::spNormal).
    using TKvISMTPPriority = TKvSMTPTypes::TKvISMTPPriority;
    using TKvISMTPSecurity = TKvSMTPTypes::TKvISMTPSecurity;
    using enum TKvSMTPTypes::TKvISMTPPriority;
    using enum TKvSMTPTypes::TKvISMTPSecurity;

    /// Port 25, CharSet "us-ascii", Encoding "7bit", Priority spNormal, Date the current moment.
    explicit TKvISMTP(TComponent* AOwner = nullptr);
    ~TKvISMTP() override;

    /// Opens the connection unless it is open (TLS at once with ssImplicitTLS), reads the greeting (220),
    /// greets with EHLO (HELO when EHLO is refused) and with ssStartTLS switches to TLS and greets again.
    /// A reply other than the expected one raises EKvISMTPError "Error 250" (carrying the reply) and closes
    /// the connection; so does a server without STARTTLS when it is required.
    void Connect() override;
    /// QUIT (expecting 221) when connected, then closes the connection in every case. A refused QUIT raises
    /// EKvISMTPError "Error 250".
    void Disconnect() override;
    /// One mail transaction on the open connection: RSET, AUTH LOGIN once per connection when
    /// Login.UseLogin is set, MAIL FROM, RCPT TO for every To, Cc and Bcc address, DATA, the message
    /// (ComposeMessage, dot-stuffed; 8-bit parts in quoted-printable when the server does not announce
    /// 8BITMIME) and its end. Every reply is checked: a refusal raises EKvISMTPError "Error CODE: REPLY" with
    /// the expected code. The envelope is checked (CheckEnvelope) and the message composed first, so refused
    /// content sends nothing.
    void Send();

    /// Raises EKvISMTPError for an envelope that cannot be sent: an address that is empty, has no "@" (or
    /// nothing before or after it), holds a space, a control character, an angle bracket or a character
    /// beyond ASCII, has an unbalanced "(" or '"', or is longer than 254 characters ("Invalid address in
    /// Recipients item 2 ("a@example.com (Ann"): the address holds a space"), in From (an entirely empty
    /// From is the null sender "<>" and passes), Recipients, CC, BCC or ReplyTo; and no recipient at all in
    /// Recipients, CC and BCC. Execute runs it before connecting.
    void CheckEnvelope() const;
    /// A reply or any server text as one line that is safe to print: lines joined by a space, control
    /// characters written as \xHH.
    static QString ReplyText(const QString& Reply);

    /// The message exactly as it goes out after DATA to a server that announces 8BITMIME (header, empty
    /// line, body, attachments; CR LF line ends), before dot-stuffing. Reads the attached files. Raises
    /// Exception "Invalid Subject: line breaks are not allowed" (and so on for every property that goes into
    /// a header line), EKvISMTPError for an address that cannot be sent (see CheckEnvelope) or an attachment
    /// encoding that cannot carry the file, EFOpenError for a file that cannot be read.
    QByteArray ComposeMessage() { return Compose(true); }

    const QString& Subject() const { return FSubject; }
    void SetSubject(const QString& Value) { FSubject = Value; }
    TStrings* Body() const { return FBody; }
    /// Copies the lines of Value.
    void SetBody(TStrings* Value);
    TKvIEMailAddress* From() const { return FFrom.get(); }
    TKvIEMailAddresses* Recipients() const { return FRecipients; }
    TKvIEMailAddresses* CC() const { return FCC; }
    TKvIEMailAddresses* BCC() const { return FBCC; }
    TKvIEMailAddresses* ReplyTo() const { return FReplyTo; }
    const QString& CharSet() const { return FCharSet; }
    void SetCharSet(const QString& Value) { FCharSet = Value; }
    const QString& Encoding() const { return FEncoding; }
    void SetEncoding(const QString& Value) { FEncoding = Value; }
    TKvISMTPPriority Priority() const { return FPriority; }
    void SetPriority(TKvISMTPPriority Value) { FPriority = Value; }
    /// The "Date" header's moment, local time; kept between sends.
    TDateTime Date() const { return FDate; }
    void SetDate(TDateTime Value) { FDate = Value; }
    TKvILogin* Login() const { return FLogin; }
    TKvIEMailAttachments* Attachments() const { return FAttachments; }
    TKvISMTPSecurity Security() const { return FSecurity; }
    void SetSecurity(TKvISMTPSecurity Value) { FSecurity = Value; }
    /// A PEM file of certificate authorities trusted besides the system's, for servers with a private CA.
    const QString& CACertFile() const { return FCACertFile; }
    void SetCACertFile(const QString& Value) { FCACertFile = Value; }
    /// The server's last reply, its lines joined by CR LF (empty before the first one).
    const QString& LastReply() const { return FLastReply; }
    /// Why saying goodbye went wrong after the server had accepted a message on the connection (QUIT refused
    /// or not answered in time): not a failure, since the message is on its way, and retrying would send it
    /// twice. Empty otherwise; cleared when Execute starts and when a connection opens.
    const QString& Warning() const { return FWarning; }

protected:
    /// One step of Execute: Send. The step's text is empty.
    QString InternalExecute() override;
    /// Clears Warning, then fires OnBeforeExecute.
    void BeforeExecute() override;
    /// The base's checks, then line breaks in header properties, the MIME values and CheckEnvelope: bad
    /// input is refused before anything is connected. CharSet (trimmed; empty is us-ascii) must be a MIME
    /// token: "Invalid CharSet ("utf-8"; x"): a MIME token cannot hold '"'". Each attachment's ContentType
    /// (trimmed; empty is taken from the file name) must be type/subtype, then "; name=value" parameters
    /// whose values are tokens or quoted strings, with no control character and no character beyond ASCII:
    /// "Invalid ContentType in Attachments item 2 (...): it has an unbalanced quote".
    void CheckInput() override;
    /// Sends Line and CR LF. With an Expected code, reads the whole reply (LastReply; within ReplySeconds,
    /// or Timeout when that is shorter) and returns whether its code is Expected; without one, reads nothing
    /// and returns whether the line went out. A malformed reply (a line without a three-digit code followed
    /// by a space, a hyphen or its end, a line whose code differs from the first line's, a line longer than
    /// 512 bytes, more than 512 lines) raises EKvISMTPError and drops the connection; a reply not complete
    /// in time raises ESocketError "No complete reply within N seconds" and drops it.
    bool SendData(const QString& Line, const QString& Expected, int ReplySeconds = 5 * 60);
    /// "<" + the local time as yyyymmddhhnn + eight letters a..t + "@" + Host + ">".
    static QString UniqueMessageID(const QString& Host);
    /// The decimal text of Value, zeros in front up to Width characters.
    static QString LeadZero(int Value, int Width);
    /// The local zone's offset from UTC at the local moment ADate: "+0530", "-0500", or "GMT" for none.
    static QString GetTimeZoneString(TDateTime ADate);
    /// "Sat, 5 Jan 2008 09:04:03 +0100" for a local date-time.
    static QString EMailFormatDate(TDateTime ADate);
    /// The host name this machine greets with and names in the Message-Id.
    virtual QString LocalHostName() const;

private:
    QString FSubject;
    TStringList* FBody;
    // An item outside any collection: owned here, not through the QObject tree.
    std::unique_ptr<TKvIEMailAddress> FFrom;
    TKvIEMailAddresses* FRecipients;
    TKvIEMailAddresses* FCC;
    TKvIEMailAddresses* FBCC;
    TKvIEMailAddresses* FReplyTo;
    QString FCharSet;
    QString FEncoding;
    TKvISMTPPriority FPriority = spNormal;
    TDateTime FDate;
    TKvILogin* FLogin;
    TKvIEMailAttachments* FAttachments;
    TKvISMTPSecurity FSecurity = ssNone;
    QString FCACertFile;
    QString FLastReply;
    /// The EHLO keywords of the server (upper case), empty after HELO.
    QStringList FExtensions;
    /// AUTH succeeded on this connection: a second Send on it must not log in again.
    bool FAuthenticated = false;
    /// The server accepted a message on this connection: a failed QUIT is then only a warning.
    bool FAccepted = false;
    QString FWarning;

    /// A header value with a line break would let the text start header lines or commands of its own.
    void RefuseHeaderLineBreaks() const;
    /// Raises EKvISMTPError for a CharSet that is not a MIME token, or an attachment's ContentType that is
    /// not type/subtype with "; name=value" parameters (see CheckInput).
    void CheckMimeValues() const;
    /// The message; EightBit false puts 8-bit parts into quoted-printable.
    QByteArray Compose(bool EightBit);
    /// The sender's address for MAIL FROM (empty for the null sender), refused as CheckEnvelope says.
    QByteArray SenderAddress() const;
    /// Reads one whole reply into LastReply within Seconds (or Timeout when shorter); see SendData.
    bool ReadReply(int Seconds);
    QString ReplyCode() const { return FLastReply.left(3); }
    [[noreturn]] void Refused(const QString& Expected, const QString& Message = QString()) const;
    void Greet();
    void StartTLS(const QString& PeerName);
};

} // namespace KvInet
