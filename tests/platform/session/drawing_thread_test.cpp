// The drawing thread's hand-over: a job is the thread's until it is taken back, taking back never
// happens before the job is done, and the thread ends only after the job in hand.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/session/drawing_thread.h"

namespace vl::session {
namespace {

using namespace std::chrono_literals;

TEST(DrawingThread, JobsAreTakenBackOnlyWhenDone) {
  std::atomic<int> finished{0};
  DrawingThread thread([&] { ++finished; });
  EXPECT_FALSE(thread.in_hand());
  EXPECT_FALSE(thread.Collect());  // nothing handed over
  thread.Wait();                   // returns at once

  std::atomic<bool> release{false};
  int value = 0;  // the job's; read here only once it is taken back
  thread.Start([&] {
    while (!release) std::this_thread::sleep_for(1ms);
    value = 42;
  });
  EXPECT_TRUE(thread.in_hand());
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(thread.Collect());  // still running
  EXPECT_TRUE(thread.in_hand());
  release = true;
  thread.Wait();
  EXPECT_FALSE(thread.in_hand());
  EXPECT_EQ(value, 42);

  // Done, then collected without waiting; a second collect finds nothing.
  thread.Start([&] { value = 7; });
  while (!thread.Collect()) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(value, 7);
  EXPECT_FALSE(thread.Collect());
  while (finished < 2) std::this_thread::sleep_for(1ms);
}

TEST(DrawingThread, EndsAfterTheJobInHand) {
  std::atomic<bool> ran{false};
  {
    DrawingThread thread(nullptr);
    thread.Start([&] {
      std::this_thread::sleep_for(30ms);
      ran = true;
    });
  }
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace vl::session
