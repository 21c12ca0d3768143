// The graph file: a header "N A" (nodes, twice the edge count), then edge
// lines "u v w" with 1-based nodes; only lines with u < v are taken.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "problem/chrom.h"
#include "problem/widegraph.h"

// An instance as the device takes it: node and edge counts, bytes per bit
// string, the edge table (0-based, row-major pair order) and the index of each
// node's first pair.
struct GraphData {
  int n;
  int nl;
  int nlBytes;
  Link links[maxEdges];
  int nodeIndex[maxNodes];
  // An instance beyond the design's limits (more than 45 nodes, a weight
  // outside 16 bits, or a sparse file): all its links; n and nl are its node
  // and link counts, and the tables above are unused. Null otherwise.
  std::shared_ptr<const WideGraph> wide;
  bool sparse = false;  // read from a sparse file: its links are its candidates
  // sha256 of the graph file's bytes (64 hex digits) where smetp-batch read
  // one, so that a resume can tell a changed file; empty otherwise.
  std::string fileSha256;
};

enum GraphReadStatus { graphOk, graphOpenFailed, graphBad };

// Reads and checks the instance without printing or uploading anything. On
// graphOpenFailed, *reason holds why the file could not be opened (strerror);
// on graphBad, what is wrong with it, starting "line L: " with the 1-based line
// at fault and quoting offending text shortened and in printable form. A read
// error is reported as such, not as the end of the file.
GraphReadStatus readGraphFile(const char* path, GraphData* g, std::string* reason);

// The same check of an instance held in memory (size bytes, NUL bytes
// included): graphOk or graphBad.
GraphReadStatus readGraphText(const char* data, size_t size, GraphData* g, std::string* reason);

// The batch's reader: the design's format with 2 to 2,000 nodes and 32-bit
// weights, or the sparse format (a first line "sparse N M", then M lines
// "u v w": 1-based nodes u != v, each pair once, in any order). An instance
// within the design's limits in the design's format reads exactly as
// readGraphFile reads it; any other sets g->wide, and its links must connect
// all its nodes.
GraphReadStatus readBatchGraphFile(const char* path, GraphData* g, std::string* reason);
GraphReadStatus readBatchGraphText(const char* data, size_t size, GraphData* g,
                                   std::string* reason);

// Every link of an instance as a wide instance's (the design's tables
// converted when g.wide is null).
std::shared_ptr<const WideGraph> wideGraphOf(const GraphData& g);

// Bytes of device constant data that an instance takes.
int graphConstBytes(const GraphData& g);

// Uploads the instance to the named device variables.
void uploadGraph(const GraphData& g);

// Reads the instance, prints each kept edge as "(u,v)=w" (0-based), uploads
// it (uploadGraph) and adds the uploaded bytes to *constBytes. A file that
// cannot be used ends the process with status 1 and a message.
void loadGraph(const char* path, int* constBytes);
