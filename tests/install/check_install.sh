#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the freedesktop layout,
# the documents, and the Debian package.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
prefix=$(mktemp -d)
packages=$(mktemp -d)
trap 'rm -rf "$prefix" "$packages"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/prismora"
desktop=$prefix/share/applications/org.example.prismora.desktop
metainfo=$prefix/share/metainfo/org.example.prismora.metainfo.xml
grep -qx 'Exec=prismora' "$desktop"
grep -qx 'Icon=prismora' "$desktop"
for size in 16 24 32 48 64 128 256; do
    file "$prefix/share/icons/hicolor/${size}x${size}/apps/prismora.png" | grep -q "${size} x ${size}"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop"
fi
# The software centre's entry names the desktop entry it launches.
grep -q '<launchable type="desktop-id">org.example.prismora.desktop</launchable>' "$metainfo"
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net --pedantic "$metainfo"
fi

# The installed program opens its window from the module it was installed
# with: here it meets an instance already running, this shell, and ends.
runtime=$(mktemp -d)
trap 'rm -rf "$prefix" "$packages" "$runtime"' EXIT
printf '%s\n%s\n%s\n' $$ "$(basename "$(readlink /proc/$$/exe)")" "$(uname -n)" >"$runtime/prismora.lock"
opened=$(env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$runtime" XDG_CONFIG_HOME="$runtime" QT_QPA_PLATFORM=offscreen \
    timeout 60 "$prefix/bin/prismora" 2>&1) || { echo "the installed window does not open: $opened"; exit 1; }
[ -z "$opened" ] || { echo "the installed window says: $opened"; exit 1; }

# The watch's user unit: systemd takes it, with the folder its instance names.
unit=$prefix/lib/systemd/user/prismora-watch@.service
grep -qx 'ExecStart=/usr/bin/prismora --process --watch --recursive %f' "$unit"
grep -qx 'Restart=on-failure' "$unit"
if command -v systemd-analyze >/dev/null; then
    units=$(mktemp -d)
    trap 'rm -rf "$prefix" "$packages" "$runtime" "$units"' EXIT
    mkdir -m 700 "$units/run"
    # Verified as installed, but for the program, which is in the scratch prefix.
    sed "s|/usr/bin/prismora|$prefix/bin/prismora|" "$unit" >"$units/prismora-watch@.service"
    ln -s prismora-watch@.service "$units/prismora-watch@$(systemd-escape --path /srv/scans).service"
    verified=$(cd "$units" && XDG_RUNTIME_DIR=$units/run systemd-analyze verify --man=no --user \
        "./prismora-watch@srv-scans.service" 2>&1) || { echo "$verified"; exit 1; }
    [ -z "$verified" ] || { echo "systemd-analyze: $verified"; exit 1; }
fi

# --help, the manual page and the README name the same options and exit codes.
help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/prismora" --help)
manual=$(zcat "$prefix/share/man/man1/prismora.1.gz" | sed 's/\\-/-/g')
readme=$(cat "$source_dir/README.md")
for option in $(grep -oE -- '--[a-z]+' <<<"$help" | sort -u); do
    grep -q -- "$option" <<<"$manual" || { echo "manual page lacks $option"; exit 1; }
    grep -q -- "$option" <<<"$readme" || { echo "README lacks $option"; exit 1; }
done
for code in $(sed -n '/^Exit status:/,$s/^ *\([0-9][0-9]*\) .*/\1/p' <<<"$help"); do
    grep -qx "\.B $code" <<<"$manual" || { echo "manual page lacks exit code $code"; exit 1; }
    grep -q "^- \`$code\`" <<<"$readme" || { echo "README lacks exit code $code"; exit 1; }
done

# The shells' completions know every option the parser lists, and bash's
# completes a partial option and a folder.
bash_completion=$prefix/share/bash-completion/completions/prismora
zsh_completion=$prefix/share/zsh/vendor-completions/_prismora
fish_completion=$prefix/share/fish/vendor_completions.d/prismora.fish
for option in $(grep -oE -- '--[a-z]+' <<<"$help" | sort -u); do
    grep -q -- "$option" "$bash_completion" || { echo "bash completion lacks $option"; exit 1; }
    grep -qE -- "$option[=[}]" "$zsh_completion" || { echo "zsh completion lacks $option"; exit 1; }
    grep -q -- "-l ${option#--}\b" "$fish_completion" || { echo "fish completion lacks $option"; exit 1; }
done
complete_bash() { # words...; the last is completed
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _prismora; echo "${COMPREPLY[*]}"' \
        _ "$bash_completion" "$@"
}
[ "$(complete_bash prismora --ver)" = "--verbose --version" ] || { echo "bash completes --ver wrongly"; exit 1; }
mkdir -p "$packages/fold/sub" && touch "$packages/fold/file.bmp"
[ "$(complete_bash prismora --process "$packages/fold/")" = "$packages/fold/sub" ] \
    || { echo "bash completes a folder wrongly"; exit 1; }
if command -v zsh >/dev/null; then zsh -n "$zsh_completion"; fi
if command -v fish >/dev/null; then
    fish -n "$fish_completion"
    fish -c "source $fish_completion; complete -C'prismora --pro'" | grep -q '^--process' \
        || { echo "fish completes --pro wrongly"; exit 1; }
fi
rm -rf "$packages/fold"

# The Debian package, checked by Debian's own checker: no error, no warning.
if command -v lintian >/dev/null; then
    (cd "$build" && cpack -G DEB -B "$packages" >/dev/null)
    deb=$(ls "$packages"/*.deb)
    zcat "$prefix/share/doc/prismora/changelog.gz" | head -n 1 | grep -q "^prismora ($(dpkg-deb -f "$deb" Version)) "
    as_root=()
    [ "$(id -u)" -ne 0 ] || as_root=(--allow-root)
    lintian "${as_root[@]}" --fail-on error,warning "$deb"
fi
echo "install layout: 1 passed, 0 failed"
