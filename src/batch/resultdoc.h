// A run's result as a JSON document: what the results file's line holds and
// what the Python package's result dict is made from.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "batch/engine.h"
#include "problem/graph.h"

using ResultJson = nlohmann::ordered_json;

// Empties a document from its leaves up. The library destroys a non-empty
// array or object through a stack it allocates, and memory that runs out
// there (under a small ulimit -v) would end the process instead of failing
// the line; empty ones and scalars are destroyed without allocating.
void dismantle(ResultJson& j);

// A document that is dismantled before it is destroyed, also when building
// it fails part way.
struct ResultDocument {
  ResultJson json;
  ResultDocument() = default;
  ResultDocument(ResultDocument&& other) noexcept : json(std::move(other.json)) {}
  ResultDocument(const ResultDocument&) = delete;
  ResultDocument& operator=(const ResultDocument&) = delete;
  ~ResultDocument() { dismantle(json); }
};

// The run's result, its fields in the order of the results file (the
// results file's line is this document).
void putResult(ResultJson& j, const RunSpec& spec, const RunResult& r, const GraphData& g,
               const std::string& runsSha256);
