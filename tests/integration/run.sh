#!/usr/bin/env bash
# End-to-end suite: quillgate as the LMTP content filter of a private Postfix instance, scanning
# with a private Rspamd, all inside a network namespace that has only loopback.
# Usage: run.sh QUILLGATE-BINARY   (run.sh --baseline: Postfix and Rspamd alone, no quillgate)
set -Eeuo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# shellcheck source=lib.sh
. "$HERE/lib.sh"
netns_enter run.sh "$0" "$@"
netns_check run.sh

if [ "${1:-}" = --baseline ]; then
  QUILLGATE=""
else
  QUILLGATE=$(readlink -f "${1:?usage: run.sh QUILLGATE-BINARY | --baseline}")
  [ -x "$QUILLGATE" ] || { echo "run.sh: $QUILLGATE is not executable" >&2; exit 1; }
fi

T=$(mktemp -d /tmp/quillgate-e2e.XXXXXX)
chmod 755 "$T"
# shellcheck source=cases.sh
. "$HERE/cases.sh"

cleanup() {
  local rc=$?
  trap - EXIT ERR
  set +e
  stop_all_quietly "$rc"
  if [ "$rc" -eq 0 ] && [ -z "${QG_E2E_KEEP:-}" ]; then
    rm -rf "$T"
  else
    echo "run.sh: left $T for inspection" >&2
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'echo "run.sh: command failed (status $?) at ${BASH_SOURCE[0]##*/}:$LINENO: $BASH_COMMAND" >&2; dump_logs >&2' ERR
trap 'exit 130' INT TERM

read -r P_SMTP P_REINJECT P_RSPAMD P_LMTP <<<"$("$PY" "$HERE/ports.py" pick 4 | tr '\n' ' ')"
export P_SMTP P_REINJECT P_RSPAMD P_LMTP
log "ports: smtpd $P_SMTP, re-injection smtpd $P_REINJECT, rspamd $P_RSPAMD, quillgate $P_LMTP"

start=$(date +%s)
rspamd_setup
log "starting Rspamd"
rspamd_start
log "Rspamd answers after $(( $(date +%s) - start ))s"
postfix_setup
postfix_start
log "Postfix started"

run_case baseline_without_filter
if [ -n "$QUILLGATE" ]; then
  run_all_cases
fi
log "all cases passed in $(( $(date +%s) - start ))s"
