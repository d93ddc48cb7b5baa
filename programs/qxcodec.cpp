// qxcodec: the codec alone on raw streams (compress, decompress), a benchmark,
// and the codec's real input made from a file (encipher). QX_JOBS=N shares the
// match search of compressions among N threads of its own (default 0: none).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.hpp"
#include "container/cipher.hpp"
#include "programs/read_file.hpp"

namespace {

using qx::codec::Codec;
using qx::codec::Failure;

const char* reason_text(Failure why) {
    switch (why) {
    case Failure::none: return "no error";
    case Failure::empty_input: return "the input is empty";
    case Failure::zero_length: return "the stream's length header is 0";
    case Failure::cant_read: return "cannot read the input (or it is shorter than the length header)";
    case Failure::cant_write: return "cannot write the output";
    case Failure::cant_open: return "cannot open a file";
    case Failure::corrupt: return "the stream is damaged: it ends before its length is decoded";
    case Failure::too_large: return "the input is 4 GiB or larger";
    case Failure::no_memory: return "out of memory";
    }
    return "unknown failure";
}

// Sets the search threads from QX_JOBS.
void set_threads(Codec& codec) {
    const char* jobs = std::getenv("QX_JOBS");
    if (jobs) codec.set_search_threads(static_cast<unsigned>(std::strtoul(jobs, nullptr, 10)));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Times compression and decompression of each file in a fresh codec state per
// run, checks the round trip, and prints one line per file.
int bench(int count, char** files) {
    std::printf("%-40s %12s %12s %7s %10s %10s\n", "file", "size", "compressed", "ratio", "comp MB/s", "dec MB/s");
    int status = 0;
    for (int k = 0; k < count; ++k) {
        std::vector<uint8_t> input, packed, unpacked;
        if (!read_file(files[k], input)) {
            std::fprintf(stderr, "qxcodec: cannot read %s\n", files[k]);
            status = 1;
            continue;
        }
        std::vector<double> comp, dec;
        bool same = true;
        // At least three runs, more for small files, up to about two seconds each way.
        double spent = 0;
        for (int run = 0; run < 15 && (run < 3 || spent < 2.0); ++run) {
            Codec encoder, decoder;
            set_threads(encoder);
            auto t0 = std::chrono::steady_clock::now();
            const int ok = encoder.compress(input.data(), input.size(), packed);
            comp.push_back(seconds_since(t0));
            t0 = std::chrono::steady_clock::now();
            const int back = decoder.decompress(packed.data(), packed.size(), unpacked);
            dec.push_back(seconds_since(t0));
            spent += comp.back() + dec.back();
            same = same && ok == (input.empty() ? 0 : 1) && (input.empty() || (back == 1 && unpacked == input));
        }
        const double mb = static_cast<double>(input.size()) / 1e6;
        std::printf("%-40s %12zu %12zu %7.4f %10.2f %10.2f%s\n", files[k], input.size(), packed.size(),
                    input.empty() ? 0.0 : static_cast<double>(packed.size()) / static_cast<double>(input.size()),
                    mb / median(comp), mb / median(dec), same ? "" : "  ROUND TRIP FAILED");
        if (!same) status = 1;
    }
    return status;
}

// Writes what the compressing pipeline hands the codec for the file `in`: the
// identification text, the ESC byte and the contents, enciphered under the
// password (the forward chain ends with the reversal, so the codec meets the
// enciphered bytes last to first).
int encipher(const char* password, const char* in, const char* out) {
    std::vector<uint8_t> contents;
    if (!read_file(in, contents)) {
        std::fprintf(stderr, "qxcodec: cannot read %s\n", in);
        return 1;
    }
    if (*password == '\0') {
        std::fprintf(stderr, "qxcodec: the password is empty\n");
        return 2;
    }
    const size_t head = qx::container::identification_text.size() + 1;
    std::vector<uint8_t> data(head + contents.size());
    std::copy(contents.begin(), contents.end(), data.begin() + static_cast<std::ptrdiff_t>(head));
    qx::container::assemble_plaintext(data.data());
    qx::container::encipher_data(data.data(), data.size(), password);
    std::FILE* f = std::fopen(out, "wb");
    bool ok = f && std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (ok) return 0;
    std::fprintf(stderr, "qxcodec: cannot write %s\n", out);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "bench") == 0) return bench(argc - 2, argv + 2);
    if (argc == 5 && std::strcmp(argv[1], "encipher") == 0) return encipher(argv[2], argv[3], argv[4]);
    if (argc == 4 && (std::strcmp(argv[1], "compress") == 0 || std::strcmp(argv[1], "decompress") == 0)) {
        Codec codec;
        set_threads(codec);
        Failure why = Failure::none;
        const bool compress = argv[1][0] == 'c';
        const int ok = compress ? qx::codec::compress_file(codec, argv[2], argv[3], &why)
                                : qx::codec::decompress_file(codec, argv[2], argv[3], &why);
        if (ok) return 0;
        std::fprintf(stderr, "qxcodec: %s %s: %s\n", argv[1], argv[2], reason_text(why));
        return 1;
    }
    std::fprintf(stderr, "usage: qxcodec compress IN OUT | qxcodec decompress IN OUT | qxcodec bench FILE...\n"
                         "       qxcodec encipher PASSWORD IN OUT   (the codec's input in the pipeline)\n");
    return 2;
}
