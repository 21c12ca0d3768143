// Bit strings: bit e is bit (e mod 8) of byte (e div 8), least significant
// first. Block slots hold the same layout in 64-bit words (little-endian), so
// that bit e is also bit (e mod 64) of word (e div 64).
#pragma once

#include "device/block.h"

namespace SMETP_FORM {

typedef unsigned long long SlotWord;
enum { slotWords = 16 };  // 128 bytes per slot: room for the 1000 bits of a slot

// A row of the block's slots, as the routines reach it: word w with row[w],
// byte b with slotByte(row, b). A CUDA block's rows are 128 bytes long, so
// word w of every row would lie in the same two of shared memory's 32 banks,
// and lanes that reach word w of their own rows at once would wait on each
// other 16 times over. There word w of row r is kept at position w ^ (r mod
// 16): lanes on rows that differ modulo 16 then meet in no bank. The CPU form
// keeps the words in order (its wide instructions read a row whole); the race
// check's threaded form takes the CUDA layout, so that it is compared with the
// CPU form's.
#if defined(__CUDACC__) || defined(SMETP_THREADED_FORM)
#define SMETP_SWIZZLED_SLOTS 1
struct SlotRow {
  SlotWord* words;
  unsigned swizzle;  // the row's number modulo 16
  DEVFN SlotWord& operator[](int w) const { return words[unsigned(w) ^ swizzle]; }
};
DEVFN SlotRow slotRow(SlotWord (&row)[slotWords], int rowNumber) {
  return SlotRow{row, unsigned(rowNumber) & (slotWords - 1)};
}
DEVFN unsigned char& slotByte(SlotRow r, int b) {
  return reinterpret_cast<unsigned char*>(r.words + ((unsigned(b) >> 3) ^ r.swizzle))[b & 7];
}
// The bytes of a row as an array: bytes[b] is byte b of the bit string.
struct SlotBytes {
  SlotRow row;
  DEVFN unsigned char& operator[](int b) const { return slotByte(row, b); }
};
DEVFN SlotBytes rowBytes(SlotRow r) { return SlotBytes{r}; }
// A wide run's rows are plain words in every form.
DEVFN unsigned char* rowBytes(SlotWord* r) { return reinterpret_cast<unsigned char*>(r); }
#else
typedef SlotWord* SlotRow;
DEVFN SlotRow slotRow(SlotWord (&row)[slotWords], int) { return row; }
DEVFN unsigned char& slotByte(SlotRow r, int b) { return reinterpret_cast<unsigned char*>(r)[b]; }
DEVFN unsigned char* rowBytes(SlotRow r) { return reinterpret_cast<unsigned char*>(r); }
#endif

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
// Either is a slot row or a plain array of words.
template <class Dst, class Src>
DEVFN void copyBits(Dst dst, Src src, int count) {
  const int words = (count + 63) >> 6;
  for (int w = 0; w < words; ++w) {
    const SlotWord m = wordMaskBelow(w, count);
    dst[w] = (dst[w] & ~m) | (src[w] & m);
  }
}

// Clears bits 0..count-1 of a slot; the others keep their values.
DEVFN void clearSlotBits(SlotRow slot, int count) {
  const int words = (count + 63) >> 6;
  for (int w = 0; w < words; ++w) slot[w] &= ~wordMaskBelow(w, count);
}

// Sets bit e of a slot.
DEVFN void setSlotBit(SlotRow slot, int e) { slot[e >> 6] |= 1ull << (e & 63); }

// Copies bits 0..count-1 of a slot into a byte string; other bits keep values.
DEVFN void storeBits(unsigned char* dst, SlotRow src, int count) {
  const int whole = count >> 3;
  for (int b = 0; b < whole; ++b) dst[b] = slotByte(src, b);
  if (count & 7) {
    const unsigned m = (1u << (count & 7)) - 1u;
    dst[whole] = (unsigned char)((dst[whole] & ~m) | (slotByte(src, whole) & m));
  }
}

#ifndef __CUDACC__
// Draws bytes 0..whole-1 of drawBits from state s of a stream whose step adds
// c: sixteen draws at a time where the processor has AVX2, else eight.
void drawWholeBytes(unsigned char* bits, int whole, int threshold, unsigned& s, unsigned c,
                    bool flip);
#endif

// Bytes 0..whole-1 of drawBits, eight draws at a time; Bytes is a byte pointer
// or a slot's bytes.
template <class Bytes>
DEVFN void drawBytesByEight(Bytes bits, int whole, int threshold, unsigned& s, unsigned c,
                            bool flip) {
  const JumpAdds jump = jumpAdds(c);
  for (int b = 0; b < whole; ++b) {
    const unsigned drawn = drawByteMask(s, jump, threshold);
    bits[b] = (unsigned char)(flip ? bits[b] ^ drawn : drawn);
  }
}

DEVFN void drawWholeBytesOf(unsigned char* bits, int whole, int threshold, unsigned& s, unsigned c,
                            bool flip) {
#ifdef __CUDACC__
  drawBytesByEight(bits, whole, threshold, s, c, flip);
#else
  drawWholeBytes(bits, whole, threshold, s, c, flip);
#endif
}
#ifdef SMETP_SWIZZLED_SLOTS
DEVFN void drawWholeBytesOf(SlotBytes bits, int whole, int threshold, unsigned& s, unsigned c,
                            bool flip) {
  drawBytesByEight(bits, whole, threshold, s, c, flip);
}
#endif

// Draws once per bit 0..count-1, in bit order, from stream idx taken by lane
// t; a draw below the threshold either sets its bit (the others cleared) or,
// with `flip`, flips it. Bits from `count` on keep their values.
template <class Bytes>
DEVFN void drawBits(Bytes bits, int count, int threshold, unsigned* streams, int idx, int t,
                    bool flip) {
  if (count <= 0) return;
  const unsigned c = laneIncrement(t) + randAdd;
  unsigned s = streams[idx];
  const int whole = count >> 3;
  drawWholeBytesOf(bits, whole, threshold, s, c, flip);
  if (count & 7) {
    const unsigned keep = ~((1u << (count & 7)) - 1u);
    const unsigned drawn = drawTailMask(s, c, threshold, count & 7);
    bits[whole] = (unsigned char)(flip ? bits[whole] ^ drawn : (bits[whole] & keep) | drawn);
  }
  streams[idx] = s;
}

// Sets bits 0..count-1 of `bits` at random: each is 1 when its draw r from
// stream idx, taken by lane t, satisfies density > r / 32767.
template <class Bytes>
DEVFN void randomizeBits(Bytes bits, int count, float density, unsigned* streams, int idx, int t) {
  drawBits(bits, count, probabilityThreshold(density), streams, idx, t, false);
}

// Flips each of bits 0..count-1 whose draw r from lane t's own stream
// satisfies p > r / 32767 (r below the threshold); one draw per bit whether
// or not it flips.
template <class Bytes>
DEVFN void mutateBits(Bytes bits, int count, int threshold, unsigned* streams, int t) {
  drawBits(bits, count, threshold, streams, t, t, true);
}

}  // namespace SMETP_FORM
