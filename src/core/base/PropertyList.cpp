#include "base/PropertyList.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

namespace quorvane {

namespace {

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Whether an XML property list holds no NUL, nests arrays and dictionaries at most `limit` deep
// and has at most `maxNodes` elements, and fits in `maxBytes` once decoded (each element at
// `propertyListObjectCost`, plus the text itself). Comments, CDATA, processing instructions and
// declarations are skipped, so tags hidden in them count for nothing either way.
bool xmlWithinLimits(std::string_view text, int limit, std::uint64_t maxNodes,
                     std::uint64_t maxBytes) {
    // No NUL is valid XML; a key holding one would stop libplist at an assertion.
    if (text.size() >= maxBytes || text.find('\0') != std::string_view::npos)
        return false;
    const std::uint64_t maxElements =
        std::min(maxNodes, (maxBytes - text.size()) / propertyListObjectCost);
    int depth = 0;
    std::uint64_t elements = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
        const std::string_view rest = text.substr(at);
        auto skipTo = [&](std::string_view end) {
            const auto found = text.find(end, at + 1);
            return found == std::string_view::npos ? text.size() : found + end.size();
        };
        if (rest.starts_with("<!--")) {
            at = skipTo("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            at = skipTo("]]>");
        } else if (rest.starts_with("<?")) {
            at = skipTo("?>");
        } else if (rest.starts_with("<!")) {
            at = skipTo(">");
        } else {
            const auto close = text.find('>', at);
            const bool selfClosing = close != std::string_view::npos && text[close - 1] == '/';
            if ((rest.starts_with("<array") || rest.starts_with("<dict")) && !selfClosing) {
                if (++depth > limit)
                    return false;
            } else if (rest.starts_with("</array") || rest.starts_with("</dict")) {
                depth = std::max(0, depth - 1);
            }
            if (!rest.starts_with("</") && ++elements > maxElements)
                return false;
            at = close == std::string_view::npos ? text.size() : close + 1;
        }
    }
    return true;
}

// Whether `count` code units of `width` bytes from `at` hold a zero unit.
bool holdsNUL(std::string_view data, std::size_t at, std::uint64_t count, std::size_t width) {
    for (std::uint64_t i = 0; i < count; ++i) {
        bool zero = true;
        for (std::size_t b = 0; b < width && zero; ++b)
            zero = data[at + i * width + b] == '\0';
        if (zero)
            return true;
    }
    return false;
}

