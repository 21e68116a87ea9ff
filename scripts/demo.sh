#!/usr/bin/env bash
# Shows nimbrad's job in a temporary folder: builds the daemon and nimbractl,
# makes four application bundles, starts the daemon as the child of process 1
# of a new PID namespace (as under systemd), sends a launch event for each
# application and one invalid event, stops the daemon with SIGTERM and prints
# what it recorded, read from the store it saved.
#
#   KEEP=1 scripts/demo.sh   keeps the folder (bundles, log, store) and prints its path
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

step() { printf '\n== %s\n' "$*"; }

demo=$(mktemp -d /tmp/nimbrad-demo-XXXXXX)
cleanup() {
  if [ "${KEEP:-0}" = 1 ]; then
    printf '\nKept the demonstration folder: %s\n' "$demo"
  else
    rm -rf "$demo"
  fi
}
trap cleanup EXIT

# --- Build ------------------------------------------------------------------

step "Building nimbrad and nimbractl in build/"
./scripts/setup.sh
# Compiler cache entries are shared between checkouts of the tree.
export CCACHE_BASEDIR="$root"
if ! cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >"$demo/build.log" 2>&1; then
  cat "$demo/build.log"
  exit 1
fi
# Ninja's "[n/N] ..." lines become one progress line; the full output is
# shown only when the build fails.
progress() {
  local line done=""
  while IFS= read -r line; do
    if [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] && ((BASH_REMATCH[1] > 0)); then
      done="${BASH_REMATCH[1]} of ${BASH_REMATCH[2]}"
      [ -t 1 ] && printf '\r   %s build steps' "$done"
    fi
  done
  [ -t 1 ] && printf '\r\033[K'
  if [ -n "$done" ]; then echo "   built ($done steps)"; else echo "   up to date"; fi
}
if ! cmake --build build -j "$(nproc)" --target nimbrad nimbractl 2>&1 | tee -a "$demo/build.log" | progress; then
  cat "$demo/build.log"
  exit 1
fi

# --- The setup systemd would give the daemon ----------------------------------

chmod 755 "$demo"  # the launching user must be able to read the bundles
mkdir -p "$demo"/{config/entitlements.d,state,runtime,cache,Applications}
cat >"$demo/config/com.corvane.nimbrad.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>logLevel</key><string>debug</string></dict></plist>
PLIST

# nimbractl's entry, as installed: every service, for root only.
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
<key>Users</key><array><integer>0</integer></array>
</dict></plist>
PLIST

# --- Application bundles ------------------------------------------------------
# Executables are written byte by byte: a Mach-O header is all the daemon
# reads to learn an executable's architectures.

bytes32() {  # ORDER (le|be) VALUE...: each value as four bytes
  local order=$1 v
  shift
  for v in "$@"; do
    if [ "$order" = le ]; then
      printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))"
    else
      printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v >> 24 & 255)) $((v >> 16 & 255)) $((v >> 8 & 255)) $((v & 255)))"
    fi
  done
}
zeros() { head -c "$1" /dev/zero; }
X86_64=0x1000007
ARM64=0x100000c

thin_macho() {  # CPUTYPE SUBTYPE: a 64-bit executable header, no load commands (96 bytes)
  bytes32 le 0xfeedfacf "$1" "$2" 2 0 0 0 0
  zeros 64
}

universal_macho() {  # x86_64 and arm64 slices at 256 and 512
  bytes32 be 0xcafebabe 2
  bytes32 be "$X86_64" 3 256 96 8
  bytes32 be "$ARM64" 0 512 96 8
  zeros $((256 - 48))
  thin_macho "$X86_64" 3
  zeros $((256 - 96))
  thin_macho "$ARM64" 0
}

make_app() {  # NAME BUNDLE_ID VERSION KIND (x86_64|universal|arm64): prints the executable's path
  local app=$demo/Applications/$1.app
  mkdir -p "$app/Contents/MacOS"
  cat >"$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>$2</string>
<key>CFBundleName</key><string>$1</string>
<key>CFBundleExecutable</key><string>$1</string>
<key>CFBundleShortVersionString</key><string>$3</string>
<key>CFBundlePackageType</key><string>APPL</string>
</dict></plist>
PLIST
  case $4 in
    x86_64) thin_macho "$X86_64" 3 ;;
    arm64) thin_macho "$ARM64" 0 ;;
    universal) universal_macho ;;
  esac >"$app/Contents/MacOS/$1"
  chmod 755 "$app/Contents/MacOS/$1"
  echo "$app/Contents/MacOS/$1"
}

