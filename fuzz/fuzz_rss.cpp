// Fuzz target for the RSS parser's reading: every input is decoded as a feed's bytes (byte-order mark,
// declared encoding, lenient UTF-8) and scanned, and scanned again as text one character per byte, with a
// memory bound chosen by the input; then every channel and item is read, copied and freed. The scanner must
// never crash, leak or read out of bounds, whatever the bytes.
#include "services/KvIRSS.h"

#include <cstddef>
#include <cstdint>

using namespace KvInet;

namespace {

void Walk(TKvIRSSChannels& Channels) {
    TKvIRSSChannel copy;
    for (TKvIRSSChannel* channel : Channels) {
        (void)channel->Title.size();
        copy.Assign(channel);
        for (TKvIRSSItem* item : channel->Items)
            (void)(item->Title.size() + item->Link.size() + item->Description.size() + item->Creator.size() +
                   item->Date.size());
        if (channel->Items.Count() > 1)
            channel->Items.DeleteItem(channel->Items.Count() / 2);
    }
    (void)Channels.GetItem(-1);
    (void)Channels.GetItem(Channels.Count());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0)
        return 0;
    const int64_t bound = Data[0] < 128 ? 0 : int64_t(Data[0]) * 64;
    const QByteArray bytes(reinterpret_cast<const char*>(Data + 1), qsizetype(Size - 1));
    {
        TKvIRSSChannels channels;
        RSSTextToChannels(RSSBytesToText(bytes), channels, bound);
        Walk(channels);
    }
    TKvIRSSChannels channels;
    RSSTextToChannels(QString::fromLatin1(bytes), channels, bound);
    Walk(channels);
    return 0;
}
