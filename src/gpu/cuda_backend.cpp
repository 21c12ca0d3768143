// The CUDA backend: a thin layer over the CUDA runtime. Device variables are
// reached through the CUDA form's symbol table, kernels through its launcher.
// Our result codes are the runtime's codes wherever both name the same error,
// and codes the runtime returns pass through unchanged.
#include <cuda_runtime.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "device/ga.h"
#include "gpu/backend.h"

namespace {

// The device code is built for compute capability 7.5 and later.
constexpr int minComputeCapability = 75;

static_assert(int(cudaSuccess) == gpuSuccess, "result codes follow the runtime's");
static_assert(int(cudaErrorInvalidValue) == gpuErrorInvalidValue, "result codes");
static_assert(int(cudaErrorMemoryAllocation) == gpuErrorMemoryAllocation, "result codes");
static_assert(int(cudaErrorInitializationError) == gpuErrorInitialization, "result codes");
static_assert(int(cudaErrorInvalidConfiguration) == gpuErrorInvalidConfiguration, "result codes");
static_assert(int(cudaErrorInvalidSymbol) == gpuErrorInvalidSymbol, "result codes");
static_assert(int(cudaErrorInvalidDevicePointer) == gpuErrorInvalidDevicePointer, "result codes");
static_assert(int(cudaErrorInvalidMemcpyDirection) == gpuErrorInvalidMemcpyDirection,
              "result codes");
static_assert(int(cudaErrorNoDevice) == gpuErrorNoDevice, "result codes");
static_assert(int(cudaErrorInvalidDevice) == gpuErrorInvalidDevice, "result codes");
static_assert(int(cudaErrorLaunchFailure) == gpuErrorLaunchFailure, "result codes");
static_assert(int(cudaMemcpyHostToDevice) == gpuMemcpyHostToDevice, "copy kinds");
static_assert(int(cudaMemcpyDeviceToHost) == gpuMemcpyDeviceToHost, "copy kinds");

// The device the CUDA form runs on: the first one that is recent enough for
// the built code, not closed to compute work, and on which a context can be
// made; -1 when there is none, and `why` then says what each device lacks.
struct DeviceChoice {
  int device = -1;
  std::string why;
};

DeviceChoice chooseDevice() {
  DeviceChoice c;
  int count = 0;
  if (cudaError_t e = cudaGetDeviceCount(&count)) {
    c.why = std::string("the CUDA runtime reports: ") + cudaGetErrorString(e);
    return c;
  }
  if (count <= 0) {
    c.why = "the CUDA runtime counts no device";
    return c;
  }
  for (int d = 0; d < count; ++d) {
    int major = 0, minor = 0, mode = 0;
    char note[160];
    if (cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, d) != cudaSuccess ||
        cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, d) != cudaSuccess ||
        cudaDeviceGetAttribute(&mode, cudaDevAttrComputeMode, d) != cudaSuccess) {
      std::snprintf(note, sizeof note, "device %d cannot be queried", d);
    } else if (major * 10 + minor < minComputeCapability) {
      std::snprintf(note, sizeof note, "device %d has compute capability %d.%d, below 7.5", d,
                    major, minor);
    } else if (mode == cudaComputeModeProhibited) {
      std::snprintf(note, sizeof note, "device %d is in the prohibited compute mode", d);
    } else if (cudaError_t e = cudaSetDevice(d); e != cudaSuccess || (e = cudaFree(nullptr))) {
      std::snprintf(note, sizeof note, "device %d: %s", d, cudaGetErrorString(e));
    } else {
      c.device = d;
      c.why.clear();
      return c;
    }
    c.why += c.why.empty() ? note : std::string("; ") + note;
  }
  return c;
}

const DeviceChoice& deviceChoice() {
  static const DeviceChoice choice = chooseDevice();
  return choice;
}

// The runtime's current device belongs to the host thread: each thread that
// calls the runtime selects the chosen device first. Without one, the calls
// go to the runtime's default and fail there with its own error.
void useChosenDevice() {
  thread_local bool selected = false;
  if (selected) return;
  selected = true;
  if (deviceChoice().device >= 0) cudaSetDevice(deviceChoice().device);
}

bool cudaAvailable() { return deviceChoice().device >= 0; }

int cudaGetDeviceCountOp(int* count) {
  if (!count) return gpuErrorInvalidValue;
  return int(cudaGetDeviceCount(count));
}

int cudaGetDeviceOp(int* device) {
  if (!device) return gpuErrorInvalidValue;
  useChosenDevice();
  return int(cudaGetDevice(device));
}

