#include "input.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t block_size = std::size_t(1) << 18;

constexpr char white_tag[] = "[White \"";
constexpr char black_tag[] = "[Black \"";
constexpr char result_tag[] = "[Result \"";
constexpr std::size_t name_start = sizeof white_tag - 1;     // the ninth character
constexpr std::size_t result_start = sizeof result_tag - 1;  // the tenth character

bool starts_with(const char* line, std::size_t len, const char* tag, std::size_t n) {
  return len >= n && std::memcmp(line, tag, n) == 0;
}

// Whether a line whose first n bytes are known may still be one of the three
// tags: any other line is skipped without looking for its end.
bool may_be_tag(const char* line, std::size_t n) {
  for (const char* tag : {white_tag, black_tag, result_tag})
    if (std::memcmp(line, tag, std::min(n, std::strlen(tag))) == 0) return true;
  return false;
}

// Reads until buf is full or the source ends; false when the source is done.
bool fill(ByteSource& in, std::vector<char>& buf, std::size_t& len) {
  while (len < buf.size()) {
    const std::size_t got = in.read(buf.data() + len, buf.size() - len);
    if (got == 0) return false;
    len += got;
  }
  return true;
}

}  // namespace

std::size_t MemorySource::read(char* buf, std::size_t n) {
  n = std::min(n, left);
  if (n > 0) std::memcpy(buf, data, n);
  data += n;
  left -= n;
  return n;
}

void read_line(Store& st, const char* line, std::size_t len, int& white, int& black) {
  if (starts_with(line, len, white_tag, name_start) ||
      starts_with(line, len, black_tag, name_start)) {
    // A name without its closing quote runs to the end of the line.
    const char* name = line + name_start;
    const void* quote = std::memchr(name, '"', len - name_start);
    const char* end = quote ? static_cast<const char*>(quote) : line + len;
    const int p = find_player(st, name, static_cast<std::size_t>(end - name));
    (line[1] == 'W' ? white : black) = p;
  } else if (starts_with(line, len, result_tag, result_start)) {
    if (white == 0 || black == 0) throw Failure("result without player");
    // Only values beginning with 1 or 0 are games; "*" and the like are not.
    const char first = len > result_start ? line[result_start] : '\0';
    if ((first == '1' || first == '0') && white != black) {
      const bool draw = len > result_start + 1 && line[result_start + 1] == '/';
      record_game(st, white, black, draw ? 1 : 2 * (first - '0'));
    }
    white = black = 0;
  }
}

// Only lines that begin with '[' can matter, so the scan jumps from '[' to '['
// and copies nothing but a tag line that runs past the end of the block.
void read_games(Store& st, ByteSource& in) {
  std::vector<char> buf(block_size);
  std::size_t len = 0;   // bytes held in buf
  std::size_t pos = 0;   // where the search for the next '[' goes on
  char before = '\n';    // the byte before buf[0]
  bool more = fill(in, buf, len);
  int white = 0, black = 0;
  for (;;) {
    const void* hit = pos < len ? std::memchr(buf.data() + pos, '[', len - pos) : nullptr;
    if (!hit) {
      if (!more) return;
      before = buf[len - 1];
      len = pos = 0;
      more = fill(in, buf, len);
      continue;
    }
    const char* line = static_cast<const char*>(hit);
    const std::size_t start = static_cast<std::size_t>(line - buf.data());
    const std::size_t avail = len - start;
    pos = start + 1;
    if ((start == 0 ? before : buf[start - 1]) != '\n' || !may_be_tag(line, avail))
      continue;
    const char* eol = static_cast<const char*>(std::memchr(line, '\n', avail));
    if (!eol && more) {
      // The line goes on past the block: keep it and read on behind it.
      std::memmove(buf.data(), line, avail);
      len = avail;
      if (len == buf.size()) buf.resize(2 * buf.size());
      pos = 0;
      before = '\n';
      more = fill(in, buf, len);
      continue;
    }
    std::size_t n = eol ? static_cast<std::size_t>(eol - line) : avail;
    if (n > 0 && line[n - 1] == '\r') --n;  // CR LF reads like LF
    read_line(st, line, n, white, black);
    pos = eol ? start + static_cast<std::size_t>(eol - line) + 1 : len;
  }
}
