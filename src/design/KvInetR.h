// KvInetR: the library's design-time side: the palette pictures of the classes of KvClassTable, Register,
// the component editor with the About command and the About property editor.
#pragma once

#include "design/DesignIntf.h"
#include "design/KvClassTable.h"

#include <QImage>

namespace KvInet {

/// The palette picture of ClassName from the library's resources; a null image when it has none.
QImage PaletteImage(const QString& ClassName);

/// Registers with Designer: the palette page's classes in order, TKvInetComponentEditor for both
/// component bases, TKvInetAboutProperty for the About property of the socket family. Calling it again
/// changes nothing.
void Register(TDesignRegistry& Designer = DesignRegistry());

/// The context-menu command of every component of both families: "About ZeZezozazi".
class TKvInetComponentEditor : public TComponentEditor {
public:
    using TComponentEditor::TComponentEditor;
    /// Shows the About message (AboutKvInet), whatever Index.
    void ExecuteVerb(int Index) override;
    /// "About ZeZezozazi" for 0, "" otherwise.
    QString GetVerb(int Index) override;
    /// 1.
    int GetVerbCount() override;
};

/// The About property: a fixed text and a button that shows the About message.
class TKvInetAboutProperty : public TStringProperty {
public:
    using TStringProperty::TStringProperty;
    /// Shows the About message.
    void Edit() override;
    /// paDialog and paReadOnly, nothing else.
    TPropertyAttributes GetAttributes() override;
    /// "About ZeZezozazi...", whatever the property holds.
    QString GetValue() override;
};

} // namespace KvInet
