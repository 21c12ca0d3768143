// The host's test of a runtime result.
#pragma once

// Ends the process with status 1 after "<error text> in <file> at line <n>"
// on standard output when result is not 0.
void checkCuda(int result, const char* file, int line);
#define CHECK_CUDA(call) checkCuda((call), __FILE__, __LINE__)
