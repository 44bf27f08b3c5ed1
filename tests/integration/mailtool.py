#!/usr/bin/env python3
"""Test messages and Maildir checks of the end-to-end suite.

  mailtool.py make KIND FILE MESSAGE-ID   write a message with CRLF line ends: plain, quarantine,
                                          spam, signed, gtube, big
  mailtool.py send PORT FROM TO[,TO] FILE [--dsn] [--smtputf8]
                                          submit FILE over SMTP; --dsn adds NOTIFY and ORCPT;
                                          an empty FROM is the null sender
  mailtool.py bare-lf PORT                exit 0 when the SMTP server at PORT refuses a message
                                          that holds a bare line feed
  mailtool.py lmtp-raw PORT FROM TO FILE  one LMTP transaction whose DATA bytes are FILE as it
                                          is (its final "." line included); exit 0 on a 250
  mailtool.py check MAILDIR-FILE ORIGINAL [OPTIONS]
                                          compare a delivered message with the one sent
"""
import argparse
import email.utils
import hashlib
import os
import random
import smtplib
import sys

GTUBE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"


def headers(msgid, subject, extra=(), date="Thu, 10 Dec 2026 10:00:00 +0000"):
    lines = [
        "From: Sender <sender@example.test>",
        "To: Alice <alice@example.test>, Bob <bob@example.test>",
        f"Subject: {subject}",
        f"Date: {date}",
        f"Message-ID: <{msgid}>",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=utf-8",
        "Content-Transfer-Encoding: 8bit",
    ]
    lines.extend(extra)
    return lines


def make(kind, msgid):
    if kind == "plain":
        # An incoming X-Spam header, which Rspamd's milter block asks to remove; lines that
        # begin with dots (dot-stuffing on both SMTP hops, unstuffing on LMTP); 8-bit text.
        head = headers(msgid, "Plain message", ["X-Spam: yes",
                                                "X-Folded-By-Client: first part,",
                                                "\tsecond part"])
        body = [
            "Hello Alice and Bob,",
            "",
            ".",
            "..",
            ".leading dot",
            "...three dots",
            " . blank before dot",
            "Grüße aus Köln, naïve café, ½ € — ünïcödé 日本語",
            "\tTabbed line with trailing blanks   ",
            "",
            "",
            "Last line without anything after it.",
        ]
    elif kind == "quarantine":
        # Matched by the suite's Rspamd rule QUARANTINED.
        head = headers(msgid, "Quarantine test", ["X-Quarantine-Test: yes"])
        body = ["This message is to be quarantined."]
    elif kind == "spam":
        # Scored 17 by the suite's rule QUILLGATE_SPAM_TEST: "rewrite subject". A sender's forged
        # verdict headers come with it. Dated now, so that its score does not grow with its age.
        head = headers(msgid, "Spam test", ["X-Spam: no",
                                            "X-Spam-Status: No, score=-50 (forged)",
                                            "X-Spam-Test: yes"],
                       date=email.utils.formatdate())
        body = ["This message is to be marked as spam.", ".leading dot"]
    elif kind == "signed":
        # From the domain that the suite's Rspamd signs with two keys.
        head = headers(msgid, "Signed message")
        head[0] = "From: Sender <sender@signed.example.test>"
        body = ["This message is to be signed twice."]
    elif kind == "gtube":
        head = headers(msgid, "GTUBE test")
        body = ["This is the GTUBE test message.", "", GTUBE, ""]
    elif kind == "big":
        # About 10 MB of varied printable lines (a few begin with a dot).
        head = headers(msgid, "Big message")
        rng = random.Random(7)
        alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/ ."
        body, size = [], 0
        while size < 10 * 1024 * 1024:
            line = "".join(rng.choice(alphabet) for _ in range(76))
            if rng.random() < 0.01:
                line = "." + line[1:]
            body.append(line)
            size += len(line) + 2
    else:
        raise SystemExit(f"unknown kind {kind}")
    return ("\r\n".join(head) + "\r\n\r\n" + "\r\n".join(body) + "\r\n").encode()


