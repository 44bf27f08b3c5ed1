# The cases of the end-to-end suite; each one sends mail through Postfix and checks what reached
# the Maildirs and what Postfix's queue and log say. Sourced by run.sh after lib.sh.

# run_case NAME: runs case_NAME on empty Maildirs, with the mail log read from this point on.
run_case() {
  local name=$1 t0
  t0=$(date +%s)
  log "case $name"
  rm -rf "$T/mail"/*/
  LOG_START=$(wc -l <"$T/postfix/maillog")
  CASE=$name
  "case_$name"
  log "case $name passed ($(( $(date +%s) - t0 ))s)"
}

# The text, as an extended regular expression that matches it literally.
re_escape() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|/]/\\&/g'; }

# The mail log written since the case began.
case_log() { tail -n +"$((LOG_START + 1))" "$T/postfix/maillog"; }
log_has() { case_log | grep -E -- "$1" >/dev/null; }
expect_log() { log_has "$1" || fail "$CASE: the mail log has no line matching: $1"; }

mail_files() { find "$T/mail/$1/new" "$T/mail/$1/cur" -type f 2>/dev/null | sort; }
mail_count() { mail_files "$1" | wc -l; }
count_is() { [ "$(mail_count "$1")" -eq "$2" ]; }

# expect_delivered MAILBOX N: waits until N messages are there and the queue is empty, then
# checks that no further copy arrived.
expect_delivered() {
  wait_for 60 "$CASE: $2 message(s) in $1's Maildir" count_is "$1" "$2"
  wait_for 60 "$CASE: the queue to be empty" queue_empty
  count_is "$1" "$2" || fail "$CASE: $1 has $(mail_count "$1") messages, expected $2"
}

expect_nothing_delivered() {
  local mb
  for mb in "${MAILBOXES[@]}"; do
    count_is "$mb" 0 || fail "$CASE: $mb received $(mail_count "$mb") message(s), expected none"
  done
}

# check_mail MAILBOX ORIGINAL OPTIONS...: mailtool.py check on the one message in MAILBOX.
check_mail() {
  local mb=$1 orig=$2 f
  shift 2
  f=$(mail_files "$mb" | head -n 1)
  "$PY" "$HERE/mailtool.py" check "$f" "$orig" "$@" \
    || { echo "----- $f -----"; head -c 3000 "$f"; echo; fail "$CASE: the message in $mb's Maildir is not as expected"; }
}

make_msg() {  # make_msg KIND NAME -> path of the new message
  local f=$T/msgs/$2.eml
  mkdir -p "$T/msgs"
  "$PY" "$HERE/mailtool.py" make "$1" "$f" "$2.$$@client.example.test"
  echo "$f"
}

# swaks_send FROM TO[,TO] FILE: submits FILE to Postfix's smtpd with swaks. The data are given
# with their closing dot, since swaks would otherwise add a line break of its own before it.
swaks_send() {
  cp "$3" "$3.swaks"
  printf '.\r\n' >>"$3.swaks"
  swaks --server 127.0.0.1 --port "$P_SMTP" --timeout 120 --from "$1" --to "$2" \
    --ehlo client.example.test --data "@$3.swaks" >>"$T/swaks.out" 2>&1 \
    || { tail -n 20 "$T/swaks.out"; fail "$CASE: swaks could not submit $3"; }
}

# rspamd_action FILE: the action Rspamd's /checkV2 gives for the message in FILE.
rspamd_action() {
  "$PY" - "$P_RSPAMD" "$1" <<'PY'
import json, socket, sys
body = open(sys.argv[2], "rb").read()
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), 10)
s.settimeout(30)
s.sendall(b"POST /checkV2 HTTP/1.0\r\nIP: 127.0.0.1\r\nContent-Length: %d\r\n\r\n"
          % len(body) + body)
data = b""
while chunk := s.recv(65536):
    data += chunk
print(json.loads(data.partition(b"\r\n\r\n")[2])["action"])
PY
}

# Postfix and Rspamd alone prove the harness: mail is delivered without a filter, and Rspamd
# gives the verdicts the later cases rely on.
case_baseline_without_filter() {
  local plain gtube action
  plain=$(make_msg plain baseline)
  gtube=$(make_msg gtube baseline-gtube)
  action=$(rspamd_action "$plain")
  [ "$action" != reject ] || fail "Rspamd rejects the plain message"
  action=$(rspamd_action "$gtube")
  [ "$action" = reject ] || fail "Rspamd gives '$action' for GTUBE, not reject"
  # The re-injection smtpd refuses bare line feeds, so every forwarded message proves that
  # quillgate's line ends (added and folded headers included) are CRLF.
  "$PY" "$HERE/mailtool.py" bare-lf "$P_REINJECT" >>"$T/send.out" 2>&1 \
    || fail "the re-injection smtpd accepted a message with a bare line feed"
  set_content_filter ""
  swaks_send sender@example.test alice@example.test "$plain"
  expect_delivered alice 1
  check_mail alice "$plain" --count Received=1 --header-value Delivered-To=alice@example.test
  expect_log "postfix/virtual.*to=<alice@example.test>.*status=sent"
}

# ---------------------------------------------------------------------------------------------
# quillgate between Postfix and Rspamd

# qg_config_tcp ON_REJECT: LMTP on a TCP port, Rspamd and re-injection over TCP.
qg_config_tcp() {
  cat <<EOF2
# quillgate for the end-to-end suite: TCP everywhere.
rspamd { host = "127.0.0.1"; port = $P_RSPAMD; }
lmtp {
  listen_port = $P_LMTP;
  forward_host = "127.0.0.1";
  forward_port = $P_REINJECT;
  session { timeout_seconds = 120; }
}
log { file = "$(QG_LOG_DIR)/quillgate.log"; level = "debug"; retention_days = 0; }
action { on_reject = "$1"; }
EOF2
}

# qg_config_unix: LMTP on a Unix-domain socket that Postfix's LMTP client (user postfix) can
# use, Rspamd and re-injection over Unix-domain sockets.
qg_config_unix() {
  cat <<EOF2
# quillgate for the end-to-end suite: Unix-domain sockets everywhere.
rspamd { socket_path = "$T/rspamd/run/normal.sock"; }
lmtp {
  listen_socket = "$T/quillgate/lmtp.sock:postfix:postfix:0660";
  forward_socket_path = "$T/postfix/queue/public/reinject";
}
log { file = "$(QG_LOG_DIR)/quillgate.log"; level = "debug"; retention_days = 0; }
action { on_reject = "reject"; }
EOF2
}

# quillgate_tcp ON_REJECT: (re)starts quillgate on TCP and points Postfix's filter at it.
quillgate_tcp() {
  quillgate_stop
  QG_LISTEN_PORT=$P_LMTP QG_LISTEN_SOCKET="" quillgate_start "$(qg_config_tcp "$1")"
  set_content_filter "inet:127.0.0.1:$P_LMTP"
}

quillgate_unix() {
  quillgate_stop
  QG_LISTEN_PORT="" QG_LISTEN_SOCKET=$T/quillgate/lmtp.sock quillgate_start "$(qg_config_unix)"
  set_content_filter "unix:$T/quillgate/lmtp.sock"
}

# Queue ids of the message with this Message-ID: the one Postfix's smtpd received, and the one
# that quillgate re-injected.
qid_received() {
  local q
  for q in $(case_log | sed -nE "s/.* postfix\/cleanup\[[0-9]+\]: ([0-9A-F]+): message-id=<$1>.*/\1/p"); do
    case_log | grep -E -- " postfix/smtpd\[[0-9]+\]: $q: client=" >/dev/null && { echo "$q"; return 0; }
  done
  return 1
}
qid_reinjected() {
  local q
  for q in $(case_log | sed -nE "s/.* postfix\/cleanup\[[0-9]+\]: ([0-9A-F]+): message-id=<$1>.*/\1/p"); do
    case_log | grep -E -- " postfix/reinject/smtpd\[[0-9]+\]: $q: client=" >/dev/null && { echo "$q"; return 0; }
  done
  return 1
}

