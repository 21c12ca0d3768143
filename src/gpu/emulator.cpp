// The emulator backend: device memory on the host heap, the device variables of
// the CPU form registered by name, and kernels run as one block on the host.
// It checks what the real runtime checks, so that a faulty copy fails here with
// an error code instead of corrupting memory.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "device/ga.h"
#include "device/symbols.h"
#include "gpu/backend.h"

namespace {

// Live allocations: start address -> size in bytes.
std::map<uintptr_t, size_t>& allocations() {
  static std::map<uintptr_t, size_t> live;
  return live;
}

// True when [ptr, ptr + bytes) lies inside one live allocation.
bool isDeviceRange(const void* ptr, size_t bytes) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
  auto& live = allocations();
  auto it = live.upper_bound(p);
  if (it == live.begin()) return false;
  --it;
  const uintptr_t start = it->first;
  const size_t size = it->second;
  return p >= start && p - start <= size && bytes <= size - (p - start);
}

bool emuAvailable() { return true; }

int emuGetDeviceCount(int* count) {
  if (!count) return gpuErrorInvalidValue;
  *count = 1;
  return gpuSuccess;
}

int emuGetDeviceProperties(gpuDeviceProp* prop, int device) {
  if (!prop) return gpuErrorInvalidValue;
  if (device != 0) return gpuErrorInvalidDevice;
  std::memset(prop, 0, sizeof *prop);
  std::snprintf(prop->name, sizeof prop->name, "smetp CPU emulation of one 128-lane block");
  prop->major = 1;
  prop->minor = 1;
  prop->clockRate = 0;  // lanes run on the host processor; no device clock exists
  prop->deviceOverlap = 0;
  prop->kernelExecTimeoutEnabled = 0;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  prop->totalGlobalMem = pages > 0 && pageSize > 0 ? size_t(pages) * size_t(pageSize) : 0;
  prop->totalConstMem = 65536;
  prop->memPitch = 2147483647;
  prop->textureAlignment = 256;
  prop->multiProcessorCount = 1;
  prop->sharedMemPerBlock = 16384;
  prop->regsPerBlock = 8192;
  prop->warpSize = 1;  // lanes run one after another, not in groups
  prop->maxThreadsPerBlock = 128;
  prop->maxThreadsDim[0] = 128;
  prop->maxThreadsDim[1] = 1;
  prop->maxThreadsDim[2] = 1;
  prop->maxGridSize[0] = 1;
  prop->maxGridSize[1] = 1;
  prop->maxGridSize[2] = 1;
  return gpuSuccess;
}

int emuMalloc(void** ptr, size_t bytes) {
  if (!ptr) return gpuErrorInvalidValue;
  // Zero-byte requests still get a distinct address, as the runtime gives.
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) return gpuErrorMemoryAllocation;
  allocations()[reinterpret_cast<uintptr_t>(p)] = bytes;
  *ptr = p;
  return gpuSuccess;
}

int emuFree(void* ptr) {
  if (!ptr) return gpuSuccess;
  auto& live = allocations();
  auto it = live.find(reinterpret_cast<uintptr_t>(ptr));
  if (it == live.end()) return gpuErrorInvalidDevicePointer;
  live.erase(it);
  std::free(ptr);
  return gpuSuccess;
}

int emuMemcpy(void* dst, const void* src, size_t bytes, gpuMemcpyKind kind) {
  if (bytes == 0) return gpuSuccess;
  if (!dst || !src) return gpuErrorInvalidValue;
  if (kind == gpuMemcpyHostToDevice) {
    if (!isDeviceRange(dst, bytes)) return gpuErrorInvalidValue;
  } else if (kind == gpuMemcpyDeviceToHost) {
    if (!isDeviceRange(src, bytes)) return gpuErrorInvalidValue;
  } else {
    return gpuErrorInvalidMemcpyDirection;
  }
  std::memmove(dst, src, bytes);
  return gpuSuccess;
}

int emuMemset(void* ptr, int value, size_t bytes) {
  if (bytes == 0) return gpuSuccess;
  if (!isDeviceRange(ptr, bytes)) return gpuErrorInvalidValue;
  std::memset(ptr, value, bytes);
  return gpuSuccess;
}

int emuMemcpyToSymbol(const char* symbol, const void* src, size_t bytes, size_t offset) {
  const DeviceSymbol* s = nullptr;
  if (int e = findSymbolRange(cpuform::deviceSymbols, symbol, bytes, offset, src, &s)) return e;
  if (bytes) std::memmove(static_cast<char*>(s->address) + offset, src, bytes);
  return gpuSuccess;
}

int emuMemcpyFromSymbol(void* dst, const char* symbol, size_t bytes, size_t offset) {
  const DeviceSymbol* s = nullptr;
  if (int e = findSymbolRange(cpuform::deviceSymbols, symbol, bytes, offset, dst, &s)) return e;
  if (bytes) std::memmove(dst, static_cast<const char*>(s->address) + offset, bytes);
  return gpuSuccess;
}

// True when every record's bit string holds the bytes the kernels touch.
bool bitStringsValid(const Chrom* pop) {
  const int nl = cpuform::probNl, nlBytes = cpuform::probNlBytes;
  const int touched = nl > 0 ? (nl + 7) / 8 : 0;
  const int loaded = nlBytes < int(slotBytes) ? nlBytes : int(slotBytes);
  const size_t need = size_t(touched > loaded ? touched : loaded > 0 ? loaded : 0);
  for (int t = 0; t < popSize; ++t)
    if (need && !isDeviceRange(pop[t].lbit, need)) return false;
  return true;
}

int emuLaunch(gpuKernel kernel, unsigned blockThreads, void* arg0, void* arg1, void* arg2) {
  // Every parameter must point into device memory large enough for what the
  // kernel reads and writes there; a real device would fault otherwise.
  bool valid = false;
  switch (kernel) {
    case kernelSrand:
      valid = isDeviceRange(arg0, popSize * sizeof(unsigned));
      break;
    case kernelGenerateRandomPopulation:
    case kernelEvpopInitial:
      valid = isDeviceRange(arg0, popSize * sizeof(Chrom)) &&
              bitStringsValid(static_cast<const Chrom*>(arg0));
      break;
    case kernelGAallInOneOperator:
      valid = isDeviceRange(arg0, popSize * sizeof(Chrom)) &&
              bitStringsValid(static_cast<const Chrom*>(arg0)) &&
              isDeviceRange(arg1, sizeof(float)) && isDeviceRange(arg2, sizeof(unsigned short));
      break;
    default:
      return gpuErrorInvalidValue;
  }
  if (!valid) return gpuErrorLaunchFailure;
  return cpuform::launchKernel(kernel, blockThreads, arg0, arg1, arg2);
}

const char* emuGetErrorString(int error) { return gpuCommonErrorString(error); }

}  // namespace

const gpuBackend emulatorBackend = {
    "cpu",     emuAvailable,      emuGetDeviceCount, emuGetDeviceProperties, emuMalloc,
    emuFree,   emuMemcpy,         emuMemset,         emuMemcpyToSymbol,      emuMemcpyFromSymbol,
    emuLaunch, emuGetErrorString,
};
