#include "platform/device_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long each side looks for the other before it sleeps: most calls (a read the page cache
// answers, a query) return within it, and the reads of a drive follow each other closer than
// that, so the hand-off seldom has to wake a thread.
constexpr auto kSpinTime = std::chrono::microseconds(50);

// Waits up to kSpinTime for `done` to become true, without sleeping.
template <typename Done>
void Spin(Done done) {
  const Clock::time_point until = Clock::now() + kSpinTime;
  while (!done() && Clock::now() < until) std::this_thread::yield();
}

// One worker thread and the call handed to it. The scan and the thread share it; the thread of
// an abandoned worker keeps it for as long as its call runs.
struct Worker {
  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> call;         // handed over and not yet taken
  std::atomic<uint64_t> handed{0};    // calls handed over
  std::atomic<uint64_t> finished{0};  // calls that have returned
  DWORD lastError = 0;                // the code the last call that returned left
  uint64_t threadNumber = 0;          // CurrentThreadNumber of its thread
  bool stop = false;                  // the thread is to end once idle
  bool abandoned = false;             // the thread is to end when its call returns
  std::thread thread;                 // joined when stopped, detached when abandoned
};

uint32_t timeoutSeconds = kDefaultDeviceTimeout;
std::shared_ptr<Worker> current;
std::vector<std::shared_ptr<Worker>> abandoned;
bool turnStalled = false;

// The worker thread: runs each call handed over, with a last error of its own, until stopped or
// abandoned.
void Serve(const std::shared_ptr<Worker>& worker) {
  std::unique_lock<std::mutex> lock(worker->mutex);
  worker->threadNumber = CurrentThreadNumber();
  while (true) {
    lock.unlock();
    Spin([&worker] { return worker->handed > worker->finished; });
    lock.lock();
    worker->changed.wait(lock,
                         [&worker] { return worker->stop || worker->handed > worker->finished; });
    if (worker->handed == worker->finished) return;
    std::function<void()> call = std::move(worker->call);
    worker->call = nullptr;
    lock.unlock();
    SetLastError(ERROR_SUCCESS);
    call();
    const DWORD error = GetLastError();
    call = nullptr;  // what the call holds goes here, on its own thread
    lock.lock();
    worker->lastError = error;
    ++worker->finished;
    worker->changed.notify_all();
    if (worker->abandoned) return;
  }
}

// Starts a fresh worker as the current one; false when no thread can be started.
bool StartWorker() {
  auto worker = std::make_shared<Worker>();
  try {
    worker->thread = std::thread([worker] { Serve(worker); });
  } catch (const std::system_error&) {
    return false;
  }
  current = std::move(worker);
  return true;
}

}  // namespace

bool ParseDeviceTimeout(const std::string& text, uint32_t& seconds) {
  // Four digits at most: 3600 has four, and a longer text cannot overflow the sum below.
  if (text.empty() || text.size() > 4 || text[0] == '0') return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value < kShortestDeviceTimeout || value > kLongestDeviceTimeout) return false;
  seconds = value;
  return true;
}

void SetDeviceTimeout(uint32_t seconds) {
  timeoutSeconds = seconds < kShortestDeviceTimeout  ? kShortestDeviceTimeout
                   : seconds > kLongestDeviceTimeout ? kLongestDeviceTimeout
                                                     : seconds;
}

uint32_t DeviceTimeout() {
  return timeoutSeconds;
}

void BeginDeviceTurn() {
  turnStalled = false;
}

bool RunDeviceCall(std::function<void()> call) {
  if (turnStalled) return false;
  if (current == nullptr && !StartWorker()) {
    call();
    return true;
  }
  Worker& worker = *current;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  std::unique_lock<std::mutex> lock(worker.mutex);
  worker.call = std::move(call);
  const uint64_t number = ++worker.handed;
  worker.changed.notify_all();
  lock.unlock();
  Spin([&worker, number] { return worker.finished >= number; });
  lock.lock();
  if (!worker.changed.wait_until(lock, deadline,
                                 [&worker, number] { return worker.finished >= number; })) {
    // Left to its thread, which ends when (if ever) the call returns.
    worker.abandoned = true;
    lock.unlock();
    worker.thread.detach();
    abandoned.push_back(std::move(current));
    current = nullptr;
    turnStalled = true;
    return false;
  }
  const DWORD error = worker.lastError;
  lock.unlock();
  SetLastError(error);
  return true;
}

int32_t EndDeviceWork(int32_t status) {
  if (!abandoned.empty()) {
    std::vector<uint64_t> blocked;
    for (const std::shared_ptr<Worker>& worker : abandoned) {
      std::lock_guard<std::mutex> lock(worker->mutex);
      if (worker->finished < worker->handed) blocked.push_back(worker->threadNumber);
    }
    EndWithBlockedCalls(status, blocked);
  }
  if (current != nullptr) {
    {
      std::lock_guard<std::mutex> lock(current->mutex);
      current->stop = true;
      current->changed.notify_all();
    }
    current->thread.join();
    current = nullptr;
  }
  return status;
}
