#!/usr/bin/env bash
# One end-to-end case: runs the updater on a simulated device and checks its
# whole standard output byte for byte, its exit status and the device's
# flash afterwards.
#
# run_case.sh WORKDIR TRANSCRIPT STATUS IMAGE FLASH HOST [OPTIONS...] -- PROGRAM
#   IMAGE  size in bytes of the test image, or "missing" for no image file
#   FLASH  image      the flash holds the image, padded with 0xFF to whole blocks
#          untouched  the flash is as the device left the factory
#          not-image  the flash does not hold the image
#          none       there is no device
#   HOST   simbus or inprocess_update; it also makes the image and the
#          factory flash (make-image, fresh-flash)
# The image path goes after PROGRAM.
set -uo pipefail

workdir=$1 transcript=$2 want_status=$3 image_size=$4 want_flash=$5 host=$6
shift 6

rm -rf "$workdir"
mkdir -p "$workdir"
image=$workdir/image.bin
flash=$workdir/flash.bin
stdout=$workdir/stdout.txt
failed=0

fail() {
  echo "FAIL: $*"
  failed=1
}

if [[ $image_size != missing ]]; then
  "$host" make-image "$image" "$image_size" || { echo "cannot make the image"; exit 1; }
fi

"$host" --flash-out="$flash" "$@" "$image" >"$stdout"
status=$?

if ! cmp -s "$stdout" "$transcript"; then
  fail "standard output differs from $transcript (cat -A view, expected first)"
  diff <(cat -A "$transcript") <(cat -A "$stdout") | head -40
fi
[[ $status -eq $want_status ]] || fail "exit status $status, expected $want_status"

case $want_flash in
  image)
    padded=$workdir/padded.bin
    cp "$image" "$padded"
    padding=$(( (512 - image_size % 512) % 512 ))
    head -c "$padding" /dev/zero | tr '\0' '\377' >>"$padded"
    cmp -s -n "$(stat -c %s "$padded")" "$padded" "$flash" ||
      fail "the flash does not hold the padded image"
    ;;
  not-image)
    [[ -f $flash ]] || fail "no flash was written"
    cmp -s -n "$image_size" "$image" "$flash" && fail "the flash holds the image"
    ;;
  untouched)
    "$host" fresh-flash "$workdir/factory.bin"
    cmp -s "$workdir/factory.bin" "$flash" || fail "the flash was changed"
    ;;
  none)
    [[ ! -e $flash ]] || fail "a flash was written, but there was no device"
    ;;
  *)
    fail "unknown flash expectation '$want_flash'"
    ;;
esac

[[ $failed -eq 0 ]] && rm -rf "$workdir"
exit "$failed"
