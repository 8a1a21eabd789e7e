// KvIDNS: the DNS resolver component (one query over TCP, the raw reply returned), the query builder it uses,
// and TKvIDNSAnswer, which decodes a raw reply into its header, questions and records.
#pragma once

#include "platform/SysUtils.h"
#include "socket/KvInBase.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <initializer_list>

namespace KvInet {

/// The enumerations of the DNS resolver (a gadget so that properties of these types stream by name).
///
/// Requests is published as a flag set: TKvIDNSRequestFlag has one bit per request (1 << its ordinal) under
/// the request's own name, so a stored form reads and writes the property by names ("irA|irMX"). C++ code
/// keeps using TKvIDNSRequests, which converts to and from the flags both ways.
struct TKvDNSTypes {
    Q_GADGET
public:
    /// The record types a TKvIDNSResolver can ask for. The ordinal order is the order of the questions.
    enum TKvIDNSRequest {
        irAll,             ///< type 255, every record of the name
        irA,               ///< type 1, host address
        irNS,              ///< type 2, name server
        irName,            ///< type 5, canonical name
        irSOA,             ///< type 6, start of authority
        irMB,              ///< type 7, mailbox domain
        irMG,              ///< type 8, mail group member
        irMR,              ///< type 9, mail rename domain
        irRR,              ///< type 10, null record
        irWKS,             ///< type 11, well-known services
        irPTR,             ///< type 12, domain name pointer (the domain is a dotted IPv4 address)
        irHostInfo,        ///< type 13, host information
        irMailInfo,        ///< type 14, mailbox information
        irMX,              ///< type 15, mail exchange
        irText,            ///< type 16, text
        irTransferRequest, ///< type 252, zone transfer
        irMailB,           ///< type 253, mailbox-related records
        // Added after the original set (which keeps its ordinals): types that servers only return when
        // asked for them by name (many answer the irAll question with nothing).
        irAAAA, ///< type 28, IPv6 host address
        irSRV   ///< type 33, service location
    };
    Q_ENUM(TKvIDNSRequest)

    /// A TKvIDNSRequest as a bit of a flag set: the published form of a set of requests.
    enum class TKvIDNSRequestFlag : uint32_t {
        irAll = 1u << TKvIDNSRequest::irAll,
        irA = 1u << TKvIDNSRequest::irA,
        irNS = 1u << TKvIDNSRequest::irNS,
        irName = 1u << TKvIDNSRequest::irName,
        irSOA = 1u << TKvIDNSRequest::irSOA,
        irMB = 1u << TKvIDNSRequest::irMB,
        irMG = 1u << TKvIDNSRequest::irMG,
        irMR = 1u << TKvIDNSRequest::irMR,
        irRR = 1u << TKvIDNSRequest::irRR,
        irWKS = 1u << TKvIDNSRequest::irWKS,
        irPTR = 1u << TKvIDNSRequest::irPTR,
        irHostInfo = 1u << TKvIDNSRequest::irHostInfo,
        irMailInfo = 1u << TKvIDNSRequest::irMailInfo,
        irMX = 1u << TKvIDNSRequest::irMX,
        irText = 1u << TKvIDNSRequest::irText,
        irTransferRequest = 1u << TKvIDNSRequest::irTransferRequest,
        irMailB = 1u << TKvIDNSRequest::irMailB,
        irAAAA = 1u << TKvIDNSRequest::irAAAA,
        irSRV = 1u << TKvIDNSRequest::irSRV
    };
    Q_DECLARE_FLAGS(TKvIDNSRequestFlags, TKvIDNSRequestFlag)
    Q_FLAG(TKvIDNSRequestFlags)
};
using TKvIDNSRequest = TKvDNSTypes::TKvIDNSRequest;
using enum TKvDNSTypes::TKvIDNSRequest;
using TKvIDNSRequestFlag = TKvDNSTypes::TKvIDNSRequestFlag;
using TKvIDNSRequestFlags = TKvDNSTypes::TKvIDNSRequestFlags;
Q_DECLARE_OPERATORS_FOR_FLAGS(TKvDNSTypes::TKvIDNSRequestFlags)

constexpr int KvIDNSRequestCount = irSRV + 1;

/// The DNS type code (RFC 1035) that a request puts into its question.
uint16_t DNSRequestTypeCode(TKvIDNSRequest Request);

/// A set of TKvIDNSRequest values.
class TKvIDNSRequests {
public:
    TKvIDNSRequests() = default;
    TKvIDNSRequests(std::initializer_list<TKvIDNSRequest> Members);
    /// The set whose members are the bits of Flags (bits without a request are dropped).
    TKvIDNSRequests(TKvIDNSRequestFlags Flags) : FBits(uint32_t(Flags.toInt()) & AllBits) {}
    /// The set as flags (the type of the published Requests property).
    operator TKvIDNSRequestFlags() const { return TKvIDNSRequestFlags::fromInt(FBits); }

