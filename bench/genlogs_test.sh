#!/usr/bin/env bash
# Check that genlogs writes the input shapes the benchmark claims to time:
# each order a rearrangement of the same lines, blank and long lines kept,
# the rate and the dealing giving the dates they should.
#
#	bench/genlogs_test.sh genlogs refmerge
set -euo pipefail
gen=$1 ref=$2
dir=$(mktemp -d "${TMPDIR:-/tmp}/genlogs-test.XXXXXX")
trap 'rm -rf "$dir"' EXIT
fail() { echo "genlogs_test: $*" >&2; exit 1; }
# A file is in date order when the reference merge of it alone only drops
# its blank lines.
inorder() { "$ref" "$1" | cmp -s - <(grep -v '^$' "$1"); }

for o in inorder shuffled byhost reversed again; do
	mkdir "$dir/$o"
	case $o in
	inorder) "$gen" "$dir/$o" 2 30000 ;;
	again) "$gen" -o shuffled "$dir/$o" 2 30000 ;;
	*) "$gen" -o "$o" "$dir/$o" 2 30000 ;;
	esac
done
for k in 1 2; do
	f=access-$k.log
	inorder "$dir/inorder/$f" || fail "$f not in date order"
	grep -q '^$' "$dir/inorder/$f" || fail "$f has no blank line"
	[ "$(awk 'length > 3999' "$dir/inorder/$f" | wc -l)" -gt 0 ] || fail "$f has no long line"
	tac "$dir/inorder/$f" | cmp -s - "$dir/reversed/$f" || fail "reversed $f"
	LC_ALL=C sort -s -t ' ' -k1,1 "$dir/inorder/$f" | cmp -s - "$dir/byhost/$f" || fail "byhost $f"
	cmp -s "$dir/shuffled/$f" "$dir/again/$f" || fail "shuffled $f differs from run to run"
	! cmp -s "$dir/shuffled/$f" "$dir/inorder/$f" || fail "shuffled $f still in order"
	cmp -s <(LC_ALL=C sort "$dir/shuffled/$f") <(LC_ALL=C sort "$dir/inorder/$f") ||
		fail "shuffled $f is not the same lines"
done

# Busy: 2500 lines in each of four seconds, in order.
mkdir "$dir/busy"
"$gen" -r 2500 "$dir/busy" 1 10000
inorder "$dir/busy/access-1.log" || fail "busy file not in date order"
counts=$(grep -o '\[[^]]*\]' "$dir/busy/access-1.log" | uniq -c | awk '{ print $1 }' | sort -n)
[ "$(wc -l <<<"$counts")" -eq 4 ] && [ "$(tail -n 1 <<<"$counts")" -le 2500 ] &&
	[ "$(head -n 1 <<<"$counts")" -ge 2490 ] || fail "busy dates: $(echo $counts)"

# Dealt: 10001 lines in all over three files, each in order, and the first
# lines of the files come in file order before the second line of the first.
mkdir "$dir/dealt"
"$gen" -d "$dir/dealt" 3 10001
[ "$(cat "$dir"/dealt/*.log | wc -l)" -eq 10001 ] || fail "dealt files do not hold every line"
[ "$(wc -l <"$dir/dealt/access-1.log")" -eq 3334 ] || fail "dealt unevenly"
for k in 1 2 3; do inorder "$dir/dealt/access-$k.log" || fail "dealt file $k not in order"; done
{ head -q -n 1 "$dir"/dealt/access-{1,2,3}.log; sed -n 2p "$dir/dealt/access-1.log"; } >"$dir/firsts"
grep -q '^$' "$dir/firsts" && fail "a first line is blank: pick other sizes"
[ "$(sort -u -k4,4 "$dir/firsts" | wc -l)" -eq 4 ] || fail "dealt lines share dates"
inorder "$dir/firsts" || fail "dealt files do not interleave"
# Layouts: the same lines but for the client fields, in the shares asked for.
mkdir "$dir/layout"
"$gen" -6 40 -x 30 -V "$dir/layout" 2 30000
strip() { sed 's/^[^[]*\[/[/' "$1"; }
cmp -s <(strip "$dir/inorder/access-1.log") <(strip "$dir/layout/access-1.log") ||
	fail "a layout changed more than the client fields"
share() { echo $((100 * $(grep -c -E "$1" "$dir/layout/access-1.log") / 30000)); }
[ "$(share '^www[1-3][.]example[.]com:(80|443) ')" -ge 99 ] || fail "lines without a virtual host"
[ "$(share ' 2001:db8:')" -ge 35 ] && [ "$(share ' 2001:db8:')" -le 45 ] || fail "IPv6 share"
[ "$(share ', 10[.]0[.]')" -ge 25 ] && [ "$(share ', 10[.]0[.]')" -le 35 ] || fail "address list share"
grep -q ' - John Smith \[' "$dir/layout/access-1.log" || fail "no user name with a space"
echo "genlogs_test: ok"
