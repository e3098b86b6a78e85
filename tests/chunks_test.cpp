// Three readers of one set of rules must agree on every input: the plain
// line-by-line reader of the diagnosis, the block reader at every block
// size, and the chunked reader split anywhere.
#include "chunks.h"

#include <gtest/gtest.h>

#include <random>

#include "diagnosis.h"
#include "ranking.h"
#include "reports.h"
#include "test_util.h"

namespace {

// The reading rules at their plainest: the diagnosis's reading, line by
// line, which a failing run uses to say where.
void plain_read(Store& st, const std::string& text) {
  MemorySource in(text);
  const Diagnosis found = diagnose(st, in);
  if (found.line > 0) throw Failure(found.failure);
}

// Everything a reader leaves, as one comparable text: the players in their
// order, and the two reports they lead to; or its failure.
template <class Read>
std::string outcome(Read read) {
  static const auto st = empty_store();
  reset_store(*st);
  try {
    read(*st);
  } catch (const Failure& failure) {
    return failure.what();
  }
  std::string out = std::to_string(st->nptr) + " players, " + std::to_string(st->no_games) +
                    " results no game\n";
  for (int p = 1; p <= st->nptr; ++p) out += std::string(stored_name(*st, p)) + "\n";
  compute_tiebreaks(*st);
  rank_players(*st);
  Text reports;
  write_cross_table(*st, reports);
  write_standings(*st, reports);
  return out + std::string(reports);
}

// The text from offset on, failing as a disk would at byte broken and after.
struct BrokenSource : MemorySource {
  std::size_t offset, broken;
  BrokenSource(std::string_view text, std::size_t at, std::size_t fails_at)
      : MemorySource(text.data() + at, text.size() - at), offset(at), broken(fails_at) {}
  std::size_t read(char* buf, std::size_t n) override {
    if (offset + std::min(n, left) > broken) {
      if (offset >= broken) throw Failure("read error");
      n = broken - offset;
    }
    n = MemorySource::read(buf, n);
    offset += n;
    return n;
  }
};

constexpr std::size_t never = SIZE_MAX;

std::string in_blocks(const std::string& text, std::size_t block = default_block_size,
                      std::size_t broken = never) {
  return outcome([&](Store& st) {
    BrokenSource in(text, 0, broken);
    read_games(st, in, block);
  });
}

// The first chunk may see the file as it was before a rewrite, first_size
// bytes long; every later read sees it whole.
std::string chunked(const std::string& text, const std::vector<std::uint64_t>& starts,
                    std::size_t block, std::size_t broken = never,
                    std::size_t first_size = never) {
  return outcome([&](Store& st) {
    bool first = true;
    const OpenAt open_at = [&](std::uint64_t offset) {
      const std::string_view seen(text.data(), std::min(text.size(), first ? first_size : never));
      first = false;
      const std::size_t at = std::min<std::size_t>(offset, seen.size());
      return std::unique_ptr<ByteSource>(new BrokenSource(seen, at, broken));
    };
    const Launch when_waited_for = [](std::function<void()> task) { return task; };
    read_in_chunks(st, starts, open_at, when_waited_for, block);
  });
}

// Random game files dense in what a reader can get wrong: names that share
// length and first, middle and last eight bytes, names without a closing
// quote, byte order marks, tag-like text in mid-line
// and in comments, CR LF, pending games, unknown results, self-play, a
// result without players, the limits, and long lines.
std::string random_games(std::mt19937& rng, int parts) {
  const std::string alike(40, 'n');
  std::vector<std::string> names = {"Anna", "", "Carl\r", "Engine Alder 1.0", "Engine Alder 1.1"};
  for (const std::size_t at : {16, 20, 31})
    names.push_back(alike.substr(0, at) + "X" + alike.substr(at + 1));
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::string end[] = {"\n", "\r\n"};
  std::string text;
  for (int i = 0; i < parts; ++i) {
    const std::string& eol = end[pick(2)];
    const std::string name =
        pick(40) == 0 ? "P" + std::to_string(pick(24)) : names[pick(names.size())];
    const char* close = i % 7 == 3 ? "" : "\"]";  // now and then a name left open
    if (pick(25) == 0) text += "\xEF\xBB\xBF";     // a byte order mark, as where files were joined
    switch (pick(12)) {
      case 0: case 1: case 2: text += "[White \"" + name + close + eol; break;
      case 3: case 4: case 5: text += "[Black \"" + name + close + eol; break;
      case 6: case 7: case 8: {
        const char* values[] = {"1-0", "0-1", "1/2-1/2", "*", "", "0/"};
        text += std::string("[Result \"") + values[pick(6)] + "\"]" + eol;
        break;
      }
      case 9: text += std::string(pick(3) ? "[Result 1-0]" : "[WhiteElo \"1\"]") + eol; break;
      case 10: text += "{ [White \"" + name + "\"] [Result \"1-0\"] }" + eol; break;
      default: text += std::string(pick(20) ? pick(100) : 17000 + pick(40000), 'c') + eol;
    }
  }
  if (pick(15) == 0)  // a 20th player, likely
    for (int q = 0; q < 20; ++q) text += "[Black \"Q" + std::to_string(q) + "\"]\n";
  if (pick(20) == 0)  // a pair at its limit, or past it
    for (int g = 0; g < 997 + static_cast<int>(pick(3)); ++g) text += game("L1", "L2", "1-0");
  if (parts % 3 == 1 && !text.empty()) text.pop_back();  // no final line feed
  return text;
}

TEST(Chunks, EveryReaderGivesTheSameStoreAndFailure) {
  // The files from a generator of their own, so that they stay the same
  // whatever the rounds before them drew for splits and blocks.
  std::mt19937 files(2026), rng(2027);
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_games(files, 1 + static_cast<int>(files() % 40));
    const std::string expected = outcome([&](Store& st) { plain_read(st, text); });
    for (std::size_t block = 1; block <= 64; block += 1 + rng() % 8)
      ASSERT_EQ(in_blocks(text, block), expected) << "round " << round << ", block " << block;
    ASSERT_EQ(in_blocks(text), expected) << "round " << round;
    // Two chunks split at every position of a small file, at random ones in a
    // larger; and three and four chunks at random.
    const std::size_t size = text.size();
    const std::size_t step = size < 400 ? 1 : size / 97;
    // Small blocks, so that lines cross them everywhere; larger ones in
    // files with long lines, which would take long byte by byte.
    const auto block = [&] { return size < 4096 ? 1 + rng() % 64 : 64 + rng() % 4096; };
    for (std::size_t split = 1; split < size; split += step)
      ASSERT_EQ(chunked(text, {0, split}, block()), expected)
          << "round " << round << ", split at " << split;
    if (size > 1) {  // the first chunk met a shorter file: it is read again
      // Drawn apart from rng, which would change every later file.
      const std::size_t split = 1 + round * 7919 % (size - 1);
      ASSERT_EQ(chunked(text, {0, split}, 1 + round % 64, never, round * 104729 % split), expected)
          << "round " << round << ", split at " << split;
    }
    for (int n = 3; n <= 4 && size > 0; ++n) {
      std::vector<std::uint64_t> starts = {0};
      for (int k = 1; k < n; ++k)
        starts.push_back(starts.back() + rng() % (size + 1 - starts.back()));
      ASSERT_EQ(chunked(text, starts, rng() % 2 ? default_block_size : block()), expected)
          << "round " << round;
    }
    // A read error anywhere is the run's failure, whichever chunk meets it.
    const std::size_t broken = rng() % (size + 1);
    if (broken < size && expected.find(" players\n") != std::string::npos) {
      ASSERT_EQ(in_blocks(text, block(), broken), "read error") << "round " << round;
      ASSERT_EQ(chunked(text, split_points(size, 1 + rng() % 4), block(), broken), "read error")
          << "round " << round << ", broken at " << broken;
    }
  }
}

TEST(Chunks, TagsAtWindowStartsInLaterBlocks) {
  // A tag line at a 16 KiB window start in the second 64 KiB block, read
  // whole and split, also inside the first game; the busiest pair is not the
  // last one merged.
  for (const std::size_t at : {65536 + 16384, 65536 + 32768, 131072}) {
    const std::string text = std::string(at - 1, 'x') + "\n" + game("Anna", "Carl", "1-0") +
                             game("Carl", "Anna", "1/2-1/2") + game("Eva", "Anna", "0-1");
    const std::string expected = outcome([&](Store& st) { plain_read(st, text); });
    EXPECT_EQ(expected.substr(0, 10), "3 players,");
    EXPECT_EQ(in_blocks(text), expected);
    EXPECT_EQ(chunked(text, split_points(text.size(), 2), default_block_size), expected);
    EXPECT_EQ(chunked(text, {0, at}, default_block_size), expected);
    EXPECT_EQ(chunked(text, {0, text.find("[Result")}, default_block_size), expected);
  }
}

}  // namespace
