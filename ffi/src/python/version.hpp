// The version the module reports.
#pragma once

namespace tessaly::py {
inline constexpr const char* kVersion = "0.16.0";
}
