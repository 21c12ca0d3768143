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
using Arg = std::pair<int32_t, Bytes>;  // an argument slot: length field, value bytes

template <typename T>
Arg arg(T v) {
  auto p = reinterpret_cast<unsigned char*>(&v);
  return {int32_t(sizeof v), Bytes(p, p + sizeof v)};
}
Arg text(const std::string& s) {
  return {int32_t(s.size() + 1), Bytes(s.c_str(), s.c_str() + s.size() + 1)};
}

void put(Bytes& r, size_t at, uint32_t v, size_t n) { std::memcpy(&r[at], &v, n); }

// A 257-byte record copy with the format slot right after the argument slots.
Bytes record(const std::string& format, const std::vector<Arg>& args = {}, unsigned id1 = 0,
             unsigned id2 = 0) {
  Bytes r(257, 0);
  const size_t formatOffset = 8 + 16 * args.size();
  put(r, 0, 0xC811, 2), put(r, 2, formatOffset, 2), put(r, 4, id1, 2), put(r, 6, id2, 2);
  for (size_t i = 0; i < args.size(); ++i) {
    put(r, 8 + 16 * i, args[i].first, 4);
    std::memcpy(&r[16 + 16 * i], args[i].second.data(), args[i].second.size());
  }
  std::memcpy(&r[formatOffset + 8], format.data(), format.size());
  return r;
}

std::string readAll(FILE* f) {
  char text[4096];
  std::rewind(f);
  const std::string s(text, std::fread(text, 1, sizeof text, f));
  std::fclose(f);
  return s;
}

class DeviceLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(deviceLogInit(2048), 0);
    gpuMemcpyFromSymbol(&buffer, "globalPrintfBuffer", sizeof buffer);
  }
  void TearDown() override { deviceLogEnd(); }
  void write(size_t offset, const Bytes& b) {
    ASSERT_EQ(gpuMemcpy(buffer + offset, b.data(), 256, gpuMemcpyHostToDevice), gpuSuccess);
  }
  void writeHeader(size_t offset, uint32_t size, uint32_t writeOffset) {
    Bytes h(256, 0);
    put(h, 0, 0xC810, 2), put(h, 8, size, 4), put(h, 12, writeOffset, 4);
    write(offset, h);
  }
  // Fills ring slots first..last-1, slot k with the line k + base.
  void fillRing(int base, int first = 0, int last = 8) {
    for (int k = first; k < last; ++k) write(256 * k, record(std::to_string(k + base) + "\n"));
  }
  std::string display(size_t writer, bool ids = false) {
    auto p = reinterpret_cast<unsigned char*>(uintptr_t(buffer) + writer);  // may lie past the end
    gpuMemcpyToSymbol("printfBufferPtr", &p, sizeof p);
    FILE* f = std::tmpfile();
    EXPECT_EQ(deviceLogDisplay(f, ids), 0);
    return readAll(f);
  }
  unsigned char* buffer = nullptr;
};

