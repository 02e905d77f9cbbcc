#!/usr/bin/env bash
# Makes the program's artwork: the background bitmap (103) and the two icons
# (101, 102), the model name in white on RAL 2004 orange, the colour of the
# dialog's background brush. The results are committed; run this again only
# to change them. Needs ImageMagick and the DejaVu fonts.
#
#   qvm7316.bmp        247 x 50, 24 bits per pixel, drawn at 115,10 in the dialog
#   qvm7316.ico        32 x 32, 24 bits per pixel (icon 101, the window's icon)
#   qvm7316-alt.ico    32 x 32, 24 bits per pixel (icon 102, framed variant)
#
# ImageMagick writes a true 24-bit bitmap with `-type TrueColor -alpha off
# BMP3:`, but cannot write a 24-bit .ico, so the .ico container is put
# together here around such a bitmap.
set -euo pipefail
cd "$(dirname "$0")"

ORANGE='#E75B12'  # red 231, green 91, blue 18: the brush colour 0x125BE7
FONT=DejaVu-Sans-Bold
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

truecolor_bmp() {  # truecolor_bmp <ImageMagick arguments...> <out.bmp>
    local out=${*: -1}
    convert "${@:1:$#-1}" -type TrueColor -alpha off -define bmp:format=bmp3 "BMP3:$out"
}

# Little-endian 16- and 32-bit values as printf escapes.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }

# Wraps a 32 x 32, 24-bit BMP3 into a one-image .ico: the icon directory, its
# one entry, then the bitmap's info header with the height doubled (colour
# rows plus mask rows), the colour rows as they are, and an all-opaque mask.
make_ico() {  # make_ico <in.bmp> <out.ico>
    local bmp=$1 ico=$2 size=32
    local pixels=$((size * size * 3)) mask=$((size * size / 8))
    local offset=$((6 + 16)) image=$((40 + pixels + mask))
    local header_size
    header_size=$(od -An -t u4 -j 14 -N 4 "$bmp" | tr -d ' ')
    [ "$header_size" = 40 ] || { echo "unexpected bitmap header size $header_size in $bmp" >&2; exit 1; }
    {
        printf "$(le16 0)$(le16 1)$(le16 1)"
        printf "\\x$(printf %02x $size)\\x$(printf %02x $size)\\x00\\x00$(le16 1)$(le16 24)$(le32 $image)$(le32 $offset)"
        # BITMAPINFOHEADER: size, width, height x 2, planes, bit count,
        # compression, image size, resolution x and y, colours used, important.
        printf "$(le32 40)$(le32 $size)$(le32 $((size * 2)))$(le16 1)$(le16 24)$(le32 0)$(le32 $((pixels + mask)))"
        printf "$(le32 0)$(le32 0)$(le32 0)$(le32 0)"
        tail -c "$pixels" "$bmp"
        head -c "$mask" /dev/zero
    } >"$ico"
}

# Background bitmap: the model name, with a thin white rule below it.
truecolor_bmp -size 247x50 "xc:$ORANGE" -fill white -font "$FONT" -pointsize 34 \
    -gravity center -annotate +0-3 'QVM7316' -draw 'rectangle 24,45 222,46' qvm7316.bmp

# Icons: the model name on two lines; the second icon has a white frame.
face=(-fill white -font "$FONT" -gravity center -pointsize 10 -annotate +0-6 QVM -pointsize 9 -annotate +0+7 7316)
truecolor_bmp -size 32x32 "xc:$ORANGE" "${face[@]}" "$tmp/icon101.bmp"
truecolor_bmp -size 32x32 "xc:$ORANGE" -fill none -stroke white -strokewidth 2 -draw 'rectangle 1,1 30,30' \
    -stroke none "${face[@]}" "$tmp/icon102.bmp"
make_ico "$tmp/icon101.bmp" qvm7316.ico
make_ico "$tmp/icon102.bmp" qvm7316-alt.ico

identify qvm7316.bmp qvm7316.ico qvm7316-alt.ico
