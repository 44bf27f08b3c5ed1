#!/usr/bin/env bash
# quillgate at work on this machine, in one command (as root): inside a private network namespace
# that has only loopback, Debian's Rspamd (network modules off), a Postfix pair wired as the
# README's guide says and quillgate built from this tree; three messages go through Postfix's
# public smtpd (a plain one, the GTUBE test message, one with forged X-Spam headers), and for each
# the verdict, Postfix's log lines, the delivered headers and quillgate's log lines are printed.
# Then everything is stopped and removed. The set-up is the end-to-end suite's
# (tests/integration/lib.sh).
#
# Usage: scripts/demo.sh [--keep] [--quillgate BINARY]
#   --keep               keep the configurations, logs and Maildirs and print where they are
#   --quillgate BINARY   use this binary instead of building build/quillgate
set -Eeuo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HERE=$ROOT/tests/integration

die() {
  echo "demo.sh: $*" >&2
  exit 1
}

usage() {
  echo "Usage: scripts/demo.sh [--keep] [--quillgate BINARY]"
  echo "  --keep               keep the configurations, logs and Maildirs and print where they are"
  echo "  --quillgate BINARY   use this binary instead of building build/quillgate"
}

# The arguments are read outside the namespace and handed in through the environment.
if [ "${QG_E2E_IN_NETNS:-}" != 1 ]; then
  QG_DEMO_KEEP=""
  QUILLGATE=""
  while [ $# -gt 0 ]; do
    case $1 in
      --keep) QG_DEMO_KEEP=1 ;;
      --quillgate)
        [ $# -ge 2 ] || die "--quillgate needs a path"
        QUILLGATE=$2
        shift
        ;;
      -h | --help) usage; exit 0 ;;
      *) usage >&2; exit 2 ;;
    esac
    shift
  done
  [ "$(id -u)" -eq 0 ] || die "needs root: it starts Postfix and Rspamd in a private network namespace (try: sudo $0)"
  why=$(unshare --net -- true 2>&1) \
    || die "cannot create a network namespace (${why:-unshare --net failed}); in a container this needs CAP_SYS_ADMIN"
  "$ROOT/scripts/install-deps.sh"
  # A binary the demo builds keeps Rspamd's compiled patterns beside it for the next run.
  QUILLGATE_RSPAMD_CACHE=${QUILLGATE_RSPAMD_CACHE-}
  if [ -z "$QUILLGATE" ]; then
    echo "Building quillgate (build/quillgate)"
    out=$(cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQUILLGATE_TESTS=OFF 2>&1 && cmake --build "$ROOT/build" --target quillgate 2>&1) \
      || { printf '%s\n' "$out" | tail -n 30 >&2; die "the build failed"; }
    QUILLGATE=$ROOT/build/quillgate
    QUILLGATE_RSPAMD_CACHE=${QUILLGATE_RSPAMD_CACHE:-$ROOT/build/rspamd-dbdir-cache}
  fi
  QUILLGATE=$(readlink -f "$QUILLGATE") || die "no such file: $QUILLGATE"
  [ -x "$QUILLGATE" ] || die "$QUILLGATE is not executable"
  export QUILLGATE QG_DEMO_KEEP QUILLGATE_RSPAMD_CACHE
fi

# shellcheck source=../tests/integration/lib.sh
. "$HERE/lib.sh"
netns_enter demo.sh "$0"
netns_check demo.sh

# The README's ports: inside the namespace nothing else holds them.
P_SMTP=25 P_REINJECT=10025 P_RSPAMD=11333
# The quillgate transport exactly as the README's guide has it, and Rspamd without the suite's
# test rules.
PF_LMTP_CACHE=no PF_LMTP_MAXPROC=10
RSPAMD_SUITE_RULES=no
T=$(mktemp -d "${TMPDIR:-/tmp}/quillgate-demo.XXXXXX")
chmod 755 "$T"

