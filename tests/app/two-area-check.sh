#!/usr/bin/env bash
# The two-area FORMAT dialog as a person uses it (format_journey_cap,
# format_journey_mcap) on a medium split by PARTITION: files are put into
# both areas first (kt4790-emu export, mcopy, kt4790-emu import), then the
# security area, the standard area or both are formatted with labels. The
# area not chosen must come back byte for byte with its files; every
# formatted area must hold none of the old files' data, pass fsck.fat and
# mtools (fat-checks.sh) with the typed label, in the layout checked in the
# dialog (the security area alone: the layout the standard area has); the
# descriptor sector's split and the rest of what kt4790-emu show reports
# stay as they were.
#
#   two-area-check.sh CASE KT4790_EMU JOURNEY_CAP JOURNEY_MCAP
set -u
# shellcheck source=tests/format/fat-checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../format/fat-checks.sh"

fat_check_begin "${1:?case}" "${2:?kt4790-emu}" "${3:?format_journey_cap}" "${4:?format_journey_mcap}"
emu=$2 journey_cap=$3 journey_mcap=$4

# The files put into each area: a few bytes, nothing, and one of 580 KB,
# many small blocks or several large ones, whose every line is told apart.
marker="two-area check"
echo "$marker note" >"$work/NOTE.TXT"
: >"$work/EMPTY.DAT"
seq -f "$marker line %06g" 1 22000 >"$work/BIG.DAT"
files=("$work/NOTE.TXT" "$work/EMPTY.DAT" "$work/BIG.DAT")

# The chip-0x13 data position of logical block $1: per chip after the chip's
# system block, or per window of 1024 on media of 16 zones of large blocks
# per chip (see emulator/README.md, "The device model").
data_position() {
    local l=$1 w
    if ((windowed)); then
        w=$((l / 1000))
        echo $((1024 * w + l % 1000 + (w % 2 == 0)))
    else
        echo $((pc * (l / lc) + l % lc + 1))
    fi
}

# Sets first and last: the sectors of the exported area $1 (its volume from
# sector $2) that the file $3 of the root directory holds; mcopy gives a
# file one run of clusters on a volume just made.
file_sectors() {
    local spec="$1@@$(($2 * 512))" name=$3 chain spc data from to
    minfo -i "$spec" :: >"$work/minfo.txt" 2>&1 || die "minfo: $(cat "$work/minfo.txt")"
    spc=$(boot_field "cluster size")
    data=$(($2 + $(boot_field "reserved (boot) sectors") + $(boot_field fats) * $(boot_field "sectors per fat") +
        $(boot_field "max available root directory slots") / 16))
    chain=$(mshowfat -i "$spec" "::$name" 2>&1)
    [[ $chain =~ \<([0-9]+)(-([0-9]+))?\>$ ]] || die "$name is not one run of clusters: $chain"
    from=${BASH_REMATCH[1]} to=${BASH_REMATCH[3]:-${BASH_REMATCH[1]}}
    first=$((data + (from - 2) * ${spc% sectors})) last=$((data + (to - 1) * ${spc% sectors} - 1))
}

# The data positions of the area's sectors $2 .. $3 when its first logical
# block is $1, as "FROM-TO" per run.
positions_of() {
    local base=$1 block p from="" prev="" runs=""
    for ((block = $2 / spb; block <= $3 / spb; block++)); do
        p=$(data_position $((base + block)))
        if [[ -z $prev ]] || ((p != prev + 1)); then
            [[ -n $prev ]] && runs+="$from-$prev "
            from=$p
        fi
        prev=$p
    done
    echo "$runs$from-$prev"
}

# The first sectors (of the area) where two exports differ.
differing_sectors() {
    cmp -l "$1" "$2" | awk -v spb="$spb" '{ s = int(($1 - 1) / 512) }
        NR == 1 || s != last { print s " (block " int(s / spb) ")" } { last = s }' | head -6 | paste -sd ' '
}

