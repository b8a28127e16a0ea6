#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::testing {

// Hand-made binary property lists, for shapes that libplist's writer never produces: references
// shared many times, cycles, keys holding NUL. Objects are encoded one by one and laid out by
// `binaryPlist`; references are 4 bytes wide.

inline std::string bigEndian(std::uint64_t value, int width) {
    std::string out;
    for (int i = width - 1; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

// The marker byte of an object of `type` (high nibble) and `length`, with the length as a
// following integer object when it does not fit in the nibble.
inline std::string binaryMarker(unsigned type, std::uint64_t length) {
    if (length < 0x0F)
        return std::string(1, static_cast<char>((type << 4) | length));
    return std::string(1, static_cast<char>((type << 4) | 0x0F)) + '\x13' + bigEndian(length, 8);
}

inline std::string binaryRefs(const std::vector<std::uint32_t>& refs) {
    std::string out;
    for (std::uint32_t ref : refs)
        out += bigEndian(ref, 4);
    return out;
}

// An array holding references to `refs`.
inline std::string arrayOf(const std::vector<std::uint32_t>& refs) {
    return binaryMarker(0xA, refs.size()) + binaryRefs(refs);
}

// A dictionary from references to its keys and to its values.
inline std::string dictOf(const std::vector<std::uint32_t>& keys,
                          const std::vector<std::uint32_t>& values) {
    return binaryMarker(0xD, keys.size()) + binaryRefs(keys) + binaryRefs(values);
}

inline std::string asciiString(std::string_view text) {
    return binaryMarker(0x5, text.size()) + std::string(text);
}

// A UTF-16 string from its code units.
inline std::string utf16String(const std::vector<char16_t>& units) {
    std::string out = binaryMarker(0x6, units.size());
    for (char16_t unit : units)
        out += bigEndian(unit, 2);
    return out;
}

// A date, as seconds since 2001-01-01.
inline std::string binaryDate(double seconds) {
    std::uint64_t bits = 0;
    static_assert(sizeof bits == sizeof seconds);
    __builtin_memcpy(&bits, &seconds, sizeof bits);
    return '\x33' + bigEndian(bits, 8);
}

// A binary property list of the given objects; object 0 is the top.
inline std::string binaryPlist(const std::vector<std::string>& objects) {
    std::string data = "bplist00";
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects.size());
    for (const auto& object : objects) {
        offsets.push_back(data.size());
        data += object;
    }
    const std::uint64_t table = data.size();
    for (std::uint64_t offset : offsets)
        data += bigEndian(offset, 4);
    data += std::string(6, '\0') + '\x04' + '\x04';
    data += bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
    return data;
}

// Arrays nested `depth` deep, each level its own object.
inline std::string binaryChain(int depth) {
    std::vector<std::string> objects;
    for (int i = 0; i + 1 < depth; ++i)
        objects.push_back(arrayOf({static_cast<std::uint32_t>(i + 1)}));
    objects.push_back(arrayOf({}));
    return binaryPlist(objects);
}

} // namespace quorvane::testing
