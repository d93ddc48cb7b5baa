// The run driver: one run of the program from the command line to the summary.
#pragma once

namespace qx::driver {

// Exit statuses of a run.
inline constexpr int exit_clean = 0;        // every listed file was processed
inline constexpr int exit_fatal = 1;        // a fatal stop (bad switches, no matches, cancelled password, ...)
inline constexpr int exit_file_errors = 2;  // the run completed, but at least one file was reported with an error

// The program: runs with the arguments as main() receives them and returns the exit status.
int run(int argc, char** argv);

}  // namespace qx::driver
