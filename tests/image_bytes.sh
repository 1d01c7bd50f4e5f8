# Shell helpers for the bytes of disk images; sourced by the shell-level tests.

# Little-endian byte values of FILE at OFFSET, COUNT of them, space separated.
bytes_at() {
    od -An -tu1 -v -j "$2" -N "$3" "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}

# Writes byte VALUE (decimal) at OFFSET of FILE in place.
poke_byte() {
    printf "\\$(printf %03o "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# Linear block number of TRACK:SECTOR on a D64 (35 or 40 tracks).
d64_block_index() {
    t=1
    index=0
    while [ "$t" -lt "$1" ]; do
        if [ "$t" -le 17 ]; then index=$((index + 21))
        elif [ "$t" -le 24 ]; then index=$((index + 19))
        elif [ "$t" -le 30 ]; then index=$((index + 18))
        else index=$((index + 17)); fi
        t=$((t + 1))
    done
    echo $((index + $2))
}
