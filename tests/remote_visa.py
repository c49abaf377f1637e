#!/usr/bin/env python3
"""The remote interface from a VISA client nobody here wrote: starts the program on the offscreen
platform with --remote=0, reads the port from its output, then with PyVISA's pure-Python backend
connects, runs one 200 ms exposure, fetches counts and every channel's histogram, exports, and
checks the fetched data against the exported files bin for bin."""

import os
import select
import shutil
import subprocess
import sys
import tempfile

try:
    import pyvisa
except ImportError:
    print("remote_visa: python3-pyvisa-py is not installed (scripts/setup.sh installs it)")
    sys.exit(77)


def read_port(program):
    """The port from 'remote: listening on <address>:<port>', waiting at most 30 s."""
    line = b""
    while not line.endswith(b"\n"):
        ready, _, _ = select.select([program.stdout], [], [], 30)
        if not ready:
            raise SystemExit("remote_visa: the program printed no listening line")
        byte = program.stdout.read(1)
        if not byte:
            raise SystemExit("remote_visa: the program ended: " + program.stderr.read().decode())
        line += byte
    text = line.decode().strip()
    prefix = "remote: listening on "
    assert text.startswith(prefix), text
    return int(text.rsplit(":", 1)[1])


def read_channel_file(path):
    values = []
    with open(path) as f:
        for line in f:
            if not line.startswith("#"):
                values.append(float(line.split()[1]))
    return values


def read_rates_file(path):
    counts = []
    with open(path) as f:
        for line in f:
            if not line.startswith("#"):
                counts.append(int(line.split()[1]))
    return counts


def record_events(inst, work):
    """Recording from the remote interface: a new file only, every delivered event counted."""
    path = os.path.join(work, "run.h5")
    assert inst.query("RECord:STATe?") == "0"
    inst.write("REC:STAT 1")  # no file chosen yet
    assert inst.query("SYST:ERR?").startswith("-221,")
    inst.write(f'REC:FILE "{path}"')
    assert inst.query("REC:FILE?") == f'"{path}"'
    inst.write("REC:STAT ON;:INIT")
    assert inst.query("*OPC?") == "1"
    delivered = sum(int(v) for v in inst.query("FETC:COUN?").split(","))
    inst.write("REC:STAT OFF")
    assert inst.query("REC:STAT?") == "0"
    written, missing = (int(v) for v in inst.query("REC:COUN?").split(","))
    assert (written, missing) == (delivered, 0), (written, missing, delivered)
    inst.write(f'REC:FILE "{path}"')  # never over an existing file
    assert inst.query("SYST:ERR?").startswith("-221,")
    assert os.path.getsize(path) > 0


def main():
    program_path = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="velmora-remote-")
    shutil.copy(os.path.join(os.path.dirname(program_path), "tdc_qv5.ini"), work)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    program = subprocess.Popen([program_path, "--remote=0"], cwd=work, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    try:
        port = read_port(program)
        rm = pyvisa.ResourceManager("@py")
        inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                                write_termination="\n", timeout=20000)
        assert inst.query("*IDN?").startswith("Velmora,oxTDC1,0,")
        inst.write("DEV:CONN 1")
        assert inst.query("DEV:CONN?") == "1"
        inst.write("*RST;:ACQ:TIME 200")
        assert inst.query("ACQ:TIME?;:HIST:POIN?") == "200;" + inst.query("HIST:POIN?")
        inst.write("INIT")
        assert inst.query("*OPC?") == "1"
        counts = [int(v) for v in inst.query("FETC:COUN?").split(",")]
        assert len(counts) == 16 and sum(counts) > 0, counts
        points = int(inst.query("HIST:POIN?"))
        histos = [inst.query_binary_values(f"FETC:HIST? {c}", datatype="d", is_big_endian=False,
                                           container=list) for c in range(16)]
        axis = inst.query_binary_values("FETC:AXIS?", datatype="d", is_big_endian=False,
                                        container=list)
        assert len(axis) == points, (len(axis), points)
        inst.write('MMEM:STOR:DATA "run.1"')
        assert inst.query("SYST:ERR?") == '0,"No error"'
        rates = read_rates_file(os.path.join(work, "run.1_rates.txt"))
        assert rates == counts, (rates, counts)
        compared = 0
        for channel, histo in enumerate(histos):
            assert len(histo) == points, (channel, len(histo), points)
            path = os.path.join(work, f"run.1_ch{channel}.txt")
            if counts[channel] == 0:
                assert not os.path.exists(path), path
                continue
            exported = read_channel_file(path)
            assert exported == histo, f"channel {channel} differs from {path}"
            compared += 1
        assert compared > 0
        record_events(inst, work)
        inst.close()
        print(f"remote_visa: {compared} channels of {points} bins equal to the export, "
              f"counts equal to the rates file")
    finally:
        program.terminate()
        program.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
