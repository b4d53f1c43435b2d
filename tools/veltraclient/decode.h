// Telegrams people can read: one line for any byte string a LON network interface exchanges with
// its host. Never refuses input; what does not fit the known layouts is marked " [! ...]".
#pragma once

#include <string>

#include "apdu.h"

namespace lonmsg {

std::string DescribeTelegram(ByteView telegram);

}  // namespace lonmsg
