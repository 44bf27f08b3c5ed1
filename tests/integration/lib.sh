# The one set-up of the end-to-end suite and of scripts/demo.sh: entering a private network
# namespace, writing the configurations of a private Rspamd and a private Postfix instance and
# starting and stopping them and quillgate inside a temporary directory, bounded waits, and
# failure output. Sourced by run.sh and demo.sh, which set T (the temporary directory), HERE (this
# directory), QUILLGATE and the ports P_SMTP, P_REINJECT, P_RSPAMD and P_LMTP.

DOMAIN=example.test
MAILBOXES=(alice bob carol sender)

# Debian's python3 starts in a few milliseconds; a shim in front of another one may take a second.
PY=$(command -v /usr/bin/python3 || command -v python3)

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

# netns_enter NAME SCRIPT ARGS...: unless already inside, checks for root and the tools, then runs
# SCRIPT again inside a new network namespace (exec; does not return). NAME prefixes the errors.
netns_enter() {
  local name=$1 tool
  shift
  [ "${QG_E2E_IN_NETNS:-}" = 1 ] && return 0
  export PATH="$PATH:/usr/sbin:/sbin"
  [ "$(id -u)" -eq 0 ] || {
    echo "$name: needs root (it starts Postfix and Rspamd in a private network namespace)" >&2
    exit 1
  }
  for tool in unshare ip postfix postconf postqueue rspamd rspamadm swaks python3; do
    command -v "$tool" >/dev/null || {
      echo "$name: $tool is missing (scripts/install-deps.sh installs it)" >&2
      exit 1
    }
  done
  local why
  why=$(unshare --net -- true 2>&1) || {
    echo "$name: cannot create a network namespace (unshare --net: ${why:-failed});" \
      "in a container this needs CAP_SYS_ADMIN" >&2
    exit 1
  }
  export QG_E2E_IN_NETNS=1
  exec unshare --net -- bash "$@"
}

# netns_check NAME: inside the namespace, brings loopback up and makes sure nothing else is there.
netns_check() {
  ip link set lo up
  if ip -o link show | grep -v ": lo:" >/dev/null; then
    echo "$1: the network namespace has interfaces besides lo" >&2
    exit 1
  fi
}

