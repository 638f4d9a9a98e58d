# shellcheck shell=bash
# Sourced by scripts/install-deps and scripts/guest-image: what they make of apt's
# sources and of its failures to fetch the package lists. A mirror in mid-sync serves, for
# a while, an index whose size or hash does not match its Release file; apt then goes on
# with the other lists and says so. Such a failure, and a failed fetch or name lookup, may
# be gone a little later, so it is tried again; any other (a broken sources file, say) is
# not.

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

# The parser of apt's sources files behind apt_has_suite and apt_backports_source: it calls
# entry(URIS, SUITES, KEY) for each enabled deb entry of one-line (.list) and deb822
# (.sources) files, KEY being its Signed-By as deb822 lines (a key given inline keeps its
# continuation lines) or "".
apt_entries='
  function flush() {
    if (stanza && types ~ /(^|[ \t])deb([ \t]|$)/ && tolower(enabled) != "no")
      entry(uris, suites, key)
    stanza = 0; types = uris = suites = key = enabled = field = ""
  }
  FNR == 1 { flush(); deb822 = FILENAME ~ /\.sources$/ }
  deb822 && /^#/ { next }
  deb822 && /^[ \t]*$/ { flush(); next }
  deb822 && /^[ \t]/ { if (field == "signed-by") key = key "\n" $0; next }
  deb822 {
    stanza = 1
    field = tolower(substr($0, 1, index($0, ":") - 1))
    value = substr($0, index($0, ":") + 1)
    gsub(/^[ \t]+|[ \t]+$/, "", value)
    if (field == "types") types = value
    else if (field == "uris") uris = value
    else if (field == "suites") suites = value
    else if (field == "enabled") enabled = value
    else if (field == "signed-by") key = "Signed-By:" (value == "" ? "" : " " value)
    next
  }
  /^[ \t]*deb[ \t]/ {
    # deb [options] URI SUITE COMPONENTS...: the options may span several fields.
    key = ""; i = 2
    if ($i ~ /^\[/) {
      for (; i <= NF; i++) {
        option = $i
        gsub(/[][]/, "", option)
        if (option ~ /^signed-by=/) key = "Signed-By: " substr(option, 11)
        if ($i ~ /\]$/) break
      }
      i++
    }
    entry($i, $(i + 1), key)
    key = ""
  }
  END { flush() }
  function names(word, list) { return index(" " list " ", " " word " ") > 0 }
'

# apt_has_suite SUITE FILE...: whether an enabled source of the sources FILEs names SUITE.
apt_has_suite() {
  local suite=$1
  shift
  [ $# -gt 0 ] || return 1
  awk -v suite="$suite" "$apt_entries"'
    function entry(uris, suites, key) { if (names(suite, suites)) found = 1 }
    END { exit !found }' "$@"
}

# apt_backports_source SUITE RELEASE FILE...: a deb822 source of SUITE (main) with the
# URIs and key of the first source in the FILEs that names RELEASE itself, Debian's own
# archive; nothing when none does.
apt_backports_source() {
  local suite=$1 release=$2
  shift 2
  [ $# -gt 0 ] || return 0
  awk -v suite="$suite" -v release="$release" "$apt_entries"'
    function entry(uris, suites, key) {
      if (done || !names(release, suites)) return
      printf "Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n", uris, suite
      if (key != "") print key
      done = 1
    }' "$@"
}

# apt_install_trouble INSTALL UPDATE: why apt could not install, in a few words: the last
# error of its install output in INSTALL, and the suites whose lists its update (output
# in UPDATE) could not fetch, the likely cause.
apt_install_trouble() {
  local error suites
  error=$(sed -n 's/^E: //p' "$1" | tail -n 1)
  suites=$(apt_broken_suites "$2" | xargs)
  printf '%s' "${error:-apt-get install schlug fehl}"
  [ -z "$suites" ] || printf '; Paketlisten nicht abrufbar: %s' "$suites"
  printf '\n'
}
