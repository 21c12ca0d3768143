// The run record appended to ./out.dat after every completed run.
#pragma once

#include <cstdio>
#include <ctime>

struct RunRecord {
  time_t startTime;
  const char* path;  // the graph file argument
  int seed;
  int maxGen;  // generations run: launches times 50
  int objHard;
  float endMut;
  float graphDens;
  unsigned short best;
  double sec;     // seconds from the start to the last improvement
  double totSec;  // seconds from the start to the end of the launches
  int constBytes;
};

// Writes the 19 lines of one record to `out`.
void writeRunRecord(FILE* out, const RunRecord& r);
// Appends the record to the file; when the file cannot be opened, says so,
// writes the record to standard error instead and ends the process with 1.
void appendRunRecord(const char* outFile, const RunRecord& r);
