#!/usr/bin/env bash
# The home check runs again as `ctest --repeat` runs it: each step twice still
# passes over an untouched home, a change made meanwhile still fails, and the
# snapshot of a ctest process that has ended is removed by the next snapshot.
set -euo pipefail
script="$(dirname "$0")/check-home.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" TMPDIR="$scratch/tmp"
mkdir -p "$HOME" "$TMPDIR"
gone="$TMPDIR/parlowvista-home-$(id -u)-999999999.txt"
touch "$gone"

bash "$script" snapshot
bash "$script" snapshot
[ ! -e "$gone" ] || { echo "the snapshot of an ended run was left"; exit 1; }
bash "$script" compare || { echo "the first compare failed"; exit 1; }
bash "$script" compare || { echo "a repeated compare failed"; exit 1; }
touch "$HOME/left-behind"
if bash "$script" compare > /dev/null; then
  echo "a file left in the home folder went unnoticed"
  exit 1
fi

# What a run keeps meanwhile only its owner may read, and once its ctest process has ended
# nothing of it is left in the temporary folder.
export TMPDIR="$scratch/run"
mkdir -p "$TMPDIR"
bash -c 'bash "$1" snapshot && stat -c %a "$TMPDIR"/parlowvista-home-* > "$2" && bash "$1" compare; true' \
  ctest "$script" "$scratch/mode"
[ "$(cat "$scratch/mode")" = 600 ] || { echo "the snapshot may be read by others: $(cat "$scratch/mode")"; exit 1; }
for _ in $(seq 50); do
  [ -z "$(ls -A "$TMPDIR")" ] && exit 0
  sleep 0.1
done
echo "left in the temporary folder after the run: $(ls -A "$TMPDIR")"
exit 1
