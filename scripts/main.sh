#!/usr/bin/env bash
# The main job: sets up whatever is missing (scripts/setup.sh), then simulates the example
# pumping station with the parallel runner, prints its summary and writes its plot.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
mkdir -p "$root/build"
exec "$root/.venv/bin/python" "$root/examples/pumping_station.py" --plot "$root/build/pumping_station.png" "$@"
