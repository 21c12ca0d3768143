#include "problem/graph.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "gpu/check.h"
#include "gpu/gpu.h"
#include "problem/chrom.h"

namespace {

enum ReadResult { readOk, readEnd, readNotNumber, readTooLarge };

// Reads one decimal integer the way "%d" does: white space skipped, an
// optional sign, then digits up to the first other character, which stays
// unread. Unlike "%d" it reports a value beyond the int range instead of
// leaving it undefined.
ReadResult readInt(FILE* f, int* out) {
  int c;
  do c = std::fgetc(f);
  while (c != EOF && std::isspace(c));
  if (c == EOF) return readEnd;
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = std::fgetc(f);
  }
  if (c == EOF || !std::isdigit(c)) {
    if (c != EOF) std::ungetc(c, f);
    return readNotNumber;
  }
  long long value = 0;
  bool tooLarge = false;
  for (; c != EOF && std::isdigit(c); c = std::fgetc(f)) {
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) {
      tooLarge = true;
      value = 2147483648LL;
    }
  }
  if (c != EOF) std::ungetc(c, f);
  if (negative) value = -value;
  if (tooLarge || value > INT_MAX || value < INT_MIN) return readTooLarge;
  *out = int(value);
  return readOk;
}

[[noreturn]] void reject(FILE* f, const char* path, const char* what) {
  std::fflush(stdout);
  std::fprintf(stderr, "smetp: bad graph file %s: %s\n", path, what);
  if (f) std::fclose(f);
  std::exit(1);
}

// Reads the next value of an edge line, or rejects the file saying why.
int readEdgeValue(FILE* f, const char* path, int kept, int wanted) {
  int v = 0;
  char what[160];
  switch (readInt(f, &v)) {
    case readOk:
      return v;
    case readEnd:
      std::snprintf(what, sizeof what, "the file ends after %d of %d edges", kept, wanted);
      break;
    case readNotNumber:
      std::snprintf(what, sizeof what, "text that is not a number after %d of %d edges", kept,
                    wanted);
      break;
    case readTooLarge:
      std::snprintf(what, sizeof what, "a number too large after %d of %d edges", kept, wanted);
      break;
  }
  reject(f, path, what);
}

}  // namespace

void loadGraph(const char* path, int* constBytes) {
  FILE* f = std::fopen(path, "r");
  if (!f) {
    std::printf("Ne moze da se otvori fajl %s \n", path);
    std::exit(1);
  }
  int n = 0, a = 0;
  if (readInt(f, &n) != readOk || readInt(f, &a) != readOk)
    reject(f, path, "missing or unreadable header (two integers: nodes, twice the edge count)");
  const int nl = a / 2;
  char what[200];
  if (n < 2 || n > maxNodes) {
    std::snprintf(what, sizeof what, "%d nodes; a graph has 2 to %d", n, int(maxNodes));
    reject(f, path, what);
  }
  if (nl < 1 || nl > maxEdges) {
    std::snprintf(what, sizeof what, "%d edges (header %d / 2); a graph has 1 to %d", nl, a,
                  int(maxEdges));
    reject(f, path, what);
  }
  if (nl > n * (n - 1) / 2) {
    std::snprintf(what, sizeof what, "%d edges, more than the %d pairs of %d nodes", nl,
                  n * (n - 1) / 2, n);
    reject(f, path, what);
  }
  const int nlBytes = nl / 8 + 3;

  int* nodeIndex = static_cast<int*>(std::malloc(sizeof(int) * size_t(n - 1)));
  if (!nodeIndex) {
    std::fprintf(stderr, "Greska pri alokaciji nIdx i nIdxTemp");
    std::exit(1);
  }
  nodeIndex[0] = 0;
  for (int i = 1; i < n - 1; ++i) nodeIndex[i] = nodeIndex[i - 1] + (n - i);

  Link* links = static_cast<Link*>(std::malloc(sizeof(Link) * size_t(nl)));
  if (!links) {
    std::fprintf(stderr, "Greska pri alokaciji linkova");
    std::exit(1);
  }

  // Kept lines must be the pairs (1,2), (1,3), ..., (N-1,N) in this order: the
  // device finds the edge of a pair by its position in that order.
  int wantU = 1, wantV = 2;
  for (int kept = 0; kept < nl;) {
    const int u = readEdgeValue(f, path, kept, nl);
    const int v = readEdgeValue(f, path, kept, nl);
    const int w = readEdgeValue(f, path, kept, nl);
    if (u < 1 || u > n || v < 1 || v > n) {
      std::snprintf(what, sizeof what, "edge line \"%d %d %d\": node number outside 1..%d", u, v, w,
                    n);
      reject(f, path, what);
    }
    if (w < -32768 || w > 32767) {
      std::snprintf(what, sizeof what,
                    "edge line \"%d %d %d\": weight outside the 16-bit range -32768..32767", u, v,
                    w);
      reject(f, path, what);
    }
    if (u >= v) continue;
    if (u != wantU || v != wantV) {
      std::snprintf(what, sizeof what,
                    "edge line \"%d %d %d\": expected the pair %d %d next (pairs u < v must come "
                    "in the order 1 2, 1 3, ..., %d %d)",
                    u, v, w, wantU, wantV, n - 1, n);
      reject(f, path, what);
    }
    links[kept].from = short(u - 1);
    links[kept].to = short(v - 1);
    links[kept].weight = short(w);
    std::printf("(%d,%d)=%d\n", links[kept].from, links[kept].to, links[kept].weight);
    ++kept;
    if (++wantV > n) {
      ++wantU;
      wantV = wantU + 1;
    }
  }

  *constBytes += 4 * (n - 1) + 6 * nl + 12;
  CHECK_CUDA(gpuMemcpyToSymbol("probNn", &n, sizeof n));
  CHECK_CUDA(gpuMemcpyToSymbol("probNl", &nl, sizeof nl));
  CHECK_CUDA(gpuMemcpyToSymbol("probNlBytes", &nlBytes, sizeof nlBytes));
  CHECK_CUDA(gpuMemcpyToSymbol("probLink", links, sizeof(Link) * size_t(nl)));
  CHECK_CUDA(gpuMemcpyToSymbol("nIdx", nodeIndex, sizeof(int) * size_t(n - 1)));
  std::free(links);
  std::free(nodeIndex);
  std::fclose(f);
}
