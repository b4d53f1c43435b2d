// Manual-reset events, optionally named (one name space per process).
#include <map>
#include <string>

#include "handles.h"

namespace win::detail {

namespace {

struct EventObject;

struct EventNames {
    std::mutex mutex;
    std::map<std::wstring, std::weak_ptr<EventObject>> byName;
};

EventNames& Names() {
    static EventNames* names = new EventNames;
    return *names;
}

struct EventObject : Object {
    bool signalled = false;  // guarded by the wait lock
    std::wstring name;

    ~EventObject() override {
        if (name.empty()) return;
        EventNames& names = Names();
        std::lock_guard<std::mutex> lock(names.mutex);
        auto it = names.byName.find(name);
        if (it != names.byName.end() && it->second.expired()) names.byName.erase(it);
    }
    bool IsSignalled() const override { return signalled; }
};

}  // namespace

}  // namespace win::detail

namespace win {

using detail::EventObject;

HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (!manualReset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<EventObject> event;
    DWORD error = ERROR_SUCCESS;
    {
        detail::EventNames& names = detail::Names();
        std::lock_guard<std::mutex> lock(names.mutex);
        if (name && *name) {
            event = names.byName[name].lock();
            if (event) error = ERROR_ALREADY_EXISTS;
        }
        if (!event) {
            event = std::make_shared<EventObject>();
            event->signalled = initialState != FALSE;
            if (name && *name) {
                event->name = name;
                names.byName[name] = event;
            }
        }
    }
    HANDLE handle = detail::InsertObject(event);
    SetLastError(handle ? error : ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

BOOL EventModify(HANDLE handle, DWORD func) {
    auto event = detail::Lookup<EventObject>(handle);
    if (!event || (func != EVENT_SET && func != EVENT_RESET)) {
        SetLastError(event ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto lock = detail::WaitLock();
    event->signalled = func == EVENT_SET;
    detail::Wake(event->queue);
    return TRUE;
}

}  // namespace win