cleanup() {
  local rc=$?
  trap - EXIT ERR
  set +e
  stop_all_quietly "$rc"
  if [ -n "${QG_DEMO_KEEP:-}" ]; then
    echo
    echo "Kept in $T (everything is stopped):"
    echo "  postfix/etc/main.cf, postfix/etc/master.cf   Postfix's configuration"
    echo "  postfix/maillog                              Postfix's log"
    echo "  rspamd/local/                                Rspamd's local configuration"
    echo "  rspamd/log/rspamd.log                        Rspamd's log"
    echo "  quillgate/quillgate.conf                     quillgate's configuration"
    echo "  quillgate/log/                               quillgate's log"
    echo "  mail/                                        the Maildirs"
    echo "  msgs/                                        the messages as sent"
  else
    rm -rf "$T"
  fi
  [ "$rc" -eq 0 ] || echo "demo.sh: failed (status $rc)" >&2
  exit "$rc"
}
trap cleanup EXIT
trap 'echo "demo.sh: command failed (status $?) at ${BASH_SOURCE[0]##*/}:$LINENO: $BASH_COMMAND" >&2; dump_logs >&2' ERR
trap 'exit 130' INT TERM

# Paths below the temporary directory are printed below "<work>".
shown() { sed "s|$T|<work>|g"; }
indent() { sed 's/^/    /'; }

# quillgate's configuration: the README's complete example, on the namespace's loopback, with the
# socket in the temporary directory and given to Postfix's user (quillgate runs as root here).
qg_config_demo() {
  cat <<EOF
rspamd {
    host = "127.0.0.1";
    port = $P_RSPAMD;
}
lmtp {
    listen_socket = "$T/quillgate/lmtp.sock:postfix:postfix:0660";
    forward_host = "127.0.0.1";
    forward_port = $P_REINJECT;
    session {
        timeout_seconds = 120;
    }
}
log {
    file = "log/quillgate.log";
    level = "info";
    retention_days = 14;
}
action {
    on_reject = "reject";
}
EOF
}

# demo_message KIND FILE: the three messages, dated now (Rspamd scores old dates).
demo_message() {
  local kind=$1 subject extra="" body
  case $kind in
    plain)
      subject="Lunch on Friday"
      body="Hello Alice,\n\nshall we have lunch on Friday at noon?\n\nSender"
      ;;
    gtube)
      subject="GTUBE test"
      body="This is the GTUBE test message.\n\nXJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"
      ;;
    forged)
      subject="Minutes of the meeting"
      extra="X-Spam: no\nX-Spam-Status: No, score=-50 (forged)\n"
      body="Hello Carol,\n\nthe minutes are below.\n\nSender"
      ;;
  esac
  printf "From: Sender <sender@example.test>\nTo: %s@example.test\nSubject: %s\nDate: %s\nMessage-ID: <demo-%s@client.example.test>\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n${extra}\n${body}\n" \
    "$3" "$subject" "$(LC_ALL=C date -R)" "$kind" | sed 's/$/\r/' >"$2"
}

mail_in() { find "$T/mail/$1/new" "$T/mail/$1/cur" -type f 2>/dev/null | sort; }
has_mail() { [ -n "$(mail_in "$1")" ]; }

# Postfix's log lines of one queue id, without time, host and process id, and without the
# delay figures.
pf_lines() {
  grep -E -- "postfix/[a-z/]+\[[0-9]+\]: $1: (client=|to=|sender non-delivery)" "$T/postfix/maillog" \
    | sed -E 's/^.* (postfix\/[a-z/]+)\[[0-9]+\]: /\1: /; s/, delay=[0-9.]+, delays=[0-9.\/]+//' | shown
}

