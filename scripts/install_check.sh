#!/bin/sh
# Installs the package built in BUILD_DIR on this machine the way a user
# would (apt-get install ./orvalin_*.deb), uses what it installed, removes it
# again (remove, not purge) and checks that only the configuration is left.
# Needs root. Not part of make test: it changes the machine.
#
# The panel runs on a private Xvfb as an unprivileged user, as on a desktop;
# a small Qt plugin built from tools/message_closer.cpp answers its first-
# start messages with OK, as the user would click, and reports their texts.
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 1
if [ "$(id -u)" -ne 0 ]; then
    echo "install_check.sh installs a package: run it as root (sudo make install-check)" >&2
    exit 1
fi

version=$("$build/orvalinctl" --version | sed -n 's/^orvalinctl //p')
deb="$build/orvalin_${version}_$(dpkg --print-architecture).deb"
sim="$build/orvalin-sim"
closer="$build/liborvalin_message_closer.so"
for file in "$deb" "$sim" "$closer"; do
    if [ ! -f "$file" ]; then
        echo "install_check.sh: '$file' missing; run make package and make build first" >&2
        exit 1
    fi
done
if dpkg-query -W -f='${Status}' orvalin 2>/dev/null | grep -q "install ok installed"; then
    echo "install_check.sh: orvalin is installed already; remove it first" >&2
    exit 1
fi

work=$(mktemp -d) || exit 1
chmod 755 "$work"
installed=no
sim_pid=
failures=0

cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    if [ "$installed" = yes ]; then
        echo "== removing the package after a failure"
        apt-get remove -y -qq orvalin >/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ok() { echo "ok    $*"; }
fail() {
    echo "FAIL  $*"
    failures=$((failures + 1))
}
skip() { echo "skip  $*"; }
check() { # check DESCRIPTION COMMAND...
    what=$1
    shift
    if "$@" >"$work/out" 2>&1; then ok "$what"; else
        fail "$what"
        sed 's/^/      /' "$work/out"
    fi
}

echo "== installing $deb"
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1; then
    cat "$work/apt.log"
    echo "FAIL  apt-get install"
    exit 1
fi
installed=yes
ok "apt-get install ./$(basename "$deb")"
dpkg -L orvalin | sort >"$work/files"
while read -r path; do
    [ -e "$path" ] || fail "listed but missing: $path"
done <"$work/files"

echo "== what the package installed"
check "orvalinctl --version from /usr/bin" sh -c \
    "[ \"\$(/usr/bin/orvalinctl --version)\" = 'orvalinctl $version' ]"
