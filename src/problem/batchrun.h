// Records that host and device share in batch mode: block b of a batch launch
// works on run b, whose instance, parameters and generator states are entry b
// of an array of BatchRun, and whose between-launch values are entry b of an
// array of BatchControl (small, so the host moves all of them in one copy).
#pragma once

#include "problem/chrom.h"
#include "problem/settings.h"
#include "problem/wide.h"

struct BatchRun {
  int probNn;
  int probNl;
  int probNlBytes;
  int objvalhardness;
  float graphdensity;
  unsigned next[popSize];  // the run's generator states, seeded by the host
  int nIdx[maxNodes];
  Link probLink[maxEdges];
  GaSettings settings;  // the run's GA settings (designGaSettings() for the design's run)
  // A wide run's device area (its instance and population), null for a run
  // of the design's shape.
  WideRun* wide;
};

struct BatchControl {
  float mutProb;        // the run's mutation probability, as the single run's cModifiedMutationProb
  unsigned short best;  // the best fitness after the latest launch, as cBest
  unsigned short active;  // nonzero: the run takes part in the next launch
  unsigned long long wideBest;  // a wide run's best score after the latest launch
};

// A batch run's population: records b * popSize .. b * popSize + 127 of the
// batch's Chrom array, each bit string batchBitBytes bytes long.
enum { batchBitBytes = 128 };
