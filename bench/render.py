#!/usr/bin/env python3
"""Times headless Chromium rendering the page of the largest legal league
(19 players, 998 games a pair) against a page of three players: both are
loaded and printed to PDF, alternately, and the medians and their difference
are printed with the page's size.

Usage: python3 bench/render.py [runs]   (default 9; needs build/release and
Debian's chromium).
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE5 = os.path.join(HERE, "..", "build", "release", "table5")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
runs = int(sys.argv[1]) if len(sys.argv) > 1 else 9


def game(white, black, result):
    return '[White "%s"]\n[Black "%s"]\n[Result "%s"]\n' % (white, black, result)


work = tempfile.mkdtemp()
try:
    engines = ["Engine %s" % chr(65 + i) for i in range(19)]
    with open(os.path.join(work, "league.pgn"), "w") as f:
        for g in range(998):
            for i in range(19):
                for j in range(i + 1, 19):
                    f.write(game(engines[i], engines[j], ["1-0", "0-1", "1/2-1/2"][(g + i + j) % 3]))
    with open(os.path.join(work, "club.pgn"), "w") as f:
        f.write(game("A", "B", "1-0") + game("B", "C", "1/2-1/2"))
    for name in ("league.pgn", "club.pgn"):
        subprocess.run([TABLE5, "--html", name], cwd=work, check=True)
    times = {"league": [], "club": []}
    for _ in range(runs):
        for name in ("league", "club"):
            start = time.perf_counter()
            subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                            "--user-data-dir=" + os.path.join(work, "profile"),
                            "--print-to-pdf=" + os.path.join(work, name + ".pdf"), "--no-pdf-header-footer",
                            "file://" + os.path.join(work, name + ".html")], capture_output=True, check=True)
            times[name].append(time.perf_counter() - start)
    league, club = statistics.median(times["league"]), statistics.median(times["club"])
    print("league page %.2f MB: %.2f s loaded and printed; a 3-player page %.2f s; the difference %.2f s"
          % (os.path.getsize(os.path.join(work, "league.html")) / 1e6, league, club, league - club))
finally:
    shutil.rmtree(work, ignore_errors=True)
