#pragma once

#include <string_view>

namespace zarvo {

// Names the calling thread, as debuggers and `top -H` show it (at most 15 bytes are kept).
void setCurrentThreadName(std::string_view name);

}  // namespace zarvo
