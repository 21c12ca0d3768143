// Host side of the device message buffer. Every device access goes through the
// runtime layer; results of these calls are not checked, except the allocation
// and the first read after a launch.
// Everything read from the device is treated as untrusted: reads stay inside
// the buffer and inside the host copy of a record, and every walk over the
// buffer ends.
#include "devlog/cuPrintf1.h"

#include <cstdint>
#include <cstring>

#include "gpu/gpu.h"

namespace {

constexpr int copyBytes = deviceLogRecordBytes + 1;  // a record plus a closing zero byte
constexpr int firstSlotOffset = 8;
constexpr int argSlotBytes = 16;
constexpr int formatHeadBytes = 8;
constexpr int regionHeaderBytes = 16;          // the part of a region's header record that is read
constexpr int32_t maxSlotLength = 256;         // a longer value marks a corrupt record
constexpr long maxFieldNumber = 4096;          // largest width or precision passed to the formatter
constexpr size_t maxBufferBytes = 0x7FFFFF00;  // printfBufferLength is a signed 32-bit value
constexpr const char* conversionChars = "%cdiouxXeEfgGaAnps";

unsigned char* bufferStart = nullptr;  // null when absent
size_t bufferLength = 0;
// The device memory of the last buffer ended, kept for the next one of the
// same size: a buffer set up and ended around every launch then costs no
// allocation.
unsigned char* spareStart = nullptr;
size_t spareLength = 0;
unsigned char* readPosition = nullptr;  // where the last ring display stopped; null when absent
FILE* outputStream = nullptr;

uintptr_t addressOf(const unsigned char* p) { return reinterpret_cast<uintptr_t>(p); }
unsigned char* pointerAt(uintptr_t a) { return reinterpret_cast<unsigned char*>(a); }

FILE* streamFor(FILE* out) {
  if (out) return out;
  return outputStream ? outputStream : stdout;
}

// Device and host share byte order, so fields are read by plain copies.
unsigned readU16(const unsigned char* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

int32_t readI32(const unsigned char* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint32_t readU32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Reads the digits at body[i...] as a width or precision: -1 when there are
// none, -2 when the number exceeds maxFieldNumber.
long readFieldNumber(const char* body, size_t len, size_t& i) {
  if (i >= len || body[i] < '0' || body[i] > '9') return -1;
  long n = 0;
  for (; i < len && body[i] >= '0' && body[i] <= '9'; ++i) {
    n = n * 10 + (body[i] - '0');
    if (n > maxFieldNumber) return -2;
  }
  return n;
}

// Builds in fmt a format for one conversion from the characters body[0..len)
// between the "%" and the conversion character conv. Flags, width and
// precision are kept where they are defined for conv; a width or precision
// taken from an argument ("*") is dropped, since only one value is passed;
// length modifiers other than h and hh on integer conversions are dropped,
// since the value passed always has the plain type. Returns false when the
// body is not of the form flags, width, precision, modifier.
bool buildFormat(const char* body, size_t len, char conv, char (&fmt)[32]) {
  const bool numeric = std::strchr("diouxXaAeEfgG", conv) != nullptr;
  const bool integer = std::strchr("diouxX", conv) != nullptr;
  bool flags[6] = {};
  static const char flagChars[] = "-+ #0'";
  size_t i = 0;
  for (const char* f; i < len && (f = std::strchr(flagChars, body[i])) != nullptr; ++i)
    flags[f - flagChars] = true;
  long width = -1;
  if (i < len && body[i] == '*')
    ++i;
  else
    width = readFieldNumber(body, len, i);
  long precision = -1;
  if (i < len && body[i] == '.') {
    ++i;
    if (i < len && body[i] == '*') {
      ++i;
    } else {
      precision = readFieldNumber(body, len, i);
      if (precision == -1) precision = 0;
    }
  }
  const size_t modifierStart = i;
  while (i < len && std::strchr("hlLjztq", body[i])) ++i;
  const size_t modifierLen = i - modifierStart;
  if (i != len || modifierLen > 2 || width == -2 || precision == -2) return false;

  size_t n = 0;
  fmt[n++] = '%';
  for (int f = 0; f < 6; ++f)
    if (flags[f] && (numeric || flagChars[f] == '-')) fmt[n++] = flagChars[f];
  if (width >= 0) n += std::snprintf(fmt + n, sizeof fmt - n, "%ld", width);
  if (precision >= 0 && conv != 'c' && conv != 'p')
    n += std::snprintf(fmt + n, sizeof fmt - n, ".%ld", precision);
  const bool shortModifier = modifierLen > 0 && body[modifierStart] == 'h' &&
                             (modifierLen == 1 || body[modifierStart + 1] == 'h');
  if (integer && shortModifier)
    for (size_t m = 0; m < modifierLen; ++m) fmt[n++] = 'h';
  fmt[n++] = conv;
  fmt[n] = '\0';
  return true;
}

// Prints one conversion whose flags, width and precision lie between percent and conv,
// with the value of the given 16-byte slot. "%n" prints nothing and writes
// nowhere.
void printConversion(FILE* out, const char* percent, const char* conv, const unsigned char* slot,
                     int32_t length) {
  if (*conv == '%') {
    std::fputc('%', out);
    return;
  }
  if (*conv == 'n') return;
  char fmt[32];
  if (!buildFormat(percent + 1, size_t(conv - percent - 1), *conv, fmt)) {
    std::fwrite(percent, 1, size_t(conv - percent + 1), out);
    return;
  }
  const unsigned char* value = slot + 8;
  switch (*conv) {
    case 'a':
    case 'A':
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G': {
      double d;
      if (length == 4) {
        float f;
        std::memcpy(&f, value, sizeof f);
        d = f;
      } else {
        std::memcpy(&d, value, sizeof d);
      }
      std::fprintf(out, fmt, d);
      break;
    }
    case 'c':
    case 'd':
    case 'i':
      std::fprintf(out, fmt, int(readI32(value)));
      break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      std::fprintf(out, fmt, unsigned(readU32(value)));
      break;
    case 'p':
      std::fprintf(out, fmt, reinterpret_cast<void*>(uintptr_t(readU32(value))));
      break;
    case 's':  // ends at the latest at the copy's closing zero byte
      std::fprintf(out, fmt, reinterpret_cast<const char*>(value));
      break;
  }
}

// Maps a device address onto the ring: buffer start + (p - buffer start) mod length.
unsigned char* ringPosition(const unsigned char* p) {
  const auto length = static_cast<int64_t>(bufferLength);
  int64_t r = static_cast<int64_t>(addressOf(p) - addressOf(bufferStart)) % length;
  if (r < 0) r += length;
  return bufferStart + r;
}

void displayRing(FILE* out, bool showIdentifiers) {
  unsigned char* writer = readPosition;
  gpuMemcpyFromSymbol(&writer, "printfBufferPtr", sizeof writer);
  unsigned char* from = ringPosition(readPosition);
  unsigned char* to = ringPosition(writer);
  unsigned char* end = bufferStart + bufferLength;
  // Records behind the writers' position, left from before a wrap, are older.
  deviceLogPrintRange(out, to, showIdentifiers, false, bufferStart, end, end);
  deviceLogPrintRange(out, from, showIdentifiers, false, bufferStart, end, to);
  // Kept on the ring, so that a stray writer position never loses the buffer.
  readPosition = to;
}

void displayRegions(FILE* out, bool showIdentifiers) {
  const uintptr_t first = addressOf(bufferStart);
  uint64_t offset = 0;
  uint32_t lastSize = 0;
  while (offset < bufferLength && bufferLength - offset >= regionHeaderBytes) {
    unsigned char header[regionHeaderBytes] = {};
    gpuMemcpy(header, pointerAt(first + offset), sizeof header, gpuMemcpyDeviceToHost);
    const uint32_t size = readU32(header + 8);
    const uint32_t writeOffset = readU32(header + 12);
    if (size != 0) lastSize = size;
    if (readU16(header) != deviceLogRegionMagic) {
      if (lastSize == 0) {
        std::fputs("No printf headers found at all!\n", out);
        return;
      }
      offset += lastSize;
      continue;
    }
    if (size == 0) return;  // a region of no size gives no way to the next one
    if (writeOffset != 0) {
      const uintptr_t data = first + offset + deviceLogRecordBytes;
      unsigned char* regionEnd = pointerAt(first + offset + size);
      unsigned char* next = pointerAt(data + writeOffset);
      // The older records, behind the write offset, come first.
      deviceLogPrintRange(out, next, showIdentifiers, false, pointerAt(data), regionEnd, regionEnd);
      deviceLogPrintRange(out, pointerAt(data), showIdentifiers, false, pointerAt(data), regionEnd,
                          next);
    }
    offset += size;
  }
}

}  // namespace

int deviceLogInit(size_t requestedBytes) {
  deviceLogEnd();
  if (requestedBytes > maxBufferBytes) return 3;
  const size_t recordBytes = deviceLogRecordBytes;
  size_t length = requestedBytes < recordBytes ? recordBytes : requestedBytes;
  length = (length + recordBytes - 1) / recordBytes * recordBytes;
  void* p = nullptr;
  if (spareStart && spareLength == length) {
    p = spareStart;
  } else {
    if (spareStart) gpuFree(spareStart);
    if (gpuMalloc(&p, length) != gpuSuccess || !p) p = nullptr;
  }
  spareStart = nullptr;
  spareLength = 0;
  if (!p) return 3;
  bufferStart = static_cast<unsigned char*>(p);
  bufferLength = length;
  gpuMemset(bufferStart, 0, bufferLength);
  readPosition = bufferStart;
  const int rules[2] = {-1, -1};
  gpuMemcpyToSymbol("restrictRules", rules, sizeof rules);
  gpuMemcpyToSymbol("globalPrintfBuffer", &bufferStart, sizeof bufferStart);
  gpuMemcpyToSymbol("printfBufferPtr", &bufferStart, sizeof bufferStart);
  const int length32 = static_cast<int>(bufferLength);
  gpuMemcpyToSymbol("printfBufferLength", &length32, sizeof length32);
  return 0;
}

int deviceLogDisplay(FILE* out, bool showIdentifiers) {
  outputStream = out ? out : stdout;
  if (!readPosition || !bufferStart) return 1;
  unsigned char word[2] = {};
  gpuMemcpy(word, bufferStart, sizeof word, gpuMemcpyDeviceToHost);
  const unsigned layout = readU16(word);
  if (layout == deviceLogRegionMagic)
    displayRegions(outputStream, showIdentifiers);
  else if (layout == deviceLogRecordMagic)
    displayRing(outputStream, showIdentifiers);
  gpuMemset(bufferStart, 0, bufferLength);
  return 0;
}

int deviceLogAfterLaunch(FILE* out) {
  if (!bufferStart) return 1;
  if (gpuPeekAtLastError() != gpuSuccess) return 2;
  unsigned char word[2] = {};
  if (gpuMemcpy(word, bufferStart, sizeof word, gpuMemcpyDeviceToHost) != gpuSuccess) return 2;
  if (readU16(word) == 0) return 0;
  deviceLogDisplay(out, false);
  const size_t length = bufferLength;
  deviceLogEnd();
  deviceLogInit(length);
  return 0;
}

void deviceLogEnd() {
  if (bufferStart) {
    if (spareStart) gpuFree(spareStart);
    spareStart = bufferStart;
    spareLength = bufferLength;
  }
  bufferStart = nullptr;
  bufferLength = 0;
  readPosition = nullptr;
}

void deviceLogRelease() {
  deviceLogEnd();
  if (spareStart) gpuFree(spareStart);
  spareStart = nullptr;
  spareLength = 0;
}

int deviceLogPrintRange(FILE* out, unsigned char* start, bool showIdentifiers, bool zeroEachRecord,
                        unsigned char* wrapTarget, unsigned char* wrapPoint, unsigned char* stop) {
  if (start == stop || !bufferStart) return 0;
  out = streamFor(out);
  const uintptr_t first = addressOf(bufferStart);
  const uintptr_t last = first + bufferLength - deviceLogRecordBytes;  // last record start
  // One pass over the buffer is the most a range can hold; a stop that is never
  // met (a misaligned position) ends there instead of cycling round the ring.
  const int maxRecords = static_cast<int>(bufferLength / deviceLogRecordBytes);
  uintptr_t position = addressOf(start);
  int count = 0;
  while (count < maxRecords) {
    if (position == addressOf(wrapPoint)) position = addressOf(wrapTarget);
    if (position < first || position > last) return count;
    unsigned char record[copyBytes] = {};
    gpuMemcpy(record, pointerAt(position), deviceLogRecordBytes, gpuMemcpyDeviceToHost);
    const unsigned formatOffset = readU16(record + 2);
    if (readU16(record) != deviceLogRecordMagic || formatOffset >= deviceLogRecordBytes)
      return count;
    if (showIdentifiers)
      std::fprintf(out, "[%d, %d]: ", int(readU16(record + 4)), int(readU16(record + 6)));
    if (formatOffset == 0)
      std::fputs("printf buffer overflow\n", out);
    else if (!deviceLogPrintRecord(out, record, int(formatOffset)))
      return count;
    ++count;
    if (zeroEachRecord) gpuMemset(pointerAt(position), 0, deviceLogRecordBytes);
    position += deviceLogRecordBytes;
    if (position == addressOf(stop)) return count;
  }
  return count;
}

int deviceLogPrintRecord(FILE* out, const unsigned char* record, int formatOffset) {
  out = streamFor(out);
  unsigned char copy[copyBytes];
  std::memcpy(copy, record, sizeof copy);
  copy[copyBytes - 1] = 0;  // every text ends within the copy
  // A format whose text would start beyond the copy prints nothing.
  if (formatOffset < 0 || formatOffset + formatHeadBytes >= copyBytes) return 1;
  const char* text = reinterpret_cast<const char*>(copy) + formatOffset + formatHeadBytes;
  int slotOffset = firstSlotOffset;
  for (;;) {
    const char* percent = std::strchr(text, '%');
    if (!percent) {
      std::fputs(text, out);
      return 1;
    }
    std::fwrite(text, 1, size_t(percent - text), out);
    const char* conv = percent + 1 + std::strcspn(percent + 1, conversionChars);
    // An unfinished conversion, or one whose slot would lie beyond the record,
    // is written out as it stands together with the rest of the format.
    if (*conv == '\0' || slotOffset + argSlotBytes > deviceLogRecordBytes) {
      std::fputs(percent, out);
      return 1;
    }
    const int32_t length = readI32(copy + slotOffset);
    if (length > maxSlotLength) {
      std::fputs("Corrupt printf buffer data - aborting\n", out);
      return 0;
    }
    printConversion(out, percent, conv, copy + slotOffset, length);
    slotOffset += argSlotBytes;
    text = conv + 1;
  }
}
