// The emulator backend: device memory on the host heap, the device variables of
// the CPU form registered by name, and kernels run as one block on the host.
// It checks what the real runtime checks, so that a faulty copy fails here with
// an error code instead of corrupting memory.
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "device/ga.h"
#include "device/symbols.h"
#include "gpu/backend.h"
#include "problem/batchrun.h"
#include "problem/widegraph.h"

namespace {

// Live allocations: start address -> size in bytes. The threads of a batch
// copy and launch at the same time, so the table is read and changed under
// its lock.
std::map<uintptr_t, size_t>& allocations() {
  static std::map<uintptr_t, size_t> live;
  return live;
}
std::mutex allocationLock;

// Batch populations whose 128 bit-string pointers per run were found in
// device memory: the records' range and how many bytes of each bit string
// were checked. An entry is dropped when anything frees memory or writes
// into the records, so a launch checks each population once, not every time.
struct CheckedPops {
  uintptr_t start;
  size_t bytes;
  size_t need;
};
std::vector<CheckedPops> checkedPops;

void forgetCheckedPops(const void* written, size_t bytes) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(written);
  for (size_t i = checkedPops.size(); i-- > 0;)
    if (!written ||
        (p < checkedPops[i].start + checkedPops[i].bytes && checkedPops[i].start < p + bytes))
      checkedPops.erase(checkedPops.begin() + long(i));
}

// True when [ptr, ptr + bytes) lies inside one live allocation; the caller
// holds allocationLock.
bool isDeviceRangeLocked(const void* ptr, size_t bytes) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
  auto& live = allocations();
  auto it = live.upper_bound(p);
  if (it == live.begin()) return false;
  --it;
  const uintptr_t start = it->first;
  const size_t size = it->second;
  return p >= start && p - start <= size && bytes <= size - (p - start);
}

bool isDeviceRange(const void* ptr, size_t bytes) {
  std::lock_guard<std::mutex> g(allocationLock);
  return isDeviceRangeLocked(ptr, bytes);
}

bool emuAvailable() { return true; }

int emuGetDeviceCount(int* count) {
  if (!count) return gpuErrorInvalidValue;
  *count = 1;
  return gpuSuccess;
}

int emuGetDevice(int* device) {
  if (!device) return gpuErrorInvalidValue;
  *device = 0;
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
  std::lock_guard<std::mutex> g(allocationLock);
  allocations()[reinterpret_cast<uintptr_t>(p)] = bytes;
  *ptr = p;
  return gpuSuccess;
}

// The host's available memory: MemAvailable of /proc/meminfo, else the free
// physical pages.
int emuMemGetFree(size_t* bytes) {
  if (!bytes) return gpuErrorInvalidValue;
  if (FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f))
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    std::fclose(f);
    if (found) {
      *bytes = size_t(kib) * 1024;
      return gpuSuccess;
    }
  }
  const long pages = ::sysconf(_SC_AVPHYS_PAGES), pageBytes = ::sysconf(_SC_PAGESIZE);
  *bytes = pages > 0 && pageBytes > 0 ? size_t(pages) * size_t(pageBytes) : SIZE_MAX;
  return gpuSuccess;
}

