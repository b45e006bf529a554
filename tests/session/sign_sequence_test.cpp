#include "signin/sign_sequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doubles.h"
#include "signin/signin.h"

namespace vellicor::signin {
namespace {

using Kind = SignSequence::Kind;
constexpr const char* kMall = "http://127.0.0.1:9";

struct Fixture {
    test::LogCapture log;
    SignSequence seq{kMall, log.sink()};

    // Drives one game: the page completes (after a frame of its own) and the click reports.
    SignSequence::Step pass(const SignSequence::Step& load, bool found) {
        EXPECT_EQ(seq.documentComplete("http://127.0.0.1:9/frame.html").kind, Kind::Nothing);
        EXPECT_EQ(seq.documentComplete(load.address).kind, Kind::Click);
        const auto after = seq.clicked(found);
        if (!found) {
            return after;
        }
        EXPECT_EQ(after.kind, Kind::Settle);
        return seq.settled();
    }
};

TEST(SignSequence, EveryGameInGidOrderThenDone) {
    Fixture f;
    auto step = f.seq.start();
    std::vector<std::string> loaded;
    while (step.kind == Kind::Load) {
        loaded.push_back(step.address);
        step = f.pass(step, true);
    }
    EXPECT_EQ(step.kind, Kind::Finished);
    ASSERT_EQ(loaded.size(), 7u);
    EXPECT_EQ(loaded.front(), centrePageAddress(kMall, 1));
    EXPECT_EQ(loaded.back(), centrePageAddress(kMall, 61));
    EXPECT_TRUE(f.seq.complete());
    EXPECT_EQ(f.log.lines().back(), kAllSigned);
    EXPECT_EQ(f.log.lines().front().rfind(std::string(kLoading), 0), 0u);

    // Pressed again after a complete sign-in: the line again, nothing loaded.
    EXPECT_EQ(f.seq.start().kind, Kind::Nothing);
    EXPECT_EQ(f.log.lines().back(), kAllSigned);

    f.seq.resetSession();  // a new login may sign in again
    EXPECT_EQ(f.seq.start().kind, Kind::Load);
}

TEST(SignSequence, MissingButtonAndTimeOutAreSkipped) {
    Fixture f;
    auto step = f.seq.start();
    step = f.pass(step, false);                          // gid 1: no button
    EXPECT_EQ(f.seq.clicked(true).kind, Kind::Nothing);  // a late report changes nothing
    ASSERT_EQ(step.kind, Kind::Load);
    step = f.seq.timedOut();  // gid 2 never completes
    ASSERT_EQ(step.kind, Kind::Load);
    EXPECT_EQ(step.address, centrePageAddress(kMall, 10));
    EXPECT_EQ(f.seq.documentComplete(centrePageAddress(kMall, 2)).kind, Kind::Nothing);
    while (step.kind == Kind::Load) {
        step = f.pass(step, true);
    }
    EXPECT_EQ(step.kind, Kind::Finished);
    EXPECT_FALSE(f.seq.complete());
    EXPECT_NE(f.log.lines().back(), kAllSigned);
    EXPECT_EQ(f.seq.start().kind, Kind::Load);  // not complete: may be tried again
}

TEST(SignSequence, OneRunAtATimeAndStrayEventsIgnored) {
    Fixture f;
    EXPECT_EQ(f.seq.documentComplete(centrePageAddress(kMall, 1)).kind, Kind::Nothing);
    EXPECT_EQ(f.seq.timedOut().kind, Kind::Nothing);
    EXPECT_EQ(f.seq.settled().kind, Kind::Nothing);
    ASSERT_EQ(f.seq.start().kind, Kind::Load);
    const auto lines = f.log.lines().size();
    EXPECT_EQ(f.seq.start().kind, Kind::Nothing);
    EXPECT_EQ(f.log.lines().size(), lines + 1);
    EXPECT_TRUE(f.seq.running());
}

}  // namespace
}  // namespace vellicor::signin
