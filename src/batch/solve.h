// smetp-batch solve INSTANCE: one instance solved with the whole machine.
#pragma once

// The seconds a solve takes when neither a time limit nor generations are given.
constexpr double defaultSolveSeconds = 30;

// The command line after "solve" (argv[0] is "solve"); returns the exit
// status: 0, 1 for an error, 130 or 143 when SIGINT or SIGTERM ended the run
// early (its result is printed all the same).
int solveMain(int argc, char** argv, const char* version);
