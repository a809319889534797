#!/usr/bin/env bash
# `make bench` runs every benchmark program of the build and nothing else: the
# build also leaves bench_*_autogen folders beside the programs. Runs the
# Makefile's own recipe over a fake build folder (`-o build` skips building).
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

mkdir -p "$scratch/bench/bench_one_autogen" "$scratch/bench/bench_two_autogen"
for name in one two; do
  printf '#!/bin/sh\necho %s >> "%s/ran"\n' "$name" "$scratch" > "$scratch/bench/bench_$name"
  chmod +x "$scratch/bench/bench_$name"
done
echo "not a program" > "$scratch/bench/bench_notes.txt"

make -s -C "$source_dir" -o build bench BUILD_DIR="$scratch" > "$scratch/out" 2>&1 ||
  { cat "$scratch/out"; echo "make bench failed"; exit 1; }
ran=$(tr '\n' ' ' < "$scratch/ran")
[ "$ran" = "one two " ] || { cat "$scratch/out"; echo "make bench ran: '$ran', expected both programs"; exit 1; }
