// KvInetR: the palette pictures, Register and the two editors.
#include "design/KvInetR.h"

#include "platform/Forms.h"
#include "socket/KvInBase.h"
#include "socket/KvInCnst.h"
#include "web/kviupdate.h"

#include <QFile>
#include <QImage>

namespace KvInet {

namespace {

const QString AboutVerb = QStringLiteral("About ZeZezozazi");

} // namespace

QImage PaletteImage(const QString& ClassName) {
    const QString path = QStringLiteral(":/kvinet/") + ClassName.toUpper();
    if (ClassName.isEmpty() || !QFile::exists(path))
        return QImage();
    return QImage(path);
}

void Register(TDesignRegistry& Designer) {
    std::vector<TComponentClass> palette;
    for (const TComponentClass& c : KvInetClasses())
        if (c.Page == QLatin1String(KvInetPalettePage))
            palette.push_back(c);
    Designer.RegisterComponents(QString::fromLatin1(KvInetPalettePage), palette);
    const auto editor = [](TComponent* C) { return std::make_unique<TKvInetComponentEditor>(C); };
    Designer.RegisterComponentEditor(&TKvInetBase::staticMetaObject, QStringLiteral("TKvInetComponentEditor"),
                                     editor);
    Designer.RegisterComponentEditor(&TKvCustomWebComponent::staticMetaObject,
                                     QStringLiteral("TKvInetComponentEditor"), editor);
    Designer.RegisterPropertyEditor(QMetaType::fromType<QString>(), &TKvInetBase::staticMetaObject,
                                    QStringLiteral("About"), QStringLiteral("TKvInetAboutProperty"),
                                    [](QObject* Instance, QMetaProperty Property) {
                                        return std::make_unique<TKvInetAboutProperty>(Instance, Property);
                                    });
}

void TKvInetComponentEditor::ExecuteVerb(int Index) {
    (void)Index;
    AboutKvInet();
}

QString TKvInetComponentEditor::GetVerb(int Index) {
    return Index == 0 ? AboutVerb : QString();
}

int TKvInetComponentEditor::GetVerbCount() {
    return 1;
}

void TKvInetAboutProperty::Edit() {
    AboutKvInet();
}

TPropertyAttributes TKvInetAboutProperty::GetAttributes() {
    return paDialog | paReadOnly;
}

QString TKvInetAboutProperty::GetValue() {
    return AboutVerb + QStringLiteral("...");
}

} // namespace KvInet
