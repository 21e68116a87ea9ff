#!/usr/bin/env bash
# Builds nimbrad and runs its main job in a temporary setup: the daemon starts
# as the child of process 1 of a new PID namespace (as under systemd), receives
# a few launch events from nimbractl (one of them invalid), answers each, and
# stops on SIGTERM after saving its store. Prints the replies and the log.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target nimbrad nimbractl

demo=$(mktemp -d /tmp/nimbrad-demo-XXXXXX)
trap 'rm -rf "$demo"' EXIT
mkdir -p "$demo"/{config/entitlements.d,state,runtime,cache}

cat >"$demo/config/com.corvane.nimbrad.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>logLevel</key><string>info</string></dict></plist>
PLIST

entitlements=""
for e in com.corvane.private.nimbra.velmora com.corvane.private.nimbra.database \
         com.corvane.private.nimbra.processreporter.access com.corvane.private.nimbra.daemon.unsupported-apps \
         com.corvane.private.nimbra.deprecationwarning com.corvane.private.nimbra.unsupportedapplicationlist; do
  entitlements+="<key>$e</key><true/>"
done
cat >"$demo/config/entitlements.d/nimbractl.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>Executable</key><string>$root/build/nimbractl</string>
<key>Entitlements</key><dict>$entitlements</dict>
</dict></plist>
PLIST

# An invalid event: the UID is not a number.
cat >"$demo/invalid-event.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>ProcessName</key><string>Broken</string><key>UID</key><string>5o1</string>
</dict></plist>
PLIST

cat >"$demo/inside.sh" <<'INNER'
#!/usr/bin/env bash
# Process 1 of the namespace: starts the daemon and plays the sender's part.
set -u
ctl() { "$ROOT/build/nimbractl" "$@"; }
"$ROOT/build/nimbrad" 2>"$DEMO/nimbrad.log" &
daemon=$!
for _ in $(seq 100); do
  [ -S "$RUNTIME_DIRECTORY/com.corvane.nimbra.velmora" ] && grep -q "Registered signal handlers" "$DEMO/nimbrad.log" && break
  sleep 0.1
done

echo "--- launch event: an application"
ctl event send --process-path /Applications/Sample.app/Contents/MacOS/Sample \
  --process-bundle-identifier com.example.sample --uid 501
echo "--- launch event: a helper of that application"
ctl event send --process-path /Applications/Sample.app/Contents/Helpers/Updater \
  --responsible-path /Applications/Sample.app/Contents/MacOS/Sample --uid 501
echo "--- launch event: invalid (UID \"5o1\", keys missing)"
ctl event send --raw --file "$DEMO/invalid-event.plist" || echo "(refused, exit status $?)"

echo "--- SIGTERM"
kill -TERM "$daemon"
wait "$daemon"
echo "nimbrad exited with status $?"
INNER
chmod +x "$demo/inside.sh"

ns=(unshare --pid --mount-proc --fork --kill-child)
[ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --pid --mount-proc --fork --kill-child)

env ROOT="$root" DEMO="$demo" CONFIGURATION_DIRECTORY="$demo/config" STATE_DIRECTORY="$demo/state" \
  RUNTIME_DIRECTORY="$demo/runtime" CACHE_DIRECTORY="$demo/cache" "${ns[@]}" "$demo/inside.sh"

echo "--- the daemon's log"
cat "$demo/nimbrad.log"
echo "--- the saved store"
ls -l "$demo/state/group.com.corvane.nimbrad/"
