// The run record appended to ./out.dat after every completed run.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

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

// The 19 lines of one record.
std::string runRecordText(const RunRecord& r);
// Writes the 19 lines of one record to `out`.
void writeRunRecord(FILE* out, const RunRecord& r);
// Writes the whole text at the end of an open file; a write that fails part
// way (a full disk) is cut off again, so that no part of the text stays
// (where the file can be cut: not on a pipe). On failure returns false and
// sets *reason (strerror). *at (when given) is set to the offset the text
// was written at.
bool writeWholeAtEnd(int fd, const std::string& text, std::string* reason, long long* at = nullptr);
// Appends `text` to the file (created when missing) with one write on a file
// opened for appending, so that records of processes appending to the same
// file never interleave; the close is checked too. A write that fails part
// way (a full disk) is cut off again, so the file stays as it was. On failure
// returns false and sets *error to the reason (strerror), and *openFailed
// (when given) to whether it was the open that failed. *at (when given) is
// set to the offset the text was written at.
bool appendWhole(const char* path, const std::string& text, std::string* error,
                 bool* openFailed = nullptr, long long* at = nullptr);
// Takes back text of `bytes` bytes appended at offset `at`, if it is still
// the end of the file.
void takeBackAppend(const char* path, long long at, size_t bytes);
// Appends the record to the file. When it cannot be stored (open, write or
// close fails), says which file and why on standard error, writes the record
// there instead and ends the process with 1.
void appendRunRecord(const char* outFile, const RunRecord& r);
