#include "platform/session/drawing_thread.h"

#include <utility>

namespace vl::session {

DrawingThread::DrawingThread(std::function<void()> finished)
    : finished_(std::move(finished)), thread_([this] { Run(); }) {}

DrawingThread::~DrawingThread() {
  Wait();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void DrawingThread::Start(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    done_ = false;
  }
  in_hand_ = true;
  wake_.notify_all();
}

bool DrawingThread::Collect() {
  if (!in_hand_) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!done_) return false;
  in_hand_ = false;
  return true;
}

void DrawingThread::Wait() {
  if (!in_hand_) return;
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return done_; });
  in_hand_ = false;
}

void DrawingThread::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return quit_ || job_; });
      if (quit_ && !job_) return;
      job = std::move(job_);
      job_ = nullptr;
    }
    job();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (finished_) finished_();
  }
}

}  // namespace vl::session
