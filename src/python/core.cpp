// smetp._core: the engine in-process for Python. Instances are read by the
// batch's own reader, runs come as typed records made into runs by the runs
// file's own checks (runLineOf, so errors read as smetp-batch's), and a batch
// runs on the batch engine's streaming pool in a thread of its own while
// Python takes the results in run order, each as a dict of the fields that
// smetp-batch's result line has.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
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

#include "batch/checkpoint.h"
#include "batch/engine.h"
#include "batch/plan.h"
#include "batch/resultdoc.h"
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
  // As smetp-batch: results name the bytes of the file they were made on.
  if (!sha256OfFile(path, &g->fileSha256, &reason))
    throw std::invalid_argument("cannot read graph file " + shown(path) + ": " + reason);
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
// stopped (they never call Python); a Python thread still waiting in
// Batch.next (a daemon thread) waits for ever instead, and the process ends
// around it.
struct ExitState {
  std::mutex lock;
  std::condition_variable changed;
  bool exiting = false;
  std::thread::id finalizing;  // the thread that runs the exit (and may go on)
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
// interpreter is exiting (then the thread parks for good; the thread that
// runs the exit goes on: it closes batches that the exit collects).
void restoreUnlessExiting(PyThreadState* saved) {
  ExitState& e = exitState();
  std::unique_lock<std::mutex> held(e.lock);
  if (e.exiting && std::this_thread::get_id() != e.finalizing) {
    held.unlock();
    parkForExit();
  }
  PyEval_RestoreThread(saved);
}

// A run taken from Python: its fields and its instance.
struct Pending {
  RunFields fields;
  Graph graph;
};

// A run record from Python: (seed, generations or None, hardness, density,
// words), each field of its type (the package checks them), the words
// "name=value" texts of settings, time limit and target.
RunFields runFieldsOf(nb::handle seed, nb::handle generations, nb::handle hardness,
                      nb::handle density, nb::handle words) {
  RunFields f;
  f.seed = nb::cast<int>(seed);
  f.noGenerationLimit = generations.is_none();
  if (!f.noGenerationLimit) f.maxGen = nb::cast<int>(generations);
  f.objHard = nb::cast<int>(hardness);
  f.density = nb::cast<double>(density);
  f.words = nb::cast<std::vector<std::string>>(words);
  return f;
}

// The runs on their way from Python to the engine. A feeder thread of its
// own takes them from the run iterable one at a time, as the pool needs them
// (a few ahead), so that the engine never waits for Python under its lock: a
// run iterable that waits for earlier results (through a queue, say) only
// leaves slots empty until its next run comes. The feeder may be inside the
// iterable when the batch ends; it then finds `closed` set and ends on its
// own, so this state is shared with it. Python objects here are touched with
// the interpreter lock held only.
struct Feed {
  static constexpr size_t ahead = 64;  // runs taken before the pool asks for them
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Pending> pending;
  bool ended = false;             // the iterable has no more runs
  PyObject* exception = nullptr;  // owned: what the iterable raised, if anything
  bool closed = false;            // the batch is over: take no more runs
};

// Where the feeder gets runs: next_run() gives a (line, Graph) tuple, None at
// the end, or raises what the run iterable raised.
void feedRuns(std::shared_ptr<Feed> f, PyObject* nextRun) {
  // Raw C API calls and no destructors around them: a thread that calls into
  // an exiting interpreter is ended by force there (see ExitState).
  for (;;) {
    {
      std::unique_lock<std::mutex> held(f->lock);
      // Refilled at half, so that a quick iterable takes the interpreter
      // once for many runs.
      f->changed.wait(held, [&] { return f->closed || f->pending.size() <= Feed::ahead / 2; });
      if (f->closed) break;
    }
    {
      std::lock_guard<std::mutex> held(exitState().lock);
      if (exitState().exiting) return;  // nextRun is left to the exiting interpreter
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    bool stop = false;
    while (!stop) {
      PyObject* got = PyObject_CallNoArgs(nextRun);
      PyObject* raised = nullptr;
      RunFields fields;
      std::shared_ptr<const GraphData> data;
      std::string name;
      if (!got) {
        PyObject *type, *tb;
        PyErr_Fetch(&type, &raised, &tb);
        PyErr_NormalizeException(&type, &raised, &tb);
        if (raised && tb) PyException_SetTraceback(raised, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
      } else if (got != Py_None) {
        try {
          nb::tuple t = nb::borrow<nb::tuple>(got);
          const Graph& g = nb::cast<const Graph&>(t[0]);
          fields = runFieldsOf(t[1], t[2], t[3], t[4], t[5]);
          data = g.data;
          name = g.name;
        } catch (const std::exception& e) {
          PyErr_SetString(PyExc_TypeError, e.what());
          PyObject *type, *tb;
          PyErr_Fetch(&type, &raised, &tb);
          PyErr_NormalizeException(&type, &raised, &tb);
          Py_XDECREF(type);
          Py_XDECREF(tb);
        }
      }
      const bool end = !got || got == Py_None || raised;
      Py_XDECREF(got);
      std::unique_lock<std::mutex> held(f->lock);
      if (f->closed) {
        held.unlock();
        Py_XDECREF(raised);
        stop = true;
        break;
      }
      if (end) {
        f->ended = true;
        f->exception = raised;
      } else {
        f->pending.push_back(Pending{std::move(fields), Graph{data, name}});
      }
      stop = f->ended || f->pending.size() >= Feed::ahead;
      f->changed.notify_all();
    }
    bool over;
    {
      std::lock_guard<std::mutex> held(f->lock);
      over = f->closed || f->ended;
    }
    if (over) {
      Py_DECREF(nextRun);
      PyGILState_Release(gil);
      return;
    }
    PyGILState_Release(gil);
  }
  {
    std::lock_guard<std::mutex> held(exitState().lock);
    if (exitState().exiting) return;
  }
  const PyGILState_STATE gil = PyGILState_Ensure();
  Py_DECREF(nextRun);
  PyGILState_Release(gil);
}

// A batch in progress: the engine in a thread of its own, its results kept in
// run order until Python takes them.
struct Batch {
  std::shared_ptr<Feed> feed = std::make_shared<Feed>();
  RunStop defaults;  // the batch's time limit and target
  BatchOptions options;
  std::atomic<bool> stop{false};
  std::atomic<long long> launches{0};
  std::atomic<long long> best{-1};  // the lowest connected best of the runs in progress; -1: none
  // Checkpoints of the unfinished runs (dir "" for none); the engine's
  // threads use it under the pool's lock, Python once the batch has ended.
  CheckpointStore checkpoints;

  // The instances of the runs, each copied once. The engine reads entries
  // while the source adds new ones, so the vector never reallocates: its
  // capacity is fixed at the start.
  std::vector<GraphData> instances;
  std::map<const GraphData*, int> instanceOf;
  std::vector<std::shared_ptr<const GraphData>> kept;
  long count = 0;  // runs taken from the source

  // What ended the source early: a bad run (its index and the reason), or
  // (failedRun with no reason) the exception the run iterable raised, kept
  // in feed->exception. Written by the engine's source, read after the
  // engine thread has ended.
  long failedRun = -1;
  std::string failedReason;
  std::mutex lock;
  std::condition_variable changed;
  std::map<size_t, ResultDocument> ready;  // results by position
  size_t next = 0;                         // position of the next result for Python
  size_t bound = 0;                        // most results kept at once
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
    {
      std::lock_guard<std::mutex> held(feed->lock);
      Py_CLEAR(feed->exception);  // the interpreter lock is held here
    }
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
    {
      // The feeder ends on its own, now or once the run iterable returns.
      std::lock_guard<std::mutex> held(feed->lock);
      feed->closed = true;
    }
    feed->changed.notify_all();
    if (thread.joinable()) {
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

// The engine's source (called under the pool's lock, only while
// runReady() says a run is there or the runs have ended): the next run,
// parsed as a runs-file line.
bool runReady(Batch& b) {
  std::lock_guard<std::mutex> held(b.feed->lock);
  return !b.feed->pending.empty() || b.feed->ended;
}

// Marks the runs' end after a run that cannot be made (the feeder takes no
// more).
void endRuns(Batch& b, const std::string& reason) {
  b.failedRun = b.count;
  b.failedReason = reason;
  {
    std::lock_guard<std::mutex> held(b.feed->lock);
    b.feed->pending.clear();
    b.feed->closed = true;
  }
  b.feed->changed.notify_all();
}

bool takeRun(Batch& b, RunSpec* spec) {
  Pending p;
  {
    std::lock_guard<std::mutex> held(b.feed->lock);
    if (b.feed->pending.empty()) {
      if (b.feed->exception && b.failedRun < 0) b.failedRun = b.count;
      return false;
    }
    p = std::move(b.feed->pending.front());
    b.feed->pending.pop_front();
  }
  b.feed->changed.notify_all();
  try {
    const Graph& graph = p.graph;
    RunLine run;
    std::string reason;
    if (!runLineOf(graph.name, p.fields, b.count + 1, b.defaults, gaProfileSolve, &run, &reason)) {
      endRuns(b, reason);
      return false;
    }
    auto known = b.instanceOf.find(graph.data.get());
    if (known == b.instanceOf.end()) {
      if (b.instances.size() == b.instances.capacity()) {
        endRuns(b, "a batch takes at most " + std::to_string(b.instances.capacity()) +
                       " different instances; split it");
        return false;
      }
      b.instances.push_back(*graph.data);
      b.kept.push_back(graph.data);
      known = b.instanceOf.emplace(graph.data.get(), int(b.instances.size()) - 1).first;
    }
    *spec = resolveRun(run, b.count, known->second, *graph.data);
    ++b.count;
    return true;
  } catch (const std::exception& e) {
    endRuns(b, e.what());
    return false;
  }
}

// A result document as Python's objects: an object as a dict (its fields in
// order), an array as a list, strings with bytes that are not UTF-8 replaced,
// and a number that is not finite as None, as the results file has them.
nb::object pythonOf(const ResultJson& j) {
  switch (j.type()) {
    case ResultJson::value_t::boolean:
      return nb::bool_(j.get<bool>());
    case ResultJson::value_t::number_integer:
      return nb::int_(j.get<long long>());
    case ResultJson::value_t::number_unsigned:
      return nb::steal(PyLong_FromUnsignedLongLong(j.get<unsigned long long>()));
    case ResultJson::value_t::number_float: {
      const double v = j.get<double>();
      return std::isfinite(v) ? nb::object(nb::float_(v)) : nb::none();
    }
    case ResultJson::value_t::string: {
      const std::string& t = j.get_ref<const std::string&>();
      return nb::steal(PyUnicode_DecodeUTF8(t.data(), Py_ssize_t(t.size()), "replace"));
    }
    case ResultJson::value_t::array: {
      nb::list list;
      for (const ResultJson& e : j) list.append(pythonOf(e));
      return list;
    }
    case ResultJson::value_t::object: {
      nb::dict dict;
      for (auto it = j.begin(); it != j.end(); ++it) dict[it.key().c_str()] = pythonOf(it.value());
      return dict;
    }
    default:
      return nb::none();
  }
}

// A finished run (engine thread, one at a time): its result object, kept
// until Python takes it; waits while too many results are kept.
void keepResult(Batch& b, size_t position, const RunSpec& spec, const RunResult& r) {
  dropCheckpoint(&b.checkpoints, spec.index);
  const GraphData& g = b.instances[size_t(spec.instance)];
  const std::string wrong = checkTopology(g, r);
  ResultDocument result;
  if (wrong.empty()) putResult(result.json, spec, r, g, "");
  std::unique_lock<std::mutex> held(b.lock);
  if (!wrong.empty()) {
    b.wrongTopology = "run " + std::to_string(spec.index) + " (" + shown(spec.path) + " seed " +
                      std::to_string(spec.seed) + "): " + wrong;
    b.stop = true;
    b.changed.notify_all();
    return;
  }
  b.changed.wait(held, [&] { return b.ready.size() < b.bound || b.stop.load(); });
  b.ready.emplace(position, std::move(result));
  b.changed.notify_all();
}

std::unique_ptr<Batch> startBatch(nb::object nextRun, int jobs, int resident, double timeLimit,
                                  double target, size_t maxInstances, size_t runs, int islands,
                                  const std::string& checkpoint, double checkpointEvery) {
  if (islands < 1 || islands > islandsMax)
    throw std::invalid_argument("islands must be from 1 to " + std::to_string(islandsMax));
  if (jobs < 1 || jobs > 4096) throw std::invalid_argument("jobs must be from 1 to 4096");
  if (resident < 0 || resident > (1 << 20))
    throw std::invalid_argument("resident must be from 1 to 1048576");
  auto b = std::make_unique<Batch>();
  b->defaults.timeLimit = timeLimit;
  b->defaults.target = target;
  b->instances.reserve(maxInstances);
  b->options.jobs = jobs;
  b->options.resident = resident;
  b->options.runs = runs;
  b->options.islands = islands;
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
  b->options.runReady = [raw] { return runReady(*raw); };
  if (!checkpoint.empty()) {
    // The batch's runs have no runs file: a checkpoint names its run by its
    // position, its arguments, settings and instance.
    b->checkpoints.dir = checkpoint;
    b->checkpoints.program = std::string("smetp ") + SMETP_VERSION;
    b->checkpoints.instances = &b->instances;
    b->options.checkpointEvery = checkpointEvery;
    b->options.onCheckpoint = [raw](const RunSpec& spec, const RunState& state) {
      checkpointRun(&raw->checkpoints, spec, state);
    };
    b->options.resumeRun = [raw](const RunSpec& spec, RunState* state) {
      return resumeRunFrom(&raw->checkpoints, spec, state);
    };
  }
  gpuQuietNotices(true);
  // The batch's threads (and the engine's workers they start) take no
  // asynchronous signal: Ctrl-C goes to a Python thread, where Python sees
  // it at once (a wait in join() included), not to an engine thread.
  sigset_t async, before;
  sigemptyset(&async);
  for (int signal :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGWINCH})
    sigaddset(&async, signal);
  pthread_sigmask(SIG_BLOCK, &async, &before);
  struct Restore {
    sigset_t* mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
  } restore{&before};
  // The feeder owns its reference to next_run and ends on its own.
  std::thread(feedRuns, b->feed, nextRun.release().ptr()).detach();
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
    std::vector<ResultDocument> lines;
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
      for (const ResultDocument& line : lines) out.append(pythonOf(line.json));
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
// from now on; each batch stops after its launches in flight.
void shutdown() {
  nb::gil_scoped_release unlocked;
  ExitState& e = exitState();
  std::vector<Batch*> batches;
  {
    std::lock_guard<std::mutex> held(e.lock);
    e.exiting = true;
    e.finalizing = std::this_thread::get_id();
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
      "check_run",
      [](nb::handle seed, nb::handle generations, nb::handle hardness, nb::handle density,
         nb::handle words) {
        RunLine run;
        std::string reason;
        if (!runLineOf("@", runFieldsOf(seed, generations, hardness, density, words), 1, RunStop(),
                       gaProfileSolve, &run, &reason))
          throw std::invalid_argument(reason);
      },
      nb::arg("seed"), nb::arg("generations").none(), nb::arg("hardness"), nb::arg("density"),
      nb::arg("words"),
      "Checks one run's fields as smetp-batch checks a runs-file line; ValueError with the "
      "reason.");
  m.def(
      "backend", [] { return std::string(gpuBackendName()); }, "\"cpu\" or \"cuda\".");
  m.def("shutdown", &shutdown,
        "Stops every batch before the interpreter exits (the package's atexit handler).");

  nb::class_<Batch>(m, "Batch", "A batch running on the engine's pool.")
      .def("next", &nextResult, nb::arg("progress").none(),
           "The next results in run order (a list of dicts, the fields of smetp-batch's result "
           "lines); None at the end.")
      .def("close", &Batch::close, "Stops the batch and waits for its threads.")
      .def(
          "checkpoint_notes",
          [](Batch& b) {
            // Read once the engine's threads have ended (after close()).
            std::vector<std::string> notes;
            for (const std::string& why : b.checkpoints.refused)
              notes.push_back(why + "; the run starts from its beginning");
            if (!b.checkpoints.failure.empty())
              notes.push_back(b.checkpoints.failure + "; the batch went on without checkpoints");
            return notes;
          },
          "Checkpoints that were refused or could not be written, once the batch has ended.")
      .def_prop_ro(
          "best", [](const Batch& b) { return b.best.load(); },
          "The lowest best of the runs in progress that connects all nodes; -1: none.")
      .def("request_stop", &Batch::requestStop,
           "Asks the batch to stop after the launches in progress, without waiting.")
      .def(
          "failure",
          [](const Batch& b) -> nb::object {
            if (b.failedRun < 0) return nb::none();
            std::lock_guard<std::mutex> held(b.feed->lock);
            return nb::make_tuple(b.failedRun, b.failedReason,
                                  b.feed->exception && b.failedReason.empty()
                                      ? nb::borrow(b.feed->exception)
                                      : nb::none());
          },
          "What ended the runs early once the batch has ended: (run, reason, exception) or None.");
  m.def("start_batch", &startBatch, nb::arg("next_run"), nb::arg("jobs"), nb::arg("resident"),
        nb::arg("time_limit"), nb::arg("target"), nb::arg("max_instances"), nb::arg("runs"),
        nb::arg("islands") = 1, nb::arg("checkpoint") = "", nb::arg("checkpoint_every") = 0.0,
        "Starts a batch whose runs come from next_run(): a (Graph, seed, generations or None, "
        "hardness, density, words) tuple, None at the end (what it raises ends the runs). `runs`: "
        "how many there are where known (else 0), so that the pool has no more slots; "
        "`islands`: the most islands of any run; `checkpoint`: the folder of the runs' "
        "checkpoints (\"\": none), written every `checkpoint_every` seconds and when the batch "
        "is stopped, and continued from.");
  m.def(
      "concurrent_blocks", [](int jobs) { return gpuBatchPlan(jobs, 0).concurrent; },
      nb::arg("jobs"),
      "Blocks the form runs at once with `jobs` workers: the CPU form's workers, the GPU's "
      "multiprocessors times the blocks each holds.");
}
