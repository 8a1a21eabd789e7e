// Fuzz target for the HTTP client's reading of a reply: interim answers, the header section's limits,
// Content-Length and chunked framing, and the body's lines made as it arrives. The same reply is read twice,
// cut into blocks at different places: once with the body's lines made as it comes, once kept as it came.
// Both must agree on the body's bytes (Body), whatever the cuts, and nothing may crash or read past the end.
#include "socket/KvIHTTP.h"

#include <cstddef>
#include <cstdint>

using namespace KvInet;

namespace {

class TFuzzHTTP : public TKvIHTTPClient {
public:
    explicit TFuzzHTTP(bool Lines) {
        SetAction(haGet);
        SetRemoveHeaders(Lines);
    }
    /// Feeds Reply in blocks of the sizes Cuts gives (cycling), as the socket would; false when the reading
    /// refused the reply (its own message), true when the reply was read and split.
    bool Read(const QByteArray& Reply, const QByteArray& Cuts) {
        BeginReply();
        QString text;
        try {
            qsizetype at = 0;
            for (qsizetype i = 0; at < Reply.size(); ++i) {
                const qsizetype size = Cuts.isEmpty() ? Reply.size() : 1 + uint8_t(Cuts[i % Cuts.size()]) * 7;
                const qsizetype n = std::min(size, Reply.size() - at);
                AppendBlock(text, Reply.constData() + at, n);
                at += n;
                if (ReplyComplete(text))
                    break;
            }
            AfterExecute(text);
        } catch (const Exception&) {
            return false;
        }
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    // The first bytes choose the cuts, up to the first 0xFF; the rest is the reply.
    const QByteArray input(reinterpret_cast<const char*>(Data), qsizetype(Size));
    const qsizetype split = input.indexOf('\xff');
    const QByteArray cuts = split < 0 ? QByteArray() : input.left(split);
    const QByteArray reply = split < 0 ? input : input.mid(split + 1);
    TFuzzHTTP lines(true), kept(false);
    const bool read = lines.Read(reply, cuts);
    if (kept.Read(reply, QByteArray()) != read)
        __builtin_trap(); // the cuts changed whether the reply is acceptable
    if (read && lines.Body() != kept.Body())
        __builtin_trap(); // the body's bytes depend on how they were read
    if (read && lines.ResponseHeaders()->Count() > TKvIHTTPClient::MaxHeaderLines)
        __builtin_trap();
    return 0;
}
