// smetp._core: the engine in-process for Python. Instances are read by the
// batch's own reader, runs are parsed by the runs-file parser (so errors read
// as smetp-batch's), and a batch runs on the batch engine's streaming pool in
// a thread of its own while Python takes the results in run order, each as
// the JSON object smetp-batch writes.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "batch/engine.h"
#include "batch/results.h"
#include "batch/runs.h"
#include "gpu/gpu.h"
#include "problem/graph.h"

namespace nb = nanobind;

namespace {

// An instance as loaded; shared by every run that uses it.
struct Graph {
  std::shared_ptr<const GraphData> data;
  std::string name;
};

// A path for a message: shortened when it is long.
std::string shown(const std::string& path) {
  return path.size() <= 200 ? path : path.substr(0, 200) + "...";
}

// The batch's reader on a file, with smetp-batch's messages (ValueError).
Graph readGraph(const std::string& path) {
  auto g = std::make_shared<GraphData>();
  std::string reason;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw std::invalid_argument("graph file " + shown(path) + " is not a regular file");
  GraphReadStatus status;
  {
    nb::gil_scoped_release unlocked;
    status = readBatchGraphFile(path.c_str(), g.get(), &reason);
  }
  if (status == graphOpenFailed)
    throw std::invalid_argument("cannot open graph file " + shown(path) + ": " + reason);
  if (status == graphBad)
    throw std::invalid_argument("bad graph file " + shown(path) + ": " + reason);
  return Graph{g, path};
}

// The same reader on an instance's text held in memory; `name` names it.
Graph parseGraph(nb::bytes text, const std::string& name) {
  auto g = std::make_shared<GraphData>();
  std::string reason;
  if (readBatchGraphText(text.c_str(), text.size(), g.get(), &reason) != graphOk)
    throw std::invalid_argument("bad graph file " + shown(name) + ": " + reason);
  return Graph{g, name};
}

// Every link of the instance as an (m, 3) array of 1-based u < v and weight.
nb::ndarray<nb::numpy, long long, nb::ndim<2>> graphLinks(const Graph& graph) {
  const std::shared_ptr<const WideGraph> all = wideGraphOf(*graph.data);
  const size_t m = all->links.size();
  auto* table = new long long[m * 3];
  for (size_t i = 0; i < m; ++i) {
    table[3 * i] = all->links[i].from + 1;
    table[3 * i + 1] = all->links[i].to + 1;
    table[3 * i + 2] = all->links[i].weight;
  }
  nb::capsule owner(table, [](void* p) noexcept { delete[] static_cast<long long*>(p); });
  return nb::ndarray<nb::numpy, long long, nb::ndim<2>>(table, {m, size_t(3)}, owner);
}

// The interpreter's exit. Once Python has begun to finalise, a thread that
// takes the interpreter lock is ended on the spot (its stack unwound by force,
// which a C++ frame on the way turns into std::terminate). So the package's
// atexit handler, shutdown(), marks the exit here before finalisation: from
// then on no thread of a batch takes the lock again. The engine threads are
// stopped and joined; a Python thread still waiting in Batch.next (a daemon
// thread) waits for ever instead, and the process ends around it.
struct ExitState {
  std::mutex lock;
  std::condition_variable changed;
  bool exiting = false;
  int inPython = 0;  // engine threads running the run iterable
  std::set<struct Batch*> batches;
};
ExitState& exitState() {
  static ExitState* s = new ExitState;  // never destroyed: threads may wait on it at exit
  return *s;
}

// Never returns: the wait of a thread that must not touch the interpreter again.
[[noreturn]] void parkForExit() {
  ExitState& e = exitState();
  std::unique_lock<std::mutex> held(e.lock);
  for (;;) e.changed.wait(held);
}

// Takes the interpreter lock back after PyEval_SaveThread, unless the
// interpreter is exiting (then the thread parks for good).
void restoreUnlessExiting(PyThreadState* saved) {
  ExitState& e = exitState();
  std::unique_lock<std::mutex> held(e.lock);
  if (e.exiting) {
    held.unlock();
    parkForExit();
  }
  PyEval_RestoreThread(saved);
}

// A batch in progress: the engine in a thread of its own, its results kept in
// run order until Python takes them.
struct Batch {
  nb::object nextRun;  // () -> a list of (line text, Graph) pairs, maybe an exception last
  RunStop defaults;    // the batch's time limit and target
  BatchOptions options;
  std::atomic<bool> stop{false};
  std::atomic<long long> launches{0};
  std::atomic<long long> best{-1};  // the lowest connected best of the runs in progress; -1: none

  // The instances of the runs, each copied once. The engine reads entries
  // while the source adds new ones, so the vector never reallocates: its
  // capacity is fixed at the start.
  std::vector<GraphData> instances;
  std::map<const GraphData*, int> instanceOf;
  std::vector<std::shared_ptr<const GraphData>> kept;
  long count = 0;  // runs taken from the source

