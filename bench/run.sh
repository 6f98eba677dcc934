#!/usr/bin/env bash
# Benchmark quorvel against the sort recipe users reach for and against
# reading the inputs three times with cat, on generated logs.
#
#	bench/run.sh [-p | -n] [-s shape] [-j] [-f files] [-l lines] [-r runs]
#	    [-o old-quorvel] [-S] [-z] [-H libraries] [-L open-files] [-b builddir]
#
# -s picks the shape of the input (bench/genlogs writes it); the default
# files x lines of each are the sizes its figures are quoted for:
#	inorder   4 x 1 M  each file in date order, the files interleaving
#	jittered  4 x 1 M  dates jittered by up to 2 s either way (-j too)
#	shuffled  1 x 300 000  each file's lines in random order
#	byhost    1 x 300 000  each file sorted by client, as sort -k1,1 leaves it
#	reversed  1 x 1 M  each file last line first
#	busy      4 x 1 M  2500 lines in every second: long runs of equal dates
#	dealt     5000 files, 1 M lines in all: here -l is the total, dealt
#	          round-robin, so each file is in date order and they interleave
#	ipv6      4 x 1 M  in order, 40% of the clients on IPv6 addresses
#	vhost     4 x 1 M  in order, each line led by its virtual host and port
#	proxy     4 x 1 M  in order, 30% of the hosts a proxy's address list
#	daily     3 servers x 328 500 lines, a year of daily rotations each:
#	          1 095 logs, all but each server's newest gzipped
#	hourly    3 servers x 332 880 lines, a year of hourly rotations each:
#	          26 280 logs, every other one gzipped
# The last three are also timed on the same lines in the usual layout, as
# the command "usual", and their merge must order the lines as that one
# does; the sort recipe, whose keys assume the usual layout, is left out.
# -f and -l override the sizes; in every shape but dealt -l is per file
# (per server for the rotations).  The rotations are merged as a user
# lists them, each server's oldest first, and timed against zcat of their
# .gz logs to /dev/null followed by quorvel on all of them decompressed;
# their merge must be that one's; the sort recipe is left out.
#
# -p pipes every output into cat >/dev/null, as to an analyser reading
# the merge, instead of writing it to a file; the cat x3 floor, which
# writes the inputs to a file three times, is then left out.
# -n sends every output to /dev/null instead, to time the work alone.
# -o also times another quorvel binary, the build before a change, in the
# same runs and gives the median of the paired new/old ratios; with -z
# and the rotations, on the compressed inputs too.
# -S leaves out the sort recipe, which takes long, for quick new/old runs.
# -z also gzips the inputs, as logrotate leaves them, and times quorvel on
# the .gz files against zcat of them to /dev/null followed by quorvel on
# the plain files: decompressing, then merging what came out.
# -H hides the decompression libraries named, comma-separated (such as
# libisal.so.2,libdeflate.so.0), from every command: an empty file of each
# name is put first on LD_LIBRARY_PATH, so the decoders left are timed.
# -L runs quorvel (and the older one) under that limit on open files, and
# also times quorvel without it, as "free".
#
# The logs and every output go to a scratch directory under $TMPDIR
# (default /var/tmp), on one disk.  The inputs are read before each timed
# command, so every run finds them in the page cache, and the commands take
# turns, in reverse order every other run, so that drifts in the machine's
# speed fall on all of them alike; ratios are of commands of the same run.
# One more, untimed, run of quorvel under strace counts its read calls,
# and its output must be the reference merge's byte for byte.
set -euo pipefail

usage() {
	echo "usage: bench/run.sh [-p | -n] [-s inorder|jittered|shuffled|byhost|reversed|busy|dealt|ipv6|vhost|proxy|daily|hourly]" \
		"[-j] [-f files] [-l lines] [-r runs] [-o old-quorvel] [-S] [-z] [-H libraries] [-L open-files] [-b builddir]" >&2
	exit 2
}
shape=inorder files="" lines="" runs=5 build=build pipe="" old="" nosort="" layout="" gzipped="" limit="" rotated=""
hidden=""
while getopts "pns:jf:l:r:o:SzH:L:b:" opt; do
	case $opt in
	p) pipe=cat ;;
	n) pipe=null ;;
	s) shape=$OPTARG ;;
	j) shape=jittered ;;
	f) files=$OPTARG ;;
	l) lines=$OPTARG ;;
	r) runs=$OPTARG ;;
	o) old=$OPTARG ;;
	S) nosort=yes ;;
	z) gzipped=yes ;;
	H) hidden=$OPTARG ;;
	L) limit=$OPTARG ;;
	b) build=$OPTARG ;;
	*) usage ;;
	esac
