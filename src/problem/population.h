#pragma once

#include "problem/chrom.h"

// Gives each of the 128 records its own device bit string of probNlBytes
// bytes (read back from the device), zeroed, and prints the allocation line.
void allocChromosomeBits(Chrom* hostPop);

// Releases the 128 bit strings that allocChromosomeBits gave out and clears
// their addresses.
void freeChromosomeBits(Chrom* hostPop);
