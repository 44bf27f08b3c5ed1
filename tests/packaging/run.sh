#!/usr/bin/env bash
# Installation test: `cmake --install` into a staging prefix, the Debian package's metadata and
# contents, then the package on this machine: dpkg -i, the user, the files and the unit, the
# installed daemon started with the installed configuration and stopped, an upgrade that keeps
# the administrator's edit, removal and purge. Leaves the machine as it found it, also on failure.
# Usage: run.sh SOURCE-DIR BUILD-DIR VERSION (BUILD-DIR: an optimised build, made when missing).
# Needs root; exits 77 (skipped) without root or dpkg, or when quillgate is already on this machine.
set -Eeuo pipefail

SRC=$(cd "${1:?usage: run.sh SOURCE-DIR BUILD-DIR VERSION}" && pwd)
BUILD=${2:?usage: run.sh SOURCE-DIR BUILD-DIR VERSION}
VERSION=${3:?usage: run.sh SOURCE-DIR BUILD-DIR VERSION}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export PATH="$PATH:/usr/sbin:/sbin"

skip() { echo "packaging test skipped: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

[ "$(id -u)" -eq 0 ] || skip "needs root (dpkg -i, a system user)"
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack unshare setpriv python3 readelf; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh)"
done

# One run at a time on this machine: the package and the user are machine-wide.
exec 8<"${BASH_SOURCE[0]}"
flock -w 600 8 || fail "another packaging test holds the lock"

# An installation that this test did not make is never touched.
if dpkg-query -W -f='${Status}' quillgate 2>/dev/null | grep -qv "not-installed"; then
  skip "the package quillgate is installed (or its configuration is left) here; purge it first"
fi
getent passwd quillgate >/dev/null && skip "a user quillgate exists on this machine"
getent group quillgate >/dev/null && skip "a group quillgate exists on this machine"
for path in /etc/quillgate /var/log/quillgate /usr/sbin/quillgate; do
  [ -e "$path" ] && skip "$path exists on this machine"
done

T=$(mktemp -d /tmp/quillgate-packaging.XXXXXX)
INSTALLED=""
cleanup() {
  local rc=$?
  trap - EXIT
  set +e
  if [ -n "$INSTALLED" ] && dpkg-query -W quillgate >/dev/null 2>&1; then
    dpkg --purge quillgate >"$T/purge-on-exit.out" 2>&1 || cat "$T/purge-on-exit.out" >&2
  fi
  rm -rf "$T"
  exit "$rc"
}
trap cleanup EXIT
trap 'echo "run.sh: command failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR

# The files every installation holds, relative to its root, for a prefix PREFIX and its
# configuration directory ETC.
expected_files() {
  printf '%s\n' "$2/quillgate/quillgate.conf" "$1/lib/systemd/system/quillgate.service" \
    "$1/sbin/quillgate" "$1/share/doc/quillgate/README.md" | sort
}

# unit_value FILE KEY: the value of KEY= in a unit file.
unit_value() { sed -n "s/^$2=//p" "$1"; }

check_staging() {
  local stage=$T/stage out
  out=$(cmake --install "$BUILD" --prefix "$stage")
  diff <(cd "$stage" && find . -type f -o -type l | sed 's|^\.||' | sort) \
       <(expected_files "" "/etc") || fail "cmake --install: unexpected file list"
  [ -x "$stage/sbin/quillgate" ] || fail "the installed daemon is not executable"
  cmp "$stage/etc/quillgate/quillgate.conf" "$SRC/contrib/quillgate.conf" \
    || fail "the installed configuration is not contrib/quillgate.conf"
  [ "$(unit_value "$stage/lib/systemd/system/quillgate.service" ExecStart)" = \
    "$stage/sbin/quillgate $stage/etc/quillgate/quillgate.conf" ] \
    || fail "the unit's ExecStart does not follow the prefix $stage"
  grep -q "$stage/sbin/quillgate" <<<"$out" || fail "cmake --install did not report the binary"
  # A second install over the first keeps the administrator's configuration.
  echo "# edited by the administrator" >>"$stage/etc/quillgate/quillgate.conf"
  cmake --install "$BUILD" --prefix "$stage" >/dev/null
  grep -q "^# edited by the administrator$" "$stage/etc/quillgate/quillgate.conf" \
    || fail "a second cmake --install replaced the edited configuration"
}

check_package_file() {
  local deb=$1 field
  [ "$(dpkg-deb -f "$deb" Package)" = quillgate ] || fail "package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$VERSION" ] || fail "package version is not $VERSION"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for field in passwd libc6 libstdc++6 libfmt libspdlog libglib2.0-0; do
    grep -q "\(^\|, \)$field" <<<"$depends" || fail "Depends lacks $field: $depends"
  done
  if grep -Eq "libasan|libubsan" <<<"$depends"; then
    fail "the package holds a sanitizer build: $depends"
  fi
  diff <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort) \
       <(expected_files /usr /etc) || fail "the package holds other files than expected"
  dpkg-deb -e "$deb" "$T/control"
  [ "$(cat "$T/control/conffiles")" = /etc/quillgate/quillgate.conf ] || fail "conffiles"
  for script in postinst prerm postrm; do
    [ -x "$T/control/$script" ] || fail "$script is missing or not executable"
    sh -n "$T/control/$script" || fail "$script does not parse"
  done
  dpkg-deb -x "$deb" "$T/content"
  if readelf -S "$T/content/usr/sbin/quillgate" | grep -q "\.debug_info"; then
    fail "the packaged binary is not stripped"
  fi
}

