#include "problem/graph.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gpu/check.h"
#include "gpu/gpu.h"
#include "problem/chrom.h"

namespace {

// The characters of an instance, from an open file or from memory, with the
// number of the line that the next character starts or continues.
struct Source {
  FILE* file;                // null when reading from memory
  const unsigned char* at;   // memory: the next byte
  const unsigned char* end;  // memory: one past the last byte
  int line;                  // 1-based line of the next character
  int previous;              // the last character read, EOF before the first
  int readError;             // errno of a failed read of the file, 0 when none
};

int nextChar(Source* s) {
  int c = EOF;
  if (s->readError) return EOF;
  if (s->file) {
    errno = 0;
    c = std::getc(s->file);
    if (c == EOF && std::ferror(s->file)) {
      s->readError = errno ? errno : EIO;
      return EOF;
    }
  } else if (s->at < s->end) {
    c = *s->at++;
  }
  if (c == EOF) return EOF;
  if (c == '\n') ++s->line;
  s->previous = c;
  return c;
}

// Puts back the character just read, which the next nextChar returns again.
void unreadChar(Source* s, int c) {
  if (c == EOF) return;
  if (s->file)
    std::ungetc(c, s->file);
  else
    --s->at;
  if (c == '\n') --s->line;
}

// The line on which the text ended: a closing line break ends the line before.
int lastLine(const Source& s) { return s.previous == '\n' ? s.line - 1 : s.line; }

// Where one value of the file starts and its text as read, shortened.
struct Token {
  int line;
  std::string text;  // raw bytes, at most tokenBytes of them
  bool shortened;    // more bytes followed
};

enum { tokenBytes = 20 };

void keep(Token* t, int c) {
  if (t->text.size() < tokenBytes)
    t->text += char(c);
  else
    t->shortened = true;
}

// Adds the rest of a rejected value, up to the next white space, to its text.
void keepRest(Source* s, Token* t) {
  int c;
  while ((c = nextChar(s)) != EOF && !std::isspace(c)) keep(t, c);
  unreadChar(s, c);
}

// The token's text in quotes, printable: bytes outside printable ASCII as
// \xNN, quote and backslash escaped, "..." where it was shortened.
std::string quoted(const Token& t) {
  std::string out = "\"";
  for (const char ch : t.text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += char(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(c));
      out += hex;
    }
  }
  if (t.shortened) out += "...";
  return out + "\"";
}

enum ReadResult { readOk, readEnd, readFailed, readNotNumber, readTooLarge };

// Reads one decimal integer the way "%d" does: white space skipped, an
// optional sign, then digits up to the first other character, which stays
// unread. Unlike "%d" it reports a value beyond the int range instead of
// leaving it undefined. *t gets the line where the value starts and, for a
// rejected value, its text.
ReadResult readInt(Source* s, int* out, Token* t) {
  int c;
  do c = nextChar(s);
  while (c != EOF && std::isspace(c));
  t->line = s->line;
  t->text.clear();
  t->shortened = false;
  if (c == EOF) {
    t->line = lastLine(*s);
    return s->readError ? readFailed : readEnd;
  }
  bool negative = false;
  if (c == '+' || c == '-') {
    keep(t, c);
    negative = c == '-';
    c = nextChar(s);
  }
  if (c == EOF || !std::isdigit(c)) {
    unreadChar(s, c);
    keepRest(s, t);
    return readNotNumber;
  }
  long long value = 0;
  bool tooLarge = false;
  for (; c != EOF && std::isdigit(c); c = nextChar(s)) {
    keep(t, c);
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) {
      tooLarge = true;
      value = 2147483648LL;
    }
  }
  unreadChar(s, c);
  if (negative) value = -value;
  if (tooLarge || value > INT_MAX || value < INT_MIN) return readTooLarge;
  *out = int(value);
  return readOk;
}

// After a value that another value must follow: true when the next character
// cannot start or separate one, i.e. text glued to the number ("90abc",
// "9e1"). A glued sign is left alone, since "5+1" reads as the two values 5
// and +1. Such text is added to *t.
bool gluedText(Source* s, Token* t) {
  const int c = nextChar(s);
  unreadChar(s, c);
  if (c == EOF || std::isspace(c) || c == '+' || c == '-') return false;
  keepRest(s, t);
  return true;
}

std::string lineText(int line, const char* what) {
  return "line " + std::to_string(line) + ": " + what;
}

