#!/usr/bin/env bash
# tools/install-deps on the way without sudo. Usage: check-install-deps-sudo.sh SOURCE_DIR CASE
#   refused: when packages are missing and sudo refuses the account, it says so and how to go
#     on, instead of reporting a failed apt-get. Runs it as a made-up user (id, dpkg-query and
#     sudo are stand-ins): nothing is installed.
#   owner: run as root for another account's checkout (su -c), it hands the checkout's .deps
#     to that account. Runs a copy of the script in a scratch checkout owned by "nobody" whose
#     ONNX Runtime is in place; dpkg-query, locale and pkg-config are stand-ins, so nothing is
#     installed or fetched. Needs root: skipped (77) otherwise.
set -euo pipefail
source_dir=$1
case_name=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"

if [ "$case_name" = refused ]; then
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
  exit 0
fi

[ "$case_name" = owner ] || { echo "unknown case: $case_name" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: handing .deps to another account needs root"
  exit 77
fi
printf '#!/bin/sh\necho "install ok installed"\n' > "$scratch/bin/dpkg-query"
printf '#!/bin/sh\necho de_DE.utf8\n' > "$scratch/bin/locale"
printf '#!/bin/sh\nexit 1\n' > "$scratch/bin/pkg-config"
chmod +x "$scratch/bin"/*
checkout="$scratch/checkout"
mkdir -p "$checkout/tools" "$checkout/.deps/onnxruntime/lib"
cp "$source_dir/tools/install-deps" "$checkout/tools/"
touch "$checkout/.deps/onnxruntime/.complete-1.21.0" "$checkout/.deps/onnxruntime/lib/libonnxruntime.so"
chown nobody "$checkout" "$checkout/tools"
status=0
PATH="$scratch/bin:$PATH" bash "$checkout/tools/install-deps" > "$scratch/out" 2>&1 || status=$?
left=$(find "$checkout/.deps" ! -user nobody)
if [ $status -ne 0 ] || [ -n "$left" ]; then
  cat "$scratch/out"
  echo "install-deps (exit $status) left these in the checkout of nobody to root:"
  echo "$left"
  exit 1
fi
