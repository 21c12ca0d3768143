// The threaded form's blocks: each lane of a block is a host thread that runs
// the kernel, and every block step ends at a barrier that a thread sanitizer
// understands: the work of every lane before a barrier is ordered before the
// work of every lane after it, and nothing orders two lanes' work within one
// step.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "device/block.h"
#include "gpu/gpu.h"

namespace threadform {

namespace {

// The barrier of one block: arriving lanes wait until every lane still
// running has arrived; a lane whose kernel returned no longer counts, so the
// others are not held forever (the skipped barriers are reported afterwards).
// Arrivals are counted under a mutex, whose hand-overs order each lane's work
// before the last arrival; the last arrival opens the next phase with a
// release store that the waiters read with acquire loads, sleeping on the
// phase word in between, so that a release wakes them without a second round
// through the mutex.
struct BlockBarrier {
  std::mutex lock;
  unsigned running = 0;
  unsigned arrived = 0;
  std::atomic<unsigned> phase{0};
  static_assert(sizeof(std::atomic<unsigned>) == sizeof(int), "the phase is a futex word");

  void arriveAndWait() {
    unsigned mine;
    {
      std::lock_guard<std::mutex> g(lock);
      mine = phase.load(std::memory_order_relaxed);
      if (++arrived == running) {
        open();
        return;
      }
    }
    while (phase.load(std::memory_order_acquire) == mine)
      syscall(SYS_futex, reinterpret_cast<int*>(&phase), FUTEX_WAIT_PRIVATE, int(mine), nullptr,
              nullptr, 0);
  }
  void leave() {
    std::lock_guard<std::mutex> g(lock);
    --running;
    if (arrived > 0 && arrived == running) open();
  }
  // Called with the lock held.
  void open() {
    arrived = 0;
    phase.fetch_add(1, std::memory_order_release);
    syscall(SYS_futex, reinterpret_cast<int*>(&phase), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
  }
};

thread_local BlockBarrier* ownBarrier = nullptr;
thread_local unsigned long long barriersPassed = 0;
std::atomic<bool> launchFault{false};

}  // namespace

void laneBarrier() {
  ++barriersPassed;
  ownBarrier->arriveAndWait();
}

void foreignLaneAccess(int t) {
  std::fprintf(stderr, "threaded form: block %d, lane %d reached lane %d's per-lane value\n",
               threadBlock, threadLane, t);
  launchFault = true;
}

void runThreadedBlocks(unsigned blocks, unsigned lanes, void (*body)(void* context),
                       void* context) {
  launchFault = false;
  for (unsigned b = 0; b < blocks; ++b) {
    BlockBarrier barrier;
    barrier.running = lanes;
    std::vector<unsigned long long> passed(lanes);
    std::vector<std::thread> threads;
    threads.reserve(lanes);
    for (unsigned t = 0; t < lanes; ++t)
      threads.emplace_back([&, t] {
        // The name that sanitizer reports give the thread.
        char name[16];
        std::snprintf(name, sizeof name, "b%u lane %u", b % 1000, t % 1000);
        pthread_setname_np(pthread_self(), name);
        threadLane = int(t);
        threadBlock = int(b);
        ownBarrier = &barrier;
        barriersPassed = 0;
        body(context);
        passed[t] = barriersPassed;
        barrier.leave();
      });
    for (std::thread& th : threads) th.join();
    for (unsigned t = 1; t < lanes; ++t)
      if (passed[t] != passed[0]) {
        std::fprintf(stderr,
                     "threaded form: block %u, lane 0 passed %llu barriers but lane %u "
                     "passed %llu\n",
                     b, passed[0], t, passed[t]);
        launchFault = true;
        break;
      }
  }
}

int threadedLaunchResult() { return launchFault ? int(gpuErrorLaunchFailure) : 0; }

}  // namespace threadform
