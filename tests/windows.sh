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
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing ${need[*]}"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; } \
    >/dev/null || { echo "cannot install ${need[*]}"; exit 1; }
fi

set -e
cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null
cmake --preset windows-tests >/dev/null && cmake --build --preset windows-tests >/dev/null
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
set +e
linux=$root/build/release/table5
windows=$root/build/windows/table5.exe
# A UTF-8 locale, so that Wine hands file names to the program unchanged.
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$root/build/wine} LC_ALL=C.UTF-8
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
  (cd "$work/win" && wine "$windows" "$@" </dev/null >"$work/win.out" 2>&1)
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
    while read -r f; do  # the reports with Windows line ends, all else the same bytes
      case $f in
        *.txt) cmp -s <(sed 's/$/\r/' "$work/lin/$f") "$work/win/$f" || why="$f differs" ;;
        *) cmp -s "$work/lin/$f" "$work/win/$f" || why="$f differs" ;;
      esac
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
case_ "a page and a data file" "cp '$data/worked.pgn' club.pgn" --json --html club.pgn
case_ "hostile and Latin-1 names on the page" \
  "printf '[White \"</td><script>x</script>\"]\n[Black \"M\\374ller\"]\n[Result \"1/2-1/2\"]\n' >club.pgn" --html --json club.pgn
case_ "a page that is not ours" "cp '$data/worked.pgn' club.pgn && echo mine >club.html" --html club.pgn
case_ "the game file as the page" "cp '$data/worked.pgn' club.html && mkdir sub" --html sub/../club.html
case_ "an unknown option" "cp '$data/worked.pgn' club.pgn" --htm club.pgn
case_ "no argument" ":"
case_ "not found" ":" missing.pgn
case_ "input is a folder" "mkdir folder.pgn" folder.pgn
case_ "result without player" "printf '[Result \"1-0\"]\r\n' >bad.pgn" bad.pgn
case_ "too many players" \
  "for i in \$(seq 20); do printf '[White \"P%s\"]\n[Black \"Q\"]\n[Result \"1-0\"]\n' \$i; done >swiss.pgn" \
  swiss.pgn
case_ "Ctrl-Z and 0xFF are ordinary" \
  "printf '[White \"A\\032\\377\"]\r\n[Black \"B\"]\r\n[Result \"1/2-1/2\"]\r\n\\032[White \"C\"]\n' >odd.pgn" odd.pgn
# Names outside any code page: each must be read and written as itself, and
# never as the look-alike beside it.
other="printf '[White \"X\"]\\n[Black \"Y\"]\\n[Result \"0-1\"]\\n' >"
case_ "look-alike names" "cp '$data/worked.pgn' Ārhus.pgn && $other Arhus.pgn" Ārhus.pgn
case_ "fullwidth solidus" "cp '$data/worked.pgn' x／y.pgn && mkdir x && $other x/y.pgn" x／y.pgn
case_ "fullwidth letter" "cp '$data/worked.pgn' Ｃlub.pgn && $other Club.pgn" Ｃlub.pgn
case_ "a Cyrillic name" "cp '$data/worked.pgn' Турнир.pgn" Турнир.pgn
case_ "a name beyond the BMP" "cp '$data/worked.pgn' ♞🏆.pgn" ♞🏆.pgn
case_ "CJK name, message in UTF-8" ":" 大会.pgn
# Files of several MiB, which both programs read in parallel chunks: LF, CR LF,
# and a 20th player 90 % in.
league() {  # league GAME: 400 rounds of 19 engines, a newcomer before game GAME
  awk -v new="$1" 'BEGIN { for (r = 0; r < 400; r++) for (a = 1; a <= 19; a++)
    for (b = a + 1; b <= 19; b++) {
      if (++n == new) print "[White \"Newcomer\"]"
      printf "[White \"Engine %d\"]\n[Black \"Engine %d\"]\n[Result \"%s\"]\n\n1. e4 {a comment}\n\n",
        r % 2 ? b : a, r % 2 ? a : b, n % 3 ? (n % 3 == 1 ? "1/2-1/2" : "0-1") : "1-0" } }'
}
league 0 >"$work/league.pgn"
sed 's/$/\r/' "$work/league.pgn" >"$work/league-crlf.pgn"
league 61560 >"$work/league-20.pgn"
for f in league league-crlf league-20; do
  case_ "$f.pgn, read in parallel" "cp '$work/$f.pgn' game.pgn" game.pgn
