// The LDV driver library's interface ("ldv_vni.dll"): its five entry points and their result
// codes. The LON link loads a library at run time and calls it through these; the project's own
// library (ldv.cpp) defines them. Strings cross this boundary as UTF-16.
#pragma once

#include <cstdint>

constexpr int32_t LDV_OK = 0;
// The handle names no open interface.
constexpr int32_t LDV_NOT_OPEN = 3;
// With last error ERROR_IO_PENDING: no telegram yet. Otherwise the device failed.
constexpr int32_t LDV_DEVICE_ERR = 4;
// What the open returns when it cannot open the interface; every handle is above 0.
constexpr int32_t LDV_NO_INTERFACE = -1;

extern "C" {

// Opens the interface and signals the named event whenever a telegram can be read. A result
// below 0 opened nothing, and the thread's last error says why.
int32_t ldv_open_overlapped_neuronid(const char16_t* devName, const uint8_t* neuronId,
                                     const char16_t* eventName);
int32_t ldv_close(int32_t handle);
// Takes one telegram into `buffer` without blocking.
int32_t ldv_read_overlapped(int32_t handle, void* buffer, int32_t size, void* overlapped);
int32_t ldv_write_overlapped(int32_t handle, const void* buffer, int32_t size, void* overlapped);
int32_t ldv_io_control(int32_t handle, int32_t code, void* buffer, int32_t size);
}

// The entry points as looked up by name in a loaded library.
using LdvOpenFn = decltype(&ldv_open_overlapped_neuronid);
using LdvCloseFn = decltype(&ldv_close);
using LdvReadFn = decltype(&ldv_read_overlapped);
using LdvWriteFn = decltype(&ldv_write_overlapped);
using LdvIoControlFn = decltype(&ldv_io_control);
