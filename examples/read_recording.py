#!/usr/bin/env python3
"""Rebins one channel of a Velmora event recording (HDF5) into a histogram.

    read_recording.py run.h5 --channel 3
    read_recording.py run.h5 --channel 3 --start 100 --window 400 --binning 2 --exposures 1 2
    read_recording.py run.h5 --channel 3 --plot

Without --start, --window or --binning the values in force for the first
chosen exposure are taken, so the output is the channel file Velmora's export
wrote for those exposures (accumulated). Prints the histogram in the export's
format, or plots it with matplotlib (--plot). Needs h5py and numpy.
"""
import argparse
import sys

import h5py
import numpy as np


def rebin(path, channel, start_ns=None, window_ns=None, binning=None, exposures=None):
    """Returns (bin start times in ns, counts) and the file's attributes."""
    with h5py.File(path, "r") as f:
        if f.attrs["format"] != "velmora-events":
            raise ValueError(f"{path} is not a Velmora event recording")
        binsize = float(f.attrs["device_binsize_ns"])
        rows = f["exposures"][:]
        if exposures:
            rows = rows[np.isin(rows["number"], exposures)]
        if len(rows) == 0:
            raise ValueError("no such exposure in the recording")
        start_ns = float(rows["start_ns"][0]) if start_ns is None else start_ns
        window_ns = float(rows["window_ns"][0]) if window_ns is None else window_ns
        binning = int(rows["binning"][0]) if binning is None else binning
        width = binsize * 2.0**binning
        nbins = int(window_ns / width + 1.0)
        # The window's first device bin, truncated toward zero like the program.
        start_bins = np.uint64(int(np.trunc(start_ns / binsize)) % 2**64)
        counts = np.zeros(nbins, dtype=np.int64)
        missing = 0
        for row in rows:
            first, n = int(row["first_event"]), int(row["event_count"])
            missing += int(row["missing_from_recording"])
            ch = f["events/channel"][first:first + n]
            t = f["events/time"][first:first + n][ch == channel]
            # Unsigned like the program: events before the start wrap far out.
            idx = (t - start_bins) >> np.uint64(binning)
            idx = idx[idx < np.uint64(nbins)].astype(np.int64)
            counts += np.bincount(idx, minlength=nbins)
        if missing:
            print(f"warning: the recording lacks {missing} events of these exposures",
                  file=sys.stderr)
        times = start_ns + np.arange(nbins, dtype=np.float64) * width
        return times, counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("file")
    parser.add_argument("--channel", type=int, required=True)
    parser.add_argument("--start", type=float, help="window start in ns")
    parser.add_argument("--window", type=float, help="window size in ns")
    parser.add_argument("--binning", type=int, help="one bin is 2^binning device bins")
    parser.add_argument("--exposures", type=int, nargs="*", help="exposure numbers (all)")
    parser.add_argument("--plot", action="store_true")
    args = parser.parse_args()
    times, counts = rebin(args.file, args.channel, args.start, args.window, args.binning,
                          args.exposures)
    if args.plot:
        import matplotlib.pyplot as plt
        plt.step(times, counts, where="post")
        plt.xlabel("time [ns]")
        plt.ylabel("events")
        plt.title(f"{args.file}, channel {args.channel}")
        plt.show()
        return
    out = [f"# Channel {args.channel} (Time[ns] vs Countrate):\n"]
    out += [f"{t:20.10g} {c:10d}\n" for t, c in zip(times.tolist(), counts.tolist())]
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
