// An LDV library that lacks ldv_io_control: opening through it must fail and unload it.
#include <cstdint>

extern "C" {
int32_t ldv_open_overlapped_neuronid(const char16_t*, const uint8_t*, const char16_t*) {
    return 1;
}
int32_t ldv_close(int32_t) {
    return 0;
}
int32_t ldv_read_overlapped(int32_t, void*, int32_t, void*) {
    return 3;
}
int32_t ldv_write_overlapped(int32_t, const void*, int32_t, void*) {
    return 0;
}
}
