#!/usr/bin/env bash
# The main job: sets up whatever is missing (scripts/setup.sh), then runs the example pumping
# station through the tavoq command: it prints the model, the summary and the component and
# cut-set tables, and writes the figure. Extra arguments go to `tavoq run` (e.g. --runs 20000).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
mkdir -p "$root/build"
exec "$root/.venv/bin/tavoq" run "$root/examples/pumping_station.toml" \
  --plot "$root/build/pumping_station.png" "$@"