int emuFree(void* ptr) {
  if (!ptr) return gpuSuccess;
  std::lock_guard<std::mutex> g(allocationLock);
  forgetCheckedPops(nullptr, 0);
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
    std::lock_guard<std::mutex> g(allocationLock);
    if (!isDeviceRangeLocked(dst, bytes)) return gpuErrorInvalidValue;
    forgetCheckedPops(dst, bytes);
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
  {
    std::lock_guard<std::mutex> g(allocationLock);
    if (!isDeviceRangeLocked(ptr, bytes)) return gpuErrorInvalidValue;
    forgetCheckedPops(ptr, bytes);
  }
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

// Bytes of a record's bit string that the kernels touch for an instance of
// nl edges whose bit strings are nlBytes long.
size_t touchedBitBytes(int nl, int nlBytes) {
  const int touched = nl > 0 ? (nl + 7) / 8 : 0;
  const int loaded = nlBytes < int(slotBytes) ? nlBytes : int(slotBytes);
  return size_t(touched > loaded ? touched : loaded > 0 ? loaded : 0);
}

// True when every record's bit string holds the bytes the kernels touch.
bool bitStringsValid(const Chrom* pop, int nl, int nlBytes) {
  const size_t need = touchedBitBytes(nl, nlBytes);
  for (int t = 0; t < popSize; ++t)
    if (need && !isDeviceRange(pop[t].lbit, need)) return false;
  return true;
}

// True when the batch arrays of `blocks` runs lie in device memory, with every
// run's population and its bit strings (checked once per population while
// nothing frees memory or writes the population's records). An inactive
// block's kernel returns before it reads its run's area, so only the active
// wide runs' areas must be there (a slot whose run ended may name one gone).
bool batchValid(unsigned blocks, const void* runs, const void* control, const void* pops) {
  const size_t popBytes = size_t(blocks) * popSize * sizeof(Chrom);
  if (!isDeviceRange(runs, blocks * sizeof(BatchRun)) || !isDeviceRange(pops, popBytes) ||
      !isDeviceRange(control, blocks * sizeof(BatchControl)))
    return false;
  const BatchRun* r = static_cast<const BatchRun*>(runs);
  const BatchControl* c = static_cast<const BatchControl*>(control);
  size_t need = 0;
  for (unsigned b = 0; b < blocks; ++b) {
    if (r[b].wide) {
      if (!c[b].active) continue;
      // A wide run's instance and population lie in its area.
      WideRun w;
      if (!isDeviceRange(r[b].wide, sizeof w)) return false;
      std::memcpy(&w, r[b].wide, sizeof w);
      size_t bytes = 0;
      wideRunLayout(nullptr, w.n, w.nl, &bytes);
      if (w.n != r[b].probNn || w.nl != r[b].probNl || !isDeviceRange(r[b].wide, bytes))
        return false;
      continue;
    }
    if (r[b].probNl > maxEdges) return false;
    const size_t n = touchedBitBytes(r[b].probNl, r[b].probNlBytes);
    need = n > need ? n : need;
  }
  const uintptr_t start = reinterpret_cast<uintptr_t>(pops);
  std::lock_guard<std::mutex> g(allocationLock);
  for (const CheckedPops& c : checkedPops)
    if (c.start == start && c.bytes == popBytes && c.need >= need) return true;
  const Chrom* p = static_cast<const Chrom*>(pops);
  for (size_t k = 0; k < size_t(blocks) * popSize; ++k)
    if (need && !isDeviceRangeLocked(p[k].lbit, need)) return false;
  checkedPops.push_back({start, popBytes, need});
  return true;
}

// A launch that fails on purpose, for testing how callers meet a failed
// launch: SMETP_EMULATOR_FAIL_LAUNCH=K makes the K-th launch of the process
// (counting from 1) fail with "unspecified launch failure" without running.
bool injectedLaunchFailure() {
  static const long failAt = [] {
    const char* v = std::getenv("SMETP_EMULATOR_FAIL_LAUNCH");
    return v ? std::strtol(v, nullptr, 10) : 0L;
  }();
  static std::atomic<long> launches{0};
  return failAt > 0 && ++launches == failAt;
}

int emuLaunch(gpuKernel kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
              void* arg2) {
  if (injectedLaunchFailure()) return gpuErrorLaunchFailure;
  // Every parameter must point into device memory large enough for what the
  // kernel reads and writes there; a real device would fault otherwise.
  bool valid = false;
  const int nl = cpuform::probNl, nlBytes = cpuform::probNlBytes;
  switch (kernel) {
    case kernelSrand:
      valid = isDeviceRange(arg0, popSize * sizeof(unsigned));
      break;
    case kernelGenerateRandomPopulation:
    case kernelEvpopInitial:
      valid = isDeviceRange(arg0, popSize * sizeof(Chrom)) &&
              bitStringsValid(static_cast<const Chrom*>(arg0), nl, nlBytes);
      break;
    case kernelGAallInOneOperator:
      valid = isDeviceRange(arg0, popSize * sizeof(Chrom)) &&
              bitStringsValid(static_cast<const Chrom*>(arg0), nl, nlBytes) &&
              isDeviceRange(arg1, sizeof(float)) && isDeviceRange(arg2, sizeof(unsigned short));
      break;
    case kernelBatchInitial:
    case kernelBatchGenerations:
    case kernelBatchWideInitial:
    case kernelBatchWideGenerations:
      valid = blocks > 0 && batchValid(blocks, arg0, arg1, arg2);
      break;
    default:
      return gpuErrorInvalidValue;
  }
  if (!valid) return gpuErrorLaunchFailure;
  return cpuform::launchKernel(kernel, blocks, blockThreads, arg0, arg1, arg2);
}

const char* emuGetErrorString(int error) { return gpuCommonErrorString(error); }

// The workers that run the blocks of a launch: the calling thread and
// workers - 1 pool threads, which take blocks one at a time until none is left.
struct BlockWorkers {
  std::mutex lock;
  std::condition_variable wake, finished;
  std::vector<std::thread> threads;
  unsigned long long launch = 0;  // counts launches, so a thread sees each one once
  void (*body)(void*, unsigned) = nullptr;
  void* context = nullptr;
  unsigned blocks = 0;
  std::atomic<unsigned> nextBlock{0};
  unsigned busy = 0;  // pool threads still working on the current launch
  bool quit = false;

  ~BlockWorkers() {
    {
      std::lock_guard<std::mutex> g(lock);
      quit = true;
    }
    wake.notify_all();
    for (std::thread& t : threads) t.join();
  }

  void takeBlocks() {
    for (unsigned b; (b = nextBlock.fetch_add(1)) < blocks;) body(context, b);
  }

  void poolThread() {
    unsigned long long seen = 0;
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      wake.wait(g, [&] { return quit || launch != seen; });
      if (quit) return;
      seen = launch;
      g.unlock();
      takeBlocks();
      g.lock();
      if (--busy == 0) finished.notify_one();
    }
  }

  void run(unsigned count, void (*f)(void*, unsigned), void* c, unsigned workers) {
    std::unique_lock<std::mutex> g(lock);
    while (threads.size() + 1 < workers) threads.emplace_back([this] { poolThread(); });
    body = f;
    context = c;
    blocks = count;
    nextBlock = 0;
    busy = unsigned(threads.size());
    ++launch;
    g.unlock();
    wake.notify_all();
    takeBlocks();
    g.lock();
    finished.wait(g, [&] { return busy == 0; });
  }
};

