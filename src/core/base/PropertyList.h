#pragma once

#include "base/Date.h"

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Property lists (XML and binary) through libplist, with the checks libplist lacks. Every reader
// of a property list from the watched Mac decodes it here, never with libplist directly.

// Owns a decoded property list.
struct PropertyListFree {
    void operator()(void* node) const { plist_free(node); }
};
using PropertyList = std::unique_ptr<void, PropertyListFree>;

// Deepest nesting of arrays and dictionaries a property list may have. libplist's parsers recurse
// once per level and overflow the stack on a file nested a few thousand levels deep.
inline constexpr int maxPropertyListDepth = 128;

// Most objects a property list may decode to. A binary list is counted with every reference to
// a shared object: libplist copies the object at each use, so a small file that shares objects
// level after level would otherwise fill the memory.
inline constexpr std::uint64_t maxPropertyListNodes = 1'000'000;

// Most bytes a property list may decode to, counted the same way: each object at
// `propertyListObjectCost` (what libplist allocates for a node) plus its text or data, so one long
// string shared many times is as costly as its copies.
inline constexpr std::uint64_t maxPropertyListBytes = 64ULL << 20;
inline constexpr std::uint64_t propertyListObjectCost = 128;

// Decodes a binary or XML property list; null when the bytes are no property list, hold a key or
// string with NUL (libplist asserts on such a key), nest deeper than `maxPropertyListDepth`,
// decode to more than `maxPropertyListNodes` objects or `maxPropertyListBytes` bytes, or (binary)
// refer back to themselves.
PropertyList parsePropertyList(std::string_view bytes);

// The text of a string node; absent for a null node or any other type.
std::optional<std::string> plistString(plist_t node);

// An integer or real node as a real; absent for anything else. libplist keeps integers unsigned,
// so a negative integer is read back from its two's complement.
std::optional<double> plistNumber(plist_t node);

// A date node as a date; absent for anything else, and for a date libplist could not hold (it
// keeps whole seconds as 32 bits from 2001, about 1932 to 2069, and saturates the rest).
std::optional<Date> plistDate(plist_t node);

// The items of an array node in one pass (libplist finds an item by index by walking from the
// start, so indexing would be quadratic); empty for anything but an array.
std::vector<plist_t> plistArrayItems(plist_t array);

} // namespace quorvane
