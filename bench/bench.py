#!/usr/bin/env python3
"""Times the Release table5 against `wc -l` on large engine-league files.

Generates the files under bench/data/ when absent: league.pgn (19 players,
998 games per pair, ~80 MB), league-tenth.pgn (a tenth of it),
long-line.pgn (a 50 MB comment line between two games) and
twentieth-player.pgn (the league with a 20th player 90 % in, which fails).
Every file is then evicted from the page cache and read back once through
cat, so that all are measured hot and as a sequential read leaves them.
table5 and wc -l run alternately, on both cores and pinned to one (taskset
-c 0 for both commands); the script prints the medians and their ratio, and
table5's peak resident memory on each file.

Usage: python3 bench/bench.py [runs]   (default 31; builds nothing: run the
release preset first). Needs GNU time (/usr/bin/time, Debian package time)
and taskset (util-linux).
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


def write_league(path, games_per_pair, newcomer_at=None):
    """The league; with newcomer_at, a game of a 20th player that far in."""
    rng = random.Random(7)
    pairs = [(a, b) for a in range(19) for b in range(a + 1, 19)]
    total = games_per_pair * len(pairs)
    number = 0
    with open(path, "w", newline="\n") as out:
        for rnd in range(games_per_pair):
            for a, b in pairs:
                if newcomer_at is not None and number == int(total * newcomer_at):
                    out.write(game(rng, number, "Newcomer", PLAYERS[a]))
                white, black = (a, b) if rnd % 2 == 0 else (b, a)
                out.write(game(rng, number, PLAYERS[white], PLAYERS[black]))
                number += 1


def write_long_line(path):
    rng = random.Random(8)
    with open(path, "w", newline="\n") as out:
        out.write(game(rng, 0, PLAYERS[0], PLAYERS[1]))
        out.write("{" + "x" * (50 * 1024 * 1024) + "}\n")
        out.write(game(rng, 1, PLAYERS[1], PLAYERS[0]))


def settle_in_cache(path):
    """Puts the file in the page cache as a sequential read leaves it. How it
    sits there changes reading speed: a file as the generator wrote it reads
    up to 1.5x slower than after it was evicted and read back."""
    fd = os.open(path, os.O_RDONLY)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)


def run(command):
    """Wall time of one run in seconds."""
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def ratio(path, runs, pin):
    """Medians of table5 and wc -l on path, run alternately, and their ratio."""
    prefix = ["taskset", "-c", "0"] if pin else []
    tool_cmd, wc_cmd = prefix + [TABLE5, path], prefix + ["wc", "-l", path]
    run(tool_cmd), run(wc_cmd)  # warm up
    tool, wc = [], []
    for _ in range(runs):
        tool.append(run(tool_cmd))
        wc.append(run(wc_cmd))
    t, w = statistics.median(tool), statistics.median(wc)
    return t * 1e3, w * 1e3, t / w


def peak_memory(command):
    """Peak resident memory of one run in KiB, as GNU time measures it (the
    rusage of a child forked from this script would count the script too)."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True).stderr
    return int(out.split()[-1])


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 31
    os.makedirs(DATA, exist_ok=True)
    files = {"league.pgn": lambda p: write_league(p, 998),
             "league-tenth.pgn": lambda p: write_league(p, 100),
             "long-line.pgn": write_long_line,
             "twentieth-player.pgn": lambda p: write_league(p, 998, newcomer_at=0.9)}
    for name, make in files.items():
        path = os.path.join(DATA, name)
        if not os.path.exists(path):
            print("generating", path, flush=True)
            make(path)
    if not os.access(TABLE5, os.X_OK):
        sys.exit("no %s: cmake --preset release && cmake --build --preset release" % TABLE5)
    for name in files:
        settle_in_cache(os.path.join(DATA, name))
    print("page cache: hot, each file evicted and read back once through cat; "
          "%d alternating runs each" % runs)

    league = os.path.join(DATA, "league.pgn")
    twentieth = os.path.join(DATA, "twentieth-player.pgn")
    for label, path, pin in [("league.pgn, 2 cores", league, False),
                             ("league.pgn, one core", league, True),
                             ("twentieth-player.pgn, 2 cores", twentieth, False)]:
        t, w, r = ratio(path, runs, pin)
        print("  %-30s table5 %5.1f ms, wc -l %5.1f ms, ratio %.2f" % (label + ":", t, w, r))
    for name in files:
        path = os.path.join(DATA, name)
        peak = max(peak_memory([TABLE5, path]) for _ in range(3))
        print("  peak memory on %-21s %6.2f MiB (%.1f MB)" %
              (name + ":", peak / 1024, os.path.getsize(path) / 1e6))


if __name__ == "__main__":
    main()
