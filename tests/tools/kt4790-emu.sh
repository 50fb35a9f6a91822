#!/usr/bin/env bash
# End-to-end checks of kt4790-emu on images in a temporary folder.
#   kt4790-emu.sh TOOL GROUP     GROUP: create-show | list | replug | import | errors
set -u

emu=$1
group=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

checks=0
failures=0
out=""
err=""
rc=0

runner=()  # what the tool runs under, when not as this user
run() {  # run ARGS...: runs the tool, keeps stdout, stderr and exit code; a hang fails (exit code 124)
    timeout 120 ${runner[@]+"${runner[@]}"} "$emu" "$@" >"$work/stdout" 2>"$work/stderr"
    rc=$?
    out=$(cat "$work/stdout")
    err=$(cat "$work/stderr")
}

check() {  # check DESCRIPTION CONDITION...
    local what=$1
    shift
    checks=$((checks + 1))
    if ! "$@"; then
        failures=$((failures + 1))
        echo "FAIL: $what"
        echo "  exit code: $rc"
        echo "  stdout: ${out//$'\n'/$'\n          '}"
        echo "  stderr: $err"
    fi
}

succeeded() { [[ $rc -eq 0 && -z "$err" ]]; }
has_line() { grep -qxF -- "$1" <<<"$out"; }
has_text() { grep -qF -- "$1" <<<"$out"; }
lacks_text() { ! grep -qF -- "$1" <<<"$out"; }
# A refusal: the given exit code, one line on stderr naming the tool, no crash.
refused_with() {
    [[ $rc -eq $1 ]] && [[ $(wc -l <"$work/stderr") -eq 1 ]] && [[ "$err" == "kt4790-emu: "* ]]
}
# The lines that follow a library's heading up to the next heading.
section() { awk -v lib="$1 (" 'index($0, lib) == 1 { on = 1; print; next } /^KT4790/ { on = 0 } on' <<<"$out"; }
section_is() {  # section_is LIBRARY EXPECTED-LINES
    [[ "$(section "$1")" == "$2" ]]
}

create_show() {
    run create "$work/default.img"
    check "create with defaults" succeeded
    check "create reports what it made" \
        has_line "created $work/default.img: chip 0x30, small blocks, 1 zone(s), 1 chip(s), name \"DEMO DISK\""
    run show "$work/default.img"
    check "show a default image" succeeded
    for line in "chip code:         0x30" "blocks:            small, 32 sectors each" \
        "zones:             1" "chips:             1" "physical blocks:   1024" "logical blocks:    1000" \
        "revision:          \"KVOR\"" "inquiry byte 3:    0x02" "write protected:   no" \
        "password:          none" "descriptor sector: 1 (block 0)" "device name:       \"DEMO DISK\"" \
        "hint:              (none)" "standard area:     0 logical blocks"; do
        check "default image shows '$line'" has_line "$line"
    done

    run create "$work/full.img" --chip 0x13 --large --zones 2 --chips 2 --revision P1.0 --name "Second Disk" \
        --password secret --hint "first pet" --write-protected --inquiry-byte3 0 --replace 1,129
    check "create with every option" succeeded
    run show "$work/full.img"
    check "show an image made with every option" succeeded
    for line in "chip code:         0x13" "blocks:            large, 256 sectors each" \
        "zones:             2" "chips:             2" "physical blocks:   256" "logical blocks:    250" \
        "revision:          \"P1.0\"" "inquiry byte 3:    0x00" "write protected:   yes" \
        "password:          set" "descriptor sector: 1" "device name:       \"Second Disk\"" \
        "hint:              \"first pet\"" "replaced blocks:   1 by 126, 129 by 254"; do
        check "full image shows '$line'" has_line "$line"
    done
    check "the password itself is never shown" lacks_text "secret"

    # The descriptor sector is found where the libraries look for it.
    run create "$work/block5.img" --descriptor-block 5 --name Moved
    run show "$work/block5.img"
    check "small blocks: descriptor in block 5 is sector 161" has_line "descriptor sector: 161 (block 5)"
    check "name read from the moved descriptor sector" has_line "device name:       \"Moved\""
    run create "$work/large2.img" --large --descriptor-block 2
    run show "$work/large2.img"
    check "large blocks: descriptor in block 2 is sector 513" has_line "descriptor sector: 513 (block 2)"

    run create "$work/utf8.img" --name "Zoë Ünß" --revision KV
    run show "$work/utf8.img"
    check "a name beyond ASCII survives the round trip" has_line "device name:       \"Zoë Ünß\""
    check "a short revision is padded with blanks" has_line "revision:          \"KV  \""

    # Images stay as small as the medium is empty: the largest of each chip
    # code takes a few blocks of the file system, whatever its size.
    run create "$work/big30.img" --zones 255
    check "create the largest chip 0x30 medium" succeeded
    run create "$work/big13.img" --chip 0x13 --large --zones 128 --chips 8
    check "create the largest chip 0x13 medium" succeeded
    for image in big30.img big13.img; do
        check "$image holds at most 256 KB" test $(($(stat -c %b "$work/$image") * $(stat -c %B "$work/$image"))) -le 262144
    done
    rm -f "$work/big30.img" "$work/big13.img"

    # Reading an image does not change it.
    cp "$work/full.img" "$work/full.copy"
    run show "$work/full.img"
    check "show leaves the image unchanged" cmp -s "$work/full.img" "$work/full.copy"
}

