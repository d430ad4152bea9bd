#!/bin/bash
# Rewrites the seed corpus with the pack tool of a main build:
#   tests/fuzz/make-corpus.sh MAIN_BUILD_DIR
# Packages (encrypted with the fuzz target's key), their plaintext JSON and the documents
# of a few DCP variants; small enough to keep in the tree.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
pack="$1/tools/orvdcp-pack"
key="tolvane-fuzz-decoding-key-0123456789abcdef"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
out="$here/corpus"
rm -rf "$out"
mkdir -p "$out"

variant() {
    local name="$1"
    shift
    local dir
    dir="$("$pack" generate --out "$tmp/$name" --size 64 --seed 7 "$@" | head -n 1)"
    "$pack" pack --key "$key" --base-url "https://assets.example.invalid/{dcp}" --out "$out/$name.orvdcp" "$dir"
    "$pack" decrypt --key "$key" "$out/$name.orvdcp" >"$out/$name.json"
    for f in "$dir"/ASSETMAP* "$dir"/CPL_*.xml "$dir"/PKL_*.xml; do
        cp "$f" "$out/$name-$(basename "$f" | cut -c1-8 | tr -d '.')"
    done
}

variant smpte-subtitles --reels 2 --subtitles --title "Fuzz Feature"
variant interop-stereo --interop --stereo msp2007 --assetmap-prefixed --extra-asset-list-entries --bare-ids
variant unnamed-crlf --pkl-no-original-file-name all --pkl-no-annotation-text --crlf --xml-comments --chunk-no-length
variant one-line --one-line --stereo default --cpl-phantom-asset --assetmap-extra-asset
ls -l "$out"
