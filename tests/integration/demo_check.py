#!/usr/bin/env python3
"""Runs scripts/demo.sh once and checks what it prints for each of its three messages, and that
it leaves no file and no process behind.

  demo_check.py DEMO-SCRIPT QUILLGATE-BINARY
"""
import os
import re
import subprocess
import sys
import tempfile

QID = r"[0-9A-F]{6,}"

# For each message: lines that must be there (regular expressions, searched line by line in the
# message's part of the output) and texts that must not.
EXPECTED = {
    1: {
        "title": "a plain message",
        "present": [
            r'^    "no action", score [0-9.]+ of 15\.00 to reject',
            rf"^    postfix/smtpd: (?P<qid>{QID}): client=localhost\[127\.0\.0\.1\]$",
            rf"^    postfix/quillgate/lmtp: (?P=qid): to=<alice@example\.test>, .*dsn=2\.0\.0, "
            r"status=sent \(250 OK: Message accepted for scanning\)$",
            rf"^    postfix/reinject/smtpd: (?P<qid2>{QID}): client=localhost\[127\.0\.0\.1\], "
            r"orig_queue_id=(?P=qid), orig_client=localhost\[127\.0\.0\.1\]$",
            r"^    postfix/virtual: (?P=qid2): to=<alice@example\.test>, relay=virtual, dsn=2\.0\.0, "
            r"status=sent \(delivered to maildir\)$",
            r"^--- Headers of the message delivered to alice's Maildir$",
            r"^    X-Spam-Status: No, score=[0-9.]+$",
            r"^    X-Rspamd-Action: no action$",
            r"^    X-Rspamd-Queue-Id: (?P=qid)$",
            r"^    X-Spamd-Result: default: False \[",
            r"^    Subject: Lunch on Friday$",
            r"\[info\] Starting LMTP session \[0{16}\] from local$",
            r"\[info\] \[0{16}\] XFORWARD data received - ADDR: 127\.0\.0\.1, NAME: localhost, "
            r"HELO: client\.example\.test, IDENT: (?P=qid)$",
            r"\[info\] \[0{16}\] Processing message$",
            r"\[info\] \[0{16}\] Resetting session$",
        ],
        "absent": [],
    },
    2: {
        "title": "the GTUBE test message (Rspamd rejects it)",
        "present": [
            r'^    "reject", score 15\.00 of 15\.00 to reject$',
            r'^      forced: reject "Gtube pattern"',
            rf"^    postfix/quillgate/lmtp: (?P<qid>{QID}): to=<bob@example\.test>, .*dsn=5\.7\.1, "
            r"status=bounced \(host .* said: 554 5\.7\.1 Message rejected due to content policies",
            rf"^    postfix/bounce: (?P=qid): sender non-delivery notification: {QID}$",
            r"^    Diagnostic-Code: smtp; 554 5\.7\.1 Message rejected due to content policies$",
            r"\[info\] \[0{15}1\] XFORWARD data received - .*IDENT: (?P=qid)$",
        ],
        "absent": ["postfix/reinject/smtpd", "postfix/virtual", "Headers of the message"],
    },
    3: {
        "title": 'a message with forged "X-Spam: no" and "X-Spam-Status: No, score=-50 (forged)"',
        "present": [
            r'^    "no action", score [0-9.]+ of 15\.00 to reject',
            rf"^    postfix/quillgate/lmtp: (?P<qid>{QID}): to=<carol@example\.test>, .*"
            r"status=sent \(250 OK: Message accepted for scanning\)$",
            rf"^    postfix/virtual: {QID}: to=<carol@example\.test>, relay=virtual, dsn=2\.0\.0, "
            r"status=sent \(delivered to maildir\)$",
            r"^    X-Spam-Status: No, score=[0-9.]+$",
            r"^    X-Rspamd-Action: no action$",
            r"^    Subject: Minutes of the meeting$",
            r"\[info\] \[0{15}2\] XFORWARD data received - .*IDENT: (?P=qid)$",
        ],
        # The forged headers are gone from the delivered message.
        "absent": ["    X-Spam: no", "score=-50"],
    },
}


def leftovers(parent):
    """What is left in the demo's temporary parent directory, and processes that name it."""
    files = sorted(os.listdir(parent))
    ps = subprocess.run(["ps", "-eo", "pid=,args="], capture_output=True, text=True).stdout
    procs = sorted(l.strip() for l in ps.splitlines() if parent in l and "ps -eo" not in l)
    return files, procs


def check_message(n, part, problems):
    want = EXPECTED[n]
    if not part or part[0] != f"=== Message {n} of 3: {want['title']}":
        problems.append(f"message {n}: no section titled {want['title']!r}")
        return
    groups = {}
    for pattern in want["present"]:
        # Named groups seen earlier stand for their values (a queue id must be the same one).
        regex = pattern
        for name, value in groups.items():
            regex = regex.replace(f"(?P={name})", re.escape(value))
        try:
            found = next((m for m in map(re.compile(regex).search, part) if m), None)
        except re.error:
            found = None  # it names a group that an earlier, failed pattern would have set
        if found is None:
            problems.append(f"message {n}: no line matching {regex}")
            continue
        groups.update({k: v for k, v in found.groupdict().items() if v is not None})
    for text in want["absent"]:
        for line in part[1:]:
            if text in line:
                problems.append(f"message {n}: unexpected {text!r} in: {line}")
    sections = [l for l in part if l.startswith("--- ")]
    if len(sections) != 4 or not sections[0].startswith("--- Verdict") \
            or not sections[3].startswith("--- quillgate's log"):
        problems.append(f"message {n}: sections are {sections!r}")


def main(demo, quillgate):
    # The demo's temporary directory, and any its peers make, go below a parent of this run's
    # own (TMPDIR), which must be empty again afterwards.
    parent = tempfile.mkdtemp(prefix="quillgate-demo-check.")
    os.chmod(parent, 0o755)
    env = dict(os.environ, TMPDIR=parent)
    run = subprocess.run(["bash", demo, "--quillgate", quillgate], capture_output=True,
                         text=True, timeout=500, env=env)
    out = run.stdout.splitlines()
    print(run.stdout, end="")
    print(run.stderr, end="", file=sys.stderr)
    problems = []
    if run.returncode != 0:
        problems.append(f"demo.sh exited with status {run.returncode}")
    starts = [i for i, l in enumerate(out) if l.startswith("=== Message ")]
    if len(starts) != 3:
        problems.append(f"{len(starts)} message sections instead of 3")
    bounds = starts + [next((i for i, l in enumerate(out) if l.startswith("Stopping ")), len(out))]
    for n, (a, b) in enumerate(zip(bounds, bounds[1:]), 1):
        if n <= 3:
            check_message(n, out[a:b], problems)
    for line in ("Stopping quillgate, Postfix and Rspamd", "Removing <work>", "Done."):
        if line not in out:
            problems.append(f"no line {line!r}")
    files, procs = leftovers(parent)
    if files or procs:
        problems.append(f"left behind in {parent}: {files}; processes: {procs}")
    else:
        os.rmdir(parent)
    for p in problems:
        print(f"FAIL: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
