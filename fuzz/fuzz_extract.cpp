// Fuzz target for the info extractor's scan: the first byte picks the prefix, the rest is the page. Every
// stretch must lie inside the input, begin with the prefix and hold no terminator.
#include "web/kvixtract.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>

using namespace KvInet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0)
        return 0;
    const char* prefix = KvIExtractPrefix[Data[0] % std::size(KvIExtractPrefix)];
    const QByteArrayView page(reinterpret_cast<const char*>(Data + 1), qsizetype(Size - 1));
    KvIExtractScan(page, prefix, [&](QByteArrayView Stretch) {
        if (Stretch.data() < page.data() || Stretch.data() + Stretch.size() > page.data() + page.size() ||
            !Stretch.startsWith(prefix))
            std::abort();
        for (qsizetype i = qsizetype(std::char_traits<char>::length(prefix)); i < Stretch.size(); ++i)
            if (KvIExtractTerminator(static_cast<unsigned char>(Stretch[i])))
                std::abort();
        return true;
    });
    return 0;
}
