// Fuzz target: the DNS answer decoder must survive any input (no crash, no endless loop, no read past the
// end), whatever framing it assumes; every decoded record must also format.
#include "socket/KvIDNS.h"

#include "platform/WireText.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    using namespace KvInet;
    const QByteArray input(reinterpret_cast<const char*>(Data), qsizetype(Size));
    for (TKvIDNSFraming framing : {dfAuto, dfTCP, dfMessage}) {
        const TKvIDNSAnswer answer(input, framing);
        for (const TKvIDNSMessage& m : answer.Messages()) {
            for (const TKvIDNSQuestion& q : m.Questions)
                (void)TKvIDNSAnswer::TypeName(q.QType);
            for (const auto* section : {&m.Answers, &m.Authority, &m.Additional})
                for (const TKvIDNSRecord& r : *section)
                    (void)r.Text();
        }
        (void)TKvIDNSAnswer::RCodeName(answer.RCode());
    }
    // The same bytes as a domain to ask for: either a query or a clean refusal.
    try {
        const QString query = BuildDNSQuery({irA, irPTR, irMX}, QString::fromLatin1(input.left(300)));
        TKvIDNSAnswer(WireToBytes(query), dfTCP);
    } catch (const EKvIDNSError&) {
    }
    return 0;
}
