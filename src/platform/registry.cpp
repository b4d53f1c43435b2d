// The read-only registry: RegOpenKeyExW reads the registry file (VELTRABOX_REGISTRY, by default
// /etc/veltrabox/registry.reg) and an open key keeps the values it saw then.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "handles.h"
#include "registry_file.h"

namespace win {

namespace {

constexpr const char* DEFAULT_REGISTRY = "/etc/veltrabox/registry.reg";
constexpr std::wstring_view ROOT = L"hkey_local_machine";

struct KeyObject : detail::Object {
    std::shared_ptr<const detail::RegistryTree> Tree;
    std::wstring Path;
};

std::string RegistryPath() {
    const char* path = std::getenv("VELTRABOX_REGISTRY");
    return path != nullptr && *path != '\0' ? path : DEFAULT_REGISTRY;
}

// The file's bytes; false when it cannot be read (a missing file reads as empty).
bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.is_open() && !in.bad();
}

// One reading of the registry file: its tree, whether the file could be read and how many of
// its lines could not.
struct Reading {
    std::shared_ptr<const detail::RegistryTree> Tree;
    bool Read;
    int BadLines;
};

// The registry file as it is now. The file is read at every call but parsed (and its bad lines
// reported) only when its text changed.
Reading CurrentReading() {
    static std::mutex mutex;
    static std::string cachedText;
    static Reading cached{std::make_shared<detail::RegistryTree>(), false, 0};
    std::string path = RegistryPath();
    std::string text;
    bool read = ReadFile(path, &text);
    std::lock_guard<std::mutex> lock(mutex);
    if (text != cachedText) {
        int badLines = 0;
        cached.Tree = std::make_shared<detail::RegistryTree>(
            detail::ParseRegistryText(text, [&path, &badLines](int line, const char* reason) {
                ++badLines;
                dprintfPriority(DBG_PRIORITY_WARNING, "registry %s:%d: %s, line skipped\n",
                                path.c_str(), line, reason);
            }));
        cached.BadLines = badLines;
        cachedText = std::move(text);
    }
    cached.Read = read;
    return cached;
}

LONG OpenRoot(const std::shared_ptr<const detail::RegistryTree>& tree, HKEY* result) {
    auto object = std::make_shared<KeyObject>();
    object->Tree = tree;
    object->Path = ROOT;
    *result = detail::InsertObject(std::move(object));
    return *result != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

}  // namespace

LONG RegOpenSnapshotOfFile(HKEY* result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Reading reading = CurrentReading();
    if (!reading.Read) return ERROR_FILE_NOT_FOUND;
    if (reading.BadLines > 0) return ERROR_BADDB;
    return OpenRoot(reading.Tree, result);
}

LONG RegOpenSnapshotOfText(const char* text, size_t size, HKEY* result) {
    if (result == nullptr || (text == nullptr && size > 0)) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto tree = std::make_shared<const detail::RegistryTree>(
        detail::ParseRegistryText(std::string_view(text, size), [](int, const char*) {}));
    return OpenRoot(tree, result);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, DWORD, HKEY* result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto object = std::make_shared<KeyObject>();
    if (key == HKEY_LOCAL_MACHINE) {
        object->Tree = CurrentReading().Tree;
        object->Path = ROOT;
    } else if (auto parent = detail::Lookup<KeyObject>(key)) {
        object->Tree = parent->Tree;
        object->Path = parent->Path;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    if (subKey != nullptr && *subKey != L'\0') {
        object->Path += L'\\';
        object->Path += detail::FoldName(subKey);
    }
    if (object->Path != ROOT && !object->Tree->contains(object->Path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *result = detail::InsertObject(std::move(object));
    return *result != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

// A buffer too small for the value gets as much of it as fits, with ERROR_MORE_DATA.
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD*, DWORD* type, BYTE* data,
                      DWORD* dataSize) {
    auto object = detail::Lookup<KeyObject>(key);
    if (!object) return ERROR_INVALID_HANDLE;
    auto found = object->Tree->find(object->Path);
    if (found == object->Tree->end()) return ERROR_FILE_NOT_FOUND;
    auto value = found->second.find(detail::FoldName(valueName != nullptr ? valueName : L""));
    if (value == found->second.end()) return ERROR_FILE_NOT_FOUND;
    const detail::RegistryValue& v = value->second;
    if (type != nullptr) *type = v.Type;
    if (dataSize == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    DWORD size = static_cast<DWORD>(v.Data.size());
    LONG status = ERROR_SUCCESS;
    if (data != nullptr) {
        DWORD copied = std::min(size, *dataSize);
        if (copied > 0) std::memcpy(data, v.Data.data(), copied);
        if (copied < size) status = ERROR_MORE_DATA;
    }
    *dataSize = size;
    return status;
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    if (!detail::Lookup<KeyObject>(key)) return ERROR_INVALID_HANDLE;
    detail::RemoveObject(key);
    return ERROR_SUCCESS;
}

}  // namespace win
