// Bit strings: bit e is bit (e mod 8) of byte (e div 8), least significant
// first. Block slots hold the same layout in 64-bit words (little-endian), so
// that bit e is also bit (e mod 64) of word (e div 64).
#pragma once

#include "device/block.h"

namespace SMETP_FORM {

typedef unsigned long long SlotWord;
enum { slotWords = 16 };  // 128 bytes per slot: room for the 1000 bits of a slot

DEVFN int getBit(int index, const unsigned char* bits) {
  return (bits[index >> 3] & (1u << (index & 7))) ? 1 : 0;
}
DEVFN void setBit(int index, unsigned char* bits) {
  bits[index >> 3] = (unsigned char)(bits[index >> 3] | (1u << (index & 7)));
}
DEVFN void clearBit(int index, unsigned char* bits) {
  bits[index >> 3] = (unsigned char)(bits[index >> 3] & ~(1u << (index & 7)));
}

// Mask of the bits of word w that lie below `count` bits.
DEVFN SlotWord wordMaskBelow(int w, int count) {
  const int rest = count - 64 * w;
  if (rest >= 64) return ~0ull;
  if (rest <= 0) return 0ull;
  return (1ull << rest) - 1ull;
}

// Copies bits 0..count-1 of src into dst; dst's other bits keep their values.
DEVFN void copyBits(SlotWord* dst, const SlotWord* src, int count) {
  const int words = (count + 63) >> 6;
  for (int w = 0; w < words; ++w) {
    const SlotWord m = wordMaskBelow(w, count);
    dst[w] = (dst[w] & ~m) | (src[w] & m);
  }
}

// Clears bits 0..count-1 of a slot; the others keep their values.
DEVFN void clearSlotBits(SlotWord* slot, int count) {
  const int words = (count + 63) >> 6;
  for (int w = 0; w < words; ++w) slot[w] &= ~wordMaskBelow(w, count);
}

// Sets bit e of a slot.
DEVFN void setSlotBit(SlotWord* slot, int e) { slot[e >> 6] |= 1ull << (e & 63); }

// Copies bits 0..count-1 of a slot into a byte string; other bits keep values.
DEVFN void storeBits(unsigned char* dst, const SlotWord* src, int count) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  const int whole = count >> 3;
  for (int b = 0; b < whole; ++b) dst[b] = s[b];
  if (count & 7) {
    const unsigned m = (1u << (count & 7)) - 1u;
    dst[whole] = (unsigned char)((dst[whole] & ~m) | (s[whole] & m));
  }
}

// Draws once per bit 0..count-1, in bit order, from stream idx taken by lane
// t; a draw below the threshold either sets its bit (the others cleared) or,
// with `flip`, flips it. Bits from `count` on keep their values.
#ifndef __CUDACC__
// Draws bytes 0..whole-1 of drawBits from state s of a stream whose step adds
// c: sixteen draws at a time where the processor has AVX2, else eight.
void drawWholeBytes(unsigned char* bits, int whole, int threshold, unsigned& s, unsigned c,
                    bool flip);
#endif

DEVFN void drawBits(unsigned char* bits, int count, int threshold, unsigned* streams, int idx,
                    int t, bool flip) {
  if (count <= 0) return;
  const unsigned c = laneIncrement(t) + randAdd;
  unsigned s = streams[idx];
  const int whole = count >> 3;
#ifdef __CUDACC__
  const JumpAdds jump = jumpAdds(c);
  for (int b = 0; b < whole; ++b) {
    const unsigned drawn = drawByteMask(s, jump, threshold);
    bits[b] = (unsigned char)(flip ? bits[b] ^ drawn : drawn);
  }
#else
  drawWholeBytes(bits, whole, threshold, s, c, flip);
#endif
  if (count & 7) {
    const unsigned keep = ~((1u << (count & 7)) - 1u);
    const unsigned drawn = drawTailMask(s, c, threshold, count & 7);
    bits[whole] = (unsigned char)(flip ? bits[whole] ^ drawn : (bits[whole] & keep) | drawn);
  }
  streams[idx] = s;
}

// Sets bits 0..count-1 of `bits` at random: each is 1 when its draw r from
// stream idx, taken by lane t, satisfies density > r / 32767.
DEVFN void randomizeBits(unsigned char* bits, int count, float density, unsigned* streams, int idx,
                         int t) {
  drawBits(bits, count, probabilityThreshold(density), streams, idx, t, false);
}

// Flips each of bits 0..count-1 whose draw r from lane t's own stream
// satisfies p > r / 32767 (r below the threshold); one draw per bit whether
// or not it flips.
DEVFN void mutateBits(unsigned char* bits, int count, int threshold, unsigned* streams, int t) {
  drawBits(bits, count, threshold, streams, t, t, true);
}

}  // namespace SMETP_FORM
