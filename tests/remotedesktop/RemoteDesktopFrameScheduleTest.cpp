#include "remotedesktop/RemoteDesktopFrameSchedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

using Clock = RemoteDesktopFrameSchedule::Clock;
constexpr std::chrono::nanoseconds kInterval = 33'333'333ns;

// Plays the frame loop in virtual time: the picture changes at the given
// moments, each frame takes `work` to make, and the loop is held up for
// `stall` after its first frame; the times frames were taken.
std::vector<Clock::duration> play(std::vector<Clock::duration> changes, Clock::duration until,
                                  Clock::duration work = 0ns, Clock::duration stall = 0ns)
{
    const Clock::time_point start{};
    RemoteDesktopFrameSchedule schedule(kInterval, start);
    std::sort(changes.begin(), changes.end());
    size_t nextChange = 0;
    std::vector<Clock::duration> frames;
    Clock::time_point now = start;
    while (now - start < until) {
        while (nextChange < changes.size() && start + changes[nextChange] <= now) {
            schedule.noteChange();
            ++nextChange;
        }
        const Clock::time_point due = schedule.nextFrame(now);
        if (due > now) {
            // Wait until then, or until the next change wakes the loop.
            Clock::time_point wake = due;
            if (nextChange < changes.size())
                wake = std::min(wake, start + changes[nextChange]);
            now = wake;
            continue;
        }
        frames.push_back(now - start);
        schedule.frameTaken(now);
        now += work + (frames.size() == 1 ? stall : 0ns);
    }
    return frames;
}

// The most frames in any window of the given length.
size_t busiestWindow(const std::vector<Clock::duration> &frames, Clock::duration window)
{
    size_t most = 0;
    for (size_t first = 0; first < frames.size(); ++first) {
        size_t count = 0;
        while (first + count < frames.size() && frames[first + count] - frames[first] < window)
            ++count;
        most = std::max(most, count);
    }
    return most;
}

} // namespace

TEST(RemoteDesktopFrameSchedule, ChangesFasterThanTheRateNeverProduceMoreFramesThanTheRate)
{
    std::vector<Clock::duration> changes;
    for (auto at = 1ms; at < 3s; at += 3ms)
        changes.push_back(at);
    // Also changes that land just after each slot's end and just before it.
    for (auto at = 0ns; at < 3s; at += kInterval) {
        changes.push_back(at + 1us);
        changes.push_back(at + kInterval - 1us);
    }
    // The last: a loop held up for ten intervals takes one frame then, not
    // the ten it missed.
    for (const auto &[work, stall] : std::vector<std::pair<Clock::duration, Clock::duration>>{
             {0ns, 0ns}, {5ms, 0ns}, {31ms, 0ns}, {0ns, 10 * kInterval}}) {
        const std::vector<Clock::duration> frames = play(changes, 90 * kInterval + stall, work, stall);
        // Frames a change brought are one interval apart at least...
        for (size_t i = 2; i < frames.size(); ++i)
            EXPECT_GE(frames[i] - frames[i - 1], kInterval) << "frame " << i << " work " << work.count();
        // ...so one slot per frame: at most one more than the slots of any
        // stretch (the frame that ended the still screen's last slot).
        EXPECT_LE(busiestWindow(frames, 30 * kInterval), 31u) << "work " << work.count();
        EXPECT_LE(frames.size(), 91u);
        EXPECT_GE(frames.size(), 85u);  // and the rate is kept
    }
}

TEST(RemoteDesktopFrameSchedule, AStillScreenYieldsOneFramePerIntervalAndASporadicChangeIsTakenAtOnce)
{
    const std::vector<Clock::duration> still = play({}, 60 * kInterval);
    ASSERT_EQ(still.size(), 60u);
    for (size_t i = 0; i < still.size(); ++i)
        EXPECT_EQ(still[i], i * kInterval);

    // A still screen, then changes in the middle of slots.
    const std::vector<Clock::duration> frames = play({500ms, 510ms, 800ms}, 1s);
    const auto at = [&](Clock::duration moment) {
        return std::find(frames.begin(), frames.end(), moment) != frames.end();
    };
    EXPECT_TRUE(at(500ms));                         // at once, not at the next slot's end
    EXPECT_TRUE(at(500ms + kInterval));             // 510 ms waits one interval after 500 ms
    EXPECT_FALSE(at(510ms));
    EXPECT_TRUE(at(800ms));
    EXPECT_EQ(busiestWindow(frames, 30 * kInterval), 30u);  // the changes took slots, they added no frames
}
