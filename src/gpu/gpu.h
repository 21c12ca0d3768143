// The runtime layer: the only way host code reaches the device. One interface,
// two backends: the emulator (device memory on the host heap, one 128-lane block
// run on the host) and, where built, the CUDA runtime. Host code never includes
// CUDA headers and never branches on the backend.
#pragma once

#include <cstddef>

// Result codes. 0 is success; the others mirror the runtime's meanings.
enum gpuError {
  gpuSuccess = 0,
  gpuErrorInvalidValue = 1,
  gpuErrorMemoryAllocation = 2,
  gpuErrorInitialization = 3,
  gpuErrorInvalidConfiguration = 9,
  gpuErrorInvalidSymbol = 13,
  gpuErrorInvalidDevicePointer = 17,
  gpuErrorInvalidMemcpyDirection = 21,
  gpuErrorNoDevice = 100,
  gpuErrorInvalidDevice = 101,
  gpuErrorLaunchFailure = 719,
};

enum gpuMemcpyKind { gpuMemcpyHostToDevice = 1, gpuMemcpyDeviceToHost = 2 };

// The properties the device report prints.
struct gpuDeviceProp {
  char name[256];
  int major;
  int minor;
  int clockRate;  // kHz
  int deviceOverlap;
  int kernelExecTimeoutEnabled;
  size_t totalGlobalMem;
  size_t totalConstMem;
  size_t memPitch;
  size_t textureAlignment;
  int multiProcessorCount;
  size_t sharedMemPerBlock;
  int regsPerBlock;
  int warpSize;
  int maxThreadsPerBlock;
  int maxThreadsDim[3];
  int maxGridSize[3];
};

// The kernels of the device code: the single run's four, and the batch's two
// (block b works on run b).
enum gpuKernel {
  kernelSrand = 0,
  kernelGenerateRandomPopulation = 1,
  kernelEvpopInitial = 2,
  kernelGAallInOneOperator = 3,
  kernelBatchInitial = 4,      // (BatchRun* runs, BatchControl* control, Chrom* pops)
  kernelBatchGenerations = 5,  // (BatchRun* runs, BatchControl* control, Chrom* pops)
  // The same two for the wide runs of a batch (the others' blocks return at
  // once, as the design's kernels return for wide runs); pops is unused.
  kernelBatchWideInitial = 6,
  kernelBatchWideGenerations = 7,
};

int gpuGetDeviceCount(int* count);
// The device that the calls run on.
int gpuGetDevice(int* device);
int gpuGetDeviceProperties(gpuDeviceProp* prop, int device);
int gpuMalloc(void** ptr, size_t bytes);
int gpuFree(void* ptr);
// The memory the device can still give: free device memory (CUDA), the
// host's available memory (the CPU form, whose device memory is the host's).
int gpuMemGetFree(size_t* bytes);
int gpuMemcpy(void* dst, const void* src, size_t bytes, gpuMemcpyKind kind);
int gpuMemset(void* ptr, int value, size_t bytes);
// Copies to and from a named device variable, at a byte offset into it.
int gpuMemcpyToSymbol(const char* symbol, const void* src, size_t bytes, size_t offset = 0);
int gpuMemcpyFromSymbol(void* dst, const char* symbol, size_t bytes, size_t offset = 0);
// Launches one block of blockThreads lanes with up to three device-address
// parameters, in parameter order. Kernels run one at a time in launch order.
int gpuLaunch(gpuKernel kernel, unsigned blockThreads, void* arg0, void* arg1 = nullptr,
              void* arg2 = nullptr);
// Launches `blocks` blocks of blockThreads lanes (the batch kernels).
int gpuLaunchBlocks(gpuKernel kernel, unsigned blocks, unsigned blockThreads, void* arg0,
                    void* arg1 = nullptr, void* arg2 = nullptr);
// How a batch spreads its resident runs ("slots") over host threads: each of
// `threads` threads owns a share of the `slots` and launches the batch
// kernels on its share alone.
struct gpuBatchShape {
  int threads;
  int slots;
  // Blocks the form runs at the same time: the CPU form's workers, the CUDA
  // form's multiprocessors x the wide kernels' resident blocks on each.
  int concurrent;
};
// The shape for `jobs` host workers and `resident` runs asked for (0: the
// form's default). The CPU form gives each of `jobs` threads its own slots
// (one each by default) and from then on runs every launch on the thread
// that makes it, so that a worker carries its runs through all their
// launches without waiting for others; the CUDA form launches from one
// thread over 2 x multiprocessors x resident blocks per multiprocessor slots
// by default, so that the device always has a next block to start.
// `islands` > 1: a run of that many blocks (islands that exchange
// chromosomes between launches) must lie in one thread's share; the CPU form
// then launches from one thread over at least `islands` slots and spreads
// the blocks of each launch over `jobs` workers.
gpuBatchShape gpuBatchPlan(int jobs, int resident, int islands = 1);
// Worker threads that the CPU form spreads the blocks of a launch over
// (default: the processor count); the CUDA form ignores it.
void gpuSetHostWorkers(int workers);
const char* gpuGetErrorString(int error);
// The error of the calling thread's latest failed launch that no copy or fill
// has returned yet, left in place (gpuSuccess when there is none). A launch's
// error is returned by the launch and, once, by the thread's next copy or
// fill.
int gpuPeekAtLastError();

// Which backend serves the calls: "cpu" or "cuda". The choice is made on the
// first call: SMETP_BACKEND=cpu|cuda forces one; otherwise the CUDA backend
// when it is built and the runtime reports a usable device (the first of
// compute capability 7.5 or later on which the process can run), else the
// emulator, with one line on standard error that says why.
const char* gpuBackendName();
// With true, the choice of the first call says nothing on standard error
// (a batch run with --quiet); the notice is otherwise printed once a process.
void gpuQuietNotices(bool quiet);
// Forces a backend before first use ("cpu" or "cuda"); returns false when the
// name is unknown or that backend is not built.
bool gpuSelectBackend(const char* name);
