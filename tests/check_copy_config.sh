#!/usr/bin/env bash
# The build's copy of the simulator's tdc_qv5.ini beside the program: copied
# when none is there, refreshed while it is still the build's copy, never
# overwritten once the user changed or replaced it.
set -euo pipefail

module=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
src=$dir/source.ini dest=$dir/bin/tdc_qv5.ini stamp=$dir/tdc_qv5.ini.copied

configure() {
  cmake -DSOURCE="$src" -DDESTINATION="$dest" -DSTAMP="$stamp" -P "$module" > "$dir/log" 2>&1 ||
    { cat "$dir/log"; echo "the copy script failed"; exit 1; }
}
fail() { echo "$case: $*"; cat "$dir/log"; exit 1; }

# Each case: what is there before the configure (the destination's content or
# "none", the stamp: "stamp" for the build's last copy, "none"), the source's
# content at the configure, and the destination's content expected after it.
while IFS='|' read -r case before stamped source expected; do
  rm -rf "$dir/bin" "$stamp"
  if [ "$before" != none ]; then
    # The build's copy of "old", then maybe changed by the user.
    printf 'old\n' > "$src"
    configure
    [ "$stamped" = stamp ] || rm "$stamp"
    [ "$before" = old ] || printf '%s\n' "$before" > "$dest"
  fi
  printf '%s\n' "$source" > "$src"
  configure
  [ "$(cat "$dest")" = "$expected" ] || fail "holds '$(cat "$dest")', expected '$expected'"
  if [ "$expected" = "$source" ]; then
    grep -q Keeping "$dir/log" && fail "said it keeps the file it replaced"
    [ "$(cat "$stamp")" = "$(sha256sum "$src" | cut -d' ' -f1)" ] || fail "stamp not of the copy"
  else
    grep -q "Keeping your $dest" "$dir/log" || fail "did not say that it keeps the user's file"
  fi
done <<'TABLE'
fresh copy|none|none|new|new
unchanged copy, source changed|old|stamp|new|new
unchanged copy, source the same|old|stamp|old|old
user changed it|mine|stamp|new|mine
user changed it, source the same|mine|stamp|old|mine
user's file from before any stamp|mine|none|new|mine
equal to the source, no stamp yet|old|none|old|old
TABLE
echo "all cases passed"
