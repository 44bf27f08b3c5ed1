#!/usr/bin/env bash
# Part of the packaging test, run by run.sh inside `unshare --mount --net`: starts the installed
# daemon as its unit would (QG_USER, QG_WORKDIR, QG_EXEC) with a private /run, so that the
# installed configuration's socket /run/quillgate/lmtp.sock is used without touching the
# machine's /run; speaks LMTP to it, checks the socket's owner and mode, and stops it with
# SIGTERM (exit status 0). QG_TMP is a scratch directory.
set -Eeuo pipefail

fail() {
  echo "FAIL: $*" >&2
  for f in "$QG_WORKDIR"/*.log "$QG_TMP/daemon.out"; do
    [ -f "$f" ] && { echo "----- $f -----"; tail -n 20 "$f"; } >&2
  done
  exit 1
}

ip link set lo up
# What RuntimeDirectory= and LogsDirectory= create, in a /run of this namespace only.
mount -t tmpfs -o mode=0755 tmpfs /run || fail "cannot mount a private /run"
install -d -o "$QG_USER" -g "$QG_USER" -m 0755 /run/quillgate "$QG_WORKDIR"

read -r -a command <<<"$QG_EXEC"
(cd "$QG_WORKDIR" && exec setpriv --reuid="$QG_USER" --regid="$QG_USER" --init-groups \
  -- "${command[@]}" >"$QG_TMP/daemon.out" 2>&1) &
pid=$!
trap 'kill -KILL "$pid" 2>/dev/null || true' EXIT

socket=/run/quillgate/lmtp.sock
started() {
  grep -qF "LMTP server started on Unix socket $socket..." "$QG_WORKDIR"/quillgate_*.log 2>/dev/null
}
for _ in $(seq 1 100); do
  started && break
  kill -0 "$pid" 2>/dev/null || fail "the installed daemon exited at start-up"
  sleep 0.1
done
started || fail "the installed daemon did not report its socket within 10 s"

group=quillgate
getent group postfix >/dev/null && group=postfix
[ "$(stat -c '%U %G %a' "$socket")" = "quillgate $group 660" ] \
  || fail "socket $(stat -c '%U %G %a' "$socket"), expected quillgate $group 660"

python3 - "$socket" <<'PY' || fail "the LMTP greeting, LHLO and QUIT"
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(5)
s.connect(sys.argv[1])
f = s.makefile("rb")
def reply():
    while True:
        line = f.readline().decode()
        if len(line) < 4 or line[3] != "-":
            return line
assert reply().startswith("220 "), "greeting"
s.sendall(b"LHLO packaging.test\r\n")
assert reply().startswith("250 "), "LHLO"
s.sendall(b"QUIT\r\n")
assert reply().startswith("221 "), "QUIT"
PY

kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
trap - EXIT
[ "$rc" -eq 0 ] || fail "the installed daemon exited with status $rc after SIGTERM"
echo "installed daemon: socket quillgate:$group 0660, LMTP answered, SIGTERM gave status 0"
