#!/bin/sh
# Feed a merge to the analysers people use, run the way the manual shows.
# A real site's log is dealt to three servers by the last number of the
# client address: each log is in date order, their concatenation is not.
# The same is done again with 40% of its clients moved to IPv6 addresses,
# whose colons come before the date.  GoAccess
# must read every line of the merge; AWStats, which takes records in date
# order only, must find no more corrupted or old records in the merge than in
# the source itself, and many in the concatenation (else the deal proves
# nothing).
# Usage: analysers_test.sh QUORVEL SOURCE_LOG, the log plain or, named
# *.gz, gzipped (as tests/data/apache_logs.gz), decompressed here first.
# Exits 77 (skipped) when GoAccess, AWStats or the source log is missing,
# unless QUORVEL_REQUIRE_ANALYSERS=1, as in CI, which makes that a failure.
set -eu
quorvel=$1
source=$2
goaccess=${QUORVEL_GOACCESS:-goaccess}
awstats=${QUORVEL_AWSTATS:-/usr/lib/cgi-bin/awstats.pl}
skipped=

skip() {
	echo "SKIPPED: $*"
	if [ "${QUORVEL_REQUIRE_ANALYSERS:-0}" = 1 ]; then
		exit 1
	fi
	skipped=1
}
fail() {
	echo "FAILED: $*"
	exit 1
}
# A number from GoAccess's report, and one from AWStats's summary.
field() {
	sed -n "s/.*\"$1\": *\([0-9][0-9]*\).*/\1/p" report.json | head -n 1
}
found() {
	sed -n "s/^ *Found \([0-9][0-9]*\) $1 records.*/\1/p" awstats.out
}

if [ ! -r "$source" ]; then
	skip "no sample log at $source"
	exit 77
fi
source=$(cd "$(dirname "$source")" && pwd)/$(basename "$source")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The pipelines below name the program as the manual does.
PATH=$(cd "$(dirname "$quorvel")" && pwd):$PATH
export PATH
cd "$work"
case $source in
*.gz)
	name=$(basename "$source" .gz)
	gzip -dc "$source" >"$name" || fail "cannot decompress $source"
	source=$work/$name
	;;
esac

# Deal the lines of a log to www1.log ... www3.log by client.
deal() {
	rm -f www1.log www2.log www3.log
	awk '{ n = split($1, a, /[.:]/); print > ("www" a[n] % 3 + 1 ".log") }' "$1"
	for f in www1.log www2.log www3.log; do
		test -s $f || fail "the deal left $f empty"
	done
}

goaccess_check() {
	quorvel www1.log www2.log www3.log | "$goaccess" --log-format=COMBINED -o report.json - \
		>goaccess.out 2>&1 || { cat goaccess.out; fail "goaccess failed"; }
	total=$(field total_requests)
	valid=$(field valid_requests)
	failed=$(field failed_requests)
	echo "goaccess: $total total, $valid valid, $failed failed of $lines lines"
	[ "$total" = "$lines" ] && [ "$valid" = "$lines" ] && [ "$failed" = 0 ] ||
		fail "GoAccess did not read every merged line as valid"
}

awstats_setup() {
	# LogFile is given on each command line; DNSLookup=0 keeps it offline.
	cat >awstats.www.conf <<-EOF
	LogFile="/dev/null"
	LogType=W
	LogFormat=1
	SiteDomain="www.example.com"
	HostAliases="localhost 127.0.0.1"
	DirData="$work/data"
	DNSLookup=0
	EOF
}

# Each run starts from an empty history, or it would take the records the
# run before it counted as old.
awstats_run() {
	rm -rf data
	mkdir data
	sh -c "$1" >awstats.out 2>&1 || { cat awstats.out; fail "awstats: $1"; }
	corrupted=$(found corrupted) old=$(found old) new=$(found 'new qualified')
	[ -n "$corrupted" ] && [ -n "$old" ] && [ -n "$new" ] ||
		{ cat awstats.out; fail "no counts from awstats: $1"; }
	bad=$((corrupted + old))
}

awstats_check() {
	awstats_run "\"$awstats\" -config=www -configdir=. -update -LogFile=\"$1\""
	src_bad=$bad src_new=$new
	awstats_run "cat www1.log www2.log www3.log |
		\"$awstats\" -config=www -configdir=. -update -LogFile=-"
	cat_bad=$bad
	awstats_run "quorvel www1.log www2.log www3.log |
		\"$awstats\" -config=www -configdir=. -update -LogFile=-"
	echo "awstats: corrupted or old, kept: source $src_bad, $src_new;" \
		"merge $bad, $new; concatenation $cat_bad"
	[ "$bad" = "$src_bad" ] && [ "$new" = "$src_new" ] ||
		fail "AWStats kept fewer records of the merge than of the source"
	[ "$cat_bad" -gt $((lines / 4)) ] ||
		fail "the concatenation is not out of order enough to tell"
}

awk '{ n = split($1, a, "."); if (n == 4 && a[2] % 5 < 2)
	$0 = sprintf("2001:db8:%d:%d::%d", a[1], a[2], a[4]) substr($0, length($1) + 1); print }' \
	"$source" >ipv6.log
lines=$(grep -c . "$source")
command -v "$goaccess" >/dev/null 2>&1 ||
	skip "GoAccess ($goaccess) not found: apt-get install goaccess"
[ -f "$awstats" ] || skip "AWStats ($awstats) not found: apt-get install awstats"
[ ! -f "$awstats" ] || awstats_setup
for log in "$source" ipv6.log; do
	echo "$(basename "$log"): $(grep -c '^2001:db8:' "$log") lines of IPv6 clients"
	deal "$log"
	! command -v "$goaccess" >/dev/null 2>&1 || goaccess_check
	[ ! -f "$awstats" ] || awstats_check "$log"
done

if [ -n "$skipped" ]; then
	exit 77
fi
