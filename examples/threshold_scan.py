#!/usr/bin/env python3
"""Scans the potentiometer's threshold over five values with Velmora's remote interface: one
exposure at each, its counts printed, and the last one saved as an export.

Start Velmora with remote control on (Device -> Remote Control..., or `velmora --remote`), then:
    python3 threshold_scan.py [host] [port]
Needs PyVISA with its pure-Python backend (Debian: python3-pyvisa-py)."""

import sys

import pyvisa

host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
port = int(sys.argv[2]) if len(sys.argv) > 2 else 5025

rm = pyvisa.ResourceManager("@py")
tdc = rm.open_resource(f"TCPIP::{host}::{port}::SOCKET", read_termination="\n",
                       write_termination="\n", timeout=60000)
print(tdc.query("*IDN?"))
tdc.write("*CLS;:DEV:CONN 1")
tdc.write("ACQ:TIME 500;ACC 0;AUT 0")

for threshold in (40, 60, 80, 100, 120):
    tdc.write(f"POT:THR {threshold}")
    tdc.write("INIT")
    tdc.query("*OPC?")  # waits for the exposure to end
    counts = [int(c) for c in tdc.query("FETC:COUN?").split(",")]
    print(f"threshold {threshold:3d}: total {sum(counts):8d}  per channel {counts}")

tdc.write('MMEM:STOR:DATA "threshold_scan_120"')
error = tdc.query("SYST:ERR?")
print("export:", "threshold_scan_120_*.txt written" if error.startswith("0,") else error)
tdc.close()