# quillgate's log lines for the transaction whose XFORWARD named the queue id: from the start of
# its session (or the end of the one before) to its reset.
qg_lines() {
  "$PY" - "$1" "$T"/quillgate/log/quillgate_*.log <<'PY'
import re, sys
qid, files = sys.argv[1], sys.argv[2:]
lines = [l.rstrip("\n") for f in sorted(files) for l in open(f, errors="replace")]
at = next((i for i, l in enumerate(lines) if l.endswith(f"IDENT: {qid}")), None)
if at is None:
    sys.exit(0)
sid = re.search(r"\] \[([0-9a-f]{16})\] XFORWARD", lines[at]).group(1)
mine = [i for i, l in enumerate(lines) if f"[{sid}]" in l]
start = max([i for i in mine if i < at and ("Starting LMTP session" in lines[i]
                                            or "Resetting session" in lines[i])], default=at)
if "Resetting session" in lines[start]:
    start = min(i for i in mine if i > start)
end = next((i for i in mine if i > at and "Resetting session" in lines[i]), mine[-1])
for i in mine:
    if start <= i <= end:
        print(lines[i])
PY
}

# The verdict of Rspamd's log line for the message: action, score and the symbols that scored.
verdict() {
  "$PY" - "$1" "$T/rspamd/log/rspamd.log" <<'PY'
import re, sys
msgid, log = sys.argv[1], sys.argv[2]
for line in open(log, errors="replace"):
    if f"id: <{msgid}>" in line and "rspamd_task_write_log" in line:
        m = re.search(r"\(default: [TFS] \(([^)]*)\): \[([-0-9.]+)/([-0-9.]+)\] \[(.*?)\]\)", line)
        if not m:
            continue
        scored = [s for s in re.findall(r"([A-Z0-9_]+)\(([-0-9.]+)\)", m.group(4))
                  if float(s[1]) != 0]
        print(f'"{m.group(1)}", score {m.group(2)} of {m.group(3)} to reject'
              + (" (" + ", ".join(f"{n} {v}" for n, v in scored) + ")" if scored else ""))
        if "forced: " in line:
            print("  " + line[line.index("forced: "):].strip())
        sys.exit(0)
print("(no line in Rspamd's log)")
PY
}

# The header block of a delivered message. Rspamd lists the headers it adds in another order at
# each start, so each run of X-Spam and X-Rspamd headers is shown sorted by name, after a note.
delivered_headers() {
  "$PY" - "$1" <<'PY'
import re, sys
head = open(sys.argv[1], encoding="utf-8", errors="replace").read().split("\n\n", 1)[0]
fields = []
for line in head.split("\n"):
    if line[:1] in (" ", "\t") and fields:
        fields[-1].append(line)
    else:
        fields.append([line])
rspamd = lambda f: re.match(r"(?i)x-(spam|rspamd)", f[0]) is not None
i = 0
while i < len(fields):
    if not rspamd(fields[i]):
        print("\n".join(fields[i]))
        i += 1
        continue
    j = i
    while j < len(fields) and rspamd(fields[j]):
        j += 1
    print("(Rspamd's headers, sorted by name:)")
    for f in sorted(fields[i:j], key=lambda f: f[0].split(":", 1)[0].lower()):
        print("\n".join(f))
    i = j
PY
}

# The subject of Postfix's bounce and its report on the recipient.
bounce_report() {
  "$PY" - "$1" <<'PY'
import email, sys
m = email.message_from_binary_file(open(sys.argv[1], "rb"))
print("Subject: " + m["Subject"])
for part in m.walk():
    if part.get_content_type() == "message/delivery-status":
        for block in part.get_payload():
            for name in ("Final-Recipient", "Action", "Status", "Diagnostic-Code"):
                if block[name]:
                    print(f"{name}: {' '.join(str(block[name]).split())}")
PY
}

