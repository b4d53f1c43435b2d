// What the device's tool library supplies: the option parser and the watchdog.
#pragma once

#include "platform/win.h"

namespace win {

// Parses wide options (see OPTIONS in veltrabox(8) for attached/separate arguments and error
// reporting).
int getopt(int argc, wchar_t* const argv[], const wchar_t* optstring);
extern wchar_t* optarg;
extern int optind;
// Restarts option parsing at argv[1] (for tests that parse several command lines).
void ResetGetopt();

// Every long-running thread hands the watchdog WDOG_RUNNING at its start and 0 at its end.
constexpr DWORD WDOG_RUNNING = 0x7FFF;
BOOL TriggerWDog(DWORD value);

}  // namespace win
