#!/bin/sh
# Builds the profile-file fuzzer with clang's libFuzzer and runs it.
#   scripts/fuzz-settings.sh [seconds] [work folder]
# Defaults: 300 seconds, build-fuzz/ in the source tree. The committed corpus is read, never
# changed; new inputs go to <work folder>/corpus, crashes to <work folder>/crash-*.
set -eu
seconds=${1:-300}
top=$(cd "$(dirname "$0")/.." && pwd)
work=${2:-$top/build-fuzz}
cxx=${CXX_FUZZ:-clang++}
mkdir -p "$work/corpus"
fuzzer="$work/profile_fuzz"
src="$top/platform/profile/profile_text.cpp $top/platform/profile/profile_file.cpp"
src="$src $top/platform/profile/fuzz/profile_fuzz.cpp"
stale=no
[ -x "$fuzzer" ] || stale=yes
for f in $src "$top/platform/profile/profile_file.h"; do
  [ "$f" -nt "$fuzzer" ] && stale=yes
done
if [ $stale = yes ]; then
  "$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$top" $src -o "$fuzzer"
fi
cd "$work"
"$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$work/" -dict="$top/platform/profile/fuzz/profile.dict" \
  "$work/corpus" "$top/platform/profile/fuzz/corpus"
