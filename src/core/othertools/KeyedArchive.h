#pragma once

#include "base/Date.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvane {

// A decoder for keyed archives (the "$archiver"/"$objects"/"$top" property lists that Mac
// applications write), reading libplist's tree. It decodes only the classes it is told to allow and
// refuses the whole archive when it meets any other, as a secure unarchiver does. Archived objects
// of a mapped custom class come back as their keyed members, for the caller to pick from.

struct ArchiveValue;
using ArchiveArray = std::vector<ArchiveValue>;

// An object of a mapped custom class: its class name after mapping and its keyed members.
struct ArchiveObject {
    std::string className;
    std::map<std::string, ArchiveValue, std::less<>> members;
    bool operator==(const ArchiveObject&) const;
};

struct ArchiveURL {
    std::string text;
    bool operator==(const ArchiveURL&) const = default;
};

struct ArchiveValue {
    // std::monostate is nil ("$null").
    std::variant<std::monostate, std::string, Date, std::vector<std::uint8_t>, double, std::int64_t,
                 bool, ArchiveURL, ArchiveArray, ArchiveObject>
        value;
    bool operator==(const ArchiveValue&) const = default;

    const std::string* string() const { return std::get_if<std::string>(&value); }
    const Date* date() const { return std::get_if<Date>(&value); }
    const ArchiveArray* array() const { return std::get_if<ArchiveArray>(&value); }
    const ArchiveObject* object() const { return std::get_if<ArchiveObject>(&value); }
};

// A class of the application's own: the name it is decoded as, and the members it reads, each
// with the classes its value may have (archived names, "NSString", "NSDate", ...). Only those
// members are decoded; one that is missing or of another class is left out, and members not named
// are never looked at, as an object decoding itself from a secure coder would.
struct ArchiveCustomClass {
    std::string decodedName;
    std::map<std::string, std::set<std::string, std::less<>>, std::less<>> members;
};

// Which classes may appear. The standard classes are named by their archived class names
// ("NSArray", "NSString", ...); `customClasses` maps an archived class name of the application's
// own (for example "DocumentRef") to how it is decoded.
struct ArchiveClassPolicy {
    std::set<std::string, std::less<>> standardClasses;
    std::map<std::string, ArchiveCustomClass, std::less<>> customClasses;
};

struct ArchiveLimits {
    std::size_t maxBytes = 5'000'000;
    std::size_t maxDepth = 64; // nesting of objects inside objects
    std::size_t maxDecodedValues =
        200'000; // total values produced, shared references counted each time
    std::size_t maxDecodedBytes =
        5'000'000; // total text and data produced, shared references counted each time
};

// Decodes the root object (under "$top"/"root") of the archive in `bytes` (binary or XML property
// list). Absent when the bytes are not a keyed archive, a reference is out of range or circular,
// a class is not allowed, or a limit is exceeded. Each object is decoded once; a shared one is
// copied at each further reference and counted against the limits at its full size there.
std::optional<ArchiveValue> decodeKeyedArchive(std::string_view bytes,
                                               const ArchiveClassPolicy& policy,
                                               const ArchiveLimits& limits = {});

} // namespace quorvane
