#include "othertools/KeyedArchive.h"
#include "base/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

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

// The archive's objects, each read once. libplist finds an array item by walking from the start
// and a dictionary entry by walking its entries, so a shared object looked up at every reference,
// or every item looked up by index, would make decoding quadratic.
class Objects {
public:
    Objects(plist_t objects, const ArchiveClassPolicy& policy)
        : items_(plistArrayItems(objects)), fields_(items_.size()) {
        for (const char* key : {"$class", "$classname", "NS.objects", "NS.string", "NS.time",
                                "NS.data", "NS.relative", "NS.base"})
            wanted_.emplace(key);
        for (const auto& custom : policy.customClasses)
            for (const auto& member : custom.second.members)
                wanted_.insert(member.first);
    }

    std::uint64_t size() const { return items_.size(); }

    plist_t node(std::uint64_t uid) const {
        return uid < items_.size() ? items_[static_cast<std::size_t>(uid)] : nullptr;
    }

    // The value under `key` of the dictionary object `uid`; null when absent. A small dictionary
    // is searched in place; a large one is read once, keeping only the keys some class reads (the
    // first of each when a key repeats, as libplist's own lookup finds it).
    plist_t field(std::uint64_t uid, const std::string& key) {
        plist_t dict = node(uid);
        if (!dict || plist_get_node_type(dict) != PLIST_DICT)
            return nullptr;
        if (plist_dict_get_size(dict) <= smallDictionary)
            return plist_dict_get_item(dict, key.c_str());
        const Fields& fields = fieldsOf(uid);
        auto found = fields.find(key);
        return found == fields.end() ? nullptr : found->second;
    }

    // The archived class name of the dictionary object `uid`; absent when it has none.
    std::optional<std::string> className(std::uint64_t uid) {
        auto classUID = uidValue(field(uid, "$class"));
        plist_t classNode = classUID ? node(*classUID) : nullptr;
        if (!classNode || plist_get_node_type(classNode) != PLIST_DICT)
            return std::nullopt;
        return plistString(field(*classUID, "$classname"));
    }

private:
    using Fields = std::map<std::string, plist_t, std::less<>>;
    static constexpr std::uint32_t smallDictionary = 32;

    const Fields& fieldsOf(std::uint64_t uid) {
        plist_t dict = node(uid);
        auto& fields = fields_[static_cast<std::size_t>(uid)];
        if (fields)
            return *fields;
        fields = std::make_unique<Fields>();
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(dict, &iter);
        if (!iter)
            return *fields;
        struct IterFree {
            void operator()(void* p) const { std::free(p); }
        };
        std::unique_ptr<void, IterFree> iterGuard(iter);
        for (;;) {
            char* rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(dict, iter, &rawKey, &value);
            if (!rawKey)
                break;
            std::string key(rawKey);
            std::free(rawKey);
            if (value && wanted_.contains(key))
                fields->emplace(std::move(key), value);
        }
        return *fields;
    }

    std::vector<plist_t> items_;
    std::vector<std::unique_ptr<Fields>> fields_;
    std::set<std::string, std::less<>> wanted_;
};

class Decoder {
public:
    Decoder(plist_t objects, const ArchiveClassPolicy& policy, const ArchiveLimits& limits)
        : objects_(objects, policy), policy_(policy), limits_(limits),
          inProgress_(objects_.size(), false) {}

    ArchiveValue decodeReference(std::uint64_t uid, std::size_t depth) {
        if (uid >= objects_.size() || depth > limits_.maxDepth || inProgress_[uid])
            throw Failure{};
        inProgress_[uid] = true;
        ArchiveValue value = decodeNode(objects_.node(uid), uid, depth);
        inProgress_[uid] = false;
        return value;
    }

private:
    void countValue() {
        if (++decoded_ > limits_.maxDecodedValues)
            throw Failure{};
    }

