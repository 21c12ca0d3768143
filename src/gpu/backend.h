// A backend of the runtime layer: one table of operations. gpu.cpp picks one
// table at first use and forwards every call of gpu.h to it.
#pragma once

#include "device/ga.h"
#include "gpu/gpu.h"

struct gpuBackend {
  const char* name;
  bool (*available)();
  int (*getDeviceCount)(int* count);
  int (*getDevice)(int* device);
  int (*getDeviceProperties)(gpuDeviceProp* prop, int device);
  int (*malloc)(void** ptr, size_t bytes);
  int (*free)(void* ptr);
  int (*memGetFree)(size_t* bytes);
  int (*memcpy)(void* dst, const void* src, size_t bytes, gpuMemcpyKind kind);
  int (*memset)(void* ptr, int value, size_t bytes);
  int (*memcpyToSymbol)(const char* symbol, const void* src, size_t bytes, size_t offset);
  int (*memcpyFromSymbol)(void* dst, const char* symbol, size_t bytes, size_t offset);
  int (*launch)(gpuKernel kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
                void* arg2);
  const char* (*getErrorString)(int error);
  gpuBatchShape (*batchPlan)(int jobs, int resident, int islands);
};

extern const gpuBackend emulatorBackend;
#ifdef SMETP_HAVE_CUDA
extern const gpuBackend cudaBackend;
// Why the CUDA backend is not available (empty when it is).
const char* cudaUnavailableReason();
#endif

// Error texts shared by both backends for the codes this layer produces itself.
const char* gpuCommonErrorString(int error);

// Finds `name` in a form's symbol table and checks that `bytes` bytes at
// `offset` lie inside the variable (and that a host pointer is given when
// bytes are copied). Returns gpuSuccess and sets *found, or the error.
int findSymbolRange(const DeviceSymbol (&table)[deviceSymbolCount], const char* name, size_t bytes,
                    size_t offset, const void* hostPtr, const DeviceSymbol** found);
