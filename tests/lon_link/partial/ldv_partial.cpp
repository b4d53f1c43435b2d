// An LDV library that lacks ldv_io_control: opening through it must fail and unload it.
#include "ldv/ldv.h"

extern "C" {
int32_t ldv_open_overlapped_neuronid(const char16_t*, const uint8_t*, const char16_t*) {
    return 1;
}
int32_t ldv_close(int32_t) {
    return LDV_OK;
}
int32_t ldv_read_overlapped(int32_t, void*, int32_t, void*) {
    return LDV_NOT_OPEN;
}
int32_t ldv_write_overlapped(int32_t, const void*, int32_t, void*) {
    return LDV_OK;
}
}
