// The scene session without a window: changes posted from any thread are made on the owner's
// thread in order, before the tick that shows them; a snapshot is never half of one change; a
// session ends cleanly with a tick in flight; frames come back at their tick's size, opaque.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "engine/random.h"
#include "platform/session/scene_session.h"
#include "render/render_assets.h"
#include "tests/render/gl_test_context.h"

namespace vl::session {
namespace {

using namespace std::chrono_literals;

// A session with its context, or the reason there is none.
struct Fixture {
  render::RenderAssets assets;
  vl::Random random;
  std::atomic<int> ticks_done{0};
  std::unique_ptr<SceneSession> session =
      std::make_unique<SceneSession>(assets, random, [this] { ticks_done.fetch_add(1); });
  std::string error;
  bool started = session->Start(64, 48, 0, &error);

  // Runs ticks until `done` holds (or a few seconds pass); the results, in order.
  template <typename Done>
  std::vector<TickResult> TickUntil(Done done) {
    std::vector<TickResult> results;
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < until) {
      session->StartTick({64, 48, false, 0});
      if (auto r = session->AwaitResult()) results.push_back(std::move(*r));
    }
    return results;
  }
};

#define VL_SESSION(f) \
  Fixture f; \
  if (!(f).started) { \
    if (::vl::test::RunningInCi()) FAIL() << (f).error; \
    GTEST_SKIP() << "no headless OpenGL context (" << (f).error << ")"; \
  }

TEST(SceneSession, ChangesPostedFromAnotherThreadAreMadeOnTheOwnersThreadInOrder) {
  VL_SESSION(f);
  const auto owner = std::this_thread::get_id();
  constexpr int kChanges = 200;
  std::vector<int> order;
  std::atomic<int> off_owner{0};
  std::atomic<int> posted_told{0};
  f.session->set_posted([&] { posted_told.fetch_add(1); });
  std::thread poster([&] {
    for (int i = 0; i < kChanges; ++i) {
      f.session->Post([&, i](engine::SceneState& s, engine::SequenceAssets&) {
        if (std::this_thread::get_id() != owner) off_owner.fetch_add(1);
        order.push_back(i);
        s.export_preset = i;
      });
      if (i % 16 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  const auto results = f.TickUntil([&] { return f.session->snapshot().changes_made == kChanges; });
  poster.join();
  f.TickUntil([&] { return f.session->snapshot().changes_made == kChanges; });
  ASSERT_EQ(order.size(), static_cast<size_t>(kChanges));
  for (int i = 0; i < kChanges; ++i) ASSERT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_EQ(off_owner.load(), 0) << "a change ran on another thread than the owner's";
  EXPECT_EQ(posted_told.load(), kChanges) << "a change from another thread waits: the owner is told of each";
  EXPECT_EQ(f.session->snapshot().export_preset, kChanges - 1);
  int counted = 0;
  for (const TickResult& r : results) counted += r.changes;
  EXPECT_LE(counted, kChanges);
}

TEST(SceneSession, AChangePostedWhileATickDrawsIsMadeWhenTheSceneComesBackAndCountedInTheNextTick) {
  VL_SESSION(f);
  ASSERT_TRUE(f.session->StartTick({64, 48, false, 0}));
  // From the owner's thread while the tick draws: not made now (the scene is the drawing's).
  bool made = false;
  f.session->Post([&](engine::SceneState& s, engine::SequenceAssets&) { made = true, s.resize_to_preset = 7; });
  EXPECT_FALSE(made && f.session->tick_in_hand()) << "a change was made while the drawing thread had the scene";
  const auto first = f.session->AwaitResult();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->changes, 0);
  // Made before anything the owner does next with the scene (a load after a Stop loads stopped).
  EXPECT_TRUE(made);
  EXPECT_EQ(f.session->SceneNow().resize_to_preset, 7);
  ASSERT_TRUE(f.session->StartTick({64, 48, false, 0}));
  const auto second = f.session->AwaitResult();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->changes, 1);
  EXPECT_LE(second->oldest_change, second->started);
  EXPECT_LE(second->started, second->finished);
  EXPECT_EQ(f.session->snapshot().resize_to_preset, 7);
  // A change made before a tick the frame-rate lock skips is counted in the next frame drawn.
  f.session->SceneNow().lock_frame_rate = 1;
  f.session->SceneNow().locked_fps = 1;
  f.session->Post([](engine::SceneState& s, engine::SequenceAssets&) { s.resize_to_preset = 8; });
  ASSERT_TRUE(f.session->StartTick({64, 48, false, 0}));
  const auto skipped = f.session->AwaitResult();
  ASSERT_TRUE(skipped);
  EXPECT_FALSE(skipped->drawn) << "a second tick within the locked frame's second";
  f.session->SceneNow().lock_frame_rate = 0;
  ASSERT_TRUE(f.session->StartTick({64, 48, false, 0}));
  const auto drawn = f.session->AwaitResult();
  ASSERT_TRUE(drawn && drawn->drawn);
  EXPECT_EQ(drawn->changes, 1);
}

TEST(SceneSession, HoldsKeepTicksAndChangesOutAndNest) {
  VL_SESSION(f);
  bool made = false;
  {
    SceneSession::Hold outer(*f.session);
    EXPECT_TRUE(outer.gl());
    {
      SceneSession::Hold inner(*f.session);
      EXPECT_FALSE(inner.gl()) << "the inner hold shares the outer one's context";
    }
    f.session->Post([&](engine::SceneState&, engine::SequenceAssets&) { made = true; });
    EXPECT_FALSE(made) << "a change posted during a hold waits for it to end";
    EXPECT_FALSE(f.session->StartTick({64, 48, false, 0}));
    EXPECT_FALSE(f.session->tick_in_hand());
  }
  EXPECT_FALSE(made);
  EXPECT_TRUE(f.session->StartTick({64, 48, false, 0}));
  EXPECT_TRUE(made);
  f.session->AwaitResult();
  // A change asking for another while changes are made gets it made at once, in place.
  std::vector<int> order;
  f.session->Post([&](engine::SceneState&, engine::SequenceAssets&) {
    order.push_back(1);
    f.session->Post([&](engine::SceneState&, engine::SequenceAssets&) { order.push_back(2); });
    order.push_back(3);
  });
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SceneSession, ASnapshotIsNeverHalfOfAChange) {
  VL_SESSION(f);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0}, backwards{0}, reads{0};
  std::thread reader([&] {
    int last = -1;
    while (!stop.load()) {
      const Snapshot s = f.session->snapshot();
      if (s.export_preset != s.resize_to_preset) torn.fetch_add(1);
      if (s.export_preset < last) backwards.fetch_add(1);
      last = s.export_preset;
      reads.fetch_add(1);
    }
  });
  for (int i = 1; i <= 300; ++i) {
    f.session->Post([i](engine::SceneState& s, engine::SequenceAssets&) {
      s.export_preset = i;
      std::this_thread::yield();
      s.resize_to_preset = i;
    });
    if (i % 10 == 0) {
      f.session->StartTick({64, 48, false, 0});
      if (i % 20 == 0) f.session->AwaitResult();
    }
  }
  f.session->AwaitResult();
  f.session->StartTick({64, 48, false, 0});  // the changes posted during the last tick
  f.session->AwaitResult();
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(backwards.load(), 0);
  EXPECT_EQ(f.session->snapshot().export_preset, 300);
}

TEST(SceneSession, EndsCleanlyWithATickInFlightAndChangesWaiting) {
  for (int round = 0; round < 5; ++round) {
    VL_SESSION(f);
    const int jobs = f.ticks_done.load();  // the context's making was one
    ASSERT_TRUE(f.session->StartTick({64 + round, 48, false, 0}));
    std::atomic<bool> stop{false};
    std::thread poster([&] {
      while (!stop.load()) f.session->Post([](engine::SceneState& s, engine::SequenceAssets&) { ++s.export_preset; });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    stop = true;
    poster.join();
    f.session.reset();  // the tick in hand finishes first; the waiting changes are dropped
    EXPECT_EQ(f.ticks_done.load(), jobs + 1);
  }
}

TEST(SceneSession, FramesComeBackAtTheSizeTheirTickAskedAndOpaque) {
  VL_SESSION(f);
  // A loop-less scene draws its background; with the size changed between ticks, each frame
  // comes back at the size its tick asked for.
  for (const auto& size : {std::pair{64, 48}, std::pair{33, 17}}) {
    std::optional<TickResult> r;
    for (int i = 0; i < 50 && !(r && r->drawn); ++i) {
      f.session->StartTick({size.first, size.second, false, 0});
      r = f.session->AwaitResult();
      if (!r->drawn) std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(r && r->drawn);
    ASSERT_EQ(r->frame.width, size.first);
    ASSERT_EQ(r->frame.height, size.second);
    ASSERT_EQ(r->frame.pixels->size(), static_cast<size_t>(size.first * size.second));
    for (uint32_t p : *r->frame.pixels) ASSERT_EQ(p >> 24, 0xFFu);
  }
}

}  // namespace
}  // namespace vl::session
