#pragma once

#include "engine/Destination.h"

#include <functional>

namespace Vorn {

// Completion of one request attempt: the reply bytes on Success, else null and 0.
using RequestCompletion = std::function<void(const char* data, unsigned length, ErrorCode code)>;

} // namespace Vorn
