#include "othertools/KeyedArchive.h"
#include "base/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

namespace quorvane {

bool ArchiveObject::operator==(const ArchiveObject& other) const {
    return className == other.className && members == other.members;
}

namespace {

struct Failure {};

// A reference to another object: a UID node, or the {"CF$UID": n} form of XML archives.
std::optional<std::uint64_t> uidValue(plist_t node) {
    if (!node)
        return std::nullopt;
    if (plist_get_node_type(node) == PLIST_UID) {
        std::uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return value;
    }
    if (plist_get_node_type(node) == PLIST_DICT && plist_dict_get_size(node) == 1) {
        plist_t inner = plist_dict_get_item(node, "CF$UID");
        if (inner && plist_get_node_type(inner) == PLIST_UINT) {
            std::uint64_t value = 0;
            plist_get_uint_val(inner, &value);
            return value;
        }
    }
    return std::nullopt;
}

class Decoder {
public:
    Decoder(plist_t objects, const ArchiveClassPolicy& policy, const ArchiveLimits& limits)
        : objects_(objects), count_(plist_array_get_size(objects)), policy_(policy),
          limits_(limits), inProgress_(count_, false) {}

    ArchiveValue decodeReference(std::uint64_t uid, std::size_t depth) {
        if (uid >= count_ || depth > limits_.maxDepth || inProgress_[uid])
            throw Failure{};
        inProgress_[uid] = true;
        ArchiveValue value =
            decodeNode(plist_array_get_item(objects_, static_cast<std::uint32_t>(uid)), uid, depth);
        inProgress_[uid] = false;
        return value;
    }

private:
    void countValue() {
        if (++decoded_ > limits_.maxDecodedValues)
            throw Failure{};
    }

    void require(std::string_view standardClass) const {
        if (!policy_.standardClasses.contains(standardClass))
            throw Failure{};
    }

    // A member value: a reference to another object, or a scalar stored in place.
    ArchiveValue decodeMember(plist_t node, std::size_t depth) {
        if (auto uid = uidValue(node))
            return decodeReference(*uid, depth + 1);
        return decodeScalar(node);
    }

