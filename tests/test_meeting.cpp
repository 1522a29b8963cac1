// The workers' meeting (threads/meeting.h): rounds and their step done
// once, and a failing worker releasing the others.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "threads/meeting.h"

namespace {

using sonvar::Meeting;
using sonvar::MeetingBroken;

// Three workers meet 300 times. At each meeting the step sees every
// worker's count of the round (written before its wait, without a lock) and
// publishes the round; every worker then reads the round the step
// published, so no worker runs ahead or reads a stale value.
TEST(MeetingTest, ConcurrentWorkersMeetEveryRoundAndSeeTheStep) {
  constexpr int kWorkers = 3, kRounds = 300;
  Meeting meeting;
  meeting.set_workers(kWorkers);
  struct Shared {
    int counts[kWorkers] = {};
    int published = -1;
    int steps = 0;
    bool counts_seen = true;
  } shared;
  std::vector<int> stale(kWorkers, 0);
  auto step = [](void *context) {
    auto *s = static_cast<Shared *>(context);
    for (int w = 0; w < kWorkers; w++) s->counts_seen &= s->counts[w] == s->steps + 1;
    s->published = s->steps++;
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; w++)
    threads.emplace_back([&, w] {
      for (int r = 0; r < kRounds; r++) {
        shared.counts[w] = r + 1;
        meeting.wait(step, &shared);
        stale[w] += shared.published != r;
        meeting.wait(nullptr, nullptr);  // the counts are written again only after every read
      }
    });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(shared.steps, kRounds);
  EXPECT_TRUE(shared.counts_seen);
  EXPECT_EQ(stale, std::vector<int>(kWorkers, 0));
}

// A worker that leaves, or whose step throws, releases the others with
// MeetingBroken (their wait returns no more), however the arrivals fall;
// the step's own exception reaches the worker that ran it.
TEST(MeetingTest, ConcurrentWorkersAreReleasedWhenOneFails) {
  for (int throwing = 0; throwing <= 1; throwing++) {
    Meeting meeting;
    meeting.set_workers(3);
    std::atomic<int> broken{0}, thrown{0};
    auto failing_step = [](void *) { throw std::runtime_error("step"); };
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; w++)
      threads.emplace_back([&, w] {
        try {
          for (int r = 0; r < 1000; r++) {
            if (w == 0 && r == 7 && !throwing) {
              meeting.leave();
              return;
            }
            meeting.wait(r == 7 && throwing ? +failing_step : nullptr, nullptr);
          }
        } catch (const MeetingBroken &) {
          broken++;
        } catch (const std::runtime_error &) {
          thrown++;
        }
      });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(thrown.load(), throwing) << throwing;
    EXPECT_EQ(broken.load(), 2) << throwing;
  }
}

}  // namespace
