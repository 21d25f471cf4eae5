#!/usr/bin/env bash
# The shared library exports the C functions of tavro.h and nothing of ours, TBB's or
# Highway's, and as many of them as the interface has. Usage:
# exported_symbols.sh NM LIBRARY HEADER COUNT
set -euo pipefail
nm_tool=$1 lib=$2 header=$3 count=$4

declared=$(grep -oE '^TAVRO_API[^(]*\btavro_[a-z0-9_]+\(' "$header" |
           grep -oE 'tavro_[a-z0-9_]+' | sort)
exported=$("$nm_tool" -D --defined-only "$lib" | awk '$3 ~ /^tavro_/ && $2 == "T" {print $3}' | sort)
status=0
if [ "$declared" != "$exported" ]; then
  echo "declared in tavro.h but not exported, or exported but not declared:"
  diff <(echo "$declared") <(echo "$exported") || true
  status=1
fi
n=$(echo "$exported" | grep -c . || true)
[ "$n" -eq "$count" ] || { echo "$n tavro_ functions exported, $count expected"; status=1; }

# Nothing else: the version script keeps even the standard library's vague-linkage objects in.
while read -r _ type name; do
  case $name in
    tavro_*) [ "$type" = T ] && continue ;;
  esac
  echo "unexpected export: $type $name"
  status=1
done < <("$nm_tool" -D --defined-only --demangle "$lib")
[ $status -eq 0 ] && echo "exports: $(echo "$exported" | wc -l) tavro_ functions"
exit $status
