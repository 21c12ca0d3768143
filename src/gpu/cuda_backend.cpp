// The CUDA backend: a thin layer over the CUDA runtime. Device variables are
// reached through the CUDA form's symbol table, kernels through its launcher.
// Our result codes are the runtime's codes wherever both name the same error,
// and codes the runtime returns pass through unchanged.
#include <cuda_runtime.h>

#include <cstdio>
#include <cstring>

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

// A device is usable when the runtime counts one, device 0 is recent enough
// for the built code, and a context can be made on it.
bool cudaAvailable() {
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess || count <= 0) return false;
  int major = 0, minor = 0;
  if (cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, 0) != cudaSuccess ||
      cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, 0) != cudaSuccess)
    return false;
  if (major * 10 + minor < minComputeCapability) return false;
  return cudaFree(nullptr) == cudaSuccess;
}

int cudaGetDeviceCountOp(int* count) {
  if (!count) return gpuErrorInvalidValue;
  return int(cudaGetDeviceCount(count));
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
  return int(cudaMalloc(ptr, bytes));
}

int cudaFreeOp(void* ptr) { return int(cudaFree(ptr)); }

int cudaMemcpyOp(void* dst, const void* src, size_t bytes, gpuMemcpyKind kind) {
  if (kind != gpuMemcpyHostToDevice && kind != gpuMemcpyDeviceToHost)
    return gpuErrorInvalidMemcpyDirection;
  return int(cudaMemcpy(dst, src, bytes, cudaMemcpyKind(kind)));
}

int cudaMemsetOp(void* ptr, int value, size_t bytes) { return int(cudaMemset(ptr, value, bytes)); }

int cudaMemcpyToSymbolOp(const char* symbol, const void* src, size_t bytes, size_t offset) {
  const DeviceSymbol* s = nullptr;
  if (int e = findSymbolRange(cudaform::deviceSymbols, symbol, bytes, offset, src, &s)) return e;
  return int(cudaMemcpyToSymbol(s->address, src, bytes, offset, cudaMemcpyHostToDevice));
}

int cudaMemcpyFromSymbolOp(void* dst, const char* symbol, size_t bytes, size_t offset) {
  const DeviceSymbol* s = nullptr;
  if (int e = findSymbolRange(cudaform::deviceSymbols, symbol, bytes, offset, dst, &s)) return e;
  return int(cudaMemcpyFromSymbol(dst, s->address, bytes, offset, cudaMemcpyDeviceToHost));
}

int cudaLaunchOp(gpuKernel kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
                 void* arg2) {
  return cudaform::launchKernel(kernel, blocks, blockThreads, arg0, arg1, arg2);
}

const char* cudaErrorStringOp(int error) { return cudaGetErrorString(cudaError_t(error)); }

// One host thread launches over all slots; by default twice the blocks the
// device holds at once, so that blocks of runs still going fill the
// multiprocessors while finished slots wait for their next run.
gpuBatchShape cudaBatchPlanOp(int, int resident) {
  if (resident > 0) return {1, resident};
  int device = 0, multiprocessors = 0;
  if (cudaGetDevice(&device) != cudaSuccess ||
      cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, device) !=
          cudaSuccess)
    multiprocessors = 1;
  const int perMultiprocessor = cudaform::batchBlocksPerMultiprocessor();
  const int slots = 2 * (multiprocessors > 0 ? multiprocessors : 1) *
                    (perMultiprocessor > 0 ? perMultiprocessor : 1);
  return {1, slots};
}

}  // namespace

const gpuBackend cudaBackend = {
    "cuda",
    cudaAvailable,
    cudaGetDeviceCountOp,
    cudaGetDevicePropertiesOp,
    cudaMallocOp,
    cudaFreeOp,
    cudaMemcpyOp,
    cudaMemsetOp,
    cudaMemcpyToSymbolOp,
    cudaMemcpyFromSymbolOp,
    cudaLaunchOp,
    cudaErrorStringOp,
    cudaBatchPlanOp,
};
