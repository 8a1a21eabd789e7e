// kvixtract: the info extractor.
#include "web/kvixtract.h"

#include <QFile>

#include <iterator>

namespace KvInet {

bool KvIExtractTerminator(unsigned char Byte) {
    switch (Byte) {
    case ' ':
    case '"':
    case '#':
    case '%':
    case '<':
    case '>':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
    case '~':
    case 127:
        return true;
    default:
        return Byte < 32;
    }
}

void KvIExtractScan(QByteArrayView Data, QByteArrayView Prefix,
                    const std::function<bool(QByteArrayView Stretch)>& Add) {
    // The bytes are scanned where they are: prefixes and terminators are ASCII, so no decoding is needed
    // and a large file costs no second copy.
    if (Prefix.isEmpty())
        return;
    const char* const end = Data.data() + Data.size();
    const char* p = Data.data();
    while (p < end && *p != 0) {
        if (*p != Prefix.front() || end - p < Prefix.size() || QByteArrayView(p, Prefix.size()) != Prefix) {
            ++p;
            continue;
        }
        const char* q = p + Prefix.size();
        while (q < end && !KvIExtractTerminator(static_cast<unsigned char>(*q)))
            ++q;
        if (!Add(QByteArrayView(p, q - p)))
            return;
        // On after the terminator; a NUL ends the scan, as anywhere else (the end of the data too).
        if (q >= end || *q == 0)
            return;
        p = q + 1;
    }
}

TKvInfoExtractor::TKvInfoExtractor(TComponent* AOwner)
    : TKvCustomCopyUpdater(AOwner), FExtractedInfo(new TStringList(this)) {}

TKvInfoExtractor::~TKvInfoExtractor() {
    delete FExtractedInfo;
}

void TKvInfoExtractor::SetExtract(TKvIExtract Value) {
    if (int(Value) >= 0 && size_t(Value) < std::size(KvIExtractPrefix))
        FExtract = Value;
}

bool TKvInfoExtractor::ParseData() {
    FExtractedInfo->Clear();
    QFile file(LocalFileName());
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(LocalFileName(), file.errorString()));
    const int64_t size = file.size();
    QByteArray read;
    QByteArrayView data;
    // Mapped, not read: the copy may be as large as the download was.
    if (size > 0) {
        if (const uchar* mapped = file.map(0, size))
            data = QByteArrayView(mapped, size);
        else
            data = read = file.readAll();
    }
    // What the texts take in memory is counted, not their length: a page of bare prefixes gives millions
    // of short lines, each costing more in its string and its list entry than in characters.
    const int64_t limit = MaxReplySize();
    int64_t kept = 0;
    bool complete = true;
    FExtractedInfo->BeginUpdate();
    KvIExtractScan(data, KvIExtractPrefix[FExtract], [&](QByteArrayView Stretch) {
        kept += KvIExtractLineCost(Stretch.size());
        if (limit > 0 && kept > limit) {
            complete = false;
            return false;
        }
        FExtractedInfo->Add(QString::fromLatin1(Stretch));
        return true;
    });
    FExtractedInfo->EndUpdate();
    if (!complete) {
        SetLastError(
            QStringLiteral("The extracted texts take more than %1 bytes of memory; the rest is left out")
                .arg(limit));
        SetStatus(isFailed);
    }
    return complete;
}

void TKvInfoExtractor::InternalExecute() {
    // The copy is scanned in memory (mapped), so MaxReplySize bounds the download itself.
    SetDownloadLimit(MaxReplySize(), QStringLiteral("The page is larger than %1 bytes").arg(MaxReplySize()));
    TKvCustomCopyUpdater::InternalExecute();
}

bool TKvInfoExtractor::Execute() {
    const bool result = TKvCustomCopyUpdater::Execute();
    // A part left by a broken download is not the page: it is not parsed.
    if (!result || !CopyComplete())
        return result;
    return ParseData();
}

} // namespace KvInet
