# Sourced by the build scripts.  Checks for the tools themselves (not for
# the packages that usually bring them), so a machine that has them in any
# way (Fedora, Arch, macOS, the BSDs, a Debian with tools built from source)
# builds as a fresh Debian does.  Where something is missing and apt-get is
# there, it installs the Debian packages (as root, or through sudo);
# elsewhere it names what is missing and how to get it.
#
#   vorlen_need WHAT...   every WHAT must be there; returns 1 when one is
#                         still missing
#   vorlen_want WHAT...   the same, quietly: for optional steps
#
# WHAT is one of
#   cmake   cmake 3.25 or later
#   c++     a C++ compiler that compiles C++20 (CXX, c++, g++ or clang++);
#           exported as CXX when it is not the one CMake picks by itself
#   make    make, for CMake's default generator
#   gtest   GoogleTest as CMake's find_package(GTest) finds it
#   fuzz    clang++ with libFuzzer, ASan and UBSan
#   libc++  clang++ with LLVM's C++ library (-stdlib=libc++)
#   man     man, to check the manual page
#   dpkg    dpkg-deb, dpkg-shlibdeps and dpkg-query, to make the Debian package
#   lintian lintian, to check that package
#   mingw   MinGW-w64's g++ (posix threads), for the Windows build
#   wine    wine64 (or wine), to run that build
# The Debian package names of earlier versions (g++, libgtest-dev, clang,
# libclang-rt-*-dev, man-db, dpkg-dev, g++-mingw-w64-x86-64-posix, wine64)
# are accepted for the same checks.

vorlen_probe_dir=""

# The probes' scratch directory, made on first use; vorlen_check removes it.
vorlen_probe_tmp() {
    [ -n "$vorlen_probe_dir" ] || vorlen_probe_dir=$(mktemp -d "${TMPDIR:-/tmp}/vorlen-deps.XXXXXX")
}

vorlen_canonical() {
    case "$1" in
    g++|c++|cxx|clang++) echo c++ ;;
    libgtest-dev|gtest|googletest) echo gtest ;;
    clang|fuzz|libfuzzer|libclang-rt-*-dev|libclang-rt-dev) echo fuzz ;;
    man-db|man) echo man ;;
    dpkg-dev|dpkg) echo dpkg ;;
    libc++|libc++-dev|libcxx) echo libc++ ;;
    g++-mingw-w64-x86-64-posix|mingw) echo mingw ;;
    wine64|wine) echo wine ;;
    *) echo "$1" ;;
    esac
}

vorlen_cxx20_source='#include <bit>
#include <concepts>
#include <cstdint>
#include <span>
template <std::unsigned_integral T> constexpr int ones(std::span<const T> s)
{
    int n = 0;
    for (T v : s) n += std::popcount(v);
    return n;
}
int main() { constexpr std::uint8_t b[] = {1, 3}; return ones<std::uint8_t>(b) == 3 ? 0 : 1; }
'

