// Faults of the system for the tests: this test program puts its own open,
// close, fdatasync, read and pread before the C library's, which fail or
// end early only while a test asks for it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

namespace faults {
extern std::atomic<int> names_taken;          // exclusive creations to fail as taken
extern std::atomic<bool> close_fails;         // closing a temporary file fails
extern std::atomic<bool> flush_fails;         // flushing a file to the disk fails
extern std::atomic<ino_t> broken_file;        // the file whose reads fail...
extern std::atomic<std::uint64_t> broken_at;  // ...at this byte and after,
extern std::atomic<int> early_ends;           // or meet its end there this often
}  // namespace faults

// Makes the reads of file fail from byte at on, or, ends times, meet the
// file's end there; break_reads(0) mends it.
void break_reads(ino_t file, std::uint64_t at = 0, int ends = 0);