    void Include(TKvIDNSRequest Request) { FBits |= Bit(Request); }
    void Exclude(TKvIDNSRequest Request) { FBits &= ~Bit(Request); }
    bool Contains(TKvIDNSRequest Request) const { return (FBits & Bit(Request)) != 0; }
    bool Empty() const { return FBits == 0; }
    /// The number of members.
    int Count() const;
    /// The members in ascending ordinal order.
    QList<TKvIDNSRequest> Members() const;
    bool operator==(const TKvIDNSRequests& Other) const = default;

private:
    static constexpr uint32_t Bit(TKvIDNSRequest Request) { return uint32_t(1) << int(Request); }
    static constexpr uint32_t AllBits = (uint32_t(1) << KvIDNSRequestCount) - 1;
    uint32_t FBits = 0;
};

/// Raised for a domain that cannot be put into a DNS message: an empty label (two full stops in a row, a
/// leading one), a label over 63 bytes, a name over 255 bytes once encoded, a control character, or a name
/// beyond ASCII that has no IDNA form.
class EKvIDNSError : public Exception {
public:
    using Exception::Exception;
};

/// The query that TKvIDNSResolver sends, as wire text (one character per byte), each message preceded by its
/// two-byte length as DNS over TCP wants it. One requested type gives one message with identifier 0x12A2,
/// flags 0x0100 (recursion desired) and one question. Several types give one such message per type, in
/// ascending order, with identifiers 0x12A2, 0x12A3, ... (servers refuse a message with several questions).
/// For irPTR the labels of Domain are reversed and "in-addr.arpa" appended. A domain beyond ASCII is written
/// in its IDNA form (QUrl::toAce: "bücher.example" goes as xn--bcher-kva.example); "." is the root. Empty
/// Requests or an empty Domain give the empty text. Raises EKvIDNSError for a domain that cannot be encoded.
QString BuildDNSQuery(const TKvIDNSRequests& Requests, const QString& Domain);

// ---- answer decoding -------------------------------------------------------------------------------------

/// One question of a decoded message.
struct TKvIDNSQuestion {
    QString Name; ///< presentation form with the final dot ("www.example.com.")
    uint16_t QType = 0;
    uint16_t QClass = 0;
};

/// One resource record of a decoded message. Data is the presentation form of the record data; the typed
/// fields are filled for the types they belong to.
struct TKvIDNSRecord {
    QString Name;
    uint16_t RType = 0;
    uint16_t RClass = 0;
    uint32_t TTL = 0;
    QByteArray RData; ///< the record data as it stood in the message (names possibly compressed)
    QString Data;     ///< presentation form: "192.0.2.1", "10 mail.example.", "\"a\" \"b\"", ...
    bool Decoded =
        false; ///< false when the data did not fit the type's layout (Data is then the generic form)

    QHostAddress Address; ///< A, AAAA
    QString Target;  ///< NS, CNAME, PTR, MB, MG, MR: the name; MX: the exchange; SRV: the target; SOA: MNAME
    QString Mailbox; ///< SOA: RNAME
    uint16_t Preference = 0;                                              ///< MX
    uint16_t Priority = 0, Weight = 0, Port = 0;                          ///< SRV
    uint32_t Serial = 0, Refresh = 0, Retry = 0, Expire = 0, Minimum = 0; ///< SOA
    QList<QByteArray> Strings; ///< TXT: every character-string; HINFO: CPU and OS

    /// The record as one line: "NAME TTL CLASS TYPE DATA".
    QString Text() const;
};

/// One decoded DNS message.
struct TKvIDNSMessage {
    uint16_t ID = 0;
    bool QR = false; ///< a response
    int Opcode = 0;
    bool AA = false, TC = false, RD = false, RA = false, AD = false, CD = false;
    int RCode = 0;
    /// The counts the header announced (the lists below hold what could be decoded).
    int QDCount = 0, ANCount = 0, NSCount = 0, ARCount = 0;
    QList<TKvIDNSQuestion> Questions;
    QList<TKvIDNSRecord> Answers;
    QList<TKvIDNSRecord> Authority;
    QList<TKvIDNSRecord> Additional;
    bool Malformed = false;
    QString Problem; ///< why decoding stopped early; empty when the message was whole
};

/// How the input of TKvIDNSAnswer is framed.
enum TKvIDNSFraming {
    dfAuto,   ///< length-prefixed when the prefixes describe the input, a bare message otherwise
    dfTCP,    ///< one or more messages, each preceded by its two-byte length
    dfMessage ///< one bare message (as carried in a UDP datagram)
};

/// Decodes a DNS reply: header flags, response code, questions and the answer, authority and additional
/// records, following name compression. Decodes A, AAAA, NS, CNAME, SOA, PTR, MX, TXT, HINFO and SRV data
/// (MB, MG, MR as names); other types keep their raw data. Never raises on malformed input: it keeps what it
/// could decode and sets Malformed with the reason.
class TKvIDNSAnswer {
public:
    TKvIDNSAnswer() = default;
    explicit TKvIDNSAnswer(const QByteArray& Reply, TKvIDNSFraming Framing = dfAuto) {
        Decode(Reply, Framing);
    }

