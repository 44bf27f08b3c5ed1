#!/bin/sh
# Prints how the reference UCL parser reads configuration texts: the libucl inside Debian's rspamd
# package, run through `rspamadm lua`. Each text is parsed as a string, without a file name, as
# quillgate reads its configuration, so relative include paths start at the working directory.
#
#   ucl_reference.sh FILE          the compact JSON of FILE; exit 1 with the parser's error on
#                                  standard error when FILE does not parse
#   ucl_reference.sh --batch FILE  FILE holds many texts, each written as its length in bytes, a
#                                  line feed and the text; one line per text is printed, "ok JSON"
#                                  or "error MESSAGE" (line breaks of the message become blanks)
#
# Exit 2 when rspamadm or unshare is missing. rspamadm opens DNS sockets as it starts, so it runs
# in a private network namespace with only the loopback interface up.
set -u
usage() { echo "usage: ucl_reference.sh [--batch] FILE" >&2; exit 2; }
mode=single
if [ "${1:-}" = "--batch" ]; then mode=batch; shift; fi
[ $# -eq 1 ] || usage
for tool in rspamadm unshare; do
  command -v "$tool" >/dev/null || { echo "ucl_reference.sh: $tool not found (apt-get install rspamd)" >&2; exit 2; }
done

single='
local f = assert(io.open(arg[1], "rb")); local text = f:read("a"); f:close()
local p = require("ucl").parser()
p:register_variable("CURDIR", arg[2]); p:register_variable("FILENAME", "undef")
local ok, err = p:parse_string(text)
if not ok then io.stderr:write(tostring(err), "\n"); os.exit(1) end
io.write(p:get_object_wrapped():tostring(), "\n")'

batch='
local ucl = require("ucl")
local f = assert(io.open(arg[1], "rb"))
while true do
  local length = f:read("l")
  if not length then break end
  local text = f:read(tonumber(length)) or ""
  local p = ucl.parser()
  p:register_variable("CURDIR", arg[2]); p:register_variable("FILENAME", "undef")
  local ok, err = p:parse_string(text)
  if ok then
    io.write("ok ", p:get_object_wrapped():tostring(), "\n")
  else
    io.write("error ", (tostring(err):gsub("[\r\n]", " ")), "\n")
  end
  io.flush()
end
f:close()'

if [ "$mode" = batch ]; then script=$batch; else script=$single; fi
err=$(mktemp) || exit 2
trap 'rm -f "$err"' EXIT
# Only the loopback interface exists in the namespace; it is brought up before rspamadm starts.
unshare -n sh -c 'ip link set lo up 2>/dev/null || true; exec rspamadm lua -b -e "$1" -a "$2" -a "$3"' \
  sh "$script" "$1" "$(pwd -P)" 2>"$err"
code=$?
grep -v 'cannot parse resolv.conf' "$err" >&2
exit $code
