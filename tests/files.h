// Small file and text helpers shared by the tests that run programs and read
// what they wrote.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream s(text);
  for (std::string l; std::getline(s, l);) lines.push_back(l);
  return lines;
}

// A run record with its clock readings (start time, sec, totSec) masked: each
// such line keeps its name only.
inline std::string maskTimes(const std::string& record) {
  std::string masked;
  for (const std::string& l : linesOf(record)) {
    const bool clock =
        l.rfind("time:", 0) == 0 || l.rfind("sec:", 0) == 0 || l.rfind("totSec:", 0) == 0;
    masked += (clock ? l.substr(0, l.find(':') + 1) : l) + "\n";
  }
  return masked;
}
