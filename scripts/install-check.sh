#!/usr/bin/env bash
# usage: scripts/install-check.sh BUILD_DIR PREFIX
#
# Installs BUILD_DIR with `cmake --install --prefix PREFIX` into a temporary
# DESTDIR and checks that the result would run as a service: every file the
# units and the entitlement entries name is in the tree, the units sit where
# systemd looks for them, and `systemd-analyze verify` accepts them there.
# Exits 0 when all holds, 1 with one line per problem otherwise.
set -euo pipefail

if (($# != 2)); then
  echo "usage: $0 BUILD_DIR PREFIX" >&2
  exit 2
fi
build=$1
prefix=$2
for tool in cmake systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "install-check: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/nimbrad-install-check-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
if ! DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  echo "install-check: cmake --install failed" >&2
  exit 1
fi

problems=0
problem() {
  echo "install-check ($prefix): $*" >&2
  problems=$((problems + 1))
}

# Values of KEY= in a unit file, one word per line.
unit_values() {  # file key
  sed -n "s/^$2=//p" "$1" | tr ' ' '\n' | sed '/^$/d'
}

# The installed units: in one folder that systemd searches.
mapfile -t services < <(cd "$root" && find . -name nimbrad.service -type f | sed 's|^\.||')
if ((${#services[@]} != 1)); then
  problem "expected one nimbrad.service in the tree, found ${#services[@]}"
  exit 1
fi
unitdir=$(dirname "${services[0]}")
if ! systemd-analyze unit-paths | grep -qx "$unitdir"; then
  problem "units installed in $unitdir, which systemd does not search"
fi
service=$root$unitdir/nimbrad.service

# Executables named by the units.
for file in "$root$unitdir"/nimbrad*; do
  while read -r command; do
    path=${command#[-@:+!]}
    path=${path#[-@:+!]}
    [ -x "$root$path" ] && [ -f "$root$path" ] || problem "$(basename "$file") runs $path, which the tree lacks"
  done < <(sed -n 's/^Exec[A-Za-z]*=\([^ ]*\).*/\1/p' "$file")
done

# Units named by the units: every nimbrad unit they refer to is installed.
for file in "$root$unitdir"/nimbrad*; do
  for key in Requires Wants After Before Sockets Also Service PartOf; do
    while read -r name; do
      case $name in
        nimbrad*) [ -f "$root$unitdir/$name" ] || problem "$(basename "$file") names $name ($key=), which is not installed" ;;
      esac
    done < <(unit_values "$file" "$key")
  done
done

# Each socket listens in the service's runtime directory, named after the
# service, since that is where the daemon binds it when started by hand.
runtime=/run/$(unit_values "$service" RuntimeDirectory | head -n1)
mapfile -t listed < <(unit_values "$service" Sockets)
for name in "${listed[@]}"; do
  socket=$root$unitdir/$name
  [ -f "$socket" ] || continue
  listen=$(unit_values "$socket" ListenStream)
  fdname=$(unit_values "$socket" FileDescriptorName)
  [ "$listen" = "$runtime/$fdname" ] || problem "$name listens on $listen, not $runtime/$fdname"
  [ "$(unit_values "$socket" Service)" = nimbrad.service ] || problem "$name does not name Service=nimbrad.service"
done
mapfile -t installed < <(cd "$root$unitdir" && ls nimbrad*.socket)
if [ "$(printf '%s\n' "${installed[@]}" | sort)" != "$(printf '%s\n' "${listed[@]}" | sort)" ]; then
  problem "the socket units installed and those in Sockets= differ"
fi

# The daemon's files next to its executable.
daemon=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$service")
resources=$(dirname "$daemon")/../share/nimbra/Resources
for file in sandbox/com.corvane.nimbrad.plist assets_LANTERN_MOSS_PUMPKIN/PUMPKIN.plist CuratedDisplayNames.plist; do
  [ -f "$root$resources/$file" ] || problem "the daemon's resource $resources/$file is missing"
done

# Entitlement entries: where systemd points CONFIGURATION_DIRECTORY, naming
# installed executables, and nimbractl's entry only for root.
config=/etc/$(unit_values "$service" ConfigurationDirectory | head -n1)
ctl=$root$(dirname "$daemon")/nimbractl
read_entry() {  # name key: the key's value as nimbractl prints it
  CONFIGURATION_DIRECTORY=$root$config/entitlements.d "$ctl" defaults read "$@"
}
entries=("$root$config"/entitlements.d/*.plist)
[ -f "${entries[0]}" ] || problem "no entitlement entry in $config/entitlements.d"
for entry in "${entries[@]}"; do
  [ -f "$entry" ] || continue
  name=$(basename "$entry" .plist)
  if ! executable=$(read_entry "$name" Executable); then
    problem "$config/entitlements.d/$name.plist names no Executable"
    continue
  fi
  [ -x "$root$executable" ] && [ -f "$root$executable" ] || problem "$name.plist entitles $executable, which the tree lacks"
  if [ "$executable" = "$(dirname "$daemon")/nimbractl" ]; then
    users=$(read_entry "$name" Users | grep -o '<integer>[0-9]*</integer>' | tr -d -c '0-9\n')
    [ "$users" = 0 ] || problem "nimbractl's entry must hold \"Users\": [0], holds: ${users:-nothing}"
  fi
done

# systemd-analyze verify in the tree: systemd's own units (the targets every
# service depends on) are added beside ours, never over them.
mkdir -p "$root/usr/lib/systemd/system"
for dir in /lib/systemd/system /usr/lib/systemd/system; do
  [ -d "$dir" ] || continue
  (cd "$dir" && find . -maxdepth 1 ! -name 'nimbrad*' ! -name . -exec cp -an {} "$root/usr/lib/systemd/system/" \;)
done
units=(nimbrad.service "${listed[@]}")
if ! (cd "$root$unitdir" && systemd-analyze verify --root="$root" "${units[@]}") >"$work/verify.log" 2>&1; then
  cat "$work/verify.log" >&2
  problem "systemd-analyze verify failed"
fi
# Exposure must stay "OK" or better (below 5.0).
if ! systemd-analyze security --offline=yes --root="$root" --threshold=49 nimbrad.service >"$work/security.log" 2>&1; then
  problem "systemd-analyze security: $(grep -o 'Overall exposure.*' "$work/security.log" || tail -n1 "$work/security.log")"
fi

if ((problems)); then
  exit 1
fi
echo "install-check ($prefix): units in $unitdir, entries in $config/entitlements.d, binaries in $(dirname "$daemon");" \
  "verify passed; $(grep -o 'Overall exposure level for nimbrad.service: [0-9.]* [A-Z]*' "$work/security.log")"
