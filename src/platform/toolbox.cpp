// The device's tool library: the option parser over wide arguments and the watchdog.
#include "platform/toolbox.h"

#include <cwchar>

namespace win {

wchar_t* optarg = nullptr;
int optind = 1;

namespace {

// Position inside a word of grouped options ("-mi"); null between words.
wchar_t* nextChar = nullptr;

}  // namespace

void ResetGetopt() {
    optarg = nullptr;
    optind = 1;
    nextChar = nullptr;
}

int getopt(int argc, wchar_t* const argv[], const wchar_t* optstring) {
    optarg = nullptr;
    if (nextChar == nullptr || *nextChar == L'\0') {
        if (optind < 1) optind = 1;
        if (optind >= argc || argv[optind] == nullptr) return -1;
        wchar_t* word = argv[optind];
        if (word[0] != L'-' || word[1] == L'\0') return -1;
        ++optind;
        if (word[1] == L'-' && word[2] == L'\0') return -1;
        nextChar = word + 1;
    }
    wchar_t letter = *nextChar++;
    const wchar_t* spec = letter == L':' ? nullptr : std::wcschr(optstring, letter);
    if (spec == nullptr) return '?';
    if (spec[1] != L':') return letter;
    if (*nextChar != L'\0') {
        optarg = nextChar;
    } else if (optind < argc && argv[optind] != nullptr) {
        optarg = argv[optind++];
    } else {
        return '?';
    }
    nextChar = nullptr;
    return letter;
}

// The watchdog of the original device has no counterpart here: nothing resets the gateway.
BOOL TriggerWDog(DWORD) {
    return TRUE;
}

}  // namespace win
