// DesignIntf: the designer's side of the component framework, as far as a component package uses it: the
// palette (pages of component classes with their pictures), component editors (the commands of a
// component's context menu) and property editors (how the object inspector shows and edits a property).
// A designer built on this library asks the registry; nothing here needs a window.
#pragma once

#include "platform/Classes.h"

#include <QMetaProperty>

#include <functional>
#include <memory>
#include <vector>

namespace KvInet {

/// Makes a component of one class, owned by AOwner.
using TComponentFactory = TComponent* (*)(TComponent* AOwner);

/// A component class the library can create by name (from a stored form or the palette).
struct TComponentClass {
    QString ClassName;
    TComponentFactory Create = nullptr;
    /// The palette page, empty for a class that is loadable but not on the palette.
    QString Page;
    /// The resource name of its palette picture, empty when the palette shows its default.
    QString Icon;
    /// The class's meta object (for "is a" checks), taken from a probe instance.
    const QMetaObject* Meta = nullptr;
};

/// The commands a component offers in the designer's context menu.
class TComponentEditor {
public:
    explicit TComponentEditor(TComponent* AComponent) : FComponent(AComponent) {}
    virtual ~TComponentEditor() = default;
    TComponentEditor(const TComponentEditor&) = delete;
    TComponentEditor& operator=(const TComponentEditor&) = delete;

    /// Runs command Index.
    virtual void ExecuteVerb(int Index) { (void)Index; }
    /// The caption of command Index.
    virtual QString GetVerb(int Index) {
        (void)Index;
        return QString();
    }
    virtual int GetVerbCount() { return 0; }
    TComponent* Component() const { return FComponent; }

private:
    TComponent* FComponent;
};

/// What the object inspector offers for a property (a set of flags).
enum TPropertyAttribute : unsigned {
    paValueList = 1u << 0,
    paSubProperties = 1u << 1,
    paDialog = 1u << 2, ///< a button that calls Edit
    paMultiSelect = 1u << 3,
    paAutoUpdate = 1u << 4,
    paSortList = 1u << 5,
    paReadOnly = 1u << 6, ///< the value cannot be typed in
    paRevertable = 1u << 7,
};
using TPropertyAttributes = unsigned;

/// How the object inspector shows and edits one property of one object.
class TPropertyEditor {
public:
    TPropertyEditor(QObject* AInstance, QMetaProperty AProperty)
        : FInstance(AInstance), FProperty(AProperty) {}
    virtual ~TPropertyEditor() = default;
    TPropertyEditor(const TPropertyEditor&) = delete;
    TPropertyEditor& operator=(const TPropertyEditor&) = delete;

    /// Opens the property's dialog (paDialog).
    virtual void Edit() {}
    virtual TPropertyAttributes GetAttributes() { return paRevertable; }
    /// The text the inspector shows.
    virtual QString GetValue() { return FProperty.read(FInstance).toString(); }
    virtual void SetValue(const QString& Value) { FProperty.write(FInstance, Value); }

    QObject* Instance() const { return FInstance; }
    const QMetaProperty& Property() const { return FProperty; }

private:
    QObject* FInstance;
    QMetaProperty FProperty;
};

/// The editor of string properties: the text as it is, typed in directly.
class TStringProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;
    TPropertyAttributes GetAttributes() override { return paMultiSelect | paRevertable; }
};

using TComponentEditorFactory = std::function<std::unique_ptr<TComponentEditor>(TComponent*)>;
using TPropertyEditorFactory = std::function<std::unique_ptr<TPropertyEditor>(QObject*, QMetaProperty)>;

/// The designer's registry: palette pages, component editors by base class, property editors by type, base
/// class and name. Registering the same thing twice keeps one entry.
class TDesignRegistry {
public:
    /// Puts Classes on Page, after what the page already holds; a class already there stays where it is.
    void RegisterComponents(const QString& Page, const std::vector<TComponentClass>& Classes);
    /// Components of Base and its descendants get editors from Factory (a later registration for a more
    /// derived base wins, as does a later one for the same base). Key names the editor class.
    void RegisterComponentEditor(const QMetaObject* Base, const QString& Key,
                                 TComponentEditorFactory Factory);
    /// Properties of type PropertyType named Name (any name when empty) of Base and its descendants get
    /// editors from Factory. Key names the editor class.
    void RegisterPropertyEditor(QMetaType PropertyType, const QMetaObject* Base, const QString& Name,
                                const QString& Key, TPropertyEditorFactory Factory);

    /// The pages in the order they were first registered.
    QStringList Pages() const;
    /// The classes on Page in palette order.
    std::vector<TComponentClass> PageClasses(const QString& Page) const;
    /// The editor for AComponent, or a plain editor with no commands.
    std::unique_ptr<TComponentEditor> GetComponentEditor(TComponent* AComponent) const;
    /// The editor of Instance's property Name: the registered one, or a plain editor (a string editor for
    /// strings). Null when Instance has no such property.
    std::unique_ptr<TPropertyEditor> GetPropertyEditor(QObject* Instance, const QString& Name) const;
    /// Forgets everything (a designer unloading its packages).
    void Clear();

private:
    struct TComponentEditorEntry {
        const QMetaObject* Base;
        QString Key;
        TComponentEditorFactory Factory;
    };
    struct TPropertyEditorEntry {
        QMetaType Type;
        const QMetaObject* Base;
        QString Name;
        QString Key;
        TPropertyEditorFactory Factory;
    };
    std::vector<std::pair<QString, std::vector<TComponentClass>>> FPages;
    std::vector<TComponentEditorEntry> FComponentEditors;
    std::vector<TPropertyEditorEntry> FPropertyEditors;
};

/// The designer's registry of this process.
TDesignRegistry& DesignRegistry();

} // namespace KvInet
