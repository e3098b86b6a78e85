#include "datafile.h"

#include <cstdio>
#include <string>

#include "encoding.h"

namespace {

// A name as a JSON string: UTF-8, every character kept, quotes, backslashes
// and control characters escaped.
void append_json_name(Text& out, std::string_view name) {
  std::string utf8;
  append_utf8_name(utf8, name);
  out += '"';
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace

std::string exact_value(long long units, int per) {
  static const char* const fractions[2][4] = {{".0", ".5"}, {".0", ".25", ".5", ".75"}};
  return std::to_string(units / per) + fractions[per == 4][units % per];
}

void write_data(const Store& st, Text& out) {
  out += data_mark;
  out += TABLE5_VERSION "\", \"players\": [";
  for (int i = 1; i <= st.nptr; ++i) {
    const int p = st.r[i];
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.0f", percentage(st, p));
    out += i == 1 ? "\n" : ",\n";
    out += "{\"rank\": " + std::to_string(i) + ", \"name\": ";
    append_json_name(out, name_as_read(st, p));
    out += ", \"points\": " + exact_value(st.pt[p], 2) + ", \"games\": " + std::to_string(st.games[p]) +
           ", \"percent\": " + percent + ", \"buchholz\": " + exact_value(st.Buch[p], 2) +
           ", \"sonneborn_berger\": " + exact_value(st.SB[p], 4) + ", \"results\": [";
    for (int k = 1; k <= st.nptr; ++k) {
      if (k > 1) out += ", ";
      const int q = st.r[k];
      if (q == p) {
        out += "null";
        continue;
      }
      out += '"';
      for (int g = 1; g <= st.s[p][q][0]; ++g) out += static_cast<char>(st.s[p][q][1 + g]);
      out += '"';
    }
    out += "]}";
  }
  out += "\n]}\n";
}