step "Application bundles in $demo/Applications"
tessellate=$(make_app Tessellate com.example.tessellate 2.4 x86_64)
duet=$(make_app Duet com.example.duet 1.0 universal)
nativa=$(make_app Nativa com.example.nativa 3.1 arm64)
# The shipped exclusion rules drop anything whose target is this bundle.
helper=$(make_app InstallerHelper org.example.compat.installer-helper 0.9 x86_64)
echo "   Tessellate.app       x86_64 only"
echo "   Duet.app             universal (x86_64 and arm64)"
echo "   Nativa.app           arm64 only"
echo "   InstallerHelper.app  x86_64, matched by the exclusion rule target_bundle_id = org.example.compat.installer-helper"

# An invalid event: the UID is not a number.
cat >"$demo/invalid-event.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>ProcessName</key><string>Broken</string><key>UID</key><string>5o1</string>
</dict></plist>
PLIST

# --- The daemon at work ---------------------------------------------------------

cat >"$demo/inside.sh" <<'INNER'
#!/usr/bin/env bash
# Process 1 of the namespace: starts the daemon and plays the sender's part.
set -u
ctl() { "$ROOT/build/nimbractl" "$@"; }
indent() { sed 's/^/   /'; }
"$ROOT/build/nimbrad" 2>"$DEMO/nimbrad.log" &
daemon=$!
for _ in $(seq 300); do
  grep -q "Registered signal handlers" "$DEMO/nimbrad.log" && break
  kill -0 "$daemon" 2>/dev/null || break
  sleep 0.1
done

send() {  # LABEL EXECUTABLE
  echo "-- $1"
  ctl event send --process-path "$2" --uid 501 2>&1 | indent
}
echo "Launch events from user 501, one per application (the reply is shown below each):"
send "Tessellate launched" "$TESSELLATE"
send "Duet launched" "$DUET"
send "Nativa launched" "$NATIVA"
send "InstallerHelper launched" "$HELPER"
send "Tessellate launched again" "$TESSELLATE"
echo "-- an invalid event (UID \"5o1\", most keys missing), sent as it is"
ctl event send --raw --file "$DEMO/invalid-event.plist" 2>&1 | indent
echo "   (exit status ${PIPESTATUS[0]}: refused, as it should be)"

echo "-- SIGTERM"
kill -TERM "$daemon"
wait "$daemon"
echo "   nimbrad saved its store and exited with status $?"
INNER
chmod +x "$demo/inside.sh"

ns=(unshare --pid --mount-proc --fork --kill-child)
[ "$(id -u)" -eq 0 ] || ns=(unshare --user --map-root-user --pid --mount-proc --fork --kill-child)

step "nimbrad running in a PID namespace, configuration in $demo/config"
env ROOT="$root" DEMO="$demo" TESSELLATE="$tessellate" DUET="$duet" NATIVA="$nativa" HELPER="$helper" \
  CONFIGURATION_DIRECTORY="$demo/config" STATE_DIRECTORY="$demo/state" RUNTIME_DIRECTORY="$demo/runtime" \
  CACHE_DIRECTORY="$demo/cache" "${ns[@]}" "$demo/inside.sh"

step "What the daemon decided (from its log, $demo/nimbrad.log)"
grep -E '<3>|<2>|Excluding|Matched exclusion rule|Keeping:' "$demo/nimbrad.log" | sed 's/^<[0-9]>/   /' || true
echo "   ($(grep -c '^<3>' "$demo/nimbrad.log" || true) error line(s); $(wc -l <"$demo/nimbrad.log") lines in all)"

step "What it recorded: the saved store, state/group.com.corvane.nimbrad/nimbra.db"
sqlite3 -readonly -header -column "$demo/state/group.com.corvane.nimbrad/nimbra.db" "
  SELECT process_uid AS uid, process_name AS process, process_bundle_id AS bundle_id,
         process_bundle_version AS version, number_of_times_launched AS launches,
         previously_launched_date_string AS last_launch, reason
  FROM velmora_process_list_table ORDER BY id;"
