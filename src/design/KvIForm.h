// KvIForm: stored forms: components and their published properties as text, written from a component
// tree and read back into one. Applications load their components from such a file with one call.
//
//     object Updater1: TKvWebUpdater
//       Service = isHTTPS
//       Port = 8443
//       Host = 'downloads.example.com'
//     end
#pragma once

#include "platform/Classes.h"

#include <memory>

namespace KvInet {

/// A form text that cannot be read; the message names the line ("Line 3: unknown property Hots of
/// TKvWhoIs").
class EKvFormError : public Exception {
public:
    using Exception::Exception;
};

/// How a form is read: to run its components (what the stored values say happens, a remote image's timer
/// starts) or to look at or edit them (components marked Designing: no timer, no transfer).
enum TKvFormLoadMode { lmRun, lmInspect };

/// Bounds of the form reader: a form passing one is refused, never read in part.
struct TKvFormLimits {
    qsizetype MaxTextSize = 16 * 1024 * 1024;
    int MaxDepth = 32;     ///< objects inside objects
    int MaxObjects = 4096; ///< objects in the whole form
    int MaxItems = 65536;  ///< lines of one string list, items of one collection
    int MaxPathParts = 8;  ///< parts of a property name such as Proxy.Server
};

/// The text of Root (its own properties, then the components it owns, each nested in its owner, at any
/// depth): one line per stored property in declaration order, values equal to their stored default left
/// out. The root is a TComponent or a class of the library's class table, with or without a name; owned
/// components without a name whose class the table does not hold are helpers their owner made (a socket,
/// a timer) and are left out. Raises EKvFormError ("Cannot write the form: ...") for what ReadComponentForm
/// with Limits would refuse: a root or a named component of another class, a name that is no identifier,
/// a reference to a component outside the form, without a name or whose name the reader would take for
/// another, a passed limit.
QString WriteComponentForm(const TComponent* Root, const TKvFormLimits& Limits = TKvFormLimits());
/// Writes WriteComponentForm(Root) as UTF-8 into FileName: EKvFormError as WriteComponentForm (or for more
/// than Limits.MaxTextSize bytes), the file untouched then; EFCreateError when it cannot be written.
void SaveComponentFormFile(const TComponent* Root, const QString& FileName,
                           const TKvFormLimits& Limits = TKvFormLimits());

/// Creates the components of a form text: the root object, each object owned by the object it is nested
/// in. Values are applied as they are read. Component references (Image = Image1) are resolved by name
/// once the whole form is read: the component of that name nearest the root. Raises EKvFormError for a
/// text that is not a form, an unknown class or property, a value of the wrong kind, an ambiguous
/// reference or a passed limit (the message names the line, control characters in it as #code); nothing
/// is left created then.
std::unique_ptr<TComponent> ReadComponentForm(const QString& Text, TKvFormLoadMode Mode = lmRun,
                                              const TKvFormLimits& Limits = TKvFormLimits());
/// Reads a form file (UTF-8, a leading byte-order mark skipped). EFOpenError when it cannot be opened,
/// EKvFormError as ReadComponentForm and for bytes that are not UTF-8 (with their line).
std::unique_ptr<TComponent> LoadComponentFormFile(const QString& FileName, TKvFormLoadMode Mode = lmRun,
                                                  const TKvFormLimits& Limits = TKvFormLimits());

/// The component of the form under Root named Name (without case), as a reference in the form names it:
/// of several with that name the one nearest Root; null when there is none or two are equally near.
TComponent* FindFormComponent(TComponent* Root, const QString& Name);

/// The stored default of a property of Object's class as form text ("isHTTP", "True", "0"), or a null
/// string when it has none (strings and pictures are then written when not empty, anything else always).
QString StoredDefault(const QObject* Object, const char* Property);

} // namespace KvInet
