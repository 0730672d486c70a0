#!/bin/sh
# debian-sources.sh TYPE DIR: writes, for an apt configuration of the build's
# own, the entries of this machine's apt sources for its own release (the
# suites CODENAME and CODENAME-*, such as -updates and -security) as entries
# of TYPE: deb for binary packages, deb-src for source packages. Their
# options (Signed-By and the like) are kept; other suites, other types and
# disabled entries are left out. One-line entries (sources.list, *.list) go
# to DIR/sources.list, deb822 ones (*.sources) to
# DIR/sources.list.d/archive.sources. Prints the release's codename. The
# machine's sources are only read.
set -eu
type=$1
dir=$2

release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"

rm -rf "$dir"
mkdir -p "$dir/sources.list.d"
set --
[ ! -f "${list:-}" ] || set -- "$list"
for file in "${parts:-/nonexistent/}"*.list "${parts:-/nonexistent/}"*.sources; do
    [ ! -f "$file" ] || set -- "$@" "$file"
done
[ $# -gt 0 ] || { echo "apt has no sources configured here." >&2; exit 1; }

awk -v type="$type" -v release="$release" \
    -v list="$dir/sources.list" -v sources="$dir/sources.list.d/archive.sources" '
    # With no codename known (as on unstable), every suite is taken.
    function wanted(suite) {
        return release == "" || suite == release || index(suite, release "-") == 1
    }
    function has_deb(types,    t, i, n) {
        n = split(types, t)
        for (i = 1; i <= n; i++) if (t[i] == "deb") return 1
        return 0
    }
    # The end of a deb822 entry: written out with TYPE and the wanted suites.
    function flush(    s, i, n, kept) {
        if (has_deb(types) && tolower(enabled) !~ /^[ \t]*no[ \t]*$/) {
            n = split(suites, s)
            kept = ""
            for (i = 1; i <= n; i++) if (wanted(s[i])) kept = kept " " s[i]
            if (kept != "") {
                printf "Types: %s\nSuites:%s%s\n\n", type, kept, fields > sources
                found++
            }
        }
        types = suites = enabled = fields = field = ""
    }
    FNR == 1 { flush(); deb822 = FILENAME ~ /\.sources$/ }
    !deb822 {
        # deb [OPTIONS] URI SUITE COMPONENT...
        line = $0
        sub(/#.*/, "", line)
        if (line !~ /^[ \t]*deb[ \t]/) next
        sub(/^[ \t]*deb/, "", line)
        rest = line
        sub(/^[ \t]*\[[^]]*\]/, "", rest)
        split(rest, word)
        if (wanted(word[2])) {
            print type line > list
            found++
        }
        next
    }
    /^#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ {  # the value of the last field goes on
        if (field == "types") types = types " " $0
        else if (field == "suites") suites = suites " " $0
        else fields = fields "\n" $0
        next
    }
    {
        colon = index($0, ":")
        field = tolower(substr($0, 1, colon - 1))
        value = substr($0, colon + 1)
        if (field == "types") types = value
        else if (field == "suites") suites = value
        else {
            if (field == "enabled") enabled = value
            fields = fields "\n" $0
        }
    }
    END {
        flush()
        if (!found) exit 1
    }' "$@" || {
    echo "apt's sources name no archive for this system's release (${release:-unknown})." >&2
    exit 1
}
echo "$release"