def send(port, sender, rcpts, path, dsn, smtputf8=False):
    data = open(path, "rb").read()
    with smtplib.SMTP("127.0.0.1", port, timeout=60) as s:
        s.ehlo("client.example.test")
        mail_opts = ["BODY=8BITMIME", f"SIZE={len(data)}"] + (["SMTPUTF8"] if smtputf8 else [])
        if dsn:
            mail_opts += ["RET=HDRS", "ENVID=quillgate-e2e"]
        s.mail(sender, mail_opts)
        for r in rcpts:
            opts = []
            if dsn:
                local = r.split("@")[0]
                opts = ["NOTIFY=SUCCESS,FAILURE", f"ORCPT=rfc822;{local}.original@example.test"]
            code, msg = s.rcpt(r, opts)
            if code != 250:
                raise SystemExit(f"RCPT {r}: {code} {msg}")
        code, msg = s.data(data)
        if code != 250:
            raise SystemExit(f"DATA: {code} {msg}")
        print(msg.decode(errors="replace"))


def raw_transaction(port, greeting, sender, rcpt, data):
    """Talks SMTP or LMTP by hand, since smtplib would repair bare line feeds: one transaction
    whose DATA bytes (final line included) are sent as they are. Returns the reply to them."""
    import socket
    s = socket.create_connection(("127.0.0.1", port), 10)
    s.settimeout(60)
    f = s.makefile("rb")

    def reply():
        while True:
            line = f.readline()
            if not line:
                return b"(connection closed)"
            if line[3:4] != b"-":
                return line

    reply()
    for cmd in (greeting + b" client.example.test", b"MAIL FROM:<" + sender + b">",
                b"RCPT TO:<" + rcpt + b">", b"DATA"):
        s.sendall(cmd + b"\r\n")
        r = reply()
        if not r[:1] in (b"2", b"3"):
            raise SystemExit(f"{cmd.decode()}: {r!r}")
    s.sendall(data)
    r = reply()
    s.sendall(b"QUIT\r\n")
    reply()
    s.close()
    print(r.decode(errors="replace").strip())
    return r


def bare_lf_refused(port):
    r = raw_transaction(port, b"EHLO", b"sender@example.test", b"alice@example.test",
                        b"Subject: bare line feed\r\nX-Folded: a\n\tb\r\n\r\nbody\r\n.\r\n")
    return not r.startswith(b"2")


def split(raw):
    head, sep, body = raw.partition(b"\n\n")
    if not sep:
        raise ValueError("no blank line after the header block")
    return head, body


def header_fields(head):
    """Header block -> list of (name, [physical lines])."""
    fields = []
    for line in head.split(b"\n"):
        if line[:1] in (b" ", b"\t") and fields:
            fields[-1][1].append(line)
        else:
            fields.append((line.split(b":", 1)[0].decode(errors="replace"), [line]))
    return fields


