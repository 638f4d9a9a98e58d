# shellcheck shell=bash
# Sourced by the scripts that run Wine (scripts/build, bench/run).

# wine_loader_trouble LOADER BITS: why LOADER, Wine's loader of BITS-bit programs, cannot
# run on this machine; nothing when it can. A kernel without 32-bit compatibility mode
# refuses to execute the 32-bit loader at all.
wine_loader_trouble() {
  local loader=$1 bits=$2 output status=0
  output=$("$loader" --version 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then
    return
  fi
  if [ "$status" -eq 126 ] && grep -q "Exec format error" <<<"$output"; then
    echo "the kernel cannot execute $loader, Wine's loader of $bits-bit programs (Exec format" \
      "error, exit 126): this machine runs no $bits-bit x86 code"
  else
    echo "$loader --version failed (exit $status): $(head -1 <<<"$output")"
  fi
}
