// Per-lane random streams: a linear congruential step whose increment comes
// from the executing lane, and the helpers that turn draws into decisions.
#pragma once

#include <math.h>

#ifndef DEVFN
#error "include device/block.h"
#endif

namespace SMETP_FORM {

enum : unsigned { randMul = 1103515245u, randAdd = 12345u };

// The executing lane's increment: the single-precision square root of t*t,
// truncated. With a correctly rounded square root this is t itself.
DEVFN unsigned laneIncrement(int t) { return (unsigned)sqrtf((float)(t * t)); }

// One step of stream idx taken by lane t; yields 0..32767.
DEVFN int devRand(unsigned* streams, int idx, int t) {
  const unsigned s = streams[idx] * randMul + laneIncrement(t) + randAdd;
  streams[idx] = s;
  return int((s >> 16) & 32767u);
}

DEVFN float unitValue(int r) { return (float)r / 32767.0f; }

// The draws r for which p > r / 32767 (single precision) are exactly the
// r below this count, since the quotient never decreases as r grows.
DEVFN int probabilityThreshold(float p) {
  int lo = 0, hi = 32768;  // the answer lies in [lo, hi]
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (p > unitValue(mid))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// The draws r for which r / 32767 < p are likewise r below this count.
DEVFN int belowThreshold(float p) {
  int lo = 0, hi = 32768;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (unitValue(mid) < p)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// Eight steps at once: state k steps ahead is jumpMul[k] * s + c * jumpSum[k],
// so the eight draws of a byte are independent of each other.
DEVFN unsigned jumpMul(int k) {
  const unsigned m[9] = {1u,          1103515245u, 3265436265u, 2155723957u, 3993403153u,
                         3953215549u, 3554433017u, 2603963141u, 3487424289u};
  return m[k];
}
DEVFN unsigned jumpSum(int k) {
  const unsigned m[9] = {0u,         1u,          1103515246u, 73984215u,  2229708172u,
                         1928144029u, 1586392282u, 845858003u, 3449821144u};
  return m[k];
}

// Takes eight steps of a stream whose state is s and whose step adds c; bit k
// of the result is set when draw k is below the threshold.
DEVFN unsigned drawByteMask(unsigned& s, unsigned c, int threshold) {
  unsigned mask = 0;
#ifdef __CUDACC__
#pragma unroll
#endif
  for (int k = 1; k <= 8; ++k) {
    const unsigned sk = jumpMul(k) * s + c * jumpSum(k);
    mask |= (int((sk >> 16) & 32767u) < threshold ? 1u : 0u) << (k - 1);
  }
  s = jumpMul(8) * s + c * jumpSum(8);
  return mask;
}

// Takes `bits` single steps (fewer than eight); bit k set when draw k is below.
DEVFN unsigned drawTailMask(unsigned& s, unsigned c, int threshold, int bits) {
  unsigned mask = 0;
  for (int k = 0; k < bits; ++k) {
    s = s * randMul + c;
    mask |= (int((s >> 16) & 32767u) < threshold ? 1u : 0u) << k;
  }
  return mask;
}

#ifndef __CUDACC__
// Steps each listed lane's own stream `steps` times, one step at a time, with
// several lanes interleaved so that the steps of different lanes overlap.
void advanceStreamsInterleaved(unsigned* streams, const int* lanes, int count,
                               unsigned long long steps);
#endif

}  // namespace SMETP_FORM
