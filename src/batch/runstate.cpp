// A run's population read from the device and written back: the device side
// of a checkpoint (batch/checkpoint.h).
#include <string>
#include <vector>

#include "batch/checkpoint.h"
#include "gpu/gpu.h"

namespace {

void check(int result, const char* what) {
  if (result != gpuSuccess) throw BatchError(std::string(what) + ": " + gpuGetErrorString(result));
}

// The parts of a wide run's area that live from one launch to the next.
struct WidePart {
  void* at;
  size_t bytes;
};
std::vector<WidePart> wideParts(const WideRun& w) {
  const size_t rowBytes = size_t(w.words) * 8 * popSize;
  return {{w.rows, rowBytes}, {w.fit, 8 * size_t(popSize)}, {w.idx, size_t(popSize)}};
}

}  // namespace

void readPopulation(const BatchRun* entry, const Chrom* population, int nlBytes,
                    const WideRun* wide, PopulationState* state) {
  check(gpuMemcpy(state->streams, entry->next, sizeof state->streams, gpuMemcpyDeviceToHost),
        "reading a run's streams");
  if (wide) {
    state->fits.clear();
    state->bits.clear();
    for (const WidePart& part : wideParts(*wide)) {
      const size_t at = state->bits.size();
      state->bits.resize(at + part.bytes);
      check(gpuMemcpy(state->bits.data() + at, part.at, part.bytes, gpuMemcpyDeviceToHost),
            "reading a run's population");
    }
    return;
  }
  std::vector<Chrom> records(popSize);
  check(gpuMemcpy(records.data(), population, sizeof(Chrom) * popSize, gpuMemcpyDeviceToHost),
        "reading a run's population");
  state->fits.resize(popSize);
  state->bits.resize(size_t(popSize) * size_t(nlBytes));
  for (int k = 0; k < popSize; ++k) {
    state->fits[size_t(k)] = records[size_t(k)].fit;
    check(gpuMemcpy(state->bits.data() + size_t(k) * size_t(nlBytes), records[size_t(k)].lbit,
                    size_t(nlBytes), gpuMemcpyDeviceToHost),
          "reading a run's population");
  }
}

void writePopulation(BatchRun* entry, Chrom* population, unsigned char* slotBits, int nlBytes,
                     const WideRun* wide, const PopulationState& state) {
  check(gpuMemcpy(entry->next, state.streams, sizeof state.streams, gpuMemcpyHostToDevice),
        "restoring a run's streams");
  if (wide) {
    size_t at = 0;
    for (const WidePart& part : wideParts(*wide)) {
      if (state.bits.size() - at < part.bytes)
        throw BatchError("a checkpoint's population is short");
      check(gpuMemcpy(part.at, state.bits.data() + at, part.bytes, gpuMemcpyHostToDevice),
            "restoring a run's population");
      at += part.bytes;
    }
    return;
  }
  if (state.fits.size() != size_t(popSize) ||
      state.bits.size() != size_t(popSize) * size_t(nlBytes))
    throw BatchError("a checkpoint's population does not fit its run");
  std::vector<Chrom> records(popSize);
  for (int k = 0; k < popSize; ++k) {
    records[size_t(k)].fit = state.fits[size_t(k)];
    records[size_t(k)].lbit = slotBits + size_t(k) * batchBitBytes;
    check(gpuMemcpy(records[size_t(k)].lbit, state.bits.data() + size_t(k) * size_t(nlBytes),
                    size_t(nlBytes), gpuMemcpyHostToDevice),
          "restoring a run's population");
  }
  check(gpuMemcpy(population, records.data(), sizeof(Chrom) * popSize, gpuMemcpyHostToDevice),
        "restoring a run's population");
}
