#!/usr/bin/env bash
# Builds the Debian package and checks it as a user's system meets it: the validators (lintian,
# desktop-file-validate, appstreamcli), the installed files, the programs run from the installed
# paths in another folder, the file type by name and by content, and the thumbnailer's command as
# a file manager runs it, and the player on a display of its own. Everything is unpacked into a
# scratch folder; nothing is installed.
#   tests/package/check_package.sh [--no-build]   (--no-build: check build/package as it is)
set -euo pipefail
source "$(dirname "$0")/../../scripts/common.sh"
vl_ensure_packages
[ "${1:-}" = "--no-build" ] || "$VL_ROOT/scripts/package"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

version="$(sed -n 's/^project(vantaloop VERSION \([0-9.]*\).*/\1/p' "$VL_ROOT/CMakeLists.txt")"
deb="$(ls "$VL_ROOT/build/package/vantaloop_${version}"-*_amd64.deb 2>/dev/null | head -n 1)"
[ -f "$deb" ] || { echo "FAIL: no package build/package/vantaloop_${version}-*_amd64.deb" >&2; exit 1; }
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
dpkg -x "$deb" "$root"
data="$root/usr/share"
app_id=example.vantaloop.Vantaloop

# The validators. lintian's warnings that stay are listed with their reasons in the README.
echo "== lintian"
if lintian --fail-on error --tag-display-limit 0 "$deb" | tee "$scratch/lintian.txt"; then
  pass "lintian reports no errors"
else
  fail "lintian reports errors"
fi
echo "== desktop-file-validate"
desktop-file-validate "$data/applications/$app_id.desktop" 2>&1 | tee "$scratch/desktop.txt" || true
if grep -qi "error" "$scratch/desktop.txt"; then fail "desktop-file-validate"; else pass "desktop-file-validate"; fi
echo "== appstreamcli validate --no-net"
if appstreamcli validate --no-net "$data/metainfo/$app_id.metainfo.xml"; then
  pass "appstreamcli validate"
else
  fail "appstreamcli validate"
fi

# The files a user's system looks for.
for f in usr/bin/vantaloop usr/bin/vantaloop-cli \
  usr/share/vantaloop/Sequences/default.lqf usr/share/vantaloop/Sequences/default.jpg \
  usr/share/vantaloop/Images/video-girl.jpg usr/share/vantaloop/Textures/Gold.jpg \
  usr/share/vantaloop/Particles/particle.tga usr/share/vantaloop/model/Tardis.3ds \
  "usr/share/applications/$app_id.desktop" usr/share/mime/packages/vantaloop.xml \
  usr/share/thumbnailers/vantaloop.thumbnailer "usr/share/metainfo/$app_id.metainfo.xml" \
  usr/share/icons/hicolor/scalable/apps/vantaloop.svg usr/share/icons/hicolor/48x48/apps/vantaloop.png \
  usr/share/icons/hicolor/256x256/apps/vantaloop.png \
  usr/share/icons/hicolor/48x48/mimetypes/application-x-vantaloop-loop.png \
  usr/share/man/man1/vantaloop.1.gz usr/share/man/man1/vantaloop-cli.1.gz \
  usr/share/bash-completion/completions/vantaloop-cli \
  usr/share/doc/vantaloop/copyright usr/share/doc/vantaloop/changelog.Debian.gz; do
  [ -e "$root/$f" ] || fail "the package has no /$f"
done
pass "the package holds the programs, the library and the desktop files"
for man in vantaloop vantaloop-cli; do
  warnings="$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
    "$data/man/man1/$man.1.gz" 2>&1 >/dev/null || true)"
  [ -z "$warnings" ] || fail "$man(1) has troff warnings: $warnings"
done
zcat "$data/man/man1/vantaloop-cli.1.gz" | grep -q '^\.SS thumbnail' || fail "vantaloop-cli(1) lacks the thumbnail command"
zcat "$data/man/man1/vantaloop-cli.1.gz" | grep -q 'size' || fail "vantaloop-cli(1) lacks thumbnail's --size"
zcat "$data/man/man1/vantaloop.1.gz" | grep -q 'status\\-to\\-stdout' || fail "vantaloop(1) lacks --status-to-stdout"

