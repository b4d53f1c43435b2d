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

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The tree of the registry file as it is now. The file is read at every call but parsed (and
// its bad lines reported) only when its text changed.
std::shared_ptr<const detail::RegistryTree> CurrentTree() {
    static std::mutex mutex;
    static std::string cachedText;
    static std::shared_ptr<const detail::RegistryTree> cachedTree =
        std::make_shared<detail::RegistryTree>();
    std::string path = RegistryPath();
    std::string text = ReadFile(path);
    std::lock_guard<std::mutex> lock(mutex);
    if (text != cachedText) {
        cachedTree = std::make_shared<detail::RegistryTree>(
            detail::ParseRegistryText(text, [&path](int line, const char* reason) {
                dprintfPriority(DBG_PRIORITY_WARNING, "registry %s:%d: %s, line skipped\n",
                                path.c_str(), line, reason);
            }));
        cachedText = std::move(text);
    }
    return cachedTree;
}

}  // namespace

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, DWORD, HKEY* result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto object = std::make_shared<KeyObject>();
    if (key == HKEY_LOCAL_MACHINE) {
        object->Tree = CurrentTree();
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
