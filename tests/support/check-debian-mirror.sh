#!/usr/bin/env bash
# tools/debian-mirror finds the Debian mirror in the machine's apt sources, in
# both formats, past other vendors' and security sources, and falls back to
# deb.debian.org when none is named.
set -euo pipefail
mirror="$1/tools/debian-mirror"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

expect() {
  local name=$1 want=$2 got
  got=$(bash "$mirror" "$scratch/$name")
  if [ "$got" != "$want" ]; then
    echo "$name: got '$got', expected '$want'"
    failures=$((failures + 1))
  fi
}
machine() {
  mkdir -p "$scratch/$1/apt/sources.list.d"
  echo "VERSION_CODENAME=bookworm" > "$scratch/$1/os-release"
}

machine one-line
cat > "$scratch/one-line/apt/sources.list" <<'LIST'
# deb http://commented.example/debian bookworm main
deb cdrom:[Debian GNU/Linux 12]/ bookworm main
deb https://packages.cloud.google.com/apt cloud-sdk-bookworm main
deb http://security.debian.org/debian-security bookworm-security main
deb [arch=amd64 signed-by=/usr/share/keyrings/debian.gpg] http://ftp.fr.debian.org/debian/ bookworm main
LIST
expect one-line http://ftp.fr.debian.org/debian

machine deb822
cat > "$scratch/deb822/apt/sources.list.d/debian.sources" <<'SOURCES'
Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main

Types: deb
URIs: http://disabled.example/debian
Suites: bookworm
Enabled: no

# the machine's own mirror
types: deb-src deb
uris: http://mirror.example.org/debian
suites: bookworm-updates bookworm
components: main
SOURCES
expect deb822 http://mirror.example.org/debian

machine nothing
expect nothing http://deb.debian.org/debian

exit $((failures > 0))
