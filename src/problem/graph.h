// The graph file: a header "N A" (nodes, twice the edge count), then edge
// lines "u v w" with 1-based nodes; only lines with u < v are taken.
#pragma once

#include <cstddef>
#include <string>

#include "problem/chrom.h"

// An instance as the device takes it: node and edge counts, bytes per bit
// string, the edge table (0-based, row-major pair order) and the index of each
// node's first pair.
struct GraphData {
  int n;
  int nl;
  int nlBytes;
  Link links[maxEdges];
  int nodeIndex[maxNodes];
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

// Bytes of device constant data that an instance takes.
int graphConstBytes(const GraphData& g);

// Uploads the instance to the named device variables.
void uploadGraph(const GraphData& g);

// Reads the instance, prints each kept edge as "(u,v)=w" (0-based), uploads
// it (uploadGraph) and adds the uploaded bytes to *constBytes. A file that
// cannot be used ends the process with status 1 and a message.
void loadGraph(const char* path, int* constBytes);
