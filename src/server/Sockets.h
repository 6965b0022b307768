// The socket helpers live in core/Socket.h, shared by every listener; these
// names remain for the voice relay until it includes that header itself.
#pragma once

#include "core/Socket.h"

namespace Korrafin::detail {
using Net::bindAny;
}  // namespace Korrafin::detail
