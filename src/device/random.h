// Per-lane random streams: a linear congruential step whose increment comes
// from the executing lane, and the helpers that turn draws into decisions.
#pragma once

#include <math.h>

#ifndef __CUDACC__
#include <emmintrin.h>
#endif

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

// A draw from 0 to m - 1 (m >= 1) made of two steps of a stream held in
// `s` with increment c: two 15-bit values, so that counts up to 2^30 can be
// drawn. A caller that draws often keeps the stream in a local this way.
DEVFN int drawBelow(unsigned& s, unsigned c, int m) {
  s = s * randMul + c;
  const unsigned hi = (s >> 16) & 32767u;
  s = s * randMul + c;
  const unsigned lo = (s >> 16) & 32767u;
  return int(((hi << 15) | lo) % (unsigned)m);
}

// Takes `steps` single steps of lane t's own stream, the values discarded.
DEVFN void advanceStream(unsigned* streams, int t, unsigned long long steps) {
  unsigned s = streams[t];
  const unsigned c = laneIncrement(t) + randAdd;
  for (unsigned long long k = 0; k < steps; ++k) s = s * randMul + c;
  streams[t] = s;
}

DEVFN float unitValue(int r) { return (float)r / 32767.0f; }

// The draws r for which p > r / 32767 (single precision), or equally
// r / 32767 < p, are exactly the r below this count, since the quotient never
// decreases as r grows.
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

// Eight steps at once: state k steps ahead is jumpMul[k] * s + c * jumpSum[k],
// so the eight draws of a byte are independent of each other.
DEVFN unsigned jumpMul(int k) {
  const unsigned m[9] = {1u,          1103515245u, 3265436265u, 2155723957u, 3993403153u,
                         3953215549u, 3554433017u, 2603963141u, 3487424289u};
  return m[k];
}
DEVFN unsigned jumpSum(int k) {
  const unsigned m[9] = {0u,          1u,          1103515246u, 73984215u,  2229708172u,
                         1928144029u, 1586392282u, 845858003u,  3449821144u};
  return m[k];
}

// The constant parts of the jumps for a stream whose step adds c.
struct JumpAdds {
  unsigned add[9];
};
DEVFN JumpAdds jumpAdds(unsigned c) {
  JumpAdds j;
  for (int k = 0; k <= 8; ++k) j.add[k] = c * jumpSum(k);
  return j;
}

#ifdef __CUDACC__
// Takes eight steps of a stream whose state is s; bit k of the result is set
// when draw k is below the threshold.
DEVFN unsigned drawByteMask(unsigned& s, const JumpAdds& j, int threshold) {
  unsigned mask = 0;
#pragma unroll
  for (int k = 1; k <= 8; ++k) {
    const unsigned sk = jumpMul(k) * s + j.add[k];
    mask |= (int((sk >> 16) & 32767u) < threshold ? 1u : 0u) << (k - 1);
  }
  s = jumpMul(8) * s + j.add[8];
  return mask;
}
#else
// The same eight steps, four at a time in 128-bit registers.
inline __m128i mulLow32(__m128i broadcast, __m128i even, __m128i odd) {
  const __m128i e = _mm_mul_epu32(broadcast, even);
  const __m128i o = _mm_mul_epu32(broadcast, odd);
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(e, 0x08), _mm_shuffle_epi32(o, 0x08));
}
inline unsigned drawByteMask(unsigned& s, const JumpAdds& j, int threshold) {
  // jumpMul(1) .. jumpMul(8), as a table the loads can read.
  alignas(16) static const unsigned mul[8] = {1103515245u, 3265436265u, 2155723957u, 3993403153u,
                                              3953215549u, 3554433017u, 2603963141u, 3487424289u};
  const __m128i m0 = _mm_load_si128(reinterpret_cast<const __m128i*>(mul));
  const __m128i m1 = _mm_load_si128(reinterpret_cast<const __m128i*>(mul + 4));
  const __m128i sv = _mm_set1_epi32(int(s));
  const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(j.add + 1));
  const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(j.add + 5));
  const __m128i s0 = _mm_add_epi32(mulLow32(sv, m0, _mm_srli_epi64(m0, 32)), a0);
  const __m128i s1 = _mm_add_epi32(mulLow32(sv, m1, _mm_srli_epi64(m1, 32)), a1);
  // Draw r = bits 16..30 of the state; r < threshold compares those bits. A
  // threshold of 32768 (a probability above 1) takes every draw, and its limit
  // must stay a positive int.
  const __m128i keep = _mm_set1_epi32(0x7FFF0000);
  const __m128i limit = _mm_set1_epi32(threshold > 32767 ? 0x7FFFFFFF : threshold << 16);
  const __m128i c0 = _mm_cmplt_epi32(_mm_and_si128(s0, keep), limit);
  const __m128i c1 = _mm_cmplt_epi32(_mm_and_si128(s1, keep), limit);
  s = unsigned(_mm_cvtsi128_si32(_mm_shuffle_epi32(s1, 0xFF)));
  return unsigned(_mm_movemask_ps(_mm_castsi128_ps(c0))) |
         unsigned(_mm_movemask_ps(_mm_castsi128_ps(c1))) << 4;
}
#endif

// Takes `bits` single steps (fewer than eight); bit k set when draw k is below.
DEVFN unsigned drawTailMask(unsigned& s, unsigned c, int threshold, int bits) {
  unsigned mask = 0;
  for (int k = 0; k < bits; ++k) {
    s = s * randMul + c;
    mask |= (int((s >> 16) & 32767u) < threshold ? 1u : 0u) << k;
  }
  return mask;
}

#if !defined(__CUDACC__) && !defined(SMETP_THREADED_FORM)
// Steps each listed lane's own stream `steps` times, one step at a time, with
// several lanes interleaved so that the steps of different lanes overlap.
void advanceStreamsInterleaved(unsigned* streams, const int* lanes, int count,
                               unsigned long long steps);
#endif

}  // namespace SMETP_FORM
