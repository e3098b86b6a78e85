#!/usr/bin/env python3
"""The web page and the data file, checked from outside.

Usage: publish_test.py TABLE5 SCHEMA GAMEFILE_OR_FOLDER... [--browser]

For every game file (and a few made here: hostile, Latin-1, UTF-8 and
league-sized names) runs TABLE5 --html --json and checks
- the data file against the schema and against the standings report:
  rank order, names, percentages, points, games, Buchholz, Sonneborn-Berger
  (exact, and rounded as the text prints them), and results that mirror each
  other and add up to the points;
- the page: parsed as HTML5 without a parse error, every name as text in
  both tables (escaped, never markup), nothing fetched from elsewhere;
- with --browser, in headless Chromium: every name in the rendered DOM, no
  script of a hostile name run, a 12-player round robin on one A4 page.
Exits 77 (skipped) where a needed module or the browser is missing.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

try:
    import html5lib
    import jsonschema
except ImportError as missing:
    print("skipped: %s (Debian: python3-html5lib, python3-jsonschema)" % missing)
    sys.exit(77)

args = [a for a in sys.argv[1:] if a != "--browser"]
browser = "--browser" in sys.argv
TABLE5, SCHEMA, sources = os.path.abspath(args[0]), args[1], args[2:]
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
if browser and not CHROMIUM:
    print("skipped: no chromium (Debian: chromium)")
    sys.exit(77)
validator = jsonschema.Draft202012Validator(json.load(open(SCHEMA, encoding="utf-8")))
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def decoded(name):
    """A name as the page and data file read it."""
    try:
        return name.decode("utf-8")
    except UnicodeDecodeError:
        return "".join(bytes([b]).decode("cp1252", errors="strict") if b not in (0x81, 0x8D, 0x8F, 0x90, 0x9D)
                       else chr(b) for b in name)


def on_page(text):
    """A name as the page shows it: what a page may not hold as U+FFFD."""
    def unfit(c):
        o = ord(c)
        return o < 0x20 or 0x7F <= o < 0xA0 or 0xFDD0 <= o <= 0xFDEF or (o & 0xFFFE) == 0xFFFE
    return "".join("\ufffd" if unfit(c) else c for c in text)


def game(white, black, result):
    return b'[White "%s"]\n[Black "%s"]\n[Result "%s"]\n' % (white, black, result)


HOSTILE = [b"<script>document.title='pwned'</script>", b"</td><b>x", b'"><img src=x onerror="document.title=\'pwned\'">',
           b"a&amp;b", b"tab\there\x01\x7f", b"M\xfcller \x80\x81", "Jürgen Müller".encode(), "王小明".encode(),
           b"\xef\xb7\x90nonchar"]


def made_files(folder):
    """Game files made here: hostile names, a Latin-1 and a UTF-8 name side by
    side, a 12-player round robin, and the largest legal league."""
    files = []
    hostile = b"".join(game(HOSTILE[i], HOSTILE[(i + 1) % len(HOSTILE)], b"1-0") for i in range(len(HOSTILE)))
    files.append(("hostile.pgn", hostile))
    players = [("Player %d" % i).encode() for i in range(1, 13)]
    robin = b"".join(game(players[i], players[j], [b"1-0", b"0-1", b"1/2-1/2"][(i + j) % 3])
                     for i in range(12) for j in range(i + 1, 12))
    files.append(("robin.pgn", robin))
    engines = [("Engine %c" % (65 + i)).encode() for i in range(19)]
    league = b"".join(game(engines[i], engines[j], [b"1-0", b"0-1", b"1/2-1/2"][(g + i) % 3])
                      for g in range(998) for i in range(19) for j in range(i + 1, 19))
    files.append(("league.pgn", league))
    for name, text in files:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(text)
    return [os.path.join(folder, name) for name, _ in files]


def standings_rows(text):
    """The standings report's rows: rank, name bytes, and the printed numbers."""
    rows = []
    for line in text.split(b"\n")[2:]:
        m = re.match(rb"^ ?(\d+)\. (.*)  +(\d+)% +([\d.]+) / *(\d+)  \( *([\d.]+), +([\d.]+)\)$", line)
        if m:
            rows.append(m.groups())
    return rows


def text_of(element):
    return "".join(element.itertext())


def check_data(path, data, standings):
    validator.validate(data)
    players = data["players"]
    rows = standings_rows(standings)
    check(len(players) == len(rows), "%s: %d players, %d rows" % (path, len(players), len(rows)))
    for k, (p, row) in enumerate(zip(players, rows)):
        rank, name, percent, points, games, buchholz, sb = row
        where = "%s: rank %d" % (path, k + 1)
        check(p["rank"] == k + 1 == int(rank), where + ": rank")
        # The report pads a name with blanks: the data file holds it as read.
        check(decoded(name).rstrip(" ") == p["name"].rstrip(" "), where + ": name %r" % p["name"])
        check(p["percent"] == int(percent), where + ": percent")
        check("%.1f" % p["points"] == points.decode() and p["games"] == int(games), where + ": points, games")
        check("%.1f" % p["buchholz"] == buchholz.decode(), where + ": Buchholz")
        check("%d.%d" % divmod(int(p["sonneborn_berger"] * 10 + 0.5), 10) == sb.decode(), where + ": S-B")
        results = p["results"]
        check(results[k] is None and len(results) == len(players), where + ": own place")
        scored = sum({"1": 1, "=": 0.5, "0": 0}[c] for r in results if r for c in r)
        check(scored == p["points"] and sum(len(r) for r in results if r) == p["games"], where + ": sums")
        for q, r in enumerate(results):
            if q != k:
                mirror = players[q]["results"][k]
                check(r == mirror.translate(str.maketrans("10", "01")), where + ": mirror of %d" % (q + 1))


