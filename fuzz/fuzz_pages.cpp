// Fuzz target for the page-scraping clients: the table flattening and both page readers (the tracker's
// sections, the weather temperature) must survive any reply, with or without its markers and status line:
// no crash, no endless loop, no read past the end; every flattened line must also split into a list.
#include "socket/KvIFedEx.h"
#include "socket/KvIWeath.h"

#include <cstddef>
#include <cstdint>

using namespace KvInet;

namespace {

class TFuzzTracker : public TKvFedExTracker {
public:
    void Read(QString Text) { AfterExecute(Text); }
};

class TFuzzWeather : public TKvWeatherInfo {
public:
    void Read(QString Text) { AfterExecute(Text); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(Data), qsizetype(Size));
    const QString flat = TKvFedExTracker::FlattenTable(text);
    // The flattening only ever shortens the text, and leaves no "==" behind.
    if (flat.size() > text.size() * 2 || flat.contains(QLatin1String("==")))
        __builtin_trap();
    TFuzzTracker tracker;
    tracker.Read(text);
    (void)tracker.ShipmentInfo()->Count();
    TFuzzWeather weather;
    weather.Read(text);
    if (!weather.LastError().isEmpty() && weather.Temperature() != 0)
        __builtin_trap();
    return 0;
}
