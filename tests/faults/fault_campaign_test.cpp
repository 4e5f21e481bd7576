// Fails, one at a time, every system call on the mutation paths of the key
// store and of the key blob file, for each operation of the campaign, and
// requires every run to survive: a clear error, the old or the new state, no
// leftover that a later run trips over. KH_FAULT_FULL=1 adds a third round of
// errors.
#include <stdio.h>
#include <stdlib.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_campaign.h"

namespace fault_test {
namespace {

class FaultCampaign : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultCampaign, SurvivesEveryFailedCall) {
    const Scenario& s = GetParam();
    const char* full = getenv("KH_FAULT_FULL");
    const CampaignResult r = RunCampaign(s, Rounds(full != nullptr && *full == '1'));
    // One line per class and error for the report, then the totals.
    for (const auto& [key, tally] : r.perClass)
        if (tally.injected > 0) printf("FAULTS %s %s %d %d\n", s.name.c_str(), key.c_str(), tally.injected, tally.survived);
    printf("%s: faults injected %d, survived %d\n", s.name.c_str(), r.injected, r.survived);
    fflush(stdout);
    for (const auto& f : r.failures) ADD_FAILURE() << f;
    EXPECT_GT(r.injected, 0);
    EXPECT_EQ(r.injected, r.survived);
}

const Scenario& Named(const std::string& name) {
    static const std::vector<Scenario> all = Scenarios();
    for (const auto& s : all)
        if (s.name == name) return s;
    throw std::runtime_error("no scenario " + name);
}

bool Mentions(const std::vector<std::string>& faults, const std::string& text) {
    for (const auto& f : faults)
        if (f.find(text) != std::string::npos) return true;
    return false;
}

// The judge itself: calls that are skipped but reported as done leave exactly
// the damage a careless caller would, and each must be noticed.
TEST(FaultJudge, NoticesWhatIgnoredFailuresLeave) {
    // The replacement of the key blob file never happens, yet the run succeeds.
    auto faults = JudgeSwallowed(Named("FaldrenExistingTarget"), "rename", 1);
    EXPECT_TRUE(Mentions(faults, "new state is not complete")) << ::testing::PrintToString(faults);
    EXPECT_TRUE(Mentions(faults, "left in the work directory")) << ::testing::PrintToString(faults);

    // An empty container file renamed into place.
    faults = JudgeSwallowed(Named("TessaroExisting"), "write", 1);
    EXPECT_TRUE(Mentions(faults, "new state is not complete")) << ::testing::PrintToString(faults);

    // The deletion never happens.
    faults = JudgeSwallowed(Named("Zetrask"), "unlink", 1);
    EXPECT_TRUE(Mentions(faults, "x is still there")) << ::testing::PrintToString(faults);

    // A creation that never links the container in.
    faults = JudgeSwallowed(Named("OmbrixNew"), "link", 1);
    EXPECT_TRUE(Mentions(faults, "error line shows 80090016")) << ::testing::PrintToString(faults);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultCampaign, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
}  // namespace fault_test
