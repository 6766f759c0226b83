#!/usr/bin/env bash
# Builds the benchmark corpus from files a Debian 12 machine with the
# project's packages (scripts/deps.sh) has: three flat directories of copies.
#
#   mixed/  about 100 MB: documentation, manual pages, headers, source code,
#           shared libraries and about 10% already-compressed files
#   small/  thousands of files of at most 16 KiB: headers, sources, manuals
#   large/  a few files of 4 to 40 MiB: compilers, libraries, a big header
#
# Files are taken in byte order of their paths until each budget is reached,
# so the same packages give the same corpus. The names are the source paths
# with '/' turned into '_'; MANIFEST lists set, size and name of every file
# and the script prints its SHA-256 as the corpus fingerprint.
#
# Usage: bench/make_corpus.sh [DIR]   (default: build/bench-corpus)
set -euo pipefail
cd "$(dirname "$0")/.."
dest=${1:-build/bench-corpus}
MB=$((1000 * 1000))

rm -rf "$dest"
mkdir -p "$dest/mixed" "$dest/small" "$dest/large"

# Prints "size<TAB>path" of regular files under the given roots (find
# arguments follow) whose sizes lie in [min, max], in byte order of paths.
candidates() {
  local min=$1 max=$2
  shift 2
  find "$@" -type f -size +$((min - 1))c -size -$((max + 1))c -printf '%s\t%p\n' 2>/dev/null |
    LC_ALL=C sort -t $'\t' -k 2,2
}

flat_name() {
  local path=${1#/}
  printf '%s' "${path//\//_}"
}

# take SET BUDGET MAX_FILES MIN MAX ROOTS/FIND-ARGS...: copies candidates until
# the set has received BUDGET more bytes or MAX_FILES more files.
take() {
  local set=$1 budget=$2 max_files=$3 min=$4 max=$5
  shift 5
  local total=0 count=0 size path
  while IFS=$'\t' read -r size path; do
    ((total >= budget || count >= max_files)) && break
    cp "$path" "$dest/$set/$(flat_name "$path")"
    total=$((total + size))
    count=$((count + 1))
  done < <(candidates "$min" "$max" "$@")
}

# take_man SET BUDGET MAX_FILES MAX_UNPACKED ROOTS...: manual pages, unpacked;
# the budget counts unpacked bytes.
take_man() {
  local set=$1 budget=$2 max_files=$3 max_unpacked=$4
  shift 4
  local total=0 count=0 size path out
  while IFS=$'\t' read -r size path; do
    ((total >= budget || count >= max_files)) && break
    out="$dest/$set/$(flat_name "${path%.gz}")"
    gzip -dc "$path" > "$out"
    size=$(stat -c %s "$out")
    if ((size > max_unpacked)); then
      rm -f "$out"
      continue
    fi
    total=$((total + size))
    count=$((count + 1))
  done < <(candidates 1 $((4 * MB)) "$@" -name '*.gz')
}

not_compressed=(-not -name '*.gz' -not -name '*.xz' -not -name '*.bz2' -not -name '*.zip'
                -not -name '*.png' -not -name '*.jpg' -not -name '*.jar')

# mixed: 100 MB in six kinds.
take mixed $((15 * MB)) 100000 512 $((1 * MB)) /usr/share/doc "${not_compressed[@]}"
take_man mixed $((10 * MB)) 100000 $((1 * MB)) /usr/share/man/man1 /usr/share/man/man3
take mixed $((20 * MB)) 100000 1 $((1 * MB)) /usr/include \( -name '*.h' -o -name '*.hpp' \)
take mixed $((15 * MB)) 100000 1 $((1 * MB)) /usr/lib/python3.11 /usr/share/perl /usr/src \
  \( -name '*.py' -o -name '*.pm' -o -name '*.cc' -o -name '*.c' \)
take mixed $((30 * MB)) 100000 $((64 * 1024)) $((8 * MB)) /usr/lib/x86_64-linux-gnu \
  -maxdepth 1 -name '*.so.*'
take mixed $((10 * MB)) 100000 1024 $((4 * MB)) /usr/share/doc -name '*.gz'

# small: 6000 files of up to 16 KiB.
take small $((30 * MB)) 3500 256 16384 /usr/include \( -name '*.h' -o -name '*.hpp' \)
take small $((30 * MB)) 1500 256 16384 /usr/lib/python3.11 -name '*.py'
take_man small $((30 * MB)) 1000 16384 /usr/share/man/man1

# large: one file of 4 to 40 MiB from each place in turn until 100 MB.
large_roots=(/usr/lib/gcc/x86_64-linux-gnu /usr/lib/gcc/x86_64-w64-mingw32 /usr/share/mingw-w64/include
             /usr/lib/llvm-14/lib /usr/lib/python3.11)
declare -A large_lists
for root in "${large_roots[@]}"; do
  large_lists[$root]=$(candidates $((4 * 1024 * 1024)) $((40 * 1024 * 1024)) "$root" | cut -f 2)
done
large_total=0
for round in 1 2 3; do
  for root in "${large_roots[@]}"; do
    ((large_total >= 100 * MB)) && break 2
    path=$(sed -n "${round}p" <<< "${large_lists[$root]}")
    [[ -n "$path" ]] || continue
    cp "$path" "$dest/large/$(flat_name "$path")"
    large_total=$((large_total + $(stat -c %s "$path")))
  done
done

(cd "$dest" && find mixed small large -type f -printf '%h\t%s\t%f\n' | LC_ALL=C sort > MANIFEST)
for set in mixed small large; do
  awk -F '\t' -v set="$set" '$1 == set { n++; b += $2 } END {
    printf "%-6s %6d files %10.1f MB\n", set, n, b / 1e6 }' "$dest/MANIFEST"
done
echo "fingerprint $(sha256sum "$dest/MANIFEST" | cut -c 1-16)"
