// Fuzz target of the device message buffer printer: any bytes as the buffer's
// contents and the writers' position, displayed in either layout, and as a
// single record. Output goes to /dev/null; the sanitizers judge the reads.
//
// Input: byte 0 flags (bit 0 identifiers, bit 1 zero each printed record in a
// range walk), byte 1 the buffer size in records (1 to 8), bytes 2..5 the
// writers' byte offset from the buffer start (any 32-bit value, so it may lie
// outside the buffer), bytes 6..7 a format offset for the single record, the
// rest the buffer's bytes (zero where the input ends).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "devlog/cuPrintf1.h"
#include "gpu/gpu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* sink = nullptr;
  if (!sink) {
    if (!gpuSelectBackend("cpu") || !(sink = std::fopen("/dev/null", "w"))) std::abort();
  }
  if (size < 8) return 0;
  const bool ids = data[0] & 1;
  const bool zeroEach = data[0] & 2;
  const size_t records = 1 + data[1] % 8;
  int32_t writerOffset;
  std::memcpy(&writerOffset, data + 2, sizeof writerOffset);
  const int formatOffset = data[6] | data[7] << 8;
  data += 8;
  size -= 8;

  const size_t bytes = records * deviceLogRecordBytes;
  if (deviceLogInit(bytes) != 0) std::abort();
  unsigned char* buffer = nullptr;
  gpuMemcpyFromSymbol(&buffer, "globalPrintfBuffer", sizeof buffer);
  const size_t used = size < bytes ? size : bytes;
  if (used) gpuMemcpy(buffer, data, used, gpuMemcpyHostToDevice);
  // The position may lie anywhere; it is compared, never dereferenced.
  auto writer = reinterpret_cast<unsigned char*>(reinterpret_cast<uintptr_t>(buffer) +
                                                 uintptr_t(intptr_t(writerOffset)));
  gpuMemcpyToSymbol("printfBufferPtr", &writer, sizeof writer);
  deviceLogDisplay(sink, ids);

  // A range walk over the same bytes, which the display has zeroed.
  if (used) gpuMemcpy(buffer, data, used, gpuMemcpyHostToDevice);
  deviceLogPrintRange(sink, buffer, ids, zeroEach, buffer, buffer + bytes, writer);
  deviceLogEnd();

  unsigned char record[deviceLogRecordBytes + 1] = {};
  std::memcpy(record, data, size < sizeof record ? size : sizeof record);
  deviceLogPrintRecord(sink, record, formatOffset);
  return 0;
}