list() {
    "$emu" create "$work/a.img" >/dev/null
    "$emu" create "$work/b.img" --chip 0x13 --revision P1.0 --name "Fallback Rev" --password pw >/dev/null
    "$emu" create "$work/c.img" --revision ABCD --name "Other Rev" >/dev/null
    "$emu" create "$work/d.img" --inquiry-byte3 0x80 --name "Refused" >/dev/null
    "$emu" create "$work/e.img" --large --descriptor-block 2 --name "  Padded  " >/dev/null
    cp "$work/a.img" "$work/a.copy"

    run list "$work/a.img" "$work/b.img" "$work/c.img" "$work/d.img" "$work/e.img"
    check "list five images" succeeded
    check "each image gets its own ASPI target" has_text "attached $work/e.img: ASPI 0:4, "
    local expected='  1. "DEMO DISK"
  2. "Fallback Rev"
  3. "Padded"'
    check "KT4790DLL lists the matching devices in order, names trimmed" section_is KT4790DLL \
        "KT4790DLL (filter \"Rev_KVOR\"): GetAllDeviceName returned 1, 3 devices
$expected"
    check "KT4790mDLL lists the matching devices in order, names trimmed" section_is KT4790mDLL \
        "KT4790mDLL (filter \"KVOR\"): GetAllDeviceName returned 1, 3 devices
$expected"
    check "a foreign revision is not listed" lacks_text "Other Rev"
    check "a device refused by INQUIRY is not listed" lacks_text "Refused"
    check "list leaves the image unchanged" cmp -s "$work/a.img" "$work/a.copy"

    run list "$work/c.img"
    check "list with no matching device" succeeded
    check "KT4790DLL finds nothing and returns 0" \
        has_line 'KT4790DLL (filter "Rev_KVOR"): GetAllDeviceName returned 0, no device found'
    check "KT4790mDLL finds nothing and returns 1" \
        has_line 'KT4790mDLL (filter "KVOR"): GetAllDeviceName returned 1, no device found'

    # Seven matching devices: the table of six is filled, no more.
    local images=()
    for k in 1 2 3 4 5 6 7; do
        "$emu" create "$work/n$k.img" --name "Disk $k" >/dev/null
        images+=("$work/n$k.img")
    done
    run list "${images[@]}"
    check "seven devices: six listed by KT4790DLL" \
        has_line 'KT4790DLL (filter "Rev_KVOR"): GetAllDeviceName returned 1, 6 devices'
    check "seven devices: six listed by KT4790mDLL" \
        has_line 'KT4790mDLL (filter "KVOR"): GetAllDeviceName returned 1, 6 devices'
    check "seven devices: the seventh is left out" lacks_text "Disk 7"

    # Without the libraries beside it, the tool says so and fails.
    mkdir "$work/alone"
    cp "$emu" "$work/alone/kt4790-emu"
    "$work/alone/kt4790-emu" list "$work/a.img" >"$work/stdout" 2>"$work/stderr"
    rc=$?
    out=$(cat "$work/stdout")
    err=$(cat "$work/stderr")
    check "no libraries: exit code 1" test "$rc" -eq 1
    check "no libraries: KT4790DLL cannot be loaded" \
        has_line 'KT4790DLL (filter "Rev_KVOR"): cannot be loaded (LoadLibraryA failed)'
    check "no libraries: KT4790mDLL cannot be loaded" \
        has_line 'KT4790mDLL (filter "KVOR"): cannot be loaded (LoadLibraryA failed)'
}