std::atomic<int> hostWorkers{0};

unsigned workerCount() {
  const int w = hostWorkers.load();
  if (w > 0) return unsigned(w);
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? cores : 1;
}

}  // namespace

void gpuSetHostWorkers(int workers) { hostWorkers = workers > 0 ? workers : 0; }

namespace {

// Each of `jobs` threads carries its own runs, so a launch runs on the thread
// that makes it rather than on the shared block workers. Islands of one run
// must be launched together: one thread then launches over every slot, and
// the block workers spread each launch over the jobs.
gpuBatchShape emuBatchPlan(int jobs, int resident, int islands) {
  int slots = resident > 0 ? resident : jobs;
  if (islands > 1) {
    gpuSetHostWorkers(jobs);
    return {1, slots > islands ? slots : islands, jobs};
  }
  gpuSetHostWorkers(1);
  return {jobs < slots ? jobs : slots, slots, jobs};
}

}  // namespace

void cpuform::runEmulatedBlocks(unsigned blocks, void (*body)(void* context, unsigned block),
                                void* context) {
  unsigned workers = workerCount();
  if (workers > blocks) workers = blocks;
  if (workers <= 1) {
    for (unsigned b = 0; b < blocks; ++b) body(context, b);
    return;
  }
  static BlockWorkers pool;
  pool.run(blocks, body, context, workers);
}

// clang-format off
const gpuBackend emulatorBackend = {
    "cpu",
    emuAvailable,
    emuGetDeviceCount,
    emuGetDevice,
    emuGetDeviceProperties,
    emuMalloc,
    emuFree,
    emuMemGetFree,
    emuMemcpy,
    emuMemset,
    emuMemcpyToSymbol,
    emuMemcpyFromSymbol,
    emuLaunch,
    emuGetErrorString,
    emuBatchPlan,
};
// clang-format on
