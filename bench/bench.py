#!/usr/bin/env python3
"""Times the Release table5 against `wc -l` on a large engine-league file.

Generates the files under bench/data/ when absent: league.pgn (19 players,
998 games per pair, ~80 MB), league-tenth.pgn (a tenth of it) and
long-line.pgn (a 50 MB comment line between two games). Then runs table5 and
wc -l alternately on league.pgn with a hot cache, prints the median ratio and
the peak resident memory of table5 on each file.

Usage: python3 bench/bench.py [runs]   (default 31; builds nothing: run the
release preset first). Needs GNU time (/usr/bin/time, Debian package time).
"""
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
TABLE5 = os.path.join(HERE, "..", "build", "release", "table5")

PLAYERS = ["Engine %s %d.%d" % (name, 1 + i % 9, i) for i, name in enumerate(
    "Alder Birch Cedar Dogwood Elm Fir Ginkgo Hazel Ilex Juniper Kauri Larch "
    "Maple Nutmeg Oak Pine Quince Rowan Spruce".split())]
PIECES = "NBRQK"
FILES = "abcdefgh"


def move_text(rng, result):
    """About 180 bytes of plausible move text, wrapped at 80 columns."""
    words = []
    for n in range(1, 19):
        for _ in range(2):
            piece = rng.choice(PIECES) if rng.random() < 0.6 else ""
            words.append("%s%s%s%d" % ("" if words and len(words) % 2 else "%d. " % n,
                                       piece, rng.choice(FILES), rng.randint(1, 8)))
    words.append(result)
    lines, line = [], ""
    for w in words:
        if len(line) + len(w) + 1 > 79:
            lines.append(line)
            line = w
        else:
            line = (line + " " + w).strip()
    lines.append(line)
    return "\n".join(lines)


def game(rng, number, white, black):
    result = rng.choice(["1-0", "0-1", "1/2-1/2", "1/2-1/2"])
    tags = [
        ("Event", "Engine League Season 7"), ("Site", "Cluster node %d" % (number % 16)),
        ("Date", "2026.%02d.%02d" % (1 + number % 12, 1 + number % 28)),
        ("Round", "%d.%d" % (1 + number // 171, number % 171)),
        ("White", white), ("Black", black), ("Result", result),
        ("WhiteElo", str(3000 + rng.randint(0, 400))),
        ("BlackElo", str(3000 + rng.randint(0, 400))),
        ("ECO", "%s%02d" % (rng.choice("ABCDE"), rng.randint(0, 99))),
        ("TimeControl", "60+0.6"), ("PlyCount", str(rng.randint(40, 200))),
    ]
    head = "".join('[%s "%s"]\n' % t for t in tags)
    return head + "\n" + move_text(rng, result) + "\n\n"


def write_league(path, games_per_pair):
    rng = random.Random(7)
    pairs = [(a, b) for a in range(19) for b in range(a + 1, 19)]
    number = 0
    with open(path, "w", newline="\n") as out:
        for rnd in range(games_per_pair):
            for a, b in pairs:
                white, black = (a, b) if rnd % 2 == 0 else (b, a)
                out.write(game(rng, number, PLAYERS[white], PLAYERS[black]))
                number += 1


def write_long_line(path):
    rng = random.Random(8)
    with open(path, "w", newline="\n") as out:
        out.write(game(rng, 0, PLAYERS[0], PLAYERS[1]))
        out.write("{" + "x" * (50 * 1024 * 1024) + "}\n")
        out.write(game(rng, 1, PLAYERS[1], PLAYERS[0]))


def run(command):
    """Wall time of one run in seconds."""
    start = time.perf_counter()
    if subprocess.run(command, stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit("failed: %s" % " ".join(command))
    return time.perf_counter() - start


def peak_memory(command):
    """Peak resident memory of one run in KiB, as GNU time measures it (the
    rusage of a child forked from this script would count the script too)."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True).stderr
    return int(out.split()[-1])


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 31
    os.makedirs(DATA, exist_ok=True)
    files = {"league.pgn": lambda p: write_league(p, 998),
             "league-tenth.pgn": lambda p: write_league(p, 100),
             "long-line.pgn": write_long_line}
    for name, make in files.items():
        path = os.path.join(DATA, name)
        if not os.path.exists(path):
            print("generating", path, flush=True)
            make(path)
    if not os.access(TABLE5, os.X_OK):
        sys.exit("no %s: cmake --preset release && cmake --build --preset release" % TABLE5)

    league = os.path.join(DATA, "league.pgn")
    size = os.path.getsize(league) / 1e6
    run(["wc", "-l", league])  # warm the cache
    run([TABLE5, league])
    tool, wc = [], []
    for _ in range(runs):
        tool.append(run([TABLE5, league]))
        wc.append(run(["wc", "-l", league]))
    t, w = statistics.median(tool), statistics.median(wc)
    print("league.pgn: %.1f MB, %d runs each" % (size, runs))
    print("  table5 median %.1f ms, wc -l median %.1f ms, ratio %.2f" % (t * 1e3, w * 1e3, t / w))
    for name in files:
        path = os.path.join(DATA, name)
        peak = max(peak_memory([TABLE5, path]) for _ in range(3))
        print("  peak memory on %-17s %6.2f MiB" % (name + ":", peak / 1024))


if __name__ == "__main__":
    main()