msgid_of() { sed -nE 's/^Message-ID: <(.*)>\r?$/\1/p' "$1" | head -n 1; }

# expect_filter_reply MSGID RCPT STATUS REPLY: Postfix's LMTP client logged this outcome for
# this recipient of the message as received.
expect_filter_reply() {
  local q
  q=$(qid_received "$1") || fail "$CASE: Postfix's smtpd did not receive <$1>"
  expect_log " postfix/quillgate/lmtp\[[0-9]+\]: $q: to=<$(re_escape "$2")>, .*status=$3 \(.*$4"
}

# expect_xforward MSGID RCPT...: the re-injection smtpd took the original client and queue id
# from quillgate's XFORWARD, and the re-injected copy was delivered to each RCPT.
expect_xforward() {
  local id=$1 q0 q1 r
  shift
  q0=$(qid_received "$id") || fail "$CASE: Postfix's smtpd did not receive <$id>"
  q1=$(qid_reinjected "$id") || fail "$CASE: <$id> was not re-injected"
  expect_log " postfix/reinject/smtpd\[[0-9]+\]: $q1: client=localhost\[127\.0\.0\.1\], orig_queue_id=$q0, orig_client=localhost\[127\.0\.0\.1\]$"
  for r in "$@"; do
    expect_log " postfix/virtual\[[0-9]+\]: $q1: to=<$(re_escape "$r")>, .*status=sent \(delivered to maildir\)"
  done
}

