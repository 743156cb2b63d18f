#!/usr/bin/env bash
# Installs the two packages into a fresh minimal Debian 12 root (debootstrap from the
# machine's own Debian mirror), starts that root's cupsd, enables the managed printer
# through the installed program's window (by the keyboard, under Xvfb), prints a job as
# a user, finds its PDF in the user's ~/PDF, purges the packages and checks that nothing
# of theirs is left. The print server's own state (the queue the program added, its
# copy of the PPD) and the user's PDF stay, as they belong to the administrator and the
# user. Usage: install-print-remove.sh DEBDIR [WORKDIR]. Runs as root.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
    # Read by scripts/test's count of skipped tests, as a googletest skip is.
    printf '%s\n' "install-print-remove.sh: Skipped" \
        "a throwaway Debian root needs root (debootstrap, chroot, mounts and namespaces)"
    exit 77
fi
# Every mount below stays in a mount namespace of this test.
if [ -z "${QUILL_PACKAGE_TEST_NS:-}" ]; then
    export QUILL_PACKAGE_TEST_NS=1
    exec unshare --mount --propagation private bash "${BASH_SOURCE[0]}" "$@"
fi
queue=QUILL_Amber_PDF_Creator
user=quilltest
note() { echo "[$(date +%T)] $*"; }
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

# What the packages may leave or change: the print server's state, logs, caches.
snapshot() {
    (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./run -o -path ./tmp -o -path ./etc/cups \
        -o -path ./var/spool/cups -o -path ./var/cache -o -path ./var/log -o -path ./var/lib/apt \
        -o -path ./home/$user/PDF -o -path ./root \) -prune -o -printf '%p %M %u\n' | sort)
}

# Inside mount, network and process namespaces of our own: a cupsd, an X server and
# the program that nothing else on the machine can see, all ended with the namespace.
inside() {
    pids=()
    # Xvfb takes its lock file away only when it is told to end.
    trap 'kill -TERM "${pids[@]}" 2>/dev/null || true; wait || true' EXIT
    mount -t proc proc "$root/proc"
    mount -t tmpfs tmpfs "$root/dev/shm"
    ip link set lo up
    mount -t tmpfs tmpfs /tmp/.X11-unix 2>/dev/null || { mkdir -p /tmp/.X11-unix && mount -t tmpfs tmpfs /tmp/.X11-unix; }
    mkdir -p "$root/tmp/.X11-unix"
    mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
    # From here on the root stands for a running system whose services the package's
    # scripts may restart (with no init system and no policy, invoke-rc.d does nothing).
    printf '#!/bin/sh\nexit 0\n' >"$root/usr/sbin/policy-rc.d"

    note "starting the root's cupsd"
    in_root /etc/init.d/cups start >/dev/null
    for _ in $(seq 1 100); do in_root lpstat -r 2>/dev/null | grep 'is running' && break; sleep 0.1; done >/dev/null
    in_root lpstat -r | grep 'is running' >/dev/null
    local before after
    before=$(cat "$root/run/cups/cupsd.pid")
    note "installing the driver again with cupsd running: it restarts cupsd"
    in_root dpkg -i /tmp/debs/$driver_deb >/dev/null
    for _ in $(seq 1 100); do in_root lpstat -r 2>/dev/null | grep 'is running' && break; sleep 0.1; done >/dev/null
    after=$(cat "$root/run/cups/cupsd.pid")
    [ "$before" != "$after" ] || { echo "cupsd was not restarted ($before)"; exit 1; }

    note "the program: Tab to Enable Printer, Space"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.05; done
    export DISPLAY=":$(head -n1 "$work/display")"
    chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 DISPLAY="$DISPLAY" \
        quill-server-management >"$work/program.log" 2>&1 &
    pids=($! "${pids[@]}")
    local window=
    for _ in $(seq 1 200); do
        window=$(xdotool search --onlyvisible --name '^QUILL Server Management$' 2>/dev/null | head -n1) && [ -n "$window" ] && break
        sleep 0.1
    done
    [ -n "$window" ] || { cat "$work/program.log"; echo "no window"; exit 1; }
    xdotool windowfocus --sync "$window"
    sleep 1
    # The list has the focus; Enable Printer is the sixth button.
    for _ in 1 2 3 4 5 6; do xdotool key Tab; sleep 0.1; done
    xdotool key space
    for _ in $(seq 1 100); do in_root lpstat -p "$queue" >/dev/null 2>&1 && break; sleep 0.1; done
    import -window root "$work/enabled.png" 2>/dev/null || true
    in_root lpstat -p "$queue" | grep enabled >/dev/null || {
        cat "$work/program.log"
        echo "printer not enabled"
        exit 1
    }

    note "printing as $user"
    printf '%%!PS\n/Helvetica findfont 24 scalefont setfont 72 700 moveto (QUILL package test) show showpage\n' \
        >"$root/tmp/job.ps"
    in_root runuser -u "$user" -- lp -d "$queue" /tmp/job.ps
    local pdf=
    for _ in $(seq 1 300); do
        pdf=$(find "$root/home/$user/PDF" -name '*.pdf' 2>/dev/null | head -n1) && [ -n "$pdf" ] && break
        sleep 0.1
    done
    [ -n "$pdf" ] || { tail -n 30 "$root/var/log/cups/error_log" 2>/dev/null; echo "no PDF"; exit 1; }
    for _ in $(seq 1 300); do [ -z "$(in_root lpstat -o "$queue")" ] && break; sleep 0.1; done
    [ "$(head -c 5 "$pdf")" = "%PDF-" ] || { echo "not a PDF: $pdf"; exit 1; }
    local owner
    owner=$(in_root stat -c %U "${pdf#$root}")
    note "PDF: ${pdf#$root}, $(stat -c %s "$pdf") bytes, owned by $owner"
    [ "$owner" = "$user" ] || { echo "the PDF belongs to $owner"; exit 1; }

    in_root /etc/init.d/cups stop >/dev/null || { echo "cupsd did not stop"; exit 1; }
}

