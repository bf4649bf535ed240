# Sourced by the scripts in this folder: decides where Python 3.14 comes from and
# offers `in_env CMD...`, which runs CMD with that interpreter first on PATH.
#
# A python3.14 on PATH with headers, venv, pip, networkx, natsort, frozendict and
# pytest is used as it is.  Otherwise the project keeps a Debian unstable root,
# built once with mmdebstrap outside the clone and reused by every later run;
# commands then run inside it (unshare + bind mount + chroot), with the checkout
# mounted at its own path so that paths read the same inside and out.

set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGES_FILE="$REPO/scripts/packages.txt"
ROOT_CACHE=${MORVANE_ROOT_CACHE:-/var/cache/morvane-roots}
APT_OPT='Acquire::Check-Valid-Until "false"'

host_python_ok() {
    command -v python3.14 >/dev/null 2>&1 || return 1
    python3.14 - <<'PY' >/dev/null 2>&1
import os, sysconfig, venv, ensurepip, networkx, natsort, frozendict, pytest
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

archive_url() {
    # The first URIs: line of the machine's own apt configuration.
    local url
    url=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    if [ -z "$url" ]; then
        echo "scripts/env.sh: no URIs: line in /etc/apt/sources.list.d/debian.sources" >&2
        return 1
    fi
    printf '%s\n' "$url"
}

root_dir() {
    local key
    key=$(grep -v '^\s*$' "$PACKAGES_FILE" | sort | sha256sum | cut -c1-16)
    printf '%s/%s\n' "$ROOT_CACHE" "$key"
}

ensure_root() {
    # Builds the root once.  A root counts as made only when its ".complete"
    # stamp exists; the stamp is written last, so a run interrupted half-way
    # leaves a root without it, which the next run removes and builds anew.
    local dir lock
    dir=$(root_dir)
    lock="$dir.lock"
    mkdir -p "$ROOT_CACHE"
    exec 9>"$lock"
    flock 9
    if [ ! -e "$dir/.complete" ]; then
        rm -rf "$dir"
        if ! command -v mmdebstrap >/dev/null 2>&1; then
            echo "== installing mmdebstrap" >&2
            apt-get update -qq >&2
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >&2
        fi
        local url pkgs
        url=$(archive_url)
        pkgs=$(grep -v '^\s*$' "$PACKAGES_FILE" | paste -sd, -)
        echo "== building the Python 3.14 root in $dir (once; about two minutes)" >&2
        rm -rf "$dir.partial"
        mmdebstrap --mode=root --variant=apt --aptopt="$APT_OPT" \
            --include="$pkgs" sid "$dir.partial" "$url" >&2
        rm -rf "$dir"
        mv "$dir.partial" "$dir"
        touch "$dir/.complete"
    fi
    flock -u 9
    exec 9>&-
    printf '%s\n' "$dir"
}

in_env() {
    if [ -z "${MORVANE_IN_ROOT:-}" ] && ! host_python_ok; then
        local dir
        dir=$(ensure_root)
        local cmd var
        printf -v cmd '%q ' "$@"
        # Carry the project's own settings into the root; nothing else leaks in.
        for var in $(compgen -e | grep -E '^(MORVANE_|PYTEST_ADDOPTS$|HYPOTHESIS_|NO_COLOR$|COLUMNS$)' || true); do
            printf -v cmd 'export %s=%q; %s' "$var" "${!var}" "$cmd"
        done
        mkdir -p "$dir$REPO"
        unshare --mount --propagation private bash -c '
            set -e
            mount --bind "$1" "$2$1"
            mount -t proc proc "$2/proc"
            mount --rbind /dev "$2/dev"
            cp -f /etc/resolv.conf "$2/etc/resolv.conf" 2>/dev/null || true
            exec chroot "$2" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
                PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 CI="${CI:-}" \
                MORVANE_IN_ROOT=1 /bin/bash -c "cd \"\$0\" && $3" "$1"
        ' _ "$REPO" "$dir" "$cmd"
    else
        "$@"
    fi
}
