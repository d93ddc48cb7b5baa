// Fuzz target for the list-file parser: any bytes, fed whole and in pieces, give the same valid entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "driver/file_list.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using qx::driver::ListParser;
    if (size == 0) return 0;
    // The first byte picks the piece size of the second pass.
    size_t piece = 1 + data[0] % 64;
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<std::string> whole, pieces;
    ListParser one;
    one.feed(bytes, whole);
    one.finish(whole);
    ListParser many;
    for (size_t at = 0; at < bytes.size(); at += piece) many.feed(bytes.substr(at, piece), pieces);
    many.finish(pieces);

    if (whole != pieces) std::abort();
    for (const std::string& entry : whole) {
        // An entry is at most 255 characters and holds no LF or NUL; only ".\" removal can empty it.
        if (entry.size() > qx::driver::max_path_length) std::abort();
        if (entry.find('\n') != std::string::npos || entry.find('\0') != std::string::npos) std::abort();
    }
    return 0;
}