if [ -d /usr/share/man/man1 ] && [ -f /usr/share/man/man1/orvalinctl.1.gz ]; then
    # man finds the pages by name; -l renders them without leaving cat
    # pages in man's cache.
    for page in orvalin orvalinctl; do
        check "man $page renders, without warnings" sh -c "
            path=\$(man -w $page) && [ \"\$path\" = /usr/share/man/man1/$page.1.gz ] || exit 1
            warnings=\$(MANWIDTH=80 man --warnings -l \"\$path\" 2>&1 >'$work/$page.txt')
            [ -z \"\$warnings\" ] || { echo \"\$warnings\"; exit 1; }
            grep -q 'EXIT STATUS' '$work/$page.txt'"
    done
else
    # Minimal container images tell dpkg to leave manual pages out.
    fail "manual pages not installed (see path-exclude in /etc/dpkg/dpkg.cfg.d/)"
fi
check "desktop-file-validate" desktop-file-validate /usr/share/applications/orvalin.desktop
check "icons in the hicolor theme" sh -c \
    'for s in 32 64 128 256; do [ -s /usr/share/icons/hicolor/${s}x$s/apps/orvalin.png ] || exit 1; done;
     grep -q "<svg" /usr/share/icons/hicolor/scalable/apps/orvalin.svg'
if [ -f /usr/share/bash-completion/bash_completion ]; then
    check "bash completes 'orvalinctl st' to status" bash -c '
        . /usr/share/bash-completion/bash_completion
        . /usr/share/bash-completion/completions/orvalinctl
        COMP_WORDS=(orvalinctl -p /dev/ttyUSB0 st); COMP_CWORD=3
        COMP_LINE="orvalinctl -p /dev/ttyUSB0 st"; COMP_POINT=${#COMP_LINE}
        _orvalinctl orvalinctl st /dev/ttyUSB0
        [ "${COMPREPLY[*]}" = status ]'
else
    skip "bash completion (package bash-completion not installed)"
fi
check "installing enabled nothing and ran no script" sh -c \
    '! find /etc/systemd/system -name "orvalin.service" | grep -q . &&
     ! ls /var/lib/dpkg/info/orvalin.*inst /var/lib/dpkg/info/orvalin.*rm 2>/dev/null | grep -q .'
if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify orvalin.service" systemd-analyze verify orvalin.service
    # It reads the unit's Documentation= page through man, which keeps a
    # formatted copy in its cache: not the package's, and not to be left.
    rm -f /var/cache/man/cat1/orvalin.1.gz /var/cache/man/cat1/orvalinctl.1.gz
fi
check "udev rule tags USB serial adapters for uaccess" \
    grep -q 'KERNEL=="ttyUSB\[0-9\]\*|ttyACM\[0-9\]\*", TAG+="uaccess"' \
    /lib/udev/rules.d/70-orvalin.rules

echo "== /usr/bin/orvalinctl against the emulated module"
mkfifo "$work/sim.in"
"$sim" --link "$work/COM1" --address 1 <"$work/sim.in" >"$work/sim.log" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in"
tries=0
until grep -q '^ready' "$work/sim.log"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$sim_pid" 2>/dev/null; then
        fail "the emulator did not start"
        break
    fi
    sleep 0.1
done
if ! /usr/bin/orvalinctl --help 2>&1 | grep -q status; then
    skip "orvalinctl status: this orvalinctl has no status command yet"
else
    echo "outputs 05" >&3
    check "orvalinctl status reads outputs 1 and 3 on" sh -c \
        "/usr/bin/orvalinctl -p '$work/COM1' status >'$work/status' &&
         grep -q '^output 1 on' '$work/status' && grep -q '^output 3 on' '$work/status' &&
         grep -q '^output 2 off' '$work/status'"
    check "orvalinctl on 2, confirmed" /usr/bin/orvalinctl -p "$work/COM1" on 2
    check "orvalinctl status then shows output 2 on" sh -c \
        "/usr/bin/orvalinctl -p '$work/COM1' status | grep -q '^output 2 on'"
fi
echo "quit" >&3
exec 3>&-
wait "$sim_pid" 2>/dev/null
sim_pid=

echo "== the panel under Xvfb, first start as an unprivileged user"
home="$work/home"
out="$work/panel"
mkdir -p "$home" "$out" "$work/plugins/generic"
cp "$closer" "$work/plugins/generic/"
chown nobody:nogroup "$home" "$out"
cat >"$out/panel.sh" <<EOF
#!/bin/sh
# Runs inside xvfb-run as nobody: starts the panel, waits for its main
# window, keeps it up for two seconds, and reports what it saw.
QT_PLUGIN_PATH="$work/plugins" QT_QPA_GENERIC_PLUGINS=orvalinmessagecloser \\
    /usr/bin/orvalin 2>"$out/panel.err" &
pid=\$!
# The main window: the panel's fixed 448 x 531 client area, mapped.
window() {
    id=\$(xwininfo -root -tree 2>/dev/null | grep '"Orvalin": ("orvalin"' | grep ' 448x531+' |
        awk '{ print \$1 }' | head -n 1)
    [ -n "\$id" ] && xwininfo -id "\$id" | grep -q 'Map State: IsViewable' && echo "\$id"
}
tries=0
until window >/dev/null; do
    tries=\$((tries + 1))
    if [ \$tries -gt 150 ] || ! kill -0 \$pid 2>/dev/null; then
        echo "no main window"
        kill \$pid 2>/dev/null
        exit 1
    fi
    sleep 0.1
done
echo "window: \$(window), mapped"
sleep 2
if ! kill -0 \$pid 2>/dev/null; then
    echo "the panel ended by itself"
    exit 1
fi
kill \$pid
wait \$pid 2>/dev/null
exit 0
EOF
chmod 755 "$out/panel.sh"
if setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$home" \
    XDG_RUNTIME_DIR= xvfb-run -a -s "-screen 0 1024x768x24" "$out/panel.sh" >"$out/panel.out" 2>&1; then
    ok "orvalin maps its main window and stays up ($(grep '^window:' "$out/panel.out"))"
else
    fail "orvalin under Xvfb"
    sed 's/^/      /' "$out/panel.out" "$out/panel.err" 2>/dev/null
fi
sed -n 's/^message: //p' "$out/panel.err" | uniq -c | sed 's/^ *\([0-9]*\) /      message \1×: /'

names="$home/.local/share/orvalin/name.txt"
if grep -q "^message: File Not Found: /usr/bin/name.txt not found" "$out/panel.err"; then
    skip "name file under ~/.local/share/orvalin: this panel still looks beside itself"
else
    check "the first start made $names" test -s "$names"
fi
check "nothing written to /usr/bin" sh -c '[ ! -e /usr/bin/name.txt ]'

echo "== removing (not purging) the package"
if DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq orvalin >"$work/apt.log" 2>&1; then
    installed=no
    ok "apt-get remove orvalin"
else
    cat "$work/apt.log"
    fail "apt-get remove orvalin"
fi
check "dpkg keeps only the configuration" sh -c \
    '[ "$(dpkg-query -W -f="\${Status}" orvalin)" = "deinstall ok config-files" ]'
left=$(while read -r path; do
    # Directories stay when shared; /lib itself is a link on Debian 12.
    if [ -f "$path" ] || { [ -L "$path" ] && [ ! -d "$path" ]; }; then echo "$path"; fi
done <"$work/files")
if [ "$left" = "/etc/orvalin/orvalin.conf" ]; then
    ok "left behind: /etc/orvalin/orvalin.conf only"
else
    fail "left behind:" $left
fi
# Anything else of ours anywhere on the system, beside dpkg's own records,
# the sources, and temporary and runtime files (which other work may hold).
strays=$(find / -xdev \( -path /proc -o -path /sys -o -path /run -o -path /tmp -o -path /work \
    -o -path "$build" -o -path /var/lib/dpkg/info \) -prune -o -name '*orvalin*' -print 2>/dev/null |
    grep -v -x -e /etc/orvalin -e /etc/orvalin/orvalin.conf)
if [ -z "$strays" ]; then
    ok "no other file named after orvalin outside the build"
else
    fail "stray files:" $strays
fi

echo
if [ "$failures" -eq 0 ]; then
    echo "install check passed; 'apt-get purge orvalin' also removes /etc/orvalin"
    exit 0
fi
echo "install check: $failures failure(s)"
exit 1
