#!/usr/bin/env bash
# Benchmark quorvel against the sort recipe users reach for and against
# reading the inputs three times with cat, on generated logs.
#
#	bench/run.sh [-j] [-f files] [-l lines] [-r runs] [-b builddir]
#
# -j jitters the dates within each file.  The logs and every output go to
# a scratch directory under $TMPDIR (default /var/tmp), on one disk.  The
# inputs are read once first, so every run finds them in the page cache.
set -euo pipefail

jitter="" files=4 lines=1000000 runs=5 build=build
while getopts "jf:l:r:b:" opt; do
	case $opt in
	j) jitter=-j ;;
	f) files=$OPTARG ;;
	l) lines=$OPTARG ;;
	r) runs=$OPTARG ;;
	b) build=$OPTARG ;;
	*) echo "usage: bench/run.sh [-j] [-f files] [-l lines] [-r runs] [-b builddir]" >&2; exit 2 ;;
	esac
done
for tool in quorvel bench/genlogs bench/refmerge; do
	[ -x "$build/$tool" ] || { echo "bench/run.sh: no $build/$tool; build first" >&2; exit 2; }
done

dir=$(mktemp -d "${TMPDIR:-/var/tmp}/quorvel-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
"$build/bench/genlogs" $jitter "$dir" "$files" "$lines"
inputs=("$dir"/access-*.log)
bytes=$(cat "${inputs[@]}" | wc -c)
count=$(cat "${inputs[@]}" | wc -l)

# One timing of a command whose standard output goes to $dir/$1: elapsed
# seconds and peak resident kilobytes.
timed() {
	local out="$dir/$1" t0 t1
	shift
	# Earlier outputs still being written back to disk would slow this one,
	# and the inputs are to be found in the page cache.
	rm -f "$out"
	sync
	cat "${inputs[@]}" >/dev/null
	t0=$EPOCHREALTIME
	/usr/bin/time -f "%M" -o "$dir/rss" "$@" >"$out"
	t1=$EPOCHREALTIME
	awk -v a="$t0" -v b="$t1" -v m="$(cat "$dir/rss")" 'BEGIN { printf "%.4f %d\n", b - a, m }'
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

q=() s=() c=() w=() rss=()
export -f cat3 read3
for ((r = 0; r < runs; r++)); do
	read -r t m < <(timed out.quorvel "$build/quorvel" "${inputs[@]}")
	q+=("$t") rss+=("$m")
	read -r t m < <(timed out.sort env LC_ALL=C sort -s -t ' ' -k 4.9,4.12n -k 4.5,4.7M \
		-k 4.2,4.3n -k 4.14,4.15n -k 4.17,4.18n -k 4.20,4.21n "${inputs[@]}")
	s+=("$t")
	read -r t m < <(timed out.cat env out="$dir/out.cat" bash -c 'cat3 "$@"' cat3 "${inputs[@]}")
	c+=("$t")
	read -r t m < <(timed out.read bash -c 'read3 "$@"' read3 "${inputs[@]}")
	w+=("$t")
done

"$build/bench/refmerge" "${inputs[@]}" >"$dir/out.reference"
if cmp -s "$dir/out.quorvel" "$dir/out.reference"; then same=yes; else same=NO; fi

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratios() { local -n a=$1 b=$2; for ((i = 0; i < ${#a[@]}; i++)); do awk -v x="${a[i]}" -v y="${b[i]}" 'BEGIN { print (y > 0) ? x / y : 0 }'; done; }

mq=$(median "${q[@]}") ms=$(median "${s[@]}") mc=$(median "${c[@]}") mw=$(median "${w[@]}")
mrss=$(median "${rss[@]}")
echo "input: $files files, $count lines, $bytes bytes${jitter:+, jittered}; $runs runs; $(nproc) cores"
echo "median seconds: quorvel $mq, sort $ms, cat x3 $mc, read x3 write x1 $mw"
echo "median paired ratios: sort/quorvel $(median $(ratios s q)), quorvel/(cat x3) $(median $(ratios q c)), quorvel/(read x3 write x1) $(median $(ratios q w))"
awk -v b="$bytes" -v t="$mq" -v k="$mrss" -v n="$count" 'BEGIN {
	printf "quorvel: %.0f MB/s, %.1f ns a line, peak resident %.1f MiB (24 bytes x lines + 16 MiB = %.1f MiB)\n",
	    (t > 0 ? b / t / 1e6 : 0), t / n * 1e9, k / 1024, (24 * n) / 1048576 + 16 }'
echo "output identical to the reference merge: $same"
[ "$same" = yes ]
