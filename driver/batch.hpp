// Several files at once: workers prepare the run's files ahead while the main thread finishes them in list order.
#pragma once

#include <string>

#include "driver/run_state.hpp"

namespace qx::driver {

// Workers a run uses: `setting` (the QX_JOBS variable; null when unset) when it
// is a whole number from 1 on, at most max_workers; else `processors`, likewise capped.
inline constexpr int max_workers = 64;
int worker_count(const char* setting, int processors);

// Threads of their own for the match search of the main thread's compressions,
// for `workers` as worker_count gives: none for one, so that QX_JOBS=1 keeps
// the run on one processor; one for two or three, which takes the search off
// the thread that reads and codes; beyond, up to four that share it out. The
// run's own codec then keeps up with one large file; entries worked on ahead
// use the other processors anyway.
int search_thread_count(int workers);

// Starts `workers` - 1 threads beside the main thread for the run's files when
// `workers` is at least two;
// false (and nothing started) otherwise, or when no thread could be had: the
// files are then processed one at a time as they come.
//
// How it keeps a run exactly what one file at a time gives: a worker only
// reads the file and writes the new contents to a fresh file beside it (and
// its own work file); what the run's order decides (the announcement and the
// messages, the generator's draw, the backup, the replace, the counts, the
// codec's carried window) happens on the main thread, entry by entry in list
// order, and the entry's file must then still be the one the worker read.
// The main thread does the entry at the front itself when no worker has
// started it, with its progress shown as it comes; an entry a worker has
// started shows the percentage of its current step until it is finished, then
// its pieces. Anything a worker could not finish (a failure of any kind, a file changed
// since, a short codec input that depends on the carried window) is done again
// at its turn, the usual way. An entry naming a file that an earlier,
// unfinished entry names is never worked on ahead.
bool start_batch(RunState& state, int workers);
// True while a batch takes the entries.
bool batch_running();
// Takes the next entry of the list, whose line starts with `number`; finishes
// earlier entries while too much work is ahead.
void batch_entry(RunState& state, std::string entry, int number);
// Finishes every entry taken, then ends the workers.
void finish_batch(RunState& state);
// Ends the workers at once, discarding the work ahead (its fresh files and the
// workers' work files are deleted). For every exit; nothing when none runs.
void stop_batch();

}  // namespace qx::driver
