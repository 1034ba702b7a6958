# The demo's sample: a sync folder with a file in each of the four states, a
# sub-folder, and a file outside the sync folder. Sourced by scripts/demo.

# sample_folder WORK: makes WORK/Sync and WORK/outside.txt; sets sample_sync
# to the sync folder and sample_statuses to the daemon sim's --status options
# (statuses 0 up to date, 1 syncing, 2 locked, 3 read-only; a file not named
# is up to date).
sample_folder() {
  sample_sync="$1/Sync"
  mkdir -p "$sample_sync/Photos"
  echo "minutes" >"$sample_sync/notes.txt"
  echo "draft" >"$sample_sync/report.txt"
  echo "budget" >"$sample_sync/budget.xlsx"
  echo "contract" >"$sample_sync/contract.pdf"
  echo "beach" >"$sample_sync/Photos/beach.jpg"
  echo "elsewhere" >"$1/outside.txt"
  sample_statuses=(--status "$sample_sync/report.txt=1" --status "$sample_sync/budget.xlsx=2"
                   --status "$sample_sync/contract.pdf=3")
}