# Prints the tails of every peer's log, so that a failure shows what each side saw.
dump_logs() {
  local f
  for f in "$T/postfix/maillog" "$T/rspamd/log/rspamd.log" "$T"/quillgate/log/*.log \
           "$T/quillgate/stdout" "$T/swaks.out" "$T/send.out"; do
    [ -f "$f" ] || continue
    echo "----- last lines of ${f#"$T"/} -----"
    tail -n 40 "$f" | cut -c1-400
  done
  if [ -x "$(command -v postqueue)" ] && [ -d "$T/postfix/etc" ]; then
    echo "----- postqueue -p -----"
    postqueue -c "$T/postfix/etc" -p 2>&1 | head -n 40 || true
  fi
}

# Failure output goes to the suite's standard error (fd 9), also from inside a wait_for, whose
# command's own output is discarded.
exec 9>&2
fail() {
  { echo "FAIL: $*"; dump_logs; } >&9
  exit 1
}

# wait_for SECONDS DESCRIPTION COMMAND...: polls COMMAND every 0.2 s until it succeeds.
wait_for() {
  local limit=$1 what=$2 deadline
  shift 2
  deadline=$(( $(date +%s%N) / 1000000 + limit * 1000 ))
  until "$@" >/dev/null 2>&1; do
    if [ $(( $(date +%s%N) / 1000000 )) -ge "$deadline" ]; then
      fail "timed out after ${limit}s waiting for: $what"
    fi
    sleep 0.2
  done
}

# Succeeds when a TCP port on 127.0.0.1 accepts a connection.
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port_closed() { ! port_open "$1"; }

# ---------------------------------------------------------------------------------------------
# Rspamd

# Where the compiled patterns are kept between runs; empty: nowhere.
RSPAMD_CACHE=${QUILLGATE_RSPAMD_CACHE-/tmp/quillgate-rspamd-dbdir-cache}

rspamd_setup() {
  local r=$T/rspamd m
  mkdir -p "$r/local/local.d" "$r/local/override.d" "$r/db" "$r/run" "$r/log"
  # A warm DBDIR saves Rspamd about ten seconds of pattern compilation per start.
  if [ -n "$RSPAMD_CACHE" ] && [ -d "$RSPAMD_CACHE" ]; then
    cp -a "$RSPAMD_CACHE/." "$r/db/" 2>/dev/null || true
  fi
  chown -R _rspamd:_rspamd "$r/db" "$r/run" "$r/log"
  cat >"$r/local/override.d/worker-normal.inc" <<EOF
bind_socket = "127.0.0.1:$P_RSPAMD";
bind_socket = "$r/run/normal.sock mode=0666";
count = 1;
mime = true;
EOF
  echo 'enabled = false;' >"$r/local/override.d/worker-controller.inc"
  echo 'enabled = false;' >"$r/local/override.d/worker-proxy.inc"
  cat >"$r/local/local.d/options.inc" <<'EOF'
dns { nameserver = ["127.0.0.1:53"]; timeout = 0.5s; retransmits = 1; }
EOF
  for m in fuzzy_check rbl asn spf dkim dmarc arc hfilter whitelist phishing mime_types multimap; do
    echo 'enabled = false;' >"$r/local/local.d/$m.conf"
  done
  # As in production: the reply carries a milter block with header additions and removals
  # (remove-spam-flag asks for any incoming X-Spam header to be removed).
  cat >"$r/local/local.d/milter_headers.conf" <<'EOF'
extended_spam_headers = true;
skip_local = false;
skip_authenticated = false;
use = ["x-spam-status", "remove-spam-flag"];
EOF
  [ "${RSPAMD_SUITE_RULES:-yes}" = yes ] && rspamd_suite_rules
  return 0
}

# The suite's own rules, thresholds and signing keys; the demo runs without them.
rspamd_suite_rules() {
  local r=$T/rspamd
  # A site that sets a rewrite_subject score gets the action "rewrite subject" between it and
  # the reject score; Rspamd's reply then carries the new text in "subject". Both scores lie above
  # the 13 to 14 of the suite's 8-bit message, which stays "add header".
  printf '%s\n' 'rewrite_subject = 16;' 'reject = 20;' >"$r/local/local.d/actions.conf"
  # A quarantining rule as a site may have one: mail with X-Quarantine-Test is rejected with
  # the symbol QUARANTINED. Mail with X-Spam-Test scores 17: "rewrite subject".
  cat >"$r/local/rspamd.local.lua" <<'EOF'
rspamd_config.QUARANTINED = {
  callback = function(task)
    return task:get_header('X-Quarantine-Test') ~= nil
  end,
  score = 50.0,
  description = 'Test rule of the quillgate suite: quarantine this message',
  group = 'quillgate_test',
}
rspamd_config.QUILLGATE_SPAM_TEST = {
  callback = function(task)
    return task:get_header('X-Spam-Test') ~= nil
  end,
  score = 17.0,
  description = 'Test rule of the quillgate suite: score this message as spam',
  group = 'quillgate_test',
}
EOF
  # Mail of signed.example.test is signed twice (an RSA and an Ed25519 key) through milter
  # headers, as the README shows: the reply adds DKIM-Signature twice, as an array.
  mkdir -p "$r/dkim"
  rspamadm dkim_keygen -t rsa -b 1024 -d signed.example.test -s rsa -k "$r/dkim/rsa.key" \
    >/dev/null 2>>"$r/log/keygen.out"
  rspamadm dkim_keygen -t ed25519 -d signed.example.test -s ed25519 -k "$r/dkim/ed25519.key" \
    >/dev/null 2>>"$r/log/keygen.out"
  chown -R _rspamd:_rspamd "$r/dkim"
  cat >"$r/local/local.d/dkim_signing.conf" <<EOF
use_milter_headers = true;
try_fallback = false;
use_esld = false;
domain {
  signed.example.test {
    selectors = [
      { path = "$r/dkim/rsa.key"; selector = "rsa"; },
      { path = "$r/dkim/ed25519.key"; selector = "ed25519"; }
    ];
  }
}
EOF
}

rspamd_ping() {
  "$PY" - "$P_RSPAMD" <<'EOF'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)
s.settimeout(2)
s.sendall(b"GET /ping HTTP/1.0\r\n\r\n")
data = b""
while True:
    chunk = s.recv(4096)
    if not chunk:
        break
    data += chunk
sys.exit(0 if b"pong" in data else 1)
EOF
}

rspamd_start() {
  local r=$T/rspamd
  "$PY" "$HERE/ports.py" check "$P_RSPAMD" || fail "Rspamd's port is taken"
  rspamd -c /etc/rspamd/rspamd.conf -u _rspamd -g _rspamd \
    --var=LOCAL_CONFDIR="$r/local" --var=DBDIR="$r/db" --var=RUNDIR="$r/run" \
    --var=LOGDIR="$r/log" >>"$r/log/start.out" 2>&1 || fail "rspamd did not start"
  wait_for 60 "Rspamd to answer pong" rspamd_ping
}

rspamd_pid() { cat "$T/rspamd/run/rspamd.pid" 2>/dev/null; }

rspamd_stop() {
  local pid
  pid=$(rspamd_pid) || return 0
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid"
  # Rspamd waits for its workers; kill what is left after the deadline.
  local i
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  rm -f "$T/rspamd/run/rspamd.pid"
  wait_for 10 "Rspamd's port to close" port_closed "$P_RSPAMD"
}

# Keeps the compiled patterns for the next run; written to a fresh directory and renamed, so
# that suites running side by side never see a half-written cache.
rspamd_save_cache() {
  [ -n "$RSPAMD_CACHE" ] && [ -d "$T/rspamd/db" ] || return 0
  local tmp
  tmp=$(mktemp -d "${RSPAMD_CACHE}.new.XXXXXX") || return 0
  cp -a "$T/rspamd/db/." "$tmp/" 2>/dev/null
  rm -f "$tmp/rspamd.sock" "$tmp/rspamd.history" "$tmp"/*.new
  rm -rf "${RSPAMD_CACHE}.old.$$"
  [ -d "$RSPAMD_CACHE" ] && mv "$RSPAMD_CACHE" "${RSPAMD_CACHE}.old.$$"
  mv "$tmp" "$RSPAMD_CACHE" || rm -rf "$tmp"
  rm -rf "${RSPAMD_CACHE}.old.$$"
}

# ---------------------------------------------------------------------------------------------
# Postfix

PF_ETC() { echo "$T/postfix/etc"; }

# postfix_setup: writes main.cf and master.cf of a private instance that lives in $T/postfix.
postfix_setup() {
  local p=$T/postfix mb
  mkdir -p "$p/etc" "$p/queue" "$p/data" "$T/mail"
  chown postfix:postfix "$p/data"
  chown 65534:65534 "$T/mail"
  : >"$p/maillog"
  local maps=""
  for mb in "${MAILBOXES[@]}"; do maps+="$mb@$DOMAIN=$mb/ "; done
  cat >"$p/etc/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $p/queue
data_directory = $p/data
mail_owner = postfix
setgid_group = postdrop
maillog_file = $p/maillog
maillog_file_prefixes = $p
myhostname = mx.$DOMAIN
mydomain = $DOMAIN
myorigin = \$myhostname
mydestination =
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
biff = no

smtp_dns_support_level = disabled
lmtp_dns_support_level = disabled
default_transport = error:outbound mail is disabled in this test instance
relay_transport = error:outbound mail is disabled in this test instance
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_recipient_restrictions = permit_mynetworks, reject_unauth_destination
virtual_mailbox_domains = $DOMAIN
virtual_mailbox_base = $T/mail
virtual_mailbox_maps = inline:{ $maps}
virtual_uid_maps = static:65534
virtual_gid_maps = static:65534
recipient_delimiter = +
message_size_limit = 52428800
virtual_mailbox_limit = 0
queue_run_delay = 10s
minimal_backoff_time = 10s
maximal_backoff_time = 20s
maximal_queue_lifetime = 1h
bounce_queue_lifetime = 1h
delay_warning_time = 0
content_filter =
EOF
  postfix_write_master yes
}

# postfix_write_master REINJECT: master.cf, with the re-injection smtpd when REINJECT is "yes".
# PF_LMTP_CACHE=no and PF_LMTP_MAXPROC=10 leave the quillgate transport as the README's guide has
# it; the suite has Postfix keep its LMTP connections for 10 s, so that they are reused, and
# deliver to quillgate 4 at a time.
postfix_write_master() {
  local m=$T/postfix/etc/master.cf
  cat >"$m" <<EOF
# Every service runs without chroot: the instance lives in a temporary directory.
127.0.0.1:$P_SMTP inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
# The content filter: LMTP to quillgate, with XFORWARD.
quillgate unix  -       -       n       -       ${PF_LMTP_MAXPROC:-4}       lmtp
  -o syslog_name=postfix/quillgate
  -o lmtp_send_xforward_command=yes
EOF
  if [ "${PF_LMTP_CACHE:-yes}" = yes ]; then
    cat >>"$m" <<EOF
  -o lmtp_connection_cache_destinations=static:all
  -o lmtp_connection_cache_time_limit=10s
EOF
  fi
  if [ "$1" = yes ]; then
    cat >>"$m" <<EOF
# Re-injection from quillgate: no second filtering, XFORWARD trusted from loopback, and bare
# line feeds refused so that every line quillgate writes must end in CRLF.
127.0.0.1:$P_REINJECT inet n - n - 10 smtpd
  -o syslog_name=postfix/reinject
  -o content_filter=
  -o receive_override_options=no_unknown_recipient_checks,no_header_body_checks,no_milters
  -o smtpd_authorized_xforward_hosts=127.0.0.0/8
  -o mynetworks=127.0.0.0/8
  -o smtpd_recipient_restrictions=permit_mynetworks,reject
  -o smtpd_relay_restrictions=permit_mynetworks,reject
  -o smtpd_forbid_bare_newline=reject
  -o smtpd_forbid_bare_newline_exclusions=
# The same on a Unix-domain socket (public/reinject in the queue directory).
reinject  unix  n       -       n       -       10      smtpd
  -o syslog_name=postfix/reinject
  -o content_filter=
  -o receive_override_options=no_unknown_recipient_checks,no_header_body_checks,no_milters
  -o smtpd_authorized_xforward_hosts=127.0.0.0/8
  -o mynetworks=127.0.0.0/8
  -o smtpd_recipient_restrictions=permit_mynetworks,reject
  -o smtpd_relay_restrictions=permit_mynetworks,reject
  -o smtpd_forbid_bare_newline=reject
  -o smtpd_forbid_bare_newline_exclusions=
EOF
  fi
}

pf() { "$@" -c "$(PF_ETC)"; }

postfix_start() {
  "$PY" "$HERE/ports.py" check "$P_SMTP" "$P_REINJECT" || fail "a Postfix port is taken"
  postfix -c "$(PF_ETC)" start >>"$T/postfix/start.out" 2>&1 \
    || { cat "$T/postfix/start.out"; fail "postfix did not start"; }
  wait_for 30 "Postfix's smtpd to listen" port_open "$P_SMTP"
  wait_for 30 "the re-injection smtpd to listen" port_open "$P_REINJECT"
}

# postfix_reload: returns once the master has re-read its configuration (its log line) and the
# idle daemons of the old configuration have had a moment to go.
reloads_logged() { grep -c " postfix/master\[[0-9]*\]: reload -- " "$T/postfix/maillog"; }
reloaded_since() { [ "$(reloads_logged)" -gt "$1" ]; }
postfix_reload() {
  local before
  before=$(reloads_logged || true)
  postfix -c "$(PF_ETC)" reload >>"$T/postfix/start.out" 2>&1 || fail "postfix reload failed"
  wait_for 20 "Postfix to reload" reloaded_since "$before"
  sleep 0.5
}

postfix_stop() {
  [ -f "$T/postfix/queue/pid/master.pid" ] || return 0
  postfix -c "$(PF_ETC)" stop >>"$T/postfix/start.out" 2>&1 || true
  local i pid
  pid=$(tr -d ' ' <"$T/postfix/queue/pid/master.pid" 2>/dev/null)
  for i in $(seq 1 50); do
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.2
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# set_content_filter NEXTHOP: mail goes to quillgate at NEXTHOP ("inet:127.0.0.1:PORT" or
# "unix:PATH"); an empty NEXTHOP turns the filter off.
set_content_filter() {
  local filter=""
  [ -n "$1" ] && filter="quillgate:$1"
  postconf -c "$(PF_ETC)" -e "content_filter = $filter" || fail "postconf failed"
  postfix_reload
}

queue_empty() { postqueue -c "$(PF_ETC)" -p 2>/dev/null | grep "Mail queue is empty" >/dev/null; }
queue_flush() { postqueue -c "$(PF_ETC)" -f || fail "postqueue -f failed"; }

# ---------------------------------------------------------------------------------------------
# quillgate

QG_PID=""
QG_LOG_DIR() { echo "$T/quillgate/log"; }

# quillgate_start CONFIG-BODY: writes quillgate.conf and starts the daemon in the foreground, in
# the background of the suite, with its working directory in $T/quillgate.
quillgate_start() {
  local q=$T/quillgate
  mkdir -p "$q/log"
  printf '%s\n' "$1" >"$q/quillgate.conf"
  if [ -n "${QG_LISTEN_PORT:-}" ]; then
    "$PY" "$HERE/ports.py" check "$QG_LISTEN_PORT" || fail "quillgate's port is taken"
  fi
  (cd "$q" && exec "$QUILLGATE" "$q/quillgate.conf" >>"$q/stdout" 2>&1) &
  QG_PID=$!
  wait_for 20 "quillgate to accept connections" quillgate_ready
}

# Ready: the TCP port accepts connections, or the socket has its mode and owner (they are set
# after the socket listens, and the start line is logged after them).
quillgate_ready() {
  kill -0 "$QG_PID" 2>/dev/null || fail "quillgate exited at start-up"
  if [ -n "${QG_LISTEN_PORT:-}" ]; then
    port_open "$QG_LISTEN_PORT"
  else
    test -S "$QG_LISTEN_SOCKET" &&
      grep -F "LMTP server started on Unix socket $QG_LISTEN_SOCKET..." "$(QG_LOG_DIR)"/quillgate_*.log
  fi
}

# quillgate_stop: SIGTERM, then the exit status must be 0 (an orderly stop).
quillgate_stop() {
  [ -n "$QG_PID" ] || return 0
  local pid=$QG_PID rc=0 i
  QG_PID=""
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    fail "quillgate did not stop within 10 s of SIGTERM"
  fi
  wait "$pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "quillgate exited with status $rc after SIGTERM"
  quillgate_check_sanitizers
}

# A sanitizer report in quillgate's output fails the suite even when the process went on.
quillgate_check_sanitizers() {
  if grep -E "ERROR: (Address|Leak)Sanitizer|runtime error:" "$T/quillgate/stdout" >/dev/null 2>&1; then
    fail "quillgate's output holds a sanitizer report"
  fi
}

# For the EXIT traps: stops quillgate, Postfix and Rspamd without failing, and keeps Rspamd's
# compiled patterns for the next run when the run (status $1) went well.
stop_all_quietly() {
  quillgate_stop_quietly
  postfix_stop
  rspamd_stop_quietly
  [ "$1" -eq 0 ] && rspamd_save_cache
  return 0
}

# For the EXIT trap: stops what is still running without failing.
quillgate_stop_quietly() {
  [ -n "$QG_PID" ] || return 0
  kill -TERM "$QG_PID" 2>/dev/null
  local i
  for i in $(seq 1 50); do kill -0 "$QG_PID" 2>/dev/null || break; sleep 0.2; done
  kill -KILL "$QG_PID" 2>/dev/null
  wait "$QG_PID" 2>/dev/null
  QG_PID=""
}

rspamd_stop_quietly() {
  local pid i
  pid=$(rspamd_pid) || return 0
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.2; done
  kill -KILL "$pid" 2>/dev/null
}
