#include "othertools/KeyedArchive.h"

#include "othertools/ArchiveBuilder.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace quorvane;
using quorvane::testing::ArchiveBuilder;

namespace {

// The documents' classes, with one member ("ITEMS") that may hold an array, so that a document
// can lead back into the structure around it.
ArchiveClassPolicy documentPolicy() {
    const std::set<std::string, std::less<>> text{"NSString", "NSMutableString"};
    return {{"NSArray", "NSMutableArray", "NSString", "NSMutableString", "NSDate", "NSData",
             "NSMutableData", "NSURL", "NSNumber"},
            {{"DocumentRef",
              {"ChronoSyncDocumentRef",
               {{"NAME", text}, {"SDAT", {"NSDate"}}, {"ITEMS", {"NSArray", "NSMutableArray"}}}}}}};
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

TEST(KeyedArchive, MappedObjectsDecodeOnlyTheMembersTheyRead) {
    // Members nobody reads are never looked at, whatever they hold.
    ArchiveBuilder extra;
    auto options = extra.object("NSDictionary", {});
    auto own = extra.object("ChronoSyncPrivateState", {});
    auto loop = extra.array({});
    std::map<std::string, std::uint64_t> members{{"NAME", extra.string("Docs")},
                                                 {"SDAT", extra.date(800'000'000)},
                                                 {"OPTS", options},
                                                 {"PRIV", own},
                                                 {"FAR", 4'000'000'000ULL},
                                                 {"LOOP", loop}};
    // Enough members that the decoder indexes the dictionary rather than searching it.
    for (int i = 0; i < 100; ++i)
        members["X" + std::to_string(i)] = options;
    auto doc = extra.object("DocumentRef", members);
    extra.appendToArray(loop, doc);
    auto decoded = decodeKeyedArchive(extra.bytes(extra.array({doc})), documentPolicy());
    ASSERT_TRUE(decoded);
    const ArchiveObject* object = (*decoded->array())[0].object();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->members.size(), 2u);
    EXPECT_EQ(*object->members.at("NAME").string(), "Docs");
    EXPECT_TRUE(object->members.at("SDAT").date());

    // A member read with a class it does not have is absent; the rest of the archive stands.
    ArchiveBuilder mistyped;
    auto odd = mistyped.object("DocumentRef", {{"NAME", mistyped.date(0)},
                                               {"SDAT", mistyped.string("yesterday")},
                                               {"ITEMS", mistyped.object("NSDictionary", {})}});
    auto nil = mistyped.object("DocumentRef", {{"NAME", 0}});
    decoded = decodeKeyedArchive(mistyped.bytes(mistyped.array({odd, nil})), documentPolicy());
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->array()->size(), 2u);
    EXPECT_TRUE((*decoded->array())[0].object()->members.empty());
    EXPECT_TRUE((*decoded->array())[1].object()->members.empty());
}

// Text is copied at each reference, so it is counted there: one long string shared many times
// must not decode to gigabytes.
TEST(KeyedArchive, BoundsTheTextDecodedFromSharedReferences) {
    auto shared = [](std::size_t references, bool throughDocuments) {
        ArchiveBuilder b;
        auto text = b.string(std::string(100'000, 'x'));
        std::vector<std::uint64_t> items;
        for (std::size_t i = 0; i < references; ++i)
            items.push_back(throughDocuments ? b.object("DocumentRef", {{"NAME", text}}) : text);
        return b.bytes(b.array(items));
    };
    for (bool throughDocuments : {false, true}) {
        SCOPED_TRACE(throughDocuments ? "through documents" : "in the array");
        EXPECT_TRUE(decodeKeyedArchive(shared(40, throughDocuments), documentPolicy()));
        EXPECT_FALSE(decodeKeyedArchive(shared(60, throughDocuments), documentPolicy()));
    }
    ArchiveLimits tight;
    tight.maxDecodedBytes = 100'000;
    EXPECT_TRUE(decodeKeyedArchive(shared(1, false), documentPolicy(), tight));
    EXPECT_FALSE(decodeKeyedArchive(shared(2, false), documentPolicy(), tight));
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
        auto ref = b.object("DocumentRef", {{"ITEMS", a}});
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
    {
        // libplist's own parser recurses once per level; this must be refused before it.
        std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
        for (int i = 0; i < 200'000; ++i)
            deep += "<array>";
        cases.push_back({"XML nested 200,000 levels", deep + "</plist>"});
    }
    cases.push_back({"empty", ""});
    cases.push_back({"garbage", std::string("bplist00\xff\xfe garbage", 18)});
    {
        ArchiveBuilder b;
        std::string whole = b.bytes(b.array({b.string("x")}));
        cases.push_back({"truncated", whole.substr(0, whole.size() / 2)});
    }
    cases.push_back({"plain property list",
                     "<?xml version=\"1.0\"?><plist "
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
