// DrawingThread: a thread of its own that runs one job at a time for the GUI thread. The GUI
// thread hands a job over and may not touch what the job uses until it has taken the job back,
// either when told it is done (a call queued to the GUI thread) or by waiting for it. So exactly
// one thread at a time owns what the jobs work on. No Qt, no GL here.
#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vl::session {

class DrawingThread {
 public:
  // `finished` runs on the drawing thread after each job (it posts the news to the GUI thread).
  explicit DrawingThread(std::function<void()> finished);
  // Waits for the job in hand, then ends the thread.
  ~DrawingThread();
  DrawingThread(const DrawingThread&) = delete;
  DrawingThread& operator=(const DrawingThread&) = delete;

  // GUI thread only. Hands `job` over; nothing may be in hand.
  void Start(std::function<void()> job);
  // True from Start until the job is taken back by Collect or Wait.
  bool in_hand() const { return in_hand_; }
  // Takes the job back if it is done; false when it still runs or nothing is in hand.
  bool Collect();
  // Blocks until the job in hand is done and takes it back; at once when nothing is in hand.
  void Wait();

 private:
  void Run();

  std::function<void()> finished_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::function<void()> job_;  // handed over, not yet started
  bool done_ = false;          // the job handed over last has finished
  bool quit_ = false;
  bool in_hand_ = false;  // GUI side
  std::thread thread_;
};

}  // namespace vl::session
