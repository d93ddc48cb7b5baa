// A whole file into memory, for the developer tools (qxcodec, qxfloor).
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// Replaces `data` with the contents of the file at `path`. False when it cannot
// be opened or read.
inline bool read_file(const char* path, std::vector<uint8_t>& data) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    data.clear();
    uint8_t block[1 << 16];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0) data.insert(data.end(), block, block + got);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}
