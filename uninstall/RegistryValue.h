#pragma once
// Reading one text value of an open registry key.
#include <string>

#include "common/ErrorCodes.h"
#include "common/UniqueResource.h"

namespace korvel {

// A REG_SZ or REG_EXPAND_SZ value (not expanded) up to its first NUL: 0, 180
// (no key, or the value cannot be read) or 182 (no such value, or a value of
// another type).
ErrorCode readStringValue(const RegistryKeyHandle& key, const std::wstring& valueName, std::wstring& value);

}  // namespace korvel
