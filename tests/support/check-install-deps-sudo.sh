#!/usr/bin/env bash
# When packages are missing and sudo refuses the account, tools/install-deps
# says so and how to go on, instead of reporting a failed apt-get. Runs it as
# a made-up user (id, dpkg-query and sudo are stand-ins): nothing is installed.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
cat > "$scratch/bin/id" <<'SH'
#!/bin/sh
case "$*" in -u) echo 1000 ;; -un) echo tester ;; *) exec /usr/bin/id "$@" ;; esac
SH
printf '#!/bin/sh\nexit 1\n' > "$scratch/bin/dpkg-query"
cat > "$scratch/bin/sudo" <<'SH'
#!/bin/sh
echo "Sorry, user tester may not run sudo on this machine." >&2
exit 1
SH
chmod +x "$scratch/bin"/*

status=0
PATH="$scratch/bin:$PATH" bash "$source_dir/tools/install-deps" > "$scratch/out" 2>&1 || status=$?
if [ $status -eq 0 ] || ! grep -q "sudo refused tester" "$scratch/out" || ! grep -q "as root" "$scratch/out" ||
   grep -q "apt-get" "$scratch/out"; then
  cat "$scratch/out"
  echo "install-deps (exit $status) did not say plainly that sudo refused"
  exit 1
fi
