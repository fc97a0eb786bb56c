#!/usr/bin/env bash
# The manual page kehrlund(1) renders without a single warning, and it and the README name every
# fixed text that the program writes (the literals it passes through tr() and translate() in any
# source file below src/, however deep).
#
#   bash tests/check-manual.sh [TOP]     TOP: the top of the repository (default: this file's ../)
#
# The CTest test "manual" (label manual) runs it. Needs man (man-db), groff (groff-base) and perl;
# without them it fails: bash scripts/install-deps.sh manual installs them.
set -euo pipefail
top=${1:-$(dirname "$0")/..}
cd "$top"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

tools=()
command -v man >/dev/null || tools+=("man (package man-db)")
command -v groff >/dev/null || tools+=("groff (package groff-base)")
command -v perl >/dev/null || tools+=("perl")
[ ${#tools[@]} -eq 0 ] ||
    fail "cannot check the manual page without ${tools[*]}; bash scripts/install-deps.sh manual installs them"
man --version 2>/dev/null | grep -q '^man ' ||
    fail "man is not man-db's (it knows no --warnings); bash scripts/install-deps.sh manual installs it"

page=packaging/kehrlund.1
[ -f "$page" ] || fail "no $page in $(pwd)"

warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man --warnings on $page:"$'\n'"$warnings"

# Wide enough that no message is broken across lines.
rendered=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=400 man -E UTF-8 -l "$page")
[ -n "$rendered" ] || fail "man rendered $page as nothing"

sources=()
while IFS= read -r -d '' file; do
    sources+=("$file")
done < <(find src -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | LC_ALL=C sort -z)
[ ${#sources[@]} -gt 0 ] || fail "no source files below src/"

# Adjacent string literals are joined, as the compiler joins them.
texts=$(perl -0777 -ne '
    while (/\b(?:tr|translate)\(\s*(?:"[^"]*"\s*,\s*)?((?:"[^"]*"\s*)+)\)/g) {
        (my $text = $1) =~ s/"\s*"//g;
        $text =~ s/^"|"\s*$//g;
        print "$text\n" if length $text;
    }' "${sources[@]}" | LC_ALL=C sort -u)
for number in 001 002 003 004 005 006 007; do
    grep -q "^Fehler $number: " <<<"$texts" ||
        fail "found no text of Fehler $number in the ${#sources[@]} source files below src/"
done

missing=0
while IFS= read -r text; do
    grep -qF -- "$text" <<<"$rendered" || { echo "kehrlund(1) lacks: \"$text\""; missing=1; }
    grep -qF -- "$text" README.md || { echo "README.md lacks: \"$text\""; missing=1; }
done <<<"$texts"
[ $missing -eq 0 ] || fail "texts of the program missing from the documentation"
echo "kehrlund(1): no warnings; $(wc -l <<<"$texts") program texts from ${#sources[@]} source files documented"
