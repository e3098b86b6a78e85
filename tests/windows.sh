#!/usr/bin/env bash
# Cross-builds table5.exe (MinGW-w64) and runs the end-to-end cases under
# Wine beside the Linux build: reports must be the Linux reports byte for
# byte with CR LF line ends, messages and exit statuses the same.
# Installs MinGW-w64 and Wine with apt-get when they are missing (as root).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need+=(wine64 wine)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; } \
    >/dev/null || { echo "cannot install ${need[*]}"; exit 1; }
fi

set -e
cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
set +e
linux=$root/build/release/table5
windows=$root/build/windows/table5.exe
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$root/build/wine}
wine cmd /c exit >/dev/null 2>&1  # set up the prefix once, quietly

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# case NAME SETUP ARGS...: SETUP (a shell snippet) prepares a folder, both
# programs run there with ARGS (Windows paths may use '\'), and everything
# they leave is compared.
case_() {
  local name=$1 setup=$2
  shift 2
  rm -rf "$work/lin" "$work/win"
  mkdir -p "$work/lin" "$work/win"
  (cd "$work/lin" && eval "$setup") && (cd "$work/win" && eval "$setup")
  local lin_args=()
  for a in "$@"; do lin_args+=("${a//\\//}"); done
  (cd "$work/lin" && "$linux" "${lin_args[@]}" >"$work/lin.out" 2>&1)
  local lin_status=$?
  (cd "$work/win" && wine "$windows" "$@" >"$work/win.out" 2>&1)
  local win_status=$?
  local why=""
  [ "$lin_status" = "$win_status" ] || why="status $lin_status on Linux, $win_status on Windows"
  if [ -z "$why" ] && ! cmp -s "$work/lin.out" <(tr -d '\r' <"$work/win.out"); then
    why="messages differ: $(head -c 200 "$work/lin.out") / $(head -c 200 "$work/win.out")"
  fi
  if [ -z "$why" ]; then
    local lin_files win_files
    lin_files=$(cd "$work/lin" && find . -type f | sort)
    win_files=$(cd "$work/win" && find . -type f | sort)
    [ "$lin_files" = "$win_files" ] || why="files differ: [$lin_files] / [$win_files]"
  fi
  if [ -z "$why" ]; then
    while read -r f; do
      case $f in *.txt) ;; *) continue ;; esac
      cmp -s <(sed 's/$/\r/' "$work/lin/$f") "$work/win/$f" || why="$f differs"
    done < <(cd "$work/lin" && find . -type f)
  fi
  if [ -n "$why" ]; then
    echo "FAIL $name: $why"
    failed=$((failed + 1))
  else
    echo "ok   $name (status $lin_status)"
    passed=$((passed + 1))
  fi
}

data=$root/tests/data
case_ "club evening" "cp '$data/worked.pgn' club.pgn" club.pgn
case_ "reports beside the input" \
  "mkdir -p results/2008.d && cp '$data/worked.pgn' results/2008.d/club.pgn" 'results\2008.d\club.pgn'
case_ "no dot in the name" "cp '$data/worked.pgn' games" games
case_ "no argument" ":"
case_ "version" ":" --version
case_ "help" ":" --help
case_ "not found" ":" missing.pgn
case_ "input is a folder" "mkdir folder.pgn" folder.pgn
case_ "result without player" "printf '[Result \"1-0\"]\r\n' >bad.pgn" bad.pgn
case_ "too many players" \
  "for i in \$(seq 20); do printf '[White \"P%s\"]\n[Black \"Q\"]\n[Result \"1-0\"]\n' \$i; done >swiss.pgn" \
  swiss.pgn
case_ "Ctrl-Z and 0xFF are ordinary" \
  "printf '[White \"A\\032\\377\"]\r\n[Black \"B\"]\r\n[Result \"1/2-1/2\"]\r\n\\032[White \"C\"]\n' >odd.pgn" odd.pgn
case_ "cross table path is a folder" "cp '$data/worked.pgn' club.pgn && mkdir clubx.txt" club.pgn
case_ "standings path is a folder" "cp '$data/worked.pgn' club.pgn && mkdir clubs.txt" club.pgn
for f in "$data"/*.pgn "$root"/../shared/data/*.pgn; do
  [ -f "$f" ] && case_ "$(basename "$f")" "cp '$f' game.pgn" game.pgn
done

echo "windows: $passed passed, $failed failed"
[ "$failed" = 0 ]
