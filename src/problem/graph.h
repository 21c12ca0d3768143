// The graph file: a header "N A" (nodes, twice the edge count), then edge
// lines "u v w" with 1-based nodes; only lines with u < v are taken.
#pragma once

// Reads the instance, prints each kept edge as "(u,v)=w" (0-based), uploads
// the node and edge counts, the bytes per bit string, the edge table and the
// node index table to the device, and adds the uploaded bytes to *constBytes.
// A file that cannot be used ends the process with status 1 and a message.
void loadGraph(const char* path, int* constBytes);