done
[ $OPTIND -gt $# ] || usage
case $shape in
inorder) gen=() f0=4 l0=1000000 ;;
jittered) gen=(-j) f0=4 l0=1000000 ;;
shuffled | byhost) gen=(-o "$shape") f0=1 l0=300000 ;;
reversed) gen=(-o reversed) f0=1 l0=1000000 ;;
busy) gen=(-r 2500) f0=4 l0=1000000 ;;
dealt) gen=(-d) f0=5000 l0=1000000 ;;
ipv6) gen=(-6 40) f0=4 l0=1000000 layout=yes ;;
vhost) gen=(-V) f0=4 l0=1000000 layout=yes ;;
proxy) gen=(-x 30) f0=4 l0=1000000 layout=yes ;;
daily) gen=(-y 24) f0=3 l0=328500 rotated=365 ;;
hourly) gen=(-y 1) f0=3 l0=332880 rotated=8760 ;;
*) usage ;;
esac
[ -z "$layout$rotated" ] || nosort=yes
[ -z "$rotated" ] || gzipped=yes
[ -z "$limit" ] || [[ $limit =~ ^[1-9][0-9]*$ ]] || usage
files=${files:-$f0} lines=${lines:-$l0}
[[ $files =~ ^[1-9][0-9]*$ && $lines =~ ^[1-9][0-9]*$ && $runs =~ ^[1-9][0-9]*$ ]] || usage
for tool in quorvel bench/genlogs bench/refmerge bench/peakmem; do
	[ -x "$build/$tool" ] || { echo "bench/run.sh: no $build/$tool; build first" >&2; exit 2; }
done
[ -z "$old" ] || [ -x "$old" ] || { echo "bench/run.sh: $old is not a program" >&2; exit 2; }
build=$(cd "$build" && pwd)
[ -z "$old" ] || old=$(cd "$(dirname "$old")" && pwd)/$(basename "$old")

dir=$(mktemp -d "${TMPDIR:-/var/tmp}/quorvel-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
if [ -n "$hidden" ]; then
	mkdir "$dir/hidden"
	for l in ${hidden//,/ }; do : >"$dir/hidden/$l"; done
	export LD_LIBRARY_PATH="$dir/hidden${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi
"$build/bench/genlogs" "${gen[@]}" "$dir" "$files" "$lines"
# Names relative to the scratch directory keep a year of hourly logs within
# the limit on a command line's length.
cd "$dir"
# In file order, not the glob's: the merge keeps that order for equal dates.
inputs=()
for ((k = 1; k <= files; k++)); do
	if [ -z "$rotated" ]; then
		inputs+=("access-$k.log")
	else
		for ((n = rotated; n >= 1; n--)); do inputs+=("access-$k.log.$n"); done
	fi
done
# The same lines in the usual layout.
twins=()
if [ -n "$layout" ]; then
	mkdir "$dir/usual"
	"$build/bench/genlogs" "$dir/usual" "$files" "$lines"
	for ((k = 1; k <= files; k++)); do twins+=("usual/access-$k.log"); done
fi
bytes=$(cat "${inputs[@]}" | wc -c)
count=$(cat "${inputs[@]}" | wc -l)
# The inputs as quorvel -z takes them, and the gzipped ones among them.
gzinputs=() gzonly=()
if [ -n "$gzipped" ]; then
	for f in "${inputs[@]}"; do
		n=${f##*.}
		case $shape in
		daily) [ "$n" = 1 ] ;;
		hourly) ((n % 2)) ;;
		*) false ;;
		esac && gzinputs+=("$f") && continue
		gzinputs+=("$f.gz") gzonly+=("$f.gz")
	done
	printf '%s\n' "${gzonly[@]%.gz}" | xargs -P "$(nproc)" -n 64 gzip -k
