// Fuzz target: opening arbitrary bytes as an encrypted file with a fixed password, in memory.
#include "container/sealed.hpp"

#include <cstring>
#include <vector>

namespace {
constexpr std::string_view password = "fuzz pass";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qx::codec::Codec codec;  // one state for the whole run, as in the program
    qx::container::Opened opened;
    qx::container::open_sealed(data, size, password, codec, opened);

    // Again with the check block made right, so that the bytes behind it are explored too.
    const qx::container::FileClass fc = qx::container::classify_bytes(data, size, "");
    if (size >= qx::container::container_overhead && fc.check_offset >= 8 && fc.check_offset <= size - 8) {
        std::vector<uint8_t> copy(data, data + size);
        const qx::container::CheckBlock block = qx::container::make_check_block(password);
        std::memcpy(copy.data() + fc.check_offset, block.data(), block.size());
        if (qx::container::open_sealed(copy.data(), copy.size(), password, codec, opened) ==
            qx::container::Fault::none) {
            if (opened.identification.size() > 255) __builtin_trap();
        }
    }
    return 0;
}
