#!/usr/bin/env bash
# `make run` without a session bus leaves nothing of D-Bus running once the app
# has quit. Runs the Makefile's own recipe (`-o build` skips building) on a
# stand-in for the app that, as the app's keychain does, has D-Bus start a bus
# when the session has none.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
cleanup() {
  [ -f "$scratch/pid" ] && kill "$(cat "$scratch/pid")" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

mkdir -p "$scratch/app"
cat > "$scratch/app/parlowvista" <<STANDIN
#!/bin/sh
if [ -z "\$DBUS_SESSION_BUS_ADDRESS" ]; then
  eval "\$(dbus-launch --sh-syntax)"
  echo "\$DBUS_SESSION_BUS_PID" > "$scratch/pid"
fi
echo "\$DBUS_SESSION_BUS_ADDRESS" > "$scratch/bus"
STANDIN
chmod +x "$scratch/app/parlowvista"

env -u DBUS_SESSION_BUS_ADDRESS make -s -C "$source_dir" -o build run BUILD_DIR="$scratch" > "$scratch/out" 2>&1 ||
  { cat "$scratch/out"; echo "make run failed"; exit 1; }
[ -s "$scratch/bus" ] || { cat "$scratch/out"; echo "the app did not run"; exit 1; }
if dbus-send --bus="$(cat "$scratch/bus")" --dest=org.freedesktop.DBus --print-reply / \
  org.freedesktop.DBus.Peer.Ping > /dev/null 2>&1; then
  echo "the session bus the run started is still there after the app quit"
  exit 1
fi
