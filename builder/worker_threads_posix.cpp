#include <chrono>
#include <thread>
#include <vector>

#include "builder/worker_threads.h"

struct WorkerThreads::Handles {
  std::vector<std::thread> threads;
};

WorkerThreads::WorkerThreads(int count, std::function<void()> job) : job_(std::move(job)), handles_(new Handles) {
  for (int i = 0; i < count; ++i) handles_->threads.emplace_back(job_);
}

WorkerThreads::~WorkerThreads() {
  for (std::thread& t : handles_->threads) t.join();
}

int WorkerThreads::started() const { return static_cast<int>(handles_->threads.size()); }

int ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

void PauseBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }
