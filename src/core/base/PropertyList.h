#pragma once

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

// Most objects a property list may decode to (about 100 MB in libplist). A binary list is counted
// with every reference to a shared object: libplist copies the object at each use, so a small
// file that shares objects level after level would otherwise fill the memory.
inline constexpr std::uint64_t maxPropertyListNodes = 1'000'000;

// Decodes a binary or XML property list; null when the bytes are no property list, nest deeper
// than `maxPropertyListDepth`, decode to more than `maxPropertyListNodes` objects, or (binary)
// refer back to themselves.
PropertyList parsePropertyList(std::string_view bytes);

// The text of a string node; absent for a null node or any other type.
std::optional<std::string> plistString(plist_t node);

// An integer or real node as a real; absent for anything else. libplist keeps integers unsigned,
// so a negative integer is read back from its two's complement.
std::optional<double> plistNumber(plist_t node);

// The items of an array node in one pass (libplist finds an item by index by walking from the
// start, so indexing would be quadratic); empty for anything but an array.
std::vector<plist_t> plistArrayItems(plist_t array);

} // namespace quorvane
