#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the Debian package the way Debian would. From the build in $1 (already built; default
# build/plain) it makes the .deb and its debug symbols' .ddeb, then:
#   - prints both sizes; the .deb may weigh at most 10 MB;
#   - runs lintian: no error, and no warning that packaging/lintian-overrides does not explain;
#   - installs the package: the service's user exists, the programs and the Python package
#     run from where Debian puts them;
#   - verifies the bridge's unit (systemd-analyze verify) and scores its sandbox
#     (systemd-analyze security): an exposure of 3.0 at most; the manual pages its
#     Documentation= names are in the package;
#   - purges it: the user and the bridge's state directory are gone.
# Runs as root (CI does), or with sudo for the install steps.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/plain}")
max_deb_bytes=$((10 * 1000 * 1000))
max_exposure=3.0
unit=/usr/lib/systemd/system/orvex-bridge.service
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

scripts/deps.sh
step() { echo "--- package: $*"; }
fail() { echo "package check FAILED: $*" >&2; exit 1; }

out=$build/package
rm -rf "$out"
step "cpack -G DEB ($build)"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/orvex_*.deb)
ddeb=$(ls "$out"/orvex-dbgsym_*.ddeb)

step "sizes"
deb_bytes=$(stat -c %s "$deb")
ddeb_bytes=$(stat -c %s "$ddeb")
for f in "$deb" "$ddeb"; do
  stat -c '%n %s' "$f" | awk '{ n = split($1, p, "/"); printf "%-44s %6.1f MB\n", p[n], $2 / 1e6 }'
done
[ "$deb_bytes" -le "$max_deb_bytes" ] || fail "$(basename "$deb") weighs $deb_bytes bytes (at most $max_deb_bytes)"

step "lintian"
# The .ddeb is a .deb by another name, which lintian only takes as such.
cp "$ddeb" "$out/dbgsym.deb"
lintian --fail-on error,warning -I "$deb" "$out/dbgsym.deb" ||
  fail "lintian reports errors or unexplained warnings (above)"

step "install"
$sudo_cmd apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
trap '$sudo_cmd apt-get purge -y -qq orvex >/dev/null 2>&1 || true' EXIT
getent passwd orvex-bridge >/dev/null || fail "postinst made no orvex-bridge user"
orvex --version
orvex-bridge --version
orvex decode "88 04 03 E7 39 30 00 00 00" >/dev/null
# A BlueZ command runs in the helper: with no bus at this address it says why, not "not installed".
why=$(DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent orvex list 2>&1 || true)
case $why in *"not installed"*) fail "orvex list did not find its BlueZ helper: $why" ;; esac
(cd / && /usr/bin/python3 -c 'import orvex; print("python3: orvex", orvex.__version__)')

step "systemd-analyze verify $unit"
# The manual pages are checked below, in the package itself (man may not be installed).
verify=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
for page in $(sed -n 's/^Documentation=//p' "$unit" | tr ' ' '\n' | sed -n 's/^man:\(.*\)(\(.\))$/\1.\2/p'); do
  dpkg -L orvex | grep -q "/man/man${page##*.}/$page.gz$" || fail "$unit names man:$page, which the package lacks"
done

step "systemd-analyze security $unit"
security=$(systemd-analyze security --offline=yes "$unit" 2>&1)
exposure=$(echo "$security" | sed -n 's/.*Overall exposure level for orvex-bridge.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || { echo "$security"; fail "no exposure level in systemd-analyze's answer"; }
echo "exposure: $exposure (at most $max_exposure)"
awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }' ||
  { echo "$security" | grep '✗'; fail "exposure $exposure is above $max_exposure"; }

step "purge"
$sudo_cmd install -d -o orvex-bridge -g orvex-bridge /var/lib/orvex-bridge
$sudo_cmd touch /var/lib/orvex-bridge/spool.db
$sudo_cmd apt-get purge -y -qq orvex >/dev/null
trap - EXIT
! getent passwd orvex-bridge >/dev/null || fail "the orvex-bridge user outlived the purge"
! getent group orvex-bridge >/dev/null || fail "the orvex-bridge group outlived the purge"
[ ! -e /var/lib/orvex-bridge ] || fail "/var/lib/orvex-bridge outlived the purge"
echo "package checks passed"