done
# A Notepad file (byte order mark) joined to another, with names alike and an
# unfinished game: the warnings on standard error say the same lines.
case_ "byte order marks, names alike, a game left out" \
  "printf '\\357\\273\\277[White \"Anna Berg\"]\r\n[Black \"Jos\\303\\251\"]\r\n[Result \"1-0\"]\r\n\\357\\273\\277[White \"anna  berg\"]\n[Black \"Jose\\314\\201\"]\n[Result \"*\"]\n' >club.pgn" club.pgn
case_ "cross table path is a folder" "cp '$data/worked.pgn' club.pgn && mkdir clubx.txt" club.pgn
case_ "standings path is a folder" "cp '$data/worked.pgn' club.pgn && mkdir clubs.txt" club.pgn
# win_case NAME SETUP STATUS MESSAGE CHECK ARGS...: a case of Windows alone;
# CHECK (a shell test) must hold in the folder afterwards.
win_case() {
  local name=$1 setup=$2 status=$3 message=$4 check=$5
  shift 5
  rm -rf "$work/win" && mkdir -p "$work/win"
  (cd "$work/win" && eval "$setup")
  (cd "$work/win" && wine "$windows" "$@" </dev/null >"$work/win.out" 2>&1)
  local got=$? why=""
  [ "$got" = "$status" ] || why="status $got"
  [ "$(tr -d '\r' <"$work/win.out")" = "$message" ] || why="$why, said: $(head -c 200 "$work/win.out")"
  (cd "$work/win" && eval "$check") || why="$why, failed: $check"
  if [ -n "$why" ]; then echo "FAIL $name: $why"; failed=$((failed + 1))
  else echo "ok   $name (status $got)"; passed=$((passed + 1)); fi
}
# The help and the licence name what the .zip holds, and /? gives the help.
help=$("$linux" --help | sed -e 's|^  -h, --help  |  -h, --help, /?  |' -e 's|^  --version   |  --version       |' \
  -e "s|see the README's section|see README.txt, section|" -e 's|^"Reporting a problem" and `man table5`\.|"Reporting a problem".|')
win_case "help names README.txt" ":" 0 "$help" "true" --help
win_case "/? gives the help" ":" 0 "$help" "true" '/?'
win_case "version names LICENSE.txt" ":" 0 "$("$linux" --version | sed 's|see LICENSE\.|see LICENSE.txt.|')" "true" --version
old_reports="test \"\$(cat clubx.txt clubs.txt)\" = \"\$(printf 'old\\nold')\""
win_case "a report name Windows keeps for a device" "cp '$data/worked.pgn' au.pgn" 1 \
  "aux.txt: reserved device name" "test ! -e aux.txt && test \$(ls | wc -l) = 1" au.pgn
