#include "problem/graph.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Reads the next value of an edge line, or says why it cannot.
bool readEdgeValue(FILE* f, int kept, int wanted, int* v, std::string* reason) {
  char what[160];
  switch (readInt(f, v)) {
    case readOk:
      return true;
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
  *reason = what;
  return false;
}

// Checks and reads the header and edge lines of an open file into g.
bool parseGraph(FILE* f, GraphData* g, std::string* reason) {
  int n = 0, a = 0;
  if (readInt(f, &n) != readOk || readInt(f, &a) != readOk) {
    *reason = "missing or unreadable header (two integers: nodes, twice the edge count)";
    return false;
  }
  const int nl = a / 2;
  char what[200];
  if (n < 2 || n > maxNodes) {
    std::snprintf(what, sizeof what, "%d nodes; a graph has 2 to %d", n, int(maxNodes));
    *reason = what;
    return false;
  }
  if (nl < 1 || nl > maxEdges) {
    std::snprintf(what, sizeof what, "%d edges (header %d / 2); a graph has 1 to %d", nl, a,
                  int(maxEdges));
    *reason = what;
    return false;
  }
  if (nl > n * (n - 1) / 2) {
    std::snprintf(what, sizeof what, "%d edges, more than the %d pairs of %d nodes", nl,
                  n * (n - 1) / 2, n);
    *reason = what;
    return false;
  }
  g->n = n;
  g->nl = nl;
  g->nlBytes = nl / 8 + 3;
  for (int i = 0; i < maxNodes; ++i) g->nodeIndex[i] = 0;
  for (int i = 1; i < n - 1; ++i) g->nodeIndex[i] = g->nodeIndex[i - 1] + (n - i);

  // Kept lines must be the pairs (1,2), (1,3), ..., (N-1,N) in this order: the
  // device finds the edge of a pair by its position in that order.
  int wantU = 1, wantV = 2;
  for (int kept = 0; kept < nl;) {
    int u = 0, v = 0, w = 0;
    if (!readEdgeValue(f, kept, nl, &u, reason) || !readEdgeValue(f, kept, nl, &v, reason) ||
        !readEdgeValue(f, kept, nl, &w, reason))
      return false;
    if (u < 1 || u > n || v < 1 || v > n) {
      std::snprintf(what, sizeof what, "edge line \"%d %d %d\": node number outside 1..%d", u, v, w,
                    n);
      *reason = what;
      return false;
    }
    if (w < -32768 || w > 32767) {
      std::snprintf(what, sizeof what,
                    "edge line \"%d %d %d\": weight outside the 16-bit range -32768..32767", u, v,
                    w);
      *reason = what;
      return false;
    }
    if (u >= v) continue;
    if (u != wantU || v != wantV) {
      std::snprintf(what, sizeof what,
                    "edge line \"%d %d %d\": expected the pair %d %d next (pairs u < v must come "
                    "in the order 1 2, 1 3, ..., %d %d)",
                    u, v, w, wantU, wantV, n - 1, n);
      *reason = what;
      return false;
    }
    g->links[kept].from = short(u - 1);
    g->links[kept].to = short(v - 1);
    g->links[kept].weight = short(w);
    ++kept;
    if (++wantV > n) {
      ++wantU;
      wantV = wantU + 1;
    }
  }
  return true;
}

}  // namespace

GraphReadStatus readGraphFile(const char* path, GraphData* g, std::string* reason) {
  FILE* f = std::fopen(path, "r");
  if (!f) {
    *reason = std::strerror(errno);
    return graphOpenFailed;
  }
  const bool ok = parseGraph(f, g, reason);
  std::fclose(f);
  return ok ? graphOk : graphBad;
}

int graphConstBytes(const GraphData& g) { return 4 * (g.n - 1) + 6 * g.nl + 12; }

void uploadGraph(const GraphData& g) {
  CHECK_CUDA(gpuMemcpyToSymbol("probNn", &g.n, sizeof g.n));
  CHECK_CUDA(gpuMemcpyToSymbol("probNl", &g.nl, sizeof g.nl));
  CHECK_CUDA(gpuMemcpyToSymbol("probNlBytes", &g.nlBytes, sizeof g.nlBytes));
  CHECK_CUDA(gpuMemcpyToSymbol("probLink", g.links, sizeof(Link) * size_t(g.nl)));
  CHECK_CUDA(gpuMemcpyToSymbol("nIdx", g.nodeIndex, sizeof(int) * size_t(g.n - 1)));
}

void loadGraph(const char* path, int* constBytes) {
  static GraphData g;
  std::string reason;
  switch (readGraphFile(path, &g, &reason)) {
    case graphOk:
      break;
    case graphOpenFailed:
      std::printf("Ne moze da se otvori fajl %s \n", path);
      std::exit(1);
    case graphBad:
      std::fflush(stdout);
      std::fprintf(stderr, "smetp: bad graph file %s: %s\n", path, reason.c_str());
      std::exit(1);
  }
  for (int e = 0; e < g.nl; ++e)
    std::printf("(%d,%d)=%d\n", g.links[e].from, g.links[e].to, g.links[e].weight);
  *constBytes += graphConstBytes(g);
  uploadGraph(g);
}