fi

# One timing of a command whose standard output goes to $dir/$1, into a
# pipe to cat or to /dev/null: elapsed seconds, the command's peak
# resident kilobytes and its page faults.
timed() {
	local out="$dir/$1" t0 t1
	shift
	# Earlier outputs still being written back to disk would slow this one,
	# and the inputs are to be found in the page cache.
	rm -f "$out"
	sync
	printf '%s\0' "${inputs[@]}" ${twins[@]+"${twins[@]}"} ${gzonly[@]+"${gzonly[@]}"} | xargs -0 cat >/dev/null
	t0=$EPOCHREALTIME
	# A command that fails (an older build that loses logs) is timed all
	# the same; what it says goes beside its output.
	if [ "$pipe" = cat ]; then
		/usr/bin/time -q -f "%M %R %F" -o "$dir/rss" "$@" 2>"$out.err" | cat >/dev/null || true
	elif [ "$pipe" = null ]; then
		/usr/bin/time -q -f "%M %R %F" -o "$dir/rss" "$@" 2>"$out.err" >/dev/null || true
	else
		/usr/bin/time -q -f "%M %R %F" -o "$dir/rss" "$@" 2>"$out.err" >"$out" || true
	fi
	t1=$EPOCHREALTIME
	read -r m minor major <"$dir/rss"
	awk -v a="$t0" -v b="$t1" -v m="$m" -v f=$((minor + major)) 'BEGIN { printf "%.4f %d %d\n", b - a, m, f }'
}

# cat FILES three times over, each time into the output file, as a
# three-pass design reads them; and the stricter floor of reading them
# three times but writing them once.
cat3() {
	cat "$@" >"$out"; cat "$@" >"$out"; cat "$@"
}
read3() {
	cat "$@" >/dev/null; cat "$@" >/dev/null; cat "$@"
}
# zcat of the $2 gzipped files that follow, then the quorvel $1 on the
# plain files after them, all decompressed.
zcatq() {
	local q=$1 n=$2
	shift 2
	zcat "${@:1:n}" >/dev/null
	"$q" "${@:n+1}"
}
# The command after the limit, run under that limit on open files.
limited() {
	ulimit -n "$1" && exec "${@:2}"
}
export -f cat3 read3 zcatq limited
q=("$build/quorvel") qold=("$old")
if [ -n "$limit" ]; then
	q=(bash -c 'limited "$@"' limited "$limit" "$build/quorvel")
	qold=(bash -c 'limited "$@"' limited "$limit" "$old")
fi

# The commands and what they are called in the figures.
names=(quorvel)
[ -z "$limit" ] || names+=(free)
[ -z "$old" ] || names+=(old)
[ -z "$layout" ] || names+=(usual)
[ -n "$nosort" ] || names+=(sort)
[ -n "$pipe" ] || names+=(cat)
names+=(read)
[ -z "$gzipped" ] || names+=(gz zcat)
[ -z "$gzipped" ] || [ -z "$old" ] || names+=(oldgz)
declare -A label=([quorvel]=quorvel [free]=free [old]=old [usual]=usual [sort]=sort [cat]="cat x3"
	[read]="read x3 write x1" [gz]="quorvel .gz" [zcat]="zcat + quorvel" [oldgz]="old .gz")