# Is WHAT there?  (No output; status 0 when it is.)
vorlen_have() {
    local tmp
    case "$1" in
    cmake)
        command -v cmake >/dev/null 2>&1 || return 1
        # cmake --version: "cmake version 3.25.1"
        local v
        v=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
        [ -n "$v" ] || return 1
        set -- $v
        [ "$1" -gt 3 ] || { [ "$1" -eq 3 ] && [ "$2" -ge 25 ]; }
        ;;
    c++)
        vorlen_probe_tmp
        tmp=$vorlen_probe_dir
        printf '%s' "$vorlen_cxx20_source" >"$tmp/cxx20.cpp"
        local cxx first=""
        for cxx in ${CXX:-} c++ g++ clang++; do
            command -v "$cxx" >/dev/null 2>&1 || continue
            [ -n "$first" ] || first=$cxx
            if "$cxx" -std=c++20 "$tmp/cxx20.cpp" -o "$tmp/cxx20" >/dev/null 2>&1 &&
                "$tmp/cxx20"; then
                # CMake takes CXX, else the first of c++, g++, clang++ it
                # finds; point it at this one when that one is too old.
                [ "$cxx" = "$first" ] || export CXX=$cxx
                return 0
            fi
        done
        return 1
        ;;
    make)
        command -v make >/dev/null 2>&1
        ;;
    gtest)
        vorlen_have cmake && vorlen_have c++ || return 1
        vorlen_probe_tmp
        tmp=$vorlen_probe_dir/gtest
        mkdir -p "$tmp"
        printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(probe LANGUAGES CXX)' \
            'find_package(GTest REQUIRED)' >"$tmp/CMakeLists.txt"
        cmake -S "$tmp" -B "$tmp/build" >/dev/null 2>&1
        ;;
    fuzz)
        command -v clang++ >/dev/null 2>&1 || return 1
        vorlen_probe_tmp
        tmp=$vorlen_probe_dir
        printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
            'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *, std::size_t) { return 0; }' \
            >"$tmp/fuzz.cpp"
        clang++ -fsanitize=fuzzer,address,undefined "$tmp/fuzz.cpp" -o "$tmp/fuzz" >/dev/null 2>&1
        ;;
    libc++)
        command -v clang++ >/dev/null 2>&1 || return 1
        vorlen_probe_tmp
        tmp=$vorlen_probe_dir
        printf '%s' "$vorlen_cxx20_source" >"$tmp/libcxx.cpp"
        clang++ -std=c++20 -stdlib=libc++ "$tmp/libcxx.cpp" -o "$tmp/libcxx" >/dev/null 2>&1 &&
            "$tmp/libcxx"
        ;;
    man)
        command -v man >/dev/null 2>&1
        ;;
    dpkg)
        command -v dpkg-deb >/dev/null 2>&1 && command -v dpkg-shlibdeps >/dev/null 2>&1 &&
            command -v dpkg-query >/dev/null 2>&1
        ;;
    mingw)
        command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1
        ;;
    wine)
        command -v wine64 >/dev/null 2>&1 || command -v wine >/dev/null 2>&1 ||
            [ -x /usr/lib/wine/wine64 ]
        ;;
    *)
        command -v "$1" >/dev/null 2>&1
        ;;
    esac
}

# The Debian packages that bring WHAT.
vorlen_debian_packages() {
    case "$1" in
    c++) echo g++ ;;
    gtest) echo libgtest-dev ;;
    fuzz) echo clang libclang-rt-dev ;;
    libc++) echo clang libc++-dev libc++abi-dev ;;
    man) echo man-db ;;
    dpkg) echo dpkg-dev ;;
    mingw) echo g++-mingw-w64-x86-64-posix ;;
    wine) echo wine64 ;;
    *) echo "$1" ;;
    esac
}

