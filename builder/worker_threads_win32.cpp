#include <windows.h>

#include <vector>

#include "builder/worker_threads.h"

struct WorkerThreads::Handles {
  std::vector<HANDLE> threads;
};

namespace {

DWORD WINAPI RunJob(void* job) {
  (*static_cast<std::function<void()>*>(job))();
  return 0;
}

}  // namespace

WorkerThreads::WorkerThreads(int count, std::function<void()> job) : job_(std::move(job)), handles_(new Handles) {
  for (int i = 0; i < count; ++i) {
    HANDLE t = CreateThread(nullptr, 0, RunJob, &job_, 0, nullptr);
    // Without a thread the others, or the caller, take the work: the output is the same.
    if (t) handles_->threads.push_back(t);
  }
}

WorkerThreads::~WorkerThreads() {
  for (HANDLE t : handles_->threads) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
}

int WorkerThreads::started() const { return static_cast<int>(handles_->threads.size()); }

int ProcessorCount() {
  DWORD_PTR process = 0, system = 0;
  int n = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    for (; process; process &= process - 1) ++n;
  }
  return n > 0 ? n : 1;
}

void PauseBriefly() { Sleep(5); }
