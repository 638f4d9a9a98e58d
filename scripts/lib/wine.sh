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

# Wine's loader of 32-bit programs, as Debian's wine32 installs it.
wine32_loader=/usr/lib/wine/wine

# wine32_way DIR: where the Wine tests run the 32-bit zdrv.exe, for ZDRV_WINE32 (native,
# image, emulated or auto, the default); prints native, image or emulated. Every way but
# the native one is said on standard error, in one line, with the reason. auto takes this
# machine's Wine where its 32-bit loader runs; otherwise the test image (scripts/guest-image),
# entered as a container where the kernel runs 32-bit code and as an emulated PC where it
# does not. DIR is where kernel_lacks_32bit may write its probe.
wine32_way() {
  local setting=${ZDRV_WINE32:-auto} way reason trouble
  case "$setting" in
    native) echo native; return 0 ;;
    image | emulated) way=$setting reason="ZDRV_WINE32=$setting" ;;
    auto)
      if [ ! -e "$wine32_loader" ]; then
        trouble="Wines 32-Bit-Lader $wine32_loader fehlt"
      else
        trouble=$(wine_loader_trouble "$wine32_loader" 32)
        [ -n "$trouble" ] || { echo native; return 0; }
        trouble="Wines 32-Bit-Lader läuft nicht ($trouble)"
      fi
      if kernel_lacks_32bit "$1"; then
        way=emulated reason="dieser Kernel führt keinen 32-Bit-Code aus"
      else
        way=image reason=$trouble
      fi
      ;;
    *) echo "ZDRV_WINE32 is native, image, emulated or auto, not '$setting'" >&2; return 2 ;;
  esac
  if [ "$way" = image ]; then
    echo "Die 32-Bit-Tests unter Wine laufen im Testabbild, als Container: $reason" >&2
  else
    echo "Die 32-Bit-Tests unter Wine laufen im Testabbild, in einem emulierten PC: $reason" >&2
  fi
  echo "$way"
}
