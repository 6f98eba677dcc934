#!/usr/bin/env bash
# Time each pass of one quorvel run from the system calls that bound it:
# the counting pass opens the inputs plainly, the scan and the output pass
# open them without waiting, and the scan closes each input before the
# sort.  Output goes into a pipe read by cat, as into an analyser.
#
#	bench/passes.sh quorvel file ...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: bench/passes.sh quorvel file ..." >&2; exit 2; }
q=$1
shift
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
cat "$@" >/dev/null
strace -f --seccomp-bpf -tt -e trace=openat,close,exit_group -o "$trace" "$q" "$@" | cat >/dev/null
awk -v first="$1" '
# Lines start with the pid, then the time; only the traced calls stop the
# program, so the others run at full speed.
{ $1 = "" ; $0 = $0 }
function t(s) { split(s, a, ":"); return a[1] * 3600 + a[2] * 60 + a[3] }
index($0, "\"" first "\"") && /O_RDONLY\)/ && count == "" { count = t($1) }
index($0, "\"" first "\"") && /O_NONBLOCK/ { if (scan == "") scan = t($1); else if (out == "") out = t($1) }
/close\(/ && scan != "" && out == "" { scanned = t($1) }
/exit_group/ { end = t($1) }
END { printf "count %.3f s, scan %.3f s, sort %.3f s, output %.3f s\n",
	scan - count, scanned - scan, out - scanned, end - out }' "$trace"
