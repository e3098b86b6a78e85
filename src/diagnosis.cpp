#include "diagnosis.h"

#include <cstring>

#include "alike.h"
#include "columns.h"

namespace {

constexpr std::string_view white_tag = "[White \"", black_tag = "[Black \"",
                           result_tag = "[Result \"";

// A line past the byte order mark that may begin it.
std::string_view past_mark(std::string_view line) {
  constexpr std::string_view mark = "\xEF\xBB\xBF";
  return line.substr(0, mark.size()) == mark ? line.substr(mark.size()) : line;
}

// Whether a line that begins so may be one of the three tags.
bool may_matter(std::string_view line) {
  line = past_mark(line);
  for (const std::string_view tag : {white_tag, black_tag, result_tag})
    if (tag.substr(0, line.size()) == line.substr(0, tag.size())) return true;
  return false;
}

// The reader's rules at their plainest, a line at a time.
struct Plain {
  Store& st;
  Diagnosis& diagnosis;
  std::uint64_t number = 0;
  int white = 0, black = 0;

  void fail(const Failure& failure, std::string what) {
    diagnosis.line = number;
    diagnosis.what = std::move(what);
    diagnosis.failure = failure.what();
  }

  // Acts on a line (ended by a line feed or not); false once it failed.
  bool act(std::string line, bool ended) {
    ++number;
    if (!ended && line.find("\"]") == std::string::npos) return true;  // not yet a line
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.erase(0, line.size() - past_mark(line).size());
    const bool is_white = line.compare(0, white_tag.size(), white_tag) == 0;
    if (is_white || line.compare(0, black_tag.size(), black_tag) == 0) {
      const std::string name = line.substr(8, line.find('"', 8) - 8);
      try {
        const int p = find_player(st, name.data(), name.size());
        (is_white ? white : black) = p;
        if (static_cast<std::size_t>(p) == diagnosis.first_line.size()) diagnosis.first_line.push_back(number);
      } catch (const Failure& failure) {
        std::string what = quoted(name) + " would be a 20th player";
        for (int p = 1; p <= st.nptr; ++p)
          if (alike(name_as_read(st, p), name)) {
            what += "; it differs from " + quoted(name_as_read(st, p)) + " " + alike_in;
            break;
          }
        return fail(failure, what), false;
      }
    } else if (line.compare(0, result_tag.size(), result_tag) == 0) {
      const std::string value = line.substr(9) + "  ";
      if (white == 0 || black == 0) {
        const char* missing = white == 0 && black == 0 ? "a White or a Black" : white == 0 ? "a White" : "a Black";
        return fail(content_failure("result without player"),
                    std::string("a Result tag without ") + missing + " tag since the previous Result"),
               false;
      }
      if (value[0] != '1' && value[0] != '0') {
        ++st.no_games;
      } else if (white != black) {
        try {
          record_game(st, white, black, value[1] == '/' ? 1 : 2 * (value[0] - '0'));
        } catch (const Failure& failure) {
          return fail(failure, "the 999th game between " + quoted(name_as_read(st, white)) + " and " +
                                   quoted(name_as_read(st, black))),
                 false;
        }
      }
      white = black = 0;
    }
    return true;
  }
};

}  // namespace

Diagnosis diagnose(Store& st, ByteSource& in) {
  Diagnosis diagnosis;
  Plain plain{st, diagnosis};
  std::string line;
  bool keep = true;  // only a line that may be a tag is kept whole
  char block[1 << 16];
  for (std::size_t got; (got = in.read(block, sizeof block)) > 0;) {
    for (std::size_t at = 0; at < got;) {
      const void* feed = std::memchr(block + at, '\n', got - at);
      const std::size_t end = feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - block) : got;
      if (keep) line.append(block + at, end - at), keep = may_matter(line);
      if (!feed) break;
      if (!plain.act(std::move(line), true)) return diagnosis;
      line.clear();
      keep = true;
      at = end + 1;
    }
  }
  if (!line.empty()) plain.act(std::move(line), false);
  return diagnosis;
}

bool looks_like_utf16(std::string_view start) {
  if (start.substr(0, 2) == "\xFF\xFE" || start.substr(0, 2) == "\xFE\xFF") return true;
  const std::string_view line = start.substr(0, start.find("\n"));
  if (line.size() < 8) return false;
  bool zero_odd = true, zero_even = true;  // UTF-16LE and UTF-16BE of ASCII
  for (std::size_t i = 0; i + 1 < line.size(); i += 2) {
    zero_even = zero_even && line[i] == '\0';
    zero_odd = zero_odd && line[i + 1] == '\0';
  }
  return zero_odd || zero_even;
}

std::string quoted(std::string_view name) {
  const bool utf8 = is_utf8(name);
  std::string out = "\"";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    // C1 controls: a byte of their own in Latin-1, after 0xC2 in UTF-8.
    const bool c1 = utf8 ? c == 0xC2 && i + 1 < name.size() &&
                               static_cast<unsigned char>(name[i + 1]) < 0xA0
                         : c >= 0x80 && c < 0xA0;
    if (c >= 0x20 && c != 0x7F && !c1) {
      out += static_cast<char>(c);
      continue;
    }
    static const char hex[] = "0123456789abcdef";
    for (std::size_t k = 0; k < (utf8 && c1 ? 2u : 1u); ++k) {
      const auto b = static_cast<unsigned char>(name[i + k]);
      out += "\\x";
      out += hex[b >> 4];
      out += hex[b & 15];
    }
    if (utf8 && c1) ++i;
  }
  return out + "\"";
}
