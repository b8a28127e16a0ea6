#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

// Small text helpers shared by the readers that parse other applications' command output.

// The most jobs (tasks, plans) taken from one application's output. Real setups have a handful;
// the cap keeps a runaway output of millions of names from costing gigabytes downstream.
inline constexpr std::size_t maxToolJobs = 10'000;

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or stray bytes).
bool isValidUTF8(std::string_view bytes);

// `bytes` as text when it is well-formed UTF-8, else empty: another tool's output is either
// readable or ignored as a whole.
std::string utf8OrEmpty(std::string_view bytes);

// Full Unicode lower-casing, independent of the locale.
std::string lowercased(std::string_view text);

// A finite decimal number ("12", "-1.5", "+3e2") taking up the whole text; absent otherwise.
std::optional<double> decimalNumber(std::string_view text);

// A decimal integer with an optional sign taking up the whole text; absent otherwise.
std::optional<std::int64_t> decimalInteger(std::string_view text);

} // namespace quorvane
