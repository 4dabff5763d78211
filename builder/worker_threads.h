// Threads for the compressed writer: the Windows cross compiler's C++ library has no
// std::thread, so each platform starts its own. Only std::atomic is shared between them.
#pragma once

#include <functional>
#include <memory>

class WorkerThreads {
 public:
  // Starts `count` threads, each running `job`.
  WorkerThreads(int count, std::function<void()> job);
  ~WorkerThreads();  // waits for every thread
  // How many started; 0 when the system gave none, and the caller must do the work itself.
  int started() const;
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  struct Handles;

 private:
  std::function<void()> job_;
  std::unique_ptr<Handles> handles_;
};

// The processors this program may use; at least 1.
int ProcessorCount();
// Gives the processor away for a few milliseconds.
void PauseBriefly();