int cudaGetDevicePropertiesOp(gpuDeviceProp* prop, int device) {
  if (!prop) return gpuErrorInvalidValue;
  cudaDeviceProp p;
  if (cudaError_t e = cudaGetDeviceProperties(&p, device)) return int(e);
  // Fields the runtime no longer keeps in its property record.
  int clockRate = 0, overlap = 0, timeout = 0;
  if (cudaError_t e = cudaDeviceGetAttribute(&clockRate, cudaDevAttrClockRate, device))
    return int(e);
  if (cudaError_t e = cudaDeviceGetAttribute(&overlap, cudaDevAttrGpuOverlap, device))
    return int(e);
  if (cudaError_t e = cudaDeviceGetAttribute(&timeout, cudaDevAttrKernelExecTimeout, device))
    return int(e);
  std::memset(prop, 0, sizeof *prop);
  std::snprintf(prop->name, sizeof prop->name, "%s", p.name);
  prop->major = p.major;
  prop->minor = p.minor;
  prop->clockRate = clockRate;
  prop->deviceOverlap = overlap;
  prop->kernelExecTimeoutEnabled = timeout;
  prop->totalGlobalMem = p.totalGlobalMem;
  prop->totalConstMem = p.totalConstMem;
  prop->memPitch = p.memPitch;
  prop->textureAlignment = p.textureAlignment;
  prop->multiProcessorCount = p.multiProcessorCount;
  prop->sharedMemPerBlock = p.sharedMemPerBlock;
  prop->regsPerBlock = p.regsPerBlock;
  prop->warpSize = p.warpSize;
  prop->maxThreadsPerBlock = p.maxThreadsPerBlock;
  for (int i = 0; i < 3; ++i) {
    prop->maxThreadsDim[i] = p.maxThreadsDim[i];
    prop->maxGridSize[i] = p.maxGridSize[i];
  }
  return gpuSuccess;
}

int cudaMallocOp(void** ptr, size_t bytes) {
  if (!ptr) return gpuErrorInvalidValue;
  useChosenDevice();
  return int(cudaMalloc(ptr, bytes));
}

int cudaFreeOp(void* ptr) {
  useChosenDevice();
  return int(cudaFree(ptr));
}

int cudaMemGetFreeOp(size_t* bytes) {
  if (!bytes) return gpuErrorInvalidValue;
  useChosenDevice();
  size_t total = 0;
  return int(cudaMemGetInfo(bytes, &total));
}

int cudaMemcpyOp(void* dst, const void* src, size_t bytes, gpuMemcpyKind kind) {
  if (kind != gpuMemcpyHostToDevice && kind != gpuMemcpyDeviceToHost)
    return gpuErrorInvalidMemcpyDirection;
  useChosenDevice();
  return int(cudaMemcpy(dst, src, bytes, cudaMemcpyKind(kind)));
}

int cudaMemsetOp(void* ptr, int value, size_t bytes) {
  useChosenDevice();
  return int(cudaMemset(ptr, value, bytes));
}

int cudaMemcpyToSymbolOp(const char* symbol, const void* src, size_t bytes, size_t offset) {
  const DeviceSymbol* s = nullptr;
  if (int e = findSymbolRange(cudaform::deviceSymbols, symbol, bytes, offset, src, &s)) return e;
  useChosenDevice();
  return int(cudaMemcpyToSymbol(s->address, src, bytes, offset, cudaMemcpyHostToDevice));
}

int cudaMemcpyFromSymbolOp(void* dst, const char* symbol, size_t bytes, size_t offset) {
  const DeviceSymbol* s = nullptr;
  if (int e = findSymbolRange(cudaform::deviceSymbols, symbol, bytes, offset, dst, &s)) return e;
  useChosenDevice();
  return int(cudaMemcpyFromSymbol(dst, s->address, bytes, offset, cudaMemcpyDeviceToHost));
}

int cudaLaunchOp(gpuKernel kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
                 void* arg2) {
  useChosenDevice();
  return cudaform::launchKernel(kernel, blocks, blockThreads, arg0, arg1, arg2);
}

const char* cudaErrorStringOp(int error) { return cudaGetErrorString(cudaError_t(error)); }

// One host thread launches over all slots; by default twice the blocks the
// device holds at once, so that blocks of runs still going fill the
// multiprocessors while finished slots wait for their next run.
gpuBatchShape cudaBatchPlanOp(int, int resident, int islands) {
  useChosenDevice();
  int device = 0, multiprocessors = 0;
  if (cudaGetDevice(&device) != cudaSuccess ||
      cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, device) !=
          cudaSuccess ||
      multiprocessors < 1)
    multiprocessors = 1;
  const int perMultiprocessor = std::max(cudaform::batchBlocksPerMultiprocessor(), 1);
  const int concurrent = multiprocessors * std::max(cudaform::wideBlocksPerMultiprocessor(), 1);
  const int slots = resident > 0 ? resident : 2 * multiprocessors * perMultiprocessor;
  return {1, std::max(slots, islands), concurrent};
}

}  // namespace

const char* cudaUnavailableReason() { return deviceChoice().why.c_str(); }

// clang-format off
const gpuBackend cudaBackend = {
    "cuda",
    cudaAvailable,
    cudaGetDeviceCountOp,
    cudaGetDeviceOp,
    cudaGetDevicePropertiesOp,
    cudaMallocOp,
    cudaFreeOp,
    cudaMemGetFreeOp,
    cudaMemcpyOp,
    cudaMemsetOp,
    cudaMemcpyToSymbolOp,
    cudaMemcpyFromSymbolOp,
    cudaLaunchOp,
    cudaErrorStringOp,
    cudaBatchPlanOp,
};
// clang-format on