def check(path, original, args):
    problems = []
    raw = open(path, "rb").read()
    orig = open(original, "rb").read()
    try:
        head, body = split(raw)
    except ValueError as e:
        return [str(e)]
    # Postfix stores mail with bare line feeds; the message was sent with CRLF.
    ohead, obody = split(orig.replace(b"\r\n", b"\n"))
    if body != obody:
        a = hashlib.sha256(body).hexdigest()[:16]
        b = hashlib.sha256(obody).hexdigest()[:16]
        problems.append(f"body differs: {len(body)} bytes ({a}) delivered, "
                        f"{len(obody)} bytes ({b}) sent")
    if b"\r" in head:
        problems.append("a carriage return is left in the delivered header block "
                        "(a line end was doubled)")
    fields = header_fields(head)
    names = [n.lower() for n, _ in fields]
    # The sender's headers arrive in their order, apart from the ones Rspamd removes or replaces.
    removed = {h.lower() for h in args.absent + args.replaced}
    want = [f for f in header_fields(ohead) if f[0].lower() not in removed]
    pos = 0
    for name, lines in want:
        try:
            pos = next(i for i in range(pos, len(fields)) if fields[i][1] == lines) + 1
        except StopIteration:
            problems.append(f"header {name!r} is missing, changed or out of order")
    for h in args.present:
        if h.lower() not in names:
            problems.append(f"header {h} is missing")
    for h in args.absent:
        if h.lower() in names:
            problems.append(f"header {h} is still there")
    for h in args.folded:
        found = [lines for n, lines in fields if n.lower() == h.lower()]
        if not found:
            problems.append(f"header {h} (expected folded) is missing")
        elif len(found[0]) < 2 or not all(l[:1] == b"\t" for l in found[0][1:]):
            problems.append(f"header {h} is not folded onto tab-indented lines: {found[0]!r}")
    for h in args.all_folded:
        for lines in [lines for n, lines in fields if n.lower() == h.lower()]:
            if len(lines) < 2 or not all(l[:1] == b"\t" for l in lines[1:]):
                problems.append(f"a header {h} is not folded onto tab-indented lines: {lines!r}")
    for h in args.follows:
        name, _, above = h.partition("=")
        at = [i for i, (n, _) in enumerate(fields) if n.lower() == name.lower()]
        if len(at) != 1 or at[0] == 0 or fields[at[0] - 1][0].lower() != above.lower():
            problems.append(f"header {name} is not once, right below a header {above}: "
                            f"{[n for n, _ in fields]!r}")
    for h in args.header_value:
        name, _, want_value = h.partition("=")
        values = [b" ".join(l.strip() for l in lines).split(b":", 1)[1].strip().decode()
                  for n, lines in fields if n.lower() == name.lower()]
        if want_value not in values:
            problems.append(f"header {name} has {values!r}, expected {want_value!r}")
    for h in args.header_prefix:
        name, _, prefix = h.partition("=")
        values = [b" ".join(l.strip() for l in lines).split(b":", 1)[1].strip().decode()
                  for n, lines in fields if n.lower() == name.lower()]
        if not any(v.startswith(prefix) for v in values):
            problems.append(f"header {name} has {values!r}, expected one starting {prefix!r}")
    for h in args.count:
        name, _, n = h.partition("=")
        if names.count(name.lower()) != int(n):
            problems.append(f"header {name} occurs {names.count(name.lower())} times, "
                            f"expected {n}")
    return problems


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    m = sub.add_parser("make")
    m.add_argument("kind")
    m.add_argument("file")
    m.add_argument("msgid")
    s = sub.add_parser("send")
    s.add_argument("port", type=int)
    s.add_argument("sender")
    s.add_argument("rcpts")
    s.add_argument("file")
    s.add_argument("--dsn", action="store_true")
    s.add_argument("--smtputf8", action="store_true")
    b = sub.add_parser("bare-lf")
    b.add_argument("port", type=int)
    r = sub.add_parser("lmtp-raw")
    r.add_argument("port", type=int)
    r.add_argument("sender")
    r.add_argument("rcpt")
    r.add_argument("file")
    c = sub.add_parser("check")
    c.add_argument("file")
    c.add_argument("original")
    c.add_argument("--present", action="append", default=[])
    c.add_argument("--absent", action="append", default=[])
    c.add_argument("--replaced", action="append", default=[])
    c.add_argument("--folded", action="append", default=[])
    c.add_argument("--all-folded", action="append", default=[])
    c.add_argument("--follows", action="append", default=[])
    c.add_argument("--header-value", action="append", default=[])
    c.add_argument("--header-prefix", action="append", default=[])
    c.add_argument("--count", action="append", default=[])
    a = ap.parse_args()
    if a.cmd == "make":
        with open(a.file, "wb") as f:
            f.write(make(a.kind, a.msgid))
    elif a.cmd == "bare-lf":
        return 0 if bare_lf_refused(a.port) else 1
    elif a.cmd == "lmtp-raw":
        data = open(a.file, "rb").read()
        r = raw_transaction(a.port, b"LHLO", a.sender.encode(), a.rcpt.encode(), data)
        return 0 if r.startswith(b"250") else 1
    elif a.cmd == "send":
        send(a.port, a.sender, a.rcpts.split(","), a.file, a.dsn, a.smtputf8)
    else:
        problems = check(a.file, a.original, a)
        for p in problems:
            print(f"{os.path.basename(a.file)}: {p}", file=sys.stderr)
        return 1 if problems else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
