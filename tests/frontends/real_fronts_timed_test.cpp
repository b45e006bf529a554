// Timed runs through every front end by every way of firing, armed as a user arms one: the
// mall's clock read through the front end, the set time a few seconds ahead, the tool's own
// aim. No request reaches the mall before the opening, whatever stamps the Date (nginx as
// sites run it stamps its own when the answer leaves, after the mall's work time), each
// worker's request is taken once, and a relay that resets every connection in the lead
// leaves every worker answered all the same. These runs need the real clock: their ctest
// label is `realclock` and they run one at a time.

#include "front_rig.h"

namespace vellicor::fronts {
namespace {

class RealFrontsTimed : public FrontRig {};

TEST_P(RealFrontsTimed, NoneEarlyNoneTwiceEachAnswered) {
    startRig();
    ASSERT_FALSE(HasFatalFailure());
    runTimed();
    ASSERT_FALSE(HasFatalFailure());
    expectTheRowsWay();
    expectOneLinePerWorker();
    expectTheMallSawWhatTheRunCounts();
    expectNoneBeforeTheOpening();
    expectEachTakenOnce();
    if (resetAt(true) == ResetAt::OnceTaken) {
        expectEachLostWithoutAnswer();
    } else {
        expectEachAnswered();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RealFrontsTimed, ::testing::ValuesIn(tableRows()), rowName);

}  // namespace
}  // namespace vellicor::fronts
