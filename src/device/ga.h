// The device code's interface to the runtime layer. The kernels and the twelve
// named device variables live in ga.cu, which is built once as plain C++ (the
// CPU form, namespace cpuform) and, where nvcc is found, once more as CUDA
// (namespace cudaform). Each form exports its symbol table and a launcher.
#pragma once

#include <cstddef>

struct DeviceSymbol {
  const char* name;
  void* address;  // CPU form: the variable itself; CUDA form: its host-side symbol
  size_t bytes;
  bool constant;  // constant memory (true) or global memory (false)
};

enum { deviceSymbolCount = 12 };

namespace cpuform {
extern const DeviceSymbol deviceSymbols[deviceSymbolCount];
// Runs one kernel (a gpuKernel value) as `blocks` blocks; returns a gpuError
// value.
int launchKernel(int kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
                 void* arg2);
}  // namespace cpuform

namespace cudaform {
extern const DeviceSymbol deviceSymbols[deviceSymbolCount];
int launchKernel(int kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
                 void* arg2);
// Blocks of the batch generation kernel that one multiprocessor of the
// current device holds at once; 0 when the runtime cannot say.
int batchBlocksPerMultiprocessor();
// The same for the wide runs' generation kernel, with its shared rows.
int wideBlocksPerMultiprocessor();
}  // namespace cudaform

// The threaded form, built only into the race check: each lane a host thread,
// each block step ending at a real barrier.
namespace threadform {
extern const DeviceSymbol deviceSymbols[deviceSymbolCount];
int launchKernel(int kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
                 void* arg2);
}  // namespace threadform
