#include "host/device_info.h"

#include <cstdio>

#include "gpu/check.h"
#include "gpu/gpu.h"

void printDeviceInfo() {
  int count = 0;
  CHECK_CUDA(gpuGetDeviceCount(&count));
  for (int d = 0; d < count; ++d) {
    gpuDeviceProp prop;
    CHECK_CUDA(gpuGetDeviceProperties(&prop, d));
    std::printf(" --- General Information for device %d ---\n", d);
    std::printf("Name: %s\n", prop.name);
    std::printf("Compute capability: %d.%d\n", prop.major, prop.minor);
    std::printf("Clock rate: %d\n", prop.clockRate);
    std::printf("Device copy overlap: ");
    std::fputs(prop.deviceOverlap ? "Enabled\n" : "Disabled\n", stdout);
    std::printf("Kernel execition timeout : ");
    std::fputs(prop.kernelExecTimeoutEnabled ? "Enabled\n" : "Disabled\n", stdout);
    std::printf(" --- Memory Information for device %d ---\n", d);
    std::printf("Total global mem: %ld\n", long(prop.totalGlobalMem));
    std::printf("Total constant Mem: %ld\n", long(prop.totalConstMem));
    std::printf("Max mem pitch: %ld\n", long(prop.memPitch));
    std::printf("Texture Alignment: %ld\n", long(prop.textureAlignment));
    std::printf(" --- MP Information for device %d ---\n", d);
    std::printf("Multiprocessor count: %d\n", prop.multiProcessorCount);
    std::printf("Shared mem per mp: %ld\n", long(prop.sharedMemPerBlock));
    std::printf("Registers per mp: %d\n", prop.regsPerBlock);
    std::printf("Threads in warp: %d\n", prop.warpSize);
    std::printf("Max threads per block: %d\n", prop.maxThreadsPerBlock);
    std::printf("Max thread dimensions: (%d, %d, %d)\n", prop.maxThreadsDim[0],
                prop.maxThreadsDim[1], prop.maxThreadsDim[2]);
    std::printf("Max grid dimensions: (%d, %d, %d)\n", prop.maxGridSize[0], prop.maxGridSize[1],
                prop.maxGridSize[2]);
    std::printf("\n");
  }
}
