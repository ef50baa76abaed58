#!/usr/bin/env bash
# Builds the Debian packages from a clean copy of the tree, lints them,
# checks what each one holds (maintainer scripts, the operators' group, the
# conffile, the logrotate snippet, a manual page per function, ...), unpacks
# them into a scratch directory and proves that the unpacked tree works as
# installed: the README's embedding example is compiled against it with
# pkg-config and with find_package, and run, once attached to the packaged
# cli-server when a private network namespace is available; the
# autopkgtest (debian/tests/smoke) runs against the tree in namespaces of
# its own, with a private /etc, /run and /var/log.
#
#   bash scripts/package.sh            # scratch directory removed afterwards
#   KEEP=1 bash scripts/package.sh     # keep it and print where it is
#   BUILT=DIR bash scripts/package.sh  # check the packages in DIR (a kept
#                                      # scratch directory) instead of building
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# The packages are built and tried with the system's tools: an interpreter
# or compiler of the user's own that comes first on PATH has no business in
# them (pybuild, for one, runs whichever python3.X it finds first).
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

scratch=$(mktemp -d "${TMPDIR:-/tmp}/cli_agent-package.XXXXXX")
cleanup() {
    if [ "${KEEP:-0}" = 1 ]; then
        echo "==> package: scratch directory kept in $scratch"
    else
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT

fail() {
    echo "package: $*" >&2
    exit 1
}

# The working tree as git sees it (tracked and new files, none ignored), so
# neither build directories nor earlier package builds leak in.
copy_clean_tree() {
    mkdir -p "$scratch/src"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar -c --null -T - -f - | tar -x -C "$scratch/src"
}

build_packages() {
    if [ -n "${BUILT:-}" ]; then
        echo "==> package: the packages of $BUILT"
        cp "$BUILT"/*.deb "$BUILT"/*.changes "$BUILT"/*.buildinfo "$scratch/"
        return
    fi
    echo "==> package: dpkg-buildpackage"
    if ! (cd "$scratch/src" && dpkg-buildpackage -us -uc -b >"$scratch/build.log" 2>&1); then
        tail -40 "$scratch/build.log" >&2
        fail "dpkg-buildpackage failed (log above)"
    fi
    check_build_warnings "$scratch/build.log"
}

# The package build uses Debian's flags (_FORTIFY_SOURCE, -Wformat...), not
# the ci preset's -Werror: any compiler or linker warning in its log fails
# the check here instead (dpkg's and debhelper's own warnings are not the
# compiler's and pass).
check_build_warnings() {
    local found
    found=$(grep -E '^[^ :]+:[0-9]+:([0-9]+:)? warning: |^(cc1|cc1plus|gcc|g\+\+|c\+\+|clang[^:]*|/usr/bin/ld[^:]*): warning: ' \
        "$1" || true)
    if [ -n "$found" ]; then
        printf '%s\n' "$found" | head -40 >&2
        fail "the package build printed compiler warnings (above)"
    fi
}

# Clean means no tag at all, pedantic and experimental ones included.
run_lintian() {
    echo "==> package: lintian -EvIL +pedantic"
    local out rc=0
    out=$(lintian -EvIL +pedantic --fail-on error,warning "$scratch"/cli-agent_*.changes 2>&1) ||
        rc=$?
    local tags
    tags=$(grep -E '^[EWIPXC]: ' <<<"$out" || true)
    [ -z "$tags" ] || printf '%s\n' "$tags"
    [ "$rc" -eq 0 ] && [ -z "$tags" ] || fail "lintian reports tags (above)"
}

# deb_of NAME: the one package file of that binary package.
deb_of() {
    local f
    f=$(ls "$scratch"/"$1"_*.deb 2>/dev/null | head -1)
    [ -n "$f" ] || fail "no package $1 was built"
    printf '%s\n' "$f"
}

# expect_files NAME PATTERN...: each pattern matches a file of the package.
expect_files() {
    local pkg=$1 listing p
    shift
    listing=$(dpkg-deb -c "$(deb_of "$pkg")" | awk '{print $6}' | sed 's|^\./|/|')
    for p in "$@"; do
        grep -Eq "^$p\$" <<<"$listing" || fail "$pkg lacks $p"
    done
}

check_contents() {
    echo "==> package: contents"
    local multiarch
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    local lib=/usr/lib/$multiarch
    expect_files libcli-agent1 "$lib/libcli_agent\.so\.1" "$lib/libcli_agent\.so\.1\.0\.0"
    expect_files libcli-agent-dev /usr/include/cli_agent/cli_agent\.h \
        /usr/include/cli_agent/cli_common\.h /usr/include/cli_agent/cli_agent\.hpp \
        /usr/include/cli_agent/cli_agent_detail\.hpp /usr/include/cli_agent/cli_agent_loop\.h \
        "$lib/libcli_agent\.so" "$lib/pkgconfig/cli_agent\.pc" \
        "$lib/cmake/cli_agent/cli_agentConfig\.cmake" /usr/share/man/man3/cli_agent\.3\.gz
    expect_files cli-server /usr/bin/cli-server /usr/share/man/man1/cli-server\.1\.gz \
        /usr/share/bash-completion/completions/cli-server \
        /lib/systemd/system/cli-server\.service /etc/default/cli-server \
        /etc/cli-server/policy /usr/share/man/man5/cli-server-policy\.5\.gz \
        /etc/logrotate\.d/cli-server /usr/lib/sysusers\.d/cli-server\.conf \
        '/usr/share/doc/cli-server/README\.Debian(\.gz)?'
    local py=/usr/lib/python3/dist-packages/cli_agent
    expect_files python3-cli-agent "$py/__init__\.py" "$py/_agent\.py" "$py/_output\.py" \
        "$py/_options\.py" "$py/_lib\.py" "$py/py\.typed"
    if dpkg-deb -c "$(deb_of libcli-agent-dev)" | grep -Eq ' \./usr/include/[^/]+$'; then
        fail "libcli-agent-dev puts headers directly into /usr/include"
    fi

    # The runtime package holds the library and nothing a developer needs.
    if dpkg-deb -c "$(deb_of libcli-agent1)" | grep -Eq '\.so$|/include/'; then
        fail "libcli-agent1 ships development files"
    fi

    # The symbols file lists exactly the exported functions, and each has
    # its manual page.
    local symbols exported f
    symbols=$(dpkg-deb --info "$(deb_of libcli-agent1)" symbols |
        awk '/^ cli_/ {sub(/@.*/, "", $1); print $1}' | sort)
    dpkg-deb -x "$(deb_of libcli-agent1)" "$scratch/lib-only"
    exported=$(nm -D --defined-only "$scratch/lib-only$lib/libcli_agent.so.1" |
        awk '$3 ~ /^cli_/ {sub(/@.*/, "", $3); print $3}' | sort)
    [ "$(wc -l <<<"$symbols")" -eq 27 ] || fail "symbols file does not list 27 functions"
    [ "$symbols" = "$exported" ] || fail "symbols file and exported functions differ"
    for f in $symbols; do
        expect_files libcli-agent-dev "/usr/share/man/man3/$f\.3\.gz"
    done

    # The service package is one: maintainer scripts that register, stop on
    # removal and forget on purge; the group; the conffile the unit reads.
    local control=$scratch/control-cli-server
    dpkg-deb -e "$(deb_of cli-server)" "$control"
    grep -q "deb-systemd-helper update-state 'cli-server.service'" "$control/postinst" ||
        fail "postinst does not register the unit"
    grep -q 'systemd-sysusers .*cli-server.conf' "$control/postinst" ||
        fail "postinst does not create the group"
    grep -q "deb-systemd-invoke stop 'cli-server.service'" "$control/prerm" ||
        fail "prerm does not stop the daemon"
    grep -q "deb-systemd-helper purge 'cli-server.service'" "$control/postrm" ||
        fail "postrm does not forget the unit on purge"
    grep -q 'daemon-reload' "$control/postrm" || fail "postrm does not reload systemd"
    grep -q '_dh_action=restart' "$control/postinst" &&
        grep -q "deb-systemd-invoke \$_dh_action 'cli-server.service'" "$control/postinst" ||
        fail "postinst does not restart a running daemon on upgrade"
    for f in /etc/default/cli-server /etc/logrotate.d/cli-server /etc/cli-server/policy; do
        grep -qx "$f" "$control/conffiles" || fail "$f is not a conffile"
    done
    dpkg-deb --field "$(deb_of cli-server)" Multi-Arch | grep -qx foreign ||
        fail "cli-server is not Multi-Arch: foreign"
    dpkg-deb --field "$(deb_of python3-cli-agent)" Depends | grep -q 'libcli-agent1' ||
        fail "python3-cli-agent does not depend on libcli-agent1"
}