# The installed programs, run from another folder with no library named: they find their data
# in /usr/share/vantaloop beside /usr/bin.
work="$scratch/elsewhere"
mkdir -p "$work"
cd "$work"
unset VANTALOOP_HOME
cli="$root/usr/bin/vantaloop-cli"
[ "$("$cli" --version)" = "vantaloop-cli $version" ] || fail "vantaloop-cli --version is not $version"
[ "$("$root/usr/bin/vantaloop" --version)" = "vantaloop $version" ] || fail "vantaloop --version is not $version"
if "$cli" check "$data"/vantaloop/Sequences/*.lqf >"$scratch/check.txt" 2>&1; then
  pass "every bundled loop finds its pictures, model and textures from the installed paths"
else
  fail "the installed loops miss assets: $(head -5 "$scratch/check.txt")"
fi
if "$cli" render "$data/vantaloop/Sequences/photos.lqf" --size 64x64 --frames 0-1 --out frames &&
  [ -s frames/frame_00000.png ] && [ -s frames/frame_00001.png ]; then
  pass "the installed vantaloop-cli renders"
else
  fail "the installed vantaloop-cli render"
fi
if "$cli" thumbnail "$data/vantaloop/Sequences/default.lqf" thumb.jpg &&
  cmp -s thumb.jpg "$data/vantaloop/Sequences/default.jpg"; then
  pass "the installed vantaloop-cli thumbnail draws the library's picture"
else
  fail "the installed vantaloop-cli thumbnail"
fi

# The file type, from the package's XML in a MIME database of its own: by name, and by content
# for a loop without the extension.
mime_home="$scratch/xdg"
mkdir -p "$mime_home/mime/packages"
cp "$data/mime/packages/vantaloop.xml" "$mime_home/mime/packages/"
XDG_DATA_DIRS="$mime_home:/usr/share" update-mime-database "$mime_home/mime"
cp "$data/vantaloop/Sequences/default.lqf" "$work/sunrise.lqf"
cp "$data/vantaloop/Sequences/default.lqf" "$work/no-extension"
for f in sunrise.lqf no-extension; do
  type="$(XDG_DATA_HOME="$mime_home" XDG_DATA_DIRS="$mime_home:/usr/share" \
    gio info -a standard::content-type "$work/$f" 2>/dev/null | sed -n 's/^ *standard::content-type: //p')"
  [ "$type" = "application/x-vantaloop-loop" ] || fail "$f is $type, not application/x-vantaloop-loop"
done
for v in 3 4 5; do  # older loops by content: the version float that starts them
  python3 -c "import struct,sys; sys.stdout.buffer.write(struct.pack('<f', $v) + bytes(60))" >"$work/old$v"
  type="$(XDG_DATA_HOME="$mime_home" XDG_DATA_DIRS="$mime_home:/usr/share" \
    gio info -a standard::content-type "$work/old$v" 2>/dev/null | sed -n 's/^ *standard::content-type: //p')"
  [ "$type" = "application/x-vantaloop-loop" ] || fail "a version-$v loop without extension is $type"
done
pass "the MIME database maps loops by name and by content"

# The thumbnailer's Exec line expanded as a file manager does (%s size, %i input, %o output PNG),
# with the installed programs first on the PATH.
exec_line="$(sed -n 's/^Exec=//p' "$data/thumbnailers/vantaloop.thumbnailer")"
command="${exec_line//%s/128}"
command="${command//%i/$work/sunrise.lqf}"
command="${command//%o/$work/thumbnail-out.png}"
if (cd / && PATH="$root/usr/bin:$PATH" $command) &&
  python3 - "$work/thumbnail-out.png" <<'PY'; then
import struct, sys
b = open(sys.argv[1], "rb").read(24)
sys.exit(0 if b[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", b[16:24]) == (128, 128) else 1)
PY
  pass "the thumbnailer writes a 128 x 128 PNG"
else
  fail "the thumbnailer's command ($command)"
fi

# The same inside a sandbox like the one file managers run thumbnailers in: the system read-only,
# no network, no display, only the input readable and the output's folder writable. The picture
# is the same as outside.
if bwrap --ro-bind / / --unshare-all true 2>/dev/null; then
  mkdir -p "$scratch/sandbox-out"
  (cd / && PATH="$root/usr/bin:$PATH" "$cli" thumbnail --size 128 "$work/sunrise.lqf" "$scratch/outside.png")
  if bwrap --ro-bind /usr /usr --ro-bind /etc /etc --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
    --symlink usr/bin /bin --proc /proc --dev /dev --tmpfs /tmp --ro-bind "$root" "$root" \
    --ro-bind "$work/sunrise.lqf" /tmp/in.lqf --bind "$scratch/sandbox-out" /tmp/out \
    --unshare-all --die-with-parent --clearenv --setenv PATH "$root/usr/bin:/usr/bin" --chdir / \
    vantaloop-cli thumbnail --size 128 /tmp/in.lqf /tmp/out/thumb.png 2>"$scratch/sandbox.txt" &&
    cmp -s "$scratch/sandbox-out/thumb.png" "$scratch/outside.png"; then
    pass "the thumbnailer works in a sandbox"
  else
    fail "the thumbnailer in a sandbox: $(grep -v Fontconfig "$scratch/sandbox.txt" | head -3)"
  fi
else
  echo "skipped: no sandbox can be made here (bwrap needs user namespaces)"
fi

# Bash completion, as bash-completion loads it: commands, a command's options, loop files.
mkdir -p "$work/completion"
touch "$work/completion/a.lqf" "$work/completion/b.bin"
completions="$(cd "$work/completion" && PATH="$root/usr/bin:$PATH" bash -c '
  source /usr/share/bash-completion/bash_completion
  source "$1/usr/share/bash-completion/completions/vantaloop-cli"
  complete_line() {
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    read -r -a COMP_WORDS <<<"$*"
    [[ "$COMP_LINE" == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _vantaloop_cli
    echo "$*=> $(printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " ")"
  }
  complete_line "vantaloop-cli th"
  complete_line "vantaloop-cli --library /tmp thumbnail --s"
  complete_line "vantaloop-cli info "' _ "$root")"
for want in "vantaloop-cli th=> thumbnail " "thumbnail --s=> --size " "vantaloop-cli info => a.lqf "; do
  grep -qF -- "$want" <<<"$completions" || fail "bash completion: no '$want' in: $completions"
done
pass "bash completion offers commands, options and loop files"

# The installed player starts on a display of its own, plays the bundled default loop from
# /usr/share/vantaloop and shows it. Its settings go to the scratch folder.
cat >"$scratch/desktop.sh" <<'SH'
set -u
cd "$1"
HOME="$1" XDG_CONFIG_HOME="$1/.config" XDG_DATA_HOME="$1/.local/share" XDG_RUNTIME_DIR="$1" \
  timeout 90 "$2/usr/bin/vantaloop" --status-to-stdout >"$1/status.txt" 2>"$1/stderr.txt" &
player=$!
for _ in $(seq 1 60); do
  grep -q "^status: Playing default.lqf" "$1/status.txt" 2>/dev/null && break
  sleep 0.5
done
sleep 3
import -window root "$1/screen.png"
kill "$player" 2>/dev/null
wait "$player" 2>/dev/null
exit 0
SH
mkdir -p "$scratch/home"
chmod 700 "$scratch/home"
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$scratch/desktop.sh" "$scratch/home" "$root"
if ! grep -q "^status: Playing default.lqf" "$scratch/home/status.txt"; then
  fail "the installed vantaloop did not play the default loop: $(head -c 400 "$scratch/home/stderr.txt")"
else
  # The view (the window's top left, below the menus) shows the loop: many colours, not one.
  colours="$(convert "$scratch/home/screen.png" -crop 600x400+20+40 +repage -format '%k' info: 2>/dev/null || echo 0)"
  if [ "${colours:-0}" -ge 50 ]; then
    pass "the installed vantaloop starts and shows the default loop ($colours colours)"
  else
    fail "the installed vantaloop shows no picture ($colours colours)"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "== $failures package checks failed" >&2
  exit 1
fi
echo "== the package checks passed"