  // What ended the source early: a bad run (its index and the reason) or an
  // exception the run iterable raised. Written by the source, read after the
  // engine thread has ended.
  long failedRun = -1;
  std::string failedReason;
  nb::object failedException;
  // Runs taken from Python and not yet given to the engine; the source has
  // ended (after them) when sourceEnded is set, with endException when the
  // iterable raised one.
  struct Pending {
    std::string line;
    Graph graph;
  };
  std::deque<Pending> pending;
  bool sourceEnded = false;
  nb::object endException;

  std::mutex lock;
  std::condition_variable changed;
  std::map<size_t, std::string> ready;  // result objects by position
  size_t next = 0;                      // position of the next result for Python
  size_t bound = 0;                     // most results kept at once
  bool done = false;
  bool interrupted = false;   // stopped by requestStop before it ended
  long long reported = -1;    // the launches last given to the progress callback
  std::string wrongTopology;  // a result the host's check refused
  std::exception_ptr error;
  std::thread thread;

  Batch() {
    std::lock_guard<std::mutex> held(exitState().lock);
    exitState().batches.insert(this);
  }
  ~Batch() {
    close();
    std::lock_guard<std::mutex> held(exitState().lock);
    exitState().batches.erase(this);
  }

  // Asks the batch to stop after the launches in progress (a signal
  // handler's call: it does not wait).
  void requestStop() {
    {
      std::lock_guard<std::mutex> held(lock);
      interrupted = !done;
      stop = true;
    }
    changed.notify_all();
  }

