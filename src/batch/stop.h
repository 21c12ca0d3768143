// When a run of a batch ends before its generations are made: a time limit on
// the run's own clock and a target energy, both checked between launches.
#pragma once

struct RunStop {
  double timeLimit = 0;  // seconds; 0: none. The run ends at the first launch boundary past it
  double target = -1;    // ends once the best connects all nodes and is at most this; < 0: none
  // The generations were left out ("-" in a runs file, no --generations in a
  // grid): the run makes launches until its time limit or target ends it.
  bool noGenerationLimit = false;
};

// Why a run ended, as its result's `stop` says.
// stopInterrupted: the batch was asked to end its runs with what they have
// (BatchOptions::finish).
enum StopReason { stopGenerations, stopTime, stopTarget, stopInterrupted };
