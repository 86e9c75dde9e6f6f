#!/bin/sh
# Runs the README's test command on a fresh, minimal Debian system of another release.
#
#   scripts/test-debian.sh SUITE          (for example trixie or bookworm; as root)
#
# Makes a minimal Debian of SUITE with debootstrap in a scratch folder, copies this clone into
# it, mounts proc, sys, dev, dev/pts and dev/shm, and runs the test command inside as root. It
# prints the suite, the versions of Qt, PipeWire and GCC inside and ctest's summary, and exits
# with the test command's status. Whatever happens (failure, Ctrl-C, SIGTERM), it ends the
# processes left inside, unmounts what it mounted and removes the scratch folder.
#
# The base system and the downloaded packages are kept in a cache folder outside the clone,
# so a second run on the same machine skips debootstrap and most downloads:
#   PENDREL_DEBIAN_CACHE   the cache folder (default /var/cache/pendrel-debian)
#   PENDREL_DEBIAN_MIRROR  the archive (default http://deb.debian.org/debian)
#   TMPDIR                 where the scratch folder goes (default /var/tmp)
#   PENDREL_DEBIAN_CTEST   extra ctest arguments inside, for example "-E sound_long"
set -u
suite=${1:?usage: test-debian.sh SUITE}
case $suite in *[!a-z0-9-]*) echo "test-debian: not a suite name: $suite" >&2; exit 2 ;; esac
[ "$(id -u)" -eq 0 ] || { echo "test-debian: needs root (debootstrap, chroot, mount)" >&2; exit 2; }
if ! command -v debootstrap >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
        { echo "test-debian: debootstrap is missing and could not be installed" >&2; exit 2; }
fi
for tool in debootstrap chroot mount umount tar git; do
    command -v "$tool" >/dev/null 2>&1 || { echo "test-debian: $tool is missing" >&2; exit 2; }
done

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${PENDREL_DEBIAN_CACHE:-/var/cache/pendrel-debian}
mirror=${PENDREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
base="$cache/$suite-minbase.tar"
archives="$cache/$suite-archives"
mkdir -p "$cache" "$archives/partial" || exit 2

scratch=$(mktemp -d "${TMPDIR:-/var/tmp}/pendrel-$suite.XXXXXX") || exit 2
root="$scratch/root"
mounted=""

# Every process whose root is inside the scratch system: the test servers, X, a stuck test.
inside_pids() {
    for p in /proc/[0-9]*; do
        r=$(readlink "$p/root" 2>/dev/null) || continue
        case $r in "$root"|"$root"/*) echo "${p#/proc/}" ;; esac
    done
}

cleanup() {
    trap '' INT TERM HUP
    pids=$(inside_pids)
    if [ -n "$pids" ]; then
        kill $pids 2>/dev/null
        sleep 1
        pids=$(inside_pids)
        [ -n "$pids" ] && kill -9 $pids 2>/dev/null && sleep 0.5
    fi
    # In the reverse order of mounting; a mount still busy is detached lazily.
    for m in $mounted; do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null ||
            echo "test-debian: could not unmount $m" >&2
    done
    # Never remove anything while something is still mounted below the scratch folder.
    if grep -q " $scratch/" /proc/self/mounts; then
        echo "test-debian: $scratch is left in place, something is still mounted in it" >&2
    else
        rm -rf --one-file-system "$scratch"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mount_in() { # TYPE-or-bind SOURCE TARGET [options]
    target="$root${3%/}"
    mkdir -p "$target"
    if [ "$1" = bind ]; then
        mount --bind "$2" "$target" || return 1
    else
        mount -t "$1" ${4:+-o "$4"} "$2" "$target" || return 1
    fi
    mounted="$target $mounted"
}

# --- The base system, made once -------------------------------------------------------------
if [ ! -s "$base" ]; then
    echo "test-debian: making a minimal $suite with debootstrap (kept in $cache)"
    work="$cache/$suite.partial"
    rm -rf --one-file-system "$work"
    if ! debootstrap --variant=minbase --cache-dir="$archives" "$suite" "$work" "$mirror" \
            >"$cache/$suite-debootstrap.log" 2>&1; then
        tail -20 "$cache/$suite-debootstrap.log" >&2
        echo "test-debian: debootstrap of $suite failed (log: $cache/$suite-debootstrap.log)" >&2
        rm -rf --one-file-system "$work"
        exit 1
    fi
    tar -C "$work" -cf "$base.new" . && mv "$base.new" "$base" || exit 1
    rm -rf --one-file-system "$work"
fi
mkdir -p "$root"
tar -C "$root" -xf "$base" || { echo "test-debian: cannot unpack $base" >&2; exit 1; }

# Services are never started by package scripts in here; DNS as on this machine.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

# The clone as git sees it: tracked files and new ones it does not ignore, no build folder.
mkdir -p "$root/root/pendrel"
(cd "$top" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -C "$root/root/pendrel" -xf - ||
    { echo "test-debian: cannot copy the clone" >&2; exit 1; }

# The system's own root a mount point, as on a real machine (tests that make a private mount
# namespace need one), then the system folders.
mount_in bind "$root" / &&
mount_in proc proc /proc &&
mount_in sysfs sys /sys &&
mount_in bind /dev /dev &&
mount_in devpts devpts /dev/pts newinstance,ptmxmode=0666 &&
mount_in tmpfs shm /dev/shm mode=1777 &&
mount_in bind "$archives" /var/cache/apt/archives ||
    { echo "test-debian: cannot mount the system folders" >&2; exit 1; }

# The README's test command, word for word, as root in a plain environment.
command='./scripts/setup-debian.sh && cmake --preset default && cmake --build --preset default && ctest --preset default'
[ -n "${PENDREL_DEBIAN_CTEST:-}" ] && command="$command $PENDREL_DEBIAN_CTEST"
log="$scratch/test.log"
echo "test-debian: $suite: $command"
# In the background, so that a signal to this script is acted on at once (the shell runs its
# traps only between commands, and `wait` is one it can leave).
env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb ${CI:+CI=$CI} ${PENDREL_TEST_SYSTEM_INSTALL:+PENDREL_TEST_SYSTEM_INSTALL=$PENDREL_TEST_SYSTEM_INSTALL} \
    chroot "$root" /bin/sh -c "cd /root/pendrel && $command" </dev/null >"$log" 2>&1 &
inside=$!
tail -n +1 -f --pid="$inside" "$log" &
wait "$inside"
status=$?
wait

# What ran: the suite, the versions inside, ctest's summary.
version() { chroot "$root" dpkg-query -W -f '${Version}' "$1" 2>/dev/null || echo "not installed"; }
echo "== Debian $suite ($(cat "$root/etc/debian_version"))"
echo "   Qt $(version qt6-base-dev), PipeWire $(version pipewire), GCC $(chroot "$root" gcc -dumpfullversion 2>/dev/null || echo none), CMake $(version cmake)"
summary=$(grep -E '^[0-9]+% tests passed|^The following tests (FAILED|did not run)|^[[:space:]]+[0-9]+ - ' "$log")
if [ -n "$summary" ]; then
    printf '%s\n' "$summary" | sed 's/^/   /'
else
    echo "   the test command ended before ctest"
fi
if grep -qE '^100% tests passed' "$log" && [ "$status" -eq 0 ]; then
    echo "test-debian: $suite passed"
    exit 0
fi
echo "test-debian: $suite FAILED"
exit 1
