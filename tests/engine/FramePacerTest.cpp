#include "engine/FramePacer.h"

#include <gtest/gtest.h>

#include <limits>

namespace zarvo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Decides on a frame after checking that wouldKeepFrameAtTime() predicts the decision.
FramePacer::Decision Decide(FramePacer& pacer, double time) {
    const bool predicted = pacer.wouldKeepFrameAtTime(time);
    const FramePacer::Decision decision = pacer.decisionForFrameAtTime(time);
    EXPECT_EQ(predicted, decision.keep) << "at time " << time;
    return decision;
}

TEST(FramePacerTest, KeepsFirstFrameOfEachSlotAtTheSlotTime) {
    FramePacer pacer(30.0, 100.0);
    EXPECT_TRUE(Decide(pacer, 100.0).keep);
    EXPECT_FALSE(Decide(pacer, 100.01).keep);              // Slot 0 again.
    const FramePacer::Decision d = Decide(pacer, 100.02);  // 0.6 of a period: slot 1.
    EXPECT_TRUE(d.keep);
    EXPECT_DOUBLE_EQ(d.time, 1.0 / 30.0);
    EXPECT_FALSE(Decide(pacer, 100.02).keep);  // Asking again keeps it only once.
    EXPECT_FALSE(Decide(pacer, 99.99).keep);   // Before the origin.
}

TEST(FramePacerTest, RoundsHalfPeriodsUpAndLeavesSkippedSlotsEmpty) {
    FramePacer pacer(4.0, 0.0);
    EXPECT_EQ(Decide(pacer, 0.125).time, 0.25);  // Exactly half a period: slot 1.
    EXPECT_FALSE(Decide(pacer, 0.2).keep);
    EXPECT_EQ(Decide(pacer, 0.375).time, 0.5);  // 1.5 periods: slot 2, not the even slot.
    EXPECT_EQ(Decide(pacer, 2.0).time, 2.0);
    EXPECT_FALSE(Decide(pacer, 1.0).keep);  // A skipped slot is not filled afterwards.
}

TEST(FramePacerTest, RateZeroAndUnusableRatesKeepFramesThatMoveForward) {
    for (double rate : {0.0, -5.0, kNaN, kInf}) {
        FramePacer pacer(rate, 100.0);
        EXPECT_EQ(pacer.framesPerSecond(), 0.0) << rate;
        EXPECT_EQ(Decide(pacer, 100.0).time, 0.0) << rate;
        const FramePacer::Decision d = Decide(pacer, 100.010);
        EXPECT_TRUE(d.keep) << rate;
        EXPECT_NEAR(d.time, 0.010, 1e-12) << rate;
        EXPECT_FALSE(Decide(pacer, 100.010).keep) << rate;
        EXPECT_FALSE(Decide(pacer, 100.005).keep) << rate;
    }
}

TEST(FramePacerTest, WithoutOriginTheFirstDecidedFrameSetsIt) {
    for (FramePacer pacer : {FramePacer(30.0), FramePacer(30.0, kNaN), FramePacer(30.0, -kInf)}) {
        EXPECT_TRUE(pacer.wouldKeepFrameAtTime(-1e9));
        const FramePacer::Decision d = Decide(pacer, 42.0);
        EXPECT_TRUE(d.keep);
        EXPECT_EQ(d.time, 0.0);
        EXPECT_FALSE(Decide(pacer, 41.9).keep);
        EXPECT_DOUBLE_EQ(Decide(pacer, 43.0).time, 1.0);
    }
}

// Times that are not finite, or too far out to number a slot, are dropped without setting the
// origin or holding back the frames that follow.
TEST(FramePacerTest, UnusableTimesAreDroppedWithoutSideEffects) {
    FramePacer unstarted(2.0);
    EXPECT_FALSE(Decide(unstarted, kNaN).keep);
    EXPECT_FALSE(Decide(unstarted, kInf).keep);
    EXPECT_EQ(Decide(unstarted, 10.5).time, 0.0);

    FramePacer paced(30.0, 0.0);
    EXPECT_FALSE(Decide(paced, 1e300).keep);
    EXPECT_TRUE(Decide(paced, 1.0).keep);

    FramePacer everyFrame(0.0, 0.0);
    EXPECT_FALSE(Decide(everyFrame, kInf).keep);
    EXPECT_TRUE(Decide(everyFrame, 1.0).keep);
}

}  // namespace
}  // namespace zarvo
