#!/usr/bin/env python3
"""Free loopback TCP ports for the end-to-end suite, proven free by binding them.

`ports.py pick N` prints N distinct free ports, one a line; `ports.py check PORT...` exits 1
naming the first port that cannot be bound. Postfix's master sets SO_REUSEPORT, so a port that
another process holds would be shared silently: only SO_REUSEADDR is set here, so a port in use
fails the bind.
"""
import socket
import sys


def bind(port):
    # 0.0.0.0 covers quillgate's listener (every IPv4 address) as well as the 127.0.0.1 ones.
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    s.listen(1)
    return s


def main(argv):
    if len(argv) >= 2 and argv[0] == "pick":
        held = [bind(0) for _ in range(int(argv[1]))]
        for s in held:
            print(s.getsockname()[1])
        for s in held:
            s.close()
        return 0
    if len(argv) >= 2 and argv[0] == "check":
        for p in argv[1:]:
            try:
                bind(int(p)).close()
            except OSError as e:
                print(f"port {p} is taken: {e}", file=sys.stderr)
                return 1
        return 0
    print("usage: ports.py pick N | ports.py check PORT...", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
