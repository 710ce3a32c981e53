# Sourced by scripts/windows: builds static Qt and the libraries the project
# links, for 64-bit Windows with MinGW-w64, from Debian's source packages,
# into a cache outside the checkout. Each library lands in a folder named by
# its source version and a hash of the recipe that built it, so a changed
# configure line builds anew and an unchanged one is reused. A folder only
# counts once its stamp is written, so a build cut short is redone, never
# taken for a whole one.

export VT3_WIN_HOST=x86_64-w64-mingw32
VT3_WIN_CACHE="${VT3_WIN_CACHE:-$HOME/.cache/vt3update/mingw}"
VT3_WIN_STAMP=.vt3-complete

# Packages of the Windows build; wine64 runs the tests, xvfb their window.
VT3_WIN_PACKAGES="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
mingw-w64-x86-64-dev mingw-w64-tools wine wine64 xvfb xdotool dpkg-dev autoconf automake libtool
cmake make perl python3 zip unzip pkg-config qttools5-dev-tools osslsigncode openssl"

# apt-get source needs deb-src entries; add them beside the deb ones once.
vt3_win_deb_src() {
    if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $sudo tee /etc/apt/sources.list.d/vt3update-src.sources >/dev/null
    else
        grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
            $sudo tee /etc/apt/sources.list.d/vt3update-src.list >/dev/null
    fi
    $sudo apt-get update -qq
}

# The source versions apt knows of, newest first. A mirror may list a
# version whose files it no longer serves; the next one is tried then.
vt3_win_src_versions() {
    apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -Vru
}

# The compilers with POSIX threads come first on PATH under their plain
# names: std::thread and Qt's static build both need them.
vt3_win_toolbin() {
    local bin="$VT3_WIN_CACHE/toolbin"
    mkdir -p "$bin"
    for t in gcc g++ c++ cpp; do
        local real=/usr/bin/$VT3_WIN_HOST-$t-posix
        [ "$t" = c++ ] && real=/usr/bin/$VT3_WIN_HOST-g++-posix
        [ "$t" = cpp ] && real=/usr/bin/$VT3_WIN_HOST-cpp-posix
        [ -e "$real" ] && ln -sf "$real" "$bin/$VT3_WIN_HOST-$t"
    done
    export PATH="$bin:$PATH"
}

# vt3_win_unpack <source package> <version> <dir>: fetches and unpacks the
# source (with Debian's patches applied) into <dir>, fresh.
vt3_win_unpack() {
    local pkg="$1" ver="$2" dir="$3" tmp
    rm -rf "$dir" "$dir.src"
    mkdir -p "$dir.src"
    if ! (cd "$dir.src" && apt-get source -qq --only-source "$pkg=$ver" >apt.log 2>&1); then
        rm -rf "$dir.src"
        return 1
    fi
    tmp=$(find "$dir.src" -mindepth 1 -maxdepth 1 -type d | head -1)
    [ -n "$tmp" ] || { echo "apt-get source $pkg gave no folder" >&2; return 1; }
    mv "$tmp" "$dir"
    rm -rf "$dir.src"
}

# What a CMake build of a library needs to build for Windows.
vt3_win_cmake_cross() {
    echo "-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=$VT3_WIN_HOST-gcc -DCMAKE_CXX_COMPILER=$VT3_WIN_HOST-g++" \
        "-DCMAKE_RC_COMPILER=$VT3_WIN_HOST-windres -DCMAKE_BUILD_TYPE=Release"
}

# vt3_win_lib <name> <source package> <recipe function> [key extra]: the
# library's prefix in VT3_WIN_PREFIX_<name>, built when not cached.
vt3_win_lib() {
    local name="$1" pkg="$2" recipe="$3" extra="${4:-}"
    local ver key prefix work start
    work="$VT3_WIN_CACHE/work/$name"
    for ver in $(vt3_win_src_versions "$pkg"); do
        key=$( (declare -f "$recipe"; echo "$ver $extra") | sha256sum | cut -c1-12)
        prefix="$VT3_WIN_CACHE/$name-${ver//[:~+]/_}-$key"
        export "VT3_WIN_PREFIX_$name=$prefix"
        if [ -f "$prefix/$VT3_WIN_STAMP" ]; then
            echo "windows: $name $ver cached ($prefix)"
            return 0
        fi
        vt3_win_unpack "$pkg" "$ver" "$work" || continue
        echo "windows: building $name $ver (log: $prefix.log)"
        start=$(date +%s)
        rm -rf "$prefix"
        # A shell of its own, so that the first failing step stops the recipe.
        if ! bash -ec "$(declare -f "$recipe" vt3_win_cmake_cross); cd \"\$1\"; $recipe \"\$2\"" \
            recipe "$work" "$prefix" >"$prefix.log" 2>&1; then
            echo "windows: building $name failed; the end of $prefix.log:" >&2
            tail -40 "$prefix.log" >&2
            return 1
        fi
        rm -rf "$work"
        touch "$prefix/$VT3_WIN_STAMP"
        echo "windows: $name $ver built in $(($(date +%s) - start)) s"
        return 0
    done
    echo "windows: no source of $pkg could be fetched (is there a deb-src entry?)" >&2
    return 1
}