# Succeeds when a process runs the installed binary.
installed_daemon_runs() {
  local exe
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = /usr/sbin/quillgate ] && return 0
  done
  return 1
}

check_installed() {
  [ "$(dpkg-query -W -f='${Status}' quillgate)" = "install ok installed" ] || fail "dpkg status"
  local name pw uid home shell
  IFS=: read -r name pw uid _ _ home shell < <(getent passwd quillgate) \
    || fail "no user quillgate after dpkg -i"
  [ "$uid" -lt 1000 ] || fail "quillgate is not a system user (uid $uid)"
  [ "$shell" = /usr/sbin/nologin ] || fail "quillgate's shell is $shell"
  [ ! -e "$home" ] || fail "quillgate has a home directory $home"
  if getent group postfix >/dev/null; then
    id -nG quillgate | tr ' ' '\n' | grep -qx postfix || fail "quillgate is not in group postfix"
  fi
  diff <(dpkg -L quillgate | while read -r f; do [ -f "$f" ] && echo "$f"; done | sort) \
       <(expected_files /usr /etc) || fail "dpkg -L lists other files than expected"
  dpkg-query -W -f='${Conffiles}\n' quillgate | grep -q "^ /etc/quillgate/quillgate.conf " \
    || fail "the configuration is not a conffile"
  cmp /etc/quillgate/quillgate.conf "$SRC/contrib/quillgate.conf" || fail "installed configuration"
  local unit=/usr/lib/systemd/system/quillgate.service
  [ "$(unit_value "$unit" ExecStart)" = "/usr/sbin/quillgate /etc/quillgate/quillgate.conf" ] \
    || fail "the unit's ExecStart is $(unit_value "$unit" ExecStart)"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
  fi
  installed_daemon_runs && fail "installing the package started the daemon"
  return 0
}

check_daemon() {
  local unit=/usr/lib/systemd/system/quillgate.service
  # The unit's user, working directory and command line, as systemd would run them.
  unshare --mount --net -- env QG_USER="$(unit_value "$unit" User)" \
    QG_WORKDIR="$(unit_value "$unit" WorkingDirectory)" QG_EXEC="$(unit_value "$unit" ExecStart)" \
    QG_TMP="$T" bash "$HERE/run_installed.sh" || fail "the installed daemon (see above)"
}

check_upgrade_and_removal() {
  local deb=$1
  echo "# edited by the administrator" >>/etc/quillgate/quillgate.conf
  timeout 120 dpkg -i "$deb" </dev/null >"$T/upgrade.out" 2>&1 \
    || { cat "$T/upgrade.out"; fail "dpkg -i over the installed package"; }
  grep -q "^# edited by the administrator$" /etc/quillgate/quillgate.conf \
    || fail "the upgrade replaced the edited configuration"
  dpkg --remove quillgate >"$T/remove.out" 2>&1 || { cat "$T/remove.out"; fail "dpkg --remove"; }
  [ "$(dpkg-query -W -f='${Status}' quillgate)" = "deinstall ok config-files" ] \
    || fail "status after removal"
  [ ! -e /usr/sbin/quillgate ] && [ ! -e /usr/lib/systemd/system/quillgate.service ] \
    || fail "removal left the binary or the unit"
  grep -q "^# edited by the administrator$" /etc/quillgate/quillgate.conf \
    || fail "removal did not keep the configuration"
  getent passwd quillgate >/dev/null || fail "removal removed the user"
  dpkg --purge quillgate >"$T/purge.out" 2>&1 || { cat "$T/purge.out"; fail "dpkg --purge"; }
  INSTALLED=""
  if dpkg-query -W quillgate >/dev/null 2>&1; then
    fail "dpkg still knows quillgate after purge"
  fi
  local path
  for path in /etc/quillgate /var/log/quillgate /usr/sbin/quillgate /usr/share/doc/quillgate \
              /usr/lib/systemd/system/quillgate.service; do
    [ ! -e "$path" ] || fail "purge left $path"
  done
  getent passwd quillgate >/dev/null && fail "purge left the user quillgate"
  getent group quillgate >/dev/null && fail "purge left the group quillgate"
  return 0
}

log "building the package from $BUILD"
DEB=$(QUILLGATE_BUILD_JOBS=${QUILLGATE_BUILD_JOBS:-4} "$SRC/scripts/package.sh" "$BUILD" \
  "$T/package" | tail -n 1)
[ -f "$DEB" ] || fail "scripts/package.sh made no package"
log "cmake --install into a staging prefix"
check_staging
log "package $(basename "$DEB"): metadata and contents"
check_package_file "$DEB"
log "dpkg -i"
INSTALLED=1
dpkg -i "$DEB" </dev/null >"$T/install.out" 2>&1 || { cat "$T/install.out"; fail "dpkg -i"; }
check_installed
log "the installed daemon with the installed configuration"
check_daemon
log "upgrade, removal and purge"
check_upgrade_and_removal "$DEB"
log "packaging test passed"
