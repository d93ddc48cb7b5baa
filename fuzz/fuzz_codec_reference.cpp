// Fuzz target: the fast encoder writes exactly the stream that the step-by-step
// reference encoder writes, each carrying its own state through all operations.
#include <cstdint>
#include <vector>

#include "codec/codec.hpp"
#include "codec/reference_encoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qx::codec::Codec codec;  // one state for the whole run, as in the program
    static qx::codec::testing::ReferenceEncoder reference;
    if (size == 0) return 0;
    std::vector<uint8_t> packed;
    if (!codec.compress(data, size, packed)) __builtin_trap();
    if (packed != reference.compress(std::vector<uint8_t>(data, data + size))) __builtin_trap();
    return 0;
}
