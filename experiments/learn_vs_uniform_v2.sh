#!/usr/bin/env bash
# The same cycle as learn_vs_uniform.sh, run again on the machine with no
# other jobs: four generations of 64 self-play games (8 simulations per move),
# 300 training steps on the newest 256 games, matches after each generation;
# then the final network plays 100 games against three uniform seats, served
# as in training and as its policy alone.
#
#   experiments/learn_vs_uniform_v2.sh [RUN_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
RUN="${1:-runs/learn_vs_uniform_v2}"
OUT=experiments/learn_vs_uniform_v2
PY="${PYTHON:-python3}"
start=$(date +%s)
"$PY" -m tilora_zero.cli loop --out "$RUN" --generations 4 --games-per-generation 64 --train-steps 300 \
  --batch-size 64 --lr 0.002 --window 256 --blocks 3 --channels 16 --sims 8 --sample-moves 30 \
  --arena-games 20 --arena-sims 8 --arena-layout 1v3 --workers 2 --threads 1 --seed 1 --no-progress
final="$RUN/checkpoints/gen-004.pt"
"$PY" -m tilora_zero.cli arena --a "$final" --b uniform --games 100 --layout 1v3 --sims 8 --workers 2 \
  --no-progress --json "$RUN/final_arena.json"
"$PY" -m tilora_zero.cli arena --a "$final" --b uniform --games 100 --layout 1v3 --sims 8 --workers 2 \
  --value-convention share --no-progress --json "$RUN/final_arena_share.json"
mkdir -p "$OUT"
cp "$RUN/loop.json" "$RUN/metrics.jsonl" "$RUN/arena.png" "$RUN/losses.png" "$RUN/final_arena.json" \
  "$RUN/final_arena_share.json" "$OUT/"
echo "wall time: $(( $(date +%s) - start )) s" | tee "$OUT/wall_time.txt"