# The envelope reached Rspamd: its log line for the message names the queue id, the client
# address, the sender and the recipients that quillgate passed on.
expect_rspamd_saw() {
  local id=$1 rcpts=$2 q0
  q0=$(qid_received "$id")
  grep -F "id: <$id>, qid: <$q0>, ip: 127.0.0.1, from: <sender@example.test>" \
    "$T/rspamd/log/rspamd.log" | grep -F "rcpts: <$rcpts>" >/dev/null \
    || fail "$CASE: Rspamd's log has no line for <$id> with qid $q0, ip 127.0.0.1 and rcpts $rcpts"
}

# The rspamd headers every forwarded message must carry; X-Spam, which the milter block removes;
# the Received headers whole.
RSPAMD_HEADERS=(--folded X-Spamd-Result --present X-Spam-Status --present X-Rspamd-Server
                --present X-Rspamd-Action --absent X-Spam --all-folded Received)

# Rspamd answers GTUBE with a pre-result and no milter block, so quillgate forwards it with no
# header edits: only Postfix's own headers are added.
AS_IS=(--absent X-Spamd-Result --absent X-Spam-Status --absent X-Rspamd-Action --count Received=2)

# A message for two recipients, submitted with DSN parameters (NOTIFY, ORCPT, ENVID, RET). Postfix
# passes none of them on to quillgate, whose LHLO reply announces no DSN; it reports the
# success to the sender as soon as quillgate has taken the message.
plain_for_two() {
  local m id
  m=$(make_msg plain "$CASE")
  id=$(msgid_of "$m")
  "$PY" "$HERE/mailtool.py" send "$P_SMTP" sender@example.test \
    alice@example.test,bob@example.test "$m" --dsn >>"$T/send.out" 2>&1 \
    || fail "$CASE: submission failed: $(tail -n 3 "$T/send.out")"
  expect_delivered alice 1
  expect_delivered bob 1
  # Rspamd got the queue id (XFORWARD IDENT) and echoes it in X-Rspamd-Queue-Id.
  local q0
  q0=$(qid_received "$id")
  check_mail alice "$m" "${RSPAMD_HEADERS[@]}" --count Received=2 \
    --header-value Delivered-To=alice@example.test --header-value X-Rspamd-Queue-Id="$q0"
  check_mail bob "$m" "${RSPAMD_HEADERS[@]}" --count Received=2 \
    --header-value Delivered-To=bob@example.test --header-value X-Rspamd-Queue-Id="$q0"
  expect_filter_reply "$id" alice@example.test sent "250 OK: Message accepted for scanning"
  expect_filter_reply "$id" bob@example.test sent "250 OK: Message accepted for scanning"
  expect_xforward "$id" alice@example.test bob@example.test
  expect_rspamd_saw "$id" "alice@example.test,bob@example.test"
}

case_plain_tcp() {
  quillgate_tcp reject
  plain_for_two
}

