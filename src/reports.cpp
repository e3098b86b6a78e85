#include "reports.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "columns.h"

namespace {

constexpr int label_width = 29;  // "%2d. " and a 25-character name

// printf onto the end of out; for the short numeric fields only.
void appendf(Text& out, const char* format, ...) {
  char buf[128];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0) out.append(buf, std::min(static_cast<std::size_t>(n), sizeof buf - 1));
}

// Whether the names are set by the columns a terminal gives them: where all
// are UTF-8 and one at least goes beyond ASCII. Else byte for byte, which
// lines up the columns of ASCII and of single-byte encodings such as Latin-1.
bool in_columns(const Store& st) {
  bool beyond_ascii = false;
  for (int p = 1; p <= st.nptr; ++p) {
    const std::string_view name = name_as_read(st, p);
    if (!is_utf8(name)) return false;
    beyond_ascii |= std::any_of(name.begin(), name.end(), [](char c) { return c & 0x80; });
  }
  return beyond_ascii;
}

// Appends the first of name that fits width (bytes, or columns), and blanks
// to fill it.
void append_fitted(Text& out, std::string_view name, std::size_t width, bool columns) {
  std::size_t used = std::min(name.size(), width);
  out += columns ? cut_to_columns(name, width, used) : name.substr(0, used);
  out.append(width - used, ' ');
}

void append_label(Text& out, const Store& st, int rank, bool columns) {
  appendf(out, "%2d. ", rank);
  if (!columns) {
    out += stored_name(st, st.r[rank]);
    return;
  }
  const std::string_view name = name_as_read(st, st.r[rank]);
  out += name;  // a longer name shifts its line, as it does byte for byte
  const std::size_t taken = text_columns(name);
  if (taken < name_field) out.append(name_field - taken, ' ');
}

// The symbols of p's games against q numbered from first on, as many as width
// and as far as played, blank-filled to width.
void append_cell_line(Text& out, const Store& st, int p, int q, int first, int width) {
  const int* pair = st.s[p][q];
  const int last = std::min(first + width - 1, pair[0]);
  const std::size_t at = out.size();
  out.append(static_cast<std::size_t>(width), ' ');
  char* cell = &out[at];
  for (int g = first; g <= last; ++g) cell[g - first] = static_cast<char>(pair[1 + g]);
}

}  // namespace

double percentage(const Store& st, int p) {
  return st.pt[p] * 50 / (st.games[p] + 0.000001);
}

int cell_rows(int maxn) {
  // Cells about twice as wide as high: the least R with R * (2R + 2) >= maxn.
  int rows = 1;
  if (maxn > 4)
    for (int t = 4; rows * t < maxn; t += 2) ++rows;
  return rows;
}

int cell_width(int maxn) { return (maxn - 1) / cell_rows(maxn) + 1; }

std::string format_quarters(long long q) {
  const long long tenths = (q * 10 + 2) / 4;  // q >= 0: rounded half away from zero
  char field[32];
  std::snprintf(field, sizeof field, "%3lld.%lld", tenths / 10, tenths % 10);
  return field;
}

void write_cross_table(const Store& st, Text& out) {
  const int rows = cell_rows(st.maxn);
  const int width = cell_width(st.maxn);
  // A league's table runs to hundreds of KB: reserved at once, it is neither
  // copied nor spread over fresh memory again and again as it grows.
  const std::size_t line_size = label_width + std::size_t(st.nptr) * std::size_t(width + 1) + 40;
  out.reserve(out.size() + line_size * (std::size_t(st.nptr) * std::size_t(rows + 1) + 3));
  const bool columns = in_columns(st);
  out += "Cross table, sorted by score percentage, Buchholz, SB\n\n";
  out.append(label_width, ' ');
  for (int k = 1; k <= st.nptr; ++k) {
    // A cell wider than the stored name shows the name and blanks.
    out += ' ';
    append_fitted(out, columns ? name_as_read(st, st.r[k]) : stored_name(st, st.r[k]),
                  static_cast<std::size_t>(width), columns);
  }
  out += '\n';
  for (int i = 1; i <= st.nptr; ++i) {
    const int p = st.r[i];
    for (int line = 0; line < rows; ++line) {
      if (line == (rows - 1) / 2)
        append_label(out, st, i, columns);
      else
        out.append(label_width, ' ');
      for (int k = 1; k <= st.nptr; ++k) {
        out += ' ';
        if (st.r[k] == p)
          out.append(static_cast<std::size_t>(width), '#');
        else
          append_cell_line(out, st, p, st.r[k], line * width + 1, width);
      }
      if (line == rows - 1)
        appendf(out, "  %3.0f%% %5.1f (%5.1f, %s)", percentage(st, p), st.pt[p] * 0.5,
                st.Buch[p] * 0.5, format_quarters(st.SB[p]).c_str());
      out += '\n';
    }
    if (rows > 1) out += '\n';
  }
}

void write_standings(const Store& st, Text& out) {
  const bool columns = in_columns(st);
  out += "    name                       perc.  pnt games  Buchh    S-B\n\n";
  for (int i = 1; i <= st.nptr; ++i) {
    const int p = st.r[i];
    append_label(out, st, i, columns);
    appendf(out, "  %3.0f%% %5.1f /%3d  (%5.1f, %s)\n", percentage(st, p), st.pt[p] * 0.5,
            st.games[p], st.Buch[p] * 0.5, format_quarters(st.SB[p]).c_str());
  }
}