std::string readErrorText(const Source& s) { return std::strerror(s.readError); }

// Reads one header value, or says why it cannot.
bool readHeaderValue(Source* s, int* v, Token* t, std::string* reason) {
  char what[200];
  switch (readInt(s, v, t)) {
    case readOk:
      if (!gluedText(s, t)) return true;
      std::snprintf(what, sizeof what, "header: %s is not a number", quoted(*t).c_str());
      break;
    case readEnd:
      std::snprintf(what, sizeof what,
                    "the file ends before the header is complete (two integers: nodes, twice "
                    "the edge count)");
      break;
    case readFailed:
      std::snprintf(what, sizeof what, "read error in the header: %s", readErrorText(*s).c_str());
      break;
    case readNotNumber:
      std::snprintf(what, sizeof what,
                    "header: %s is not a number (the header is two integers: nodes, twice the "
                    "edge count)",
                    quoted(*t).c_str());
      break;
    case readTooLarge:
      std::snprintf(what, sizeof what, "header: the number %s is too large", quoted(*t).c_str());
      break;
  }
  *reason = lineText(t->line, what);
  return false;
}

// Reads the next value of an edge line, or says why it cannot. With
// moreFollows, text glued to the value is rejected at once (the next read
// would fail on it anyway).
bool readEdgeValue(Source* s, int kept, int wanted, bool moreFollows, int* v, Token* t,
                   std::string* reason) {
  char what[200];
  ReadResult result = readInt(s, v, t);
  if (result == readOk && moreFollows && gluedText(s, t)) result = readNotNumber;
  switch (result) {
    case readOk:
      return true;
    case readEnd:
      std::snprintf(what, sizeof what, "the file ends after %d of %d edges", kept, wanted);
      break;
    case readFailed:
      std::snprintf(what, sizeof what, "read error after %d of %d edges: %s", kept, wanted,
                    readErrorText(*s).c_str());
      break;
    case readNotNumber:
      std::snprintf(what, sizeof what, "text %s that is not a number after %d of %d edges",
                    quoted(*t).c_str(), kept, wanted);
      break;
    case readTooLarge:
      std::snprintf(what, sizeof what, "the number %s is too large, after %d of %d edges",
                    quoted(*t).c_str(), kept, wanted);
      break;
  }
  *reason = lineText(t->line, what);
  return false;
}

// Checks and reads the header and edge lines into g; with `all` (the batch's
// reader), up to wideMaxNodes nodes and any int weight, the edges going into
// *all instead of g's tables.
bool parseGraph(Source* s, GraphData* g, std::string* reason,
                std::vector<WideLink>* all = nullptr) {
  int n = 0, a = 0;
  Token nodesToken, countToken;
  if (!readHeaderValue(s, &n, &nodesToken, reason) || !readHeaderValue(s, &a, &countToken, reason))
    return false;
  const int nl = a / 2;
  char what[200];
  const int nodeLimit = all ? int(wideMaxNodes) : int(maxNodes);
  if (n < 2 || n > nodeLimit) {
    std::snprintf(what, sizeof what, "header: %d nodes; a graph has 2 to %d", n, nodeLimit);
    *reason = lineText(nodesToken.line, what);
    return false;
  }
  if (nl < 1 || (!all && nl > maxEdges)) {
    std::snprintf(what, sizeof what, "header: %d edges (header %d / 2); a graph has 1 to %d", nl, a,
                  int(maxEdges));
    *reason = lineText(countToken.line, what);
    return false;
  }
  if (nl > n * (n - 1) / 2) {
    std::snprintf(what, sizeof what, "header: %d edges, more than the %d pairs of %d nodes", nl,
                  n * (n - 1) / 2, n);
    *reason = lineText(countToken.line, what);
    return false;
  }
  g->n = n;
  g->nl = nl;
  g->nlBytes = nl / 8 + 3;
  if (all) all->reserve(size_t(nl));
  for (int i = 0; i < maxNodes; ++i) g->nodeIndex[i] = 0;
  for (int i = 1; i < n - 1 && i < maxNodes; ++i) g->nodeIndex[i] = g->nodeIndex[i - 1] + (n - i);

  // Kept lines must be the pairs (1,2), (1,3), ..., (N-1,N) in this order: the
  // device finds the edge of a pair by its position in that order.
  int wantU = 1, wantV = 2;
  for (int kept = 0; kept < nl;) {
    int u = 0, v = 0, w = 0;
    Token ut, vt, wt;
    if (!readEdgeValue(s, kept, nl, true, &u, &ut, reason) ||
        !readEdgeValue(s, kept, nl, true, &v, &vt, reason))
      return false;
    // Nothing is read after the last kept edge, so text glued to its weight is
    // never seen.
    const bool lastKept = u < v && kept + 1 == nl;
    if (!readEdgeValue(s, kept, nl, !lastKept, &w, &wt, reason)) return false;
    if (u < 1 || u > n || v < 1 || v > n) {
      std::snprintf(what, sizeof what, "edge line \"%d %d %d\": node number outside 1..%d", u, v, w,
                    n);
      *reason = lineText(u < 1 || u > n ? ut.line : vt.line, what);
      return false;
    }
    if (!all && (w < -32768 || w > 32767)) {
      std::snprintf(what, sizeof what,
                    "edge line \"%d %d %d\": weight outside the 16-bit range -32768..32767", u, v,
                    w);
      *reason = lineText(wt.line, what);
      return false;
    }
    if (u >= v) continue;
    if (u != wantU || v != wantV) {
      std::snprintf(what, sizeof what,
                    "edge line \"%d %d %d\": expected the pair %d %d next (pairs u < v must come "
                    "in the order 1 2, 1 3, ..., %d %d)",
                    u, v, w, wantU, wantV, n - 1, n);
      *reason = lineText(ut.line, what);
      return false;
    }
    if (all) {
      all->push_back(WideLink{u - 1, v - 1, w});
    } else {
      g->links[kept].from = short(u - 1);
      g->links[kept].to = short(v - 1);
      g->links[kept].weight = short(w);
    }
    ++kept;
    if (++wantV > n) {
      ++wantU;
      wantV = wantU + 1;
    }
  }
  return true;
}