# Debian's zlib source has no Windows makefile; its CMake build does.
vt3_win_recipe_zlib() {
    cmake -S . -B out $(vt3_win_cmake_cross) -DCMAKE_INSTALL_PREFIX="$1"
    cmake --build out -j2 --target zlibstatic
    mkdir -p "$1/lib" "$1/include"
    cp out/libzlibstatic.a "$1/lib/libz.a"
    cp zlib.h out/zconf.h "$1/include/"
}

vt3_win_recipe_openssl() {
    ./Configure mingw64 --cross-compile-prefix=$VT3_WIN_HOST- --prefix="$1" --libdir=lib \
        no-shared no-module no-tests
    make -j2 build_libs
    make install_dev
}

vt3_win_recipe_sodium() {
    autoreconf -fi
    ./configure --host=$VT3_WIN_HOST --prefix="$1" --disable-shared --enable-static --disable-dependency-tracking
    make -j2
    make install
}

# libdeflate 1.14 builds with a plain makefile, which names the MinGW
# archive like an MSVC one and writes no .pc; give it the usual name and one.
vt3_win_recipe_deflate() {
    make -j2 CC=$VT3_WIN_HOST-gcc AR=$VT3_WIN_HOST-ar libdeflatestatic.lib
    mkdir -p "$1/lib/pkgconfig" "$1/include"
    cp libdeflatestatic.lib "$1/lib/libdeflate.a"
    cp libdeflate.h "$1/include/"
    local v
    v=$(sed -n 's/^#define LIBDEFLATE_VERSION_STRING[^"]*"\(.*\)"/\1/p' libdeflate.h)
    cat >"$1/lib/pkgconfig/libdeflate.pc" <<PC
prefix=$1
Name: libdeflate
Description: Fast implementation of DEFLATE, zlib and gzip
Version: $v
Libs: -L\${prefix}/lib -ldeflate
Cflags: -I\${prefix}/include
PC
}

vt3_win_recipe_zstd() {
    cmake -S build/cmake -B out $(vt3_win_cmake_cross) -DCMAKE_INSTALL_PREFIX="$1" \
        -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF \
        -DZSTD_MULTITHREAD_SUPPORT=ON
    cmake --build out -j2
    cmake --install out
}

# Static qtbase with the windows and offscreen platforms and OpenSSL linked
# in, so the updater is one file that speaks HTTPS. Debian's tarball lacks
# the tablet library, hence no tablet events; no SQL, printing or OpenGL,
# which nothing here uses.
vt3_win_recipe_qt() {
    local ossl="$VT3_WIN_PREFIX_openssl"
    OPENSSL_LIBS="-L$ossl/lib -lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32 -luser32 -ladvapi32" \
        ./configure -prefix "$1" -xplatform win32-g++ -device-option CROSS_COMPILE=$VT3_WIN_HOST- \
        -release -static -static-runtime -opensource -confirm-license \
        -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-direct2d \
        -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -qt-freetype -qt-harfbuzz \
        -no-feature-sql -no-feature-printer -no-feature-tabletevent \
        -openssl-linked -I "$ossl/include" -L "$ossl/lib"
    make -j2
    make install
}

# All of it; sets VT3_WIN_PREFIX_<name> for each library.
vt3_win_libs() {
    mkdir -p "$VT3_WIN_CACHE"
    vt3_win_toolbin
    vt3_win_lib zlib zlib vt3_win_recipe_zlib
    vt3_win_lib openssl openssl vt3_win_recipe_openssl
    # Qt links OpenSSL in: a new OpenSSL means a new Qt.
    vt3_win_lib qt qtbase-opensource-src vt3_win_recipe_qt "$VT3_WIN_PREFIX_openssl"
    vt3_win_lib sodium libsodium vt3_win_recipe_sodium
    vt3_win_lib deflate libdeflate vt3_win_recipe_deflate
    vt3_win_lib zstd libzstd vt3_win_recipe_zstd
}
