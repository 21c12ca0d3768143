// Fuzz target of the graph loader: any bytes as a graph file. The reader from
// memory and the reader of a file must agree on every input; an accepted
// instance must be one the device can take, and a rejection must name its line
// in printable text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "problem/graph.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "graph_fuzz: %s\n", what);
  std::abort();
}

void checkAccepted(const GraphData& g) {
  require(g.n >= 2 && g.n <= maxNodes, "node count out of range");
  require(g.nl >= 1 && g.nl <= maxEdges && g.nl <= g.n * (g.n - 1) / 2, "edge count out of range");
  require(g.nlBytes == g.nl / 8 + 3, "bytes per bit string");
  // The kept edges are the first nl pairs u < v in row order.
  int u = 0, v = 1;
  for (int e = 0; e < g.nl; ++e) {
    require(g.links[e].from == u && g.links[e].to == v, "edge out of pair order");
    if (++v == g.n) v = ++u + 1;
  }
  for (int i = 0; i + 1 < g.n; ++i)
    require(g.nodeIndex[i] == i * g.n - i * (i + 1) / 2, "node index table");
}

void checkReason(const std::string& reason) {
  require(reason.compare(0, 5, "line ") == 0, "a rejection that names no line");
  size_t digits = 5;
  while (digits < reason.size() && reason[digits] >= '0' && reason[digits] <= '9') ++digits;
  require(digits > 5 && reason.compare(digits, 2, ": ") == 0, "a malformed line number");
  require(reason.size() < 300, "a rejection too long");
  for (const char c : reason) require(c >= 0x20 && c < 0x7f, "an unprintable rejection");
}

// The input as a file that readGraphFile can open by name: a memory file,
// rewritten for every input.
const char* asFile(const uint8_t* data, size_t size) {
  static int fd = -1;
  static char name[64];
  if (fd < 0) {
    fd = memfd_create("graph_fuzz", 0);
    require(fd >= 0, "memfd_create failed");
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
  }
  require(ftruncate(fd, 0) == 0, "ftruncate failed");
  require(pwrite(fd, data, size, 0) == ssize_t(size), "pwrite failed");
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GraphData fromMemory, fromFile;
  std::string memoryReason, fileReason;
  const GraphReadStatus m =
      readGraphText(reinterpret_cast<const char*>(data), size, &fromMemory, &memoryReason);
  const GraphReadStatus f = readGraphFile(asFile(data, size), &fromFile, &fileReason);
  require(m == graphOk || m == graphBad, "memory reader status");
  require(m == f, "memory and file readers disagree on acceptance");
  require(memoryReason == fileReason, "memory and file readers give different reasons");
  if (m == graphOk) {
    checkAccepted(fromMemory);
    require(fromFile.n == fromMemory.n && fromFile.nl == fromMemory.nl &&
                std::memcmp(fromFile.links, fromMemory.links,
                            sizeof(Link) * size_t(fromMemory.nl)) == 0,
            "memory and file readers read different instances");
  } else {
    checkReason(memoryReason);
  }
  // The batch's reader: what the design's reader takes it reads the same; a
  // wide instance has its links in pair order, within its nodes, connected.
  static GraphData batch;
  std::string batchReason;
  const GraphReadStatus b =
      readBatchGraphText(reinterpret_cast<const char*>(data), size, &batch, &batchReason);
  require(b == graphOk || b == graphBad, "batch reader status");
  if (m == graphOk)
    require(b == graphOk && !batch.wide && batch.nl == fromMemory.nl &&
                std::memcmp(batch.links, fromMemory.links, sizeof(Link) * size_t(batch.nl)) == 0,
            "the batch reader reads a design instance differently");
  if (b == graphOk && batch.wide) {
    const std::vector<WideLink>& l = batch.wide->links;
    require(batch.n >= 2 && batch.n <= wideMaxNodes && batch.nl == int(l.size()), "wide counts");
    for (size_t e = 0; e < l.size(); ++e) {
      require(l[e].from >= 0 && l[e].from < l[e].to && l[e].to < batch.n, "wide link nodes");
      require(e == 0 || l[e - 1].from < l[e].from ||
                  (l[e - 1].from == l[e].from && l[e - 1].to < l[e].to),
              "wide links out of pair order");
    }
    require(wideConnected(*batch.wide), "a wide instance that is not connected");
  }
  if (b == graphBad) {
    require(batchReason.size() < 300, "a batch rejection too long");
    for (const char c : batchReason) require(c >= 0x20 && c < 0x7f, "an unprintable rejection");
  }
  return 0;
}
