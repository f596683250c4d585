"""The Python binding's figures for zqk_bench, which runs it:

    python_bench.py LISTING-DEVICE FOLDER ENTRIES FILE-DEVICE FILE SIZE LOCAL LISTING-RUNS GET-RUNS

prints "listdir_ms MS", the best time of Device.listdir(FOLDER), and
"get_mib_s RATE", the best rate of Device.get(FILE, LOCAL) with a progress
callback, each checked against the number of entries and bytes expected.
"""

import sys
import time

import zqkapi


def best_seconds(runs, action):
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        action()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def main(argv):
    listing_device, folder, entries, file_device, path, size, local, listing_runs, get_runs = argv
    entries, size = int(entries), int(size)

    with zqkapi.open(listing_device) as dev:
        def listdir():
            found = len(dev.listdir(folder))
            if found != entries:
                raise SystemExit("python_bench: listdir(%r) gave %d entries, not %d" % (folder, found, entries))
        print("listdir_ms %.6f" % (1000 * best_seconds(int(listing_runs), listdir)))

    with zqkapi.open(file_device) as dev:
        done = [0]

        def progress(position, total):
            done[0] = position

        def get():
            if dev.get(path, local, progress=progress) != size or done[0] != size:
                raise SystemExit("python_bench: get(%r) did not bring %d bytes" % (path, size))
        print("get_mib_s %.6f" % (size / (1 << 20) / best_seconds(int(get_runs), get)))


if __name__ == "__main__":
    main(sys.argv[1:])
