#!/usr/bin/env bash
# The test suite leaves the user's home folders as it found them: run with
# "snapshot" before every test and "compare" after the last (a CTest fixture).
# Lists the home folder itself and, three levels deep, the documents, cache,
# data and configuration folders; the files of this application (names with
# Parlowvista or Voxtrellis) with their sizes and times. Only names are
# compared elsewhere, so that other programs writing their own files while the
# tests run do not count; the compiler cache (written by builds) is left out.
#
# Either step may run more than once (`ctest --repeat` repeats fixtures too):
# the snapshot stays while the ctest process that took it runs and goes when it
# ends. What it lists of the home folder is the user's own: only they may read
# it.
set -euo pipefail
umask 077
mode=$1
# Both fixture steps are children of the same ctest process.
prefix="${TMPDIR:-/tmp}/parlowvista-home-$(id -u)-"
snapshot="$prefix$PPID.txt"

listing() {
  local documents="$HOME/Documents"
  if [ -f "$HOME/.config/user-dirs.dirs" ]; then
    local named
    named=$(sed -n 's/^XDG_DOCUMENTS_DIR="\(.*\)"$/\1/p' "$HOME/.config/user-dirs.dirs")
    [ -n "$named" ] && documents=${named//\$HOME/$HOME}
  fi
  find "$HOME" -mindepth 1 -maxdepth 1 -printf '%p\n' 2>/dev/null || true
  local folder
  for folder in "$documents" "$HOME/.cache" "$HOME/.local/share" "$HOME/.config"; do
    [ -d "$folder" ] || continue
    find "$folder" -mindepth 1 -maxdepth 3 -path "$HOME/.cache/ccache" -prune -o \
      \( -type f \( -ipath '*parlowvista*' -o -ipath '*voxtrellis*' \) -printf '%p %s %T@\n' \) -o \
      -printf '%p\n' 2>/dev/null || true
  done
}

case "$mode" in
  snapshot)
    for old in "$prefix"*.txt; do
      pid=${old#"$prefix"}
      pid=${pid%.txt}
      [[ $pid =~ ^[0-9]+$ ]] && ! kill -0 "$pid" 2>/dev/null && rm -f "$old" "$old.after"
    done
    listing | LC_ALL=C sort -u > "$snapshot"
    # Removed once ctest has ended, by a watcher of its own that holds none of ctest's
    # output open (ctest would wait for it).
    setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 0.2; done; rm -f "$2" "$2.after"' \
      watch-ctest "$PPID" "$snapshot" < /dev/null > /dev/null 2>&1 &
    ;;
  compare)
    [ -f "$snapshot" ] || { echo "no snapshot of the home folder was taken"; exit 1; }
    listing | LC_ALL=C sort -u > "$snapshot.after"
    changes=$(diff "$snapshot" "$snapshot.after" | grep '^[<>]' || true)
    rm -f "$snapshot.after"
    if [ -n "$changes" ]; then
      echo "The tests changed the user's home folder ($HOME); '<' was there before, '>' is there now:"
      echo "$changes"
      exit 1
    fi
    ;;
  *)
    echo "usage: check-home.sh snapshot|compare" >&2
    exit 2
    ;;
esac
