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

# kernel_lacks_32bit DIR: whether this machine's kernel positively cannot run 32-bit x86
# code (it has no IA32 compatibility mode), tried with a 93-byte 32-bit program that only
# exits, written to DIR. Any other outcome, a folder that forbids exec included, counts as
# "can": then nothing is left out that might have run.
kernel_lacks_32bit() {
  local program output status=0
  program=$(mktemp "$1/exit32.XXXXXX")
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$program"
  chmod +x "$program"
  output=$("$program" 2>&1) || status=$?
  rm -f "$program"
  [ "$status" -eq 126 ] && grep -q "Exec format error" <<<"$output"
}
