// Test-only program: runs one pipeline on one path, so that fault tests can limit,
// kill or interrupt a real process while it encrypts or decrypts a file.
//
//   qx_pipeline_tool encrypt|decrypt PATH PASSWORD [-n] [-w WORK_FILE] [-s SEED] [-x]
//
// -x ignores SIGXFSZ, so that a file-size limit fails writes instead of killing.
// Prints the progress pieces, then a line "status FAULT"; exits 0 when done,
// 1 failed, 3 "Can't read", 4 "Can't write.", 2 on bad usage.
#include "container/pipeline.hpp"
#include "platform/platform.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace qx::container;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s encrypt|decrypt PATH PASSWORD [-n] [-w WORK] [-s SEED] [-x]\n", argv[0]);
        return 2;
    }
    const std::string op = argv[1], path = argv[2], password = argv[3];
    RunContext run;
    run.progress = [](std::string_view piece) {
        std::fwrite(piece.data(), 1, piece.size(), stdout);
        std::fflush(stdout);
    };
    for (int i = 4; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-n")) {
            run.no_backup = true;
        } else if (!std::strcmp(argv[i], "-w") && i + 1 < argc) {
            run.work_file = argv[++i];
        } else if (!std::strcmp(argv[i], "-s") && i + 1 < argc) {
            run_random().seed(static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10)));
        } else if (!std::strcmp(argv[i], "-x")) {
            std::signal(SIGXFSZ, SIG_IGN);
        } else {
            return 2;
        }
    }
    qx::platform::install_interrupt_handlers();
    // The work file is made, tracked, before its first use, as a run makes it
    // (after an earlier run's is cleared away: each run here may have the same
    // name). It stays after a run that ends, holding the codec's input.
    int work_slot = -1;
    bool work_made = false;
    if (!run.work_file.empty()) {
        qx::platform::delete_file(run.work_file);
        run.make_work_file = [&] {
            if (!work_made) work_made = qx::platform::create_new_file(run.work_file, work_slot);
            return work_made;
        };
    }
    Result result;
    if (op == "encrypt") {
        const FileClass fc = classify_file(path);
        result = encrypt_file(path, password, fc.kind == kind_plain_stored ? 0 : 1, run);
    } else if (op == "decrypt") {
        result = decrypt_file(path, password, classify_file(path), run);
    } else {
        return 2;
    }
    std::printf("\nstatus %s\n", fault_name(result.fault));
    switch (result.status) {
        case Status::done: return 0;
        case Status::failed: return 1;
        case Status::cant_read: return 3;
        case Status::cant_write: return 4;
    }
    return 1;
}
