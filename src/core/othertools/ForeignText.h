#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

// Text taken from another application's database or log, made safe to show: every ill-formed
// UTF-8 sequence becomes U+FFFD.
std::string repairedUTF8(std::string_view bytes);

// The first `count` user-perceived characters (grapheme clusters) of `text`, repaired as above;
// the whole text when it is shorter. Only the first 64 KiB of input are looked at, which holds
// far more than any limit the readers use.
std::string firstCharacters(std::string_view text, std::size_t count);

// The text of a result column of the current row, repaired as above; absent for NULL.
std::optional<std::string> columnText(sqlite3_stmt* statement, int column);

} // namespace quorvane
