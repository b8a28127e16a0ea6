#include "base/MacPath.h"

#include <gtest/gtest.h>

using namespace quorvane;

TEST(PathComponents, DropsEmptyAndDotComponentsButKeepsClimbs) {
    using Components = std::vector<std::string>;
    EXPECT_EQ(pathComponents("/Users/ann/"), (Components{"/", "Users", "ann"}));
    EXPECT_EQ(pathComponents("//Users/./ann//x"), (Components{"/", "Users", "ann", "x"}));
    EXPECT_EQ(pathComponents("Users/../ann"), (Components{"Users", "..", "ann"}));
    EXPECT_EQ(pathComponents("/"), (Components{"/"}));
    EXPECT_TRUE(pathComponents("").empty());
    EXPECT_EQ(finalComponent("/Users/ann/Documents/"), "Documents");
    EXPECT_EQ(finalComponent("/"), "/");
    EXPECT_EQ(finalComponent(""), "");
}

TEST(HomeFolder, IsTheFirstThreeComponentsUnderUsers) {
    using Components = std::vector<std::string>;
    EXPECT_EQ(homeFolder("/Users/ann/Documents/a"), (Components{"/", "Users", "ann"}));
    EXPECT_EQ(homeFolder("//Users/ann"), (Components{"/", "Users", "ann"}));
    EXPECT_EQ(homeFolder("/Users/Shared/x"), std::nullopt);
    EXPECT_EQ(homeFolder("/Users"), std::nullopt);
    EXPECT_EQ(homeFolder("/Volumes/Users/ann"), std::nullopt);
    EXPECT_EQ(homeFolder("Users/ann/x"), std::nullopt);
}

TEST(ExpandTilde, ReplacesOnlyALeadingTildeOfTheUser) {
    const std::pair<const char*, const char*> cases[] = {
        {"~", "/Users/ann"},
        {"~/", "/Users/ann/"},
        {"~/Pictures", "/Users/ann/Pictures"},
        {"~bob/Pictures", "~bob/Pictures"},
        {"/Users/ann/~", "/Users/ann/~"},
        {"~~", "~~"},
        {"", ""},
    };
    for (const auto& [path, expanded] : cases)
        EXPECT_EQ(expandTilde(path, "/Users/ann"), expanded) << path;
}

TEST(StandardisedPath, RemovesSeparatorsDotsAndResolvableClimbs) {
    const std::pair<const char*, const char*> cases[] = {
        {"/Users/ann", "/Users/ann"},
        {"/Users//ann/", "/Users/ann"},
        {"/Users/ann/.", "/Users/ann"},
        {"/Users/./ann/x/../y", "/Users/ann/y"},
        {"/../../Users", "/Users"},
        {"//", "/"},
        {"a/../../b", "../b"},
        {"./a", "a"},
        {"", "."},
    };
    for (const auto& [path, standard] : cases)
        EXPECT_EQ(standardisedMacPath(path), standard) << path;
}

TEST(PathIsWithin, FollowsComponentBoundaries) {
    struct Case {
        const char* path;
        const char* folder;
        bool within;
    };
    const Case cases[] = {
        {"/Users/ann", "/Users/ann", true},
        {"/Users/ann/x", "/Users/ann", true},
        {"/Users/anna", "/Users/ann", false},
        {"/Users", "/Users/ann", false},
        {"/anything", "/", true},
        {"/", "/", true},
        {"relative/x", "relative", true},
        {"/Users/ann", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pathIsWithin(c.path, c.folder), c.within) << c.path << " in " << c.folder;
}
