// The named device variables: the instance and run parameters in constant
// memory, the generator states and the message buffer's position in global
// memory. In the CPU form they are inline variables, so that tests see the
// same variables as the kernels.
#pragma once

#include "device/block.h"
#include "problem/chrom.h"

namespace SMETP_FORM {

DEV_CONSTANT int probNn;
DEV_CONSTANT int probNl;
DEV_CONSTANT int probNlBytes;
DEV_CONSTANT Link probLink[maxEdges];
DEV_CONSTANT int nIdx[maxNodes];
DEV_CONSTANT int objvalhardness;
DEV_CONSTANT float graphdensity;
DEV_GLOBAL unsigned next[popSize];
DEV_GLOBAL int restrictRules[2];
DEV_CONSTANT unsigned char* globalPrintfBuffer;
DEV_CONSTANT int printfBufferLength;
DEV_GLOBAL unsigned char* printfBufferPtr;

}  // namespace SMETP_FORM