# shellcheck source=tests/tools/earlier-image.sh
source "$(dirname "${BASH_SOURCE[0]}")/earlier-image.sh"

replug() {
    "$emu" create "$work/pw.img" --password secret >/dev/null
    run replug "$work/pw.img"
    check "replug an unlocked disk" succeeded
    check "replug reports the disk" has_line "replugged $work/pw.img"

    # Three wrong passwords locked the disk; the image is of version 3.
    earlier_image "$work/locked.img" 3
    cp "$work/locked.img" "$work/locked.copy"
    run show "$work/locked.img"
    check "show reads an image of version 3" has_line "chip code:         0x30"
    check "show reads the password of a version 3 image" has_line "password:          set"
    check "show leaves a version 3 image as it was" cmp -s "$work/locked.img" "$work/locked.copy"
    run replug "$work/locked.img"
    check "replug a locked disk" succeeded
    check "replug says it cleared the lock" has_line "replugged $work/locked.img: failed password checks cleared"
    check "the image is written anew in version 4" test "$(version_of "$work/locked.img")" = 4
    run replug "$work/locked.img"
    check "the count is cleared in the image" has_line "replugged $work/locked.img"
    run show "$work/locked.img"
    check "the replugged image still shows its password" has_line "password:          set"
    check "no temporary file is left" test "$(ls "$work" | grep -c tmp)" -eq 0

    # An upgrade writes its new file under a name no other program can
    # foresee, never through a link planted where a foreseeable name would
    # be, and keeps the image's permissions (it holds the password).
    earlier_image "$work/private.img" 0
    chmod 600 "$work/private.img"
    echo victim >"$work/victim.txt"
    sh -c 'ln -s "$1/victim.txt" "$1/private.img.$$.tmp"; exec "$2" replug "$1/private.img"' _ "$work" "$emu" \
        >"$work/stdout" 2>"$work/stderr"
    rc=$?
    out=$(cat "$work/stdout")
    err=$(cat "$work/stderr")
    check "replug beside a planted link" succeeded
    check "the planted link's target stays as it was" test "$(cat "$work/victim.txt")" = victim
    check "the upgraded image is a file of its own" test ! -L "$work/private.img"
    check "the upgraded image is of version 4" test "$(version_of "$work/private.img")" = 4
    check "the upgraded image keeps mode 600" test "$(stat -c %a "$work/private.img")" = 600
    rm -f "$work"/private.img.*.tmp

    # It keeps the image's owner and group too; where the system does not
    # allow that (another user's image, written by a user other than root)
    # the image is not upgraded. Only root can give files to other users.
    if [[ $(id -u) -eq 0 ]]; then
        earlier_image "$work/owned.img" 3
        chown 65534:65534 "$work/owned.img"
        chmod 640 "$work/owned.img"
        run replug "$work/owned.img"
        check "replug of another user's image by root" succeeded
        check "the upgraded image keeps its owner, group and mode" \
            test "$(stat -c '%u:%g %a' "$work/owned.img")" = "65534:65534 640"
        chmod 755 "$work"
        mkdir -m 777 "$work/shared"
        earlier_image "$work/shared/theirs.img" 3
        chgrp 65534 "$work/shared/theirs.img"
        chmod 660 "$work/shared/theirs.img"
        cp -p "$work/shared/theirs.img" "$work/theirs.copy"
        runner=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        run replug "$work/shared/theirs.img"
        runner=()
        check "replug by another user than the image's owner refused" refused_with 1
        check "the refusal says what the new file could not be given" grep -qF "owner, group and permissions" "$work/stderr"
        check "a refused upgrade leaves the image as it was" cmp -s "$work/shared/theirs.img" "$work/theirs.copy"
        check "a refused upgrade leaves its owner" test "$(stat -c '%u:%g' "$work/shared/theirs.img")" = "0:65534"
        check "a refused upgrade leaves no new file" test "$(ls "$work/shared")" = theirs.img
    else
        echo "kt4790-emu replug: not run as root, the rows of another user's image are left out"
    fi

    earlier_image "$work/impossible.img" 9
    cp "$work/impossible.img" "$work/impossible.copy"
    run replug "$work/impossible.img"
    check "replug refuses a failed-check count no device reaches" refused_with 1
    check "a refused replug leaves the file as it was" cmp -s "$work/impossible.img" "$work/impossible.copy"

    # Through a second name: the file the name leads to is changed, the names
    # stay as they were. An image of version 3 is written anew beside the
    # file a symbolic link names; one with a second hard link would lose it
    # and is refused. The current version is changed in place.
    head -c $((32000 * 512)) /dev/urandom >"$work/data.raw"
    local rows=(
        "replug symlink 3 changed"
        "replug hardlink 3 refused"
        "import symlink 3 changed"
        "import hardlink 3 refused"
        "import symlink 4 changed"
        "import hardlink 4 changed"
    )
    local row verb kind version outcome
    for row in "${rows[@]}"; do
        read -r verb kind version outcome <<<"$row"
        rm -rf "$work/names" && mkdir -p "$work/names/real"
        local file=$work/names/real/disk.img name=$work/names/other.img
        if [[ $version == 3 ]]; then earlier_image "$file" 3; else "$emu" create "$file" >/dev/null; fi
        if [[ $kind == symlink ]]; then ln -s real/disk.img "$name"; else ln "$file" "$name"; fi
        cp "$file" "$work/names/before"
        local args=("$name")
        [[ $verb == import ]] && args+=("$work/data.raw")
        run "$verb" "${args[@]}"
        if [[ $outcome == refused ]]; then
            check "$verb through a $kind of a version $version image refused" refused_with 1
            check "$verb through a $kind: the refusal names the second name" grep -qF "another name" "$work/stderr"
            check "$verb through a $kind: the image stays as it was" cmp -s "$file" "$work/names/before"
        else
            check "$verb through a $kind of a version $version image" succeeded
            check "$verb through a $kind: the image itself changed" test "$(version_of "$file")" = 4
            ! cmp -s "$file" "$work/names/before"
            check "$verb through a $kind: the image's bytes changed" test $? -eq 0
            if [[ $kind == symlink ]]; then
                check "$verb through a $kind: the link stays a link" test -L "$name"
            else
                check "$verb through a $kind: both names stay one file" test "$file" -ef "$name"
            fi
            if [[ $verb == import ]]; then
                "$emu" export "$file" "$work/names/out.raw" >/dev/null
                check "$verb through a $kind: the image holds the data" cmp -s "$work/data.raw" "$work/names/out.raw"
            fi
        fi
        check "$verb through a $kind: no temporary file is left" test "$(find "$work/names" -name '*tmp*' | wc -l)" -eq 0
    done
}

