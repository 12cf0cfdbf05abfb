// Event delivery as the programs rely on it: trapping, passing outward, resuming, reporting.
#define KEL_SOURCE "tests/events"
#include <gtest/gtest.h>

#include "runtime/frame.h"

namespace {

const kel_string no_message = kel_lit("");
int handled, reached_after_signal, depth_seen[8], depth_count;

[[gnu::noinline]] void signal_15(int sub) { kel_signal(40, no_message, 15, sub, 0); }

[[gnu::noinline]] void deeper_signal_15(int sub)
{
    signal_15(sub);
    asm volatile("");   // a call of its own, not a jump into signal_15
}

// Arms a frame for 15, then signals from a nested call; the handler sees the record.
[[gnu::noinline]] int trap_nested_signal(void)
{
    KEL_ON_EVENT(15) {
        kel_event_record e = _kel_EVENT();
        handled++;
        return e.subevent;
    }
    deeper_signal_15(3);
    reached_after_signal++;
    return -1;
}

TEST(Events, TrappedOnceByTheInnermostFrameWithTheRecordFilledIn)
{
    handled = reached_after_signal = 0;
    EXPECT_EQ(trap_nested_signal(), 3);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(reached_after_signal, 0);
}

// Each activation arms a frame; its handler notes its depth and signals again from
// its own routine, which must go to the next activation out, never to itself.
[[gnu::noinline]] void activation(int n)
{
    volatile int local = n;
    KEL_ON_EVENT(15) {
        depth_seen[depth_count++] = local;
        kel_signal(16, no_message, 15, 1, 0);
        return;
    }
    if (n > 9)
        kel_signal(19, no_message, 15, 1, 0);
    activation(n + 3);
}

[[gnu::noinline]] void outermost(void)
{
    KEL_ON_EVENT(15) {
        depth_seen[depth_count++] = 0;
        return;
    }
    activation(1);
}

TEST(Events, AHandlerSignallingAgainPassesTheEventOutward)
{
    depth_count = 0;
    outermost();
    ASSERT_EQ(depth_count, 5);
    EXPECT_EQ(depth_seen[0], 10);
    EXPECT_EQ(depth_seen[1], 7);
    EXPECT_EQ(depth_seen[2], 4);
    EXPECT_EQ(depth_seen[3], 1);
    EXPECT_EQ(depth_seen[4], 0);
}

// A loop resumed after its handler keeps trapping events from deeper calls without
// arming again, however shallow the call that signals.
[[gnu::noinline]] int resumed_loop(void)
{
    volatile int round = 0;
    KEL_ON_EVENT(9, 15) {
        handled++;
        goto resume;
    }
resume:
    while (round < 4) {
        round = round + 1;
        if (round % 2)
            signal_15(round);
        else
            deeper_signal_15(round);
    }
    return round;
}

TEST(Events, AResumedBodyKeepsTrappingWithTheSameFrame)
{
    handled = 0;
    EXPECT_EQ(resumed_loop(), 4);
    EXPECT_EQ(handled, 4);
}

[[gnu::noinline]] void arm_and_return(void)
{
    KEL_ON_EVENT(15) {
        handled += 100;   // never: this routine has returned when the event comes
        return;
    }
}

// After a routine armed a frame and returned, a signal comes from the caller itself,
// from a routine called next at the same depth, or from deeper in another call chain.
[[gnu::noinline]] int signal_after_a_frame_has_gone(int how)
{
    KEL_ON_EVENT(15) {
        handled++;
        return 1;
    }
    arm_and_return();
    if (how == 0)
        kel_signal(41, no_message, 15, 0, 0);
    else if (how == 1)
        signal_15(0);
    else
        deeper_signal_15(0);
    return 0;
}

TEST(Events, AFrameOfARoutineThatHasReturnedIsNeverJumpedTo)
{
    for (int how = 0; how < 3; how++) {
        handled = 0;
        EXPECT_EQ(signal_after_a_frame_has_gone(how), 1) << how;
        EXPECT_EQ(handled, 1) << how;
    }
}

[[gnu::noinline]] int trap_only_9(void)
{
    KEL_ON_EVENT(9) {
        return 9;
    }
    signal_15(2);
    return 0;
}

[[gnu::noinline]] int outer_trap_15(void)
{
    KEL_ON_EVENT(15) {
        return 15;
    }
    return trap_only_9();
}

TEST(Events, AFrameLetsEventsItDoesNotListPassOutward)
{
    EXPECT_EQ(outer_trap_15(), 15);
}

TEST(EventsDeathTest, AnUntrappedEventEndsTheRunWithAOneLineReport)
{
    EXPECT_EXIT(kel_signal(14, kel_lit("string resolution fails"), 7, 1, 0),
                testing::ExitedWithCode(2),
                "^kel: unhandled event 7, sub-event 1, extra 0: string resolution fails, "
                "at tests/events line 14\n$");
    _kel_current_line = 33;
    _kel_current_file = "elsewhere/module";
    EXPECT_EXIT(signal_15(1), testing::ExitedWithCode(2),
                "^kel: unhandled event 15, sub-event 1, extra 0, at elsewhere/module line 33\n$");
    _kel_current_line = 0;
    _kel_current_file = nullptr;
}

}  // namespace
