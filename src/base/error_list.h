#pragma once

#include <cstdint>
#include <string>

namespace drv {

inline constexpr const char kErrorListFileName[] = "error.txt";

// Appends one line "ошибка №<code>" (Windows-1251) with CR LF to the error list. The file is
// opened and closed for this one line. An existing file that cannot be read is started afresh.
// Throws std::runtime_error when the line cannot be written; the line is then lost.
void WriteErrorCode(int32_t code, const std::string& path = kErrorListFileName);

}  // namespace drv