# send_one N KIND RCPT DESCRIPTION
send_one() {
  local n=$1 kind=$2 rcpt=$3 what=$4 m qid qid2 reply f
  m=$T/msgs/$kind.eml
  mkdir -p "$T/msgs"
  demo_message "$kind" "$m" "$rcpt"
  echo
  echo "=== Message $n of 3: $what"
  echo "    From sender@example.test to $rcpt@example.test, through Postfix's smtpd on 127.0.0.1:$P_SMTP"
  reply=$("$PY" "$HERE/mailtool.py" send "$P_SMTP" sender@example.test "$rcpt@example.test" "$m" 2>&1) \
    || fail "Postfix's smtpd did not take message $n: $reply"
  qid=${reply##* }
  echo "    Postfix's smtpd: 250 $reply"
  if [ "$kind" = gtube ]; then
    wait_for 60 "Postfix to bounce message $n" grep -E -- " $qid: sender non-delivery notification" "$T/postfix/maillog"
    wait_for 60 "the bounce to reach sender's Maildir" has_mail sender
  else
    wait_for 60 "message $n to reach $rcpt's Maildir" has_mail "$rcpt"
  fi
  wait_for 60 "Postfix's queue to be empty" queue_empty
  echo
  echo "--- Verdict: Rspamd's action for it"
  verdict "demo-$kind@client.example.test" | indent
  echo
  echo "--- Postfix's log for it"
  pf_lines "$qid" | indent
  qid2=$(sed -nE "s/.* postfix\/reinject\/smtpd\[[0-9]+\]: ([0-9A-F]+): client=.*orig_queue_id=$qid,.*/\1/p" \
    "$T/postfix/maillog" | head -n 1)
  [ -z "$qid2" ] || pf_lines "$qid2" | indent
  echo
  if [ "$kind" = gtube ]; then
    echo "--- Not delivered: Postfix returned it to the sender; the report in sender's Maildir"
    bounce_report "$(mail_in sender | head -n 1)" | shown | indent
  else
    echo "--- Headers of the message delivered to $rcpt's Maildir"
    delivered_headers "$(mail_in "$rcpt" | head -n 1)" | shown | indent
  fi
  echo
  echo "--- quillgate's log for it"
  qg_lines "$qid" | indent
}

echo "quillgate demo: Postfix -> quillgate -> Rspamd -> Postfix, in a private network namespace"
echo "(loopback only; nothing reaches the outside). Files are in a temporary directory, <work> below."
echo
echo "Starting Rspamd $(rspamd --version | sed -nE 's/.*version ([0-9.]+).*/\1/p') (normal worker on 127.0.0.1:$P_RSPAMD, network modules off)"
rspamd_setup
rspamd_start
echo "Starting quillgate (LMTP on <work>/quillgate/lmtp.sock, Rspamd at 127.0.0.1:$P_RSPAMD, re-injection to 127.0.0.1:$P_REINJECT)"
mkdir -p "$T/quillgate"
QG_LISTEN_PORT="" QG_LISTEN_SOCKET=$T/quillgate/lmtp.sock quillgate_start "$(qg_config_demo)"
echo "Starting Postfix $(postconf -d -h mail_version) (public smtpd on 127.0.0.1:$P_SMTP; content_filter = quillgate:unix:<work>/quillgate/lmtp.sock,"
echo "  the transport \"quillgate\" over LMTP with XFORWARD; re-injection smtpd on 127.0.0.1:$P_REINJECT)"
postfix_setup
postconf -c "$(PF_ETC)" -e "content_filter = quillgate:unix:$T/quillgate/lmtp.sock" || fail "postconf failed"
postfix_start

send_one 1 plain alice "a plain message"
send_one 2 gtube bob "the GTUBE test message (Rspamd rejects it)"
send_one 3 forged carol 'a message with forged "X-Spam: no" and "X-Spam-Status: No, score=-50 (forged)"'

echo
echo "Stopping quillgate, Postfix and Rspamd"
quillgate_stop
postfix_stop
rspamd_stop
[ -n "${QG_DEMO_KEEP:-}" ] || echo "Removing <work>"
echo "Done."
