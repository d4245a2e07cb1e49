#!/usr/bin/env bash
# Fails if a relative link in a tracked Markdown file names a file or
# directory that does not exist (web links and in-page anchors are not
# checked). Prints each broken link as FILE: TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
broken=0
while IFS= read -r doc; do
  dir=$(dirname "$doc")
  # Inline links and images: ](target) or ](target "title").
  while IFS= read -r target; do
    target=${target%% *}
    target=${target%%#*}
    case "$target" in
      "" | http://* | https://* | mailto:*) continue ;;
    esac
    if [ ! -e "$dir/$target" ]; then
      echo "$doc: $target" >&2
      broken=1
    fi
  done < <(grep -o '](\([^)]*\))' "$doc" | sed 's/^](\(.*\))$/\1/')
done < <(git ls-files '*.md')
[ "$broken" -eq 0 ] && echo "every relative link resolves"
exit "$broken"
