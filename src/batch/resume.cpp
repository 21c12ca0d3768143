#include "batch/resume.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "host/record.h"

namespace {

// The most launches a run can make: generations are an int.
const long long maxRunLaunches = 2147483647LL / 50;

// A top-level value of a result line as read.
struct JsonScalar {
  enum Kind { absent, unsignedInt, signedInt, text, null, other } kind = absent;
  unsigned long long u = 0;
  long long i = 0;
  std::string s;
  bool isInteger() const { return kind == unsignedInt || kind == signedInt; }
  std::string shown() const {
    return kind == unsignedInt ? std::to_string(u) : kind == signedInt ? std::to_string(i) : "?";
  }
};

// The fields of a result line that a resume reads, taken from the parser's
// events (nlohmann's SAX interface).
struct ResultFields {
  bool object = false;  // the line is an object
  int depth = 0;
  std::string name;  // of the top-level value being read
  JsonScalar index, sha, launches, record, instance, instanceSha;
  JsonScalar* slot() {
    if (depth != 1) return nullptr;
    if (name == "index") return &index;
    if (name == "runs_sha256") return &sha;
    if (name == "instance") return &instance;
    if (name == "instance_sha256") return &instanceSha;
    if (name == "launches") return &launches;
    if (name == "record") return &record;
    return nullptr;
  }
  bool setKind(JsonScalar::Kind kind) {
    if (JsonScalar* v = slot()) v->kind = kind;
    return true;
  }
  bool null() { return setKind(JsonScalar::null); }
  bool boolean(bool) { return setKind(JsonScalar::other); }
  bool number_integer(long long value) {
    if (JsonScalar* v = slot()) v->i = value;
    return setKind(JsonScalar::signedInt);
  }
  bool number_unsigned(unsigned long long value) {
    if (JsonScalar* v = slot()) v->u = value;
    return setKind(JsonScalar::unsignedInt);
  }
  bool number_float(double, const std::string&) { return setKind(JsonScalar::other); }
  bool string(std::string& value) {
    if (JsonScalar* v = slot()) v->s = value;
    return setKind(JsonScalar::text);
  }
  bool binary(nlohmann::json::binary_t&) { return setKind(JsonScalar::other); }
  bool start_object(std::size_t) {
    if (depth == 0) object = true;
    setKind(JsonScalar::other);
    ++depth;
    return true;
  }
  bool key(std::string& text) {
    if (depth == 1) name = text;
    return true;
  }
  bool end_object() {
    --depth;
    return true;
  }
  bool start_array(std::size_t) {
    setKind(JsonScalar::other);
    ++depth;
    return true;
  }
  bool end_array() {
    --depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) {
    return false;
  }
};

}  // namespace

bool readResumed(int fd, const std::string& path, const BatchPlan& runs, Resumed* resumed) {
  const long shardK = runs.shardK, shardN = runs.shardN;
  std::map<std::string, std::string> fileSha256;
  for (const auto& used : runs.instanceOf)
    fileSha256[used.first] = runs.graphs[size_t(used.second)].fileSha256;
  resumed->done.assign(size_t(runs.count), false);
  LineReader reader;
  startLineReader(&reader, fd, size_t(1) << 30);
  std::string text;
  long long at;
  bool broken;
  long line = 0;
  for (int got; (got = readLine(&reader, &text, &at, &broken)) != 0;) {
    if (got < 0) {
      complain("cannot read results file " + shown(path) + ": " + std::strerror(errno));
      return false;
    }
    ++line;
    const std::string where = shown(path) + ":" + std::to_string(line) + ": ";
    // Read without building a document: only the top-level fields used here
    // are kept, so that no allocation happens while values are destroyed.
    ResultFields f;
    const bool parsed = nlohmann::json::sax_parse(text, &f) && f.object;
    if (broken && !parsed) {
      if (::ftruncate(fd, off_t(at)) != 0) {
        complain(where + "cannot cut off the last line: " + std::strerror(errno));
        return false;
      }
      complain(where + "the last line was cut short; it is dropped and its run made again");
      break;
    }
    const JsonScalar &index = f.index, &launches = f.launches;
    if (!parsed || !index.isInteger() || f.sha.kind != JsonScalar::text || !launches.isInteger() ||
        (f.record.kind != JsonScalar::absent && f.record.kind != JsonScalar::text &&
         f.record.kind != JsonScalar::null)) {
      complain(where + "not a result line of smetp-batch; give another results file");
      return false;
    }
    // Every number read back is checked before it is used: an index as an
    // unsigned value (never wrapped to a negative run), launches within what
    // a run can make (their sum never overflows).
    if (launches.kind != JsonScalar::unsignedInt ||
        launches.u > (unsigned long long)maxRunLaunches) {
      complain(where + "launches " + launches.shown() + " is outside 0.." +
               std::to_string(maxRunLaunches) + "; give another results file");
      return false;
    }
    if (f.sha.s != runs.sha) {
      complain(where + "the results are of other runs (runs_sha256 " + shortQuote(f.sha.s) +
               ", these runs have " + runs.sha + "); give another results file or the same runs");
      return false;
    }
    // The runs are the same; their graph files must be too.
    if (f.instanceSha.kind == JsonScalar::text && f.instance.kind == JsonScalar::text) {
      const auto now = fileSha256.find(f.instance.s);
      if (now != fileSha256.end() && now->second != f.instanceSha.s) {
        complain(where + "graph file " + shown(f.instance.s) +
                 " changed since these results were made (instance_sha256 " +
                 shortQuote(f.instanceSha.s) + ", the file now has " + now->second +
                 "); give the same file or another results file");
        return false;
      }
    }
    const bool known =
        index.kind == JsonScalar::unsignedInt && index.u < (unsigned long long)runs.count;
    const long long i = known ? (long long)index.u : -1;
    if (!known || i % shardN != shardK) {
      complain(where + "run " + index.shown() + " is not a run of this batch" +
               (shardN > 1
                    ? " (shard " + std::to_string(shardK) + "/" + std::to_string(shardN) + ")"
                    : ""));
      return false;
    }
    if (resumed->done[size_t(i)]) {
      complain(where + "run " + std::to_string(i) +
               " is in the file twice; give another results file");
      return false;
    }
    resumed->done[size_t(i)] = true;
    ++resumed->runs;
    resumed->launches += (long long)launches.u;
    if (f.record.kind == JsonScalar::text) resumed->lastRecord = f.record.s;
    if (broken) {
      // A whole result that lacks only its line break: the break is added, so
      // the next result starts a line of its own.
      std::string reason;
      if (!writeWholeAtEnd(fd, "\n", &reason)) {
        complain(where + "cannot end the last line: " + reason);
        return false;
      }
    }
  }
  return true;
}

bool mayReplaceResults(int fd, const std::string& path, bool overwrite) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    complain("cannot read results file " + shown(path) + ": " + std::strerror(errno));
    return false;
  }
  if (st.st_size == 0) return true;
  if (!overwrite) {
    complain("results file " + shown(path) +
             " is not empty; --resume finishes the batch it holds, --overwrite replaces it, or "
             "give another --results file");
    return false;
  }
  static const char start[] = "{\"index\":";
  char head[sizeof start - 1] = {};
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n != ssize_t(sizeof head) || std::memcmp(head, start, sizeof head) != 0) {
    complain("results file " + shown(path) +
             " does not hold results of smetp-batch; --overwrite replaces only such a file");
    return false;
  }
  return true;
}
