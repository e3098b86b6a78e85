#include "webpage.h"

#include <cstdio>
#include <string>

#include "columns.h"
#include "datafile.h"
#include "encoding.h"

namespace {

// Pairs that met more often show a summary, their games folded away.
constexpr int games_shown = 4;

// Colours mark wins, draws and losses; the symbols carry them all the same.
constexpr char style[] =
    "body{font:15px/1.4 system-ui,sans-serif;margin:1em;color:#111;background:#fff}"
    "h1{font-size:1.4em;margin:0 0 .3em}h2{font-size:1.1em;margin:1.2em 0 .4em}"
    ".scroll{overflow-x:auto}"
    "table{border-collapse:collapse;font-variant-numeric:tabular-nums}"
    "th,td{border:1px solid #bbb;padding:.15em .35em;text-align:center;vertical-align:top}"
    "th.name,td.name{text-align:left;white-space:nowrap}"
    "td.num{text-align:right}td.self{background:#ddd}"
    ".cross td{font-family:ui-monospace,monospace;min-width:1.6em}"
    ".w{color:#075e1b}.d{color:#555}.l{color:#a11}"
    "details{text-align:left}summary{cursor:pointer;white-space:nowrap}"
    ".seq{font-family:ui-monospace,monospace;overflow-wrap:anywhere;max-width:16em}"
    "@media (max-width:600px){body{margin:.4em;font-size:14px}}"
    "@media print{body{font-size:9pt;margin:0}.scroll{overflow:visible}}"
    "@page{size:A4;margin:12mm}";

// Appends text with the characters that are markup escaped.
void append_escaped(Text& out, std::string_view text) {
  for (const char c : text) switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
}

// Appends a name as text of the page: UTF-8, escaped, a character a page
// may not hold as U+FFFD.
void append_name(Text& out, std::string_view name) {
  std::string utf8, fit;
  append_utf8_name(utf8, name);
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t from = at;
    const char32_t c = next_char(utf8, at);
    if (unfit_for_page(c))
      fit += "\xEF\xBF\xBD";
    else
      fit.append(utf8, from, at - from);
  }
  append_escaped(out, fit);
}

const char* symbol_class(char symbol) { return symbol == '1' ? "w" : symbol == '0' ? "l" : "d"; }

// A cell of p's games against q: each symbol, or for a pair that met often
// the wins-draws-losses and the score, the games folded away.
void append_cell(Text& out, const Store& st, int p, int q) {
  const int* pair = st.s[p][q];
  const int n = pair[0];
  if (n <= games_shown) {
    out += "<td>";
    for (int g = 1; g <= n; ++g) {
      const char symbol = static_cast<char>(pair[1 + g]);
      out += "<span class=";
      out += symbol_class(symbol);
      out += '>';
      out += symbol;
      out += "</span>";
    }
    out += "</td>";
    return;
  }
  int wins = 0, losses = 0;
  for (int g = 1; g <= n; ++g) {
    wins += pair[1 + g] == '1';
    losses += pair[1 + g] == '0';
  }
  out += "<td><details><summary title=\"wins-draws-losses, points\">" + std::to_string(wins) + "-" + std::to_string(n - wins - losses) + "-" +
         std::to_string(losses) + " " + exact_value(pair[1], 2) + "</summary><div class=seq>";
  for (int g = 1; g <= n; ++g) out += static_cast<char>(pair[1 + g]);
  out += "</div></details></td>";
}

void append_cross_table(Text& out, const Store& st) {
  out += "<h2>Cross table</h2>\n<div class=scroll><table class=cross>\n<thead><tr><th>#</th><th class=name>Player</th>";
  for (int k = 1; k <= st.nptr; ++k) out += "<th>" + std::to_string(k) + "</th>";
  out += "<th>Points</th></tr></thead>\n<tbody>\n";
  for (int i = 1; i <= st.nptr; ++i) {
    const int p = st.r[i];
    out += "<tr><td>" + std::to_string(i) + "</td><th class=name scope=row>";
    append_name(out, name_as_read(st, p));
    out += "</th>";
    for (int k = 1; k <= st.nptr; ++k)
      if (st.r[k] == p)
        out += "<td class=self>#</td>";
      else
        append_cell(out, st, p, st.r[k]);
    out += "<td class=num>" + exact_value(st.pt[p], 2) + "</td></tr>\n";
  }
  out += "</tbody></table></div>\n";
}

void append_standings(Text& out, const Store& st) {
  out += "<h2>Standings</h2>\n<div class=scroll><table>\n<thead><tr><th>#</th><th class=name>Player</th>"
         "<th>perc.</th><th>pnt</th><th>games</th><th>Buchh</th><th>S-B</th></tr></thead>\n<tbody>\n";
  for (int i = 1; i <= st.nptr; ++i) {
    const int p = st.r[i];
    const std::string sb = format_quarters(st.SB[p]);
    char numbers[160];
    std::snprintf(numbers, sizeof numbers,
                  "<td class=num>%.0f%%</td><td class=num>%.1f</td><td class=num>%d</td>"
                  "<td class=num>%.1f</td><td class=num>%s</td>",
                  percentage(st, p), st.pt[p] * 0.5, st.games[p], st.Buch[p] * 0.5,
                  sb.c_str() + sb.find_first_not_of(' '));
    out += "<tr><td>" + std::to_string(i) + "</td><td class=name>";
    append_name(out, name_as_read(st, p));
    out += "</td>";
    out += numbers;
    out += "</tr>\n";
  }
  out += "</tbody></table></div>\n";
}

}  // namespace

void write_page(const Store& st, std::string_view title, Text& out) {
  out += "<!DOCTYPE html>\n<html lang=en>\n<head>\n<meta charset=utf-8>\n"
         "<meta name=viewport content=\"width=device-width, initial-scale=1\">\n";
  out += page_mark;
  out += TABLE5_VERSION "\">\n<title>";
  append_name(out, title);
  out += "</title>\n<style>";
  out += style;
  out += "</style>\n</head>\n<body>\n<h1>";
  append_name(out, title);
  out += "</h1>\n<p>Ranked by points per game, then Buchholz (the opponents' points), then "
         "Sonneborn-Berger (the points of the opponents one scored against); players without "
         "games rank last. A cell holds a row's results against a column's player in the order "
         "played: 1 a win, = a draw, 0 a loss; a pair that met more than 4 times shows wins, "
         "draws and losses and the points, the games folded away.</p>\n";
  append_cross_table(out, st);
  append_standings(out, st);
  out += "</body>\n</html>\n";
}
