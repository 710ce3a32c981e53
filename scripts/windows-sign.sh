# Authenticode signing of the Windows programs, sourced by scripts/windows.
# osslsigncode comes from Debian.

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