# A second message over an LMTP connection that Postfix kept (this transport caches it for
# 10 s): it starts with RSET, and its XFORWARD data are its own, not those of the first one.
case_connection_reuse() {
  local m1 m2 id2
  m1=$(make_msg plain "$CASE-1")
  m2=$(make_msg plain "$CASE-2")
  id2=$(msgid_of "$m2")
  swaks_send sender@example.test carol@example.test "$m1"
  expect_delivered carol 1
  swaks_send sender@example.test alice@example.test "$m2"
  expect_delivered alice 1
  local q
  q=$(qid_received "$id2")
  check_mail alice "$m2" "${RSPAMD_HEADERS[@]}" --header-value X-Rspamd-Queue-Id="$q"
  # The cached connection may already have carried the previous case's message: any reuse counts.
  expect_log " postfix/quillgate/lmtp\[[0-9]+\]: $q: to=<alice@example.test>, .*conn_use=([2-9]|[1-9][0-9]+),.*status=sent"
  expect_xforward "$id2" alice@example.test
}

# The null sender (a bounce from elsewhere) and an 8-bit sender address over SMTPUTF8, which
# quillgate announces: both pass unchanged to the re-injection smtpd.
case_unusual_senders() {
  local m1 m2
  m1=$(make_msg plain "$CASE-null")
  m2=$(make_msg plain "$CASE-utf8")
  "$PY" "$HERE/mailtool.py" send "$P_SMTP" "" alice@example.test "$m1" >>"$T/send.out" 2>&1 \
    || fail "$CASE: submission with the null sender failed"
  "$PY" "$HERE/mailtool.py" send "$P_SMTP" "sënder@example.test" bob@example.test "$m2" \
    --smtputf8 >>"$T/send.out" 2>&1 || fail "$CASE: submission over SMTPUTF8 failed"
  expect_delivered alice 1
  expect_delivered bob 1
  check_mail alice "$m1" "${RSPAMD_HEADERS[@]}" --header-value "Return-Path=<>"
  check_mail bob "$m2" "${RSPAMD_HEADERS[@]}" --header-value "Return-Path=<sënder@example.test>"
  expect_xforward "$(msgid_of "$m1")" alice@example.test
  expect_xforward "$(msgid_of "$m2")" bob@example.test
}

