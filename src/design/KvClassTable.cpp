// KvClassTable: the table itself.
#include "design/KvClassTable.h"

#include "platform/Forms.h"
#include "services/KvIMSTranslator.h"
#include "services/KvIRSS.h"
#include "services/KvIUPS.h"
#include "socket/KvIDNS.h"
#include "socket/KvIFedEx.h"
#include "socket/KvIHTTP.h"
#include "socket/KvISMTP.h"
#include "socket/KvISNTP.h"
#include "socket/KvITime.h"
#include "socket/KvIWeath.h"
#include "socket/KvInBase.h"
#include "socket/KvWhoIs.h"
#include "web/kvidir.h"
#include "web/kvidirect.h"
#include "web/kviimage.h"
#include "web/kviupdate.h"
#include "web/kvixtract.h"
#include "xml/KvInetXML.h"

#include <algorithm>

namespace KvInet {

namespace {

template <class T>
TComponent* Create(TComponent* AOwner) {
    return new T(AOwner);
}

// Page: the palette page, or none for a class only stored forms hold. Icon: whether the library has its
// palette picture (a resource named after the class in capitals).
template <class T>
TComponentClass Row(const char* Page, bool Icon) {
    const QString name = QString::fromLatin1(T::staticMetaObject.className()).section(u':', -1);
    return {name, &Create<T>, Page ? QString::fromLatin1(Page) : QString(), Icon ? name.toUpper() : QString(),
            &T::staticMetaObject};
}

constexpr bool NoIcon = false;
constexpr bool HasIcon = true;

const std::vector<TComponentClass>& Table() {
    static const std::vector<TComponentClass> table = {
        // The palette, in its order.
        Row<TKvWhoIs>(KvInetPalettePage, HasIcon),
        Row<TKvInetDateTime>(KvInetPalettePage, HasIcon),
        Row<TKvUPSTracker>(KvInetPalettePage, HasIcon),
        Row<TKvFedExTracker>(KvInetPalettePage, HasIcon),
        Row<TKvIHTTPClient>(KvInetPalettePage, HasIcon),
        Row<TKvWebUpdater>(KvInetPalettePage, HasIcon),
        Row<TKvWebDirect>(KvInetPalettePage, HasIcon),
        Row<TKvRemoteImage>(KvInetPalettePage, HasIcon),
        Row<TKvInfoExtractor>(KvInetPalettePage, HasIcon),
        Row<TKvWeatherInfo>(KvInetPalettePage, HasIcon),
        Row<TKvRemoteFiles>(KvInetPalettePage, HasIcon),
        Row<TKvISMTP>(KvInetPalettePage, HasIcon),
        Row<TKvIRSSParser>(KvInetPalettePage, NoIcon),
        Row<TKvInetSNTP>(KvInetPalettePage, NoIcon),
        Row<TKvMSTranslator>(KvInetPalettePage, HasIcon),
        // Loadable from forms, not on the palette.
        Row<TKvIDNSResolver>(nullptr, HasIcon),
        Row<TKvXMLEngine>(nullptr, NoIcon),
        Row<TImage>(nullptr, NoIcon),
        // The plain owner an application keeps its components in, as a form's root.
        Row<TComponent>(nullptr, NoIcon),
    };
    return table;
}

} // namespace

std::span<const TComponentClass> KvInetClasses() {
    return Table();
}

const TComponentClass* FindKvInetClass(const QString& ClassName) {
    const auto& table = Table();
    const auto it = std::find_if(table.begin(), table.end(),
                                 [&](const TComponentClass& C) { return C.ClassName == ClassName; });
    return it == table.end() ? nullptr : &*it;
}

} // namespace KvInet
