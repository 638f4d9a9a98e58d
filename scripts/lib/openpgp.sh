# shellcheck shell=bash
# Sourced by the release scripts: OpenPGP signatures that are the same bytes every time
# the same key signs the same file.

# openpgp_sign KEY GPG_OPTION...: signs with KEY (a fingerprint in the caller's keyring),
# dated SOURCE_DATE_EPOCH, so that signing again gives the same bytes; but no earlier
# than the key was made: gpg neither signs with a key from its future nor accepts such a
# signature. Shows gpg's output only when it fails.
openpgp_sign() {
  local key=$1 made
  shift
  made=$(gpg --batch --with-colons --list-secret-keys -- "$key" |
    awk -F: '($1 == "sec" || $1 == "ssb") && $2 !~ /[dire]/ && $12 ~ /s/ && $6 > made {
               made = $6 } END { print made + 0 }')
  local time=$((made > SOURCE_DATE_EPOCH ? made : SOURCE_DATE_EPOCH))
  # gpg warns about the fixed time on every call; only a failure is worth showing.
  local output
  if ! output=$(gpg --batch --yes --faked-system-time "$time!" --local-user "$key" "$@" 2>&1); then
    printf '%s\n' "$output" >&2
    return 1
  fi
}
