// Fuzz target: whatever is compressed decompresses back to the same bytes, with one
// codec state carried through all operations, and every cut of the stream fails.
#include <cstdint>
#include <vector>

#include "codec/codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qx::codec::Codec codec;  // one state for the whole run, as in the program
    std::vector<uint8_t> packed, back;
    if (!codec.compress(data, size, packed)) {
        if (size != 0) __builtin_trap();
        return 0;
    }
    if (!codec.decompress(packed.data(), packed.size(), back) || back.size() != size) __builtin_trap();
    for (size_t i = 0; i < size; ++i)
        if (back[i] != data[i]) __builtin_trap();
    if (packed.size() > 4 && codec.decompress(packed.data(), packed.size() - 1, back)) __builtin_trap();
    return 0;
}
