// DesignIntf: the designer's registry of palette classes and editors.
#include "design/DesignIntf.h"

#include <algorithm>

namespace KvInet {

namespace {

// How far Meta is from Base (0: the same class), or -1 when Meta does not inherit it.
int Distance(const QMetaObject* Meta, const QMetaObject* Base) {
    int steps = 0;
    for (const QMetaObject* m = Meta; m; m = m->superClass(), ++steps)
        if (m == Base)
            return steps;
    return -1;
}

} // namespace

void TDesignRegistry::RegisterComponents(const QString& Page, const std::vector<TComponentClass>& Classes) {
    auto page = std::find_if(FPages.begin(), FPages.end(), [&](const auto& P) { return P.first == Page; });
    if (page == FPages.end()) {
        FPages.emplace_back(Page, std::vector<TComponentClass>());
        page = FPages.end() - 1;
    }
    for (const TComponentClass& c : Classes) {
        const bool known =
            std::any_of(page->second.begin(), page->second.end(),
                        [&](const TComponentClass& Have) { return Have.ClassName == c.ClassName; });
        if (!known)
            page->second.push_back(c);
    }
}

void TDesignRegistry::RegisterComponentEditor(const QMetaObject* Base, const QString& Key,
                                              TComponentEditorFactory Factory) {
    std::erase_if(FComponentEditors, [&](const TComponentEditorEntry& E) { return E.Base == Base; });
    FComponentEditors.push_back({Base, Key, std::move(Factory)});
}

void TDesignRegistry::RegisterPropertyEditor(QMetaType PropertyType, const QMetaObject* Base,
                                             const QString& Name, const QString& Key,
                                             TPropertyEditorFactory Factory) {
    std::erase_if(FPropertyEditors, [&](const TPropertyEditorEntry& E) {
        return E.Type == PropertyType && E.Base == Base && E.Name.compare(Name, Qt::CaseInsensitive) == 0;
    });
    FPropertyEditors.push_back({PropertyType, Base, Name, Key, std::move(Factory)});
}

QStringList TDesignRegistry::Pages() const {
    QStringList pages;
    for (const auto& page : FPages)
        pages.append(page.first);
    return pages;
}

std::vector<TComponentClass> TDesignRegistry::PageClasses(const QString& Page) const {
    for (const auto& page : FPages)
        if (page.first == Page)
            return page.second;
    return {};
}

std::unique_ptr<TComponentEditor> TDesignRegistry::GetComponentEditor(TComponent* AComponent) const {
    const TComponentEditorEntry* best = nullptr;
    int bestDistance = -1;
    // The nearest base wins; among equals the later registration.
    for (const TComponentEditorEntry& entry : FComponentEditors) {
        const int d = AComponent ? Distance(AComponent->metaObject(), entry.Base) : -1;
        if (d >= 0 && (!best || d <= bestDistance)) {
            best = &entry;
            bestDistance = d;
        }
    }
    if (best)
        return best->Factory(AComponent);
    return std::make_unique<TComponentEditor>(AComponent);
}

std::unique_ptr<TPropertyEditor> TDesignRegistry::GetPropertyEditor(QObject* Instance,
                                                                    const QString& Name) const {
    if (!Instance)
        return nullptr;
    const QMetaObject* meta = Instance->metaObject();
    const int index = meta->indexOfProperty(Name.toLatin1().constData());
    if (index < 0)
        return nullptr;
    const QMetaProperty property = meta->property(index);
    const TPropertyEditorEntry* best = nullptr;
    int bestDistance = -1;
    for (const TPropertyEditorEntry& entry : FPropertyEditors) {
        if (entry.Type != property.metaType())
            continue;
        if (!entry.Name.isEmpty() && entry.Name.compare(Name, Qt::CaseInsensitive) != 0)
            continue;
        const int d = Distance(meta, entry.Base);
        if (d >= 0 && (!best || d <= bestDistance)) {
            best = &entry;
            bestDistance = d;
        }
    }
    if (best)
        return best->Factory(Instance, property);
    if (property.metaType() == QMetaType::fromType<QString>())
        return std::make_unique<TStringProperty>(Instance, property);
    return std::make_unique<TPropertyEditor>(Instance, property);
}

void TDesignRegistry::Clear() {
    FPages.clear();
    FComponentEditors.clear();
    FPropertyEditors.clear();
}

TDesignRegistry& DesignRegistry() {
    static TDesignRegistry registry;
    return registry;
}

} // namespace KvInet
