#!/usr/bin/env bash
# Checks Tarnix as it is installed: `cmake --install` into a scratch root,
# the installed programs run from / with an empty home (so they can only
# find their shipped files beside themselves), manual pages that list what
# --help lists, one version everywhere, and the desktop, AppStream and
# systemd files through their own validators where those are installed.
#   package_check.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1
bin=$2
work=$(mktemp -d /tmp/tarnix-pkgcheck-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
skip() { echo "skipped: $*"; }

root="$work/root"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$bin/CMakeCache.txt")
DESTDIR="$root" cmake --install "$bin" >"$work/install.log" || {
  cat "$work/install.log" >&2
  exit 1
}
inst="$root$prefix"
for f in bin/tarnix-cli bin/tarnix-pdl share/tarnix/protocol.pdl share/tarnix/cfdump.bin \
  share/tarnix/help/index.html share/man/man8/tarnix-cli.8 share/man/man1/tarnix-pdl.1 \
  lib/systemd/system/tarnix-sensor@.service; do
  [ -e "$inst/$f" ] || fail "cmake --install did not put $prefix/$f in place"
done
[ -n "$(find "$root" -path '*/etc/default/tarnix-sensor')" ] || fail "no etc/default/tarnix-sensor installed"
if [ -e "$inst/bin/tarnix" ]; then
  for f in share/tarnix/font.bin share/man/man1/tarnix.1 share/applications/org.halvard.Tarnix.desktop \
    share/metainfo/org.halvard.Tarnix.metainfo.xml share/icons/hicolor/scalable/apps/tarnix.svg \
    share/icons/hicolor/48x48/apps/tarnix.png; do
    [ -e "$inst/$f" ] || fail "cmake --install did not put $prefix/$f in place"
  done
fi

# A capture of one UDP frame between two hosts.
python3 - "$work/one.pcap" <<'PY'
import struct, sys
ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 28, 1, 0, 64, 17, 0, bytes([10, 9, 0, 1]), bytes([10, 9, 0, 2]))
udp = struct.pack("!HHHH", 4000, 5000, 8, 0)
frame = bytes.fromhex("020000000902" "020000000901") + b"\x08\x00" + ip + udp
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    f.write(struct.pack("<IIII", 1000000000, 0, len(frame), len(frame)) + frame)
PY

# Run from / with an empty home, and a decoy protocol file in the current
# folder of a second run: neither may be where the program reads from.
mkdir -p "$work/home" "$work/decoy"
printf 'this is not a protocol file\n' >"$work/decoy/protocol.pdl"
run_installed() { (cd "$1" && env -i PATH=/usr/bin:/bin HOME="$work/home" "$inst/bin/tarnix-cli" "${@:2}"); }
for here in / "$work/decoy"; do
  if out=$(run_installed "$here" --read "$work/one.pcap" --json --no-resolve 2>"$work/err"); then
    grep -q '"10.9.0.1"' <<<"$out" || fail "installed tarnix-cli run from $here: host 10.9.0.1 missing: $out"
  else
    fail "installed tarnix-cli run from $here failed: $(cat "$work/err")"
  fi
done
# Moved elsewhere with its share folder, it follows itself.
mv "$root$prefix" "$root/moved"
(cd / && env -i PATH=/usr/bin:/bin HOME="$work/home" "$root/moved/bin/tarnix-cli" --read "$work/one.pcap" \
  --no-resolve >/dev/null 2>"$work/err") || fail "a moved installation lost its shipped files: $(cat "$work/err")"
mv "$root/moved" "$root$prefix"
"$inst/bin/tarnix-pdl" --quiet "$inst/share/tarnix/protocol.pdl" || fail "tarnix-pdl rejects the installed protocol file"

# One version: the project's, printed by every program, in the Debian
# changelog and in the AppStream releases.
version=$(sed -n 's/^project(Tarnix VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
for prog in tarnix-cli tarnix-pdl tarnix; do
  [ -x "$inst/bin/$prog" ] || continue
  got=$(QT_QPA_PLATFORM=offscreen "$inst/bin/$prog" --version)
  [ "$got" = "$prog $version" ] || fail "$prog --version says '$got', the project is $version"
done
changelog=$(sed -n '1s/^tarnix (\([^)]*\)).*/\1/p' "$src/debian/changelog")
[ "$changelog" = "$version" ] || fail "debian/changelog's newest entry is $changelog, the project is $version"
grep -q "<release version=\"$version\"" "$src/packaging/org.halvard.Tarnix.metainfo.xml" ||
  fail "the metainfo has no release $version"

# Every option --help lists is an entry of the manual page, and the page
# has no entry that --help lacks.
help_options() { grep -E '^ +(-[A-Za-z], +)?--[a-z]' | sed -E 's/^ +//; s/  .*//' | grep -o -- '--[a-z][a-z-]*' | sort -u; }
page_options() {
  awk '/^\.TP/ { getline; print }' | sed 's/\\-/-/g; s/\\f[BIRP]//g; s/\\f\[[A-Z]*\]//g' |
    grep -E '^(-[A-Za-z], +)?--[a-z]' | grep -o -- '--[a-z][a-z-]*' | sort -u
}
for page in man8/tarnix-cli.8 man1/tarnix-pdl.1 man1/tarnix.1; do
  prog=$(basename "${page%.*}")
  [ -x "$inst/bin/$prog" ] || continue
  help=$(QT_QPA_PLATFORM=offscreen "$inst/bin/$prog" --help | help_options)
  man=$(page_options <"$inst/share/man/$page")
  [ -n "$help" ] && [ "$help" = "$man" ] ||
    fail "$prog: --help and $page list different options: $(diff <(echo "$help") <(echo "$man") | grep '^[<>]' | tr '\n' ' ')"
done

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$src/packaging/org.halvard.Tarnix.desktop" || fail "desktop-file-validate"
else skip "desktop-file-validate (desktop-file-utils)"; fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net --explain "$src/packaging/org.halvard.Tarnix.metainfo.xml" || fail "appstreamcli validate"
else skip "appstreamcli validate (appstream)"; fi
unit="$inst/lib/systemd/system/tarnix-sensor@.service"
if command -v systemd-analyze >/dev/null; then
  # The unit names the installed program: verify it where it is installed.
  sed "s|$prefix/bin/tarnix-cli|$inst/bin/tarnix-cli|" "$unit" >"$work/tarnix-sensor@.service"
  SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$work/tarnix-sensor@.service" ||
    fail "systemd-analyze verify"
  exposure=$(systemd-analyze security --offline=true --no-pager "$work/tarnix-sensor@.service" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p')
  echo "systemd-analyze security: $exposure"
  case "${exposure#* }" in
  SAFE | OK) ;;
  *) fail "systemd-analyze security rates the sensor service '$exposure', not OK or better" ;;
  esac
else skip "systemd-analyze (systemd)"; fi

[ "$failures" -eq 0 ] || {
  echo "$failures package checks failed" >&2
  exit 1
}
echo "package checks passed"
