// Built as the threaded form, like the device source it checks.
#include "threaded_selftest.h"

#include "device/block.h"

namespace threadform {

namespace {

KERNEL neighbourExchange(int* out, int lanes) {
  SHARED int words[blockLanes];
  Block block;
  const int b = blockIndex();
  block.step([&](int t) { words[t] = 1000 * b + 3 * t + 1; });
  block.step([&](int t) { out[b * lanes + t] = words[(t + 1) % lanes]; });
}

KERNEL divergentBarrier() {
  Block block;
  PerLane<bool> lower;
  block.step([&](int t) { lower[t] = t < blockLanes / 2; });
  if (lower[threadLane]) block.step([](int) {});
}

KERNEL foreignPerLane(int* out, int lanes) {
  Block block;
  PerLane<int> value;
  block.step([&](int t) { value[t] = t; });
  block.step([&](int t) { out[t] = value[(t + 1) % lanes]; });
}

}  // namespace

int launchNeighbourExchange(unsigned blocks, unsigned lanes, int* out) {
  LAUNCH_BLOCKS(neighbourExchange, blocks, lanes, out, int(lanes));
  return launchResult();
}

int launchDivergentBarrier(unsigned lanes) {
  LAUNCH_BLOCKS(divergentBarrier, 1, lanes);
  return launchResult();
}

int launchForeignPerLane(unsigned lanes, int* out) {
  LAUNCH_BLOCKS(foreignPerLane, 1, lanes, out, int(lanes));
  return launchResult();
}

}  // namespace threadform
