// Fills the device message buffer with hand-built records and checks the exact
// text that the host prints from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "devlog/cuPrintf1.h"
#include "gpu/gpu.h"

namespace {

using Bytes = std::vector<unsigned char>;

// An argument slot: its length field and the bytes from its value on.
struct Arg {
  int32_t length;
  Bytes value;
};

template <typename T>
Arg arg(T v, int32_t length = sizeof(T)) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return {length, b};
}

Arg text(const std::string& s) { return {int32_t(s.size() + 1), Bytes(s.c_str(), s.c_str() + s.size() + 1)}; }

void put(Bytes& r, size_t at, uint32_t v, size_t n) { std::memcpy(&r[at], &v, n); }

// A 257-byte record copy with the format slot right after the argument slots.
Bytes record(const std::string& format, const std::vector<Arg>& args = {}, unsigned id1 = 0,
             unsigned id2 = 0) {
  Bytes r(257, 0);
  const size_t formatOffset = 8 + 16 * args.size();
  put(r, 0, 0xC811, 2), put(r, 2, formatOffset, 2), put(r, 4, id1, 2), put(r, 6, id2, 2);
  for (size_t i = 0; i < args.size(); ++i) {
    put(r, 8 + 16 * i, args[i].length, 4);
    std::memcpy(&r[16 + 16 * i], args[i].value.data(), args[i].value.size());
  }
  std::memcpy(&r[formatOffset + 8], format.data(), format.size());
  return r;
}

std::string readAll(FILE* f) {
  std::string s;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) s += char(c);
  std::fclose(f);
  return s;
}

std::string printRecord(const Bytes& r, int formatOffset) {
  FILE* f = std::tmpfile();
  EXPECT_EQ(deviceLogPrintRecord(f, r.data(), formatOffset), 1);
  return readAll(f);
}

class DeviceLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(deviceLogInit(2048), 0);
    gpuMemcpyFromSymbol(&buffer, "globalPrintfBuffer", sizeof buffer);
  }
  void TearDown() override { deviceLogEnd(); }
  unsigned char* at(size_t offset) {
    return reinterpret_cast<unsigned char*>(reinterpret_cast<uintptr_t>(buffer) + offset);
  }
  void write(size_t offset, const Bytes& b) {
    ASSERT_EQ(gpuMemcpy(at(offset), b.data(), 256, gpuMemcpyHostToDevice), gpuSuccess);
  }
  void setWriter(size_t offset) {
    unsigned char* p = at(offset);
    gpuMemcpyToSymbol("printfBufferPtr", &p, sizeof p);
  }
  // Fills ring slots first..last-1, slot k with the line k + base.
  void fillRing(int base, int first = 0, int last = 8) {
    for (int k = first; k < last; ++k) write(256 * k, record(std::to_string(k + base) + "\n"));
  }
  std::string display(bool ids = false) {
    FILE* f = std::tmpfile();
    EXPECT_EQ(deviceLogDisplay(f, ids), 0);
    return readAll(f);
  }
  unsigned char* buffer = nullptr;
};

TEST(DeviceLogLifecycle, InitRoundsSizeAndReplacesAnEarlierBuffer) {
  unsigned char* previous = nullptr;
  const std::pair<int, int> sizes[] = {{0, 256}, {256, 256}, {257, 512}, {1048576, 1048576}};
  for (const auto& size : sizes) {
    ASSERT_EQ(deviceLogInit(size_t(size.first)), 0);
    unsigned char *start = nullptr, *writer = nullptr;
    int length = 0, rules[2] = {};
    gpuMemcpyFromSymbol(&start, "globalPrintfBuffer", sizeof start);
    gpuMemcpyFromSymbol(&writer, "printfBufferPtr", sizeof writer);
    gpuMemcpyFromSymbol(&length, "printfBufferLength", sizeof length);
    gpuMemcpyFromSymbol(rules, "restrictRules", sizeof rules);
    EXPECT_EQ(length, size.second);
    EXPECT_TRUE(start && start == writer);
    EXPECT_TRUE(rules[0] == -1 && rules[1] == -1);
    Bytes contents(size.second, 1);
    gpuMemcpy(contents.data(), start, contents.size(), gpuMemcpyDeviceToHost);
    EXPECT_EQ(contents, Bytes(size.second, 0));
    if (previous && previous != start) {
      EXPECT_NE(gpuMemset(previous, 0, 1), gpuSuccess);
    }
    previous = start;
  }
  deviceLogEnd();
  FILE* f = std::tmpfile();
  EXPECT_EQ(deviceLogDisplay(f, true), 1);
  EXPECT_EQ(deviceLogInit(size_t(1) << 40), 3);
  EXPECT_EQ(deviceLogDisplay(f, true), 1);
  EXPECT_EQ(readAll(f), "");
}

TEST_F(DeviceLog, BufferWithoutLayoutPrintsNothingAndIsZeroed) {
  write(256, record("x\n"));
  EXPECT_EQ(display(), "");
  Bytes contents(2048, 1);
  gpuMemcpy(contents.data(), buffer, contents.size(), gpuMemcpyDeviceToHost);
  EXPECT_EQ(contents, Bytes(2048, 0));
}

