#include "othertools/ForeignText.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvane {
namespace {

struct CutCase {
    const char* name;
    std::string text;
    std::size_t count;
    std::string expected;
};

class FirstCharacters : public ::testing::TestWithParam<CutCase> {};

TEST_P(FirstCharacters, CountsUserPerceivedCharacters) {
    const CutCase& c = GetParam();
    EXPECT_EQ(firstCharacters(c.text, c.count), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, FirstCharacters,
    ::testing::Values(CutCase{"asciiShorterThanCount", "disk full", 300, "disk full"},
                      CutCase{"asciiCut", "abcdef", 3, "abc"},
                      CutCase{"asciiCrLfIsOneCharacter", "ab\r\ncd", 3, "ab\r\n"},
                      CutCase{"asciiNeverEndsOnALoneCr", "a\r\nb\r\nc", 2, "a\r\n"},
                      CutCase{"asciiCrLfCountsOnceEverywhere", "\r\n\r\n\r\nx", 3, "\r\n\r\n\r\n"},
                      CutCase{"asciiLoneCrIsItsOwnCharacter", "a\rb", 2, "a\r"},
                      CutCase{"unicodeCrLfIsOneCharacter", "\u00e9\r\nx", 2, "\u00e9\r\n"},
                      CutCase{"combiningMarkStaysWithItsLetter", "e\u0301tat", 1, "e\u0301"},
                      CutCase{"illFormedBytesAreRepaired",
                              "a\xff"
                              "b",
                              2, "a\uFFFD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FirstCharacters, CrLfAtTheInputLimitStaysWhole) {
    // Only the first 64 KiB are looked at; a CR LF across that boundary must not lose its LF.
    std::string text(64 * 1024 - 1, 'a');
    text += "\r\nafter";
    const std::string cut = firstCharacters(text, text.size());
    EXPECT_EQ(cut, text.substr(0, 64 * 1024 + 1));
}

} // namespace
} // namespace quorvane