// Whether a binary property list is well formed enough to walk, free of cycles and of text
// holding NUL, nests its containers at most `limit` deep and expands to at most `maxNodes`
// objects and `maxBytes` bytes.
bool binaryWithinLimits(std::string_view data, int limit, std::uint64_t maxNodes,
                        std::uint64_t maxBytes) {
    constexpr std::size_t trailerSize = 32;
    if (data.size() < 8 + trailerSize)
        return false;
    const std::size_t trailer = data.size() - trailerSize;
    const auto offsetSize = static_cast<std::size_t>(static_cast<unsigned char>(data[trailer + 6]));
    const auto refSize = static_cast<std::size_t>(static_cast<unsigned char>(data[trailer + 7]));
    const std::uint64_t count = bigEndian(data, trailer + 8, 8);
    const std::uint64_t top = bigEndian(data, trailer + 16, 8);
    const std::uint64_t table = bigEndian(data, trailer + 24, 8);
    // More objects than may be decoded are refused at once: the walk keeps a record for each, and
    // a small file can claim millions by pointing many offsets at one object.
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 ||
        top >= count || table > trailer || count > (trailer - table) / offsetSize ||
        count > maxNodes)
        return false;

    // What object `index` holds: its children as a range of reference bytes, and what libplist
    // will allocate for it alone. False when malformed, or when it is text holding NUL.
    struct Object {
        std::size_t first = 0; // byte offset of the first reference
        std::uint64_t children = 0;
        bool container = false;
        std::uint64_t bytes = 0;
    };
    auto read = [&](std::uint64_t index, Object& object) {
        const std::uint64_t offset = bigEndian(data, table + index * offsetSize, offsetSize);
        if (offset < 8 || offset >= table)
            return false;
        const auto marker = static_cast<unsigned char>(data[offset]);
        const unsigned type = marker >> 4;
        std::uint64_t length = marker & 0x0F;
        std::size_t first = offset + 1;
        object = Object{};
        object.bytes = propertyListObjectCost;
        object.container = type == 0xA || type == 0xB || type == 0xC || type == 0xD;
        const bool sized = object.container || (type >= 0x4 && type <= 0x7);
        if (!sized)
            return true;
        if (length == 0x0F) {
            if (first >= table || (static_cast<unsigned char>(data[first]) >> 4) != 0x1)
                return false;
            const std::size_t width = std::size_t{1} << (data[first] & 0x0F);
            if (width > 8 || first + 1 + width > table)
                return false;
            length = bigEndian(data, first + 1, width);
            first += 1 + width;
        }
        if (object.container) {
            object.first = first;
            object.children = type == 0xD ? length * 2 : length;
            return length <= table && object.children <= (table - first) / refSize;
        }
        // Data, and text in one-byte units (ASCII, UTF-8) or UTF-16 units; UTF-16 grows by half
        // when libplist turns it into UTF-8.
        const std::size_t unit = type == 0x6 ? 2 : 1;
        if (length > (table - first) / unit)
            return false;
        if (type != 0x4 && holdsNUL(data, first, length, unit))
            return false;
        object.bytes += type == 0x6 ? length * 3 + 1 : length + 1;
        return true;
    };

    // Post-order walk with an explicit stack. Each object's levels (containers on its deepest
    // path, itself included) and size (objects and bytes it expands to, counting every use of a
    // shared one) are kept, so an object referred to many times is measured once: libplist
    // copies it at each use.
    enum : unsigned char { unseen, open, done };
    // Sizes are checked against the limits after every fold, so two of them always fit.
    static_assert(maxPropertyListNodes <= 0x7FFF'FFFF && maxPropertyListBytes <= 0x7FFF'FFFF);
    struct Node {
        std::uint32_t size = 1;
        std::uint32_t bytes = 0;
        std::uint16_t levels = 0;
        unsigned char state = unseen;
    };
    std::vector<Node> nodes(count);
    struct Frame {
        std::uint64_t index;
        std::size_t next; // byte offset of the next reference
        std::size_t end;
    };
    std::vector<Frame> stack;
    const auto maxLevels = static_cast<std::uint32_t>(limit);
    // Measures a leaf at once and opens a frame for a container with children.
    auto enter = [&](std::uint64_t index) {
        Object object;
        if (!read(index, object))
            return false;
        if (object.bytes > maxBytes)
            return false;
        Node& node = nodes[index];
        node.levels = object.container ? 1 : 0;
        node.bytes = static_cast<std::uint32_t>(object.bytes);
        if (object.children == 0) {
            node.state = done;
            return true;
        }
        node.state = open;
        stack.push_back({index, object.first, object.first + object.children * refSize});
        return stack.size() <= maxLevels;
    };
    // Folds a measured child into its parent; false when the parent is then too big.
    auto fold = [&](Node& parent, const Node& child) {
        parent.levels = std::max(parent.levels, static_cast<std::uint16_t>(child.levels + 1));
        parent.size += child.size;
        parent.bytes += child.bytes;
        return parent.levels <= maxLevels && parent.size <= maxNodes && parent.bytes <= maxBytes;
    };
    if (!enter(top))
        return false;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.end) {
            const std::uint64_t finished = frame.index;
            nodes[finished].state = done;
            stack.pop_back();
            // The parent's reference to this object was read before it was measured.
            if (!stack.empty() && !fold(nodes[stack.back().index], nodes[finished]))
                return false;
            continue;
        }
        const std::uint64_t child = bigEndian(data, frame.next, refSize);
        const std::uint64_t parent = frame.index;
        frame.next += refSize;
        if (child >= count || nodes[child].state == open)
            return false; // out of range, or a cycle
        if (nodes[child].state == unseen && !enter(child))
            return false;
        if (nodes[child].state == done && !fold(nodes[parent], nodes[child]))
            return false;
    }
    const Node& root = nodes[top];
    return root.levels <= maxLevels && root.size <= maxNodes && root.bytes <= maxBytes;
}

} // namespace

PropertyList parsePropertyList(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    const bool binary = bytes.starts_with("bplist00");
    if (binary ? !binaryWithinLimits(bytes, maxPropertyListDepth, maxPropertyListNodes,
                                     maxPropertyListBytes)
               : !xmlWithinLimits(bytes, maxPropertyListDepth, maxPropertyListNodes,
                                  maxPropertyListBytes))
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return PropertyList(root);
}

std::optional<std::string> plistString(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text)
        return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<double> plistNumber(plist_t node) {
    if (!node)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<double>(static_cast<std::int64_t>(value));
    }
    default:
        return std::nullopt;
    }
}

std::optional<Date> plistDate(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DATE)
        return std::nullopt;
    std::int32_t seconds = 0;
    std::int32_t micro = 0;
    plist_get_date_val(node, &seconds, &micro);
    // libplist converts the stored real to 32-bit seconds, and a value out of that range comes
    // back as the converter's saturated or "indefinite" result, the same for every such date.
    using Limits = std::numeric_limits<std::int32_t>;
    if (seconds == Limits::min() || seconds == Limits::max() || micro <= -1'000'000 ||
        micro >= 1'000'000)
        return std::nullopt;
    return dateFromUnix(referenceDateOffset + seconds + micro / 1e6);
}

std::vector<plist_t> plistArrayItems(plist_t array) {
    std::vector<plist_t> items;
    if (!array || plist_get_node_type(array) != PLIST_ARRAY)
        return items;
    plist_array_iter iterator = nullptr;
    plist_array_new_iter(array, &iterator);
    if (!iterator)
        return items;
    items.reserve(plist_array_get_size(array));
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(array, iterator, &item);
        if (!item)
            break;
        items.push_back(item);
    }
    std::free(iterator);
    return items;
}

} // namespace quorvane
