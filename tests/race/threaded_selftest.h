// Small kernels of the threaded form that show its block rules at work.
#pragma once

namespace threadform {
// Block b's lane t writes a shared word, and after the barrier copies its
// neighbour's word (lane t + 1, wrapping) to out[b * lanes + t].
int launchNeighbourExchange(unsigned blocks, unsigned lanes, int* out);
// The lower half of the lanes takes one block step more than the upper half.
int launchDivergentBarrier(unsigned lanes);
// Every lane reads its neighbour's per-lane value.
int launchForeignPerLane(unsigned lanes, int* out);
}  // namespace threadform
