#include "othertools/KeyedArchive.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace quorvane;

namespace {

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

ArchiveClassPolicy documentPolicy() {
    return {{"NSArray", "NSMutableArray", "NSString", "NSMutableString", "NSDate", "NSData",
             "NSMutableData", "NSURL", "NSNumber"},
            {{"DocumentRef", "ChronoSyncDocumentRef"}}};
}

} // namespace

TEST(KeyedArchive, DecodesMappedObjectsInsideAnArray) {
    for (bool xml : {false, true}) {
        ArchiveBuilder b;
        auto name = b.string("Photos to NAS");
        auto when = b.date(800'000'000.5);
        auto ref = b.object("DocumentRef", {{"NAME", name}, {"SDAT", when}});
        auto stray = b.string("not a document");
        auto root = b.array({stray, ref});

        auto decoded = decodeKeyedArchive(b.bytes(root, xml), documentPolicy());
        ASSERT_TRUE(decoded) << (xml ? "xml" : "binary");
        const ArchiveArray* items = decoded->array();
        ASSERT_NE(items, nullptr);
        ASSERT_EQ(items->size(), 2u);
        EXPECT_EQ(*(*items)[0].string(), "not a document");
        const ArchiveObject* doc = (*items)[1].object();
        ASSERT_NE(doc, nullptr);
        EXPECT_EQ(doc->className, "ChronoSyncDocumentRef");
        EXPECT_EQ(*doc->members.at("NAME").string(), "Photos to NAS");
        EXPECT_DOUBLE_EQ(unixSeconds(*doc->members.at("SDAT").date()),
                         referenceDateOffset + 800'000'000.5);
    }
}

TEST(KeyedArchive, SharedReferencesDecodeEachTime) {
    ArchiveBuilder b;
    auto text = b.string("same");
    auto root = b.array({text, text});
    auto decoded = decodeKeyedArchive(b.bytes(root), documentPolicy());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->array()->size(), 2u);
}

TEST(KeyedArchive, RefusesHostileArchives) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::vector<Case> cases;
    {
        ArchiveBuilder b;
        auto inner = b.object("NSDictionary", {});
        cases.push_back({"class outside the list", b.bytes(b.array({inner}))});
    }
    {
        ArchiveBuilder b;
        auto ref = b.object("OtherRef", {});
        cases.push_back({"unmapped custom class", b.bytes(b.array({ref}))});
    }
    {
        ArchiveBuilder b;
        auto root = b.array({});
        b.appendToArray(root, root);
        cases.push_back({"array containing itself", b.bytes(root)});
    }
    {
        ArchiveBuilder b;
        auto a = b.array({});
        auto ref = b.object("DocumentRef", {{"NAME", a}});
        b.appendToArray(a, ref);
        cases.push_back({"cycle through a document", b.bytes(a)});
    }
    {
        ArchiveBuilder b;
        cases.push_back({"reference out of range", b.bytes(b.array({4'000'000'000ULL}))});
    }
    {
        ArchiveBuilder b;
        cases.push_back({"root reference out of range", b.bytes(999)});
    }
    {
        ArchiveBuilder b;
        auto inner = b.array({});
        for (int i = 0; i < 5000; ++i)
            inner = b.array({inner});
        cases.push_back({"nesting deeper than the limit", b.bytes(inner)});
    }
    {
        // Each level refers to the one below twice: 2^40 values if expanded.
        ArchiveBuilder b;
        auto level = b.string("leaf");
        for (int i = 0; i < 40; ++i)
            level = b.array({level, level});
        cases.push_back({"exponential sharing", b.bytes(level)});
    }
    cases.push_back({"empty", ""});
    cases.push_back({"garbage", std::string("bplist00\xff\xfe garbage", 18)});
    {
        ArchiveBuilder b;
        std::string whole = b.bytes(b.array({b.string("x")}));
        cases.push_back({"truncated", whole.substr(0, whole.size() / 2)});
    }
    cases.push_back(
        {"plain property list", "<?xml version=\"1.0\"?><plist "
                                "version=\"1.0\"><array><string>x</string></array></plist>"});

    for (const auto& c : cases)
        EXPECT_FALSE(decodeKeyedArchive(c.bytes, documentPolicy())) << c.name;
}

TEST(KeyedArchive, RefusesInputOverTheByteLimit) {
    ArchiveBuilder b;
    std::string bytes = b.bytes(b.array({b.string(std::string(2000, 'x'))}));
    EXPECT_TRUE(decodeKeyedArchive(bytes, documentPolicy()));
    ArchiveLimits small;
    small.maxBytes = bytes.size() - 1;
    EXPECT_FALSE(decodeKeyedArchive(bytes, documentPolicy(), small));
}