# The unit, the conffile, the group and the logrotate snippet agree.
check_service_files() {
    echo "==> package: unit, conffile, group, rotation"
    local root=$scratch/root
    local unit=$root/lib/systemd/system/cli-server.service
    grep -qx 'Documentation=man:cli-server(1)' "$unit" || fail "the unit has no Documentation="
    grep -qx 'EnvironmentFile=-/etc/default/cli-server' "$unit" ||
        fail "the unit does not read /etc/default/cli-server"
    grep -q '^ExecStart=/usr/bin/cli-server --daemon $CLI_SERVER_OPTS$' "$unit" ||
        fail "ExecStart does not take CLI_SERVER_OPTS"
    if grep -q '^After=network' "$unit"; then fail "the unit waits for the network"; fi
    grep -q '^CLI_SERVER_OPTS=".*--group cli-operators' "$root/etc/default/cli-server" ||
        fail "the conffile does not admit cli-operators"
    # The access policy ships as comments only, and is not passed until the
    # administrator says so.
    ! grep -q '^[^#]' "$root/etc/cli-server/policy" || fail "the shipped policy has a rule"
    ! grep -q '^CLI_SERVER_OPTS=".*--policy' "$root/etc/default/cli-server" ||
        fail "the conffile passes the policy"
    grep -qx 'g cli-operators -' "$root/usr/lib/sysusers.d/cli-server.conf" ||
        fail "sysusers.d does not create cli-operators"
    grep -q '^/var/log/cli-server/\*\.log' "$root/etc/logrotate.d/cli-server" &&
        grep -q 'signal=HUP cli-server.service' "$root/etc/logrotate.d/cli-server" ||
        fail "the logrotate snippet does not rotate the audit log with SIGHUP"
    if command -v logrotate >/dev/null; then
        logrotate --debug "$root/etc/logrotate.d/cli-server" >/dev/null 2>&1 ||
            fail "logrotate cannot read the snippet"
    fi
}