  void close() {
    {
      std::lock_guard<std::mutex> held(lock);
      stop = true;
    }
    changed.notify_all();
    if (thread.joinable()) {
      // The engine thread may wait for the interpreter in the source.
      PyThreadState* saved = PyEval_SaveThread();
      {
        // shutdown() may have ended the engine thread's work already.
        std::unique_lock<std::mutex> held(lock);
        changed.wait(held, [&] { return done; });
      }
      if (thread.joinable()) thread.join();
      restoreUnlessExiting(saved);
    }
  }
};

// Takes the next runs from Python (a list of (line, Graph) pairs, ending
// early with the exception the run iterable raised, if any) into b.pending.
// Once the interpreter exits the runs end here, without Python.
void fetchRuns(Batch& b) {
  ExitState& e = exitState();
  {
    std::lock_guard<std::mutex> held(e.lock);
    if (e.exiting) {
      b.sourceEnded = true;
      return;
    }
    ++e.inPython;
  }
  struct Leave {
    ~Leave() {
      {
        std::lock_guard<std::mutex> held(exitState().lock);
        --exitState().inPython;
      }
      exitState().changed.notify_all();
    }
  } leave;
  nb::gil_scoped_acquire locked;
  try {
    nb::object got = b.nextRun();
    for (nb::handle item : got) {
      if (!nb::isinstance<nb::tuple>(item)) {
        b.endException = nb::borrow(item);
        b.sourceEnded = true;
        return;
      }
      nb::tuple t = nb::borrow<nb::tuple>(item);
      b.pending.push_back(
          Batch::Pending{nb::cast<std::string>(t[0]), nb::cast<const Graph&>(t[1])});
    }
    if (b.pending.empty()) b.sourceEnded = true;
  } catch (nb::python_error& e) {
    b.endException = nb::borrow(e.value());
    b.sourceEnded = true;
  }
}

// The engine's source (called under the pool's lock): the next run, parsed
// as a runs-file line. Runs come from Python a chunk at a time, so that the
// interpreter is taken once per chunk, not once per run.
bool takeRun(Batch& b, RunSpec* spec) {
  if (b.pending.empty() && !b.sourceEnded) fetchRuns(b);
  if (b.pending.empty()) {
    if (b.endException.is_valid() && b.failedRun < 0) {
      b.failedRun = b.count;
      b.failedException = std::move(b.endException);
    }
    return false;
  }
  try {
    const Batch::Pending p = std::move(b.pending.front());
    b.pending.pop_front();
    const std::string& line = p.line;
    const Graph& graph = p.graph;
    RunLine run;
    std::string reason;
    if (parseRunLine(line.data(), line.size(), b.count + 1, &run, &reason, b.defaults) != lineRun) {
      b.failedRun = b.count;
      b.failedReason = reason.empty() ? "no run in the line" : reason;
      b.pending.clear();
      b.sourceEnded = true;
      return false;
    }
    auto known = b.instanceOf.find(graph.data.get());
    if (known == b.instanceOf.end()) {
      if (b.instances.size() == b.instances.capacity()) {
        b.failedRun = b.count;
        b.failedReason = "a batch takes at most " + std::to_string(b.instances.capacity()) +
                         " different instances; split it";
        b.pending.clear();
        b.sourceEnded = true;
        return false;
      }
      b.instances.push_back(*graph.data);
      b.kept.push_back(graph.data);
      known = b.instanceOf.emplace(graph.data.get(), int(b.instances.size()) - 1).first;
    }
    *spec = resolveRun(run, b.count, known->second, *graph.data);
    spec->path = graph.name;
    ++b.count;
    return true;
  } catch (const std::exception& e) {
    b.failedRun = b.count;
    b.failedReason = e.what();
    b.pending.clear();
    b.sourceEnded = true;
    return false;
  }
}

// A finished run (engine thread, one at a time): its result object, kept
// until Python takes it; waits while too many results are kept.
void keepResult(Batch& b, size_t position, const RunSpec& spec, const RunResult& r) {
  const GraphData& g = b.instances[size_t(spec.instance)];
  const std::string wrong = checkTopology(g, r);
  std::string line = wrong.empty() ? resultLine(spec, r, g, "") : "";
  std::unique_lock<std::mutex> held(b.lock);
  if (!wrong.empty()) {
    b.wrongTopology = "run " + std::to_string(spec.index) + " (" + shown(spec.path) + " seed " +
                      std::to_string(spec.seed) + "): " + wrong;
    b.stop = true;
    b.changed.notify_all();
    return;
  }
  b.changed.wait(held, [&] { return b.ready.size() < b.bound || b.stop.load(); });
  b.ready.emplace(position, std::move(line));
  b.changed.notify_all();
}

std::unique_ptr<Batch> startBatch(nb::object nextRun, int jobs, int resident, double timeLimit,
                                  double target, size_t maxInstances, size_t runs) {
  if (jobs < 1 || jobs > 4096) throw std::invalid_argument("jobs must be from 1 to 4096");
  if (resident < 0 || resident > (1 << 20))
    throw std::invalid_argument("resident must be from 1 to 1048576");
  auto b = std::make_unique<Batch>();
  b->nextRun = std::move(nextRun);
  b->defaults.timeLimit = timeLimit;
  b->defaults.target = target;
  b->instances.reserve(maxInstances);
  b->options.jobs = jobs;
  b->options.resident = resident;
  b->options.runs = runs;
  b->options.stop = &b->stop;
  b->options.window = 16384;
  // Results wait only for an earlier run (at most the window) or for Python.
  b->bound = b->options.window + 1024;
  Batch* raw = b.get();
  b->options.onProgress = [raw](const BatchProgress& p) {
    raw->launches = p.launchesDone;
    raw->best = p.best;
  };
  b->options.onRunFinished = [raw](size_t position, const RunSpec& spec, const RunResult& r) {
    keepResult(*raw, position, spec, r);
  };
  gpuQuietNotices(true);
  b->thread = std::thread([raw] {
    const RunSource source = [raw](RunSpec* spec) { return takeRun(*raw, spec); };
    std::exception_ptr error;
    try {
      runBatch(source, raw->instances, raw->options);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> held(raw->lock);
    raw->error = error;
    raw->done = true;
    raw->changed.notify_all();
  });
  return b;
}

// The next result objects in run order (a list of JSON texts: those ready),
// or None when the batch has ended. Waits with the interpreter released; signals are checked while
// it waits, so Ctrl-C raises KeyboardInterrupt here. `progress` (or None) is called with the
// launches made so far whenever they changed.
nb::object nextResult(Batch& b, nb::object progress) {
  long long& reported = b.reported;
  for (;;) {
    std::vector<std::string> lines;
    bool ended = false;
    {
      // Released by hand, not by a scoped guard: taking the lock back must
      // not happen once the interpreter exits (see ExitState).
      PyThreadState* saved = PyEval_SaveThread();
      {
        std::unique_lock<std::mutex> held(b.lock);
        b.changed.wait_for(held, std::chrono::milliseconds(20),
                           [&] { return b.ready.count(b.next) || b.done; });
        for (auto it = b.ready.find(b.next); it != b.ready.end() && lines.size() < 4096;
             it = b.ready.find(b.next)) {
          lines.push_back(std::move(it->second));
          b.ready.erase(it);
          ++b.next;
        }
        if (!lines.empty()) {
          b.changed.notify_all();
        } else if (b.done) {
          ended = true;
        }
      }
      restoreUnlessExiting(saved);
    }
    const long long launches = b.launches.load();
    if (!progress.is_none() && launches != reported) {
      reported = launches;
      progress(launches);
    }
    if (!lines.empty()) {
      nb::list out;
      for (const std::string& line : lines) out.append(nb::str(line.data(), line.size()));
      return out;
    }
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
    if (ended) {
      b.close();
      if (!b.wrongTopology.empty()) throw std::runtime_error(b.wrongTopology);
      if (b.error) std::rethrow_exception(b.error);
      if (b.interrupted) {
        // Stopped by Ctrl-C while the caller was elsewhere: the batch did
        // not make every run, so it does not end as if it had.
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw nb::python_error();
      }
      return nb::none();
    }
  }
}

// The package's atexit handler: no batch thread takes the interpreter lock
// from now on; each batch stops after its launches in flight, and its engine
// thread is joined once it has left the run iterable.
void shutdown() {
  nb::gil_scoped_release unlocked;
  ExitState& e = exitState();
  std::vector<Batch*> batches;
  {
    std::unique_lock<std::mutex> held(e.lock);
    e.exiting = true;
    e.changed.wait(held, [&] { return e.inPython == 0; });
    batches.assign(e.batches.begin(), e.batches.end());
  }
  for (Batch* b : batches) {
    b->requestStop();
    std::unique_lock<std::mutex> held(b->lock);
    b->changed.wait(held, [&] { return b->done; });
  }
}

}  // namespace

NB_MODULE(_core, m) {
  m.doc() = "The compiled engine of smetp; use the smetp module instead.";
  m.attr("__version__") = SMETP_VERSION;
  // Objects still alive at exit (a traceback that keeps a batch) are no fault.
  nb::set_leak_warnings(false);
  // Memory the pool cannot have is memory that ran out: MemoryError, as
  // std::bad_alloc; any other failure of the batch is a RuntimeError.
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const BatchError& e) {
      const bool memory = std::strncmp(e.what(), "cannot have ", 12) == 0;
      PyErr_SetString(memory ? PyExc_MemoryError : PyExc_RuntimeError, e.what());
    }
  });

  nb::class_<Graph>(m, "Graph", "An instance as the engine reads it.")
      .def_prop_ro(
          "n", [](const Graph& g) { return g.data->n; }, "Nodes.")
      .def_prop_ro(
          "wide", [](const Graph& g) { return g.data->wide != nullptr; },
          "Beyond the design's limits (more than 45 nodes, a weight outside 16 bits, sparse).")
      .def_prop_ro(
          "sparse", [](const Graph& g) { return g.data->sparse; }, "Read from a sparse file.")
      .def_prop_ro(
          "name", [](const Graph& g) { return g.name; }, "The path or name runs report.")
      .def("links", &graphLinks, "Every link as an (m, 3) array: 1-based u < v, weight.");

  m.def("read_graph", &readGraph, nb::arg("path"),
        "Reads a graph file as smetp-batch does; ValueError with its message.");
  m.def("parse_graph", &parseGraph, nb::arg("text"), nb::arg("name"),
        "Reads an instance's text as smetp-batch reads a graph file.");
  m.def(
      "check_run_line",
      [](const std::string& line) {
        RunLine run;
        std::string reason;
        if (parseRunLine(line.data(), line.size(), 1, &run, &reason) != lineRun)
          throw std::invalid_argument(reason.empty() ? "no run in the line" : reason);
      },
      nb::arg("line"), "Checks one runs-file line; ValueError with the reason.");
  m.def(
      "backend", [] { return std::string(gpuBackendName()); }, "\"cpu\" or \"cuda\".");
  m.def("shutdown", &shutdown,
        "Stops every batch before the interpreter exits (the package's atexit handler).");

  nb::class_<Batch>(m, "Batch", "A batch running on the engine's pool.")
      .def("next", &nextResult, nb::arg("progress").none(),
           "The next results' JSON texts in run order (a list); None at the end.")
      .def("close", &Batch::close, "Stops the batch and waits for its threads.")
      .def_prop_ro(
          "best", [](const Batch& b) { return b.best.load(); },
          "The lowest best of the runs in progress that connects all nodes; -1: none.")
      .def("request_stop", &Batch::requestStop,
           "Asks the batch to stop after the launches in progress, without waiting.")
      .def(
          "failure",
          [](const Batch& b) -> nb::object {
            if (b.failedRun < 0) return nb::none();
            return nb::make_tuple(b.failedRun, b.failedReason,
                                  b.failedException.is_valid() ? b.failedException : nb::none());
          },
          "What ended the runs early once the batch has ended: (run, reason, exception) or None.");
  m.def("start_batch", &startBatch, nb::arg("next_run"), nb::arg("jobs"), nb::arg("resident"),
        nb::arg("time_limit"), nb::arg("target"), nb::arg("max_instances"), nb::arg("runs"),
        "Starts a batch whose runs come from next_run(): a list of (runs-file line, Graph) "
        "pairs, maybe an exception last; an empty list at the end. `runs`: how many there "
        "are where known (else 0), so that the pool has no more slots.");
}
