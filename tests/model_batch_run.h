// The batch kernels' entry for an instance of the plain model, for the tests
// that launch the batch kernels on model instances.
#pragma once

#include <cstring>

#include "plain_ga.h"
#include "problem/batchrun.h"

// The instance's tables and parameters; the generator states zero and the
// design's settings (callers set those as they need).
inline void modelBatchRun(const ModelInstance& in, BatchRun* r) {
  std::memset(r, 0, sizeof *r);
  r->probNn = in.probNn;
  r->probNl = in.probNl;
  r->probNlBytes = in.probNlBytes;
  r->objvalhardness = in.objvalhardness;
  r->graphdensity = in.graphdensity;
  std::memcpy(r->nIdx, in.nIdx, 4 * size_t(in.probNn - 1));
  std::memcpy(r->probLink, in.link, 6 * size_t(in.probNl));
  r->settings = designGaSettings();
}
