# shellcheck shell=bash
# Sourced by scripts/install-deps and scripts/guest-image: what they make of apt's
# failures to fetch the package lists. A mirror in mid-sync serves, for a while, an index
# whose size or hash does not match its Release file; apt then goes on with the other
# lists and says so. Such a failure, and a failed fetch or name lookup, may be gone a
# little later, so it is tried again; any other (a broken sources file, say) is not.

# How often a transient failure is tried, and the pause in seconds between two tries.
apt_tries=3
apt_pause=20

# apt_transient FILE: whether the apt output in FILE shows a failure that may pass.
apt_transient() {
  grep -Eq 'Mirror sync in progress|unexpected size|Hash Sum mismatch|Failed to fetch|Temporary failure resolving|Could not resolve|Could not connect|Connection timed out|Connection failed' "$1"
}

# apt_errors FILE: apt's error lines in FILE (E:, and the W: of a failed fetch).
apt_errors() {
  grep -E '^(E: |W: .*Failed to fetch)' "$1" || true
}

# apt_broken_suites FILE: the suites whose lists could not be fetched according to the
# apt output in FILE, one a line (from ".../dists/SUITE/..." in "Failed to fetch").
apt_broken_suites() {
  sed -n 's|.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*|\1|p' "$1" | sort -u
}

# apt_sources_without SUITES FILE: FILE, a sources file in one-line (.list) or deb822
# (.sources) form, without the suites named in SUITES (separated by blanks). A deb822
# stanza loses those names from its Suites field, and goes when none is left.
apt_sources_without() {
  local suites=$1 file=$2
  case "$file" in
    *.sources)
      awk -v drop=" $suites " '
        function flush() {
          if (n > 0 && keep) for (i = 1; i <= n; i++) print lines[i]
          n = 0; keep = 1
        }
        BEGIN { keep = 1 }
        /^[ \t]*$/ { flush(); print; next }
        tolower($1) == "suites:" {
          value = ""
          for (i = 2; i <= NF; i++) if (index(drop, " " $i " ") == 0) value = value " " $i
          if (value == "") keep = 0
          $0 = $1 value
        }
        { lines[++n] = $0 }
        END { flush() }' "$file"
      ;;
    *)
      # deb [options] URI SUITE COMPONENTS...: the options may span several fields.
      awk -v drop=" $suites " '
        /^[ \t]*(deb|deb-src)[ \t]/ {
          i = 2
          if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
          if (index(drop, " " $(i + 1) " ") > 0) next
        }
        { print }' "$file"
      ;;
  esac
}
