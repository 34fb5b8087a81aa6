#!/usr/bin/env bash
# Capture throughput and peak memory of a two-member pipeline producing 100 MB
# on its last standard output, against the C baseline in the same run.
set -euo pipefail
"$ZELTA_BUILD/bench/pipeline_capture_bench" "$ZELTA_EXECUTOR" "$ZELTA_BUILD/bench/baseline_pipeline_capture" \
  "${ZELTA_CAPTURE_BYTES:-100000000}" "${ZELTA_ROUNDS:-7}"
