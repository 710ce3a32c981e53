# Authenticode signing of the Windows programs, sourced by scripts/windows
# and scripts/signing-check. osslsigncode comes from Debian.

# vt3_win_built <build dir> <file name>: where the build left that program.
vt3_win_built() {
    local found
    found=$(find "$1" -name "$2" -type f -not -path '*/package/*' -not -path '*/wineprefix/*' | head -n 1)
    [ -n "$found" ] || { echo "windows: $2 is not in $1" >&2; return 1; }
    echo "$found"
}

# vt3_sign_all <cert> <key> <timestamp URL or ""> <dir>: signs every .exe
# below <dir> in place with SHA-256 digests.
vt3_sign_all() {
    local cert=$1 key=$2 ts=$3 dir=$4 exe
    local stamp=()
    [ -n "$ts" ] && stamp=(-ts "$ts")
    while IFS= read -r -d '' exe; do
        osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Voxtera 3 update" \
            "${stamp[@]}" -in "$exe" -out "$exe.signed" >/dev/null
        mv -f "$exe.signed" "$exe"
        echo "windows: signed ${exe#"$dir"/}"
    done < <(find "$dir" -name '*.exe' -type f -print0 | sort -z)
}
