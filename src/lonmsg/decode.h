// Telegrams people can read: one line for any byte string a LON network interface exchanges with
// its host. Never refuses input; what does not fit the known layouts is marked " [! ...]".
#pragma once

#include <string>

#include "lonmsg/apdu.h"

namespace lonmsg {

// With `fields`, also picks out its parts.
std::string DescribeTelegram(ByteView telegram, TelegramFields* fields = nullptr);

}  // namespace lonmsg