tq=() tf=() o=() u=() s=() c=() w=() g=() z=() og=() rss=() flt=()
for ((r = 0; r < runs; r++)); do
	order=("${names[@]}")
	if ((r % 2)); then
		order=()
		for ((i = ${#names[@]} - 1; i >= 0; i--)); do order+=("${names[i]}"); done
	fi
	line="run $((r + 1)):"
	for n in "${order[@]}"; do
		case $n in
		quorvel) read -r t m f < <(timed out.quorvel "${q[@]}" "${inputs[@]}")
			tq+=("$t") rss+=("$m") flt+=("$f") ;;
		free) read -r t m < <(timed out.free "$build/quorvel" "${inputs[@]}")
			tf+=("$t") ;;
		old) read -r t m < <(timed out.old "${qold[@]}" "${inputs[@]}")
			o+=("$t") ;;
		usual) read -r t m < <(timed out.usual "$build/quorvel" "${twins[@]}")
			u+=("$t") ;;
		sort) read -r t m < <(timed out.sort env LC_ALL=C sort -s -t ' ' -k 4.9,4.12n -k 4.5,4.7M \
			-k 4.2,4.3n -k 4.14,4.15n -k 4.17,4.18n -k 4.20,4.21n "${inputs[@]}")
			s+=("$t") ;;
		cat) read -r t m < <(timed out.cat env out="$dir/out.cat" bash -c 'cat3 "$@"' cat3 "${inputs[@]}")
			c+=("$t") ;;
		read) read -r t m < <(timed out.read bash -c 'read3 "$@"' read3 "${inputs[@]}")
			w+=("$t") ;;
		gz) read -r t m < <(timed out.gz env TMPDIR="$dir" "${q[@]}" "${gzinputs[@]}")
			g+=("$t") ;;
		oldgz) read -r t m < <(timed out.oldgz env TMPDIR="$dir" "${qold[@]}" "${gzinputs[@]}")
			og+=("$t") ;;
		zcat) read -r t m < <(timed out.zcat bash -c 'zcatq "$@"' zcatq "$build/quorvel" "${#gzonly[@]}" \
			"${gzonly[@]}" "${inputs[@]}")
			z+=("$t") ;;
		esac
		line+=" ${label[$n]} $t"
	done
	echo "$line"
done

# The untimed runs: one with its output through the same pipe or into a
# file, and its system calls traced when strace is there; one watched for
# its peak of anonymous memory.
check=("${q[@]}" "${inputs[@]}")
strace=/usr/bin/strace
if [ -x "$strace" ]; then
	check=("$strace" -f -qq -s 0 -o "$dir/strace" "${check[@]}")
fi
"$build/bench/peakmem" "${q[@]}" "${inputs[@]}" 2>"$dir/peakmem" >/dev/null
# time(1) counts as faults the pages the program makes present at once,
# as it does the index's; perf counts only the faults the program takes.
perffaults=n/a
if perf stat -x, -e page-faults -o "$dir/perf" true 2>/dev/null; then
	perf stat -x, -e page-faults -o "$dir/perf" "${q[@]}" "${inputs[@]}" >/dev/null 2>&1 || true
	perffaults=$(awk -F, '$3 == "page-faults" { print $1 }' "$dir/perf")
fi
if [ "$pipe" = cat ]; then
	"${check[@]}" | cat >"$dir/out.check"
else
	"${check[@]}" >"$dir/out.check"
fi
"$build/bench/refmerge" "${inputs[@]}" >"$dir/out.reference"
same=yes
cmp -s "$dir/out.check" "$dir/out.reference" || same=NO
[ -n "$pipe" ] || cmp -s "$dir/out.quorvel" "$dir/out.reference" || same=NO
if [ -n "$layout" ]; then
	# Without the client fields the two merges are the same lines in the same order.
	strip() { sed 's/^[^[]*\[/[/' "$1"; }
	"$build/quorvel" "${twins[@]}" >"$dir/out.usualcheck"
	cmp -s <(strip "$dir/out.check") <(strip "$dir/out.usualcheck") || same=NO
fi
if [ -n "$gzipped" ]; then
	TMPDIR="$dir" "${q[@]}" "${gzinputs[@]}" | cmp -s - "$dir/out.reference" || same=NO
