// Feeds arbitrary bytes through reading, tie-breaks, ranking and both reports.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "chunks.h"
#include "input.h"
#include "scan.h"
#include "ranking.h"
#include "reports.h"
#include "store.h"
#include "test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);

  // The vector scan must find exactly the lines the portable scan finds.
  if (size > 4 && size < (std::size_t(1) << 20)) {
    std::vector<std::uint32_t> fast(size / 2 + 1), portable(size / 2 + 1);
    // Past four bytes that stand before, up to a cut that still shows the
    // bytes after it, as the reader's windows do.
    const char* from = text + 4;
    const std::size_t shown = size - 4, cut = shown - data[0] % std::min<std::size_t>(shown, 80);
    const std::size_t n = find_tag_starts(from, cut, shown, fast.data());
    if (n != find_tag_starts_portable(from, cut, shown, portable.data())) std::abort();
    for (std::size_t i = 0; i < n; ++i)
      if (fast[i] != portable[i]) std::abort();
  }

  // The last byte picks a block size, so that lines cross blocks everywhere.
  const std::size_t block = size > 0 ? 1 + data[size - 1] % 64 : default_block_size;
  static const auto st = std::make_unique<Store>();
  reset_store(*st);
  MemorySource in(text, size);
  std::string failure;
  try {
    read_games(*st, in, block);
  } catch (const Failure& f) {
    failure = f.what();
  }

  // Read in chunks split where the first bytes say, the same store or failure.
  static const auto chunked = std::make_unique<Store>();
  reset_store(*chunked);
  std::vector<std::uint64_t> starts = {0};
  for (std::size_t k = 0; k < 3 && k < size; ++k)
    starts.push_back(std::max<std::uint64_t>(starts.back(), data[k] * size / 256));
  const OpenAt open_at = [&](std::uint64_t offset) {
    const std::size_t at = std::min<std::size_t>(offset, size);
    return std::unique_ptr<ByteSource>(new MemorySource(text + at, size - at));
  };
  std::string chunked_failure;
  try {
    const Launch when_waited_for = [](std::function<void()> task) { return task; };
    read_in_chunks(*chunked, starts, open_at, when_waited_for, block);
  } catch (const Failure& f) {
    chunked_failure = f.what();
  }
  if (chunked_failure != failure) std::abort();
  if (!failure.empty()) return 0;  // a clean end: the tool prints the message
  if (chunked->nptr != st->nptr || chunked->maxn != st->maxn || chunked->names != st->names)
    std::abort();
  for (int p = 1; p <= st->nptr; ++p)
    for (int q = 1; q <= st->nptr; ++q)
      if (!std::equal(st->s[p][q], st->s[p][q] + 2 + st->s[p][q][0], chunked->s[p][q]))
        std::abort();

  compute_tiebreaks(*st);
  rank_players(*st);
  Text out;
  write_cross_table(*st, out);
  write_standings(*st, out);
  return 0;
}
