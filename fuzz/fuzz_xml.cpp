// Fuzz target for the XML engine: every input is parsed as a byte stream (LoadFromStream, with and without
// a size) and as a string (ParseXMLFromString, one character per byte and as UTF-16 units), with the tag
// events vetoing and cancelling at points chosen by the input, then every lookup and value of the tree is
// read (also as GetTagText gives it). The engine must never crash, leak or read out of bounds, whatever the
// bytes.
#include "xml/KvInetXML.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace KvInet;

namespace {

void Walk(TKvXMLEngine& Engine) {
    std::vector<TKvXMLItem*> work{Engine.RootItem()};
    size_t visited = 0;
    while (!work.empty()) {
        TKvXMLItem* item = work.back();
        work.pop_back();
        (void)item->GetTagValue();
        (void)Engine.GetTagText(item);
        (void)item->Attributes();
        if (++visited % 7 == 0)
            item->ProcessAttributes();
        for (TKvXMLItem* child : item->Items())
            work.push_back(child);
    }
    (void)Engine.GetItemByTag(nullptr, QStringLiteral("encoding"));
    (void)Engine.RootItem()->GetChild(QStringLiteral("a"), true);
    (void)Engine.RootItem()->GetChild(QStringLiteral("a"), false);
}

void Run(const uint8_t* Data, size_t Size, uint8_t Options) {
    TKvXMLEngine engine;
    unsigned tags = 0;
    if (Options & 1)
        engine.SetOnTag([&tags, Options](QObject*, TKvXMLItem*, const QString&, const QString&,
                                         const QString&,
                                         bool& Accept) { Accept = (++tags % (2 + (Options >> 5))) != 0; });
    unsigned closes = 0;
    if (Options & 2)
        engine.SetOnAfterTag([&closes, Options](QObject*, TKvXMLItem*&, bool& Cancel) {
            Cancel = ++closes == unsigned(Options >> 2);
        });
    TMemoryStream stream;
    stream.Write(Data, int64_t(Size));
    stream.SetPosition(0);
    engine.LoadFromStream(0, &stream);
    Walk(engine);
    stream.SetPosition(Size > 3 ? 3 : 0);
    engine.LoadFromStream(int64_t(Size), &stream);
    Walk(engine);

    const QString latin1 = QString::fromLatin1(reinterpret_cast<const char*>(Data), qsizetype(Size));
    engine.SetUTF8Processed(Options & 4);
    engine.ParseXMLFromString(latin1, int(Size) - int(Options & 3));
    Walk(engine);
    QString wide(qsizetype(Size / 2), Qt::Uninitialized);
    std::memcpy(wide.data(), Data, (Size / 2) * 2);
    engine.ParseXMLFromString(wide);
    Walk(engine);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0)
        return 0;
    Run(Data + 1, Size - 1, Data[0]);
    return 0;
}
