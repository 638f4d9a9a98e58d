# shellcheck shell=bash
# Sourced by the release scripts: ZDRV_RELEASE_URL, the address of the folder in which the
# owner will publish the release's files. With it, packaging/make-manifests writes the
# manifests of winget and Scoop, which name each file by its address there.

# manifests_check PREFIX: fails with one line, said as PREFIX, when ZDRV_RELEASE_URL is set
# but is no https:// address of a folder: winget and Scoop download over https, and a
# query, a fragment or a "$" (Scoop's placeholder) would not survive a file name appended.
manifests_check() {
  local url=${ZDRV_RELEASE_URL:-}
  local folder="^https://[A-Za-z0-9.-]+(:[0-9]+)?(/[A-Za-z0-9._~%+=,:@/-]*)?$"
  if [ -n "$url" ] && [[ ! $url =~ $folder ]]; then
    echo "$1: ZDRV_RELEASE_URL must be the https:// address of the folder the release will be" \
      "published in, such as https://example.org/zdrv/1.00/, not ${url@Q}" >&2
    return 1
  fi
}
