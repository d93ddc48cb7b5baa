// The run state: switches, counts, list stream and the run's files, owned by the driver for the whole run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "container/pipeline.hpp"

namespace qx::console {
class StepProgress;
}

namespace qx::driver {

// A work file of the run: "EX" + letter + 5 digits, in the current directory,
// made the first time it is needed (exclusively, never through a link, tracked
// for removal). The run has one; each worker of a batch has one more.
struct RunWorkFile {
    std::string name;
    bool created = false;
    int slot = -1;
};

// The first work file name for which no file exists and that `taken` (when
// given) does not refuse. With every letter taken the last name stays, and
// making it fails, as it does in a folder that cannot be written.
std::string free_work_file_name(const std::function<bool(const std::string&)>& taken = {});
// Makes the work file the first time it is needed; true when it exists, made by this run.
bool create_work_file(RunWorkFile& file);
// Deletes the work file when this run made it and it still exists.
void remove_work_file(RunWorkFile& file);

struct RunState {
    bool encrypt_only = false;   // -e
    bool decrypt_only = false;   // -d
    bool use_list_file = false;  // -l
    bool no_backup = false;      // -n: the pipelines take no backup file

    std::string list_file_name;
    std::FILE* list_stream = nullptr;
    bool list_is_temporary = false;  // the run created the list file and deletes it
    int list_slot = -1;              // interrupt tracking of the temporary list file
    bool list_is_seekable = false;   // the user's list is a file on a disk, which can be read twice
    bool list_is_terminal = false;   // the user's list is typed on a terminal
    // The list's files, the list file and every file the run writes: no backup replaces them.
    container::ProtectedFiles protected_files;

    int file_counter = 0;     // the number shown in front of the next entry
    int encrypted_count = 0;  // files encrypted with success
    int decrypted_count = 0;  // files decrypted with success
    int file_errors = 0;      // files reported with an error; a completed run then exits with status 2

    std::string password;  // 4 to 32 characters, asked once
    std::string entry;     // the entry being processed

    RunWorkFile work_file;
};

// The one run state of the process.
RunState& run_state();

// Closes the list stream and deletes the list file when this run created it.
void close_list(RunState& state);

// `text` with control characters shown as '?', so that a path cannot drive the terminal.
std::string printable(std::string_view text);

// The password step: asks for the password in the masked field and keeps it in
// the run state, or ends the run with "user requested termination".
void ask_password();

// The entry handler: processes one announced entry and ends its line.
void process_entry(const std::string& entry);

// The progress line of the entry at hand: its pieces and the percentage of a long step.
console::StepProgress& entry_progress();
// What the pipelines take from the run, as it stands for the entry at hand.
container::RunContext& pipeline_context(RunState& state);
// Starts an entry's line: "file N: NAME".
void announce_entry(int number, const std::string& entry);
// Ends the line of an entry whose file now holds its new contents, and counts it.
void report_done(RunState& state, const container::Result& result, bool encrypted);

// The exit-time handler: removes the run's temporary files, then writes the
// closing line and waits for a key.
void on_exit();

}  // namespace qx::driver
