// The registry file: a text in the .reg export format, parsed into keys and values.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win.h"
#include "private.h"

namespace win::detail {

struct RegistryValue {
    DWORD Type;
    std::vector<BYTE> Data;
};

// Key paths ("hkey_local_machine\quorvel") and value names are kept in lower case: the
// registry compares them without regard to case.
using RegistryKey = std::map<std::wstring, RegistryValue>;
using RegistryTree = std::map<std::wstring, RegistryKey>;

// Lower-cases the ASCII letters of a key path or value name.
std::wstring FoldName(std::wstring_view name);

// The text of a registry file as wide characters: UTF-16LE after its byte-order mark (regedit's
// "Version 5.00" export), Windows-1252 under a "REGEDIT4" header (the older export), UTF-8
// otherwise (its byte-order mark skipped). Bytes that do not decode become U+FFFD.
std::wstring DecodeRegistryText(std::string_view bytes);

// Parses the bytes of a .reg file (see DecodeRegistryText). Every line that cannot be read is
// handed to `report` with its (1-based) number and a reason, and skipped. Keys imply their parent
// keys.
RegistryTree ParseRegistryText(std::string_view bytes,
                               const std::function<void(int line, const char* reason)>& report);

}  // namespace win::detail