// The sparse format, after its first word: "N M", then M lines "u v w".
bool parseSparse(Source* s, GraphData* g, std::string* reason, std::vector<WideLink>* all) {
  int n = 0, m = 0;
  Token nodesToken, countToken;
  if (!readHeaderValue(s, &n, &nodesToken, reason) || !readHeaderValue(s, &m, &countToken, reason))
    return false;
  char what[200];
  if (n < 2 || n > wideMaxNodes) {
    std::snprintf(what, sizeof what, "header: %d nodes; a graph has 2 to %d", n, int(wideMaxNodes));
    *reason = lineText(nodesToken.line, what);
    return false;
  }
  if (m < 1 || m > n * (n - 1) / 2) {
    std::snprintf(what, sizeof what, "header: %d links; %d nodes have 1 to %d", m, n,
                  n * (n - 1) / 2);
    *reason = lineText(countToken.line, what);
    return false;
  }
  all->reserve(size_t(m));
  std::vector<long long> pairs;
  pairs.reserve(size_t(m));
  for (int kept = 0; kept < m; ++kept) {
    int u = 0, v = 0, w = 0;
    Token ut, vt, wt;
    // Text glued to any number is refused, the last weight's too (the
    // design's format leaves what follows its last weight unread).
    if (!readEdgeValue(s, kept, m, true, &u, &ut, reason) ||
        !readEdgeValue(s, kept, m, true, &v, &vt, reason) ||
        !readEdgeValue(s, kept, m, true, &w, &wt, reason))
      return false;
    if (u < 1 || u > n || v < 1 || v > n || u == v) {
      std::snprintf(what, sizeof what,
                    "link line \"%d %d %d\": nodes must be two different numbers in 1..%d", u, v, w,
                    n);
      *reason = lineText(ut.line, what);
      return false;
    }
    const int a = std::min(u, v) - 1, b = std::max(u, v) - 1;
    all->push_back(WideLink{a, b, w});
    pairs.push_back((long long)a * n + b);
  }
  // Each pair once: sorted, a pair equal to the next one is listed twice.
  std::vector<size_t> order(all->size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t x, size_t y) { return pairs[x] < pairs[y]; });
  for (size_t i = 1; i < order.size(); ++i)
    if (pairs[order[i]] == pairs[order[i - 1]]) {
      const WideLink l = (*all)[order[i]];
      std::snprintf(what, sizeof what, "the pair %d %d is listed twice", l.from + 1, l.to + 1);
      *reason = what;
      return false;
    }
  std::vector<WideLink> sorted;
  sorted.reserve(all->size());
  for (size_t i : order) sorted.push_back((*all)[i]);
  all->swap(sorted);
  g->n = n;
  g->nl = m;
  g->nlBytes = 0;
  return true;
}