TEST_F(DeviceLog, InitRoundsSizeFreesAnEarlierBufferAndEndDisablesDisplay) {
  unsigned char* previous = buffer;
  const std::pair<int, int> sizes[] = {{0, 256}, {256, 256}, {257, 512}, {1048576, 1048576}};
  for (const auto& size : sizes) {
    ASSERT_EQ(deviceLogInit(size_t(size.first)), 0);
    unsigned char *start = nullptr, *writer = nullptr;
    int length = 0, rules[2] = {};
    gpuMemcpyFromSymbol(&start, "globalPrintfBuffer", sizeof start);
    gpuMemcpyFromSymbol(&writer, "printfBufferPtr", sizeof writer);
    gpuMemcpyFromSymbol(&length, "printfBufferLength", sizeof length);
    gpuMemcpyFromSymbol(rules, "restrictRules", sizeof rules);
    EXPECT_TRUE(length == size.second && start && start == writer);
    EXPECT_TRUE(rules[0] == -1 && rules[1] == -1);
    if (previous != start) {  // the earlier buffer is gone
      EXPECT_NE(gpuMemset(previous, 0, 1), gpuSuccess) << size.first;
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

TEST_F(DeviceLog, ABufferOfTheSameSizeReusesTheMemoryZeroed) {
  fillRing(0, 0, 3);
  deviceLogEnd();
  ASSERT_EQ(deviceLogInit(2048), 0);
  unsigned char* again = nullptr;
  gpuMemcpyFromSymbol(&again, "globalPrintfBuffer", sizeof again);
  EXPECT_EQ(buffer, again);
  Bytes contents(2048, 1);
  ASSERT_EQ(gpuMemcpy(contents.data(), again, 2048, gpuMemcpyDeviceToHost), gpuSuccess);
  EXPECT_EQ(Bytes(2048, 0), contents);
  EXPECT_EQ("", display(0));
}

TEST_F(DeviceLog, AfterLaunchPrintsAndRearmsOnlyWhatWasWrittenAndKeepsALaunchError) {
  FILE* f = std::tmpfile();
  EXPECT_EQ(deviceLogAfterLaunch(f), 0);  // nothing written: nothing printed
  fillRing(0, 0, 2);
  auto p = buffer + 512;
  gpuMemcpyToSymbol("printfBufferPtr", &p, sizeof p);
  EXPECT_EQ(deviceLogAfterLaunch(f), 0);
  unsigned char* writer = nullptr;
  gpuMemcpyFromSymbol(&writer, "printfBufferPtr", sizeof writer);
  EXPECT_EQ(buffer, writer);  // set up again for the next launch
  Bytes contents(2048, 1);
  ASSERT_EQ(gpuMemcpy(contents.data(), buffer, 2048, gpuMemcpyDeviceToHost), gpuSuccess);
  EXPECT_EQ(Bytes(2048, 0), contents);
  // A failed launch: the buffer is left alone and the error stays for the
  // caller's next checked call.
  fillRing(5, 0, 1);
  ASSERT_EQ(gpuErrorLaunchFailure, gpuLaunch(kernelSrand, 1, &contents[0]));
  EXPECT_EQ(deviceLogAfterLaunch(f), 2);
  EXPECT_EQ(gpuErrorLaunchFailure, gpuMemcpy(contents.data(), buffer, 1, gpuMemcpyDeviceToHost));
  EXPECT_EQ(readAll(f), "0\n1\n");
}

TEST_F(DeviceLog, RingPrintsConversionsIdentifiersAndOverflow) {
  write(0, record("i=%d u=%u x=%#x c=%c\n", {arg(-7), arg(7), arg(255), arg(int('A'))}, 3, 65535));
  write(256, record("f=%.2f d=%-11.3e|\n", {arg(1.5f), arg(-2.25)}, 1, 2));
  write(512, record("s=[%5s] %% %d %%\n", {text("abc"), arg(0), arg(42), arg(0)}));
  Bytes overflow = record("");
  put(overflow, 2, 0, 2);
  write(768, overflow);
  write(1024, record("plain\n"));
  write(1280, record("rate 50%\n"));
  EXPECT_EQ(display(1536, true),
            "[3, 65535]: i=-7 u=7 x=0xff c=A\n[1, 2]: f=1.50 d=-2.250e+00 |\n"
            "[0, 0]: s=[  abc] % 42 %\n[0, 0]: printf buffer overflow\n[0, 0]: plain\n"
            "[0, 0]: rate 50%\n");
}

TEST_F(DeviceLog, RingPrintsOlderRecordsFirstAcrossWraps) {
  fillRing(0);
  EXPECT_EQ(display(2048), "0\n1\n2\n3\n4\n5\n6\n7\n");  // exactly one lap
  fillRing(8);
  EXPECT_EQ(display(2048 + 2 * 256), "10\n11\n12\n13\n14\n15\n8\n9\n");
  fillRing(16, 0, 5);  // slots 0 and 1 lie before the read position
  EXPECT_EQ(display(2048 + 5 * 256), "18\n19\n20\n");
  fillRing(24, 5, 8);
  fillRing(24, 0, 1);
  EXPECT_EQ(display(2 * 2048 + 256), "29\n30\n31\n24\n");
  fillRing(32);  // a writer position off the record grid: one lap at most
  EXPECT_EQ(display(100), "33\n34\n35\n36\n37\n38\n39\n32\n");
}

TEST_F(DeviceLog, CorruptSlotEndsOnlyItsRangeAndTheBufferIsZeroed) {
  fillRing(0);
  write(512, record("a %d %d\n", {arg(5), {300, Bytes(8)}}));
  EXPECT_EQ(display(2048 + 512), "a 5 Corrupt printf buffer data - aborting\n0\n1\n");
  Bytes contents(2048, 1);
  gpuMemcpy(contents.data(), buffer, contents.size(), gpuMemcpyDeviceToHost);
  EXPECT_EQ(contents, Bytes(2048, 0));
  write(256, record("x\n"));  // no layout word at the start: nothing to print
  EXPECT_EQ(display(512), "");
}

TEST_F(DeviceLog, RegionsPrintOlderRecordsFirst) {
  writeHeader(0, 1024, 256);
  write(256, record("new\n"));
  write(512, record("old1\n"));
  write(768, record("old2\n"));
  writeHeader(1024, 512, 256);
  write(1280, record("b\n"));
  writeHeader(1536, 512, 0);
  write(1792, record("unwritten\n"));
  EXPECT_EQ(display(0), "old1\nold2\nnew\nb\n");

  writeHeader(0, 512, 256);
  write(256, record("c\n"));
  writeHeader(512, 0, 256);  // a region of size 0 ends the walk
  write(768, record("d\n"));
  EXPECT_EQ(display(0), "c\n");
}

TEST(DeviceLogRecord, HostileRecordsStayInsideTheCopy) {
  auto print = [](const Bytes& r, int formatOffset) {
    FILE* f = std::tmpfile();
    EXPECT_EQ(deviceLogPrintRecord(f, r.data(), formatOffset), 1);
    return readAll(f);
  };
  for (int offset = 248; offset <= 255; ++offset) EXPECT_EQ(print(record("x"), offset), "");

  int sentinel = 12345;
  const Bytes r =
      record("%*d|%.*f|%n|%lld|%ls|%hhx|%1$d|%5%\n",
             {arg(42), arg(2.5), arg(&sentinel), arg(-5), text("ab"), arg(0x1ff), arg(9), arg(0)});
  EXPECT_EQ(print(r, 8 + 16 * 8), "42|2.500000||-5|ab|ff|%1$d|%\n");
  EXPECT_EQ(sentinel, 12345);

  // 90 conversions from offset 8 on, where the slot length fields fall on
  // bytes of 0xff: the first 15 have slots, the rest is written as it stands.
  const std::string unit = std::string("%%%%%%%%") + "\xff\xff\xff\xff" + "%%%%";
  std::string format;
  for (int i = 0; i < 15; ++i) format += unit;
  Bytes many(257, 0);
  std::memcpy(&many[16], format.data(), format.size());
  const std::string unitOut = std::string("%%%%") + "\xff\xff\xff\xff" + "%%";
  EXPECT_EQ(print(many, 8), unitOut + unitOut + "%%%" + format.substr(38));
}

}  // namespace