def check_page(path, page, data):
    check(len(page) < 4 << 20, "%s: page of %d bytes" % (path, len(page)))
    parser = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False)
    try:
        tree = parser.parse(page)
    except html5lib.html5parser.ParseError as error:
        return check(False, "%s: parse error %s" % (path, error))
    for fetching in (rb"<script", rb"<link", rb"<img", rb"<iframe", rb"src=", rb"href=", rb"url\(", rb"@import"):
        check(not re.search(fetching, page, re.I), "%s: fetches with %r" % (path, fetching))
    check(tree.find(".//meta[@name='generator']").get("content", "").startswith("table5 "), path + ": generator")
    tables = tree.findall(".//table")
    check(len(tables) == 2, path + ": two tables")
    names = [on_page(p["name"]) for p in data["players"]]
    for table in tables:
        rows = table.findall("./tbody/tr")
        check([text_of(row[1]) for row in rows] == names, "%s: names in a table" % path)
        check(all(len(row) == len(rows[0]) for row in rows), path + ": rows of one length")
    cross = tables[0].findall("./tbody/tr")
    for k, row in enumerate(cross):
        for q, cell in enumerate(row[2:2 + len(cross)]):
            result = data["players"][k]["results"][q]
            shown = "#" if result is None else result if len(result) <= 4 else None
            if shown is None:
                summary = cell.find("./details/summary")
                wins, draws, losses = (result.count(c) for c in "1=0")
                check(text_of(summary).startswith("%d-%d-%d " % (wins, draws, losses)), path + ": a summary")
                check(text_of(cell.find("./details/div")) == result, path + ": a folded sequence")
            else:
                check(text_of(cell) == shown, "%s: cell %d,%d" % (path, k + 1, q + 1))
    check(not tree.findall(".//b") and not tree.findall(".//script"), path + ": a name became markup")


def chromium(*options):
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                           "--user-data-dir=" + profile, *options], capture_output=True, timeout=180)


def check_in_browser(path, page_path, data):
    dom = chromium("--dump-dom", "file://" + page_path).stdout.decode("utf-8", "replace")
    tree = html5lib.parse(dom, namespaceHTMLElements=False)
    shown = [text_of(cell) for cell in tree.findall(".//table")[0].findall("./tbody/tr/th")]
    check(shown == [on_page(p["name"]) for p in data["players"]], path + ": names in the rendered DOM")
    check("pwned" not in text_of(tree.find(".//title")), path + ": a hostile name ran a script")


def pdf_pages(page_path):
    pdf = os.path.join(work, "page.pdf")
    chromium("--print-to-pdf=" + pdf, "--no-pdf-header-footer", "file://" + page_path)
    with open(pdf, "rb") as f:
        return len(re.findall(rb"/Type\s*/Page(?!s)", f.read()))


work = tempfile.mkdtemp()
profile = os.path.join(work, "profile")
try:
    games = []
    for source in sources:
        if os.path.isdir(source):
            games += sorted(os.path.join(source, f) for f in os.listdir(source) if f.endswith(".pgn"))
        elif os.path.exists(source):
            games.append(source)
    games += made_files(work)
    for source in games:
        run_dir = os.path.join(work, "run")
        shutil.rmtree(run_dir, ignore_errors=True)
        os.mkdir(run_dir)
        shutil.copy(source, os.path.join(run_dir, "game.pgn"))
        done = subprocess.run([TABLE5, "--html", "--json", "game.pgn"], cwd=run_dir, capture_output=True)
        if done.returncode != 0:
            check(not os.path.exists(os.path.join(run_dir, "game.html")), source + ": a failing run wrote a page")
            continue
        read = lambda name: open(os.path.join(run_dir, name), "rb").read()
        data = json.loads(read("game.json").decode("utf-8"))
        standings = read("games.txt")
        check_data(source, data, standings)
        check_page(source, read("game.html"), data)
        if browser and os.path.basename(source) in ("worked.pgn", "hostile.pgn", "league.pgn", "robin.pgn"):
            check_in_browser(source, os.path.join(run_dir, "game.html"), data)
            if os.path.basename(source) == "robin.pgn":
                pages = pdf_pages(os.path.join(run_dir, "game.html"))
                check(pages == 1, "%s: %d A4 pages" % (source, pages))
        print("ok   %s: %d players, page %d bytes" % (os.path.basename(source), len(data["players"]),
                                                       len(read("game.html"))))
finally:
    shutil.rmtree(work, ignore_errors=True)
for failure in failures[:40]:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