if [ "${1:-}" = --inside ]; then
    root=$2 work=$3 driver_deb=$4
    inside
    exit 0
fi

debs=$(realpath "$1")
work=$(realpath -m "${2:-$(mktemp -d /tmp/quill-package-test-XXXXXX)}")
mkdir -p "$work"
root="$work/root"
program_deb=$(cd "$debs" && ls quill-server-management_*.deb | tail -n1)
driver_deb=$(cd "$debs" && ls quill-amber-pdf-creator_*.deb | tail -n1)
cleanup() {
    umount -R "$root/proc" "$root/dev" 2>/dev/null || true
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT

# No service starts while packages are installed, until the test starts cupsd itself.
deny_services() {
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 0755 "$root/usr/sbin/policy-rc.d"
}

# A minimal Debian 12 with what the packages depend on (each dependency's first
# alternative, as apt would pick it) and a user who prints.
make_root() {
    local mirror deps
    mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' |
        awk '$2 == "bookworm" {print $1; exit}')
    note "debootstrap minbase bookworm from the machine's mirror"
    debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 || {
        tail -n 20 "$work/debootstrap.log"
        exit 1
    }
    deny_services
    note "installing what the packages depend on"
    deps=$(for deb in "$program_deb" "$driver_deb"; do dpkg-deb -f "$debs/$deb" Depends; done |
        tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | sort -u | tr '\n' ' ')
    mount -t proc proc "$root/proc"
    in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $deps \
        >"$work/apt.log" 2>&1 || {
        tail -n 20 "$work/apt.log"
        exit 1
    }
    in_root useradd -m "$user"
    umount "$root/proc"
}

make_root
mount --bind /dev "$root/dev"
mkdir -p "$root/tmp/debs"
cp "$debs/$program_deb" "$debs/$driver_deb" "$root/tmp/debs/"
snapshot >"$work/before"

note "installing the packages"
in_root dpkg -i "/tmp/debs/$program_deb" "/tmp/debs/$driver_deb" >/dev/null
in_root dpkg-query -W quill-server-management quill-amber-pdf-creator
[ "$(stat -c %a "$root/usr/lib/cups/backend/pdfinst")" = 700 ]
[ "$(stat -c %a "$root/var/spool/quill-pdf")" = 700 ]
in_root SetupAid.exe | grep 'port:   /usr/lib/cups/backend/pdfinst' >/dev/null

unshare --net --pid --fork --mount-proc=/proc --propagation private \
    bash "${BASH_SOURCE[0]}" --inside "$root" "$work" "$driver_deb"
[ -f "$work/enabled.png" ] && cp "$work/enabled.png" "$debs/chroot-enabled.png"
deny_services

note "purging the packages"
mount -t proc proc "$root/proc"
in_root dpkg --purge quill-server-management quill-amber-pdf-creator >/dev/null
umount "$root/proc"
snapshot >"$work/after"
if ! diff -u "$work/before" "$work/after"; then
    echo "the packages left the lines above (+) or took away (-)"
    exit 1
fi
note "nothing of the packages is left"
