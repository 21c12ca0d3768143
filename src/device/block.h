// The one file that knows which form is built. Under nvcc a block step is the
// lane's own call followed by a barrier; in the CPU form it is a loop over the
// lanes in ascending order, the end of the loop being the barrier. A third,
// test-only form (SMETP_THREADED_FORM) runs each lane on its own host thread
// and ends each step at a real barrier, so that a thread sanitizer sees two
// lanes that touch one word in one step.
#pragma once

#ifdef __CUDACC__
#define SMETP_FORM cudaform
#define DEVFN __device__ __forceinline__
// Every kernel runs blocks of at most 128 lanes, and is held to 64 registers a
// lane (eight blocks' worth of an SM's 65,536) so that registers never limit
// the blocks an SM holds before shared memory does.
#define KERNEL __global__ void __launch_bounds__(128, 8)
// A wide run's kernels keep their work (local search over hundreds of nodes)
// in registers: up to 128 a lane, four blocks an SM, which their few large
// runs never outnumber.
#define WIDE_KERNEL __global__ void __launch_bounds__(128, 4)
// A device routine kept as a call rather than inlined: its registers are
// then its own, so that a long search inside a kernel's loop does not make the
// loop's live values spill around it.
#define DEVCALL __device__ __noinline__
#define SHARED __shared__
#define DEV_CONSTANT __constant__
#define DEV_GLOBAL __device__
#elif defined(SMETP_THREADED_FORM)
#define SMETP_FORM threadform
#define DEVFN inline
#define KERNEL void
#define WIDE_KERNEL void
#define DEVCALL inline
// One instance per kernel, seen by all the lane threads; the blocks of a
// launch run one after another, so a block has it to itself.
#define SHARED static
#define DEV_CONSTANT inline
#define DEV_GLOBAL inline
#else
#define SMETP_FORM cpuform
#define DEVFN inline
#define KERNEL void
#define WIDE_KERNEL void
#define DEVCALL inline
#define SHARED
#define DEV_CONSTANT inline
#define DEV_GLOBAL inline
#endif

#include "device/random.h"

namespace SMETP_FORM {

enum { blockLanes = 128 };

#ifdef __CUDACC__

struct Block {
  template <class F>
  __device__ void step(F f) {
    f(int(threadIdx.x));
    __syncthreads();
  }
  // Advances stream t by `steps` single steps of lane t, for the lanes whose
  // `active` entry is set. No barrier: callers follow it with a step.
  template <class Active>
  __device__ void advanceOwnStreams(unsigned* streams, unsigned long long steps, Active active) {
    const int t = threadIdx.x;
    if (active(t)) advanceStream(streams, t, steps);
  }
};

// State that a lane keeps across a barrier: one value per thread.
template <class T>
struct PerLane {
  T v;
  __device__ T& operator[](int) { return v; }
};

DEVFN int lowestSetBit64(unsigned long long x) { return __ffsll((long long)x) - 1; }

// The block's index in its launch: the run it works on in a batch.
DEVFN int blockIndex() { return int(blockIdx.x); }

// Starts a kernel as `blocks` blocks of `lanes` lanes; launchResult() then
// tells whether the runtime took it.
#define LAUNCH_BLOCKS(kernel, blocks, lanes, ...) kernel<<<(blocks), (lanes)>>>(__VA_ARGS__)
inline int launchResult() { return int(cudaGetLastError()); }

#elif defined(SMETP_THREADED_FORM)

// Lane index and block index of the calling lane thread.
inline thread_local int threadLane = 0;
inline thread_local int threadBlock = 0;

inline int blockIndex() { return threadBlock; }

// Waits until every lane thread of the block has arrived (the block barrier).
void laneBarrier();
// Reports lane threadLane reaching for lane t's per-lane value.
void foreignLaneAccess(int t);
// Runs `blocks` blocks one after another, each as `lanes` threads that call
// body(context) with threadLane and threadBlock set; returns when all ended.
void runThreadedBlocks(unsigned blocks, unsigned lanes, void (*body)(void* context), void* context);
// 0, or gpuErrorLaunchFailure when a lane of the latest launch broke the rules
// of a block (a barrier some lanes skipped, another lane's per-lane value).
int threadedLaunchResult();

struct Block {
  template <class F>
  void step(F f) {
    f(threadLane);
    laneBarrier();
  }
  template <class Active>
  void advanceOwnStreams(unsigned* streams, unsigned long long steps, Active active) {
    const int t = threadLane;
    if (active(t)) advanceStream(streams, t, steps);
  }
};

// One value per lane thread, as in a register; only the owner may reach it.
template <class T>
struct PerLane {
  T v;
  T& operator[](int t) {
    if (t != threadLane) foreignLaneAccess(t);
    return v;
  }
};

inline int lowestSetBit64(unsigned long long x) { return __builtin_ctzll(x); }

#define LAUNCH_BLOCKS(kernel, blocks, lanes, ...)                                                  \
  do {                                                                                             \
    auto runLane = [&]() { kernel(__VA_ARGS__); };                                                 \
    runThreadedBlocks((blocks), (lanes), [](void* c) { (*static_cast<decltype(runLane)*>(c))(); }, \
                      &runLane);                                                                   \
  } while (0)
inline int launchResult() { return threadedLaunchResult(); }

#else

// Lane count and index of the block being run by this host thread.
inline thread_local int emulatedBlockLanes = blockLanes;
inline thread_local int emulatedBlockIndex = 0;

inline int blockIndex() { return emulatedBlockIndex; }

// Runs body(context, b) for every block b below `blocks`, spread over the
// emulator's worker threads; a single block runs on the calling thread. Blocks
// share nothing but what the kernel's parameters point to.
void runEmulatedBlocks(unsigned blocks, void (*body)(void* context, unsigned block), void* context);

struct Block {
  int count = emulatedBlockLanes;
  template <class F>
  void step(F f) {
    for (int t = 0; t < count; ++t) f(t);
  }
  template <class Active>
  void advanceOwnStreams(unsigned* streams, unsigned long long steps, Active active) {
    int lanes[blockLanes] = {};
    int n = 0;
    for (int t = 0; t < count && t < blockLanes; ++t)
      if (active(t)) lanes[n++] = t;
    advanceStreamsInterleaved(streams, lanes, n, steps);
  }
};

template <class T>
struct PerLane {
  T v[blockLanes];
  T& operator[](int t) { return v[t]; }
};

inline int lowestSetBit64(unsigned long long x) { return __builtin_ctzll(x); }

// Runs a kernel as `blocks` blocks of `lanes` lanes, each block on one host
// thread.
#define LAUNCH_BLOCKS(kernel, blocks, lanes, ...)                                               \
  do {                                                                                          \
    auto launchOneBlock = [&](unsigned b) {                                                     \
      emulatedBlockLanes = int(lanes);                                                          \
      emulatedBlockIndex = int(b);                                                              \
      kernel(__VA_ARGS__);                                                                      \
    };                                                                                          \
    runEmulatedBlocks(                                                                          \
        (blocks), [](void* c, unsigned b) { (*static_cast<decltype(launchOneBlock)*>(c))(b); }, \
        &launchOneBlock);                                                                       \
  } while (0)
inline int launchResult() { return 0; }

#endif

}  // namespace SMETP_FORM
