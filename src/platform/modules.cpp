// Run-time libraries over dlopen. A Windows name "name.dll" stands for the shared object
// "libname.so", looked for in the directory of the running program, then in the installed
// tree's private library folder beside it, then in the directory named by
// VELTRABOX_LIBRARY_PATH, and nowhere else: the loader's own search would depend on how the
// program was linked (a sanitizer's dlopen even searches with the program's run path). A name
// with a slash is a path and is opened as it stands.
#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "handles.h"
#include "utf8.h"

namespace win::detail {

namespace {

// The private library folder, relative to the program's folder, as the build installs it.
constexpr const char* PRIVATE_LIBRARIES = VELTRABOX_PRIVATE_LIBRARIES;

struct ModuleObject : Object {
    void* library = nullptr;
    ~ModuleObject() override { dlclose(library); }
};

bool EndsWithDll(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".dll";
}

std::string ProgramDirectory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string text(path, static_cast<size_t>(n));
    return text.substr(0, text.rfind('/'));
}

void* OpenShared(const std::string& name) {
    if (name.find('/') != std::string::npos) return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    std::string file = name;
    if (EndsWithDll(name)) file = "lib" + name.substr(0, name.size() - 4) + ".so";
    std::string program = ProgramDirectory();
    std::string directories[] = {program, program.empty() ? "" : program + "/" + PRIVATE_LIBRARIES,
                                 ""};
    if (const char* extra = std::getenv("VELTRABOX_LIBRARY_PATH")) directories[2] = extra;
    for (const std::string& directory : directories) {
        if (directory.empty()) continue;
        if (void* library = dlopen((directory + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return library;
        }
    }
    return nullptr;
}

}  // namespace

}  // namespace win::detail

namespace win {

HMODULE LoadLibraryW(LPCWSTR fileName) {
    void* library =
        fileName && *fileName ? detail::OpenShared(detail::NarrowUtf8(fileName)) : nullptr;
    if (!library) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto module = std::make_shared<detail::ModuleObject>();
    module->library = library;
    HANDLE handle = detail::InsertObject(module);
    SetLastError(handle ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

void* GetProcAddressW(HMODULE handle, LPCWSTR procName) {
    auto module = detail::Lookup<detail::ModuleObject>(handle);
    if (!module || !procName) {
        SetLastError(module ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* address = dlsym(module->library, detail::NarrowUtf8(procName).c_str());
    SetLastError(address ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND);
    return address;
}

BOOL FreeLibrary(HMODULE handle) {
    // The object unloads the library when the last call holding it lets go.
    if (!detail::Lookup<detail::ModuleObject>(handle) || !detail::RemoveObject(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace win