# run_case BUILD CHIP BLOCKS ZONES CHIPS LAYOUT SIZE STEP AREA_LAYOUT LABELS [REPLACE] [PASSWORD]
# Partitions in LAYOUT with SIZE MB of security area, then formats the
# areas of STEP (security, standard or both) with LABELS ("SECURITY|STANDARD"
# for both) and AREA_LAYOUT checked. For the security area alone, AREA_LAYOUT
# is the standard area's: when it is not LAYOUT, the standard area is
# formatted in it, without a label, right after the partition. REPLACE: data
# positions (chip 0x13) replaced when the disk is made; each must lie under
# BIG.DAT in one of the areas.
run_case() {
    local build=$1 chip=$2 blocks=$3 zones=$4 chips=$5 layout=$6 size=$7 step=$8 area_layout=$9 labels=${10}
    local replace=${11-} password=${12-}
    local image=$work/disk.img journey=$journey_cap options=() per_zone=1000 per_zone_physical=1024
    [[ $build == aspi ]] && journey=$journey_mcap
    if [[ $blocks == large ]]; then
        options+=(--large)
        per_zone=125 per_zone_physical=128
    fi
    [[ -n $password ]] && options+=(--password "$password")
    [[ -n $replace ]] && options+=(--replace "$replace")
    lc=$((zones * per_zone / chips)) pc=$((zones * per_zone_physical / chips))
    windowed=$((chip == 0x13 && zones / chips == 16 && per_zone == 125))
    "$emu" create "$image" --chip "$chip" --zones "$zones" --chips "$chips" --name "TWO AREAS" "${options[@]}" \
        >"$work/step.log" 2>&1 || die "create: $(cat "$work/step.log")"

    local steps=(partition "$layout" "$size")
    [[ $step == security && $area_layout != "$layout" ]] && steps+=(standard "$area_layout" "")
    "$journey" "$image" --password "$password" "${steps[@]}" >"$work/journey.log" 2>&1 ||
        die "the partition did not end with success: $(cat "$work/journey.log")"
    local logical spb standard
    disk_split "$emu" "$image"
    ((standard > 0 && standard < logical)) || die "the partition left no two areas (PartitionWord $standard)"
    "$emu" show "$image" >"$work/show-before.txt"

    # What each area holds and is expected to be; the area formatted keeps
    # its old files only in the erased blocks it must not have.
    local -A kept=() labels_of=() bases=() sizes=() old_data=()
    local -A before_layouts=([standard]=$layout [security]=$layout)
    local -A area_layouts=([standard]=$area_layout [security]=$area_layout)
    [[ $step == security ]] && before_layouts[standard]=$area_layout
    [[ $step == standard ]] && area_layouts[security]=$layout
    case $step in
    security) kept[standard]=1 labels_of[security]=$labels ;;
    standard) kept[security]=1 labels_of[standard]=$labels ;;
    both) labels_of[security]=${labels%%|*} labels_of[standard]=${labels#*|} ;;
    *) die "unknown step $step" ;;
    esac
    bases=([standard]=0 [security]=$standard)
    sizes=([standard]=$((standard * spb)) [security]=$(((logical - standard) * spb)))

    local area offset name first last positions more runs=() under=""
    for area in standard security; do
        export_area "$emu" "$image" "$work/$area.img" "$area"
        offset=0
        [[ ${before_layouts[$area]} != fdd ]] && offset=$(le32 "$work/$area.img" 454)
        mcopy -i "$work/$area.img@@$((offset * 512))" "${files[@]}" :: >"$work/step.log" 2>&1 ||
            die "mcopy into the $area area: $(cat "$work/step.log")"
        "$emu" import "$image" "$work/$area.img" --area "$area" >"$work/step.log" 2>&1 ||
            die "import: $(cat "$work/step.log")"
        if [[ ${kept[$area]-} ]]; then
            export_area "$emu" "$image" "$work/again.img" "$area"
            cmp -s "$work/$area.img" "$work/again.img" || die "the $area area as imported does not export" \
                "again: sectors $(differing_sectors "$work/$area.img" "$work/again.img")"
            rm -f "$work/again.img"
        fi
        for name in NOTE.TXT BIG.DAT; do
            file_sectors "$work/$area.img" "$offset" "$name"
            old_data[$area]+="$first-$last "
        done
        if [[ $chip == 0x13 ]]; then
            positions=$(positions_of "${bases[$area]}" "$first" "$last")
            read -ra more <<<"$positions"
            runs+=("${more[@]}")
            under+="${under:+, }$area area $positions"
        fi
        [[ ${kept[$area]-} ]] || rm -f "$work/$area.img"
    done
    local position run covered
    for position in ${replace//,/ }; do
        covered=0
        for run in "${runs[@]}"; do
            ((position >= ${run%-*} && position <= ${run#*-})) && covered=1
        done
        ((covered)) || die "replaced position $position lies under no BIG.DAT ($under)"
    done
    [[ -n $under ]] && echo "BIG.DAT at data positions: $under"

    "$journey" "$image" --password "$password" "$step" "$area_layout" "$labels" >"$work/journey.log" 2>&1 ||
        die "the $step step did not end with success: $(cat "$work/journey.log")"
    grep '^start:' "$work/journey.log"
    "$emu" show "$image" >"$work/show-after.txt"
    diff "$work/show-before.txt" "$work/show-after.txt" >"$work/show.diff" ||
        fail "kt4790-emu show changed: $(cat "$work/show.diff")"

    local after=$work/after.img
    for area in standard security; do
        export_area "$emu" "$image" "$after" "$area"
        if [[ ${kept[$area]-} ]]; then
            cmp -s "$work/$area.img" "$after" ||
                fail "the $area area, not chosen, changed: sectors $(differing_sectors "$work/$area.img" "$after")"
            check_area "$area area (kept)" "$after" "${area_layouts[$area]}" "${sizes[$area]}" "" "$build" "${files[@]}"
            rm -f "$work/$area.img"
        else
            for run in ${old_data[$area]}; do
                first=${run%-*} last=${run#*-}
                dd if="$after" bs=512 skip="$first" count=$((last - first + 1)) status=none | grep -qaF "$marker" &&
                    fail "the $area area, formatted, still holds old file data in sectors $run"
            done
            check_area "$area area (formatted)" "$after" "${area_layouts[$area]}" "${sizes[$area]}" \
                "${labels_of[$area]}" "$build"
        fi
        rm -f "$after"
    done
}

# Every procedure on both chip codes and both block sizes, one to eight
# chips, small media where the case allows. On chip 0x13 a replaced data
# position under BIG.DAT in each area, one of them on the chip where the
# split lies (its replacement block shared by both areas' positions);
# windowed media (16 zones of large blocks per chip) split in the first
# window, in the second, on the window boundary and on the second chip,
# where a position of one window is replaced by a block of the other. The
# security area alone takes the layout of the standard area: floppy (a
# boot sector first), ZIP (a master boot record, BootFlag 0), HDD
# (BootFlag 1), also after the standard area was formatted anew in another
# layout than the partition's. Labels: none, lower case, eleven characters.
case $case_name in
security-13-small) run_case cap 0x13 small 2 1 fdd 10 security fdd "SECURE" 20,1380 ;;
standard-13-small-2chips) run_case cap 0x13 small 2 2 zip 10 standard hdd "lower case" 30,1400 ;;
both-13-small-4chips) run_case cap 0x13 small 4 4 hdd 20 both fdd "BOTH SEC|BOTH STD" 25,2790 secret ;;
security-13-small-8chips) run_case cap 0x13 small 8 8 hdd 100 security hdd "" 10,1650 ;;
security-13-small-after-hdd) run_case cap 0x13 small 2 1 zip 5 security hdd "AFTER HDD" ;;
standard-13-large) run_case cap 0x13 large 2 1 fdd 10 standard zip "STANDARD 13" 3,173 ;;
security-13-large-2chips) run_case cap 0x13 large 4 2 zip 20 security zip "ZIP SECURE" 4,349 ;;
both-13-large-8chips) run_case cap 0x13 large 8 8 fdd 50 both hdd "|ONLY STD" 2,615 ;;
security-13-large-after-fdd) run_case cap 0x13 large 4 4 hdd 10 security fdd "AFTER FDD" 3,432 ;;
security-13-window-first) run_case cap 0x13 large 16 1 fdd 200 security fdd "WINDOW ONE" 3,403 ;;
standard-13-window-second) run_case cap 0x13 large 16 1 hdd 50 standard hdd "WINDOW TWO" 4,1626 secret ;;
standard-13-window-chip2) run_case cap 0x13 large 32 2 zip 50 standard zip "CHIP TWO" 2,3675 ;;
security-30-small) run_case cap 0x30 small 1 1 fdd 5 security fdd "" "" secret ;;
standard-30-large-2chips) run_case cap 0x30 large 4 2 hdd 20 standard fdd "STD 30" ;;
both-30-large) run_case cap 0x30 large 1 1 zip 5 both hdd "S30|T30" ;;
security-30-large-after-zip) run_case cap 0x30 large 2 1 hdd 10 security zip "AFTER ZIP" ;;
aspi-security-13-window-edge) run_case aspi 0x13 large 16 1 fdd 125 security fdd "ASPI WIN" 3,1026 ;;
aspi-standard-13-small-2chips) run_case aspi 0x13 small 2 2 fdd 10 standard fdd "ASPI STD" 21,1400 ;;
aspi-both-30-small) run_case aspi 0x30 small 2 1 hdd 10 both zip "ASPI S|ASPI T" ;;
aspi-security-30-large) run_case aspi 0x30 large 4 1 zip 20 security zip "ASPI SEC" ;;
*) die "unknown case" ;;
esac

fat_check_end
