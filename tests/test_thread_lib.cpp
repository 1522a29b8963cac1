// The thread layer: start, join and the mutexes.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "threads/thread_lib.h"
#include "support/test_util.h"

using namespace sonvar;  // the library internals under test

class ThreadLibTest : public ::testing::Test {
 protected:
  pthread_mutex_t mutex;
  void SetUp() override { th_lib_mutex_init(&mutex); }
  void TearDown() override { pthread_mutex_destroy(&mutex); }
};

namespace {

struct CounterWork {
  pthread_mutex_t *mutex;
  long *counter;
  int rounds;
};

void *count_under_lock(void *argument) {
  auto *work = static_cast<CounterWork *>(argument);
  for (int k = 0; k < work->rounds; k++) {
    th_lib_mutex_lock(work->mutex);
    ++*work->counter;
    th_lib_mutex_unlock(work->mutex);
  }
  return nullptr;
}

}  // namespace

TEST_F(ThreadLibTest, ConcurrentCountersUnderTheMutexAddUp) {
  long counter = 0;
  CounterWork work{&mutex, &counter, 50000};
  std::vector<pthread_t> threads;
  for (int t = 0; t < 3; t++) threads.push_back(th_lib_create_new_thread(count_under_lock, &work));
  pthread_t checked{};
  ASSERT_EQ(th_lib_start_thread(&checked, count_under_lock, &work), 0);
  threads.push_back(checked);
  th_lib_wait_for_threads(threads.data(), static_cast<int>(threads.size()));
  EXPECT_EQ(counter, 4L * 50000);
}

// A lock held far longer than the spin before sleeping: the waiter takes
// it only once it is let go.
TEST_F(ThreadLibTest, AWaiterTakesALongHeldMutexOnlyOnceItIsReleased) {
  struct Waiter {
    pthread_mutex_t *mutex;
    std::atomic<bool> inside{false};
  } waiter{&mutex};
  th_lib_mutex_lock(&mutex);
  pthread_t thread = th_lib_create_new_thread(
      [](void *argument) -> void * {
        auto *w = static_cast<Waiter *>(argument);
        th_lib_mutex_lock(w->mutex);
        w->inside = true;
        th_lib_mutex_unlock(w->mutex);
        return nullptr;
      },
      &waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(waiter.inside);
  th_lib_mutex_unlock(&mutex);
  th_lib_wait_for_threads(&thread, 1);
  EXPECT_TRUE(waiter.inside);
}

TEST_F(ThreadLibTest, WaitingOnNoThreadsDoesNothing) {
  EXPECT_EQ(sonvar_test::capture_stdout([] { th_lib_wait_for_threads(nullptr, 0); }), "");
}

TEST_F(ThreadLibTest, UnlockAndReadWriteLockReportStatus) {
  th_lib_mutex_lock(&mutex);
  EXPECT_EQ(th_lib_mutex_unlock(&mutex), 0);
  pthread_rwlock_t lock;
  EXPECT_EQ(th_lib_rw_mutex_init(&lock), 0);
  EXPECT_EQ(th_lib_rw_mutex_lock(&lock), 0);
  EXPECT_EQ(th_lib_rw_mutex_lock(&lock), 0);  // a shared lock may be taken twice
  EXPECT_EQ(th_lib_rw_mutex_unlock(&lock), 0);
  EXPECT_EQ(th_lib_rw_mutex_unlock(&lock), 0);
  pthread_rwlock_destroy(&lock);
}
