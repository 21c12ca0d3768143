#include "gpu/gpu.h"

#include <errno.h>  // program_invocation_short_name

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "gpu/backend.h"

namespace {

#ifndef SMETP_HAVE_CUDA
int noDevice() { return gpuErrorNoDevice; }
const gpuBackend noDeviceBackend = {
    "cuda",
    [] { return false; },
    [](int*) { return noDevice(); },
    [](int*) { return noDevice(); },
    [](gpuDeviceProp*, int) { return noDevice(); },
    [](void**, size_t) { return noDevice(); },
    [](void*) { return noDevice(); },
    [](size_t*) { return noDevice(); },
    [](void*, const void*, size_t, gpuMemcpyKind) { return noDevice(); },
    [](void*, int, size_t) { return noDevice(); },
    [](const char*, const void*, size_t, size_t) { return noDevice(); },
    [](void*, const char*, size_t, size_t) { return noDevice(); },
    [](gpuKernel, unsigned, unsigned, void*, void*, void*) { return noDevice(); },
    gpuCommonErrorString,
    [](int, int resident, int islands) {
      return gpuBatchShape{1, std::max(resident > 0 ? resident : 1, islands), 1};
    },
};
#endif

std::atomic<const gpuBackend*> active{nullptr};
// Whether the fallback notice stays unsaid (a batch run with --quiet).
std::atomic<bool> quietNotices{false};

// The error of the latest failed launch, returned by the next copy or fill, so
// that a launch that never ran also fails the next synchronising call, as the
// runtime reports faults of running kernels there. Kept per host thread, as
// the runtime keeps its last error, since the threads of a batch launch
// independently.
thread_local int heldLaunchError = gpuSuccess;

int takeHeldLaunchError() {
  const int e = heldLaunchError;
  heldLaunchError = gpuSuccess;
  return e;
}

const gpuBackend* chooseBackend() {
  const char* forced = std::getenv("SMETP_BACKEND");
  if (forced && *forced) {
#ifdef SMETP_HAVE_CUDA
    if (std::strcmp(forced, "cuda") == 0) return &cudaBackend;
#else
    // A forced CUDA backend in a build without it answers every call with
    // "no device", so the run stops with a clear runtime error.
    if (std::strcmp(forced, "cuda") == 0) return &noDeviceBackend;
#endif
    if (std::strcmp(forced, "cpu") == 0) return &emulatorBackend;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: SMETP_BACKEND must be cpu or cuda, not \"%s\"\n",
                 program_invocation_short_name, forced);
    std::exit(1);
  }
#ifdef SMETP_HAVE_CUDA
  if (cudaBackend.available()) return &cudaBackend;
  if (!quietNotices) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: no usable CUDA device (%s), running the CPU form\n",
                 program_invocation_short_name, cudaUnavailableReason());
  }
#endif
  return &emulatorBackend;
}

// The backend, chosen on the first call of the process: once only, even when
// several threads make their first call together, so that the fallback
// notice is printed at most once.
const gpuBackend& backend() {
  const gpuBackend* b = active.load();
  if (b) return *b;
  static std::once_flag chosen;
  std::call_once(chosen, [] {
    if (!active.load()) active.store(chooseBackend());
  });
  return *active.load();
}

}  // namespace

const char* gpuCommonErrorString(int error) {
  switch (error) {
    case gpuSuccess:
      return "no error";
    case gpuErrorInvalidValue:
      return "invalid argument";
    case gpuErrorMemoryAllocation:
      return "out of memory";
    case gpuErrorInitialization:
      return "initialization error";
    case gpuErrorLaunchFailure:
      return "unspecified launch failure";
    case gpuErrorInvalidConfiguration:
      return "invalid configuration argument";
    case gpuErrorInvalidSymbol:
      return "invalid device symbol";
    case gpuErrorInvalidDevicePointer:
      return "invalid device pointer";
    case gpuErrorInvalidMemcpyDirection:
      return "invalid copy direction for memcpy";
    case gpuErrorNoDevice:
      return "no CUDA-capable device is detected";
    case gpuErrorInvalidDevice:
      return "invalid device ordinal";
    default:
      return "unknown error";
  }
}

int findSymbolRange(const DeviceSymbol (&table)[deviceSymbolCount], const char* name, size_t bytes,
                    size_t offset, const void* hostPtr, const DeviceSymbol** found) {
  if (!name) return gpuErrorInvalidSymbol;
  for (const DeviceSymbol& s : table) {
    if (std::strcmp(s.name, name) != 0) continue;
    if (offset > s.bytes || bytes > s.bytes - offset || (bytes && !hostPtr))
      return gpuErrorInvalidValue;
    *found = &s;
    return gpuSuccess;
  }
  return gpuErrorInvalidSymbol;
}

const char* gpuBackendName() { return backend().name; }

void gpuQuietNotices(bool quiet) { quietNotices = quiet; }

bool gpuSelectBackend(const char* name) {
  if (std::strcmp(name, "cpu") == 0) {
    active = &emulatorBackend;
    return true;
  }
#ifdef SMETP_HAVE_CUDA
  if (std::strcmp(name, "cuda") == 0) {
    active = &cudaBackend;
    return true;
  }
#endif
  return false;
}

int gpuGetDeviceCount(int* count) { return backend().getDeviceCount(count); }
int gpuGetDevice(int* device) { return backend().getDevice(device); }
int gpuGetDeviceProperties(gpuDeviceProp* prop, int device) {
  return backend().getDeviceProperties(prop, device);
}
int gpuMalloc(void** ptr, size_t bytes) { return backend().malloc(ptr, bytes); }
int gpuFree(void* ptr) { return backend().free(ptr); }
int gpuMemGetFree(size_t* bytes) { return backend().memGetFree(bytes); }
int gpuMemcpy(void* dst, const void* src, size_t bytes, gpuMemcpyKind kind) {
  if (int e = takeHeldLaunchError()) return e;
  return backend().memcpy(dst, src, bytes, kind);
}
int gpuMemset(void* ptr, int value, size_t bytes) {
  if (int e = takeHeldLaunchError()) return e;
  return backend().memset(ptr, value, bytes);
}
int gpuMemcpyToSymbol(const char* symbol, const void* src, size_t bytes, size_t offset) {
  if (int e = takeHeldLaunchError()) return e;
  return backend().memcpyToSymbol(symbol, src, bytes, offset);
}
int gpuMemcpyFromSymbol(void* dst, const char* symbol, size_t bytes, size_t offset) {
  if (int e = takeHeldLaunchError()) return e;
  return backend().memcpyFromSymbol(dst, symbol, bytes, offset);
}
int gpuLaunch(gpuKernel kernel, unsigned blockThreads, void* arg0, void* arg1, void* arg2) {
  return gpuLaunchBlocks(kernel, 1, blockThreads, arg0, arg1, arg2);
}
int gpuLaunchBlocks(gpuKernel kernel, unsigned blocks, unsigned blockThreads, void* arg0,
                    void* arg1, void* arg2) {
  const int e = backend().launch(kernel, blocks, blockThreads, arg0, arg1, arg2);
  if (e != gpuSuccess) heldLaunchError = e;
  return e;
}
const char* gpuGetErrorString(int error) { return backend().getErrorString(error); }
int gpuPeekAtLastError() { return heldLaunchError; }
gpuBatchShape gpuBatchPlan(int jobs, int resident, int islands) {
  return backend().batchPlan(jobs > 0 ? jobs : 1, resident > 0 ? resident : 0,
                             islands > 1 ? islands : 1);
}
