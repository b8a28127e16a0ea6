#include "base/Mac.h"

#include <gtest/gtest.h>

using quorvane::Mac;

TEST(Mac, HostPathJoinsRootAndMacPath) {
    Mac mac{"/sim/mac", "/Users/ann"};
    EXPECT_EQ(mac.hostPath("/Library/Preferences/x.plist"), "/sim/mac/Library/Preferences/x.plist");
    EXPECT_EQ(mac.hostPath("usr/bin/tmutil"), "/sim/mac/usr/bin/tmutil");
    EXPECT_EQ((Mac{"/", "/Users/ann"}.hostPath("/usr/bin/log")), "/usr/bin/log");
}

TEST(Mac, HomePathJoinsWithOneSeparator) {
    EXPECT_EQ((Mac{"/", "/Users/ann/"}.homePath("/Library")), "/Users/ann/Library");
    EXPECT_EQ((Mac{"/", "/Users/ann"}.homePath("")), "/Users/ann");
}
