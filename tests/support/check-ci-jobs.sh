#!/usr/bin/env bash
# .ci/run honours JOBS in both of its passes: `make test` and the second run of the suite as an
# unprivileged account. Runs a copy of .ci/run whose tools (install-deps, test-as-user, make,
# git, id) are stand-ins that record how they were called: nothing is built or run.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
checkout="$scratch/checkout"
mkdir -p "$checkout/.ci" "$checkout/tools" "$scratch/bin"
cp "$source_dir/.ci/run" "$checkout/.ci/run"
printf '#!/bin/sh\nexit 0\n' > "$checkout/tools/install-deps"
printf '#!/bin/sh\necho "test-as-user $*" >> "%s/calls"\n' "$scratch" > "$checkout/tools/test-as-user"
printf '#!/bin/sh\necho "make $* JOBS=$JOBS" >> "%s/calls"\n' "$scratch" > "$scratch/bin/make"
printf '#!/bin/sh\nexit 0\n' > "$scratch/bin/git"
printf '#!/bin/sh\n[ "$1" = -u ] && { echo 0; exit 0; }\nexec /usr/bin/id "$@"\n' > "$scratch/bin/id"
chmod +x "$checkout/tools"/* "$scratch/bin"/*

JOBS=2 PATH="$scratch/bin:$PATH" bash "$checkout/.ci/run" > "$scratch/out" 2>&1 ||
  { cat "$scratch/out"; echo ".ci/run failed"; exit 1; }
grep -qx "make test PRESET=ci JOBS=2" "$scratch/calls" &&
  grep -q "^test-as-user build/ci -j 2 " "$scratch/calls" ||
  { cat "$scratch/calls"; echo ".ci/run did not pass JOBS=2 to both passes"; exit 1; }
