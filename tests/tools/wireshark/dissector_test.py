#!/usr/bin/env python3
"""The Wireshark dissector against kel36-host's capture of a simulated
controller on the paced line (split replies and dropped ones): tshark reads every reply's register and
value as the controller holds them, names each register as the register map
in docs/protocol.md does, decodes the quantities and the published records
as the scenario states them, decodes the stall markers, and survives
malformed packets.

  dissector_test.py KEL36_HOST KEL36_SIM SOURCE_DIR
"""
import json, os, re, shutil, subprocess, sys, tempfile, time

host, sim, root = sys.argv[1], sys.argv[2], sys.argv[3]
if not shutil.which("tshark"):
    print("tshark is not installed: skipping the dissector test")
    sys.exit(77)

here = os.path.dirname(os.path.abspath(__file__))
lua = os.path.join(root, "tools/wireshark/kel36.lua")
scenario_path = os.path.join(root, "examples/scenario.json")
failures = []


def check(what, ok):
    print(("ok - " if ok else "not ok - ") + what)
    if not ok:
        failures.append(what)


work = tempfile.mkdtemp()
try:
    link = os.path.join(work, "sim.pty")
    controller = subprocess.Popen(
        [sim, "--pty-link", link, "--pace", "--scenario", scenario_path, "--split", "0.3",
         "--drop", "0.01", "--seed", "3", "--duration", "60"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for _ in range(100):
        if os.path.exists(link):
            break
        time.sleep(0.1)
    capture = os.path.join(work, "line.pcapng")
    polled = subprocess.run([host, "--port", link, "--rounds", "3", "--interval", "100", "--timeout", "300",
                             "--json", "--capture", capture], capture_output=True, text=True, timeout=60)
    check("kel36-host polls and captures", polled.returncode == 0)
    controller.terminate()
    sim_report = controller.communicate(timeout=10)[1]
    events = [json.loads(line)["event"] for line in polled.stdout.splitlines()]
    rounds, stalled = events.count("round"), events.count("stall")
    image = [int(h, 16) for h in re.search(r"registers ((?:[0-9A-F]{2} ?){65})", sim_report).group(1).split()]
    subprocess.run([sys.executable, os.path.join(here, "append_malformed.py"), capture], check=True)

    # A private profile: the run never reads or writes the user's own.
    env = dict(os.environ, HOME=work, WIRESHARK_CONFIG_DIR=os.path.join(work, "wireshark"),
               XDG_CONFIG_HOME=os.path.join(work, "config"))

    def tshark(*args):
        run = subprocess.run(["tshark", "-X", "lua_script:" + lua, "-r", capture] + list(args),
                             capture_output=True, text=True, env=env, timeout=60)
        check("tshark " + " ".join(args[:2]) + " exits 0", run.returncode == 0)
        return run.stdout + run.stderr

    fields = ["kel36.register", "kel36.value", "kel36.echo", "kel36.register_name", "kel36.decoded"]
    out = tshark("-Y", "kel36.kind == 2 && kel36.value", "-T", "fields",
                 *sum((["-e", name] for name in fields), []))
    replies = [line.split("\t") for line in out.splitlines() if "\t" in line]
    check("every completed reply is shown (%d)" % len(replies), len(replies) >= 63 * rounds)
    check("each reply's register and value are the controller's",
          all(int(value, 16) == image[int(reg)] for reg, value, *_ in replies))
    check("each reply echoes its register", all(echo in ("1", "True") for _, _, echo, *_ in replies))

    # The names follow the register map of docs/protocol.md.
    doc = open(os.path.join(root, "docs/protocol.md")).read()
    doc_names = {}
    for regs, stored in re.findall(r"^\| ([0-9, –]+) \| (.*?) \|$", doc.split("## Register map")[1], re.M):
        numbers = []
        for piece in regs.split(","):
            a, _, b = piece.strip().partition("–")
            numbers += range(int(a), int(b or a) + 1)
        names = re.findall(r"`(\w+)`", stored.split(" = ")[0])
        for i, n in enumerate(numbers):
            doc_names[n] = (names[i] if len(names) == len(numbers) else
                            "reg%d" % n if re.fullmatch(r"reg\d+", names[0]) else names[0])
    shown = {int(r[0]): r[3] for r in replies}
    check("every polled register is named as the register map names it",
          len(shown) == 63 and all(name.split(" ")[0] == doc_names[reg] for reg, name in shown.items()))

    scenario = json.load(open(scenario_path))
    decoded = {r[4].split(" = ")[0]: r[4].split(" = ")[1] for r in replies if " = " in r[4]}
    check("quantities decode as the scenario states them",
          decoded.get("uab") == "%.2f V" % scenario["uab"] and decoded.get("uca") == "%.2f V" % scenario["uca"] and decoded.get("ubc") == "%.2f V" % scenario["ubc"]
          and decoded.get("frequency") == "%.1f Hz" % scenario["frequency"]
          and decoded.get("battery_voltage") == "%.1f V" % scenario["battery_voltage"]
          and decoded.get("pair_r27_r28") == "258")

    out = tshark("-Y", "kel36.kind == 17", "-T", "fields", "-e", "kel36.round",
                 "-e", "kel36.record.uab", "-e", "kel36.record.frequency", "-e", "kel36.record.battery_voltage")
    records = [line.split("\t") for line in out.splitlines() if "\t" in line]
    whole = [r for r in records if r[1]]
    check("each published record decodes to the scenario's values",
          len(whole) == rounds and all(abs(float(r[1]) - scenario["uab"]) < 0.005 and
                                       abs(float(r[2]) - scenario["frequency"]) < 0.005 and
                                       abs(float(r[3]) - scenario["battery_voltage"]) < 0.005 for r in whole))

    info = tshark()
    stalls = re.findall(r"stall no reply device 0 reg (\d+)", info)
    check("each stall marker names its reason and register (%d)" % len(stalls), len(stalls) == stalled)
    check("split replies are marked as parts", re.search(r"reply part \w+ \(\d of 4 bytes\)", info) is not None)
    check("round markers decode", len(re.findall(r"round \d+ start device 0", info)) == rounds + stalled)

    verbose = tshark("-V")
    check("malformed packets are named, not a Lua error",
          "Lua Error" not in verbose and "Unknown capture format version" in verbose and
          "Packet too short for its kind" in verbose and "kind 99 (not known; skipped)" in info and
          "reply zz92 (not hex)" in info and "reply device 0 with no bytes" in info)
finally:
    shutil.rmtree(work, ignore_errors=True)

sys.exit(1 if failures else 0)