unpack_packages() {
    echo "==> package: unpack"
    local pkg
    for pkg in libcli-agent1 libcli-agent-dev cli-server python3-cli-agent; do
        dpkg-deb -x "$(deb_of "$pkg")" "$scratch/root"
    done
    local page
    for page in "$scratch"/root/usr/share/man/man*/*.gz; do
        local out
        out=$(gunzip -c "$page" | groff -ww -z -man 2>&1) || fail "groff failed on $page"
        [ -z "$out" ] || fail "groff warns on $page: $out"
    done
}

# The embedding example of the README, as it stands there, plus a small
# service loop: by default it returns at once (init, register, destroy);
# with EXAMPLE_SERVE=1 it runs until SIGTERM, at most 20 seconds.
write_example() {
    mkdir -p "$scratch/example"
    sed -n '/^## Embedding/,/^## /p' "$repo/README.md" |
        sed -n '/^```c$/,/^```$/p' | sed '1d;$d' >"$scratch/example/readme_example.c"
    grep -q cli_agent_init "$scratch/example/readme_example.c" ||
        fail "no embedding example found in README.md"
    cat >"$scratch/example/service.h" <<'EOF'
void run_the_service(void);
EOF
    cat >"$scratch/example/service.c" <<'EOF'
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include "service.h"

void run_the_service(void) {
    const char *serve = getenv("EXAMPLE_SERVE");
    if (serve == NULL || serve[0] != '1') return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGALRM);
    sigprocmask(SIG_BLOCK, &set, NULL);
    alarm(20);
    int sig = 0;
    sigwait(&set, &sig);
}
EOF
    cat >"$scratch/example/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(readme_example LANGUAGES C)
find_package(cli_agent 1.0 REQUIRED CONFIG)
message(STATUS "cli_agent package: ${cli_agent_DIR}")
add_executable(readme_example readme_example.c service.c)
target_compile_options(readme_example PRIVATE -include ${CMAKE_CURRENT_SOURCE_DIR}/service.h)
target_link_libraries(readme_example PRIVATE cli_agent::cli_agent)
EOF
}

build_example() {
    local usr=$scratch/root/usr multiarch
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    local libdir=$usr/lib/$multiarch

    echo "==> package: example with pkg-config"
    # Installed, the .pc file names /usr: pkg-config leaves the system -L
    # out and adds only the headers' own directory.
    local flags
    flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs cli_agent)
    [ "$(xargs <<<"$flags")" = "-I/usr/include/cli_agent -lcli_agent" ] ||
        fail "pkg-config of the installed .pc gives: $flags"
    # Unpacked, the tree's prefix is given.
    flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --define-variable=prefix="$usr" \
        --cflags --libs cli_agent)
    grep -q -- "-I$usr/include/cli_agent" <<<"$flags" ||
        fail "pkg-config does not point into the unpacked tree: $flags"
    # shellcheck disable=SC2086 # flags are words
    cc -std=c11 -Wall -Wextra -Werror -include "$scratch/example/service.h" \
        -o "$scratch/example/with_pkgconfig" "$scratch/example/readme_example.c" \
        "$scratch/example/service.c" $flags

    echo "==> package: example with find_package"
    cmake -S "$scratch/example" -B "$scratch/example/build" -G Ninja \
        -DCMAKE_PREFIX_PATH="$usr" -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
        >"$scratch/example/cmake.log" || { cat "$scratch/example/cmake.log"; fail "cmake"; }
    grep -q "cli_agent package: $libdir/cmake/cli_agent" "$scratch/example/cmake.log" ||
        fail "find_package did not find the unpacked package"
    cmake --build "$scratch/example/build" >/dev/null
    local dirs
    dirs=$(grep -o 'INTERFACE_INCLUDE_DIRECTORIES "[^"]*"' \
        "$libdir/cmake/cli_agent/cli_agentTargets.cmake")
    [ "$dirs" = 'INTERFACE_INCLUDE_DIRECTORIES "${_IMPORT_PREFIX}/include/cli_agent"' ] ||
        fail "the CMake package's include directories: $dirs"
}

# run_example PROGRAM: init, register, destroy and exit cleanly, using the
# unpacked library.
run_example() {
    local libdir
    libdir=$scratch/root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    # ldd's whole output first: grep -q leaving at the first match would
    # kill a ldd still writing with SIGPIPE, and pipefail calls that failure.
    local deps
    deps=$(LD_LIBRARY_PATH=$libdir ldd "$1")
    grep -q "$libdir/libcli_agent.so.1" <<<"$deps" ||
        fail "$1 does not load the unpacked library"
    LD_LIBRARY_PATH=$libdir timeout 10 "$1" || fail "$1 did not exit cleanly"
}

# The example attached to the packaged cli-server, in a network namespace of
# its own so port 7002 is ours alone.
attach_example() {
    local libdir
    libdir=$scratch/root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    if ! unshare -n true 2>/dev/null; then
        echo "==> package: no private network namespace; attach test skipped"
        return
    fi
    echo "==> package: example attached to the packaged cli-server"
    local out
    out=$(unshare -n env LD_LIBRARY_PATH="$libdir" EXAMPLE_SERVE=1 sh -c '
        ip link set lo up || exit 1
        "$1" & pid=$!
        timeout 20 "$2" --wait 10 --agent my-service -c "hello packages"; rc=$?
        kill -TERM "$pid"; wait "$pid" || rc=$?
        exit "$rc"' sh "$scratch/example/build/readme_example" \
        "$scratch/root/usr/bin/cli-server") || fail "attach run failed: $out"
    [ "$out" = "hello, packages" ] || fail "unexpected output from the example: $out"
}

check_completion() {
    echo "==> package: bash completion"
    [ -f /usr/share/bash-completion/bash_completion ] || {
        echo "bash-completion not installed; skipped"
        return
    }
    local out
    out=$(bash -c '
        source /usr/share/bash-completion/bash_completion
        source "$1"
        COMP_WORDS=(cli-server --ag); COMP_CWORD=1; COMP_LINE="cli-server --ag"
        COMP_POINT=${#COMP_LINE}; _cli_server; echo "${COMPREPLY[*]}"' sh \
        "$scratch/root/usr/share/bash-completion/completions/cli-server")
    [ "$out" = '--agent --agent-users' ] || fail "completion gave: $out"
}

# The autopkgtest against the unpacked tree: as root, in mount and network
# namespaces of its own, where /etc is a copy (the package's sysusers.d file
# creates the group there, the test adds its user there), /run and
# /var/log are empty, and port 7002 is the test's alone.
run_autopkgtest() {
    echo "==> package: autopkgtest (debian/tests/smoke) against the unpacked tree"
    if [ "$(id -u)" -ne 0 ] || ! unshare -m -n true 2>/dev/null ||
        ! command -v systemd-sysusers >/dev/null; then
        echo "needs root, namespaces and systemd-sysusers; skipped"
        return
    fi
    local ns=$scratch/ns
    mkdir -p "$ns/log"
    # The group's member runs the unpacked cli-server.
    chmod 0755 "$scratch"
    # The test rotates the audit log as the logrotate snippet does (the
    # daemon reopens it on SIGHUP); CLI_SMOKE_ROTATE=0 leaves that out.
    unshare -m -n env CLI_AGENT_ROOT="$scratch/root" CLI_SMOKE_ROTATE="${CLI_SMOKE_ROTATE:-1}" \
        sh -ec '
        mount --make-rprivate /
        cp -a /etc "$1/etc"
        mount --bind "$1/etc" /etc
        mount -t tmpfs -o mode=0755 tmpfs /run
        mount --bind "$1/log" /var/log
        ip link set lo up
        systemd-sysusers "$CLI_AGENT_ROOT/usr/lib/sysusers.d/cli-server.conf"
        exec timeout 600 python3 "$2"' sh "$ns" "$scratch/src/debian/tests/smoke" ||
        fail "the autopkgtest failed against the unpacked tree"
}

# A project that pulls this one in with add_subdirectory gets the library
# only; a top-level build without GoogleTest and libedit still configures,
# naming what it skipped, and fails when those parts are asked for.
check_library_only_builds() {
    echo "==> package: library-only builds"
    local consumer=$scratch/consumer
    mkdir -p "$consumer"
    cp "$scratch/example/readme_example.c" "$scratch/example/service.c" \
        "$scratch/example/service.h" "$consumer/"
    cat >"$consumer/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES C CXX)
add_subdirectory("$scratch/src" cli_agent)
add_executable(readme_example readme_example.c service.c)
target_compile_options(readme_example PRIVATE -include \${CMAKE_CURRENT_SOURCE_DIR}/service.h)
target_link_libraries(readme_example PRIVATE cli_agent::cli_agent)
EOF
    cmake -S "$consumer" -B "$consumer/build" -G Ninja >"$consumer/cmake.log" 2>&1 ||
        { cat "$consumer/cmake.log"; fail "consumer configure"; }
    local targets t
    targets=$(cmake --build "$consumer/build" --target help)
    for t in cli-server unit_tests example_host cli_bench cli_agent_manpages; do
        if grep -q "^$t:" <<<"$targets"; then fail "subproject build defines $t"; fi
    done
    cmake --build "$consumer/build" >/dev/null
    timeout 10 "$consumer/build/readme_example" || fail "consumer example did not exit cleanly"

    # Installed elsewhere than /usr, the tree stays relocatable: moved, its
    # .pc file still finds its headers.
    cmake --install "$consumer/build" --prefix "$scratch/opt/cli" >/dev/null
    mv "$scratch/opt/cli" "$scratch/opt/moved"
    local pc
    pc=$(find "$scratch/opt/moved" -name cli_agent.pc)
    grep -q '^prefix=${pcfiledir}/' "$pc" || fail "a private prefix gives a fixed .pc: $pc"
    [ -f "$scratch/opt/moved/include/cli_agent/cli_agent.h" ] || fail "headers not in include/cli_agent"
    PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags cli_agent |
        grep -q -- "-I$scratch/opt/moved/lib/pkgconfig/../../include/cli_agent\|-I$scratch/opt/moved/include/cli_agent" ||
        fail "the moved .pc does not find its headers"
    # A parent that ships the library its own way turns the install rules
    # off: those of cli-server and the manual pages too.
    cmake "$consumer/build" -DCLI_AGENT_INSTALL=OFF -DCLI_AGENT_BUILD_TOOLS=ON \
        -DCLI_AGENT_BUILD_MANPAGES=ON >/dev/null
    cmake --install "$consumer/build" --prefix "$scratch/opt/none" >/dev/null
    [ ! -e "$scratch/opt/none" ] || fail "CLI_AGENT_INSTALL=OFF still installs: $(find "$scratch/opt/none")"

    local log=$scratch/bare.log
    PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$scratch/src" -B "$scratch/bare" -G Ninja \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$log" 2>&1 ||
        { cat "$log"; fail "top-level configure without GoogleTest and libedit"; }
    if ! grep -q "skipping the tests (GoogleTest): install libgtest-dev" "$log" ||
        ! grep -q "skipping cli-server (libedit, libsystemd, nlohmann-json): install libedit-dev" "$log"; then
        cat "$log"
        fail "configure does not say what it skipped"
    fi
    if PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$scratch/src" -B "$scratch/bare-tools" -G Ninja \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCLI_AGENT_BUILD_TOOLS=ON >"$log" 2>&1; then
        fail "CLI_AGENT_BUILD_TOOLS=ON without libedit configured"
    fi
    grep -q "install libedit-dev" "$log" || { cat "$log"; fail "no hint at libedit-dev"; }
}

copy_clean_tree
build_packages
run_lintian
check_contents
unpack_packages
check_service_files
write_example
build_example
run_example "$scratch/example/with_pkgconfig"
run_example "$scratch/example/build/readme_example"
attach_example
check_completion
run_autopkgtest
check_library_only_builds
echo "==> package: all checks passed"
