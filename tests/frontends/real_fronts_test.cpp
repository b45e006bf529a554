// Runs of now through every front end by every way of firing, the items opening a few
// seconds after the run starts so that the workers ask again through connections the front
// end closes after 20 requests (nginx as sites run it). Each worker ends with one line, the
// mall takes exactly the requests the run counts, and each is answered where the front end
// allows: a relay that resets every connection once the mall took the requests leaves each
// worker with "已发出，结果未知" and none of them sent again.

#include "front_rig.h"

namespace vellicor::fronts {
namespace {

class RealFrontsNow : public FrontRig {};

TEST_P(RealFrontsNow, NoneTwiceEachAnswered) {
    startRig();
    ASSERT_FALSE(HasFatalFailure());
    const bool resets = resetAt(false) == ResetAt::OnceTaken;
    runNow(resets ? 0 : 2500);
    ASSERT_FALSE(HasFatalFailure());
    expectTheRowsWay();
    expectOneLinePerWorker();
    expectTheMallSawWhatTheRunCounts();
    if (resets) {
        expectEachTakenOnce();
        expectEachLostWithoutAnswer();
    } else {
        EXPECT_GT(summary_.sends, kWorkers) << "the items opened late: the workers asked again";
        expectEachAnswered();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RealFrontsNow, ::testing::ValuesIn(tableRows()), rowName);

}  // namespace
}  // namespace vellicor::fronts