TEST_F(DeviceLog, RingPrintsConversionsIdentifiersAndOverflow) {
  const int32_t n = -7, u = 7, x = 255, c = 'A';
  write(0, record("i=%d u=%u x=%#x c=%c\n", {arg(n), arg(u), arg(x), arg(c)}, 3, 65535));
  write(256, record("f=%.2f d=%-11.3e|\n", {arg(1.5f), arg(-2.25)}, 1, 2));
  write(512, record("s=[%5s] %% %d %%\n", {text("abc"), arg(0), arg(42), arg(0)}));
  Bytes overflow = record("");
  put(overflow, 2, 0, 2);
  write(768, overflow);
  write(1024, record("plain\n"));
  write(1280, record("rate 50%\n"));
  setWriter(1536);
  EXPECT_EQ(display(true),
            "[3, 65535]: i=-7 u=7 x=0xff c=A\n[1, 2]: f=1.50 d=-2.250e+00 |\n"
            "[0, 0]: s=[  abc] % 42 %\n[0, 0]: printf buffer overflow\n[0, 0]: plain\n"
            "[0, 0]: rate 50%\n");
}

TEST_F(DeviceLog, RingPrintsOlderRecordsFirstAcrossWraps) {
  fillRing(0);
  setWriter(2048);  // exactly one lap: the whole ring, once
  EXPECT_EQ(display(), "0\n1\n2\n3\n4\n5\n6\n7\n");
  fillRing(8);
  setWriter(2048 + 2 * 256);  // two records past a wrap
  EXPECT_EQ(display(), "10\n11\n12\n13\n14\n15\n8\n9\n");
  fillRing(16, 0, 5);  // slots 0 and 1 lie before the read position
  setWriter(2048 + 5 * 256);  // from slot 2 on to slot 5
  EXPECT_EQ(display(), "18\n19\n20\n");
  fillRing(24, 5, 8);
  fillRing(24, 0, 1);
  setWriter(2 * 2048 + 256);  // from slot 5 through the end to slot 1
  EXPECT_EQ(display(), "29\n30\n31\n24\n");
  fillRing(32);
  setWriter(100);  // a writer position off the record grid: one lap at most
  EXPECT_EQ(display(), "33\n34\n35\n36\n37\n38\n39\n32\n");
}

TEST_F(DeviceLog, CorruptSlotEndsOnlyItsRange) {
  fillRing(0);
  write(512, record("a %d %d\n", {arg(5), {300, Bytes(8)}}));
  setWriter(2048 + 512);
  EXPECT_EQ(display(), "a 5 Corrupt printf buffer data - aborting\n0\n1\n");
}

TEST_F(DeviceLog, RegionsPrintOlderRecordsFirst) {
  auto header = [](uint32_t size, uint32_t writeOffset) {
    Bytes h(256, 0);
    put(h, 0, 0xC810, 2), put(h, 8, size, 4), put(h, 12, writeOffset, 4);
    return h;
  };
  write(0, header(1024, 256));
  write(256, record("new\n"));
  write(512, record("old1\n"));
  write(768, record("old2\n"));
  write(1024, header(512, 256));
  write(1280, record("b\n"));
  write(1536, header(512, 0));
  write(1792, record("unwritten\n"));
  EXPECT_EQ(display(), "old1\nold2\nnew\nb\n");

  write(0, header(512, 256));  // a region of size 0 ends the walk
  write(256, record("c\n"));
  write(512, header(0, 256));
  write(768, record("d\n"));
  EXPECT_EQ(display(), "c\n");
}

TEST(DeviceLogRecord, HostileRecordsStayInsideTheCopy) {
  for (int offset = 248; offset <= 255; ++offset) EXPECT_EQ(printRecord(record("x"), offset), "");

  int sentinel = 12345;
  const Bytes r = record("%*d|%.*f|%n|%lld|%ls|%hhx|%1$d|%5%\n",
                         {arg(42), arg(2.5), arg(&sentinel, 8), arg(-5), text("ab"), arg(0x1ff),
                          arg(9), arg(0)});
  EXPECT_EQ(printRecord(r, 8 + 16 * 8), "42|2.500000||-5|ab|ff|%1$d|%\n");
  EXPECT_EQ(sentinel, 12345);

  // 90 conversions from offset 8 on, where the slot length fields fall on
  // bytes of 0xff: the first 15 have slots, the rest is written as it stands.
  const std::string unit = std::string("%%%%%%%%") + "\xff\xff\xff\xff" + "%%%%";
  std::string format;
  for (int i = 0; i < 15; ++i) format += unit;
  Bytes many(257, 0);
  std::memcpy(&many[16], format.data(), format.size());
  const std::string unitOut = std::string("%%%%") + "\xff\xff\xff\xff" + "%%";
  EXPECT_EQ(printRecord(many, 8), unitOut + unitOut + "%%%" + format.substr(38));
}

}  // namespace
