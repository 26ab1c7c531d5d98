// Thread names: set, read back, and a name longer than the system keeps is cut rather than refused.
#include "platform/ThreadName.h"

#include <gtest/gtest.h>

#include <thread>

TEST(ThreadName, ANamedThreadReadsItsNameBackAndALongNameIsCut) {
    std::string shortName, longName;
    std::thread([&] {
        plat::NameThisThread("sx-dispatch");
        shortName = plat::ThisThreadName();
        plat::NameThisThread("sx-a-rather-long-thread-name");
        longName = plat::ThisThreadName();
    }).join();
    EXPECT_EQ(shortName, "sx-dispatch");
    ASSERT_GE(longName.size(), 15u) << "the long name was not taken";
    EXPECT_EQ(std::string("sx-a-rather-long-thread-name").rfind(longName, 0), 0u) << longName;
}