# A program holding the standings open without delete sharing, as a
# spreadsheet does: both old reports stay.
cat >"$work/hold.c" <<'C'
#include <stdlib.h>
#include <windows.h>
int main(int argc, char** argv) {  /* hold FILE MS [delete]: open FILE, say so in held.flag, wait */
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (argc > 3 ? FILE_SHARE_DELETE : 0);
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
  if (argc < 3 || file == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(CreateFileA("held.flag", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
  Sleep(atoi(argv[2]));
  return 0;
}
C
x86_64-w64-mingw32-gcc -O2 -o "$work/hold.exe" "$work/hold.c"
win_case "a standings file held open" \
  "cp '$data/worked.pgn' club.pgn && echo old >clubx.txt && echo old >clubs.txt &&
   { wine '$work/hold.exe' clubs.txt 6000 & } && for i in \$(seq 100); do [ -e held.flag ] && break; sleep 0.2; done" \
  1 "clubs.txt: cannot write" "$old_reports && test \$(ls | wc -l) = 4" club.pgn
# One that allows deletion passes the check, and then cannot be replaced:
# the cross table already renamed is put back. (The old standings' second
# name is deleted at once, but goes only when the holder closes the file.)
win_case "a standings file held open, deletion allowed" \
  "cp '$data/worked.pgn' club.pgn && echo old >clubx.txt && echo old >clubs.txt &&
   { wine '$work/hold.exe' clubs.txt 4000 delete & } && for i in \$(seq 100); do [ -e held.flag ] && break; sleep 0.2; done" \
  1 "clubs.txt: cannot write" \
  "$old_reports && for i in \$(seq 50); do [ \$(ls | wc -l) = 4 ] && break; sleep 0.2; done && test \$(ls | wc -l) = 4" club.pgn
# The command file of the .zip, which a game file is dropped on.
cp "$root/build/windows/table5-web.cmd" "$root/build/windows/table5.exe" "$work/" && mkdir -p "$work/drop" &&
  cp "$data/worked.pgn" "$work/drop/club.pgn"
(cd "$work" && timeout 60 wine cmd /c table5-web.cmd 'drop\club.pgn' </dev/null >/dev/null 2>&1)
if [ -f "$work/drop/clubx.txt" ] && [ -f "$work/drop/club.html" ] && [ -f "$work/drop/club.json" ]; then
  echo "ok   a game file given to table5-web.cmd"; passed=$((passed + 1))
else
  echo "FAIL table5-web.cmd: $(ls "$work/drop")"; failed=$((failed + 1))
fi
rm -rf "$work/drop" "$work/table5-web.cmd" "$work/table5.exe"

# In a console of its own (started from Explorer; here a terminal) a run
# says where the reports are or what to do, and asks for a key before the
# window closes; from a Command Prompt it says nothing more. The terminal
# draws the text with cursor moves: kept are its letters.
in_own_console() {
  (cd "$work" && (sleep 2; printf x) | timeout 60 script -qc "wine '$windows' $*" /dev/null |
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d ' \r\n')
}
cp "$data/worked.pgn" "$work/club.pgn"
failed_own=$(in_own_console missing.pgn) done_own=$(in_own_console club.pgn) none_own=$(in_own_console)
shared=$(cd "$work" && timeout 60 wine cmd /c "$windows" missing.pgn </dev/null 2>&1 | tr -d '\r')
shared_done=$(cd "$work" && timeout 60 wine cmd /c "$windows" club.pgn </dev/null 2>&1)
key=Pressakeytoclosethiswindow.
if [[ $failed_own == *missing.pgn:notfound$key* && $shared == "missing.pgn: not found" &&
      $done_own == *Crosstable:clubx.txtStandings:clubs.txt$key* && -z $shared_done &&
      $none_own == *"usage:table5[--html][--json]GAMEFILETomakethereportsofatournament,dropitsgamefileontable5.exe.$key"* ]]; then
  echo "ok   a console of its own: where the reports are, what to do, a key"; passed=$((passed + 1))
else
  echo "FAIL own console: [$failed_own] [$done_own] [$none_own], Command Prompt [$shared] [$shared_done]"
  failed=$((failed + 1))
fi
rm -f "$work"/club*
for f in "$data"/*.pgn "$root"/../shared/data/*.pgn; do
  [ -f "$f" ] && case_ "$(basename "$f")" "cp '$f' game.pgn" game.pgn
done

# Concurrent runs that share their reports (a.pgn and a.b.pgn both write
# ax.txt and as.txt): every run succeeds, and the two reports always come
# from the same run.
mkdir -p "$work/conc" && cd "$work/conc" || exit 1
printf '[White "A1"]\n[Black "A2"]\n[Result "1-0"]\n' >a.pgn
printf '[White "B1"]\n[Black "B2"]\n[Result "0-1"]\n' >a.b.pgn
why=""
for round in $(seq 8); do
  pids=()
  for i in 1 2 3; do
    wine "$windows" a.pgn </dev/null >"$work/run$i.a.log" 2>&1 & pids+=($!)
    wine "$windows" a.b.pgn </dev/null >"$work/run$i.b.log" 2>&1 & pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || why="a run failed in round $round"; done
  [ -z "$why" ] || why="$why: $(cat "$work"/run*.log | tr -d '\r' | sort -u | tr '\n' ' ')"
  rm -f "$work"/run*.log
  from_x=$(grep -q A1 ax.txt && echo a || echo b) from_s=$(grep -q A1 as.txt && echo a || echo b)
  [ "$from_x" = "$from_s" ] || why="mixed reports in round $round"
done
[ "$(ls | wc -l)" = 4 ] || why="files left: $(ls)"
if [ -z "$why" ]; then
  echo "ok   concurrent runs"; passed=$((passed + 1))
else
  echo "FAIL concurrent runs: $why"; failed=$((failed + 1))
fi

# The in-process tests, the loops that fail every call and every allocation
# in turn among them, on the Windows side of the system.
cd "$root/build/windows-tests" || exit 1
if wine tests/table5_tests.exe --gtest_brief=1 >"$work/tests.out" 2>&1; then
  grep -E '^[a-z].*(calls|allocations|runs failed)' "$work/tests.out" | sed 's/^/     /'
  echo "ok   the in-process tests: $(grep -o '[0-9]* tests from' "$work/tests.out" | head -1) their suites"
  passed=$((passed + 1))
else
  tr -d '\r' <"$work/tests.out" | tail -40
  echo "FAIL the in-process tests"; failed=$((failed + 1))
fi

echo "windows: $passed passed, $failed failed"
[ "$failed" = 0 ]
