// kvixtract: the info extractor. Downloads one remote file (typically a page) with the updater cycle into a
// private temporary copy and collects every text that begins with one URL scheme prefix ("mailto:",
// "http://" ...) up to the first character a URL can't hold.
#pragma once

#include "web/kviupdate.h"

#include <QByteArrayView>

namespace KvInet {

/// The kind of information to extract (a gadget so that the property streams by name).
struct TKvXtractTypes {
    Q_GADGET
public:
    /// Each value selects one prefix of KvIExtractPrefix.
    enum TKvIExtract { ieMailTo, ieHTTP, itHTTPS, itFTP, itFile, itTelnet, itNews, itGopher, itWais };
    Q_ENUM(TKvIExtract)
};
using TKvIExtract = TKvXtractTypes::TKvIExtract;
using enum TKvXtractTypes::TKvIExtract;

/// The prefix of each kind, indexed by TKvIExtract.
inline constexpr const char* KvIExtractPrefix[] = {"mailto:", "http://", "https://",  "ftp://", "file://",
                                                   "telnet:", "news:",   "gopher://", "wais:"};

/// Whether a byte ends an extracted text: the characters RFC 1738 calls unsafe (space " # % < > [ \ ] ^ `
/// { | } ~) and every control character (0 to 31 and 127: a link never runs across a line break).
bool KvIExtractTerminator(unsigned char Byte);

/// Every stretch of Data that begins with Prefix (exact, case-sensitive), the prefix included, up to the
/// first terminator or the end, in order; scanning goes on after the terminator. A NUL byte ends the scan.
/// Add is called with each stretch (a view into Data) and returns false to stop.
void KvIExtractScan(QByteArrayView Data, QByteArrayView Prefix,
                    const std::function<bool(QByteArrayView Stretch)>& Add);

/// The memory one extracted text of Length characters is counted with against MaxReplySize: two bytes a
/// character and 80 for its string and list entry.
constexpr int64_t KvIExtractLineCost(int64_t Length) {
    return 2 * Length + 80;
}

/// Downloads RemoteFileName into a private temporary copy (named after the remote name's extension) with
/// the updater cycle, and rebuilds ExtractedInfo from it: every text beginning with the prefix of Extract,
/// one line each, in document order, duplicates kept, each line the file's bytes one character per byte.
/// An unchanged file is not downloaded again (isSkipped) and its kept copy is parsed again. The copy is
/// deleted when RemoteFileName changes and with the component.
class TKvInfoExtractor : public TKvCustomCopyUpdater {
    Q_OBJECT
    Q_PROPERTY(KvInet::TKvXtractTypes::TKvIExtract Extract READ Extract WRITE SetExtract STORED true)
public:
    /// Extract ieMailTo, an empty list.
    explicit TKvInfoExtractor(TComponent* AOwner = nullptr);
    ~TKvInfoExtractor() override;

    /// Runs the updater cycle; when it returned true and the local copy exists, ParseData. False when the
    /// cycle failed (a page larger than MaxReplySize too: nothing of it is kept), or when the texts found
    /// take more memory than MaxReplySize (ExtractedInfo then holds those that fit, LastError says so). A
    /// failed download leaves ExtractedInfo as it was. Raises EFOpenError when the copy can't be read.
    bool Execute() override;
    /// Rebuilds ExtractedInfo from the local copy. False (Status isFailed, LastError) when the texts found,
    /// counted with KvIExtractLineCost, pass MaxReplySize: the list keeps those that fit. Raises
    /// EFOpenError when the copy can't be read.
    bool ParseData();

    TKvIExtract Extract() const { return FExtract; }
    /// A value outside the enumeration (from a stored form) changes nothing.
    void SetExtract(TKvIExtract Value);
    /// The texts of the last parse.
    TStrings* ExtractedInfo() const { return FExtractedInfo; }

protected:
    QString CopyBaseName() const override { return QStringLiteral("page"); }
    /// The updater cycle with MaxReplySize as the download's limit.
    void InternalExecute() override;

private:
    TStringList* FExtractedInfo;
    TKvIExtract FExtract = ieMailTo;
};

} // namespace KvInet