    ArchiveValue decodeScalar(plist_t node) {
        countValue();
        switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return {value != 0};
        }
        case PLIST_UINT: {
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return {static_cast<std::int64_t>(value)};
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return {value};
        }
        case PLIST_STRING:
            return {plistString(node).value_or(std::string())};
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return {dateFromUnix(referenceDateOffset + sec + usec / 1e6)};
        }
        case PLIST_DATA: {
            char* data = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &data, &length);
            std::vector<std::uint8_t> bytes(data, data + length);
            std::free(data);
            return {std::move(bytes)};
        }
        case PLIST_ARRAY:
        case PLIST_DICT:
        case PLIST_KEY:
        case PLIST_UID:
        case PLIST_NONE:
            break;
        }
        throw Failure{};
    }

    ArchiveValue decodeNode(plist_t node, std::uint64_t uid, std::size_t depth) {
        if (!node)
            throw Failure{};
        switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            if (uid == 0 && plistString(node) == "$null") {
                countValue();
                return {};
            }
            require("NSString");
            return decodeScalar(node);
        case PLIST_BOOLEAN:
        case PLIST_UINT:
        case PLIST_REAL:
            require("NSNumber");
            return decodeScalar(node);
        case PLIST_DATA:
            require("NSData");
            return decodeScalar(node);
        case PLIST_DATE:
            require("NSDate");
            return decodeScalar(node);
        case PLIST_DICT:
            return decodeObject(node, depth);
        case PLIST_ARRAY:
        case PLIST_KEY:
        case PLIST_UID:
        case PLIST_NONE:
            break;
        }
        throw Failure{};
    }

    std::string className(plist_t object) {
        auto classUID = uidValue(plist_dict_get_item(object, "$class"));
        if (!classUID || *classUID >= count_)
            throw Failure{};
        plist_t classNode = plist_array_get_item(objects_, static_cast<std::uint32_t>(*classUID));
        if (!classNode || plist_get_node_type(classNode) != PLIST_DICT)
            throw Failure{};
        auto name = plistString(plist_dict_get_item(classNode, "$classname"));
        if (!name)
            throw Failure{};
        return *name;
    }

    ArchiveValue decodeObject(plist_t object, std::size_t depth) {
        const std::string name = className(object);
        if (auto custom = policy_.customClasses.find(name); custom != policy_.customClasses.end())
            return decodeCustom(object, custom->second, depth);
        require(name);
        countValue();
        if (name == "NSArray" || name == "NSMutableArray") {
            plist_t items = plist_dict_get_item(object, "NS.objects");
            if (!items || plist_get_node_type(items) != PLIST_ARRAY)
                throw Failure{};
            ArchiveArray array;
            const std::uint32_t size = plist_array_get_size(items);
            array.reserve(std::min<std::uint32_t>(size, 4096));
            for (std::uint32_t i = 0; i < size; ++i) {
                auto uid = uidValue(plist_array_get_item(items, i));
                if (!uid)
                    throw Failure{};
                array.push_back(decodeReference(*uid, depth + 1));
            }
            return {std::move(array)};
        }
        if (name == "NSString" || name == "NSMutableString") {
            auto text = plistString(plist_dict_get_item(object, "NS.string"));
            if (!text)
                throw Failure{};
            return {std::move(*text)};
        }
        if (name == "NSDate") {
            plist_t time = plist_dict_get_item(object, "NS.time");
            if (!time || plist_get_node_type(time) != PLIST_REAL)
                throw Failure{};
            double seconds = 0;
            plist_get_real_val(time, &seconds);
            return {dateFromUnix(referenceDateOffset + seconds)};
        }
        if (name == "NSData" || name == "NSMutableData") {
            plist_t data = plist_dict_get_item(object, "NS.data");
            if (!data || plist_get_node_type(data) != PLIST_DATA)
                throw Failure{};
            return decodeScalar(data);
        }
        if (name == "NSURL") {
            auto relativeUID = uidValue(plist_dict_get_item(object, "NS.relative"));
            if (!relativeUID)
                throw Failure{};
            ArchiveValue relative = decodeReference(*relativeUID, depth + 1);
            ArchiveValue base;
            if (auto baseUID = uidValue(plist_dict_get_item(object, "NS.base")))
                base = decodeReference(*baseUID, depth + 1);
            const std::string* relativeText = relative.string();
            if (!relativeText)
                throw Failure{};
            std::string text = *relativeText;
            if (const auto* baseURL = std::get_if<ArchiveURL>(&base.value))
                text = baseURL->text + text;
            return {ArchiveURL{std::move(text)}};
        }
        // An allowed class this decoder does not know how to read.
        throw Failure{};
    }

    ArchiveValue decodeCustom(plist_t object, const std::string& mappedName, std::size_t depth) {
        countValue();
        ArchiveObject result{mappedName, {}};
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(object, &iter);
        if (!iter)
            throw Failure{};
        struct IterFree {
            void operator()(void* p) const { std::free(p); }
        };
        std::unique_ptr<void, IterFree> iterGuard(iter);
        for (;;) {
            char* rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(object, iter, &rawKey, &value);
            if (!rawKey)
                break;
            std::string key(rawKey);
            std::free(rawKey);
            if (key == "$class" || !value)
                continue;
            result.members.insert_or_assign(std::move(key), decodeMember(value, depth));
        }
        return {std::move(result)};
    }

    plist_t objects_;
    std::uint64_t count_;
    const ArchiveClassPolicy& policy_;
    const ArchiveLimits& limits_;
    std::vector<bool> inProgress_;
    std::size_t decoded_ = 0;
};

} // namespace

std::optional<ArchiveValue> decodeKeyedArchive(std::string_view bytes,
                                               const ArchiveClassPolicy& policy,
                                               const ArchiveLimits& limits) {
    if (bytes.empty() || bytes.size() > limits.maxBytes ||
        bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    PropertyList root = parsePropertyList(bytes);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return std::nullopt;
    if (plistString(plist_dict_get_item(root.get(), "$archiver")) != "NSKeyedArchiver")
        return std::nullopt;
    plist_t objects = plist_dict_get_item(root.get(), "$objects");
    plist_t top = plist_dict_get_item(root.get(), "$top");
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !top ||
        plist_get_node_type(top) != PLIST_DICT)
        return std::nullopt;
    auto rootUID = uidValue(plist_dict_get_item(top, "root"));
    if (!rootUID)
        return std::nullopt;
    try {
        Decoder decoder(objects, policy, limits);
        return decoder.decodeReference(*rootUID, 0);
    } catch (const Failure&) {
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace quorvane