# Sets the descriptor sector's PartitionWord (big-endian at byte 494) in an
# image file: the standard area's size in logical blocks.
set_standard_blocks() {  # set_standard_blocks IMAGE BLOCKS
    local at
    at=$(LC_ALL=C grep -obaF "KT4790 CONFIG" "$1" | head -n 1 | cut -d: -f1)
    # shellcheck disable=SC2059
    printf "$(printf '\\x%02x\\x%02x' $(($2 >> 8)) $(($2 & 255)))" |
        dd of="$1" bs=1 seek=$((at + 494)) conv=notrunc status=none
}

import() {
    "$emu" create "$work/one.img" >/dev/null
    # Two chips, a replaced data block, split inside the second chip.
    "$emu" create "$work/split.img" --chip 0x13 --zones 2 --chips 2 --replace 5,1030 >/dev/null
    set_standard_blocks "$work/split.img" 1300
    run show "$work/split.img"
    check "the split disk has a standard area of 1300 blocks" has_line "standard area:     1300 logical blocks"

    # IMAGE AREA SECTORS FIRST-LAST OTHER-AREA: export -> import of random
    # data -> export gives that data back; importing the first export restores
    # the area; the other area's export never changes.
    local cases=(
        "one.img - 32000 0-999 -"
        "split.img standard 41600 0-1299 security"
        "split.img security 22400 1300-1999 standard"
    )
    local image area sectors blocks other
    for entry in "${cases[@]}"; do
        read -r image area sectors blocks other <<<"$entry"
        local what="$image ${area/-/whole medium}" area_args=() other_args=()
        [[ $area != - ]] && area_args=(--area "$area")
        [[ $other != - ]] && other_args=(--area "$other")
        rm -f "$work"/*.raw
        "$emu" export "$work/$image" "$work/before.raw" "${area_args[@]}" >/dev/null
        "$emu" export "$work/$image" "$work/other-before.raw" "${other_args[@]}" >/dev/null
        head -c $((sectors * 512)) /dev/urandom >"$work/random.raw"

        run import "$work/$image" "$work/random.raw" "${area_args[@]}"
        check "import into $what" succeeded
        check "import into $what reports it" \
            has_line "imported $work/random.raw to $work/$image: $sectors sectors, logical blocks $blocks"
        "$emu" export "$work/$image" "$work/after.raw" "${area_args[@]}" >/dev/null
        check "$what: export gives the imported data back" cmp -s "$work/random.raw" "$work/after.raw"
        if [[ $other != - ]]; then
            "$emu" export "$work/$image" "$work/other-after.raw" "${other_args[@]}" >/dev/null
            check "$what: the $other area is unchanged" cmp -s "$work/other-before.raw" "$work/other-after.raw"
        fi

        run import "$work/$image" "$work/before.raw" "${area_args[@]}"
        rm -f "$work/after.raw"
        "$emu" export "$work/$image" "$work/after.raw" "${area_args[@]}" >/dev/null
        check "$what: export -> import -> export is byte-identical" cmp -s "$work/before.raw" "$work/after.raw"
    done
    run show "$work/split.img"
    check "imports leave the descriptor sector alone" has_line "standard area:     1300 logical blocks"

    # Refusals: exit code 1, one line, the image file as it was.
    "$emu" create "$work/protected.img" --write-protected >/dev/null
    head -c $((32000 * 512)) /dev/zero >"$work/whole.raw"
    head -c $((41600 * 512 - 1)) /dev/zero >"$work/short.raw"
    head -c $((41600 * 512 + 1)) /dev/zero >"$work/long.raw"
    : >"$work/empty.raw"
    mkfifo "$work/fifo.raw"
    mkdir "$work/folder.raw"
    local refusals=(
        "split.img short.raw --area standard|41600 sectors"
        "split.img long.raw --area standard|41600 sectors"
        "split.img empty.raw|64000 sectors"
        "split.img whole.raw --area security|22400 sectors"
        "split.img fifo.raw|not a regular file"
        "split.img folder.raw|not a regular file"
        "split.img missing.raw|no such file"
        "protected.img whole.raw|WRITE(10) of sector 0 failed"
    )
    local refusal words says input options
    for refusal in "${refusals[@]}"; do
        words=${refusal%%|*}
        says=${refusal#*|}
        read -r image input options <<<"$words"
        cp "$work/$image" "$work/kept.img"
        # shellcheck disable=SC2086
        run import "$work/$image" "$work/$input" $options
        check "import refuses $words" refused_with 1
        check "import of $words says why" grep -qF "$says" "$work/stderr"
        check "a refused import ($words) leaves the image as it was" cmp -s "$work/$image" "$work/kept.img"
    done
    run import "$work/split.img" "$work/whole.raw" --area boot
    check "import refuses an unknown area" refused_with 2
    run import "$work/split.img"
    check "import without INPUT" refused_with 2
}

errors() {
    "$emu" create "$work/good.img" >/dev/null
    local size
    size=$(stat -c %s "$work/good.img")
    : >"$work/empty.img"
    head -c 64 "$work/good.img" >"$work/header-only.img"
    head -c $((size / 2)) "$work/good.img" >"$work/half.img"
    head -c $((size - 1)) "$work/good.img" >"$work/one-short.img"
    yes "not an image" | head -c 65536 >"$work/foreign.img"
    mkdir "$work/folder.img"
    mkfifo "$work/fifo.img"
    # 0x10000000 replaced blocks in a file of 2.2 GB that holds a few KB.
    earlier_image "$work/replaced.img" 0 '\x00\x00\x00\x10'
    truncate -s 2200M "$work/replaced.img"
    for image in missing.img empty.img header-only.img half.img one-short.img foreign.img folder.img fifo.img \
        replaced.img; do
        run show "$work/$image"
        check "show refuses $image" refused_with 1
        check "show names the image $image" grep -qF "$work/$image" "$work/stderr"
        run list "$work/good.img" "$work/$image"
        check "list refuses $image" refused_with 1
        run replug "$work/$image"
        check "replug refuses $image" refused_with 1
        check "replug names the image $image" grep -qF "$work/$image" "$work/stderr"
    done

    local bad_options=(
        "--chip 0x31" "--chip 48x" "--zones 0" "--zones abc" "--zones 256" "--chips 9" "--chips 0"
        "--revision TOOLONG" "--revision" "--name 12345678901234567" "--hint 123456789012345678901234567890123"
        "--password 123456789" "--inquiry-byte3 256" "--inquiry-byte3 -1" "--descriptor-block 1024"
        "--descriptor-block 30" "--large --descriptor-block 3" "--large --descriptor-block 128"
        "--chip 0x13 --descriptor-block 1" "--bogus" "--large --large"
        "--name" "--zones 3 --chips 2" "--chip 0x13 --large --zones 12" "--replace 0" "--replace 1,1"
        "--replace 1,x" "--chip 0x13 --large --zones 1 --replace 1,2,3,4"
    )
    for options in "${bad_options[@]}"; do
        # shellcheck disable=SC2086
        run create "$work/refused.img" $options
        check "create refuses $options" refused_with 2
        check "a refused create ($options) leaves no file" test ! -e "$work/refused.img"
    done
    run create "$work/refused.img" --name $'\xff\xfe'
    check "create refuses a name that is not UTF-8" refused_with 2

    run create "$work/no-such-folder/new.img"
    check "create into a missing folder fails" refused_with 1

    cp "$work/good.img" "$work/good.copy"
    run create "$work/good.img" --name Other
    check "create does not overwrite an image" refused_with 1
    check "the existing image stays as it was" cmp -s "$work/good.img" "$work/good.copy"

    run
    check "no subcommand" refused_with 2
    run frobnicate
    check "unknown subcommand" refused_with 2
    run create
    check "create without IMAGE" refused_with 2
    run create "$work/x.img" "$work/y.img"
    check "create with two IMAGEs" refused_with 2
    run show
    check "show without IMAGE" refused_with 2
    run list
    check "list without IMAGE" refused_with 2
    run replug
    check "replug without IMAGE" refused_with 2
    run replug "$work/good.img" "$work/good.img"
    check "replug with two IMAGEs" refused_with 2
    run help
    check "help succeeds" succeeded
    check "help names every subcommand" grep -q "kt4790-emu list IMAGE" "$work/stdout"
}

case $group in
    create-show) create_show ;;
    list) list ;;
    replug) replug ;;
    import) import ;;
    errors) errors ;;
    *) echo "unknown group $group" >&2; exit 2 ;;
esac

echo "kt4790-emu $group: $((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
