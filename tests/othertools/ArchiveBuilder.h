#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace quorvane::testing {

// Builds keyed archives the way the Mac's archiver lays them out: "$objects" with "$null" first,
// class descriptions as objects of their own, references as UIDs.
class ArchiveBuilder {
public:
    ArchiveBuilder() { plist_array_append_item(objects_, plist_new_string("$null")); }
    ~ArchiveBuilder() { plist_free(objects_); }
    ArchiveBuilder(const ArchiveBuilder&) = delete;
    ArchiveBuilder& operator=(const ArchiveBuilder&) = delete;

    std::uint64_t add(plist_t node) {
        plist_array_append_item(objects_, node);
        return plist_array_get_size(objects_) - 1;
    }
    std::uint64_t classRef(const std::string& name) {
        if (auto found = classes_.find(name); found != classes_.end())
            return found->second;
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "$classname", plist_new_string(name.c_str()));
        plist_t chain = plist_new_array();
        plist_array_append_item(chain, plist_new_string(name.c_str()));
        plist_array_append_item(chain, plist_new_string("NSObject"));
        plist_dict_set_item(dict, "$classes", chain);
        return classes_[name] = add(dict);
    }
    std::uint64_t string(const std::string& text) { return add(plist_new_string(text.c_str())); }
    std::uint64_t date(double sinceReference) {
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "NS.time", plist_new_real(sinceReference));
        plist_dict_set_item(dict, "$class", plist_new_uid(classRef("NSDate")));
        return add(dict);
    }
    std::uint64_t object(const std::string& className,
                         const std::map<std::string, std::uint64_t>& members) {
        plist_t dict = plist_new_dict();
        for (const auto& [key, uid] : members)
            plist_dict_set_item(dict, key.c_str(), plist_new_uid(uid));
        plist_dict_set_item(dict, "$class", plist_new_uid(classRef(className)));
        return add(dict);
    }
    // An array whose elements are filled in later, so that cycles can be built.
    std::uint64_t array(const std::vector<std::uint64_t>& items,
                        const std::string& cls = "NSArray") {
        plist_t dict = plist_new_dict();
        plist_t list = plist_new_array();
        for (auto uid : items)
            plist_array_append_item(list, plist_new_uid(uid));
        plist_dict_set_item(dict, "NS.objects", list);
        plist_dict_set_item(dict, "$class", plist_new_uid(classRef(cls)));
        return add(dict);
    }
    void appendToArray(std::uint64_t arrayUID, std::uint64_t item) {
        plist_t dict = plist_array_get_item(objects_, static_cast<std::uint32_t>(arrayUID));
        plist_array_append_item(plist_dict_get_item(dict, "NS.objects"), plist_new_uid(item));
    }

    std::string bytes(std::uint64_t rootUID, bool xml = false) const {
        plist_t root = plist_new_dict();
        plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(root, "$version", plist_new_uint(100000));
        plist_t top = plist_new_dict();
        plist_dict_set_item(top, "root", plist_new_uid(rootUID));
        plist_dict_set_item(root, "$top", top);
        plist_dict_set_item(root, "$objects", plist_copy(objects_));
        char* data = nullptr;
        std::uint32_t length = 0;
        if (xml)
            plist_to_xml(root, &data, &length);
        else
            plist_to_bin(root, &data, &length);
        std::string result(data, length);
        std::free(data);
        plist_free(root);
        return result;
    }

private:
    plist_t objects_ = plist_new_array();
    std::map<std::string, std::uint64_t> classes_;
};

} // namespace quorvane::testing