    // Text and data are copied at every reference to them: a small archive sharing one long
    // string many times would otherwise decode to gigabytes.
    void countBytes(std::size_t bytes) {
        if (bytes > limits_.maxDecodedBytes - bytesDecoded_)
            throw Failure{};
        bytesDecoded_ += bytes;
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

    // The class a member's value would decode as, without decoding it; absent for nil, a
    // reference out of range, or a value of no class.
    std::optional<std::string> memberClass(plist_t node) {
        std::optional<std::uint64_t> uid = uidValue(node);
        if (uid) {
            node = objects_.node(*uid);
            if (!node)
                return std::nullopt;
        }
        switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            if (uid == 0u && plistString(node) == "$null")
                return std::nullopt; // nil
            return "NSString";
        case PLIST_BOOLEAN:
        case PLIST_UINT:
        case PLIST_REAL:
            return "NSNumber";
        case PLIST_DATA:
            return "NSData";
        case PLIST_DATE:
            return "NSDate";
        case PLIST_DICT:
            if (uid)
                return objects_.className(*uid);
            break;
        case PLIST_ARRAY:
        case PLIST_KEY:
        case PLIST_UID:
        case PLIST_NONE:
            break;
        }
        return std::nullopt;
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
        case PLIST_STRING: {
            std::string text = plistString(node).value_or(std::string());
            countBytes(text.size());
            return {std::move(text)};
        }
        case PLIST_DATE:
            // A date libplist could not hold is nil, not a made-up date.
            if (auto date = plistDate(node))
                return {*date};
            return {};
        case PLIST_DATA: {
            char* data = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &data, &length);
            std::unique_ptr<char, decltype(&std::free)> owned(data, &std::free);
            countBytes(static_cast<std::size_t>(length));
            return {std::vector<std::uint8_t>(data, data + length)};
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
            return decodeObject(uid, depth);
        case PLIST_ARRAY:
        case PLIST_KEY:
        case PLIST_UID:
        case PLIST_NONE:
            break;
        }
        throw Failure{};
    }

    ArchiveValue decodeObject(std::uint64_t uid, std::size_t depth) {
        const std::optional<std::string> name = objects_.className(uid);
        if (!name)
            throw Failure{};
        if (auto custom = policy_.customClasses.find(*name); custom != policy_.customClasses.end())
            return decodeCustom(uid, custom->second, depth);
        require(*name);
        countValue();
        if (name == "NSArray" || name == "NSMutableArray") {
            plist_t items = objects_.field(uid, "NS.objects");
            if (!items || plist_get_node_type(items) != PLIST_ARRAY)
                throw Failure{};
            const std::vector<plist_t> references = plistArrayItems(items);
            ArchiveArray array;
            array.reserve(std::min<std::size_t>(references.size(), 4096));
            for (plist_t reference : references) {
                auto item = uidValue(reference);
                if (!item)
                    throw Failure{};
                array.push_back(decodeReference(*item, depth + 1));
            }
            return {std::move(array)};
        }
        if (name == "NSString" || name == "NSMutableString") {
            auto text = plistString(objects_.field(uid, "NS.string"));
            if (!text)
                throw Failure{};
            countBytes(text->size());
            return {std::move(*text)};
        }
        if (name == "NSDate") {
            plist_t time = objects_.field(uid, "NS.time");
            if (!time || plist_get_node_type(time) != PLIST_REAL)
                throw Failure{};
            double seconds = 0;
            plist_get_real_val(time, &seconds);
            return {dateFromUnix(referenceDateOffset + seconds)};
        }
        if (name == "NSData" || name == "NSMutableData") {
            plist_t data = objects_.field(uid, "NS.data");
            if (!data || plist_get_node_type(data) != PLIST_DATA)
                throw Failure{};
            return decodeScalar(data);
        }
        if (name == "NSURL") {
            auto relativeUID = uidValue(objects_.field(uid, "NS.relative"));
            if (!relativeUID)
                throw Failure{};
            ArchiveValue relative = decodeReference(*relativeUID, depth + 1);
            ArchiveValue base;
            if (auto baseUID = uidValue(objects_.field(uid, "NS.base")))
                base = decodeReference(*baseUID, depth + 1);
            const std::string* relativeText = relative.string();
            if (!relativeText)
                throw Failure{};
            std::string text = *relativeText;
            if (const auto* baseURL = std::get_if<ArchiveURL>(&base.value)) {
                countBytes(baseURL->text.size() + text.size());
                text = baseURL->text + text;
            }
            return {ArchiveURL{std::move(text)}};
        }
        // An allowed class this decoder does not know how to read.
        throw Failure{};
    }

    ArchiveValue decodeCustom(std::uint64_t uid, const ArchiveCustomClass& custom,
                              std::size_t depth) {
        countValue();
        ArchiveObject result{custom.decodedName, {}};
        for (const auto& [key, classes] : custom.members) {
            plist_t value = objects_.field(uid, key);
            if (!value)
                continue;
            const std::optional<std::string> valueClass = memberClass(value);
            if (!valueClass || !classes.contains(*valueClass))
                continue;
            result.members.emplace(key, decodeMember(value, depth));
        }
        return {std::move(result)};
    }

    Objects objects_;
    const ArchiveClassPolicy& policy_;
    const ArchiveLimits& limits_;
    std::vector<bool> inProgress_;
    std::size_t decoded_ = 0;
    std::size_t bytesDecoded_ = 0;
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
