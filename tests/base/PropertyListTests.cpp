#include "base/PropertyList.h"

#include "base/BinaryPlist.h"
#include "base/Date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using namespace quorvane;
using namespace quorvane::testing;

namespace {

std::string nestedXML(int depth, const std::string& between = "") {
    std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i)
        text += "<array>" + between;
    for (int i = 0; i < depth; ++i)
        text += "</array>";
    return text + "</plist>";
}

std::string xmlDict(const std::string& body) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + body + "</dict></plist>";
}

// An array of `references` references to one string of `length` bytes.
std::string sharedString(std::size_t length, std::uint32_t references) {
    return binaryPlist({arrayOf(std::vector<std::uint32_t>(references, 1)),
                        asciiString(std::string(length, 'x'))});
}

} // namespace

TEST(ParsePropertyList, RefusesNestingThatWouldOverflowTheParser) {
    EXPECT_TRUE(parsePropertyList(nestedXML(maxPropertyListDepth)));
    EXPECT_FALSE(parsePropertyList(nestedXML(maxPropertyListDepth + 1)));
    EXPECT_FALSE(parsePropertyList(nestedXML(200'000)));
    // Closing tags hidden in comments do not hide the depth.
    EXPECT_FALSE(
        parsePropertyList(nestedXML(maxPropertyListDepth + 1, "<!-- </array></dict> -->")));
    EXPECT_TRUE(parsePropertyList(nestedXML(3, "<!-- <array> -->")));

    EXPECT_TRUE(parsePropertyList(binaryChain(maxPropertyListDepth)));
    EXPECT_FALSE(parsePropertyList(binaryChain(maxPropertyListDepth + 1)));
    EXPECT_FALSE(parsePropertyList(binaryChain(100'000)));
}

TEST(ParsePropertyList, RefusesCyclesSharingBlowUpsAndBrokenTrailers) {
    EXPECT_FALSE(parsePropertyList(binaryPlist({arrayOf({1}), arrayOf({0})})));
    EXPECT_FALSE(parsePropertyList(binaryPlist({arrayOf({0})})));

    // Each level refers twice to the next: 2^60 objects once expanded, from a few hundred bytes.
    std::vector<std::string> doubling;
    for (uint32_t i = 0; i < 60; ++i)
        doubling.push_back(arrayOf({i + 1, i + 1}));
    doubling.push_back(arrayOf({}));
    EXPECT_FALSE(parsePropertyList(binaryPlist(doubling)));
    // Moderate sharing is fine.
    EXPECT_TRUE(parsePropertyList(binaryPlist({arrayOf({1, 1, 1}), arrayOf({2, 2}), arrayOf({})})));

    std::string truncated = binaryChain(3);
    truncated.resize(truncated.size() - 1);
    EXPECT_FALSE(parsePropertyList(truncated));
    std::string badReference = binaryPlist({arrayOf({7})});
    EXPECT_FALSE(parsePropertyList(badReference));
    EXPECT_FALSE(parsePropertyList(""));
    EXPECT_FALSE(parsePropertyList("bplist00"));
}

// libplist asserts, and so ends the process, when it walks a key holding NUL; a string holding
// one is cut short by every C caller. Both kinds of list are refused before libplist sees them.
TEST(ParsePropertyList, RefusesKeysAndStringsHoldingNUL) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string withNUL;
        std::string without; // the same shape without the NUL, which parses
    };
    auto binaryDict = [](const std::string& key, const std::string& value) {
        return binaryPlist({dictOf({1}, {2}), key, value});
    };
    const Case cases[] = {
        {"binary ASCII key", binaryDict(asciiString("a\0b"s), asciiString("v")),
         binaryDict(asciiString("a_b"), asciiString("v"))},
        {"binary UTF-16 key", binaryDict(utf16String({u'a', 0, u'b'}), asciiString("v")),
         binaryDict(utf16String({u'a', u'\u00e9', u'b'}), asciiString("v"))},
        {"binary ASCII string", binaryDict(asciiString("k"), asciiString("v\0"s)),
         binaryDict(asciiString("k"), asciiString("v_"))},
        {"binary UTF-16 string", binaryDict(asciiString("k"), utf16String({0})),
         binaryDict(asciiString("k"), utf16String({u'z'}))},
        {"binary string inside an array",
         binaryPlist({arrayOf({1, 2}), asciiString("fine"), asciiString("\0"s)}),
         binaryPlist({arrayOf({1, 2}), asciiString("fine"), asciiString("also")})},
        {"XML key", xmlDict("<key>a\0b</key><string>v</string>"s),
         xmlDict("<key>a_b</key><string>v</string>")},
        {"XML string", xmlDict("<key>k</key><string>\0</string>"s),
         xmlDict("<key>k</key><string>_</string>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(parsePropertyList(c.withNUL));
        EXPECT_TRUE(parsePropertyList(c.without));
    }
    // Data may hold any byte.
    const std::string data = '\x43' + "\0\0\0"s;
    EXPECT_TRUE(parsePropertyList(binaryDict(asciiString("k"), data)));
}

// libplist copies a shared object at every reference, so the guard measures a list by what it
// expands to, in bytes as well as in objects.
TEST(ParsePropertyList, BoundsTheExpandedSizeInBytes) {
    // 50,000 references to one 16 KB string: 800 MB once expanded, from a 216 KB file.
    EXPECT_FALSE(parsePropertyList(sharedString(16'384, 50'000)));
    // The same number of references to a short string, or a few to the long one, is fine.
    EXPECT_TRUE(parsePropertyList(sharedString(8, 50'000)));
    EXPECT_TRUE(parsePropertyList(sharedString(16'384, 100)));

    // Sharing over two levels: 250 references to an array of 200 references to the 16 KB string.
    EXPECT_FALSE(parsePropertyList(binaryPlist({arrayOf(std::vector<std::uint32_t>(250, 1)),
                                                arrayOf(std::vector<std::uint32_t>(200, 2)),
                                                asciiString(std::string(16'384, 'x'))})));

    // UTF-16 text grows when libplist turns it into UTF-8: counted at its grown size.
    std::vector<char16_t> wide(8'000, u'\u20ac');
    EXPECT_FALSE(parsePropertyList(
        binaryPlist({arrayOf(std::vector<std::uint32_t>(3'000, 1)), utf16String(wide)})));

    // Data is as costly as text.
    const std::string blob = binaryMarker(0x4, 16'384) + std::string(16'384, '\x01');
    EXPECT_FALSE(
        parsePropertyList(binaryPlist({arrayOf(std::vector<std::uint32_t>(50'000, 1)), blob})));

    // An XML list has no sharing, but each element costs libplist far more than its text.
    std::string many = "<?xml version=\"1.0\"?><plist version=\"1.0\"><array>";
    for (int i = 0; i < 600'000; ++i)
        many += "<true/>";
    EXPECT_FALSE(parsePropertyList(many + "</array></plist>"));
}

// The guard keeps a record per object the file claims, so a file claiming more objects than may be
// decoded is refused before any is read, even when few of them are reachable.
TEST(ParsePropertyList, RefusesFilesClaimingTooManyObjects) {
    auto claiming = [](std::uint64_t count) {
        return binaryPlist(std::vector<std::string>(count, arrayOf({})));
    };
    EXPECT_TRUE(parsePropertyList(claiming(maxPropertyListNodes)));
    EXPECT_FALSE(parsePropertyList(claiming(maxPropertyListNodes + 1)));
}

TEST(ParsePropertyList, RefusesObjectsRunningPastTheOffsetTable) {
    // A string whose length claims more bytes than the file holds.
    std::string longer = binaryPlist({arrayOf({1}), binaryMarker(0x5, 1'000'000) + "abc"});
    EXPECT_FALSE(parsePropertyList(longer));
    std::string wider = binaryPlist({arrayOf({1}), binaryMarker(0x6, 1'000'000) + "abc"});
    EXPECT_FALSE(parsePropertyList(wider));
}

TEST(PlistDate, DropsDatesOutsideLibplistsRange) {
    struct Case {
        const char* name;
        double sinceReference;
        std::optional<double> unix;
    };
    const Case cases[] = {
        {"reference date", 0, referenceDateOffset},
        {"2024", 725'760'000.25, referenceDateOffset + 725'760'000.25},
        {"early 1932 side", -2'100'000'000, referenceDateOffset - 2'100'000'000},
        {"after 2069", 2'200'000'000, std::nullopt},
        {"before 1932", -2'200'000'000, std::nullopt},
        {"far future", 1e300, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PropertyList list = parsePropertyList(binaryPlist({binaryDate(c.sinceReference)}));
        ASSERT_TRUE(list);
        const std::optional<Date> date = plistDate(list.get());
        ASSERT_EQ(date.has_value(), c.unix.has_value());
        if (date) {
            EXPECT_DOUBLE_EQ(unixSeconds(*date), *c.unix);
        }
    }
    const std::string xmlFuture =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><date>2100-01-01T00:00:00Z</date></plist>";
    PropertyList future = parsePropertyList(xmlFuture);
    ASSERT_TRUE(future);
    EXPECT_EQ(plistDate(future.get()), std::nullopt);
    EXPECT_EQ(plistDate(nullptr), std::nullopt);
}