    /// Decodes Reply, replacing what an earlier call decoded.
    void Decode(const QByteArray& Reply, TKvIDNSFraming Framing = dfAuto);
    /// Decodes wire text (one character per byte), as TKvIDNSResolver::Execute returns it.
    void DecodeWire(const QString& WireText, TKvIDNSFraming Framing = dfAuto);

    const QList<TKvIDNSMessage>& Messages() const { return FMessages; }
    /// True when any part of the input could not be decoded (also when there was no message at all).
    bool Malformed() const { return FMalformed; }
    /// The first problem met, or empty.
    const QString& Problem() const { return FProblem; }
    /// The first non-zero response code among the messages, or 0.
    int RCode() const;
    /// The answer records of every message, in order.
    QList<TKvIDNSRecord> Answers() const;

    /// "NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED", ..., "RCODEn" for unknown codes.
    static QString RCodeName(int RCode);
    /// "A", "NS", "CNAME", "SOA", "PTR", "HINFO", "MX", "TXT", "AAAA", "SRV", "ANY", ...; "TYPEn" otherwise.
    static QString TypeName(uint16_t RType);
    /// "IN" for class 1, "CLASSn" otherwise.
    static QString ClassName(uint16_t RClass);

private:
    void AddMessage(const QByteArray& Message, bool Truncated);
    void NoteProblem(const QString& Problem);

    QList<TKvIDNSMessage> FMessages;
    bool FMalformed = false;
    QString FProblem;
};

// ---- the resolver ----------------------------------------------------------------------------------------

/// Sends one DNS query for Domain, asking for the types in Requests, to the DNS server at Host or Address
/// over TCP (port 53), and returns the answers as raw wire text (one character per byte, each message
/// behind its two-byte length) from Execute and to OnAfterExecute. TKvIDNSAnswer decodes it.
/// The query goes out without the base's text header block and the reply is not screened for status
/// codes. Each message of the query is sent once the previous one is answered, and reading stops as soon
/// as its answer is complete (servers keep the connection open). Only a message with the question's
/// identifier, QR set and the same question is its answer; others are skipped. Timeout bounds the whole
/// exchange of each question ("No answer to the question www.example.com. A within 3 seconds"); an answer
/// with TC set is a failure. A server that closes the connection before answering, or resets it, is asked
/// once more on a new connection.
class TKvIDNSResolver : public TKvInetBase {
    Q_OBJECT
    Q_PROPERTY(KvInet::TKvDNSTypes::TKvIDNSRequestFlags Requests READ Requests WRITE SetRequests STORED true)
    Q_PROPERTY(QString Domain READ Domain WRITE SetDomain)
public:
    /// Port 53; Host or Address must be set to the DNS server.
    explicit TKvIDNSResolver(TComponent* AOwner = nullptr);

    /// The query (BuildDNSQuery), or the empty text when Requests or Domain is empty or no server is set.
    /// Raises EKvIDNSError for a domain that cannot be encoded.
    QString GetQuery() override;

    /// The record types asked for; published as TKvIDNSRequestFlags, so stored forms name them ("irA|irMX").
    const TKvIDNSRequests& Requests() const { return FRequests; }
    void SetRequests(const TKvIDNSRequests& Value) { FRequests = Value; }
    const QString& Domain() const { return FDomain; }
    void SetDomain(const QString& Value) { FDomain = Value; }

protected:
    QString InternalExecute() override;
    bool QueryIsBinary() const override { return true; }

private:
    enum TExchange { exAnswered, exClosed, exFailed };
    /// Sends one message of the query and reads until its answer has come: a message with the same
    /// identifier, QR set and the same question (Answer, with its length prefix). Other messages (a
    /// duplicate of an earlier answer, one about another question) are skipped; bytes read past the answer
    /// stay in FPending for the next question. exClosed: the server closed or reset the connection first;
    /// exFailed: a read failure whose error the OnError handler cleared. Raises Exception when Deadline
    /// passes first and for an answer with TC set.
    TExchange Exchange(const QByteArray& Message, const TKvIDNSMessage& Asked, const QDeadlineTimer& Deadline,
                       QByteArray& Answer);

    TKvIDNSRequests FRequests;
    QString FDomain;
    /// Received bytes not yet taken as a message, on the current connection.
    QByteArray FPending;
};

} // namespace KvInet

Q_DECLARE_METATYPE(KvInet::TKvIDNSRequests)
