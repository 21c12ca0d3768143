// Host side of the device message buffer: a buffer of fixed-size 256-byte
// message records in device memory, created before a launch, printed on the
// host after it and freed. Two layouts are understood, told apart by the first
// 16-bit word of the buffer: one ring of records (0xC811), whose writers'
// position is the device variable printfBufferPtr, and a sequence of regions
// (0xC810), each with a 256-byte header and its own write offset.
//
// Record: magic 0xC811 (2 bytes), format offset (2), two writer identifiers
// (2 + 2), then one 16-byte argument slot per conversion from offset 8; at the
// format offset an 8-byte slot head followed by the zero-terminated format.
// Argument slot: value length (4, signed; 4 marks a float), 4 unused bytes,
// 8 value bytes (int, float, double, or the start of a string).
#pragma once

#include <cstddef>
#include <cstdio>

enum {
  deviceLogRecordBytes = 256,
  deviceLogRecordMagic = 0xC811,
  deviceLogRegionMagic = 0xC810,
};

// Allocates and zeroes a buffer of requestedBytes rounded up to a multiple of
// 256 (at least 256) and publishes it in the device variables. Returns 0, or 3
// when the device allocation fails (the buffer is then absent). A buffer left
// from an earlier call is freed first.
int deviceLogInit(size_t requestedBytes);

// Prints the records written since the previous display to out (standard
// output when null), each preceded by "[id1, id2]: " when showIdentifiers is
// set, then zeroes the buffer. Returns 1 when no buffer exists (nothing is
// touched), else 0.
int deviceLogDisplay(FILE* out, bool showIdentifiers);

// After a launch: prints what the launch wrote (as deviceLogDisplay without
// identifiers) and leaves the buffer as deviceLogEnd and deviceLogInit of the
// same size would, ready for the next launch. Writers of either layout begin
// at the buffer's start, so when its first word is still zero the launch wrote
// nothing: then one 2-byte read is all the device work. While a launch error
// is pending nothing is read, and the error stays for the caller's next
// checked call. Returns 0; 1 when no buffer exists; 2 when a launch error is
// pending or the device cannot be read.
int deviceLogAfterLaunch(FILE* out);

// Ends the buffer; a later display returns 1. Its device memory is kept for
// the next buffer of the same size.
void deviceLogEnd();

// Ends the buffer and releases its device memory, the kept one included.
void deviceLogRelease();

// Prints the records from start until stop, jumping to wrapTarget on reaching
// wrapPoint; all positions are device addresses. Stops early at a record that
// lacks the record magic or has a format offset of 256 or more, at a corrupt
// record, at a position outside the buffer, or after one pass over the
// buffer's worth of records. Zeroes each printed record on the device when
// zeroEachRecord is set. Returns the number of records printed; 0 when no
// buffer exists.
int deviceLogPrintRange(FILE* out, unsigned char* start, bool showIdentifiers, bool zeroEachRecord,
                        unsigned char* wrapTarget, unsigned char* wrapPoint, unsigned char* stop);

// Prints one record from its 257-byte host copy, the format text starting 8
// bytes after formatOffset. Returns 1 when printed, 0 when a slot length above
// 256 marks the record as corrupt ("Corrupt printf buffer data - aborting\n").
// Reads stay within the 257 bytes.
int deviceLogPrintRecord(FILE* out, const unsigned char* record, int formatOffset);
