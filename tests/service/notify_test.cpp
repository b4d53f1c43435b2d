// The notification socket: datagrams to a socket at a path and under an abstract name.
#include "service/notify.h"

#include <gtest/gtest.h>

#include <string>

#include "support/notify_listener.h"

namespace {

TEST(Notifier, ReachesASocketAtAPathAndUnderAnAbstractName) {
    for (bool abstract : {false, true}) {
        NotifyListener manager(abstract);
        Notifier notifier(manager.Address().c_str());
        ASSERT_TRUE(notifier.Enabled()) << manager.Address();
        EXPECT_TRUE(notifier.Send("READY=1"));
        EXPECT_EQ(manager.Receive(), "READY=1") << manager.Address();
        EXPECT_TRUE(notifier.Send("STATUS=5000 listening\nWATCHDOG=1"));
        EXPECT_EQ(manager.Receive(), "STATUS=5000 listening\nWATCHDOG=1");
    }
}

TEST(Notifier, WithoutAUsableNameNothingIsSent) {
    std::string tooLong = "/" + std::string(200, 'x');
    for (const char* address :
         {static_cast<const char*>(nullptr), "", "@", "relative/name", tooLong.c_str()}) {
        Notifier notifier(address);
        EXPECT_FALSE(notifier.Enabled()) << (address ? address : "(null)");
        EXPECT_FALSE(notifier.Send("READY=1"));
    }
}

}  // namespace
