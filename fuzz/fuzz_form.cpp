// Fuzz target for the stored-form reader: every input is read as a form's UTF-8 text, to inspect (nothing
// may start) and with small bounds chosen by the first byte. A form that reads must write back to a text
// that reads again to the same text. The reader must never crash, hang or recurse per nesting level.
#include "design/KvIForm.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace KvInet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0)
        return 0;
    TKvFormLimits limits;
    if (Data[0] >= 128) {
        limits.MaxDepth = 1 + Data[0] % 8;
        limits.MaxObjects = 1 + Data[0] % 16;
        limits.MaxItems = 1 + Data[0] % 32;
    }
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(Data + 1), qsizetype(Size - 1));
    std::unique_ptr<TComponent> form;
    try {
        form = ReadComponentForm(text, lmInspect, limits);
    } catch (const Exception&) {
        return 0;
    }
    const QString written = WriteComponentForm(form.get());
    try {
        const std::unique_ptr<TComponent> again = ReadComponentForm(written, lmInspect);
        if (WriteComponentForm(again.get()) != written)
            std::abort(); // the second pass changed what the first wrote
    } catch (const Exception&) {
        std::abort(); // what the writer wrote must read
    }
    return 0;
}
