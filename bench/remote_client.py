#!/usr/bin/env python3
"""PyVISA side of bench_remote: the timed exchanges over loopback. Between phases it prints
'phase <name>' and waits for a line on standard input, so the program can account its own time
for exactly that phase."""

import sys
import time

import pyvisa


def phase(name):
    print("phase " + name, flush=True)
    sys.stdin.readline()


def main():
    port = int(sys.argv[1])
    cycles = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                            write_termination="\n", timeout=60000)
    inst.write("DEV:CONN 1;*RST")
    # 16 x 1001 bins: a window of 1000 bins of the device's width.
    width = float(inst.query("HIST:BINW?"))
    inst.write(f"HIST:WIND {round(1000 * width)};:ACQ:TIME 1")
    assert inst.query("HIST:POIN?") == "1001", inst.query("HIST:POIN?")
    phase("cycles")
    start = time.perf_counter()
    for _ in range(cycles):
        inst.write("INIT")
        inst.query("*OPC?")
        inst.query("FETC:COUN?")
    elapsed = time.perf_counter() - start
    print(f"cycles {cycles} {elapsed:.6f}", flush=True)

    # 16 x 65536 bins: binning to 1 ns bins where the device's are finer.
    k = 0
    while width * (1 << k) < 1.0 and k < 20:
        k += 1
    bin_ns = width * (1 << k)
    inst.write(f"HIST:BINN {k};WIND {round(65535 * bin_ns)};:ACQ:TIME 100;:INIT")
    inst.query("*OPC?")
    points = int(inst.query("HIST:POIN?"))
    phase("fetch")
    start = time.perf_counter()
    total = 0
    for channel in range(16):
        total += len(inst.query_binary_values(f"FETC:HIST? {channel}", datatype="d",
                                              is_big_endian=False, container=list))
    elapsed = time.perf_counter() - start
    print(f"fetch {points} {total} {elapsed:.6f}", flush=True)
    phase("done")
    inst.close()


if __name__ == "__main__":
    main()
