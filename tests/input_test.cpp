#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "scan.h"
#include "test_util.h"

namespace {

std::string failure_of(const std::string& text) {
  try {
    read_text(text);
  } catch (const Failure& f) {
    return f.what();
  }
  return "";
}

// Everything the reader leaves in the store, as one comparable text.
std::string summary(const Store& st) {
  std::string out = std::to_string(st.nptr) + " players, maxn " + std::to_string(st.maxn);
  for (int p = 1; p <= st.nptr; ++p) {
    out += "\n" + std::string(stored_name(st, p)) + " " + std::to_string(st.pt[p]) + "/" +
           std::to_string(st.games[p]);
    for (int q = 1; q <= st.nptr; ++q) out += " " + symbols(st, p, q);
  }
  return out;
}

// A source that hands out its bytes a few at a time, as a pipe may.
struct TrickleSource : ByteSource {
  std::string text;
  std::size_t at = 0, step;
  TrickleSource(std::string t, std::size_t s) : text(std::move(t)), step(s) {}
  std::size_t read(char* buf, std::size_t n) override {
    n = std::min({n, step, text.size() - at});
    std::copy_n(text.data() + at, n, buf);
    at += n;
    return n;
  }
};

TEST(Reader, OneGame) {
  auto st = read_text("[Event \"x\"]\n[White \"Anna Berg\"]\n[Black \"Carl Dahl\"]\n"
                      "[Result \"1-0\"]\n\n1. e4 e5 1-0\n");
  EXPECT_EQ(summary(*st), summary(*read_text(game("Anna Berg", "Carl Dahl", "1-0"))));
  EXPECT_EQ(st->nptr, 2);
  EXPECT_EQ(symbols(*st, 1, 2), "1");
  EXPECT_EQ(st->pt[1], 2);
}

TEST(Reader, ResultValues) {
  auto st = read_text(game("A", "B", "1-0") + game("A", "B", "1/2-1/2") + game("A", "B", "0-1") +
                      game("B", "A", "1-0"));
  EXPECT_EQ(symbols(*st, 1, 2), "1=00");
  EXPECT_EQ(st->pt[1], 3);
  EXPECT_EQ(st->pt[2], 5);
}

TEST(Reader, ValuesNotStartingWith1Or0AreNoGame) {
  for (const char* value : {"*", "?", "", "2-0", "-"}) {
    auto st = read_text(game("A", "B", value) + game("A", "B", "1-0"));
    EXPECT_EQ(st->s[1][2][0], 1) << value;
    // The pending players were cleared: a bare result now has none.
    EXPECT_EQ(failure_of(game("A", "B", value) + "[Result \"1-0\"]\n"), "result without player")
        << value;
  }
  EXPECT_EQ(read_text("[White \"A\"]\n[Black \"B\"]\n[Result \"")->games[1], 0);
}

TEST(Reader, TagOrderAndPendingPlayers) {
  // Black before White: White's tag still decides colour.
  auto st = read_text("[Black \"B\"]\n[White \"W\"]\n[Result \"1-0\"]\n");
  EXPECT_EQ(stored_name(*st, 1).substr(0, 1), "B");
  EXPECT_EQ(symbols(*st, 2, 1), "1");
  // A second White tag before the result replaces the first, which stays registered.
  st = read_text("[White \"X\"]\n[White \"Y\"]\n[Black \"Z\"]\n[Result \"0-1\"]\n");
  EXPECT_EQ(st->nptr, 3);
  EXPECT_EQ(st->games[1], 0);
  EXPECT_EQ(symbols(*st, 3, 2), "1");
  // No result: both players stay, without a game.
  st = read_text("[White \"X\"]\n[Black \"Y\"]\n");
  EXPECT_EQ(st->nptr, 2);
  EXPECT_EQ(st->maxn, 0);
  // The same name as White, then as Black.
  st = read_text(game("A", "B", "1-0") + game("B", "A", "1-0"));
  EXPECT_EQ(st->nptr, 2);
  EXPECT_EQ(symbols(*st, 1, 2), "10");
}

TEST(Reader, ResultWithoutPlayer) {
  EXPECT_EQ(failure_of("[Result \"1-0\"]\n" + game("A", "B", "1-0")), "result without player");
  EXPECT_EQ(failure_of("[White \"A\"]\n[Result \"1-0\"]\n"), "result without player");
  EXPECT_EQ(failure_of(game("A", "B", "1-0") + "[Black \"B\"]\n[Result \"1-0\"]\n"),
            "result without player");
}

TEST(Reader, GameAgainstOneselfIsNotRecorded) {
  auto st = read_text(game("A", "A", "1-0"));
  EXPECT_EQ(st->nptr, 1);
  EXPECT_EQ(st->games[1], 0);
  EXPECT_EQ(st->s[1][1][0], 0);
  EXPECT_EQ(failure_of(game("A", "A", "1-0") + "[Result \"1-0\"]\n"), "result without player");
}

TEST(Reader, OnlyTheExactTagFormsCount) {
  const std::string noise =
      "[WhiteElo \"2400\"]\n[BlackElo \"2300\"]\n[WhiteTitle \"GM\"]\n[White  \"Two\"]\n"
      "[white \"lower\"]\n [White \"indented\"]\n[ResultX \"1-0\"]\n{[White \"in a comment\"]}\n"
      "1. e4 e5 1-0\n[Result\"1-0\"]\n";
  auto st = read_text(game("A", "B", "1-0") + noise + game("A", "B", "0-1") + noise);
  EXPECT_EQ(st->nptr, 2);
  EXPECT_EQ(symbols(*st, 1, 2), "10");
}

TEST(Reader, NameBytes) {
  // No closing quote: the name runs to the end of the line.
  auto st = read_text("[White \"Open ended\n[Black \"B\"]\n[Result \"1-0\"]\n");
  EXPECT_EQ(stored_name(*st, 1).substr(0, 11), "Open ended ");
  EXPECT_EQ(st->namelen[1], 10u);
  // 0xFF, NUL and Ctrl-Z are ordinary characters and do not end the input.
  const std::string odd("\xff\0\x1a", 3);
  st = read_text(game(odd, "B", "1-0") + game("C", "D", "1-0"));
  EXPECT_EQ(st->nptr, 4);
  EXPECT_EQ(stored_name(*st, 1).substr(0, 3), odd);
  // An empty name is a name.
  st = read_text(game("", "B", "1-0"));
  EXPECT_EQ(st->namelen[1], 0u);
  EXPECT_EQ(st->pt[1], 2);
}

TEST(Reader, NamesAlikeButInOnePlace) {
  // Names that share their length and first, middle and last bytes, differing
  // at any one byte: each is its own player however often they alternate.
  std::vector<std::string> names;
  for (const std::size_t len : {8, 12, 16, 21, 24, 25, 26, 33, 40})
    for (std::size_t at = 0; at <= len; ++at) {
      names.push_back(std::string(len, 'n'));
      if (at < len) names.back()[at] = 'x';
    }
  // Nineteen at a time, each beating the next in three rounds.
  for (std::size_t first = 0; first < names.size(); first += 19) {
    const auto name = [&](std::size_t k) { return names[(first + k % 19) % names.size()]; };
    std::string text;
    for (int round = 0; round < 3; ++round)
      for (std::size_t k = 0; k < 19; ++k) text += game(name(k), name(k + 1), "1-0");
    const auto st = read_text(text);
    ASSERT_EQ(st->nptr, 19) << name(0);
    for (int p = 1; p <= 19; ++p) {
      EXPECT_EQ(stored_name(*st, p).substr(0, name(p - 1).size()), name(p - 1));
      EXPECT_EQ(st->games[p], 6);
      EXPECT_EQ(st->pt[p], 6);
    }
  }
}

TEST(Reader, LineEnds) {
  const std::string lf = game("A", "B", "1-0") + "\n1. e4 1-0\n" + game("B", "A", "1/2-1/2");
  std::string crlf;
  for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(summary(*read_text(crlf)), summary(*read_text(lf)));
  // No final line feed, with or without a CR at the very end.
  const std::string last = "[White \"A\"]\n[Black \"B\"]\n[Result \"1-0\"]";
  EXPECT_EQ(read_text(last)->pt[1], 2);
  EXPECT_EQ(read_text(last + "\r")->pt[1], 2);
  // A last line still being written, without its line feed and closing "],
  // is not yet a tag.
  EXPECT_EQ(read_text(last.substr(0, last.size() - 4))->games[1], 0);
  EXPECT_EQ(read_text("[White \"A\"]\n[Black \"B\"]\n[White \"Ber\r")->nptr, 2);
  // A CR anywhere else is part of the line.
  EXPECT_EQ(read_text("[White \"A\rB\"]\n")->namelen[1], 3u);
  // A lone CR does not end a line, so no tag starts after it.
  EXPECT_EQ(read_text("x\r[White \"A\"]\n")->nptr, 0);
  // A byte order mark starts the file, or a line where two such files were
  // joined; elsewhere it is no line's start.
  const std::string mark = "\xEF\xBB\xBF";
  EXPECT_EQ(summary(*read_text(mark + lf + mark + crlf)), summary(*read_text(lf + crlf)));
  EXPECT_EQ(read_text("x" + mark + "[White \"A\"]\n")->nptr, 0);
  EXPECT_EQ(read_text("\xBB\xBF[White \"A\"]\n")->nptr, 0);
}

TEST(Reader, LongLinesAndBlockBoundaries) {
  // Lines crossing blocks at every offset, long comments, and sources that
  // deliver a few bytes at a time all read alike.
  const std::string games = "[Event \"e\"]\r\n" + game("Anna", "Carl", "1-0") + "{" +
                            std::string(300000, 'c') + "}\n" + game("Carl", "Eva", "1/2-1/2") +
                            "[Round \"3\"]\n" + game("Eva", "Anna", "0-1") + "[White \"Idle\"]";
  const std::string expected = summary(*read_text(games));
  EXPECT_EQ(expected.substr(0, 21), "4 players, maxn 1\nAnn");
  for (std::size_t block = 1; block <= 64; ++block) {
    auto st = empty_store();
    MemorySource in(games);
    read_games(*st, in, block);
    EXPECT_EQ(summary(*st), expected) << block;
  }
  for (const std::size_t step : {1, 3, 4096}) {
    auto st = empty_store();
    TrickleSource in(games, step);
    read_games(*st, in);
    EXPECT_EQ(summary(*st), expected) << step;
  }
  const std::size_t block = default_block_size;
  for (std::size_t pad = block - 12; pad <= block + 2; ++pad) {
    const std::string text = std::string(pad, 'x') + "\n" + games;
    EXPECT_EQ(summary(*read_text(text)), expected) << pad;
  }
  // A name longer than any block.
  const std::string huge(600000, 'h');
  auto st = read_text(game(huge, "B", "1-0"));
  EXPECT_EQ(stored_name(*st, 1), huge);
}

TEST(Reader, LimitsEndTheRead) {
  std::string text;
  for (int i = 1; i <= 20; ++i) text += game("P" + std::to_string(i), "Q", "1-0");
  EXPECT_EQ(failure_of(text), "too many players (at most 19)");
  text.clear();
  for (int i = 0; i < 999; ++i) text += game("A", "B", "1/2-1/2");
  EXPECT_EQ(failure_of(text), "too many games between two players (at most 998)");
}

// Each vector kernel this processor has, and the dispatch, against the
// portable form.
TEST(Reader, EveryKernelFindsWhatThePortableOneFinds) {
  std::vector<FindTagStarts> kernels = {find_tag_starts};
  if (find_tag_starts_avx2()) kernels.push_back(find_tag_starts_avx2());
  std::printf("tag scan: %zu kernels beside the portable one\n", kernels.size());
  // Random texts dense in line feeds, brackets, quotes, tag letters and the
  // bytes of a byte order mark.
  const char alphabet[] = "\n\n[[WBRhleiotu \"\xEF\xBB\xBF";
  std::uint32_t seed = 12345;
  for (int round = 0; round < 3000; ++round) {
    std::string text(static_cast<std::size_t>(round % 97), ' ');
    for (char& c : text) {
      seed = seed * 1103515245 + 12345;
      c = alphabet[(seed >> 16) % (sizeof alphabet - 1)];
    }
    if (round % 3 == 0) text += "[White \"x\"]\n[Result \"1-0\"]\n[Round \"1\"]";
    if (round % 3 == 1) text.insert(text.size() / 2, "\n\xEF\xBB\xBF[Black \"y\"]\n\xBF[Black \"z\"]");
    for (std::size_t from = 0; from < text.size(); from += 7)
      ASSERT_EQ(name_end(text.data() + from, text.size() - from),
                name_end_portable(text.data() + from, text.size() - from)) << round;
    // Scanned whole, and in two parts that each see all the text after them;
    // the first four bytes stand before.
    if (text.size() < 4) continue;
    const std::size_t cut = 4 + (text.size() - 4) / 3;
    const auto scan = [&](FindTagStarts find, std::size_t from, std::size_t to) {
      std::vector<std::uint32_t> starts(text.size() / 2 + 1);
      starts.resize(find(text.data() + from, to - from, text.size() - from, starts.data()));
      for (auto& at : starts) at += static_cast<std::uint32_t>(from);
      return starts;
    };
    const auto whole = scan(find_tag_starts_portable, 4, text.size());
    for (const FindTagStarts find : kernels) {
      ASSERT_EQ(scan(find, 4, text.size()), whole) << round;
      auto parts = scan(find, 4, cut);
      const auto rest = scan(find, cut, text.size());
      parts.insert(parts.end(), rest.begin(), rest.end());
      ASSERT_EQ(parts, whole) << round;
    }
  }
}

TEST(Reader, AFailingSourceEndsTheRead) {
  struct Failing : ByteSource {
    int calls = 0;
    std::size_t read(char* buf, std::size_t n) override {
      if (++calls > 2) throw Failure("games.pgn: not found");
      const std::string part = game("A", "B", "1-0");
      n = std::min(n, part.size());
      part.copy(buf, n);
      return n;
    }
  } in;
  auto st = empty_store();
  EXPECT_THROW(read_games(*st, in, 16), Failure);
}

}  // namespace
