// Hex text to a fixed number of bytes, right-aligned.
#pragma once

#include "platform/win.h"

// Reads the run of hex digits at the start of `text` (at most 2 * count of them) as one
// big-endian number into `out[0..count-1]`, zeros in front. Never fails.
void HexStringToBytes(win::LPCWSTR text, win::BYTE* out, int count);
// The value of a character already known to be a hex digit.
win::BYTE HexDigitValue(win::WCHAR digit);
