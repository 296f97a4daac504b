#include "tests/driver/DriverHarness.h"

#include "transfer/DataTransfer.h"

using driver_harness::DriverHarness;
using Bytes = std::vector<uint8_t>;

namespace {

class DriverLifecycleTest : public DriverHarness {};

TEST_F(DriverLifecycleTest, AKeyReachesTheClassDriverAsItsReportAndRelease) {
    startWithReads();
    press(0x54); // "1"
    auto seen = reports(2);
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ((Bytes{1, 0, 0, 0x1E, 0, 0, 0, 0, 0}), seen[0].bytes);
    EXPECT_EQ((Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0}), seen[1].bytes);
}

} // namespace
