// The scenarios of Windows' driver certification (tools/soak/Certification.h) through the
// whole stack, on the suite's builds on both sides of 6000 and with completion at
// PASSIVE_LEVEL: each ends with its keys whole and in order and nothing left behind.
#include "StackFixture.h"
#include "tools/soak/Certification.h"

using namespace certification;

namespace {

struct PnpCase {
    Pnp scenario;
    size_t unplugAfter;
};

class CertificationTest : public stack::StackTest {};
class PnpScenarioTest : public stack::StackTest, public ::testing::WithParamInterface<PnpCase> {};
class ConcurrentTest : public stack::StackTest, public ::testing::WithParamInterface<Moment> {};

// Every scenario alone, and with the receiver pulled out after each of its steps but the last.
std::vector<PnpCase> pnpCases() {
    std::vector<PnpCase> cases;
    for (Pnp scenario : kPnpScenarios)
        for (size_t k = 0; k < stepsOf(scenario); k++)
            cases.push_back({scenario, k});
    return cases;
}

} // namespace

TEST_P(PnpScenarioTest, KeysFlowAndNothingIsLeft) {
    EXPECT_EQ("", runPnp(GetParam().scenario, GetParam().unplugAfter));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PnpScenarioTest, ::testing::ValuesIn(pnpCases()),
                         [](const auto& info) {
                             return std::string(nameOf(info.param.scenario)) +
                                    (info.param.unplugAfter == 0
                                         ? ""
                                         : "UnpluggedAfterStep" +
                                               std::to_string(info.param.unplugAfter));
                         });

TEST_F(CertificationTest, AHundredSleepsInS3AndS4WithKeysBeforeDuringAndAfter) {
    EXPECT_EQ("", runSleep(100));
}

TEST_F(CertificationTest, ReinstallWhileAnApplicationReads) {
    EXPECT_EQ("", runReinstall());
}

TEST_P(ConcurrentTest, UnpluggedAndPluggedAgainWhileARequestIsOnItsWay) {
    EXPECT_EQ("", runConcurrent(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Moments, ConcurrentTest, ::testing::ValuesIn(kMoments),
                         [](const auto& info) { return std::string(nameOf(info.param)); });
