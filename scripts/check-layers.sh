#!/usr/bin/env bash
# Checks that every #include between the folders of src/ points down the
# layers (src/README.md draws them): a folder may include its own headers,
# the public header and the folders listed for it here, nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [boundary]=""
  [gpu]="boundary"
  [model]="boundary"
  [imaging]="boundary"
  [cad]="boundary model imaging gpu"
  [inspect]="boundary model imaging gpu cad"
  [search]="boundary model imaging gpu"
  [resample]="boundary model imaging gpu"
  [masks]="boundary model imaging gpu"
  [circles]="boundary model imaging gpu"
)
status=0
for dir in src/*/; do
  folder=$(basename "$dir")
  if [[ ! -v allowed[$folder] ]]; then
    echo "check-layers: src/$folder has no place in the layers"
    status=1
    continue
  fi
  while IFS=: read -r file line target; do
    to=${target%%/*}
    [ "$to" = "$folder" ] || [ "$to" = pcbinspect ] && continue
    if [[ " ${allowed[$folder]} " != *" $to "* ]]; then
      echo "check-layers: $file:$line includes $target ($folder may include: ${allowed[$folder]:-nothing})"
      status=1
    fi
  done < <(grep -Hno '^#include "[^"]*"' "$dir"* | sed -E 's/^([^:]*):([0-9]+):#include "([^"]*)"/\1:\2:\3/')
done
[ $status -eq 0 ] && echo "check-layers: every include points down"
exit $status
