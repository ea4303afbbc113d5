#pragma once
// Reading values of an open registry key: one two-query reader of text
// values and one of numbers, for every part that reads the registry.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/ErrorCodes.h"

namespace korvel {

// Where a text read ended.
enum class RegistryTextRead {
    Read,         // the text was read
    NoValue,      // the value does not exist
    QueryFailed,  // the query of type and size failed otherwise
    NotText,      // the value is neither REG_SZ nor REG_EXPAND_SZ
    ReadFailed,   // the second query, of the data, failed
};

// What becomes of a last odd byte of text data.
enum class RegistryOddByte {
    Dropped,      // read with the rest and left out of the text
    FailsTheRead  // no room is made for it: the data query fails (more data)
};

// Reads a REG_SZ or REG_EXPAND_SZ value (not expanded) of key: first its
// type and size, then its data into a zero-filled buffer of that size in
// whole characters (one more for a last odd byte when it is Dropped). The
// text is the data up to its first NUL, all of it when it has none; data of
// fewer than one whole character is the empty text, read without a second
// query. A value that grew between the two queries fails the second one.
// text is set only on Read.
RegistryTextRead readRegistryText(HKEY key, const std::wstring& valueName, RegistryOddByte oddByte,
                                  std::wstring& text);

// The result a text read reports: 0 read, 182 no value or not text, 180 a
// failed query.
ErrorCode registryTextResult(RegistryTextRead read);

// A REG_DWORD value of key; false when it cannot be read or has another
// type (value is then left as it was).
bool readRegistryNumber(HKEY key, const wchar_t* valueName, uint32_t& value);

}  // namespace korvel
