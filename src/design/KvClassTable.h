// KvClassTable: every component class of the library by name, with its factory: what the form reader
// creates from an object line, what registration puts on the palette page "Kv-Internet" and what the tool
// lists. It names no Gui type, so programs without widgets load forms (the palette pictures and the
// editors are in KvInetR).
#pragma once

#include "design/DesignIntf.h"

#include <span>

namespace KvInet {

/// The palette page of the library's components.
inline constexpr const char* KvInetPalettePage = "Kv-Internet";

/// Every component class of the library, in palette order, then the classes that stored forms may hold
/// without being on the palette. One table: registration, the form reader and the tool all read it.
std::span<const TComponentClass> KvInetClasses();
/// The class named ClassName (case matters, as in a stored form), or null.
const TComponentClass* FindKvInetClass(const QString& ClassName);

} // namespace KvInet
