// Descriptor helpers of the POSIX side: complete writes, and fresh files an interrupt cannot strand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::platform::posix {

// Writes all `count` bytes, retrying after interrupted or partial writes. False on an error.
bool write_all(int fd, const void* data, size_t count);

// Writes all `count` bytes at `offset` / reads exactly `count` bytes at `offset`,
// retrying after interrupted or partial calls. False on an error or a short read.
bool write_all_at(int fd, uint64_t offset, const void* data, size_t count);
bool read_all_at(int fd, uint64_t offset, void* data, size_t count);

// Creates `path`, which must not exist yet (O_CREAT|O_EXCL|O_NOFOLLOW, owner-only),
// opens it for reading and writing and tracks it for deletion on interrupt. Every signal the
// handlers take is held back from creation until the file is tracked, so that a
// signal delivered in between cannot leave it behind. Returns the descriptor
// (-1 on failure, errno set) and the tracking slot in `slot` (-1 when the table is full).
int open_new_tracked(const std::string& path, int& slot);

}  // namespace qx::platform::posix