// The batch's reader on an open source.
bool parseBatchGraph(Source* s, GraphData* g, std::string* reason) {
  int c;
  do c = nextChar(s);
  while (c != EOF && std::isspace(c));
  unreadChar(s, c);
  std::vector<WideLink> all;
  bool sparse = false;
  if (c != EOF && std::isalpha(c)) {
    Token word{s->line, "", false};
    keepRest(s, &word);
    if (word.text != "sparse" || word.shortened) {
      *reason = lineText(
          word.line,
          ("header: " + quoted(word) + " is neither a number nor the word sparse").c_str());
      return false;
    }
    sparse = true;
    if (!parseSparse(s, g, reason, &all)) return false;
  } else if (!parseGraph(s, g, reason, &all)) {
    return false;
  }
  bool designWeights = true;
  for (const WideLink& l : all)
    designWeights = designWeights && l.weight >= -32768 && l.weight <= 32767;
  if (!sparse && g->n <= maxNodes && designWeights) {
    // Within the design's limits: the design's tables, as readGraphFile fills them.
    for (int i = 0; i < maxNodes; ++i) g->nodeIndex[i] = 0;
    for (int i = 1; i < g->n - 1; ++i) g->nodeIndex[i] = g->nodeIndex[i - 1] + (g->n - i);
    for (size_t e = 0; e < all.size(); ++e)
      g->links[e] = Link{short(all[e].from), short(all[e].to), short(all[e].weight)};
    g->wide.reset();
    g->sparse = false;
    return true;
  }
  auto wide = std::make_shared<WideGraph>();
  wide->n = g->n;
  wide->links.swap(all);
  if (!wideConnected(*wide)) {
    *reason = "the links do not connect all " + std::to_string(g->n) + " nodes, so no topology can";
    return false;
  }
  g->nl = int(wide->links.size());
  g->nlBytes = 0;
  g->wide = wide;
  g->sparse = sparse;
  return true;
}

}  // namespace

std::shared_ptr<const WideGraph> wideGraphOf(const GraphData& g) {
  if (g.wide) return g.wide;
  auto wide = std::make_shared<WideGraph>();
  wide->n = g.n;
  for (int e = 0; e < g.nl; ++e)
    wide->links.push_back(WideLink{g.links[e].from, g.links[e].to, g.links[e].weight});
  std::sort(wide->links.begin(), wide->links.end(), [](const WideLink& a, const WideLink& b) {
    return a.from != b.from ? a.from < b.from : a.to < b.to;
  });
  return wide;
}

GraphReadStatus readBatchGraphFile(const char* path, GraphData* g, std::string* reason) {
  FILE* f = std::fopen(path, "r");
  if (!f) {
    *reason = std::strerror(errno);
    return graphOpenFailed;
  }
  Source s = {f, nullptr, nullptr, 1, EOF, 0};
  const bool ok = parseBatchGraph(&s, g, reason);
  std::fclose(f);
  return ok ? graphOk : graphBad;
}

GraphReadStatus readBatchGraphText(const char* data, size_t size, GraphData* g,
                                   std::string* reason) {
  const auto bytes = reinterpret_cast<const unsigned char*>(data);
  Source s = {nullptr, bytes, bytes + size, 1, EOF, 0};
  return parseBatchGraph(&s, g, reason) ? graphOk : graphBad;
}

GraphReadStatus readGraphFile(const char* path, GraphData* g, std::string* reason) {
  FILE* f = std::fopen(path, "r");
  if (!f) {
    *reason = std::strerror(errno);
    return graphOpenFailed;
  }
  Source s = {f, nullptr, nullptr, 1, EOF, 0};
  const bool ok = parseGraph(&s, g, reason);
  std::fclose(f);
  return ok ? graphOk : graphBad;
}

GraphReadStatus readGraphText(const char* data, size_t size, GraphData* g, std::string* reason) {
  const auto bytes = reinterpret_cast<const unsigned char*>(data);
  Source s = {nullptr, bytes, bytes + size, 1, EOF, 0};
  return parseGraph(&s, g, reason) ? graphOk : graphBad;
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
      std::fflush(stdout);
      std::fprintf(stderr, "smetp: cannot open graph file %s: %s\n", path, reason.c_str());
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
