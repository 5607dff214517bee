# Sourced by the scripts here (not run on its own). Works from the repository root and gives the
# run a scratch directory, removed on exit, holding a private XDG_RUNTIME_DIR (mode 700, as Qt
# wants) so that nothing touches the user's own runtime directory.
cd "$(dirname "${BASH_SOURCE[0]}")/.."
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
export XDG_RUNTIME_DIR=$SCRATCH/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
