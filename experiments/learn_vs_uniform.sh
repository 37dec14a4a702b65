#!/usr/bin/env bash
# Closes the loop on this (2-core, shared) machine and measures the result.
#
#   experiments/learn_vs_uniform.sh [RUN_DIR]
#
# Three generations of: 48 self-play games with the newest network (8
# simulations per move), 300 training steps on every game so far, matches
# against the previous generation and the uniform network (20 games, one
# seat against three). Then the final network plays 80 games against three
# uniform seats, four seatings: served as in training, and once more as its
# policy alone (the raw-share convention makes every root one-hot on the top
# prior; this second match was added after the value-convention study). A 3-block x 16-channel network: on this
# machine a 6 x 64 network evaluates under 200 positions per second, too few
# for a 40-minute budget. Copies the small results (settings, metrics, plots,
# the final match) into experiments/learn_vs_uniform/.
set -euo pipefail
cd "$(dirname "$0")/.."
RUN="${1:-runs/learn_vs_uniform}"
OUT=experiments/learn_vs_uniform
PY="${PYTHON:-python3}"
start=$(date +%s)
"$PY" -m tilora_zero.cli loop --out "$RUN" --generations 3 --games-per-generation 48 --train-steps 300 \
  --batch-size 64 --lr 0.002 --window 144 --blocks 3 --channels 16 --sims 8 --sample-moves 30 \
  --arena-games 20 --arena-sims 8 --arena-layout 1v3 --workers 2 --threads 1 --seed 1 --no-progress
final="$RUN/checkpoints/gen-003.pt"
"$PY" -m tilora_zero.cli arena --a "$final" --b uniform --games 80 --layout 1v3 --sims 8 --workers 2 \
  --no-progress --json "$RUN/final_arena.json"
"$PY" -m tilora_zero.cli arena --a "$final" --b uniform --games 80 --layout 1v3 --sims 8 --workers 2 \
  --value-convention share --no-progress --json "$RUN/final_arena_share.json"
mkdir -p "$OUT"
cp "$RUN/loop.json" "$RUN/metrics.jsonl" "$RUN/arena.png" "$RUN/losses.png" "$RUN/final_arena.json" \
  "$RUN/final_arena_share.json" "$OUT/"
echo "wall time: $(( $(date +%s) - start )) s" | tee "$OUT/wall_time.txt"