fi

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratios() { local -n a=$1 b=$2; for ((i = 0; i < ${#a[@]}; i++)); do awk -v x="${a[i]}" -v y="${b[i]}" 'BEGIN { print (y > 0) ? x / y : 0 }'; done; }

mq=$(median "${tq[@]}") mw=$(median "${w[@]}") mrss=$(median "${rss[@]}") mflt=$(median "${flt[@]}")
times="quorvel $mq"
pairs=""
if [ -n "$limit" ]; then
	times+=", without the limit $(median "${tf[@]}")"
	pairs+="quorvel/free (the limit's cost) $(median $(ratios tq tf)), "
fi
if [ -n "$old" ]; then
	times+=", old $(median "${o[@]}")"
	pairs+="quorvel/old (new/old) $(median $(ratios tq o)), "
fi
if [ -n "$layout" ]; then
	times+=", usual layout $(median "${u[@]}")"
	pairs+="quorvel/usual (the layout's cost) $(median $(ratios tq u)), "
fi
if [ -z "$nosort" ]; then
	times+=", sort $(median "${s[@]}")"
	pairs+="sort/quorvel $(median $(ratios s tq)), "
fi
if [ -z "$pipe" ]; then
	times+=", cat x3 $(median "${c[@]}")"
	pairs+="quorvel/(cat x3) $(median $(ratios tq c)), "
fi
times+=", read x3 write x1 $mw"
pairs+="quorvel/(read x3 write x1) $(median $(ratios tq w))"
if [ -n "$gzipped" ]; then
	times+=", quorvel .gz $(median "${g[@]}"), zcat + quorvel $(median "${z[@]}")"
	pairs+=", (quorvel .gz)/quorvel $(median $(ratios g tq)), (quorvel .gz)/(zcat + quorvel) $(median $(ratios g z))"
	if [ -n "$old" ]; then
		times+=", old .gz $(median "${og[@]}")"
		pairs+=", (quorvel .gz)/(old .gz) $(median $(ratios g og))"
	fi
fi

dest="to a file"
[ "$pipe" != cat ] || dest="piped into cat >/dev/null"
[ "$pipe" != null ] || dest="to /dev/null"
gz=""
[ -z "$gzipped" ] || gz=", ${#gzonly[@]} gzipped, $(cat "${gzonly[@]}" | wc -c) bytes"
what="$files files"
[ -z "$rotated" ] || what="$files servers, ${#inputs[@]} logs"
echo "input: $shape, $what, $count lines, $bytes bytes$gz; output $dest; $runs runs; $(nproc) cores${hidden:+; hidden: $hidden}"
echo "median seconds: $times"
echo "median paired ratios: $pairs"
if [ -x "$strace" ]; then
	# Calls are counted where they start: a call another thread interrupts
	# shows again as resumed.  The scan and the output pass open the
	# inputs without waiting, so the output pass begins with the second
	# such opening of the first.
	awk -v n="$count" -v first="\"${inputs[0]}\"" '
		/resumed>|^[0-9]+ +(\+\+\+|---)/ { next }
		NR == FNR { if (/ openat\(/ && /O_NONBLOCK/ && index($0, first) && ++opens == 2) from = FNR; next }
		FNR >= from && from { out = 1 }
		{ calls++ }
		/ read\(/ { reads++; if (out) oreads++ }
		/ pread64\(/ { preads++; if (out) opreads++ }
		END {
			printf "quorvel system calls: %.3f a line (%d for %d lines); read calls %.3f a line (%d read + %d pread64); output pass %.3f a line (%d read + %d pread64)\n",
			    calls / n, calls, n, (reads + preads) / n, reads, preads, (oreads + opreads) / n, oreads, opreads
		}' "$dir/strace" "$dir/strace"
else
	echo "quorvel system calls: n/a (no $strace)"
fi
read -r peakrss peakanon <"$dir/peakmem"
awk -v f="$mflt" -v n="$count" -v p="$perffaults" -v r="$peakrss" -v a="$peakanon" 'BEGIN {
	printf "quorvel page faults: %.4f a line (%d, pages made present at once included; %s taken, by perf); one untimed run peaked at %.1f MiB resident, %.1f MiB anonymous\n",
	    f / n, f, p, r / 1024, a / 1024 }'
awk -v b="$bytes" -v t="$mq" -v k="$mrss" -v n="$count" 'BEGIN {
	printf "quorvel: %.0f MB/s, %.1f ns a line, peak resident %.1f MiB (24 bytes x lines + 16 MiB = %.1f MiB)\n",
	    (t > 0 ? b / t / 1e6 : 0), t / n * 1e9, k / 1024, (24 * n) / 1048576 + 16 }'
echo "output identical to the reference merge: $same"
[ "$same" = yes ]