case_gtube_reject() {
  local m id
  m=$(make_msg gtube "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@remote.test alice@example.test,bob@example.test "$m"
  wait_for 60 "$CASE: Postfix to bounce the message" \
    log_has " postfix/quillgate/lmtp\[[0-9]+\]: .*to=<bob@example.test>, .*status=bounced"
  expect_filter_reply "$id" alice@example.test bounced "554 5.7.1 Message rejected due to content policies"
  expect_filter_reply "$id" bob@example.test bounced "554 5.7.1 Message rejected due to content policies"
  wait_for 60 "$CASE: the queue to be empty" queue_empty
  expect_nothing_delivered
  ! qid_reinjected "$id" >/dev/null || fail "$CASE: the rejected message was re-injected"
}

case_gtube_accept() {
  local m id
  quillgate_tcp accept
  m=$(make_msg gtube "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@remote.test alice@example.test,bob@example.test "$m"
  expect_delivered alice 1
  expect_delivered bob 1
  check_mail alice "$m" "${AS_IS[@]}" --header-value Delivered-To=alice@example.test
  check_mail bob "$m" "${AS_IS[@]}" --header-value Delivered-To=bob@example.test
  expect_filter_reply "$id" alice@example.test sent "250 OK: Message accepted\)"
  expect_filter_reply "$id" bob@example.test sent "250 OK: Message accepted\)"
  expect_xforward "$id" alice@example.test bob@example.test
}

# on_reject changed by SIGHUP: connections accepted after the reload follow the new setting.
case_gtube_rewrite_recipients() {
  local m id
  qg_config_tcp rewrite_recipients >"$T/quillgate/quillgate.conf"
  kill -HUP "$QG_PID"
  wait_for 20 "quillgate to reload its configuration" \
    grep -F "Configuration reloaded successfully." "$(QG_LOG_DIR)"/quillgate_*.log
  # Postfix's reload drops its cached LMTP connections, which keep the settings they were
  # accepted with.
  postfix_reload
  m=$(make_msg gtube "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@remote.test alice@example.test,bob@example.test "$m"
  expect_delivered alice 1
  expect_delivered bob 1
  check_mail alice "$m" "${AS_IS[@]}" --header-value Delivered-To=alice+spam@example.test \
    --header-value X-Original-To=alice+spam@example.test
  check_mail bob "$m" "${AS_IS[@]}" --header-value Delivered-To=bob+spam@example.test
  expect_filter_reply "$id" alice@example.test sent "250 OK: Message accepted \(recipients rewritten\)"
  expect_filter_reply "$id" bob@example.test sent "250 OK: Message accepted \(recipients rewritten\)"
  expect_xforward "$id" alice+spam@example.test bob+spam@example.test
}

# Rejected with the symbol QUARANTINED: Postfix is told 250 and nothing is re-injected.
case_quarantine() {
  local m id
  m=$(make_msg quarantine "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@remote.test alice@example.test,bob@example.test "$m"
  wait_for 60 "$CASE: Postfix to hand the message to quillgate" \
    log_has " postfix/quillgate/lmtp\[[0-9]+\]: .*to=<bob@example.test>, .*status="
  expect_filter_reply "$id" alice@example.test sent "250 OK: Message quarantined"
  expect_filter_reply "$id" bob@example.test sent "250 OK: Message quarantined"
  wait_for 60 "$CASE: the queue to be empty" queue_empty
  expect_nothing_delivered
  ! qid_reinjected "$id" >/dev/null || fail "$CASE: the quarantined message was re-injected"
}

# Scored between the rewrite_subject and the reject score: "rewrite subject". The message is
# marked like "add header": Rspamd's X-Spam headers replace the sender's forged "X-Spam: no" and
# "X-Spam-Status: No, score=-50 (forged)", and Rspamd's new Subject replaces the old one in its
# place.
case_rewrite_subject() {
  local m id
  m=$(make_msg spam "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@remote.test alice@example.test "$m"
  expect_delivered alice 1
  check_mail alice "$m" "${RSPAMD_HEADERS[@]}" --replaced X-Spam-Status --replaced Subject \
    --count X-Spam-Status=1 --header-prefix "X-Spam-Status=Yes, score=" \
    --header-value "X-Rspamd-Action=rewrite subject" \
    --count Subject=1 --header-value "Subject=*** SPAM *** Spam test" --follows Subject=To
  expect_filter_reply "$id" alice@example.test sent "250 OK: Message accepted for scanning"
  expect_xforward "$id" alice@example.test
}

# Mail of signed.example.test is signed with two keys through milter headers: Rspamd adds
# DKIM-Signature twice (an array in its reply), and both arrive, with every Received header whole.
case_header_array() {
  local m id
  m=$(make_msg signed "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@signed.example.test alice@example.test "$m"
  expect_delivered alice 1
  check_mail alice "$m" "${RSPAMD_HEADERS[@]}" --count DKIM-Signature=2 \
    --header-prefix "DKIM-Signature=v=1; a=rsa-sha256; c=relaxed/relaxed; d=signed.example.test; s=rsa;" \
    --header-prefix "DKIM-Signature=v=1; a=ed25519-sha256; c=relaxed/relaxed; d=signed.example.test; s=ed25519;"
  grep -F "id: <$id>" "$T/rspamd/log/rspamd.log" \
    | grep -F "DKIM_SIGNED(0.00){signed.example.test:s=rsa;signed.example.test:s=ed25519;}" >/dev/null \
    || fail "$CASE: Rspamd's log does not show <$id> signed with both keys"
  expect_filter_reply "$id" alice@example.test sent "250 OK: Message accepted for scanning"
  expect_xforward "$id" alice@example.test
}

# expect_deferred MSGID REPLY: Postfix keeps the message in its queue with quillgate's reply.
expect_deferred() {
  wait_for 60 "$CASE: Postfix to defer the message" \
    log_has " postfix/quillgate/lmtp\[[0-9]+\]: .*status=deferred .*$2"
  expect_filter_reply "$1" alice@example.test deferred "$2"
  postqueue -c "$(PF_ETC)" -p | grep -F "$2" >/dev/null \
    || fail "$CASE: postqueue -p does not show the message deferred with: $2"
  expect_nothing_delivered
}

case_rspamd_stopped() {
  local m id
  quillgate_tcp reject
  m=$(make_msg plain "$CASE")
  id=$(msgid_of "$m")
  rspamd_stop
  swaks_send sender@example.test alice@example.test,bob@example.test "$m"
  expect_deferred "$id" "451 Temporary local problem - could not connect to Rspamd"
  rspamd_start
  queue_flush
  expect_delivered alice 1
  expect_delivered bob 1
  check_mail alice "$m" "${RSPAMD_HEADERS[@]}"
  expect_xforward "$id" alice@example.test bob@example.test
}

case_reinjection_stopped() {
  local m id
  m=$(make_msg plain "$CASE")
  id=$(msgid_of "$m")
  postfix_write_master no
  postfix_reload
  wait_for 30 "the re-injection smtpd to stop listening" port_closed "$P_REINJECT"
  swaks_send sender@example.test alice@example.test,bob@example.test "$m"
  expect_deferred "$id" "451 Temporary local problem, could not forward email"
  postfix_write_master yes
  postfix_reload
  wait_for 30 "the re-injection smtpd to listen again" port_open "$P_REINJECT"
  queue_flush
  expect_delivered alice 1
  expect_delivered bob 1
  check_mail alice "$m" "${RSPAMD_HEADERS[@]}"
  expect_xforward "$id" alice@example.test bob@example.test
}

case_ten_megabytes() {
  local m id
  m=$(make_msg big "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@example.test alice@example.test "$m"
  expect_delivered alice 1
  check_mail alice "$m" --present X-Spamd-Result
  expect_xforward "$id" alice@example.test
}

# An LMTP client that sends bare line feeds, with a line ".." that becomes "." once unstuffed:
# every line reaches the re-injection smtpd (which refuses bare line feeds) with CRLF and its dot
# doubled again, so the smtpd takes the whole message, and no line of it as a command.
case_bare_line_feeds() {
  local m=$T/msgs/$CASE.eml f
  quillgate_tcp reject
  mkdir -p "$T/msgs"
  printf 'Subject: x\n\nhello\n..\nMAIL FROM:<evil@example.com>\n..smuggled\n.\r\n' >"$m"
  "$PY" "$HERE/mailtool.py" lmtp-raw "$P_LMTP" sender@example.test alice@example.test "$m" \
    >>"$T/send.out" 2>&1 || fail "$CASE: quillgate did not accept it: $(tail -n 1 "$T/send.out")"
  expect_delivered alice 1
  f=$(mail_files alice | head -n 1)
  [ "$(tail -n 4 "$f")" = "$(printf 'hello\n.\nMAIL FROM:<evil@example.com>\n.smuggled')" ] \
    || { tail -n 6 "$f"; fail "$CASE: the delivered body is not the one sent"; }
  ! log_has "evil@example\.com" || fail "$CASE: a line of the message reached the smtpd as a command"
}

# Rspamd with Authentication-Results as its only milter header: it asks for it at position 1,
# which falls on the continuation lines of the folded Received header that Postfix puts first.
# The header goes below the Received header, which stays whole.
case_authentication_results() {
  local m id conf=$T/rspamd/local/local.d/milter_headers.conf saved
  saved=$(cat "$conf")
  quillgate_tcp reject
  rspamd_stop
  printf '%s\n' 'skip_local = false;' 'skip_authenticated = false;' \
    'use = ["authentication-results"];' >"$conf"
  rspamd_start
  m=$(make_msg plain "$CASE")
  id=$(msgid_of "$m")
  swaks_send sender@example.test alice@example.test "$m"
  expect_delivered alice 1
  check_mail alice "$m" --count Received=2 --all-folded Received \
    --follows Authentication-Results=Received --absent X-Spamd-Result --absent X-Spam
  expect_xforward "$id" alice@example.test
  rspamd_stop
  printf '%s\n' "$saved" >"$conf"
  rspamd_start
}

case_plain_unix() {
  quillgate_unix
  local mode
  mode=$(stat -c '%U:%G %a' "$T/quillgate/lmtp.sock")
  [ "$mode" = "postfix:postfix 660" ] || fail "$CASE: the LMTP socket is $mode, expected postfix:postfix 660"
  plain_for_two
}

run_all_cases() {
  run_case plain_tcp
  run_case connection_reuse
  run_case unusual_senders
  run_case gtube_reject
  run_case gtube_accept
  run_case gtube_rewrite_recipients
  run_case quarantine
  run_case rspamd_stopped
  run_case reinjection_stopped
  run_case ten_megabytes
  run_case bare_line_feeds
  run_case authentication_results
  run_case plain_unix
  run_case rewrite_subject
  run_case header_array
  quillgate_stop
}