# How to get WHAT elsewhere: one line per system.
vorlen_how_to_get() {
    case "$1" in
    cmake)
        echo "    Debian/Ubuntu: apt-get install cmake (3.25 or later)"
        echo "    Fedora:        dnf install cmake"
        echo "    Arch:          pacman -S cmake"
        echo "    Homebrew:      brew install cmake"
        echo "    FreeBSD:       pkg install cmake"
        ;;
    c++)
        echo "    Debian/Ubuntu: apt-get install g++ (GCC 11 or later, or clang 14 or later)"
        echo "    Fedora:        dnf install gcc-c++"
        echo "    Arch:          pacman -S gcc"
        echo "    macOS:         xcode-select --install (Apple clang 14 or later)"
        echo "    FreeBSD:       clang++ of the base system (FreeBSD 13 or later)"
        ;;
    make)
        echo "    Debian/Ubuntu: apt-get install make"
        echo "    Fedora:        dnf install make"
        echo "    Arch:          pacman -S make"
        echo "    macOS:         xcode-select --install"
        ;;
    gtest)
        echo "    Debian/Ubuntu: apt-get install libgtest-dev"
        echo "    Fedora:        dnf install gtest-devel"
        echo "    Arch:          pacman -S gtest"
        echo "    Homebrew:      brew install googletest"
        echo "    FreeBSD:       pkg install googletest"
        ;;
    fuzz)
        echo "    Debian/Ubuntu: apt-get install clang libclang-rt-dev"
        echo "    Fedora:        dnf install clang compiler-rt"
        echo "    Arch:          pacman -S clang compiler-rt"
        echo "    Homebrew:      brew install llvm (and put its bin/ first in PATH)"
        ;;
    libc++)
        echo "    Debian/Ubuntu: apt-get install clang libc++-dev libc++abi-dev"
        echo "    Fedora:        dnf install clang libcxx-devel libcxxabi-devel"
        echo "    Arch:          pacman -S clang libc++"
        echo "    macOS:         the system compiler uses libc++"
        ;;
    man)
        echo "    Debian/Ubuntu: apt-get install man-db"
        echo "    Fedora:        dnf install man-db"
        echo "    Arch:          pacman -S man-db"
        ;;
    dpkg)
        echo "    Debian/Ubuntu: apt-get install dpkg-dev"
        echo "    Fedora:        dnf install dpkg-dev"
        echo "    Arch:          pacman -S dpkg"
        echo "    Homebrew:      brew install dpkg"
        ;;
    lintian)
        echo "    Debian/Ubuntu: apt-get install lintian"
        echo "    elsewhere:     lintian runs on Debian and its derivatives only"
        ;;
    mingw)
        echo "    Debian/Ubuntu: apt-get install g++-mingw-w64-x86-64-posix"
        echo "    Fedora:        dnf install mingw64-gcc-c++"
        echo "    Arch:          pacman -S mingw-w64-gcc"
        echo "    Homebrew:      brew install mingw-w64"
        ;;
    wine)
        echo "    Debian/Ubuntu: apt-get install wine64"
        echo "    Fedora:        dnf install wine"
        echo "    Arch:          pacman -S wine"
        echo "    Homebrew:      brew install --cask wine-stable"
        ;;
    *)
        echo "    install $1 with the system's package manager"
        ;;
    esac
}

vorlen_apt_install() {
    command -v apt-get >/dev/null 2>&1 || return 1
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || return 1
        sudo="sudo"
    fi
    echo "Installing missing packages: $*"
    $sudo apt-get update -qq &&
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# vorlen_check QUIET WHAT...  (Written for bash 3.2 too, macOS's bash: no
# expansion of an empty array under set -u.)
vorlen_check() {
    local status=0
    vorlen_check_all "$@" || status=1
    [ -z "$vorlen_probe_dir" ] || rm -rf "$vorlen_probe_dir"
    vorlen_probe_dir=""
    return $status
}

vorlen_check_all() {
    local quiet=$1
    shift
    local missing=() what
    for what in "$@"; do
        what=$(vorlen_canonical "$what")
        vorlen_have "$what" || missing+=("$what")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local packages=()
    for what in "${missing[@]}"; do
        packages+=($(vorlen_debian_packages "$what"))
    done
    if vorlen_apt_install "${packages[@]}"; then
        local was=("${missing[@]}")
        missing=()
        for what in "${was[@]}"; do
            vorlen_have "$what" || missing+=("$what")
        done
        [ ${#missing[@]} -eq 0 ] && return 0
    fi

    [ "$quiet" = quiet ] && return 1
    {
        echo "Missing: ${missing[*]}"
        for what in "${missing[@]}"; do
            echo "  $what:"
            vorlen_how_to_get "$what"
        done
    } >&2
    return 1
}

vorlen_need() { vorlen_check loud "$@"; }
vorlen_want() { vorlen_check quiet "$@"; }
